// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipCompareThread.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "crypto/AesLib.h"
#include "transfer/Crc32.h"
#include "transfer/ZipTestUtil.h"

using namespace qv;
using namespace qv::test;

namespace {

class ZipEntryThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(Dir.Ok()); }

  // A one-entry archive of data made by zip (deflated) at test time; returns its path.
  std::string MakeZip(const std::string& name, const std::string& data, const std::string& options = "") {
    EXPECT_TRUE(WriteFile(Dir / name, data));
    const std::string archive = Dir / (name + ".zip");
    EXPECT_TRUE(test::Run("cd '" + Dir.Path() + "' && zip -q " + options + " '" + archive + "' '" + name + "'"));
    return archive;
  }
  std::string Make7zAes(const std::string& name, const std::string& data, const std::string& options) {
    EXPECT_TRUE(WriteFile(Dir / name, data));
    const std::string archive = Dir / (name + ".zip");
    EXPECT_TRUE(test::Run("cd '" + Dir.Path() + "' && 7zz a -bd -bso0 -tzip -ppw " + options + " '" +
                          archive + "' '" + name + "'"));
    return archive;
  }

  TTempDir Dir{"qvzipw"};
};

}  // namespace

TEST_F(ZipEntryThreadsTest, WorkerCodesAndProgressOnTheMainThread) {
  const std::string data = RandomBytes(700000, 11);
  const std::string archive = MakeZip("a.bin", data);
  auto zip = TFileStream::Open(archive, TOpenMode::Read);
  ASSERT_TRUE(zip);

  TProgressLog log;
  {
    TZipReadThread worker(Dir / "out.bin", nullptr, *zip, true, true, 65536, tpNormal, log.Handler());
    ASSERT_TRUE(RunToEnd(worker));
    EXPECT_EQ(worker.ErrorCode().Value(), 0);
    EXPECT_EQ(worker.Crc(), Crc32Update(0, data.data(), data.size()));
  }
  EXPECT_TRUE(ReadFile(Dir / "out.bin") == data);
  ASSERT_GE(log.Reports.size(), 3u);
  EXPECT_FALSE(log.OffMainThread);
  EXPECT_EQ(log.Reports.front().Action, acUnCompress);
  EXPECT_LT(log.Reports.front().Count, 0);  // the announcement: minus the compressed size
  EXPECT_EQ(log.Reports.back(), (TProgressReport{acUnCompress, 700000, true}));

  // Neither a target name nor a stream.
  zip->Seek(0, SEEK_SET);
  TZipReadThread noTarget(std::string(), nullptr, *zip, true, true, 65536, tpNormal, nullptr);
  ASSERT_TRUE(RunToEnd(noTarget));
  EXPECT_EQ(noTarget.ErrorCode().Value(), 0x4112);

  // No local header at the position: nothing is left under the target name.
  zip->Seek(7, SEEK_SET);
  TZipReadThread misplaced(Dir / "none.bin", nullptr, *zip, true, true, 65536, tpNormal, nullptr);
  ASSERT_TRUE(RunToEnd(misplaced));
  EXPECT_EQ(misplaced.ErrorCode().Value(), 0x4104);
  EXPECT_FALSE(FileExists(Dir / "none.bin"));
  EXPECT_TRUE(LeftoverTempFiles(Dir.Path()).empty());

  // Into a stream handed in, which stays open.
  zip->Seek(0, SEEK_SET);
  TMemoryStream stream;
  TZipReadThread toStream(stream, nullptr, *zip, true, false, 65536, tpNormal, nullptr);
  ASSERT_TRUE(RunToEnd(toStream));
  EXPECT_EQ(toStream.ErrorCode().Value(), 0);
  EXPECT_EQ(stream.Size(), 700000);
}

