// SPDX-License-Identifier: Apache-2.0
// The copy worker's target: the backup's permission bits, holes kept, a full disk named as
// such, and a destination root that DestName may not leave.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <csignal>

#include "TestUtil.h"
#include "base/FileUtils.h"
#include "base/TargetFile.h"
#include "transfer/CopyThread.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

int RunCopy(const std::string& src, const std::string& dst, const std::string& root = {}) {
  TCopyThread worker(src, dst, true, 65536, tpNormal);
  worker.SetDestinationRoot(root);
  EXPECT_TRUE(test::RunToEnd(worker));
  return worker.ErrorCode().Value();
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(CopyTarget, PermissionBitsOfTheBackupNeverMore) {
  const struct {
    mode_t Source;
    mode_t Restored;
  } rows[] = {{0600, 0600}, {0755, 0755}, {0640, 0640}, {0444, 0444}, {0700, 0700}, {04755, 0755},
              {02770, 0770}};
  TTempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Source);
    ASSERT_TRUE(WriteFile(dir / "src", "data"));
    ASSERT_EQ(::chmod((dir / "src").c_str(), row.Source), 0);
    ::unlink((dir / "dst").c_str());
    EXPECT_EQ(RunCopy(dir / "src", dir / "dst"), 0);
    EXPECT_EQ(ModeOf(dir / "dst"), row.Restored);
    EXPECT_EQ(ReadFile(dir / "dst"), "data");
  }
}

// Allocated bytes of a file.
int64_t Allocated(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_blocks) * 512 : -1;
}

TEST(CopyTarget, HolesOfTheSourceStayHoles) {
  TTempDir dir;
  constexpr int64_t MiB = 1 << 20;
  const std::string data = test::RandomBytes(MiB, 5);
  struct TRow {
    const char* Name;
    int64_t Size;
    std::vector<int64_t> DataAt;  // offsets of 1 MiB of data each
  } rows[] = {
      {"data in the middle", 24 * MiB, {10 * MiB}},
      {"ends in a hole", 32 * MiB, {0, 3 * MiB}},
      {"ends in data", 16 * MiB, {15 * MiB}},
      {"only a hole", 8 * MiB, {}},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string src = dir / "sparse", dst = dir / "copy";
    ::unlink(dst.c_str());
    {
      const int fd = ::open(src.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      for (int64_t at : row.DataAt) ASSERT_EQ(::pwrite(fd, data.data(), data.size(), at), MiB);
      ASSERT_EQ(::ftruncate(fd, row.Size), 0);
      ::close(fd);
    }
    if (Allocated(src) > static_cast<int64_t>(row.DataAt.size() + 1) * MiB)
      GTEST_SKIP() << "the temporary folder's file system keeps no holes";
    EXPECT_EQ(RunCopy(src, dst), 0);
    EXPECT_TRUE(test::Run("cmp -s '" + src + "' '" + dst + "'"));
    EXPECT_LE(Allocated(dst), static_cast<int64_t>(row.DataAt.size() + 1) * MiB);
  }
}

TEST(CopyTarget, FileSizeLimitReadsAsLowDiskSpaceAndKeepsTheOldTarget) {
  TTempDir dir;
  ASSERT_TRUE(WriteFile(dir / "src", test::RandomBytes(1 << 20, 9)));
  ASSERT_TRUE(WriteFile(dir / "dst", "old"));
  // In a child: the limit and the ignored signal must not reach the rest of the tests.
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    TCopyThread worker(dir / "src", dir / "dst", true, 65536, tpNormal);
    worker.Resume();
    worker.WaitFor();
    ::_exit(ErrorDetail(worker.ErrorCode().Value()));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), errDiskFull);
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
}

