// SPDX-License-Identifier: Apache-2.0
// Timestamps, DOS times, permission bits and file details of restored files.
#include "transfer/FilePropUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <ctime>

#include "TestUtil.h"
#include "base/TimeUtils.h"

namespace qv {
namespace {

using test::TTempDir;
using test::WriteFile;

constexpr time_t kPast = 1387028000;

struct stat LStatOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

void SetTimes(const std::string& path, timespec atime, timespec mtime, int flags = 0) {
  timespec ts[2] = {atime, mtime};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, flags), 0);
}

class FileTimes : public ::testing::Test {
 protected:
  TTempDir dir;
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(WriteFile(dir / "file", "x"));
  }
};

TEST_F(FileTimes, ReadGivesTheFileTimesToTheTick) {
  SetTimes(dir / "file", {kPast - 100, 1234500}, {kPast, 9876500});
  const auto t = GetFileTimestamps(dir / "file", false);
  ASSERT_TRUE(t.Valid);
  EXPECT_EQ(t.LastWriteTime, FileTimeFromUnixSeconds(kPast) + 98765);
  EXPECT_EQ(t.LastAccessTime, FileTimeFromUnixSeconds(kPast - 100) + 12345);
  EXPECT_GT(t.CreationTime, FileTimeFromUnixSeconds(kPast));  // made now, not set
}

TEST_F(FileTimes, MissingItemOrWrongKindIsInvalidAndZero) {
  for (const auto& t : {GetFileTimestamps(dir / "missing", false), GetFileTimestamps(dir.Path(), true),
                        GetFileTimestamps(dir / "file", false, true)}) {
    EXPECT_FALSE(t.Valid);
    EXPECT_EQ(t.CreationTime, 0);
    EXPECT_EQ(t.LastAccessTime, 0);
    EXPECT_EQ(t.LastWriteTime, 0);
  }
  EXPECT_TRUE(GetFileTimestamps(dir.Path(), true, true).Valid);
}

TEST_F(FileTimes, LinksAreFollowedOnlyWhenAsked) {
  ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
  SetTimes(dir / "file", {kPast, 0}, {kPast, 0});
  SetTimes(dir / "link", {kPast + 500, 0}, {kPast + 500, 0}, AT_SYMLINK_NOFOLLOW);
  EXPECT_EQ(GetFileTimestamps(dir / "link", true).LastWriteTime, FileTimeFromUnixSeconds(kPast));
  EXPECT_EQ(GetFileTimestamps(dir / "link", false).LastWriteTime, FileTimeFromUnixSeconds(kPast + 500));

  TFileTimestamps t{true, 0, FileTimeFromUnixSeconds(kPast - 7), FileTimeFromUnixSeconds(kPast - 9)};
  EXPECT_EQ(SetFileTimestamps(dir / "link", t, true, false, false), 0);
  EXPECT_EQ(LStatOf(dir / "link").st_mtim.tv_sec, kPast - 9);
  EXPECT_EQ(LStatOf(dir / "file").st_mtim.tv_sec, kPast);  // target untouched
  EXPECT_EQ(SetFileTimestamps(dir / "link", t, true, false, true), 0);
  EXPECT_EQ(LStatOf(dir / "file").st_mtim.tv_sec, kPast - 9);
}

TEST_F(FileTimes, SetAllOrLastWriteOnly) {
  SetTimes(dir / "file", {kPast - 50, 0}, {kPast - 50, 0});
  TFileTimestamps t{true, FileTimeFromUnixSeconds(kPast - 1000), FileTimeFromUnixSeconds(kPast - 2000),
                    FileTimeFromUnixSeconds(kPast - 3000) + 5};
  EXPECT_EQ(SetFileTimestamps(dir / "file", t, true, false, false), 0);
  auto st = LStatOf(dir / "file");
  EXPECT_EQ(st.st_mtim.tv_sec, kPast - 3000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 500);
  EXPECT_EQ(st.st_atim.tv_sec, kPast - 50);
  EXPECT_EQ(SetFileTimestamps(dir / "file", t, true, true, false), 0);
  st = LStatOf(dir / "file");
  EXPECT_EQ(st.st_atim.tv_sec, kPast - 2000);
}

TEST_F(FileTimes, InvalidTimesAndFutureTimesBecomeNow) {
  SetTimes(dir / "file", {kPast, 0}, {kPast, 0});
  const time_t before = time(nullptr);
  EXPECT_EQ(SetFileTimestamps(dir / "file", TFileTimestamps{}, true, true, false), 0);
  auto st = LStatOf(dir / "file");
  EXPECT_GE(st.st_mtim.tv_sec, before);
  EXPECT_GE(st.st_atim.tv_sec, before);
  EXPECT_LE(st.st_mtim.tv_sec, time(nullptr));

  const int64_t twoDays = FileTimeFromUnixSeconds(before + 2 * 86400);
  TFileTimestamps future{true, twoDays, twoDays, twoDays};
  EXPECT_EQ(SetFileTimestamps(dir / "file", future, true, true, false), 0);
  st = LStatOf(dir / "file");
  EXPECT_LE(st.st_mtim.tv_sec, time(nullptr));
  EXPECT_LE(st.st_atim.tv_sec, time(nullptr));
  EXPECT_EQ(SetFileTimestamps(dir / "file", future, false, true, false), 0);
  EXPECT_EQ(LStatOf(dir / "file").st_mtim.tv_sec, before + 2 * 86400);

  const int64_t hoursAhead = FileTimeFromUnixSeconds(before + 20 * 3600);
  EXPECT_EQ(SetFileTimestamps(dir / "file", {true, 0, hoursAhead, hoursAhead}, true, false, false), 0);
  EXPECT_EQ(LStatOf(dir / "file").st_mtim.tv_sec, before + 20 * 3600);
}

