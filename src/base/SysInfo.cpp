// SPDX-License-Identifier: Apache-2.0
#include "base/SysInfo.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "BuildConfig.h"
#include "base/PathUtils.h"

namespace qv {
namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

// A text field of this user's password-database entry; empty when there is none.
std::string PasswdField(char* passwd::*field) {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* result = nullptr;
  if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result &&
      result->*field)
    return result->*field;
  return {};
}

// An XDG base folder: the variable when it holds an absolute path, else home + fallback.
std::string XdgBase(const char* variable, const char* fallback) {
  const std::string value = Env(variable);
  if (IsAbsolutePath(value)) return ExcludeTrailingDelimiter(value);
  const std::string home = GetProfileDir();
  return home.empty() ? std::string() : ExcludeTrailingDelimiter(home) + fallback;
}

// A folder from user-dirs.dirs (lines like XDG_DOCUMENTS_DIR="$HOME/Documents").
std::string XdgUserDir(const std::string& key, const std::string& fallbackBelowHome) {
  const std::string home = ExcludeTrailingDelimiter(GetProfileDir());
  const std::string config = XdgBase("XDG_CONFIG_HOME", "/.config");
  std::ifstream in(config + "/user-dirs.dirs");
  std::string line, found;
  while (std::getline(in, line)) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (line.compare(start, key.size() + 1, key + "=") != 0) continue;
    std::string value = line.substr(start + key.size() + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    if (value.rfind("$HOME", 0) == 0)
      value = home + value.substr(5);
    else if (!IsAbsolutePath(value))
      continue;
    found = ExcludeTrailingDelimiter(value);  // the last assignment counts
  }
  if (!found.empty()) return found;
  if (home.empty()) return {};
  return fallbackBelowHome.empty() ? home : home + "/" + fallbackBelowHome;
}

}  // namespace

#ifdef _WIN32
namespace {

// A known folder of the shell, "/"-separated as paths are inside; empty when it has none.
std::string KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::string out;
  if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path))) out = qv_utf8(path);
  CoTaskMemFree(path);
  for (auto& c : out)
    if (c == '\\') c = '/';
  return ExcludeTrailingDelimiter(out);
}

}  // namespace
#endif

std::string GetSpecialFolder(int csidl) {
#ifdef _WIN32
  // Windows has the folders themselves.
  switch (csidl) {
    case csidlDesktop: return KnownFolder(FOLDERID_Desktop);
    case csidlPersonal: return KnownFolder(FOLDERID_Documents);
    case csidlFavorites: return KnownFolder(FOLDERID_Favorites);
    case csidlAppData: return KnownFolder(FOLDERID_RoamingAppData);
    case csidlLocalAppData: return KnownFolder(FOLDERID_LocalAppData);
    case csidlProgramFiles: return KnownFolder(FOLDERID_ProgramFiles);
    case csidlProgramFilesX86: return KnownFolder(FOLDERID_ProgramFilesX86);
    case csidlProgramFilesCommon: return KnownFolder(FOLDERID_ProgramFilesCommon);
    case csidlProgramFilesCommonX86: return KnownFolder(FOLDERID_ProgramFilesCommonX86);
    default: return {};
  }
#endif
  switch (csidl) {
    case csidlDesktop: return XdgUserDir("XDG_DESKTOP_DIR", "Desktop");
    case csidlPersonal: return XdgUserDir("XDG_DOCUMENTS_DIR", "");
    case csidlAppData: return XdgBase("XDG_CONFIG_HOME", "/.config");
    case csidlLocalAppData: return XdgBase("XDG_DATA_HOME", "/.local/share");
    case csidlProgramFiles:
    case csidlProgramFilesX86: return "/opt";
    case csidlProgramFilesCommon:
    case csidlProgramFilesCommonX86: return "/usr/share";
    default: return {};
  }
}

std::string GetTempDir() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
  std::string temp = n > 0 && n <= MAX_PATH + 1 ? qv_utf8(std::wstring(buffer, n)) : std::string();
  for (auto& c : temp)
    if (c == '\\') c = '/';
  if (!temp.empty()) return AddPathDelimiter(temp);
#endif
  const std::string tmp = Env("TMPDIR");
  return AddPathDelimiter(IsAbsolutePath(tmp) ? tmp : "/tmp");
}

std::string CurrentUserName() {
  std::string name = PasswdField(&passwd::pw_name);
  if (name.empty()) name = Env("USER");
  if (name.empty()) name = Env("LOGNAME");
  return name;
}

std::string CurrentComputerName() {
  char buffer[1025] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return buffer;
}

std::string GetProfileDir() {
#ifdef _WIN32
  if (const std::string profile = KnownFolder(FOLDERID_Profile); !profile.empty()) return profile;
#endif
  const std::string home = Env("HOME");
  return home.empty() ? PasswdField(&passwd::pw_dir) : home;
}

std::string GetAllUsersDir() {
#ifdef _WIN32
  if (const std::string data = KnownFolder(FOLDERID_ProgramData); !data.empty()) return data;
#endif
  const std::string dirs = Env("XDG_CONFIG_DIRS");
  const std::string first = dirs.substr(0, dirs.find(':'));
  return IsAbsolutePath(first) ? ExcludeTrailingDelimiter(first) : "/etc/xdg";
}

std::string GetPublicDir() {
#ifdef _WIN32
  if (const std::string folder = KnownFolder(FOLDERID_Public); !folder.empty()) return folder;
#endif
  return XdgUserDir("XDG_PUBLICSHARE_DIR", "Public");
}

bool IsNative64Bit() {
  if (sizeof(void*) != 8) return false;
  utsname name{};
  if (::uname(&name) != 0) return false;
  const std::string machine = name.machine;
  return !(machine.size() == 4 && machine[0] == 'i' && machine.compare(2, 2, "86") == 0);
}

bool ReadVersionInfo(const std::string& /*exeFile*/, TVersionInfo& info) {
  info = TVersionInfo{};
  info.Company = "Quorvex";
  info.Description = "Restore files from backup";
  info.Version = QV_VERSION;
  info.InternalName = "QuorvexRestore";
  info.Copyright = CopyrightLine();
  return true;
}

std::string CopyrightLine() {
  return "Copyright (C) Quorvex backup suite\nDistributed without any warranty";
}

std::string ProgramFileName() {
  std::vector<char> buffer(4096);
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  return n > 0 ? std::string(buffer.data(), static_cast<size_t>(n)) : std::string();
}

}  // namespace qv
