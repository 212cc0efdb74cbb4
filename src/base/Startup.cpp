// SPDX-License-Identifier: Apache-2.0
#include "base/Startup.h"

#include <locale.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <utility>

#include "base/FileUtils.h"
#include "base/FormatUtils.h"
#include "base/IniFile.h"
#include "base/PathUtils.h"
#include "base/Translation.h"

namespace qv {
namespace {

struct TStartupValues {
  std::string ConfigSubFolder = "Quorvex5/";
  std::string ConfigName;  // empty: the program's name with "cfg"
  std::string LanguageFile;
  std::string LanguageCode;
  TVersionInfo Version;
  bool VersionRead = false;
};

TStartupValues& Values() {
  static TStartupValues values;
  return values;
}

constexpr std::array<std::pair<int, const char*>, 27> kLanguages = {{
    {0x02, "bg"}, {0x05, "cs"}, {0x06, "da"}, {0x07, "de"}, {0x08, "el"}, {0x09, "en"},
    {0x0A, "es"}, {0x0B, "fi"}, {0x0C, "fr"}, {0x0E, "hu"}, {0x10, "it"}, {0x13, "nl"},
    {0x14, "no"}, {0x15, "pl"}, {0x16, "pt"}, {0x18, "ro"}, {0x19, "ru"}, {0x1A, "hr"},
    {0x1B, "sk"}, {0x1C, "sq"}, {0x1D, "sv"}, {0x1F, "tr"}, {0x22, "uk"}, {0x24, "sl"},
    {0x25, "et"}, {0x26, "lv"}, {0x27, "lt"},
}};

// Codes of the POSIX locale names that share a primary id with one of the table, and
// languages outside the table that the suite must recognise as such.
constexpr std::array<std::pair<int, const char*>, 6> kLanguageAliases = {{
    {0x14, "nb"}, {0x14, "nn"}, {0x1A, "sr"}, {0x1A, "bs"}, {0x11, "ja"}, {0x04, "zh"},
}};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string FirstTwo(const std::string& text) { return text.substr(0, 2); }

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t pos = text.find(from); pos != std::string::npos; pos = text.find(from, pos + to.size()))
    text.replace(pos, from.size(), to);
  return text;
}

std::string ConfigFileName() {
  const std::string& stored = Values().ConfigName;
  return stored.empty() ? ProgramName() + ".cfg" : stored;
}

const TVersionInfo& StoredVersion() {
  TStartupValues& v = Values();
  if (!v.VersionRead) {
    ReadVersionInfo(ProgramFileName(), v.Version);
    v.VersionRead = true;
  }
  return v.Version;
}

// The date in the user's short date format.
std::string ShortDate(TFileTime ft) {
  const timespec ts = TimespecFromFileTime(ft);
  tm local{};
  if (!localtime_r(&ts.tv_sec, &local)) return {};
  char buffer[64] = {};
  locale_t user = ::newlocale(LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
  size_t n = 0;
  if (user) {
    n = ::strftime_l(buffer, sizeof buffer, "%x", &local, user);
    ::freelocale(user);
  } else {
    n = ::strftime(buffer, sizeof buffer, "%x", &local);
  }
  return std::string(buffer, n);
}

}  // namespace

std::vector<std::string> CommandLineArgs(int argc, char** argv) {
  std::vector<std::string> args;
#ifdef _WIN32
  // The arguments as typed (UTF-16), not through the ANSI code page; output bytes as written
  // (UTF-8, "\n" line ends) to pipes and files, and UTF-8 on the console.
  (void)argc;
  (void)argv;
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleOutputCP(CP_UTF8);
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(qv_utf8(wide[i]));
    LocalFree(wide);
  }
  // Paths inside use "/" (Windows takes it too), so "C:\Backup\a.zip\docs" splits as on
  // Linux; a command line for the password stays as typed.
  for (size_t i = 0; i < args.size(); ++i) {
    std::string& arg = args[i];
    if (arg.rfind("--password-command", 0) == 0) {
      if (arg.find('=') == std::string::npos) ++i;
      continue;
    }
    for (auto& c : arg)
      if (c == '\\') c = '/';
  }
  return args;
