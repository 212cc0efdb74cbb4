// SPDX-License-Identifier: Apache-2.0
#pragma once
// Start-up: language choice, where the settings live, and how the program names itself.
// Every value here is set once on the main thread before any window or worker exists.
#include <string>
#include <vector>

#include "base/SysInfo.h"

namespace qv {

// The parameters of a command line without the program name.
std::vector<std::string> CommandLineArgs(int argc, char** argv);

// Stores subFolder as the settings folder below the application-data folder and a non-empty
// configName as the name of the language file, binds the text domains (plus extraDomains),
// captures the number format, chooses the language from args and makes gettext use it.
void InitTranslation(const std::vector<std::string>& args, const std::string& subFolder,
                     const std::string& configName,
                     const std::vector<std::string>& extraDomains = {});

// ReadLanguageSetting, else DefaultLanguageCode; stored as LanguageCode().
std::string SelectLanguage(const std::vector<std::string>& args);
// "/lang:xx" or "-l:xx" style switches (the last wins), else "LangID" in section "Language"
// of LanguageFile(), which "/ini:path" may move to another folder. Sets LanguageFile().
std::string ReadLanguageSetting(const std::vector<std::string>& args);
// The two-letter code of LANGUAGE, LC_ALL, LC_MESSAGES or LANG (the first one set), limited
// to the languages the suite knows; empty otherwise.
std::string DefaultLanguageCode();
// The primary language id of a two-letter code (0 when unknown), and back ("" when unknown).
int LanguageIdFromCode(const std::string& code);
std::string LanguageCodeFromId(int id);

// Replaces the lower-case placeholders ("%apppath%", "%username%", ...) by their values.
std::string ExpandPathPlaceholders(const std::string& text);

const std::string& ConfigSubFolder();  // "Quorvex5/"
const std::string& LanguageFile();     // full path of "Quorvex.cfg"
const std::string& LanguageCode();     // at most two characters, may be empty
// The folder of the program file with a trailing "/", and the program's name.
std::string ProgramPath();
std::string ProgramName();  // "QuorvexRestore"

struct TProgramPaths {
  std::string SettingsFolder;      // ~/.config/Quorvex5/ (or the program's folder)
  std::string DocumentsFolder;     // with trailing "/"
  std::string ProgramFilesFolder;  // with trailing "/"
};
TProgramPaths GetProgramPaths(bool createFolder);

struct TProgramVersion {
  std::string FileDate;         // last write of the program file, user's short date format
  std::string NameWithVersion;  // "QuorvexRestore (Version 2.5.0)"
};
TProgramVersion GetProgramVersion(const std::string& name, const std::string& fallbackVersion,
                                  const std::string& fallbackCopyright, int parts);
// The version information as GetProgramVersion left it (Comments = VersionText).
const TVersionInfo& ProgramVersionInfo();

// "Version 3.1.0" for version "3.1.0.0" and 3 parts: the last 4 - parts components go.
std::string VersionText(const std::string& version, int parts);
std::string VersionText(int parts);  // of the program's own version

// The main window's title of the about box and the program file's date.
const std::string& ProgVersName();
const std::string& ProgVersDate();

}  // namespace qv
