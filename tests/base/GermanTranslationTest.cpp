// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "BuildConfig.h"
#include "EnvGuard.h"
#include "TestDir.h"
#include "base/FormatUtils.h"
#include "base/FtGlobal.h"
#include "base/Startup.h"
#include "base/Translation.h"

using namespace qv;
using qv::test::TEnvGuard;
using qv::test::TTestDir;

namespace {

// Catalogues from the build tree; every test ends in English again.
class GermanTranslation : public ::testing::Test {
 protected:
  void SetUp() override {
    FEnv.Unset("QUORVEX_LOCALEDIR");
    BindTextDomains();
  }
  void TearDown() override { SetTranslationLanguage(""); }
  TEnvGuard FEnv;
};

}  // namespace

TEST_F(GermanTranslation, ErrorMessagesAndUnits) {
  SetTranslationLanguage("de");
  const struct { uint32_t Code; std::string Text; } rows[] = {
      {0x610B, "Fehler: Entschlüsselung fehlgeschlagen (Entschlüsseln)"},
      {0x206, "Warnung: Dateiattribute konnten nicht gesetzt werden"},
      {0x1080, "Info: Vom Benutzer abgebrochen (Kopieren)"}, {0x414, "Info: Unbekannter Code (00000414)"},
  };
  for (const auto& row : rows) EXPECT_EQ(GetErrorMessage(row.Code), row.Text) << std::hex << row.Code;
  EXPECT_EQ(FormatMsg(MsgErrorOpening(), "a.zip"), "Fehler beim Öffnen von \"a.zip\"");
  EXPECT_EQ(FormatMsg(MsgErrorSetTime(), "x"), "Fehler beim Setzen des Zeitstempels von \"x\"");
  EXPECT_EQ(SizeToStr(5), "5 B");

  SetTranslationLanguage("");
  EXPECT_EQ(GetErrorMessage(0x610B), "Error: Decryption failed (Decrypt)");
}

TEST_F(GermanTranslation, CountsTakeTheFormOfTheirNumber) {
  const struct { const char* Language; unsigned long N; std::string Text; } rows[] = {
      {"", 1, "%u file copied"},   {"", 2, "%u files copied"},   {"", 0, "%u files copied"},
      {"de", 1, "%u Datei kopiert"}, {"de", 2, "%u Dateien kopiert"},
  };
  for (const auto& row : rows) {
    SetTranslationLanguage(row.Language);
    EXPECT_EQ(NTr("%u file copied", "%u files copied", row.N), row.Text) << row.Language << " " << row.N;
  }
}

TEST_F(GermanTranslation, EveryErrorTextIsTranslated) {
  const uint32_t assigned[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                               17, 18, 19, 24, 25, 26, 27, 28, 29, 32, 33, 34, 128};
  for (uint32_t op = 0; op <= 6; ++op) {
    for (uint32_t d : assigned) {
      const uint32_t code = op << 12 | 0x100 | d;
      SetTranslationLanguage("");
      const std::string english = GetErrorMessage(code);
      SetTranslationLanguage("de");
      const std::string german = GetErrorMessage(code);
      EXPECT_NE(english, german) << std::hex << code;
      EXPECT_EQ(german.rfind("Fehler: ", 0), 0u) << german;
    }
  }
}

TEST_F(GermanTranslation, CommandLineSelectsTheLanguage) {
  TTestDir dir;
  FEnv.Set("XDG_CONFIG_HOME", dir.Path());
  for (const char* v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) FEnv.Unset(v);
  FEnv.Set("LANG", "C");
  InitTranslation({"-lang:de"}, "Quorvex5", "Quorvex.cfg");
  EXPECT_EQ(LanguageCode(), "de");
  EXPECT_EQ(GetErrorMessage(0x101), "Fehler: Datei konnte nicht erstellt werden");

  // An unknown language keeps the English texts.
  InitTranslation({"/lang:ja"}, "Quorvex5", "Quorvex.cfg");
  EXPECT_EQ(LanguageCode(), "ja");
  EXPECT_EQ(GetErrorMessage(0x101), "Error: Could not create file");

  // From the configuration file of the suite.
  dir.Write("Quorvex5/Quorvex.cfg", "[Language]\nLangID=de\n");
  InitTranslation({}, "Quorvex5", "Quorvex.cfg");
  EXPECT_EQ(GetErrorMessage(0x101), "Fehler: Datei konnte nicht erstellt werden");
}

TEST_F(GermanTranslation, CatalogueFolderCanBeOverridden) {
  TTestDir dir;
  FEnv.Set("QUORVEX_LOCALEDIR", dir.Path());
  EXPECT_EQ(CatalogueFolder(), dir.Path());
  BindTextDomains();
  SetTranslationLanguage("de");
  // No catalogue there: English stays.
  EXPECT_EQ(GetErrorMessage(0x101), "Error: Could not create file");
  FEnv.Unset("QUORVEX_LOCALEDIR");
  BindTextDomains();
  SetTranslationLanguage("de");
  EXPECT_EQ(GetErrorMessage(0x101), "Fehler: Datei konnte nicht erstellt werden");
}

// An installed program takes the catalogues beside its own folder, so a moved prefix works.
TEST_F(GermanTranslation, CatalogueFolderFollowsTheProgram) {
  TTestDir dir;
  dir.Write("moved/usr/share/locale/de/LC_MESSAGES/x.mo", "");
  dir.Write("bare/usr/bin/placeholder", "");
  const std::string installed = dir.Path() + "/moved/usr/share/locale";
  struct Row {
    const char* program;   // below the test folder; empty: no program file known
    const char* override;  // QUORVEX_LOCALEDIR, or nullptr
    std::string expected;
  } rows[] = {
      {"moved/usr/bin/quorvex-restore-cli", nullptr, installed},
      {"moved/usr/bin/quorvex-restore-cli", "/opt/catalogues", "/opt/catalogues"},
      {"bare/usr/bin/quorvex-restore-cli", nullptr, QV_BUILD_LOCALEDIR},
      {"", nullptr, QV_BUILD_LOCALEDIR},
  };
  for (const Row& row : rows) {
    if (row.override) FEnv.Set("QUORVEX_LOCALEDIR", row.override);
    else FEnv.Unset("QUORVEX_LOCALEDIR");
    const std::string program = *row.program ? dir.Path() + "/" + row.program : "";
    EXPECT_EQ(CatalogueFolderFor(program), row.expected) << row.program;
  }
}
