// SPDX-License-Identifier: Apache-2.0
#include "base/Startup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "BuildConfig.h"
#include "EnvGuard.h"
#include "TestDir.h"
#include "base/PathUtils.h"
#include "base/Translation.h"

using namespace qv;
using qv::test::TEnvGuard;
using qv::test::TTestDir;

namespace {

// A home of our own with an application-data folder, and no language in the environment.
class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FEnv.Set("HOME", FDir / "home");
    FEnv.Set("XDG_CONFIG_HOME", FDir / "home/.config");
    for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) FEnv.Unset(v);
    FEnv.Set("LANG", "C");
    InitTranslation({}, "Quorvex5", "Quorvex.cfg");
  }
  void TearDown() override { SetTranslationLanguage(""); }

  std::string AppData() const { return FDir / "home/.config"; }
  void WriteConfig(const std::string& folder, const std::string& langId) {
    FDir.Write(folder.substr(FDir.Path().size() + 1) + "/Quorvex.cfg",
               "[General]\nx=1\n[Language]\nLangID=" + langId + "\n");
  }

  TTestDir FDir;
  TEnvGuard FEnv;
};

}  // namespace

TEST_F(StartupTest, LanguageSwitchesAcceptAbbreviations) {
  const struct { std::vector<std::string> Args; std::string Language; } rows[] = {
      {{"/lang:de"}, "de"}, {{"-l:de"}, "de"}, {{"/LANG:de"}, "de"}, {{"/lang:deutsch"}, "de"}, {{"-La:de"}, "de"},
      {{"/language:de"}, ""},
      {{"lang:de"}, ""},  // no switch character
      {{"/lang:fr", "some/file", "-l:it"}, "it"},
      {{"/lang:x"}, "x"},
  };
  for (const auto& row : rows) EXPECT_EQ(ReadLanguageSetting(row.Args), row.Language) << row.Args[0];
  EXPECT_EQ(LanguageFile(), AppData() + "/Quorvex5/Quorvex.cfg");
}

TEST_F(StartupTest, LanguageFromTheConfigurationFile) {
  WriteConfig(AppData() + "/Quorvex5", "sv");
  EXPECT_EQ(ReadLanguageSetting({}), "sv");
  // A switch wins over the file.
  EXPECT_EQ(ReadLanguageSetting({"-lang:fr"}), "fr");
  WriteConfig(AppData() + "/Quorvex5", "deutsch");
  EXPECT_EQ(ReadLanguageSetting({}), "de");
}

TEST_F(StartupTest, IniSwitchMovesTheConfigurationFolder) {
  WriteConfig(AppData() + "/Quorvex5", "fr");
  WriteConfig(AppData() + "/Other", "sv");
  // Only the folder of the given path counts: the name stays "Quorvex.cfg".
  EXPECT_EQ(ReadLanguageSetting({"/ini:%apppath%/Other/x.ini"}), "sv");
  EXPECT_EQ(LanguageFile(), AppData() + "/Other/Quorvex.cfg");
  // Not absolute: ignored for the folder.
  EXPECT_EQ(ReadLanguageSetting({"/ini:rel/x.ini"}), "fr");
  EXPECT_EQ(LanguageFile(), AppData() + "/Quorvex5/Quorvex.cfg");
  // Only the lower-case placeholder is replaced; the rest is then a relative path.
  EXPECT_EQ(ReadLanguageSetting({"/ini:%AppPath%/x.ini"}), "fr");
  EXPECT_EQ(LanguageFile(), AppData() + "/Quorvex5/Quorvex.cfg");
  // The lang switch is tested first, and later switches override earlier ones.
  EXPECT_EQ(ReadLanguageSetting({"-i:" + AppData() + "/Other/", "-i:rel"}), "fr");
}

