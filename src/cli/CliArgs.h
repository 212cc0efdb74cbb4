#pragma once
// The command line of quorvex-restore-cli.
#include <string>
#include <vector>

#include "cli/CliView.h"

namespace qv {

inline constexpr int CExitOk = 0;
inline constexpr int CExitErrors = 1;
inline constexpr int CExitBadArgs = 2;
inline constexpr int CExitNotRun = 3;

struct TCliCommand {
  enum TKind { ckRestore, ckList, ckHelp, ckVersion };
  TKind Kind = ckHelp;
  TCliOptions Options;
  std::string Language;  // --lang / -lang:
  std::string IniPath;   // --ini / -ini:
  std::string CodePage;  // --codepage; checked by ParseCliArgs
};

// Language, settings path and code page from wherever they stand on the command line, even
// one that does not parse, so that every later message is already translated.
void ScanStartupSwitches(const std::vector<std::string>& args, TCliCommand& command);
// False with a (translated) message for anything that does not fit the contract.
bool ParseCliArgs(const std::vector<std::string>& args, TCliCommand& command, std::string& error);
std::string CliUsage();
// Day number from 1899-12-30 of a date written YYYY-MM-DD; false when it is no valid date.
bool ParseIsoDate(const std::string& text, int& dayNumber);

}  // namespace qv