#endif
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i] ? argv[i] : "");
  return args;
}

void InitTranslation(const std::vector<std::string>& args, const std::string& subFolder,
                     const std::string& configName,
                     const std::vector<std::string>& extraDomains) {
  // The user's locale for characters, messages and dates; numbers keep the "C" rules so that
  // text written and parsed by the program stays the same everywhere.
  ::setlocale(LC_CTYPE, "");
  ::setlocale(LC_MESSAGES, "");
  ::setlocale(LC_TIME, "");
  ::setlocale(LC_COLLATE, "");
  CaptureNumberFormat();

  Values().ConfigSubFolder = AddPathDelimiter(subFolder);
  if (!configName.empty()) Values().ConfigName = configName;
  std::vector<std::string> domains;
  for (const std::string& d : extraDomains)
    if (!d.empty() && std::find(domains.begin(), domains.end(), d) == domains.end())
      domains.push_back(d);
  BindTextDomains(domains);
  SetTranslationLanguage(SelectLanguage(args));
}

std::string SelectLanguage(const std::vector<std::string>& args) {
  std::string code = ReadLanguageSetting(args);
  if (code.empty()) code = DefaultLanguageCode();
  Values().LanguageCode = code;
  return code;
}

std::string ReadLanguageSetting(const std::vector<std::string>& args) {
  std::string code, candidate;
  for (const std::string& arg : args) {
    if (arg.empty() || (arg[0] != '/' && arg[0] != '-')) continue;
    std::string text = arg.substr(1);
    if (StripPrefix(text, "lang")) {
      code = FirstTwo(text);
      continue;
    }
    if (StripPrefix(text, "ini")) candidate = ExpandPathPlaceholders(text);
  }
  std::string folder;
  if (IsAbsolutePath(candidate)) {
    folder = ExtractFilePath(candidate);
  } else if (const std::string appData = GetSpecialFolder(csidlAppData); !appData.empty()) {
    folder = AddPathDelimiter(appData) + ConfigSubFolder();
  } else {
    folder = ProgramPath();
  }
  Values().LanguageFile = CombineFileName(folder, ConfigFileName());
  if (code.empty()) code = FirstTwo(ReadIniString(Values().LanguageFile, "Language", "LangID"));
  return code;
}

int LanguageIdFromCode(const std::string& code) {
  const std::string lower = Lower(code);
  for (const auto& [id, name] : kLanguages)
    if (lower == name) return id;
  for (const auto& [id, name] : kLanguageAliases)
    if (lower == name) return id;
  return 0;
}

std::string LanguageCodeFromId(int id) {
  const int primary = id & 0x3FF;
  for (const auto& [known, name] : kLanguages)
    if (known == primary) return name;
  return {};
}

std::string DefaultLanguageCode() {
  std::string value;
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(variable);
    if (v && *v) {
      value = v;
      break;
    }
  }
  value = value.substr(0, value.find(':'));  // LANGUAGE may list several
  const size_t end = value.find_first_of("_.@-");
  const std::string language = value.substr(0, end);
  if (language.size() != 2) return {};  // "C", "POSIX" and three-letter codes
  return LanguageCodeFromId(LanguageIdFromCode(language));
}

