// SPDX-License-Identifier: Apache-2.0
#include "cli/CliArgs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "base/CodePage.h"
#include "base/PathUtils.h"
#include "base/TimeUtils.h"
#include "base/Translation.h"
#include "cli/CliOptions.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "transfer/ZipRead.h"

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

// Decimal digits only: no sign, no blanks, no overflow beyond max.
bool ParseDigits(const std::string& text, long max, long& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= max;
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

// The first line that command prints, run once through the shell as restic and borg do; a
// command that fails is a usage error rather than a run without the password.
bool RunPasswordCommand(const std::string& command, std::optional<std::string>& password, std::string& error) {
  error = FormatText(Tr("--password-command failed: %s"), {command});
  std::fflush(nullptr);
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::string line;
  bool lineEnded = false;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c == '\n') lineEnded = true;
    if (!lineEnded) line += static_cast<char>(c);
  }
  const int status = ::pclose(pipe);
  if (status != 0) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  password = line;
  error.clear();
  return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

// One pattern a line; empty lines and lines starting with "#" are left out.
bool ReadPatternFile(const std::string& path, std::vector<std::string>& patterns) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    patterns.push_back(line);
  }
  return !in.bad();
}

// iconv knows the name: a probe character converts.
bool KnownCodePage(const std::string& name) {
  return !name.empty() && !ConvertCodePage("A", "UTF-8", name).empty();
}

std::string Fill(const std::string& format, std::initializer_list<std::string> values) {
  return FormatText(format, values);
}

struct TSeenOption {
  const TCliOptionDef* Def;
  std::string Value;
};

// The raw command line: options with their values, the subcommand and the rest.
struct TRawCommand {
  std::vector<TSeenOption> Seen;
  std::string Subcommand;
  std::vector<std::string> Positional;
  bool Has(TOptionId id) const {
    for (const TSeenOption& s : Seen)
      if (s.Def->Id == id) return true;
    return false;
  }
};

bool TakeLongOption(const std::vector<std::string>& args, size_t& i, TRawCommand& raw,
                    std::string& error) {
  const std::string& a = args[i];
  const size_t eq = a.find('=');
  const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
  const TCliOptionDef* def = FindLongOption(name);
  if (def == nullptr) {
    error = Fill(Tr("unknown option %s"), {a});
    return false;
  }
  TSeenOption seen{def, {}};
  if (def->ValueName == nullptr) {
    if (eq != std::string::npos) {
      error = Fill(Tr("option %s takes no value"), {OptionLabel(*def)});
      return false;
    }
  } else if (eq != std::string::npos) {
    seen.Value = a.substr(eq + 1);
  } else if (i + 1 < args.size()) {
    seen.Value = args[++i];
  } else {
    error = Fill(Tr("option %s needs a value"), {OptionLabel(*def)});
    return false;
  }
  raw.Seen.push_back(seen);
  return true;
}

// "-y", "-q", "-yq"; the desktop program's "-lang:de" and "-ini:PATH".
bool TakeShortOptions(const std::vector<std::string>& args, size_t i, TRawCommand& raw,
                      std::string& error) {
  const std::string& a = args[i];
  std::string v;
  if (TakeColonSwitch(a, "lang", v)) {
    raw.Seen.push_back({&OptionDef(oLang), v});
    return true;
  }
  if (TakeColonSwitch(a, "ini", v)) {
    raw.Seen.push_back({&OptionDef(oIni), v});
    return true;
  }
  for (size_t k = 1; k < a.size(); ++k) {
    const TCliOptionDef* def = FindShortOption(a[k]);
    if (def == nullptr || def->ValueName != nullptr) {
      error = Fill(Tr("unknown option %s"), {a});
      return false;
    }
    raw.Seen.push_back({def, {}});
  }
  return true;
}

bool SplitCommandLine(const std::vector<std::string>& args, TRawCommand& raw, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      raw.Positional.insert(raw.Positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      break;
    }
    if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
      if (!TakeLongOption(args, i, raw, error)) return false;
    } else if (a.size() > 1 && a[0] == '-') {
      if (!TakeShortOptions(args, i, raw, error)) return false;
    } else if (raw.Subcommand.empty()) {
      raw.Subcommand = a;
    } else {
      raw.Positional.push_back(a);
    }
  }
  return true;
}

