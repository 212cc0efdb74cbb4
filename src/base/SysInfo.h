// SPDX-License-Identifier: Apache-2.0
#pragma once
// System information: special folders (XDG), user and machine names, version of this build.
#include <string>

namespace qv {

// Special-folder ids as the callers know them, with their XDG/POSIX counterparts.
inline constexpr int csidlDesktop = 0;                 // XDG_DESKTOP_DIR (~/Desktop)
inline constexpr int csidlPersonal = 5;                // XDG_DOCUMENTS_DIR (~ when unset)
inline constexpr int csidlFavorites = 6;               // none: empty
inline constexpr int csidlAppData = 26;                // $XDG_CONFIG_HOME (~/.config)
inline constexpr int csidlLocalAppData = 28;           // $XDG_DATA_HOME (~/.local/share)
inline constexpr int csidlProgramFiles = 38;           // /opt
inline constexpr int csidlProgramFilesX86 = 42;        // /opt
inline constexpr int csidlProgramFilesCommon = 43;     // /usr/share
inline constexpr int csidlProgramFilesCommonX86 = 44;  // /usr/share

// The folder without a trailing "/"; empty for an unknown id or when it cannot be found.
std::string GetSpecialFolder(int csidl);

// $TMPDIR or /tmp, with a trailing "/".
std::string GetTempDir();
std::string CurrentUserName();
// The host name, at most 1024 characters.
std::string CurrentComputerName();
// $HOME, else the home folder of the password database.
std::string GetProfileDir();
// The machine-wide settings folder: the first entry of $XDG_CONFIG_DIRS, else /etc/xdg.
std::string GetAllUsersDir();
// XDG_PUBLICSHARE_DIR (~/Public).
std::string GetPublicDir();
// True for a 64-bit process on a processor that is not 32-bit x86.
bool IsNative64Bit();

struct TVersionInfo {
  std::string Company;
  std::string Description;
  std::string Version;
  std::string InternalName;
  std::string Copyright;
  std::string Comments;
};

// The version information compiled into this build; exeFile is not consulted.
bool ReadVersionInfo(const std::string& exeFile, TVersionInfo& info);
// The maker's two-line notice.
std::string CopyrightLine();
// The path of the running program, empty when the system does not tell.
std::string ProgramFileName();

}  // namespace qv
