// SPDX-License-Identifier: Apache-2.0
// The decrypt worker on files made by the project's own encrypting side: round trip, wrong
// password, damaged and truncated files, and the worker without a decryptor.
#include "transfer/DecryptThread.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "TestUtil.h"
#include "crypto/AesLib.h"
#include "transfer/GUnZipThread.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TProgressLog;
using test::TTempDir;
using test::WriteFile;

constexpr int kCryptBuf = 65536;
constexpr time_t kPast = 1387028000;

bool Encrypt(const std::string& password, const std::string& plain, const std::string& path) {
  TEncryption enc(password, 0, kCryptBuf);
  TReadOnlyMemoryStream in(plain.data(), plain.size());
  auto out = TFileStream::Open(path, TOpenMode::Create);
  return out && enc.EncryptStream(in, *out, false);
}

class DecryptWorker : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string plain = test::RandomBytes(300'000, 31);
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(Encrypt("correct horse", plain, dir / "file.enc"));
    timespec ts[2] = {{kPast, 0}, {kPast, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "file.enc").c_str(), ts, 0), 0);
  }

  int Run(const std::string& password, const std::string& src, const std::string& dst,
          TProgressLog* log = nullptr) {
    TEncryption dec(password, 0, kCryptBuf);
    int code;
    {
      TDecryptThread worker(src, dst, &dec, true, 524288, tpNormal);
      if (log) worker.SetOnProgress(log->Handler());
      EXPECT_TRUE(test::RunToEnd(worker));
      code = worker.ErrorCode().Value();
    }
    EXPECT_FALSE(dec.OnProgress()) << "the worker must clear the decryptor's handler";
    return code;
  }

  void ExpectOnlyFiles(std::vector<std::string> names) {
    auto found = test::ListDir(dir.Path());
    std::sort(found.begin(), found.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(found, names);
  }
};