TEST(CopyTarget, RootBoundsTheTargetAndMakesMissingFolders) {
  TTempDir dir;
  ASSERT_TRUE(WriteFile(dir / "src", "data"));
  ::mkdir((dir / "dst").c_str(), 0755);
  ::mkdir((dir / "elsewhere").c_str(), 0755);
  ASSERT_EQ(::symlink((dir / "elsewhere").c_str(), (dir / "dst/sub").c_str()), 0);
  const struct {
    std::string Target;
    int Detail;
  } rows[] = {
      {dir / "dst/sub/y.txt", errNameRefused},
      {dir / "dst/../y.txt", errNameRefused},
      {dir / "other/y.txt", errNameRefused},
      {dir / "dst/new/y.txt", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Target);
    const int code = RunCopy(dir / "src", row.Target, dir / "dst");
    EXPECT_EQ(ErrorDetail(static_cast<uint32_t>(code)), row.Detail);
  }
  EXPECT_TRUE(test::ListDir(dir / "elsewhere").empty());
  EXPECT_FALSE(test::FileExists(dir / "y.txt"));
  EXPECT_EQ(ReadFile(dir / "dst/new/y.txt"), "data");
}

// A verified copy is compared with its source: in two halves on two threads, and for a large
// one against the source's CRC taken during the copy. A change in either half, or in the
// length, must be found by both ways.
TEST(CopyTarget, VerifiedCopyFindsAChangeInEitherHalf) {
  TTempDir dir;
  for (const int64_t size : {(int64_t{20} << 20) + 4097, (int64_t{33} << 20) + 1}) {
    const std::string data = test::RandomBytes(static_cast<size_t>(size), 21);
    ASSERT_TRUE(WriteFile(dir / "src", data));
    const struct {
      const char* Name;
      int64_t At;  // a byte flipped there; -1: the target loses its last byte; -2: unchanged
      uint32_t Detail;
    } rows[] = {
        {"unchanged", -2, 0},
        {"first byte", 0, errVerifyFailed},
        {"upper half", size - (5 << 20), errVerifyFailed},
        {"last byte", size - 1, errVerifyFailed},
        {"cut short", -1, errVerifyFailed},
    };
    for (const auto& row : rows) {
      SCOPED_TRACE(std::to_string(size) + " " + row.Name);
      TCopyThread::SetVerifyHook([&row, size](const std::string& path) {
        if (row.At == -1) {
          ASSERT_EQ(::truncate(path.c_str(), size - 1), 0);
        } else if (row.At >= 0) {
          std::string bytes = ReadFile(path);
          bytes[static_cast<size_t>(row.At)] ^= 0x20;
          ASSERT_TRUE(WriteFile(path, bytes));
        }
      });
      TCopyThread worker(dir / "src", dir / "dst", true, 65536, tpNormal);
      worker.SetVerifyTarget(true);
      EXPECT_TRUE(test::RunToEnd(worker));
      EXPECT_EQ(worker.ErrorCode().Detail(), row.Detail);
    }
  }
  TCopyThread::SetVerifyHook(nullptr);
}

// One query gives a source's attribute word and times; links are not followed.
TEST(CopyTarget, SourceAttributesAndTimesInOneQuery) {
  TTempDir dir;
  ASSERT_TRUE(WriteFile(dir / "file", "x"));
  ASSERT_TRUE(WriteFile(dir / ".hidden", "x"));
  ::chmod((dir / ".hidden").c_str(), 0444);
  ::mkdir((dir / "folder").c_str(), 0755);
  ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
  const struct {
    const char* Name;
    int Attr;
    bool Times;
  } rows[] = {
      {"file", static_cast<int>(faArchive), true},
      {".hidden", static_cast<int>(faArchive | faReadOnly | faHidden), true},
      {"folder", static_cast<int>(faDirectory), false},
      {"link", static_cast<int>(faSymLink), true},
      {"missing", -1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TFileTimestamps times;
    EXPECT_EQ(GetFileAttrTimestamps(dir / row.Name, times), row.Attr);
    EXPECT_EQ(LongFileGetAttr(dir / row.Name, false), row.Attr);
    EXPECT_EQ(times.Valid, row.Times);
    if (row.Times) {
      EXPECT_EQ(times.LastWriteTime, GetFileTimestamps(dir / row.Name, false).LastWriteTime);
    }
  }
}

}  // namespace
}  // namespace qv