TEST_F(FileTimes, MissingFileGivesTheSystemError) {
  TFileTimestamps t{true, 0, 0, FileTimeFromUnixSeconds(kPast)};
  EXPECT_EQ(SetFileTimestamps(dir / "missing", t, true, true, false), ENOENT);
  EXPECT_EQ(SetFileDosTime(dir / "missing", 0x438E6B07, false), ENOENT);
}

TEST_F(FileTimes, DosTimeIsLocalTimeWithEvenSeconds) {
  // 2013-12-14 13:33:14 local time.
  const uint32_t date = ((2013 - 1980) << 9) | (12 << 5) | 14;
  const uint32_t tod = (13 << 11) | (33 << 5) | (14 / 2);
  ASSERT_EQ(SetFileDosTime(dir / "file", (date << 16) | tod, false), 0);
  std::tm local{};
  local.tm_year = 2013 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 14;
  local.tm_hour = 13;
  local.tm_min = 33;
  local.tm_sec = 14;
  local.tm_isdst = -1;
  EXPECT_EQ(LStatOf(dir / "file").st_mtim.tv_sec, mktime(&local));

  const uint32_t badMonth = (((2013 - 1980) << 9) | (13 << 5) | 14) << 16;
  EXPECT_NE(SetFileDosTime(dir / "file", badMonth, false), 0);
  EXPECT_EQ(LStatOf(dir / "file").st_mtim.tv_sec, mktime(&local));
}

TEST(FilePermissions, BitsAreCopiedAndFailuresReported) {
  TTempDir dir;
  ASSERT_TRUE(WriteFile(dir / "a", "1"));
  ASSERT_TRUE(WriteFile(dir / "b", "2"));
  for (mode_t mode : {0600u, 0755u, 0444u, 02750u}) {
    ASSERT_EQ(chmod((dir / "a").c_str(), mode), 0);
    EXPECT_EQ(CopyFilePermissions(dir / "a", dir / "b"), 0);
    EXPECT_EQ(LStatOf(dir / "b").st_mode & 07777, mode);
  }
  EXPECT_EQ(CopyFilePermissions(dir / "missing", dir / "b"), ENOENT);
  EXPECT_EQ(CopyFilePermissions(dir / "a", dir / "missing"), ENOENT);
}

class FileDetails : public ::testing::Test {
 protected:
  TTempDir dir;
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(WriteFile(dir / "src", "1"));
    ASSERT_TRUE(WriteFile(dir / "dst", "2"));
    if (setxattr((dir / "src").c_str(), "user.xdg.tags", "a,b", 3, 0) != 0)
      GTEST_SKIP() << "no user extended attributes on this file system";
  }
};

TEST_F(FileDetails, UserAttributesTravelToTheTarget) {
  const std::string binary("\0\x01\xff", 3);
  ASSERT_EQ(setxattr((dir / "src").c_str(), "user.xdg.comment", binary.data(), binary.size(), 0), 0);
  TFileSummary summary;
  ASSERT_TRUE(ReadFileSummary(dir / "src", summary));
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0].PropArray.size(), 2u);
  ASSERT_TRUE(WriteFileSummary(dir / "dst", summary));
  char value[16] = {};
  EXPECT_EQ(getxattr((dir / "dst").c_str(), "user.xdg.comment", value, sizeof value), 3);
  EXPECT_EQ(std::string(value, 3), binary);
  EXPECT_EQ(getxattr((dir / "dst").c_str(), "user.xdg.tags", value, sizeof value), 3);
  EXPECT_EQ(std::string(value, 3), "a,b");
}

TEST_F(FileDetails, EmptySummarySucceedsWithoutTouchingTheFile) {
  TFileSummary summary;
  ASSERT_TRUE(ReadFileSummary(dir / "dst", summary));
  EXPECT_TRUE(summary.empty());
  EXPECT_TRUE(WriteFileSummary(dir / "missing", summary));
  EXPECT_FALSE(test::FileExists(dir / "missing"));
}

TEST_F(FileDetails, FailuresAreReported) {
  TFileSummary summary;
  EXPECT_FALSE(ReadFileSummary(dir / "missing", summary));
  ASSERT_TRUE(ReadFileSummary(dir / "src", summary));
  EXPECT_FALSE(WriteFileSummary(dir / "missing", summary));
  // Only user attributes are written; a trusted or security name is refused.
  summary[0].PropArray.push_back({9, "security.evil", "x"});
  EXPECT_FALSE(WriteFileSummary(dir / "dst", summary));
  char value[4];
  EXPECT_LT(getxattr((dir / "dst").c_str(), "security.evil", value, sizeof value), 0);
}

}  // namespace
}  // namespace qv