TEST_F(ZipEntryThreadsTest, EncryptedEntriesInMemoryAndInTwoPasses) {
  // Stored, so that the compressed size lies on either side of the in-memory limit.
  for (const size_t size : {size_t{1000}, size_t{3 << 20}}) {
    const std::string data = RandomBytes(size, 21);
    const std::string name = "e" + std::to_string(size);
    const std::string archive = Make7zAes(name, data, "-mem=AES256 -mx0");
    auto zip = TFileStream::Open(archive, TOpenMode::Read);
    ASSERT_TRUE(zip);
    TEncryption aes256("pw", 3, 524288);
    TProgressLog log;
    {
      TZipReadThread worker(Dir / (name + ".out"), &aes256, *zip, true, true, 65536, tpNormal,
                            log.Handler());
      ASSERT_TRUE(RunToEnd(worker));
      EXPECT_EQ(worker.ErrorCode().Value(), 0) << size;
    }
    EXPECT_TRUE(ReadFile(Dir / (name + ".out")) == data);
    EXPECT_FALSE(log.OffMainThread);
    ASSERT_FALSE(log.Reports.empty());
    EXPECT_EQ(log.Reports.front().Action, acDecrypt);
    EXPECT_EQ(log.Reports.front().Count, -(static_cast<int64_t>(size) + 16 + 2 + 10));

    // Without a decryptor ("Decryption failed"), and with one flipped ciphertext byte (the
    // verifier matches, so the file is corrupt, not the password wrong): nothing is written.
    zip->Seek(0, SEEK_SET);
    TZipReadThread noKey(Dir / (name + ".nokey"), nullptr, *zip, true, true, 65536, tpNormal, nullptr);
    ASSERT_TRUE(RunToEnd(noKey));
    EXPECT_EQ(noKey.ErrorCode().Value(), 0x410B);
    std::string bytes = ReadFile(archive);
    const auto* h = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t body = 30 + GetLe16(h + 26) + GetLe16(h + 28);  // salt and verifier follow
    bytes[body + 18 + size / 2] ^= 0x40;
    ASSERT_TRUE(WriteFile(archive + ".bad", bytes));
    auto bad = TFileStream::Open(archive + ".bad", TOpenMode::Read);
    TZipReadThread damaged(Dir / (name + ".bad"), &aes256, *bad, true, true, 65536, tpNormal, nullptr);
    ASSERT_TRUE(RunToEnd(damaged));
    EXPECT_EQ(damaged.ErrorCode().Value(), 0x4109);
    EXPECT_FALSE(FileExists(Dir / (name + ".nokey")));
    EXPECT_FALSE(FileExists(Dir / (name + ".bad")));
  }
}

TEST_F(ZipEntryThreadsTest, CompareBlockByBlock) {
  const std::string data = RandomBytes(200000, 31);
  const std::string archive = MakeZip("c.bin", data, "-0");
  auto zip = TFileStream::Open(archive, TOpenMode::Read);
  ASSERT_TRUE(zip);
  auto compare = [&](const std::string& reference) {
    zip->Seek(0, SEEK_SET);
    TZipCompareThread worker(reference, nullptr, *zip, true, true, 65536, tpNormal, nullptr);
    EXPECT_TRUE(RunToEnd(worker));
    return worker.ErrorCode().Value();
  };
  EXPECT_EQ(compare(Dir / "c.bin"), 0);
  std::string changed = data;
  changed[199999] ^= 1;  // the last byte of the last, partial block
  ASSERT_TRUE(WriteFile(Dir / "changed.bin", changed));
  EXPECT_EQ(compare(Dir / "changed.bin"), 0x410C);
  ASSERT_TRUE(WriteFile(Dir / "short.bin", data.substr(0, 199999)));
  EXPECT_EQ(compare(Dir / "short.bin"), 0x410C);
  EXPECT_EQ(compare(Dir / "absent.bin"), 0x410E);
  ASSERT_EQ(::mkdir((Dir / "folder").c_str(), 0755), 0);
  EXPECT_EQ(compare(Dir / "folder"), 0x410E);
}

TEST_F(ZipEntryThreadsTest, ReaderTimeoutStopsTheWorker) {
  const std::string archive = MakeZip("t.bin", RandomBytes(8 << 20, 41), "-1");
  TZipRead zip(archive, "", 0, 65536);
  zip.ReadDirectory();
  int polls = 0;
  zip.SetOnTimeout([&] { return ++polls >= 1; });
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(0, Dir / "t.out"); }), 0x4180);
  EXPECT_GE(polls, 1);
  EXPECT_FALSE(FileExists(Dir / "t.out"));
  // Encrypted entries cannot go to a stream: it never gets a decryptor.
  const std::string aes = Make7zAes("s.bin", "stream me", "-mem=AES128");
  TZipRead encrypted(aes, "pw");
  encrypted.ReadDirectory();
  TMemoryStream stream;
  EXPECT_EQ(ZipErrorOf([&] { encrypted.ExtractToStream("s.bin", stream); }), 0x410B);
}

