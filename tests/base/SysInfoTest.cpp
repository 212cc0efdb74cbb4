// SPDX-License-Identifier: Apache-2.0
#include "base/SysInfo.h"

#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "EnvGuard.h"
#include "TestDir.h"

using namespace qv;
using qv::test::TEnvGuard;
using qv::test::TTestDir;

TEST(SpecialFolders, FollowTheXdgVariables) {
  TTestDir dir;
  TEnvGuard env;
  env.Set("HOME", dir / "home");
  env.Unset("XDG_CONFIG_HOME");
  env.Unset("XDG_DATA_HOME");
  EXPECT_EQ(GetSpecialFolder(csidlAppData), dir / "home/.config");
  EXPECT_EQ(GetSpecialFolder(csidlLocalAppData), dir / "home/.local/share");
  EXPECT_EQ(GetSpecialFolder(csidlDesktop), dir / "home/Desktop");
  EXPECT_EQ(GetSpecialFolder(csidlPersonal), dir / "home");
  EXPECT_EQ(GetProfileDir(), dir / "home");

  env.Set("XDG_CONFIG_HOME", dir / "cfg/");
  env.Set("XDG_DATA_HOME", dir / "data");
  EXPECT_EQ(GetSpecialFolder(csidlAppData), dir / "cfg");
  EXPECT_EQ(GetSpecialFolder(csidlLocalAppData), dir / "data");
  // A relative value is invalid and ignored.
  env.Set("XDG_DATA_HOME", "relative");
  EXPECT_EQ(GetSpecialFolder(csidlLocalAppData), dir / "home/.local/share");

  EXPECT_EQ(GetSpecialFolder(csidlFavorites), "");
  EXPECT_EQ(GetSpecialFolder(12345), "");
  EXPECT_FALSE(GetSpecialFolder(csidlProgramFiles).empty());
}

TEST(SpecialFolders, ReadUserDirsFile) {
  TTestDir dir;
  TEnvGuard env;
  env.Set("HOME", dir / "home");
  env.Set("XDG_CONFIG_HOME", dir / "cfg");
  dir.Write("cfg/user-dirs.dirs",
            "# written by xdg-user-dirs-update\n"
            "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
            "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente/\"\n"
            "XDG_PUBLICSHARE_DIR=\"/srv/public\"\n"
            "XDG_MUSIC_DIR=\"$HOME/Musik\"\n");
  EXPECT_EQ(GetSpecialFolder(csidlDesktop), dir / "home/Schreibtisch");
  EXPECT_EQ(GetSpecialFolder(csidlPersonal), dir / "home/Dokumente");
  EXPECT_EQ(GetPublicDir(), "/srv/public");
}

TEST(SystemInfo, TempDirUserAndMachine) {
  TEnvGuard env;
  env.Set("TMPDIR", "/var/tmp");
  EXPECT_EQ(GetTempDir(), "/var/tmp/");
  env.Set("TMPDIR", "/var/tmp/");
  EXPECT_EQ(GetTempDir(), "/var/tmp/");
  env.Unset("TMPDIR");
  EXPECT_EQ(GetTempDir(), "/tmp/");

  EXPECT_FALSE(CurrentUserName().empty());
  EXPECT_FALSE(CurrentComputerName().empty());
  env.Set("XDG_CONFIG_DIRS", "/etc/site:/etc/xdg");
  EXPECT_EQ(GetAllUsersDir(), "/etc/site");
  env.Unset("XDG_CONFIG_DIRS");
  EXPECT_EQ(GetAllUsersDir(), "/etc/xdg");
  EXPECT_EQ(IsNative64Bit(), sizeof(void*) == 8);
}

TEST(SystemInfo, VersionOfThisBuild) {
  TVersionInfo info;
  info.Comments = "stale";
  ASSERT_TRUE(ReadVersionInfo(ProgramFileName(), info));
  EXPECT_EQ(info.Version, QV_VERSION);
  EXPECT_EQ(info.InternalName, "QuorvexRestore");
  EXPECT_EQ(info.Comments, "");
  EXPECT_NE(CopyrightLine().find('\n'), std::string::npos);
  EXPECT_NE(ProgramFileName().find("test_base"), std::string::npos);
}
