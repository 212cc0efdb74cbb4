// SPDX-License-Identifier: Apache-2.0
// The mount a program runs on a thread of its own (the window's "Browse..."): started on a
// folder it makes, served, and stopped with nothing left mounted. Skipped without /dev/fuse.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "mount/Mount.h"
#include "transfer/TestUtil.h"

namespace qv {
namespace {

bool Mounted(const std::string& point) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line))
    if (line.find(" " + point + " ") != std::string::npos) return true;
  return false;
}

TEST(BackupMount, StartServeStop) {
  if (!FuseUnavailableReason().empty()) GTEST_SKIP() << FuseUnavailableReason();
  test::TTempDir dir("qvmount");
  ASSERT_TRUE(test::Run("mkdir -p '" + dir / "backup/set1/docs" + "'"));
  ASSERT_TRUE(test::WriteFile(dir / "backup/set1/docs/a.txt", "hello from the backup\n"));
  ASSERT_TRUE(test::Run("gzip '" + dir / "backup/set1/docs/a.txt" + "'"));
  TMountConfig config;
  config.Folder = dir / "backup";
  config.DateView = true;
  config.DayNumber = 2958465;  // 9999-12-31
  const std::string point = dir / "runtime/quorvex-restore/day";
  TBackupMount mount;
  std::string error;
  if (!mount.Start(config, point, error)) GTEST_SKIP() << "cannot mount here: " << error;
  EXPECT_TRUE(mount.Running());
  EXPECT_TRUE(Mounted(mount.MountPoint()));
  EXPECT_EQ(test::ReadFile(point + "/docs/a.txt"), "hello from the backup\n");
  // Read-only: a new file is refused.
  errno = 0;
  EXPECT_LT(::open((point + "/docs/new.txt").c_str(), O_WRONLY | O_CREAT, 0644), 0);
  EXPECT_EQ(errno, EROFS);
  mount.Stop();
  EXPECT_FALSE(mount.Running());
  EXPECT_FALSE(Mounted(dir / "runtime/quorvex-restore/day"));
  // A second start on the same folder works after the stop.
  ASSERT_TRUE(mount.Start(config, point, error)) << error;
  mount.Stop();
  EXPECT_FALSE(Mounted(dir / "runtime/quorvex-restore/day"));
}

TEST(BackupMount, RefusesAFolderThatIsNotEmpty) {
  if (!FuseUnavailableReason().empty()) GTEST_SKIP() << FuseUnavailableReason();
  test::TTempDir dir("qvmount");
  ASSERT_TRUE(test::Run("mkdir -p '" + dir / "backup" + "' '" + dir / "point/x" + "'"));
  TMountConfig config;
  config.Folder = dir / "backup";
  TBackupMount mount;
  std::string error;
  EXPECT_FALSE(mount.Start(config, dir / "point", error));
  EXPECT_NE(error.find("not an empty folder"), std::string::npos) << error;
  EXPECT_FALSE(mount.Running());
}

}  // namespace
}  // namespace qv