std::string ExpandPathPlaceholders(const std::string& text) {
  auto special = [](int csidl) { return [csidl] { return GetSpecialFolder(csidl); }; };
  auto none = [] { return std::string(); };
  struct TPlaceholder {
    const char* Name;
    std::function<std::string()> Value;
  };
  const TPlaceholder placeholders[] = {
      {"%perspath%", special(csidlPersonal)},
      {"%apppath%", special(csidlAppData)},
      {"%profile%", [] { return ExcludeTrailingDelimiter(GetProfileDir()); }},
      {"%desktop%", special(csidlDesktop)},
      {"%favorites%", special(csidlFavorites)},
      {"%progfiles%", special(csidlProgramFiles)},
      {"%progpath%", [] { return ExcludeTrailingDelimiter(ProgramPath()); }},
      {"%username%", CurrentUserName},
      {"%computername%", CurrentComputerName},
      {"%user%", none},
      {"%computer%", none},
      {"%appdata%", special(csidlAppData)},
      {"%localappdata%", special(csidlLocalAppData)},
      {"%allusersprofile%", GetAllUsersDir},
      {"%public%", GetPublicDir},
      {"%programfiles%", special(csidlProgramFiles)},
      {"%commonprogramfiles%", special(csidlProgramFilesCommon)},
      {"%programfiles(x86)%", special(csidlProgramFilesX86)},
      {"%commonprogramfiles(x86)%", special(csidlProgramFilesCommonX86)},
      {"%programdata%", GetAllUsersDir},
  };
  std::string result = text;
  for (const TPlaceholder& p : placeholders)
    if (result.find(p.Name) != std::string::npos)
      result = ReplaceAll(result, p.Name, p.Value());
  return result;
}

const std::string& ConfigSubFolder() { return Values().ConfigSubFolder; }
const std::string& LanguageFile() { return Values().LanguageFile; }
const std::string& LanguageCode() { return Values().LanguageCode; }

std::string ProgramPath() {
  const std::string exe = ProgramFileName();
  return exe.empty() ? std::string("./") : ExtractFilePath(exe);
}

std::string ProgramName() { return "QuorvexRestore"; }

TProgramPaths GetProgramPaths(bool createFolder) {
  TProgramPaths paths;
  const std::string appData = GetSpecialFolder(csidlAppData);
  paths.SettingsFolder =
      appData.empty() ? ProgramPath() : AddPathDelimiter(appData) + ConfigSubFolder();
  if (createFolder && !LongForceDirectories(paths.SettingsFolder))
    paths.SettingsFolder = ProgramPath();
  paths.DocumentsFolder = AddPathDelimiter(GetSpecialFolder(csidlPersonal));
  paths.ProgramFilesFolder = AddPathDelimiter(GetSpecialFolder(csidlProgramFiles));
  return paths;
}

TProgramVersion GetProgramVersion(const std::string& name, const std::string& fallbackVersion,
                                  const std::string& fallbackCopyright, int parts) {
  TStartupValues& v = Values();
  const std::string exe = ProgramFileName();
  if (ReadVersionInfo(exe, v.Version)) {
    if (v.Version.InternalName.empty()) v.Version.InternalName = name;
  } else {
    v.Version.InternalName = name;
    v.Version.Version = fallbackVersion;
    v.Version.Copyright = fallbackCopyright;
  }
  v.VersionRead = true;
  v.Version.Comments = VersionText(parts);
  TProgramVersion result;
  result.NameWithVersion = v.Version.InternalName + " (" + v.Version.Comments + ")";
  result.FileDate = ShortDate(GetFileLastWrite(exe));
  return result;
}

const TVersionInfo& ProgramVersionInfo() { return StoredVersion(); }

std::string VersionText(const std::string& version, int parts) {
  std::string shortened = version;
  for (int i = parts; i < 4; ++i) {
    const size_t dot = shortened.rfind('.');
    if (dot == std::string::npos) break;  // the first component always stays
    shortened.erase(dot);
  }
  return TrUnits("Version") + " " + shortened;
}

std::string VersionText(int parts) { return VersionText(StoredVersion().Version, parts); }

namespace {

const TProgramVersion& ProgramVersionTexts() {
  static const TProgramVersion texts =
      GetProgramVersion(ProgramName(), " - Vers. 2.5", CopyrightLine(), 3);
  return texts;
}

}  // namespace

const std::string& ProgVersName() { return ProgramVersionTexts().NameWithVersion; }
const std::string& ProgVersDate() { return ProgramVersionTexts().FileDate; }

}  // namespace qv
