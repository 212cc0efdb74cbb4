// SPDX-License-Identifier: Apache-2.0
// Interoperability with 7-Zip's AES zip entries (WinZip AE-1/AE-2), both directions.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/AesLib.h"
#include "crypto/CryptoTestUtil.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

class ZipAesInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "qv-zipaes-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
    ASSERT_EQ(std::system("command -v 7zz >/dev/null 2>&1"), 0) << "7zz (Debian package 7zip) is needed";
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  static void WriteFile(const fs::path& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  }
  static std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  int Run(const std::string& command) {
    return std::system(("cd '" + FDir.string() + "' && " + command + " >/dev/null 2>&1").c_str());
  }

  fs::path FDir;
};

uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint32_t>(Get16(b, at)) | static_cast<uint32_t>(Get16(b, at + 2)) << 16;
}

struct TAesEntry {
  uint16_t method = 0;
  int strength = 0;          // 1..3 from the 0x9901 extra field
  uint16_t actualMethod = 0xFFFF;
  size_t dataOffset = 0;
  size_t dataLength = 0;
};

// The first local header of the archive and its AES extra field.
TAesEntry ParseFirstEntry(const std::vector<uint8_t>& zip) {
  TAesEntry e;
  EXPECT_EQ(Get32(zip, 0), 0x04034b50u);
  e.method = Get16(zip, 8);
  const size_t nameLength = Get16(zip, 26);
  const size_t extraLength = Get16(zip, 28);
  e.dataLength = Get32(zip, 18);
  size_t at = 30 + nameLength;
  const size_t end = at + extraLength;
  while (at + 4 <= end) {
    const uint16_t id = Get16(zip, at);
    const uint16_t size = Get16(zip, at + 2);
    if (id == 0x9901 && size >= 7) {
      EXPECT_EQ(zip.at(at + 6), 'A');
      EXPECT_EQ(zip.at(at + 7), 'E');
      e.strength = zip.at(at + 8);
      e.actualMethod = Get16(zip, at + 9);
    }
    at += 4 + size;
  }
  e.dataOffset = end;
  return e;
}