TEST_F(DecryptWorker, RoundTripRestoresBytesTimeAndAttributes) {
  ASSERT_EQ(chmod((dir / "file.enc").c_str(), 0444), 0);
  TProgressLog log;
  EXPECT_EQ(Run("correct horse", dir / "file.enc", dir / "file", &log), 0);
  EXPECT_EQ(ReadFile(dir / "file"), plain);
  struct stat st {};
  ASSERT_EQ(stat((dir / "file").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, kPast);
  EXPECT_EQ(st.st_mode & 0222, 0u);

  // The file size as total, then the decryptor's reports, on the main thread, rising.
  ASSERT_GE(log.Reports.size(), 4u);
  EXPECT_FALSE(log.OffMainThread);
  EXPECT_EQ(log.Reports.front(), (test::TProgressReport{acDecrypt, -static_cast<int64_t>(ReadFile(dir / "file.enc").size()), true}));
  log.Reports.erase(log.Reports.begin());
  int64_t last = 0;
  for (const auto& r : log.Reports) {
    EXPECT_EQ(r.Action, acDecrypt);
    EXPECT_TRUE(r.SpeedLimit);
    EXPECT_GT(r.Count, last);
    last = r.Count;
  }
  EXPECT_EQ(last, static_cast<int64_t>(plain.size()));
}

TEST_F(DecryptWorker, WrongPasswordWritesNothingAndKeepsTheTarget) {
  TProgressLog log;
  EXPECT_EQ(Run("wrong horse", dir / "file.enc", dir / "file", &log), 0x610B);
  EXPECT_EQ(GetErrorMessage(0x610B), "Error: Decryption failed (Decrypt)");
  ASSERT_EQ(log.Reports.size(), 1u);  // the total only: the verifier fails before any data
  EXPECT_LT(log.Reports.front().Count, 0);
  ExpectOnlyFiles({"file.enc"});

  ASSERT_TRUE(WriteFile(dir / "file", "the version restored yesterday"));
  EXPECT_EQ(Run("wrong horse", dir / "file.enc", dir / "file"), 0x610B);
  EXPECT_EQ(ReadFile(dir / "file"), "the version restored yesterday");
  ExpectOnlyFiles({"file.enc", "file"});
}

TEST_F(DecryptWorker, FlippedByteIsDetectedAfterAllDataAndNothingIsKept) {
  std::string enc = ReadFile(dir / "file.enc");
  enc[enc.size() / 2] ^= 0x01;
  ASSERT_TRUE(WriteFile(dir / "bad.enc", enc));
  ASSERT_TRUE(WriteFile(dir / "file", "old"));
  TProgressLog log;
  EXPECT_EQ(Run("correct horse", dir / "bad.enc", dir / "file", &log), 0x6109);
  EXPECT_EQ(GetErrorMessage(0x6109), "Error: Corrupt file (Decrypt)");
  ASSERT_FALSE(log.Reports.empty());
  EXPECT_EQ(log.Reports.back().Count, static_cast<int64_t>(plain.size()));  // all data passed
  EXPECT_EQ(ReadFile(dir / "file"), "old");
  ExpectOnlyFiles({"file.enc", "bad.enc", "file"});
}

TEST_F(DecryptWorker, FilesAroundTheHelperThreadLimitRestoreAndDamageInTheirLastBlockFails) {
  // Up to two work buffers of ciphertext are authenticated inline, longer ones on a helper.
  for (size_t size : {2 * size_t{kCryptBuf}, 2 * size_t{kCryptBuf} + 1, 7 * size_t{kCryptBuf} + 3}) {
    const std::string data = test::RandomBytes(size, static_cast<uint32_t>(size));
    ASSERT_TRUE(Encrypt("correct horse", data, dir / "sized.enc"));
    EXPECT_EQ(Run("correct horse", dir / "sized.enc", dir / "sized"), 0) << size;
    EXPECT_EQ(ReadFile(dir / "sized"), data) << size;

    std::string enc = ReadFile(dir / "sized.enc");
    enc[enc.size() - 11] ^= 0x80;  // last ciphertext byte
    ASSERT_TRUE(WriteFile(dir / "sized.enc", enc));
    ASSERT_TRUE(WriteFile(dir / "sized", "kept"));
    EXPECT_EQ(Run("correct horse", dir / "sized.enc", dir / "sized"), 0x6109) << size;
    EXPECT_EQ(ReadFile(dir / "sized"), "kept") << size;
  }
  ExpectOnlyFiles({"file.enc", "sized.enc", "sized"});
}

TEST_F(DecryptWorker, TruncatedFilesFail) {
  const std::string enc = ReadFile(dir / "file.enc");
  for (size_t keep : {size_t{0}, size_t{5}, size_t{27}, enc.size() / 2, enc.size() - 1}) {
    ASSERT_TRUE(WriteFile(dir / "cut.enc", enc.substr(0, keep)));
    // Too short for header and code, or cut inside: damaged, whatever the password.
    EXPECT_EQ(Run("correct horse", dir / "cut.enc", dir / "cut"), 0x6109) << keep;
    EXPECT_FALSE(test::FileExists(dir / "cut")) << keep;
  }
  ExpectOnlyFiles({"file.enc", "cut.enc"});
}

TEST_F(DecryptWorker, EmptyPlaintextRoundTrips) {
  ASSERT_TRUE(Encrypt("pw", "", dir / "empty.enc"));
  EXPECT_EQ(Run("pw", dir / "empty.enc", dir / "empty"), 0);
  EXPECT_TRUE(test::FileExists(dir / "empty"));
  EXPECT_EQ(ReadFile(dir / "empty"), "");
}

TEST_F(DecryptWorker, SourceAndTargetFailuresCarryTheDecryptMark) {
  EXPECT_EQ(Run("correct horse", dir / "missing.enc", dir / "x"), 0x610E);
  EXPECT_EQ(Run("correct horse", dir / "file.enc", ""), 0x6101);
  EXPECT_EQ(Run("correct horse", dir / "file.enc", dir / "no/folder/x"), 0x6101);
}

TEST_F(DecryptWorker, WithoutADecryptorTheFileIsCopiedUnchanged) {
  TDecryptThread worker(dir / "file.enc", dir / "copy", nullptr, true, 65536, tpNormal);
  ASSERT_TRUE(test::RunToEnd(worker));
  EXPECT_EQ(worker.ErrorCode().Value(), 0);
  EXPECT_EQ(worker.ErrorType(), 0x1000);
  EXPECT_EQ(ReadFile(dir / "copy"), ReadFile(dir / "file.enc"));

  TDecryptThread missing(dir / "missing", dir / "copy2", nullptr, true, 65536, tpNormal);
  ASSERT_TRUE(test::RunToEnd(missing));
  EXPECT_EQ(missing.ErrorCode().Value(), 0x110E);
  EXPECT_EQ(GetErrorMessage(0x110E), "Error: File not found (Copy)");
}

TEST_F(DecryptWorker, PauseHoldsADecryption) {
  TEncryption dec("correct horse", 0, kCryptBuf);
  TDecryptThread worker(dir / "file.enc", dir / "file", &dec, true, 524288, tpNormal);
  int reports = 0;
  worker.SetOnProgress([&](TFileAction, int64_t, bool) {
    if (++reports == 1) worker.Pause();
  });
  worker.Resume();
  while (reports < 1) TThread::CheckSynchronize(10);
  for (int i = 0; i < 20; ++i) TThread::CheckSynchronize(10);
  EXPECT_EQ(reports, 1);
  EXPECT_FALSE(worker.Done());
  ASSERT_TRUE(test::RunToEnd(worker));
  EXPECT_EQ(worker.ErrorCode().Value(), 0);
  EXPECT_EQ(ReadFile(dir / "file"), plain);
}

TEST_F(DecryptWorker, StopEndsTheDecryptionBetweenBlocks) {
  ASSERT_TRUE(WriteFile(dir / "file", "kept"));
  TEncryption dec("correct horse", 0, kCryptBuf);
  TProgressLog log;
  {
    TDecryptThread worker(dir / "file.enc", dir / "file", &dec, true, 524288, tpNormal);
    TProgressEvent record = log.Handler();
    worker.SetOnProgress([&](TFileAction a, int64_t c, bool s) {
      record(a, c, s);
      if (c > 0) worker.CancelThread();
    });
    ASSERT_TRUE(test::RunToEnd(worker));
    EXPECT_EQ(worker.ErrorCode().Value(), 0x6080);
  }
  // The total, then at most the block on which Stop came.
  ASSERT_EQ(log.Reports.size(), 2u);
  EXPECT_LT(log.Reports[0].Count, 0);
  EXPECT_LT(log.Reports[1].Count, static_cast<int64_t>(plain.size()));
  EXPECT_EQ(dec.CancelFlag(), nullptr);  // lent for the job only
  EXPECT_EQ(ReadFile(dir / "file"), "kept");
  ExpectOnlyFiles({"file.enc", "file"});
}

// A medium that fills up reads "Low disk space", whichever worker writes; nothing is left.
TEST_F(DecryptWorker, FullMediumIsLowDiskSpaceNotAWrongPassword) {
  ASSERT_TRUE(WriteFile(dir / "data", plain));
  ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && gzip -c data > data.gz"));
  ASSERT_TRUE(WriteFile(dir / "out", "old"));
  struct TCase {
    std::string Source;
    int Code;
  };
  const TCase cases[] = {{"file.enc", 0x6107}, {"data.gz", 0x3107}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Source);
    const int code = test::RunWithFileSizeLimit(65536, [&] {
      TEncryption key("correct horse", 0, kCryptBuf);
      std::unique_ptr<TCopyThread> worker;
      if (c.Code == 0x6107)
        worker = std::make_unique<TDecryptThread>(dir / c.Source, dir / "out", &key, true, 524288, tpNormal);
      else
        worker = std::make_unique<TGUnZipThread>(dir / c.Source, dir / "out", &key, true, 524288, tpNormal);
      return test::RunToEnd(*worker) ? worker->ErrorCode().Value() : -2;
    });
    EXPECT_EQ(code, c.Code) << std::hex << code;
    EXPECT_NE(GetErrorMessage(static_cast<uint32_t>(code)).find("Low disk space"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "out"), "old");
    EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
  }
}

}  // namespace
}  // namespace qv