// Every option must belong to the subcommand, and only repeatable ones may come twice.
bool CheckApplicable(const TRawCommand& raw, const TSubcommandDef& sc, std::string& error) {
  for (size_t i = 0; i < raw.Seen.size(); ++i) {
    const TCliOptionDef& def = *raw.Seen[i].Def;
    if ((def.AppliesTo & sc.Bit) == 0) {
      error = Fill(Tr("%s does not apply to %s"), {OptionLabel(def), sc.Name});
      return false;
    }
    for (size_t k = 0; k < i && !def.Repeatable; ++k)
      if (raw.Seen[k].Def == &def) {
        error = Fill(Tr("%s is given more than once"), {OptionLabel(def)});
        return false;
      }
  }
  return true;
}

bool ParseOverwrite(const std::string& value, TOverwriteMode& mode) {
  static constexpr struct {
    const char* Name;
    TOverwriteMode Mode;
  } CRules[] = {{"never", omNever}, {"always", omAlways}, {"older", omOlder}, {"keep-both", omKeepBoth}};
  for (const auto& rule : CRules)
    if (SameText(value, rule.Name)) {
      mode = rule.Mode;
      return true;
    }
  return false;
}

// Combinations that the table alone cannot express.
bool CheckCombinations(const TRawCommand& raw, const TCliOptions& o, std::string& error) {
  const auto needs = [&](TOptionId id, bool ok, const char* format) {
    if (raw.Has(id) && !ok) {
      error = Fill(Tr(format), {OptionLabel(OptionDef(id))});
      return false;
    }
    return true;
  };
  const bool older = o.Overwrite == omOlder;
  const bool restore = !raw.Has(oDryRun) && !raw.Has(oTest);
  if (!needs(oTolerance, older, "%s applies only to --overwrite older")) return false;
  if (!needs(oIgnoreDst, older, "%s applies only to --overwrite older")) return false;
  if (!needs(oTest, !raw.Has(oDryRun), "%s and --dry-run exclude each other")) return false;
  if (!needs(oVerify, restore, "%s applies only to a restore, not to --dry-run or --test")) return false;
  if (!needs(oTo, !raw.Has(oTest), "%s does not apply to --test: it writes nothing")) return false;
  if (!needs(oOverwrite, !raw.Has(oTest), "%s does not apply to --test: it writes nothing")) return false;
  return true;
}

