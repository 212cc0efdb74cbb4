// SPDX-License-Identifier: Apache-2.0
// The copy worker: block loop and its progress sequence, cancel and pause, result codes,
// the temporary target that keeps an existing file intact, and the properties of the target.
#include "transfer/CopyThread.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <fcntl.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <new>

#include "TestUtil.h"
#include "base/TimeUtils.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TProgressLog;
using test::TProgressReport;
using test::TTempDir;
using test::WriteFile;

constexpr int kBuf = 4096;

std::unique_ptr<TCopyThread> MakeWorker(const std::string& src, const std::string& dst, int buf = kBuf) {
  return std::make_unique<TCopyThread>(src, dst, true, buf, tpNormal);
}

// Exposes the building blocks and the running CRC for checks from outside.
class TProbe : public TCopyThread {
 public:
  using TCopyThread::TCopyThread;
  ~TProbe() override { WaitFor(); }
  using TCopyThread::CopyData;
  uint32_t Crc() const { return FCrc; }
  int64_t Total() const { return UTotal; }
};

// Sets the access and modification time of a file to whole seconds.
void SetTimes(const std::string& path, time_t atime, time_t mtime) {
  timespec ts[2] = {{atime, 0}, {mtime, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

struct stat StatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return st;
}

// Copies src to dst with a progress log; returns the result code.
int Copy(const std::string& src, const std::string& dst, TProgressLog* log = nullptr,
         const std::function<void(TCopyThread&)>& setup = {}) {
  auto worker = MakeWorker(src, dst);
  if (log) worker->SetOnProgress(log->Handler());
  if (setup) setup(*worker);
  EXPECT_TRUE(test::RunToEnd(*worker));
  return worker->ErrorCode().Value();
}

class CopyBlocks : public ::testing::Test {
 protected:
  TTempDir dir;
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
};

TEST_F(CopyBlocks, EmptyFileGivesTwoZeroReports) {
  ASSERT_TRUE(WriteFile(dir / "src", ""));
  TProgressLog log;
  EXPECT_EQ(Copy(dir / "src", dir / "dst", &log), 0);
  EXPECT_TRUE(test::FileExists(dir / "dst"));
  EXPECT_EQ(ReadFile(dir / "dst"), "");
  EXPECT_EQ(log.Reports, (std::vector<TProgressReport>{{acCopy, 0, true}, {acCopy, 0, true}}));
  EXPECT_FALSE(log.OffMainThread);
}

TEST_F(CopyBlocks, ExactlyOneBufferIsOneBlock) {
  const std::string data = test::RandomBytes(kBuf, 7);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  TProgressLog log;
  EXPECT_EQ(Copy(dir / "src", dir / "dst", &log), 0);
  EXPECT_EQ(ReadFile(dir / "dst"), data);
  EXPECT_EQ(log.Reports, (std::vector<TProgressReport>{{acCopy, -kBuf, true}, {acCopy, kBuf, true}}));
}

// File to file, the kernel copies blocks of several buffers.
constexpr int64_t kBlock = kBuf * static_cast<int64_t>(TCopyThread::kKernelCopyBlockBuffers);

TEST_F(CopyBlocks, OneByteMoreTakesASecondBlockOfOneByte) {
  const std::string data = test::RandomBytes(kBlock + 1, 8);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  TProgressLog log;
  EXPECT_EQ(Copy(dir / "src", dir / "dst", &log), 0);
  EXPECT_TRUE(ReadFile(dir / "dst") == data);
  EXPECT_EQ(log.Reports, (std::vector<TProgressReport>{
                             {acCopy, -(kBlock + 1), true}, {acCopy, kBlock, true}, {acCopy, kBlock + 1, true}}));
}

// Between two file systems the kernel refuses the copy: the bytes go through the buffer, a
// buffer per block, whatever block the kernel was asked for.
TEST_F(CopyBlocks, CrossDeviceCopyGoesThroughTheBuffer) {
  struct stat shm {}, here {};
  if (stat("/dev/shm", &shm) != 0 || stat(dir.Path().c_str(), &here) != 0 || shm.st_dev == here.st_dev)
    GTEST_SKIP() << "no second file system at /dev/shm";
  const std::string src = "/dev/shm/qvtest-copy-" + std::to_string(getpid());
  const std::string data = test::RandomBytes(2 * kBlock + 5, 9);
  ASSERT_TRUE(WriteFile(src, data));
  TProgressLog log;
  const int code = Copy(src, dir / "dst", &log);
  ::unlink(src.c_str());
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(ReadFile(dir / "dst") == data);
  ASSERT_EQ(log.Reports.size(), 1 + (data.size() + kBuf - 1) / kBuf);
  EXPECT_EQ(log.Reports[1].Count, kBuf);
  EXPECT_EQ(log.Reports.back().Count, static_cast<int64_t>(data.size()));
}

TEST_F(CopyBlocks, TotalFollowsTheData) {
  // The plain copy job has no reader of its checksum and skips it; the loop's checksum is
  // checked where the loop is called directly (CopyDataCodes).
  const std::string data = test::RandomBytes(3 * kBuf + 123, 9);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  TProbe worker(dir / "src", dir / "dst", true, kBuf, tpNormal);
  ASSERT_TRUE(test::RunToEnd(worker));
  EXPECT_EQ(worker.ErrorCode().Value(), 0);
  EXPECT_EQ(worker.Total(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(ReadFile(dir / "dst"), data);
}

TEST_F(CopyBlocks, ExistingTargetIsReplacedAndNoTemporaryFileRemains) {
  ASSERT_TRUE(WriteFile(dir / "src", "new contents"));
  ASSERT_TRUE(WriteFile(dir / "dst", "an older and longer content of the target"));
  EXPECT_EQ(Copy(dir / "src", dir / "dst"), 0);
  EXPECT_EQ(ReadFile(dir / "dst"), "new contents");
  auto names = test::ListDir(dir.Path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dst", "src"}));
}

// CopyData against streams that misbehave in a controlled way.
class TLimitedStream : public TStream {
 public:
  TLimitedStream(int64_t capacity, bool failHard) : FCapacity(capacity), FFailHard(failHard) {}
  int64_t Read(void*, size_t) override { return -1; }
  int64_t Write(const void*, size_t count) override {
    if (FFailHard && FWritten + static_cast<int64_t>(count) > FCapacity) return -1;
    const int64_t n = std::min<int64_t>(static_cast<int64_t>(count), FCapacity - FWritten);
    FWritten += n;
    return n;
  }
  int64_t Seek(int64_t, int) override { return -1; }
  int64_t Size() override { return FWritten; }
  int64_t FWritten = 0;

 private:
  int64_t FCapacity;
  bool FFailHard;
};

TEST(CopyDataCodes, ShortWriteIsLowDiskSpaceAndFailedWriteIsWriteError) {
  const std::string data = test::RandomBytes(5 * kBuf, 3);
  {
    TProbe probe("", "", true, kBuf, tpNormal);
    TReadOnlyMemoryStream in(data.data(), data.size());
    TLimitedStream out(2 * kBuf + 10, false);
    EXPECT_EQ(probe.CopyData(in, out, true, static_cast<int64_t>(data.size())).Value(), 0x107);
    EXPECT_EQ(out.FWritten, 2 * kBuf + 10);
  }
  {
    TProbe probe("", "", true, kBuf, tpNormal);
    TReadOnlyMemoryStream in(data.data(), data.size());
    TLimitedStream out(kBuf, true);
    EXPECT_EQ(probe.CopyData(in, out, true, static_cast<int64_t>(data.size())).Value(), 0x105);
  }
}

TEST(CopyDataCodes, ShortOrFailedReadIsReadError) {
  const std::string data = test::RandomBytes(2 * kBuf, 4);
  TProbe probe("", "", true, kBuf, tpNormal);
  TReadOnlyMemoryStream in(data.data(), data.size());
  TMemoryStream out;
  // The stream holds less than the length asked for.
  EXPECT_EQ(probe.CopyData(in, out, true, 3 * kBuf).Value(), 0x104);
  EXPECT_EQ(out.Size(), 2 * kBuf);

  TLimitedStream unreadable(0, false);
  EXPECT_EQ(probe.CopyData(unreadable, out, true, 10).Value(), 0x104);
}

TEST(CopyDataCodes, FileToFileMovesExactBlocksAndDetectsAShortSource) {
  TTempDir dir;
  const std::string data = test::RandomBytes(3 * kBuf + 100, 6);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  TProbe probe("", "", true, kBuf, tpNormal);
  {
    auto in = TFileStream::Open(dir / "src", TOpenMode::Read);
    auto out = TFileStream::Open(dir / "dst", TOpenMode::Create);
    ASSERT_TRUE(in && out);
    EXPECT_EQ(probe.CopyData(*in, *out, true, 2 * kBuf + 1).Value(), 0);  // a part of the file
  }
  EXPECT_EQ(ReadFile(dir / "dst"), data.substr(0, 2 * kBuf + 1));
  EXPECT_EQ(probe.Crc(), static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), 2 * kBuf + 1)));
  {
    auto in = TFileStream::Open(dir / "src", TOpenMode::Read);
    auto out = TFileStream::Open(dir / "dst2", TOpenMode::Create);
    ASSERT_TRUE(in && out);
    EXPECT_EQ(probe.CopyData(*in, *out, true, static_cast<int64_t>(data.size()) + 1).Value(), 0x104);
  }
}

TEST(CopyDataCodes, NoBufferEndsWithACodeInsteadOfLooping) {
  for (int size : {0, -1}) {
    TProbe probe("", "", true, size, tpNormal);
    TMemoryStream in(std::vector<uint8_t>(10, 1));
    TMemoryStream out;
    EXPECT_NE(probe.CopyData(in, out, true, 10).Value(), 0) << size;
  }
}

class CopyControl : public CopyBlocks {};

TEST_F(CopyControl, CancelKeepsTheExistingTargetAndLeavesNoTemporaryFile) {
  const std::string data = test::RandomBytes(64 * kBuf, 11);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  ASSERT_TRUE(WriteFile(dir / "dst", "previous version"));
  auto worker = MakeWorker(dir / "src", dir / "dst");
  std::vector<int64_t> counts;
  worker->SetOnProgress([&](TFileAction, int64_t count, bool) {
    counts.push_back(count);
    if (counts.size() == 3) worker->CancelThread();  // during the second block
  });
  ASSERT_TRUE(test::RunToEnd(*worker));
  EXPECT_EQ(worker->ErrorCode().Value(), 0x1080);
  EXPECT_EQ(GetErrorMessage(worker->ErrorCode().Value()), "Info: Terminated by user (Copy)");
  // The block in progress was completed; no further block was read.
  EXPECT_EQ(counts, (std::vector<int64_t>{-64 * kBuf, kBlock, 2 * kBlock}));
  EXPECT_EQ(ReadFile(dir / "dst"), "previous version");
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
  EXPECT_EQ(test::ListDir(dir.Path()).size(), 2u);
}

TEST_F(CopyControl, PausedWorkerIsNotDoneAndContinuesToTheEnd) {
  const std::string data = test::RandomBytes(32 * kBuf, 12);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  auto worker = MakeWorker(dir / "src", dir / "dst");
  int reports = 0;
  worker->SetOnProgress([&](TFileAction, int64_t, bool) {
    if (++reports == 2) worker->Pause();
  });
  worker->Resume();
  while (reports < 2) TThread::CheckSynchronize(10);
  // Held at the gate: further reports would arrive within these polls if it were not.
  for (int i = 0; i < 20; ++i) TThread::CheckSynchronize(10);
  EXPECT_EQ(reports, 2);
  EXPECT_FALSE(worker->Done());
  ASSERT_TRUE(test::RunToEnd(*worker));  // Resume continues it
  EXPECT_EQ(worker->ErrorCode().Value(), 0);
  EXPECT_EQ(reports, 1 + 32 * kBuf / kBlock);
  EXPECT_EQ(ReadFile(dir / "dst"), data);
}

TEST_F(CopyControl, CancelReleasesAPausedWorker) {
  ASSERT_TRUE(WriteFile(dir / "src", test::RandomBytes(16 * kBuf, 13)));
  auto worker = MakeWorker(dir / "src", dir / "dst");
  int reports = 0;
  worker->SetOnProgress([&](TFileAction, int64_t, bool) {
    if (++reports == 2) worker->Pause();
  });
  worker->Resume();
  while (reports < 2) TThread::CheckSynchronize(10);
  worker->CancelThread();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!worker->Done() && std::chrono::steady_clock::now() < deadline) TThread::CheckSynchronize(10);
  ASSERT_TRUE(worker->Done());
  EXPECT_EQ(worker->ErrorCode().Value(), 0x1080);
  EXPECT_FALSE(test::FileExists(dir / "dst"));
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
}

class CopyFailures : public CopyBlocks {};

TEST_F(CopyFailures, MissingSourceOrFolderIsFileNotFound) {
  EXPECT_EQ(Copy(dir / "missing", dir / "dst"), 0x110E);
  EXPECT_EQ(GetErrorMessage(0x110E), "Error: File not found (Copy)");
  EXPECT_EQ(Copy(dir.Path(), dir / "dst"), 0x110E);
  EXPECT_FALSE(test::FileExists(dir / "dst"));
}

// A pipe at the source's place would block the worker (or never end); it is no regular file.
TEST_F(CopyFailures, PipeSourceIsNoRegularFile) {
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
  EXPECT_EQ(Copy(dir / "pipe", dir / "dst"), 0x1127);
  EXPECT_FALSE(test::FileExists(dir / "dst"));
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
}

TEST_F(CopyFailures, EmptyTargetNameOrMissingFolderCannotBeCreated) {
  ASSERT_TRUE(WriteFile(dir / "src", "x"));
  EXPECT_EQ(Copy(dir / "src", ""), 0x1101);
  EXPECT_EQ(Copy(dir / "src", dir / "no/such/folder/dst"), 0x1101);
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  EXPECT_EQ(Copy(dir / "src", dir / "sub"), 0x1101);  // a folder is never replaced
}

TEST_F(CopyFailures, UnreadableSourceCannotBeOpened) {
  ASSERT_TRUE(WriteFile(dir / "src", "x"));
  ASSERT_EQ(symlink((dir / "nowhere").c_str(), (dir / "link").c_str()), 0);
  EXPECT_EQ(Copy(dir / "link", dir / "dst"), 0x1102);
  EXPECT_FALSE(test::FileExists(dir / "dst"));
}

TEST_F(CopyFailures, WriteProtectedTargetNeedsOverwrite) {
  ASSERT_TRUE(WriteFile(dir / "src", "fresh"));
  ASSERT_TRUE(WriteFile(dir / "dst", "protected"));
  ASSERT_EQ(chmod((dir / "dst").c_str(), 0444), 0);
  EXPECT_EQ(Copy(dir / "src", dir / "dst"), 0x1101);
  EXPECT_EQ(ReadFile(dir / "dst"), "protected");
  EXPECT_EQ(StatOf(dir / "dst").st_mode & 0777, 0444u);

  EXPECT_EQ(Copy(dir / "src", dir / "dst", nullptr, [](TCopyThread& w) { w.SetOverwrite(true); }), 0);
  EXPECT_EQ(ReadFile(dir / "dst"), "fresh");
  EXPECT_NE(StatOf(dir / "dst").st_mode & S_IWUSR, 0u);  // the source's attributes
  EXPECT_EQ(test::ListDir(dir.Path()).size(), 2u);
}

TEST_F(CopyFailures, ExceptionOrMissingBufferStillEndsWithOneCode) {
  ASSERT_TRUE(WriteFile(dir / "src", test::RandomBytes(3 * kBuf, 5)));
  ASSERT_TRUE(WriteFile(dir / "dst", "keep"));
  // A buffer that cannot be had.
  auto worker = MakeWorker(dir / "src", dir / "dst", -1);
  ASSERT_TRUE(test::RunToEnd(*worker));
  EXPECT_EQ(worker->ErrorCode().Value(), 0x1112);

  // An allocation failure in the middle of the job, after the temporary target exists.
  class TFailing : public TCopyThread {
   public:
    using TCopyThread::TCopyThread;
    ~TFailing() override { WaitFor(); }
   protected:
    void Execute() override {
      TFileTimestamps times;
      uint16_t attr;
      if (!OpenFiles(times, attr)) throw std::bad_alloc();
      FinishThread(TErrorCode::FromValue(1));
    }
  };
  TFailing failing(dir / "src", dir / "dst", true, kBuf, tpNormal);
  ASSERT_TRUE(test::RunToEnd(failing));
  EXPECT_EQ(failing.ErrorCode().Value(), 0x1112);
  EXPECT_EQ(ReadFile(dir / "dst"), "keep");
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
}

class CopyProperties : public CopyBlocks {
 protected:
  static constexpr time_t kPast = 1387028000;  // December 2013
};

TEST_F(CopyProperties, LastWriteTimeAndAttributesComeFromTheSource) {
  ASSERT_TRUE(WriteFile(dir / "src", "data"));
  SetTimes(dir / "src", kPast - 5000, kPast);
  ASSERT_EQ(chmod((dir / "src").c_str(), 0444), 0);
  EXPECT_EQ(Copy(dir / "src", dir / "dst"), 0);
  const auto st = StatOf(dir / "dst");
  EXPECT_EQ(st.st_mtim.tv_sec, kPast);
  EXPECT_NE(st.st_atim.tv_sec, kPast - 5000);  // CopyCreationTime off: last write only
  EXPECT_EQ(st.st_mode & 0222, 0u);             // read-only attribute carried over
}

TEST_F(CopyProperties, CreationTimeOptionSetsAccessTimeToo) {
  ASSERT_TRUE(WriteFile(dir / "src", "data"));
  SetTimes(dir / "src", kPast - 5000, kPast);
  EXPECT_EQ(Copy(dir / "src", dir / "dst", nullptr, [](TCopyThread& w) { w.SetCopyCreationTime(true); }), 0);
  const auto st = StatOf(dir / "dst");
  EXPECT_EQ(st.st_mtim.tv_sec, kPast);
  EXPECT_EQ(st.st_atim.tv_sec, kPast - 5000);
}

TEST_F(CopyProperties, FutureTimeIsReplacedOnlyWithCheckTime) {
  const time_t now = time(nullptr);
  const time_t twoDays = now + 2 * 86400;
  ASSERT_TRUE(WriteFile(dir / "src", "data"));
  SetTimes(dir / "src", now, twoDays);
  EXPECT_EQ(Copy(dir / "src", dir / "checked"), 0);
  const time_t checked = StatOf(dir / "checked").st_mtim.tv_sec;
  EXPECT_GE(checked, now - 5);
  EXPECT_LT(checked, now + 86400);

  EXPECT_EQ(Copy(dir / "src", dir / "unchecked", nullptr, [](TCopyThread& w) { w.SetCheckTime(false); }), 0);
  EXPECT_EQ(StatOf(dir / "unchecked").st_mtim.tv_sec, twoDays);

  SetTimes(dir / "src", now, now + 3600);  // less than a day ahead passes the guard
  EXPECT_EQ(Copy(dir / "src", dir / "soon"), 0);
  EXPECT_EQ(StatOf(dir / "soon").st_mtim.tv_sec, now + 3600);
}

TEST_F(CopyProperties, PermissionsAreCopiedOnRequest) {
  ASSERT_TRUE(WriteFile(dir / "src", "data"));
  ASSERT_EQ(chmod((dir / "src").c_str(), 0640), 0);
  EXPECT_EQ(Copy(dir / "src", dir / "dst", nullptr, [](TCopyThread& w) { w.SetCopyPermissions(true); }), 0);
  EXPECT_EQ(StatOf(dir / "dst").st_mode & 07777, 0640u);
}

TEST_F(CopyProperties, DetailsAreCopiedOrGiveAWarning) {
  ASSERT_TRUE(WriteFile(dir / "src", "data"));
  const std::string comment = "holiday photos";
  if (setxattr((dir / "src").c_str(), "user.xdg.comment", comment.data(), comment.size(), 0) != 0)
    GTEST_SKIP() << "no user extended attributes on this file system";
  SetTimes(dir / "src", kPast, kPast);
  EXPECT_EQ(Copy(dir / "src", dir / "dst", nullptr, [](TCopyThread& w) { w.SetCopyStorage(true); }), 0);
  char value[64] = {};
  const ssize_t n = getxattr((dir / "dst").c_str(), "user.xdg.comment", value, sizeof value);
  EXPECT_EQ(std::string(value, n > 0 ? static_cast<size_t>(n) : 0), comment);
  EXPECT_EQ(StatOf(dir / "dst").st_mtim.tv_sec, kPast);
}

TEST_F(CopyProperties, ShellCopyTransfersContentModeAndTime) {
  const std::string data = test::RandomBytes(5 * kBuf + 3, 21);
  ASSERT_TRUE(WriteFile(dir / "src", data));
  ASSERT_EQ(chmod((dir / "src").c_str(), 0604), 0);
  SetTimes(dir / "src", kPast, kPast);
  TProgressLog log;
  EXPECT_EQ(Copy(dir / "src", dir / "dst", &log, [](TCopyThread& w) { w.SetShellCopy({scmCopy}); }), 0);
  EXPECT_EQ(ReadFile(dir / "dst"), data);
  EXPECT_EQ(StatOf(dir / "dst").st_mode & 07777, 0604u);
  EXPECT_EQ(StatOf(dir / "dst").st_mtim.tv_sec, kPast);
  EXPECT_EQ(log.Reports, (std::vector<TProgressReport>{{acCopy, -1, false}}));
  EXPECT_EQ(Copy(dir / "missing", dir / "x", nullptr, [](TCopyThread& w) { w.SetShellCopy({scmCopy, scmQuiet}); }),
            0x110E);
}

}  // namespace
}  // namespace qv
