#include "cli/CliArgs.h"

#include <cstdlib>
#include <fstream>

#include "base/CodePage.h"
#include "base/TimeUtils.h"
#include "base/Translation.h"
#include "restore/RestoreText.h"

namespace qv {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
long DaysFromCivil(long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long>(doe) - 719468;
}

bool ParseInt(const std::string& text, long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0';
}

// "-lang:de", "-l:de", "-ini:x": the switches of the desktop program.
bool TakeColonSwitch(const std::string& arg, const std::string& keyword, std::string& value) {
  if (arg.size() < 2 || arg[0] != '-' || arg[1] == '-') return false;
  const size_t colon = arg.find(':');
  if (colon == std::string::npos) return false;
  const std::string key = arg.substr(1, colon - 1);
  if (key.empty() || keyword.compare(0, key.size(), key) != 0) return false;
  value = arg.substr(colon + 1);
  return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// iconv knows the name: a probe character converts.
bool KnownCodePage(const std::string& name) {
  return !name.empty() && !ConvertCodePage("A", "UTF-8", name).empty();
}

std::string Fill(const std::string& format, const std::string& value) {
  return FormatText(format, {value});
}

}  // namespace

void ScanStartupSwitches(const std::vector<std::string>& args, TCliCommand& command) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") break;
    const bool hasValue = i + 1 < args.size();
    std::string v;
    if (a == "--lang" && hasValue) command.Language = args[++i];
    else if (a == "--ini" && hasValue) command.IniPath = args[++i];
    else if (a == "--codepage" && hasValue) command.CodePage = args[++i];
    else if (TakeColonSwitch(a, "lang", v)) command.Language = v;
    else if (TakeColonSwitch(a, "ini", v)) command.IniPath = v;
  }
}

bool ParseIsoDate(const std::string& text, int& dayNumber) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  long y = 0, m = 0, d = 0;
  if (!ParseInt(text.substr(0, 4), y) || !ParseInt(text.substr(5, 2), m) || !ParseInt(text.substr(8, 2), d))
    return false;
  if (!IsValidDate(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d))) return false;
  dayNumber = static_cast<int>(DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) + 25569);
  return true;
}

std::string CliUsage() {
  return Tr("usage:\n"
            "  quorvex-restore-cli [OPTIONS] files    --to DEST PATH...\n"
            "  quorvex-restore-cli [OPTIONS] dir      --to DEST FOLDER\n"
            "  quorvex-restore-cli [OPTIONS] schedule --to DEST --date YYYY-MM-DD [--sets MASK] [--drive MASK] FOLDER\n"
            "  quorvex-restore-cli list ARCHIVE.zip\n"
            "options:\n"
            "  --overwrite never|always|older   overwrite rule (default never)\n"
            "  --tolerance SECONDS              timestamp tolerance of \"older\" (default 2)\n"
            "  --ignore-dst                     ignore a one-hour difference within the tolerance\n"
            "  --no-unpack                      copy .gz/.gze files as they are\n"
            "  --keep-protected                 do not overwrite write-protected files\n"
            "  --password-file FILE             password from the first line of FILE\n"
            "                                   (also QUORVEX_PASSWORD; otherwise asked on the terminal)\n"
            "  --dry-run                        decide every item, write nothing, ask nothing\n"
            "  --test                           read every item to its end, write nothing (no --to)\n"
            "  --verify                         read each restored file back and compare\n"
            "  -y, --yes                        answer Yes to every question of the run\n"
            "  --sets MASK                      backup-set folders to scan (default *.*)\n"
            "  --drive MASK                     drive-identifier folders inside each set\n"
            "  --lang CODE, --ini PATH          language and settings path (-lang:de, -l:de, -ini:PATH)\n"
            "  --codepage NAME                  8-bit code page of passwords and names (default CP1252)\n"
            "  -q, --quiet                      no progress display\n"
            "  --help, --version\n"
            "exit status: 0 no errors, 1 errors, 2 bad arguments, 3 not started or cancelled\n");
}