TEST_F(ZipEntryThreadsTest, LargeAesEntriesReachOnlyTheTemporaryTargetBeforeTheirCodeIsChecked) {
  const std::string data = RandomBytes(5 << 20, 51);
  // Both are decrypted (and inflated) in one pass into the temporary target, which becomes
  // the target only once the code has matched.
  const struct {
    std::string Options;
    bool Deflated;
  } rows[] = {
      {"-mem=AES256 -mx0", false},
      {"-mem=AES128 -mx5", true},
  };
  for (const auto& row : rows) {
    const std::string& options = row.Options;
    SCOPED_TRACE(options);
    const std::string name = options.substr(5, 6) + (options.back() == '0' ? "s" : "d");
    const std::string archive = Make7zAes(name, data, options);
    TZipRead zip(archive, "pw");
    zip.ReadDirectory();
    const int64_t csize = zip.Directory().Objects(0).CSize;
    ASSERT_GT(csize, 1 << 20);
    std::vector<TProgressReport> goodReports;
    zip.SetOnProgress([&](TFileAction AAction, int64_t ACount, bool ASpeedLimit) {
      goodReports.push_back({AAction, ACount, ASpeedLimit});
    });
    zip.ExtractToFile(0, Dir / (name + ".out"));
    EXPECT_TRUE(ReadFile(Dir / (name + ".out")) == data);
    const auto inflated = [](const std::vector<TProgressReport>& AReports) {
      return std::any_of(AReports.begin(), AReports.end(),
                         [](const TProgressReport& r) { return r.Action == acUnCompress; });
    };
    EXPECT_EQ(inflated(goodReports), row.Deflated);
    goodReports.clear();
    EXPECT_EQ(ZipErrorOf([&] { zip.TestEntry(zip.Directory().Objects(0).Offset); }), 0);
    EXPECT_EQ(inflated(goodReports), row.Deflated);
    zip.SetOnProgress(nullptr);
    zip.CompareToFile(zip.Directory().Objects(0).Offset, Dir / name);

    // A damaged body (one bit in the middle of the ciphertext, which would still decrypt and
    // mostly inflate): the whole body is read for its code, the old target stays as it was,
    // and the temporary target that took the unauthenticated plaintext is gone after.
    std::string bytes = ReadFile(archive);
    const auto* h = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t body = 30 + GetLe16(h + 26) + GetLe16(h + 28);
    bytes[body + static_cast<size_t>(csize) / 2] ^= 0x01;
    ASSERT_TRUE(WriteFile(archive, bytes));
    ASSERT_TRUE(WriteFile(Dir / (name + ".old"), "old content"));
    TZipRead damaged(archive, "pw");
    damaged.ReadDirectory();
    std::vector<TProgressReport> reports;
    int64_t tempBytesSeen = 0;
    damaged.SetOnProgress([&](TFileAction AAction, int64_t ACount, bool ASpeedLimit) {
      reports.push_back({AAction, ACount, ASpeedLimit});
      for (const auto& temp : LeftoverTempFiles(Dir.Path())) tempBytesSeen += FileSize(Dir / temp);
    });
    EXPECT_EQ(ZipErrorOf([&] { damaged.ExtractToFile(0, Dir / (name + ".old")); }), 0x4109);
    EXPECT_TRUE(ReadFile(Dir / (name + ".old")) == "old content");
    EXPECT_TRUE(LeftoverTempFiles(Dir.Path()).empty());
    EXPECT_GT(tempBytesSeen, 0);
    ASSERT_FALSE(reports.empty());
    if (!row.Deflated) {
      const int64_t frame = options.find("AES256") != std::string::npos ? 16 + 2 + 10 : 8 + 2 + 10;
      EXPECT_EQ(reports.back(), (TProgressReport{acDecrypt, csize - frame, true}));  // all of it read
    }

    // A test of the damaged entry fails alike.
    EXPECT_EQ(ZipErrorOf([&] { damaged.TestEntry(damaged.Directory().Objects(0).Offset); }), 0x4109);

    damaged.InitEncryption("wrong password", 0);
    EXPECT_EQ(ZipErrorOf([&] { damaged.ExtractToFile(0, Dir / (name + ".wrong")); }), 0x410B);
    EXPECT_FALSE(FileExists(Dir / (name + ".wrong")));
    EXPECT_TRUE(LeftoverTempFiles(Dir.Path()).empty());
  }
}

TEST_F(ZipEntryThreadsTest, LargeStoredAesEntriesOfTheFirstKindCheckTheirCrc) {
  const std::string data = RandomBytes(3 << 20, 52);
  const uint32_t crc = Crc32Update(0, data.data(), data.size());
  const std::string original = ReadFile(Make7zAes("ae1", data, "-mem=AES256 -mx0"));
  // 7-Zip writes the second kind (CRC 0); the first kind states the CRC in both headers.
  const auto asFirstKind = [&](uint32_t ACrc) {
    std::string bytes = original;
    const std::string field("\x01\x99\x07\x00\x02\x00\x41\x45", 8);
    for (size_t at = bytes.find(field); at != std::string::npos; at = bytes.find(field, at + 1))
      bytes[at + 4] = 1;
    const size_t central = bytes.find("PK\x01\x02");
    for (const size_t at : {size_t{14}, central + 16})
      for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(ACrc >> (8 * i));
    return bytes;
  };
  const struct {
    uint32_t Crc;
    int32_t Code;
  } rows[] = {{crc, 0}, {crc ^ 1, 0x4104}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Code);
    const std::string archive = Dir / "ae1-patched.zip";
    ASSERT_TRUE(WriteFile(archive, asFirstKind(row.Crc)));
    ASSERT_TRUE(WriteFile(Dir / "ae1.out", "old content"));
    TZipRead zip(archive, "pw");
    zip.ReadDirectory();
    ASSERT_EQ(zip.Directory().Objects(0).EncVers, 1);
    EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(0, Dir / "ae1.out"); }), row.Code);
    EXPECT_TRUE(ReadFile(Dir / "ae1.out") == (row.Code == 0 ? data : "old content"));
    EXPECT_TRUE(LeftoverTempFiles(Dir.Path()).empty());
    EXPECT_EQ(ZipErrorOf([&] { zip.TestEntry(zip.Directory().Objects(0).Offset); }), row.Code);
  }
}