bool ApplyOption(const TSeenOption& seen, TCliCommand& command, std::string& error) {
  TCliOptions& o = command.Options;
  const std::string& v = seen.Value;
  const std::string label = OptionLabel(*seen.Def);
  long n = 0;
  switch (seen.Def->Id) {
    case oTo:
      o.Target = v;
      if (v.empty()) error = Fill(Tr("%s needs a folder"), {label});
      break;
    case oOverwrite:
      if (!ParseOverwrite(v, o.Overwrite)) error = Tr("--overwrite takes never, always, older or keep-both");
      break;
    case oTolerance:
      if (ParseDigits(v, 0x7FFFFFFF, n)) o.Tolerance = static_cast<int>(n);
      else error = Tr("--tolerance takes a number of seconds");
      break;
    case oJobs:
      if (ParseDigits(v, 4, n) && n >= 1) o.Jobs = static_cast<int>(n);
      else error = Tr("--jobs takes a number from 1 to 4");
      break;
    case oIgnoreDst: o.IgnoreDst = true; break;
    case oNoUnpack: o.Unpack = false; break;
    case oKeepProtected: o.OverwriteProtected = false; break;
    case oPasswordFile: {
      std::string pwd;
      if (ReadPasswordFile(v, pwd)) o.Password = pwd;
      else error = Fill(Tr("cannot read %s"), {v});
      break;
    }
    case oPasswordCommand:
      if (!RunPasswordCommand(v, o.Password, error)) return false;
      break;
    case oVerbose: o.Verbose = true; break;
    case oForeground: command.Foreground = true; break;
    case oCacheSize:
      if (ParseDigits(v, 65536, n) && n >= 1) command.CacheSizeMiB = static_cast<unsigned>(n);
      else error = Tr("--cache-size takes a number of MiB from 1 to 65536");
      break;
    case oYes: o.Yes = true; break;
    case oDate:
      if (!ParseIsoDate(v, o.RestoreDate))
        error = Fill(Tr("--date takes a day YYYY-MM-DD from 1970-01-01 to 9999-12-31, not %s"), {v});
      break;
    case oSets: o.Sets = v; break;
    case oDrive: o.Drive = v; break;
    case oInclude: o.Include.push_back(v); break;
    case oExclude: o.Exclude.push_back(v); break;
    case oIncludeFrom:
      if (!ReadPatternFile(v, o.Include)) error = Fill(Tr("cannot read %s"), {v});
      break;
    case oExcludeFrom:
      if (!ReadPatternFile(v, o.Exclude)) error = Fill(Tr("cannot read %s"), {v});
      break;
    case oDryRun: o.Kind = rkDryRun; break;
    case oTest: o.Kind = rkTest; break;
    case oVerify: o.Verify = true; break;
    case oJson: o.Json = true; break;
    case oQuiet: o.Quiet = true; break;
    case oLang: command.Language = v; break;
    case oIni: command.IniPath = v; break;
    case oCodePage:
      command.CodePage = v;
      // An unknown one would silently turn passwords and names into something else.
      if (!KnownCodePage(v))
        error = Fill(Tr("unknown code page %s (names as iconv knows them, e.g. CP1252, CP1250, ISO-8859-15)"), {v});
      break;
    case oHelp:
    case oVersion: break;
  }
  return error.empty();
}

bool CheckPositional(const TSubcommandDef& sc, size_t count, std::string& error) {
  switch (sc.Bit) {
    case scFiles:
      if (count == 0) error = Tr("files needs at least one PATH");
      break;
    case scList:
      if (count != 1) error = Tr("list takes one ARCHIVE.zip");
      break;
    case scVersions:
      if (count != 2) error = Tr("versions takes FOLDER and RELPATH");
      break;
    case scMount:
      if (count != 2) error = Tr("mount takes FOLDER and MOUNTPOINT");
      break;
    case scUmount:
      if (count != 1) error = Tr("umount takes one MOUNTPOINT");
      break;
    default:
      if (count != 1) error = Fill(Tr("%s takes one FOLDER"), {sc.Name});
      break;
  }
  return error.empty();
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
    else if (a.rfind("--lang=", 0) == 0) command.Language = a.substr(7);
    else if (a.rfind("--ini=", 0) == 0) command.IniPath = a.substr(6);
    else if (a.rfind("--codepage=", 0) == 0) command.CodePage = a.substr(11);
    else if (TakeColonSwitch(a, "lang", v)) command.Language = v;
    else if (TakeColonSwitch(a, "ini", v)) command.IniPath = v;
  }
}

bool ParseIsoDate(const std::string& text, int& dayNumber) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  long y = 0, m = 0, d = 0;
  if (!ParseDigits(text.substr(0, 4), 9999, y) || !ParseDigits(text.substr(5, 2), 12, m) ||
      !ParseDigits(text.substr(8, 2), 31, d))
    return false;
  if (y < 1970 || !IsValidDate(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d))) return false;
  dayNumber = static_cast<int>(DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) + 25569);
  return true;
}

