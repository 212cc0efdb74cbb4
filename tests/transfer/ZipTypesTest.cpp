// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipTypes.h"

#include <gtest/gtest.h>

#include "base/Stream.h"

using namespace qv;

TEST(ZipNames, OemNamesMapToWindows1252) {
  EXPECT_EQ(OemToAnsiName("\x81"), "\xFC");            // ü
  EXPECT_EQ(OemToAnsiName("\xC4"), "\xAD");            // horizontal line -> soft hyphen
  EXPECT_EQ(OemToAnsiName("\xB3"), "\xA6");            // vertical line -> broken bar
  EXPECT_EQ(OemToAnsiName("\xE1\x94\x8A"), "\xDF\xF6\xE8");
  EXPECT_EQ(OemToAnsiName("\xB0\xDB\xE0\xFE\xFF\x9F"), "      ");
  EXPECT_EQ(OemToAnsiName("\xA6\xA7\xE2\xFC\xF8"), "ao\xB6\xB3\xB0");
  EXPECT_EQ(OemToAnsiName("\x15"), "\xA7");
  EXPECT_EQ(OemToAnsiName("plain/Name-1.txt"), "plain/Name-1.txt");
}

TEST(ZipNames, DecodingHonoursTheUtf8FlagAndBackslashes) {
  EXPECT_EQ(DecodeZipName("\x81" "ber.txt", 0), "\xC3\xBC" "ber.txt");
  EXPECT_EQ(DecodeZipName("\xC3\xBC" "ber.txt", ZipFlagUtf8), "\xC3\xBC" "ber.txt");
  EXPECT_EQ(DecodeZipName("dir\\sub\\a.txt", 0), "dir/sub/a.txt");
  // Plain ASCII passes unchanged, but 0x15 is the section sign of the OEM code page, also
  // among otherwise plain characters.
  EXPECT_EQ(DecodeZipName("plain name~.txt", 0), "plain name~.txt");
  EXPECT_EQ(DecodeZipName("a\x15" "b.txt", 0), "a\xC2\xA7" "b.txt");
  EXPECT_EQ(DecodeZipName("a\x15" "b.txt", ZipFlagUtf8), "a\x15" "b.txt");
}

TEST(ZipNames, NamesLeavingTheDestinationAreUnsafe) {
  for (const char* bad : {"../x", "/abs/x", "a/../../x", "a\\..\\x", "\\x", "..", "a/..", "C:x", ""})
    EXPECT_FALSE(IsSafeEntryName(bad)) << bad;
  EXPECT_FALSE(IsSafeEntryName(std::string("a\0/../../x", 10)));
  for (const char* good : {"a", "a/b/c.txt", "..a/b", "a../b", "dir/", "a/.hidden", "./a"})
    EXPECT_TRUE(IsSafeEntryName(good)) << good;
}

TEST(ZipNames, FolderEntries) {
  EXPECT_TRUE(IsDirectoryEntry("a/", 0));
  EXPECT_TRUE(IsDirectoryEntry("a\\", 0));
  EXPECT_TRUE(IsDirectoryEntry("a", 0x10));
  EXPECT_FALSE(IsDirectoryEntry("empty.txt", 0x20));
}

// A link's data are a path; a file's content made a link by a flipped type bit mostly is not.
TEST(ZipNames, LinkTargetsArePaths) {
  const struct {
    std::string_view target;
    bool path;
  } rows[] = {
      {"sub/t.txt", true}, {"../a b", true},  {"\xC3\xBC" "ber", true}, {"", true},
      {"line\n", false},  {"a\tb", false}, {std::string_view("a\0b", 3), false}, {"x\x7F", false},
  };
  for (const auto& row : rows) EXPECT_EQ(IsPlausibleLinkTarget(row.target), row.path) << row.target;
}

namespace {

std::string LocalHeader(uint16_t flag, uint32_t csize, uint32_t usize, const std::string& name,
                        const std::string& extra) {
  std::string h = "PK\x03\x04";
  auto put16 = [&](uint16_t v) { h += static_cast<char>(v & 0xFF); h += static_cast<char>(v >> 8); };
  auto put32 = [&](uint32_t v) { put16(static_cast<uint16_t>(v)); put16(static_cast<uint16_t>(v >> 16)); };
  put16(20); put16(flag); put16(8); put32(0x21 << 16); put32(0x12345678);
  put32(csize); put32(usize);
  put16(static_cast<uint16_t>(name.size())); put16(static_cast<uint16_t>(extra.size()));
  return h + name + extra;
}

}  // namespace

TEST(ZipLocalHeader, Zip64AndAesFieldsAndTruncation) {
  // ID 1 with both sizes, then an AES field (AE-1, strength 3, actual method 8).
  const std::string zip64("\x01\x00\x10\x00" "\x05\x00\x00\x00\x01\x00\x00\x00"
                          "\x07\x00\x00\x00\x00\x00\x00\x00", 20);
  const std::string aes("\x01\x99\x07\x00\x01\x00" "AE" "\x03\x08\x00", 11);
  const std::string bytes = LocalHeader(1, 0xFFFFFFFF, 0xFFFFFFFF, "n.txt", zip64 + aes) + "DATA";
  TReadOnlyMemoryStream stream(bytes.data(), bytes.size());
  TZipFileInfo info;
  ASSERT_TRUE(ReadZipLocalHeader(stream, info));
  EXPECT_EQ(info.Filename, "n.txt");
  EXPECT_EQ(info.USize, 0x100000005LL);
  EXPECT_EQ(info.CSize, 7);
  EXPECT_EQ(info.Crc, 0x12345678u);
  EXPECT_EQ(info.EncVers, 1);
  EXPECT_EQ(info.EncMode, 3);
  EXPECT_EQ(info.EncMeth, 8);
  char first[4];
  ASSERT_EQ(stream.Read(first, 4), 4);
  EXPECT_EQ(std::string(first, 4), "DATA");

  // A block whose size runs past the field ends the walk; only the sizes that are
  // saturated are taken from ID 1.
  const std::string shortBlock("\x01\x00\x10\x00\x09\x00\x00\x00\x00\x00\x00\x00", 12);
  const std::string partial = LocalHeader(0, 0xFFFFFFFF, 10, "p", shortBlock);
  TReadOnlyMemoryStream partialStream(partial.data(), partial.size());
  ASSERT_TRUE(ReadZipLocalHeader(partialStream, info));
  EXPECT_EQ(info.CSize, 0xFFFFFFFFLL);
  EXPECT_EQ(info.USize, 10);

  for (size_t cut : {size_t{0}, size_t{29}, bytes.size() - 40}) {
    TReadOnlyMemoryStream cutStream(bytes.data(), cut);
    EXPECT_FALSE(ReadZipLocalHeader(cutStream, info)) << cut;
  }
  std::string wrong = bytes;
  wrong[2] = 5;
  TReadOnlyMemoryStream wrongStream(wrong.data(), wrong.size());
  EXPECT_FALSE(ReadZipLocalHeader(wrongStream, info));
}