TEST_F(StartupTest, DefaultLanguageFromTheEnvironment) {
  FEnv.Set("LANG", "sv_SE.UTF-8");
  EXPECT_EQ(DefaultLanguageCode(), "sv");
  EXPECT_EQ(SelectLanguage({}), "sv");
  EXPECT_EQ(LanguageCode(), "sv");
  FEnv.Set("LANG", "ja_JP.UTF-8");
  EXPECT_EQ(DefaultLanguageCode(), "");
  EXPECT_EQ(SelectLanguage({}), "");
  FEnv.Set("LC_MESSAGES", "de_AT");
  EXPECT_EQ(DefaultLanguageCode(), "de");
  FEnv.Set("LC_ALL", "C");
  EXPECT_EQ(DefaultLanguageCode(), "");
  FEnv.Set("LANGUAGE", "nb:de");
  EXPECT_EQ(DefaultLanguageCode(), "no");
  FEnv.Set("LANGUAGE", "pt_BR");
  EXPECT_EQ(DefaultLanguageCode(), "pt");

  EXPECT_EQ(LanguageIdFromCode("SV"), 0x1D);
  EXPECT_EQ(LanguageIdFromCode("ja"), 0x11);
  EXPECT_EQ(LanguageCodeFromId(0x11), "");
  EXPECT_EQ(LanguageCodeFromId(0x0407), "de");  // the sub-language bits do not matter
  EXPECT_EQ(LanguageCodeFromId(LanguageIdFromCode("sr")), "hr");
  EXPECT_EQ(LanguageIdFromCode("xx"), 0);
}

TEST_F(StartupTest, PlaceholdersOnlyInLowerCase) {
  FEnv.Set("XDG_DATA_HOME", FDir / "data");
  const struct { std::string Text, Expanded; } rows[] = {
      {"%apppath%/a/%appdata%", AppData() + "/a/" + AppData()},
      {"%localappdata%/x", FDir / "data/x"},
      {"%profile%", FDir / "home"},
      {"/u/%username%/%user%/%computer%", "/u/" + CurrentUserName() + "//"},
      {"%computername%", CurrentComputerName()},
      {"%progpath%/", ProgramPath()},
      {"%AppPath%/%apppath%", "%AppPath%/" + AppData()},
      {"%APPPATH%", "%APPPATH%"},
      {"%programfiles(x86)%", GetSpecialFolder(csidlProgramFilesX86)},
      {"no placeholder %", "no placeholder %"},
  };
  for (const auto& row : rows) EXPECT_EQ(ExpandPathPlaceholders(row.Text), row.Expanded) << row.Text;
}

TEST_F(StartupTest, SettingsFolderIsCreatedOrFallsBack) {
  const TProgramPaths paths = GetProgramPaths(true);
  EXPECT_EQ(paths.SettingsFolder, AppData() + "/Quorvex5/");
  EXPECT_TRUE(std::filesystem::is_directory(paths.SettingsFolder));
  EXPECT_EQ(paths.DocumentsFolder, FDir / "home/");
  EXPECT_EQ(paths.ProgramFilesFolder.back(), '/');

  // The application-data folder is a file: the program's own folder is used instead.
  FDir.Write("blocker", "x");
  FEnv.Set("XDG_CONFIG_HOME", FDir / "blocker");
  EXPECT_EQ(GetProgramPaths(true).SettingsFolder, ProgramPath());
  EXPECT_EQ(GetProgramPaths(false).SettingsFolder, FDir / "blocker/Quorvex5/");
  EXPECT_EQ(ProgramName(), "QuorvexRestore");
  EXPECT_EQ(ProgramPath().back(), '/');
}

TEST_F(StartupTest, VersionTexts) {
  const struct { std::string Version; int Parts; std::string Text; } rows[] = {
      {"3.1.0.0", 3, "Version 3.1.0"}, {"3.1.0.0", 2, "Version 3.1"}, {"3.1.0.0", 4, "Version 3.1.0.0"},
      {"3.1.0.0", 7, "Version 3.1.0.0"}, {"3.1", 3, "Version 3"}, {"3.1", 1, "Version 3"}};
  for (const auto& row : rows)
    EXPECT_EQ(VersionText(row.Version, row.Parts), row.Text) << row.Version << " " << row.Parts;

  const TProgramVersion v = GetProgramVersion("QuorvexRestore", " - Vers. 2.5", "c", 3);
  EXPECT_EQ(v.NameWithVersion, "QuorvexRestore (Version 2.5.0)");
  EXPECT_FALSE(v.FileDate.empty());
  EXPECT_EQ(ProgramVersionInfo().Comments, "Version 2.5.0");
  EXPECT_EQ(ProgramVersionInfo().Version, QV_VERSION);
  EXPECT_EQ(VersionText(2), "Version 2.5");
  EXPECT_EQ(ProgVersName(), "QuorvexRestore (Version 2.5.0)");
  EXPECT_EQ(ProgVersDate(), v.FileDate);
}