bool ParseCliArgs(const std::vector<std::string>& args, TCliCommand& command, std::string& error) {
  TRawCommand raw;
  if (!SplitCommandLine(args, raw, error)) return false;
  if (raw.Has(oHelp)) {
    command.Kind = TCliCommand::ckHelp;
    if (FindSubcommand(raw.Subcommand) != nullptr) command.HelpFor = raw.Subcommand;
    return true;
  }
  if (raw.Has(oVersion)) {
    // A code page that does not exist is refused even here: a script learns it at once.
    for (const TSeenOption& seen : raw.Seen)
      if (seen.Def->Id == oCodePage && !ApplyOption(seen, command, error)) return false;
    command.Kind = TCliCommand::ckVersion;
    return true;
  }
  if (raw.Subcommand.empty()) {
    error = Fill(Tr("no command given (%s)"), {SubcommandNames(scAny)});
    return false;
  }
  const TSubcommandDef* sc = FindSubcommand(raw.Subcommand);
  if (sc == nullptr) {
    error = Fill(Tr("unknown command %s (%s)"), {raw.Subcommand, SubcommandNames(scAny)});
    return false;
  }
  if (!CheckApplicable(raw, *sc, error)) return false;
  for (const TSeenOption& seen : raw.Seen)
    if (!ApplyOption(seen, command, error)) return false;
  TCliOptions& o = command.Options;
  if (!CheckCombinations(raw, o, error)) return false;
  if (!CheckPositional(*sc, raw.Positional.size(), error)) return false;
  o.Paths = raw.Positional;
  if (!o.Password && sc->Bit == scMount) {
    if (const char* env = std::getenv("QUORVEX_PASSWORD")) o.Password = std::string(env);
  }
  switch (sc->Bit) {
    case scMount:
      command.Kind = TCliCommand::ckMount;
      command.MountPoint = raw.Positional[1];
      o.Paths.pop_back();
      command.DateView = raw.Has(oDate);
      return true;
    case scUmount:
      command.Kind = TCliCommand::ckUmount;
      command.MountPoint = raw.Positional[0];
      o.Paths.clear();
      return true;
    case scList: command.Kind = TCliCommand::ckList; return true;
    case scVersions: command.Kind = TCliCommand::ckVersions; return true;
    case scFiles: o.Mode = rmFiles; break;
    case scDir: o.Mode = rmDirectory; break;
    default: o.Mode = rmSchedule; break;
  }
  if (!raw.Has(oTo) && o.Kind != rkTest) {
    error = Tr("--to DEST is required");
    return false;
  }
  if (o.Mode == rmSchedule && !raw.Has(oDate)) {
    error = Tr("schedule needs --date YYYY-MM-DD");
    return false;
  }
  if (!o.Password) {
    if (const char* env = std::getenv("QUORVEX_PASSWORD")) o.Password = std::string(env);
  }
  command.Kind = TCliCommand::ckRestore;
  return true;
}

namespace {

// Whether an entry lies below folder (case ignored, as the walk compares). An archive that
// cannot be read is left to the run, which reports it with its reason.
bool ArchiveHoldsFolder(const std::string& archive, const std::string& folder) {
  const std::string prefix = FoldCase(ExcludeTrailingDelimiter(folder)) + "/";
  try {
    TZipRead zip(archive);
    zip.ReadDirectory();
    const TZipFileList& list = zip.Directory();
    for (int e = 0; e < list.Count(); ++e)
      if (FoldCase(list.Strings(e)).starts_with(prefix)) return true;
    return false;
  } catch (const EZipError&) {
    return true;
  }
}

}  // namespace

std::string CheckSourceFolder(const TCliCommand& command) {
  const TCliOptions& o = command.Options;
  const bool walked = command.Kind == TCliCommand::ckVersions || command.Kind == TCliCommand::ckMount ||
                      (command.Kind == TCliCommand::ckRestore && o.Mode != rmFiles);
  if (!walked || o.Paths.empty()) return {};
  const std::string folder = ExcludeTrailingDelimiter(o.Paths.front());
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return {};
    // Directory mode also takes an archive itself.
    std::string archive = folder, sub;
    if (o.Mode == rmDirectory && command.Kind == TCliCommand::ckRestore && S_ISREG(st.st_mode) &&
        SplitZipPath(archive, sub) && sub.empty())
      return {};
    return std::strerror(ENOTDIR);
  }
  const int err = errno;
  if (o.Mode == rmDirectory && command.Kind == TCliCommand::ckRestore) {
    // A folder inside an archive: the archive must be a file that holds such a folder.
    std::string archive = folder, sub;
    if (SplitZipPath(archive, sub) && ::stat(archive.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      return ArchiveHoldsFolder(archive, sub) ? std::string() : Tr("No such folder in the archive");
  }
  return std::strerror(err);
}

}  // namespace qv
