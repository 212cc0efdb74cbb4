// SPDX-License-Identifier: Apache-2.0
#pragma once
// The one table of quorvex-restore-cli's options and subcommands. --help, the man pages and
// the shell completions are all printed from it, so they cannot drift apart.
#include <cstdint>
#include <span>
#include <string>

namespace qv {

// Subcommands as bits, so that an option can name every subcommand it applies to.
enum TSubcommandBit : uint32_t {
  scFiles = 1,
  scDir = 2,
  scSchedule = 4,
  scList = 8,
  scVersions = 16,
  scNone = 32,  // no subcommand: --help, --version
  scMount = 64,
  scUmount = 128,
  scRun = scFiles | scDir | scSchedule,
  scAny = scRun | scList | scVersions | scNone | scMount | scUmount,
};

enum class TOptionId : uint8_t {
  oTo, oOverwrite, oTolerance, oIgnoreDst, oNoUnpack, oKeepProtected, oPasswordFile, oYes,
  oDate, oSets, oDrive, oInclude, oExclude, oIncludeFrom, oExcludeFrom, oDryRun, oTest,
  oVerify, oJson, oQuiet, oLang, oIni, oCodePage, oHelp, oVersion, oJobs, oPasswordCommand, oVerbose,
  oForeground, oCacheSize,
};
using enum TOptionId;

// What a completion offers for the option's value.
enum class TValueKind : uint8_t { vkNone, vkText, vkFile, vkFolder, vkChoice };
using enum TValueKind;

struct TCliOptionDef {
  TOptionId Id;
  const char* Name;       // without the leading "--"
  char Short;             // 0 when there is none
  const char* ValueName;  // nullptr for a switch
  TValueKind Kind;
  const char* Choices;    // vkChoice: the values, separated by "|"
  uint32_t AppliesTo;     // TSubcommandBit mask
  bool Repeatable;
  const char* Help;       // English; translated when --help prints it
};

struct TSubcommandDef {
  const char* Name;
  TSubcommandBit Bit;
  const char* Synopsis;  // the arguments after the name
  const char* Help;
};

std::span<const TCliOptionDef> CliOptionTable();
std::span<const TSubcommandDef> CliSubcommandTable();
const TCliOptionDef* FindLongOption(const std::string& name);
const TCliOptionDef* FindShortOption(char name);
const TSubcommandDef* FindSubcommand(const std::string& name);
const TCliOptionDef& OptionDef(TOptionId id);
// "--overwrite" or "-y, --yes" as written in a message.
std::string OptionLabel(const TCliOptionDef& def);
// Subcommand names of a mask, "files, dir or schedule".
std::string SubcommandNames(uint32_t mask);

// The --help text in the current language.
std::string CliHelpText();
// The help of one subcommand: its usage and the options that apply to it.
std::string CliHelpText(const TSubcommandDef& sc);
// Generated documents: "man-cli", "man-gui", "bash", "zsh", "fish". Empty for an unknown one.
std::string GenerateCliDocument(const std::string& kind);

}  // namespace qv