bool ParseCliArgs(const std::vector<std::string>& args, TCliCommand& command, std::string& error) {
  TCliOptions& o = command.Options;
  std::string subcommand;
  std::string passwordFile;
  std::string date;
  bool haveTarget = false;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = Fill(Tr("option %s needs a value"), a);
        return false;
      }
      out = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      command.Kind = TCliCommand::ckHelp;
      return true;
    } else if (a == "--version") {
      command.Kind = TCliCommand::ckVersion;
      continue;
    } else if (a == "--overwrite") {
      if (!value(v)) return false;
      if (v == "never") o.Overwrite = omNever;
      else if (v == "always") o.Overwrite = omAlways;
      else if (v == "older") o.Overwrite = omOlder;
      else { error = Tr("--overwrite takes never, always or older"); return false; }
    } else if (a == "--tolerance") {
      long n = 0;
      if (!value(v)) return false;
      if (!ParseInt(v, n) || n < 0 || n > 0x7FFFFFFF) { error = Tr("--tolerance takes seconds"); return false; }
      o.Tolerance = static_cast<int>(n);
    } else if (a == "--dry-run") {
      o.RunKind = rkDryRun;
    } else if (a == "--test") {
      o.RunKind = rkTest;
    } else if (a == "--verify") {
      o.Verify = true;
    } else if (a == "--ignore-dst") {
      o.IgnoreDst = true;
    } else if (a == "--no-unpack") {
      o.Unpack = false;
    } else if (a == "--keep-protected") {
      o.OverwriteProtected = false;
    } else if (a == "--password-file") {
      if (!value(passwordFile)) return false;
    } else if (a == "-y" || a == "--yes") {
      o.Yes = true;
    } else if (a == "-q" || a == "--quiet") {
      o.Quiet = true;
    } else if (a == "--to") {
      if (!value(o.Target)) return false;
      haveTarget = true;
    } else if (a == "--date") {
      if (!value(date)) return false;
    } else if (a == "--sets") {
      if (!value(o.Sets)) return false;
    } else if (a == "--drive") {
      if (!value(o.Drive)) return false;
    } else if (a == "--lang") {
      if (!value(command.Language)) return false;
    } else if (a == "--ini") {
      if (!value(command.IniPath)) return false;
    } else if (a == "--codepage") {
      if (!value(command.CodePage)) return false;
      // An unknown one would silently turn passwords and names into something else.
      if (!KnownCodePage(command.CodePage)) {
        error = Fill(Tr("unknown code page %s (names as iconv knows them, e.g. CP1252, CP1250, "
                        "ISO-8859-15)"),
                     command.CodePage);
        return false;
      }
    } else if (TakeColonSwitch(a, "lang", v)) {
      command.Language = v;
    } else if (TakeColonSwitch(a, "ini", v)) {
      command.IniPath = v;
    } else if (a == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    } else if (a.size() > 1 && a[0] == '-') {
      error = Fill(Tr("unknown option %s"), a);
      return false;
    } else if (subcommand.empty() && command.Kind != TCliCommand::ckVersion) {
      subcommand = a;
    } else {
      positional.push_back(a);
    }
  }
  if (command.Kind == TCliCommand::ckVersion) return true;
  if (subcommand.empty()) {
    error = Tr("no subcommand given");
    return false;
  }
  o.Paths = positional;
  if (subcommand == "list") {
    if (positional.size() != 1) { error = Tr("list takes one archive"); return false; }
    command.Kind = TCliCommand::ckList;
    return true;
  }
  if (subcommand == "files") o.Mode = rmFiles;
  else if (subcommand == "dir") o.Mode = rmDirectory;
  else if (subcommand == "schedule") o.Mode = rmSchedule;
  else { error = Fill(Tr("unknown subcommand %s"), subcommand); return false; }
  if (o.RunKind == rkTest) haveTarget = true;  // a test writes nothing anywhere
  else if (!haveTarget || o.Target.empty()) { error = Tr("--to DEST is required"); return false; }
  if (o.Mode == rmFiles && positional.empty()) { error = Tr("files needs at least one PATH"); return false; }
  if (o.Mode != rmFiles && positional.size() != 1) { error = Fill(Tr("%s takes one FOLDER"), subcommand); return false; }
  if (o.Mode == rmSchedule && date.empty()) { error = Tr("schedule needs --date YYYY-MM-DD"); return false; }
  if (!date.empty() && !ParseIsoDate(date, o.RestoreDate)) { error = Tr("--date takes YYYY-MM-DD"); return false; }
  if (!passwordFile.empty()) {
    std::string pwd;
    if (!ReadPasswordFile(passwordFile, pwd)) { error = Fill(Tr("cannot read %s"), passwordFile); return false; }
    o.Password = pwd;
  } else if (const char* env = std::getenv("QUORVEX_PASSWORD")) {
    o.Password = std::string(env);
  }
  command.Kind = TCliCommand::ckRestore;
  return true;
}

}  // namespace qv
