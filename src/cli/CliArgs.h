// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command line of quorvex-restore-cli, parsed by the option table of CliOptions.
#include <string>
#include <vector>

#include "cli/CliView.h"

namespace qv {

inline constexpr int CExitOk = 0;
inline constexpr int CExitErrors = 1;
inline constexpr int CExitBadArgs = 2;
inline constexpr int CExitNotRun = 3;

struct TCliCommand {
  enum TKind { ckRestore, ckList, ckVersions, ckHelp, ckVersion, ckMount, ckUmount };
  TKind Kind = ckHelp;
  TCliOptions Options;
  std::string Language;  // --lang / -lang:
  std::string IniPath;   // --ini / -ini:
  std::string CodePage;  // --codepage; checked by ParseCliArgs
  std::string HelpFor;   // ckHelp: the subcommand whose help was asked for, if any
  // mount and umount: Options.Paths holds FOLDER; --date sets DateView.
  std::string MountPoint;
  bool Foreground = false;
  bool DateView = false;
  unsigned CacheSizeMiB = 64;
};

// Language, settings path and code page from wherever they stand on the command line, even
// one that does not parse, so that every later message is already translated.
void ScanStartupSwitches(const std::vector<std::string>& args, TCliCommand& command);
// False with a (translated) one-line message for anything that does not fit the contract.
bool ParseCliArgs(const std::vector<std::string>& args, TCliCommand& command, std::string& error);
// The folder of dir, schedule and versions checked before anything is created: empty when it
// can be walked, otherwise the reason ("No such file or directory", ...).
std::string CheckSourceFolder(const TCliCommand& command);
// Day number from 1899-12-30 of a date written strictly YYYY-MM-DD within 1970-01-01 and
// 9999-12-31; false otherwise.
bool ParseIsoDate(const std::string& text, int& dayNumber);

}  // namespace qv