void Put16(std::vector<uint8_t>& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// One stored AE-2 entry (method 99, CRC 0) around an encrypted stream of ours.
std::vector<uint8_t> MinimalAesZip(const std::string& name, const std::vector<uint8_t>& encrypted,
                                   size_t plainLength, int strength) {
  std::vector<uint8_t> extra;
  Put16(extra, 0x9901);
  Put16(extra, 7);
  Put16(extra, 2);  // AE-2
  extra.push_back('A');
  extra.push_back('E');
  extra.push_back(static_cast<uint8_t>(strength));
  Put16(extra, 0);  // stored

  auto common = [&](std::vector<uint8_t>& b) {
    Put16(b, 51);      // version needed
    Put16(b, 0x0001);  // encrypted
    Put16(b, 99);      // AES
    Put16(b, 0x6000);  // 12:00:00
    Put16(b, 0x5A21);  // 2025-01-01
    Put32(b, 0);       // AE-2 stores no CRC
    Put32(b, static_cast<uint32_t>(encrypted.size()));
    Put32(b, static_cast<uint32_t>(plainLength));
    Put16(b, static_cast<uint32_t>(name.size()));
    Put16(b, static_cast<uint32_t>(extra.size()));
  };
  std::vector<uint8_t> zip;
  Put32(zip, 0x04034b50);
  common(zip);
  zip.insert(zip.end(), name.begin(), name.end());
  zip.insert(zip.end(), extra.begin(), extra.end());
  zip.insert(zip.end(), encrypted.begin(), encrypted.end());

  const size_t central = zip.size();
  Put32(zip, 0x02014b50);
  Put16(zip, 63);  // made by: version 6.3, MS-DOS
  common(zip);
  Put16(zip, 0);  // comment
  Put16(zip, 0);  // disk
  Put16(zip, 0);  // internal attributes
  Put32(zip, 0);  // external attributes
  Put32(zip, 0);  // local header offset
  zip.insert(zip.end(), name.begin(), name.end());
  zip.insert(zip.end(), extra.begin(), extra.end());
  const size_t centralSize = zip.size() - central;

  Put32(zip, 0x06054b50);
  Put16(zip, 0);
  Put16(zip, 0);
  Put16(zip, 1);
  Put16(zip, 1);
  Put32(zip, static_cast<uint32_t>(centralSize));
  Put32(zip, static_cast<uint32_t>(central));
  Put16(zip, 0);
  return zip;
}

struct TPeerCase {
  std::string method;  // 7-Zip's -mem value
  int strength;
  std::string password;  // its length gives the matching automatic mode
};

TEST_F(ZipAesInterop, EntriesWrittenBySevenZipDecrypt) {
  const TPeerCase cases[] = {
      {"AES128", 1, "seven-zip-short-pw"},                                 // 18 bytes: mode 1
      {"AES192", 2, "a password of thirty-five bytes ok!"},                // 35 bytes: mode 2
      {"AES256", 3, "a password long enough for the 256-bit key mode!!"},  // 50 bytes: mode 3
  };
  const auto plain = test::RandomBytes(150000, 31);
  WriteFile(FDir / "data.bin", plain);
  for (const auto& c : cases) {
    const std::string zipName = "peer-" + c.method + ".zip";
    ASSERT_EQ(Run("7zz a -tzip -mx0 -mem=" + c.method + " -p'" + c.password + "' " + zipName + " data.bin"), 0);
    const auto zip = ReadFile(FDir / zipName);
    const auto entry = ParseFirstEntry(zip);
    ASSERT_EQ(entry.method, 99) << c.method;
    ASSERT_EQ(entry.strength, c.strength) << c.method;
    ASSERT_EQ(entry.actualMethod, 0) << c.method;
    ASSERT_LE(entry.dataOffset + entry.dataLength, zip.size());

    // Automatic mode from the password length, as the restore uses it.
    TEncryption dec(c.password, 0, 0x80000);
    ASSERT_EQ(dec.KeyMode(), c.strength);
    ASSERT_EQ(entry.dataLength, plain.size() + static_cast<size_t>(dec.GetHeaderSize() + dec.GetTrailerSize()));
    TReadOnlyMemoryStream src(zip.data() + entry.dataOffset, entry.dataLength);
    TMemoryStream out;
    EXPECT_TRUE(dec.DecryptStream(src, &out, static_cast<int64_t>(entry.dataLength), false)) << c.method;
    EXPECT_EQ(out.Data(), plain) << c.method;

    // Explicit mode with a short password as well.
    const std::string shortPw = "pw";
    ASSERT_EQ(Run("7zz a -tzip -mx0 -mem=" + c.method + " -p" + shortPw + " short-" + zipName + " data.bin"), 0);
    const auto zip2 = ReadFile(FDir / ("short-" + zipName));
    const auto entry2 = ParseFirstEntry(zip2);
    TEncryption explicitMode(shortPw, entry2.strength, 4096);
    TReadOnlyMemoryStream src2(zip2.data() + entry2.dataOffset, entry2.dataLength);
    TMemoryStream out2;
    EXPECT_TRUE(explicitMode.DecryptStream(src2, &out2, static_cast<int64_t>(entry2.dataLength), false));
    EXPECT_EQ(out2.Data(), plain);
  }
}

TEST_F(ZipAesInterop, OurStreamsExtractWithSevenZip) {
  const auto plain = test::RandomBytes(70001, 32);
  for (int mode = 1; mode <= 3; ++mode) {
    const std::string password = "ours-" + std::to_string(mode);
    const auto encrypted = test::Encrypt(password, mode, plain, 0x80000);
    const std::string name = "entry" + std::to_string(mode) + ".bin";
    const auto zip = MinimalAesZip(name, encrypted, plain.size(), mode);
    const std::string zipName = "ours" + std::to_string(mode) + ".zip";
    WriteFile(FDir / zipName, zip);

    ASSERT_EQ(Run("7zz x -y -p" + password + " -oout " + zipName), 0) << "mode " << mode;
    EXPECT_EQ(ReadFile(FDir / "out" / name), plain) << "mode " << mode;

    // 7-Zip checks our code: one damaged ciphertext byte and it refuses the entry.
    auto damaged = zip;
    damaged[30 + name.size() + 11 + SaltLength(mode) + 2 + 1000] ^= 0x10;
    WriteFile(FDir / ("bad-" + zipName), damaged);
    EXPECT_NE(Run("7zz t -p" + password + " bad-" + zipName), 0) << "mode " << mode;
  }
}

}  // namespace
}  // namespace qv
