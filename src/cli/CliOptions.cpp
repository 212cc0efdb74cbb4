// SPDX-License-Identifier: Apache-2.0
#include "cli/CliOptions.h"

#include <array>
#include <span>
#include <sstream>
#include <vector>

#include "BuildConfig.h"
#include "base/Translation.h"

namespace qv {

namespace {

constexpr const char* CProgram = "quorvex-restore-cli";
constexpr uint32_t scRunOrVersions = scRun | scVersions;

constexpr std::array<TSubcommandDef, 7> CSubcommands{{
    {"files", scFiles, "--to DEST PATH...",
     N_("restore each PATH: a file, or a path inside a zip archive (x/old.zip/docs/a.txt)")},
    {"dir", scDir, "--to DEST FOLDER",
     N_("restore a folder with everything below it; FOLDER may be a zip archive or a folder inside one")},
    {"schedule", scSchedule, "--to DEST --date YYYY-MM-DD [--sets MASK] [--drive MASK] FOLDER",
     N_("restore the newest version of every file in the backup sets of FOLDER up to the end of a day")},
    {"list", scList, "ARCHIVE.zip", N_("list the entries of a zip archive: name, size, date, encrypted flag")},
    {"versions", scVersions, "[--sets MASK] [--drive MASK] FOLDER RELPATH",
     N_("list every version of one file across the backup sets of FOLDER, newest first")},
    {"mount", scMount, "[--date YYYY-MM-DD] [--sets MASK] [--drive MASK] FOLDER MOUNTPOINT",
     N_("show FOLDER read-only at MOUNTPOINT as a restore would write it, or as schedule would "
        "restore it for a day; files are unpacked and decrypted while they are read")},
    {"umount", scUmount, "MOUNTPOINT", N_("end a mount made by mount")},
}};

constexpr std::array<TCliOptionDef, 30> COptions{{
    {oTo, "to", 0, "DEST", vkFolder, nullptr, scRun, false,
     N_("destination folder (not with --test)")},
    {oOverwrite, "overwrite", 0, "RULE", vkChoice, "never|always|older|keep-both", scRun, false,
     N_("which existing files are replaced: never (default), always, older (only when the backup is "
        "newer) or keep-both (the restored file is written beside it as NAME (N).EXT)")},
    {oTolerance, "tolerance", 0, "SECONDS", vkText, nullptr, scRun, false,
     N_("time difference that still counts as the same time, with --overwrite older (default 2)")},
    {oIgnoreDst, "ignore-dst", 0, nullptr, vkNone, nullptr, scRun, false,
     N_("with --overwrite older: a difference of one hour within the tolerance counts as the same time")},
    {oNoUnpack, "no-unpack", 0, nullptr, vkNone, nullptr, scRun | scMount, false,
     N_("copy .gz and .gze files as they are instead of unpacking them")},
    {oKeepProtected, "keep-protected", 0, nullptr, vkNone, nullptr, scRun, false,
     N_("do not overwrite write-protected files")},
    {oJobs, "jobs", 0, "N", vkText, nullptr, scRun, false,
     N_("transfers at once, 1 to 4 (default: one per core)")},
    {oPasswordFile, "password-file", 0, "FILE", vkFile, nullptr, scRun | scMount, false,
     N_("password of encrypted files: the first line of FILE, read as UTF-8 (see --codepage); "
        "also the environment variable QUORVEX_PASSWORD; otherwise asked on the terminal")},
    {oPasswordCommand, "password-command", 0, "CMD", vkText, nullptr, scRun | scMount, false,
     N_("password of encrypted files: the first line that CMD prints, run once through /bin/sh")},
    {oYes, "yes", 'y', nullptr, vkNone, nullptr, scRun, false,
     N_("answer Yes to the run's questions (see QUESTIONS); without it a terminal asks, otherwise "
        "the answer is No")},
    {oDate, "date", 0, "YYYY-MM-DD", vkText, nullptr, scSchedule | scMount, false,
     N_("restore the versions backed up before the end of this day (24:00 UTC); 1970-01-01 to "
        "9999-12-31")},
    {oSets, "sets", 0, "MASK", vkText, nullptr, scSchedule | scVersions | scMount, false,
     N_("scan only backup-set folders matching MASK (default *.*)")},
    {oDrive, "drive", 0, "MASK", vkText, nullptr, scSchedule | scVersions | scMount, false,
     N_("only drive-identifier folders matching MASK inside each set")},
    {oInclude, "include", 0, "GLOB", vkText, nullptr, scRun, true,
     N_("restore only items whose path matches GLOB (repeatable; see FILTERS)")},
    {oExclude, "exclude", 0, "GLOB", vkText, nullptr, scRun, true,
     N_("leave out items whose path matches GLOB (repeatable; see FILTERS)")},
    {oIncludeFrom, "include-from", 0, "FILE", vkFile, nullptr, scRun, true,
     N_("include patterns from FILE, one a line, # starts a comment")},
    {oExcludeFrom, "exclude-from", 0, "FILE", vkFile, nullptr, scRun, true,
     N_("exclude patterns from FILE, one a line, # starts a comment")},
    {oDryRun, "dry-run", 0, nullptr, vkNone, nullptr, scRun, false,
     N_("show what a restore would do for every item; write, create and ask nothing")},
    {oTest, "test", 0, nullptr, vkNone, nullptr, scRun, false,
     N_("read every item to its end and check it (CRC, authentication code, password); write "
        "nothing; no --to needed")},
    {oVerify, "verify", 0, nullptr, vkNone, nullptr, scRun, false,
     N_("read every restored file back and compare it with what was written")},
    {oJson, "json", 0, nullptr, vkNone, nullptr, scRun, false,
     N_("JSON lines on stdout instead of text (see JSON OUTPUT); no progress line, no questions")},
    {oQuiet, "quiet", 'q', nullptr, vkNone, nullptr, scRun, false,
     N_("no progress line (it is shown on stderr when that is a terminal)")},
    {oVerbose, "verbose", 'v', nullptr, vkNone, nullptr, scRun, false,
     N_("one line per restored or skipped item on stdout: restored TARGET, skipped TARGET (REASON)")},
    {oForeground, "foreground", 0, nullptr, vkNone, nullptr, scMount, false,
     N_("stay in the foreground and write the reasons of failed reads to stderr (otherwise the "
        "command returns once the mount is ready and they go to the system log)")},
    {oCacheSize, "cache-size", 0, "MIB", vkText, nullptr, scMount, false,
     N_("memory for unpacked data and seek checkpoints, in MiB, 1 to 65536 (default 64)")},
    {oLang, "lang", 0, "CODE", vkText, nullptr, scAny, false,
     N_("language of the messages, e.g. de (also -lang:CODE, -l:CODE)")},
    {oIni, "ini", 0, "PATH", vkFile, nullptr, scAny, false, N_("settings path (also -ini:PATH)")},
    {oCodePage, "codepage", 0, "NAME", vkText, nullptr, scAny, false,
     N_("8-bit code page of the backup's passwords and names, as iconv names it (default CP1252)")},
    {oHelp, "help", 'h', nullptr, vkNone, nullptr, scAny, false, N_("show this help and exit")},
    {oVersion, "version", 0, nullptr, vkNone, nullptr, scAny, false,
     N_("show the version and the program's date (YYYY-MM-DD) and exit")},
}};

struct TNote {
  const char* Title;
  const char* Text;
};

// Explanations that belong to no single option; printed by --help and the man page.
constexpr std::array<TNote, 7> CNotes{{
    {N_("QUESTIONS"),
     N_("-y answers Yes to \"Destination directory not found - create?\", \"Destination directory "
        "not empty - start restore anyway?\" and \"%u files found - start restore?\".")},
    {N_("PASSWORD PROMPT"),
     N_("The password is read without echo. An empty line skips the file. Ctrl-D cancels: in dir "
        "the rest of that folder and its subfolders, otherwise the rest of the run. Ctrl-C stops "
        "the run in every mode. A wrong password is asked again. Whatever was left out is counted "
        "as skipped, and the exit status is 3.")},
    {N_("DATES"),
     N_("--date is a calendar day in UTC: a version counts when it was backed up before 24:00 UTC "
        "of that day.")},
    {N_("FILTERS"),
     N_("Patterns are matched without regard to case against the item's path relative to the "
        "selected folder (dir), to the set folder (schedule) or against the PATH as given (files). "
        "* and ? do not cross /, ** does; a pattern without / matches the last component. An item "
        "must match an include (when there is one) and no exclude; excluded folders are not "
        "entered.")},
    {N_("MOUNT"),
     N_("mount shows each .gz, .gze and .enc file under its restored name and size and each zip "
        "archive as a folder; every change fails with \"Read-only file system\". A read that "
        "completes a file whose check fails (CRC, authentication code) fails with an input/output "
        "error, a file that the password does not open with \"Permission denied\"; the reason "
        "goes to stderr or the system log. Seeking in packed files goes back to the nearest "
        "checkpoint. Ctrl-C, SIGTERM or umount MOUNTPOINT end the mount. mount exits with 2 when FUSE "
        "is not available or MOUNTPOINT is not an empty folder.")},
    {N_("JSON OUTPUT"),
     N_("One object a line: {\"type\":\"item\",...} per item, {\"type\":\"progress\",...} at most "
        "4 a second, {\"type\":\"summary\",...} last.")},
    {N_("EXIT STATUS"),
     N_("0 the run ended without errors, 1 it ended with errors, 2 bad arguments, 3 the run did "
        "not start or was cancelled or stopped.")},
}};

std::vector<std::string> SplitChoices(const char* choices) {
  std::vector<std::string> out;
  std::string current;
  for (const char* p = choices; p != nullptr && *p != '\0'; ++p) {
    if (*p == '|') {
      out.push_back(current);
      current.clear();
    } else {
      current += *p;
    }
  }
  if (choices != nullptr) out.push_back(current);
  return out;
}

std::string ValueText(const TCliOptionDef& def) {
  if (def.ValueName == nullptr) return {};
  return def.Kind == vkChoice ? std::string(def.Choices) : std::string(def.ValueName);
}

// ---- --help

std::string Wrap(const std::string& text, size_t indent, size_t width) {
  std::string out, line;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

// ---- roff

// Text safe for a man page: backslashes and hyphens escaped, no line starting with a control
// character.
std::string Roff(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
  }
  if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
  return out;
}

std::string ManOptionLine(const TCliOptionDef& def) {
  std::string line;
  if (def.Short != 0) line += "\\fB\\-" + std::string(1, def.Short) + "\\fR, ";
  line += "\\fB\\-\\-" + Roff(def.Name) + "\\fR";
  if (def.ValueName != nullptr) line += " \\fI" + Roff(ValueText(def)) + "\\fR";
  return line;
}

std::string ManHeader(const std::string& name, const std::string& title) {
  std::string version = QV_VERSION;
  return ".TH " + Roff(name) + " 1 " + QV_VERSION_DATE + " \"QuorvexRestore " + Roff(version) +
         "\" \"User Commands\"\n"
         ".SH NAME\n" + Roff(name) + " \\- " + Roff(title) + "\n";
}

// A paragraph per entry: a bold term (may be empty) and its text.
struct TManEntry {
  const char* Term;
  const char* Text;
};

// Man pages are English only, so these texts are not marked for translation.
struct TManExample {
  const char* Text;
  const char* Command;
};

constexpr std::array<TManExample, 12> CManExamples{{
    {"Restore two files, the second from inside a zip archive of the backup:",
     "quorvex-restore-cli files --to ~/restored /mnt/backup/notes.txt "
     "/mnt/backup/old.zip/letters/a.txt"},
    {"Restore a folder with everything below it, replacing only files older than their backup, "
     "without questions:",
     "quorvex-restore-cli --yes --overwrite older dir --to ~/restored /mnt/backup/documents"},
    {"Restore the newest version of every file backed up before the end of 1 March 2026 (UTC):",
     "quorvex-restore-cli --yes schedule --to ~/restored --date 2026-03-01 /mnt/backup"},
    {"Show what that restore would do, item by item, without writing anything:",
     "quorvex-restore-cli --dry-run dir --to ~/restored /mnt/backup/documents"},
    {"Check every file of the backup with the password from a file, writing nothing:",
     "quorvex-restore-cli --test --password-file ~/.backup-password dir /mnt/backup"},
    {"List the entries of a zip archive:", "quorvex-restore-cli list /mnt/backup/old.zip"},
    {"Browse the backup as it was at the end of 1 March 2026, then end the mount:",
     "quorvex-restore-cli mount --date 2026-03-01 /mnt/backup ~/backup-view && ls ~/backup-view"},
    {"End that mount:", "quorvex-restore-cli umount ~/backup-view"},
    {"List every version of one file across the backup sets, newest first:",
     "quorvex-restore-cli versions /mnt/backup documents/report.txt"},
    {"Restore with the password from the environment and keep the JSON lines of the run:",
     "QUORVEX_PASSWORD=secret quorvex-restore-cli --json --yes dir --to ~/restored /mnt/backup "
     "> run.json"},
    {"The items that failed, with their reasons, from those lines with jq(1):",
     "jq -r 'select(.type == \"item\" and .action == \"failed\") | \"\\(.source): \\(.message)\"' "
     "run.json"},
    {"The counts of the run, and its exit status:",
     "jq -r 'select(.type == \"summary\") | \"\\(.copied) copied, \\(.errors) errors, exit "
     "\\(.exit)\"' run.json"},
}};

struct TManJsonField {
  const char* Type;  // the object's "type"
  const char* Name;
  const char* Text;
};

constexpr std::array<TManJsonField, 20> CManJsonFields{{
    {"item", "action",
     "what happened to the item: restored, skipped or failed in a run, tested with --test; new, "
     "replace or skip with --dry-run, failed for an item the run would fail"},
    {"item", "source", "the backup file, or the path inside a zip archive (string)"},
    {"item", "target", "the restored file (string)"},
    {"item", "set", "the backup set the version comes from, in schedule (string)"},
    {"item", "bytes", "restored bytes (number)"},
    {"item", "code", "numeric error code of a failed item"},
    {"item", "message", "text of that error (string)"},
    {"item", "reason", "why the item was skipped (string)"},
    {"progress", "files_done", "items finished so far"},
    {"progress", "files_total", "items of the run"},
    {"progress", "bytes_done", "bytes restored so far; never more than bytes_total, never less "
     "than before"},
    {"progress", "bytes_total", "bytes the run restores"},
    {"progress", "seconds", "time since the start (number with a fraction)"},
    {"summary", "copied", "files restored"},
    {"summary", "skipped", "items skipped, also those left out by Cancel or Stop"},
    {"summary", "errors", "items that failed"},
    {"summary", "bytes", "bytes restored"},
    {"summary", "seconds", "duration of the run"},
    {"summary", "text", "the summary line the text output prints (string)"},
    {"summary", "exit", "the exit status the program ends with (see EXIT STATUS)"},
}};

constexpr std::array<TManEntry, 4> CManExitStatus{{
    {"0", "The run ended without errors."},
    {"1", "The run ended with errors: at least one item failed; each has its error lines on "
          "stderr."},
    {"2", "Bad arguments: an unknown option, a missing or wrong value, a folder that an archive "
          "does not hold; nothing was restored."},
    {"3", "The run did not start (a question answered No, no files found) or was cancelled or "
          "stopped; versions found no version of the file."},
}};

constexpr std::array<TManEntry, 4> CManEnvironment{{
    {"QUORVEX_PASSWORD", "The password of encrypted files when neither --password-file nor "
                         "--password-command gives one."},
    {"QUORVEX_LOCALEDIR", "The folder of the message catalogues "
                          "(LANG/LC_MESSAGES/quorvex-restore*.mo), instead of ../share/locale "
                          "beside the program's own folder."},
    {"LANGUAGE", "The language of the messages when neither --lang (-lang:CODE) nor the settings "
                 "choose one; "
                 "then LC_ALL, LC_MESSAGES and LANG, the first that is set."},
    {"XDG_CONFIG_HOME", "The folder of the settings (default ~/.config)."},
}};

constexpr std::array<TManEntry, 3> CManFiles{{
    {"~/.config/Quorvex5/QuorvexRestore.ini", "The desktop program's settings."},
    {"~/.config/Quorvex5/Quorvex.cfg",
     "The language chosen in the desktop program (LangID in section Language), used by both "
     "programs unless --lang is given; with --ini PATH the file in PATH's folder."},
    {"/usr/share/locale/*/LC_MESSAGES/quorvex-restore*.mo",
     "The message catalogues, found as ../share/locale beside the program (see "
     "QUORVEX_LOCALEDIR)."},
}};

std::string ManEntries(std::span<const TManEntry> entries, bool literalTerm) {
  std::string m;
  for (const TManEntry& e : entries) {
    const std::string term = literalTerm ? "\\fI" + Roff(e.Term) + "\\fR" : "\\fB" + Roff(e.Term) + "\\fR";
    m += ".TP\n" + term + "\n" + Roff(e.Text) + "\n";
  }
  return m;
}

std::string ManJsonFields() {
  std::string m, type;
  for (const TManJsonField& f : CManJsonFields) {
    if (type != f.Type) {
      type = f.Type;
      m += ".PP\nFields of {\"type\":\"" + type + "\"}" +
           (type == "item" ? " (those that do not apply are left out)" : "") + ":\n";
    }
    m += ".TP\n.B " + Roff(f.Name) + "\n" + Roff(f.Text) + ".\n";
  }
  m += ".PP\nStrings are UTF\\-8, with invalid bytes as U+FFFD and control characters escaped.\n";
  return m;
}

std::string ManExamples() {
  std::string m = ".SH EXAMPLES\n";
  for (const TManExample& e : CManExamples)
    m += ".PP\n" + Roff(e.Text) + "\n.PP\n.RS 4\n.EX\n" + Roff(e.Command) + "\n.EE\n.RE\n";
  return m;
}

std::string GenerateCliMan() {
  std::string m = ManHeader(CProgram, "restore files from backup on the command line");
  m += ".SH SYNOPSIS\n";
  for (const TSubcommandDef& sc : CSubcommands)
    m += ".B " + std::string(CProgram) + "\n[\\fIOPTIONS\\fR] \\fB" + sc.Name + "\\fR " +
         Roff(sc.Synopsis) + "\n.br\n";
  m += ".SH DESCRIPTION\nRestores files from the backup folders and zip archives of the backup "
       "suite, without a window. The summary of a run is written to stdout; its error lines, hints "
       "and the progress line to stderr.\n";
  m += ".SH COMMANDS\n";
  for (const TSubcommandDef& sc : CSubcommands)
    m += ".TP\n\\fB" + std::string(sc.Name) + "\\fR " + Roff(sc.Synopsis) + "\n" + Roff(sc.Help) + ".\n";
  m += ".SH OPTIONS\n";
  for (const TCliOptionDef& def : COptions) {
    m += ".TP\n" + ManOptionLine(def) + "\n" + Roff(def.Help);
    if (def.AppliesTo != scAny) m += " [" + Roff(SubcommandNames(def.AppliesTo)) + "]";
    m += "\n";
  }
  for (const TNote& note : CNotes) {
    const std::string title = note.Title;
    if (title == "EXIT STATUS") continue;  // the man page's own, longer list follows
    m += ".SH " + Roff(title) + "\n" + Roff(note.Text) + "\n";
    if (title == "JSON OUTPUT") m += ManJsonFields();
  }
  m += ".SH EXIT STATUS\n" + ManEntries(CManExitStatus, false);
  m += ".SH ENVIRONMENT\n" + ManEntries(CManEnvironment, false);
  m += ".SH FILES\n" + ManEntries(CManFiles, true);
  m += ManExamples();
  m += ".SH SEE ALSO\n.BR quorvex-restore (1),\n.BR jq (1)\n";
  return m;
}

std::string GenerateGuiMan() {
  std::string m = ManHeader("quorvex-restore", "restore files from backup");
  m += ".SH SYNOPSIS\n.B quorvex-restore\n[\\fB\\-lang:\\fICODE\\fR] [\\fB\\-ini:\\fIPATH\\fR]\n";
  m += ".SH DESCRIPTION\nThe desktop program of the backup suite's restore: it restores selected "
       "files, whole folders (also from zip archives) or the newest version of every file of a "
       "scheduled backup up to a chosen day. The same restores run without a window with "
       "\\fBquorvex\\-restore\\-cli\\fR(1).\n";
  m += ".SH OPTIONS\n"
       ".TP\n\\fB\\-lang:\\fICODE\\fR, \\fB\\-l:\\fICODE\\fR\nlanguage of the window, e.g. de.\n"
       ".TP\n\\fB\\-ini:\\fIPATH\\fR\nsettings path.\n";
  m += ".SH ENVIRONMENT\n" + ManEntries(std::span(CManEnvironment).subspan(1), false);
  m += ".SH FILES\n" + ManEntries(CManFiles, true);
  m += ".SH EXAMPLES\n.PP\nThe window in German, with the settings in another folder:\n"
       ".PP\n.RS 4\n.EX\nquorvex\\-restore \\-lang:de \\-ini:/srv/restore/QuorvexRestore.ini\n.EE\n.RE\n";
  m += ".SH SEE ALSO\n.BR quorvex-restore-cli (1)\n";
  return m;
}

// ---- completions

std::string SubcommandWords() {
  std::string words;
  for (const TSubcommandDef& sc : CSubcommands) words += (words.empty() ? "" : " ") + std::string(sc.Name);
  return words;
}

std::string ShellQuoteSingle(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string GenerateBash() {
  std::string s = "# bash completion for quorvex-restore-cli\n_quorvex_restore_cli() {\n"
                  "  local cur prev sub i\n  cur=${COMP_WORDS[COMP_CWORD]}\n"
                  "  prev=${COMP_WORDS[COMP_CWORD-1]}\n  sub=\n"
                  "  for ((i = 1; i < COMP_CWORD; i++)); do\n    case ${COMP_WORDS[i]} in\n      " +
                  [] {
                    std::string alts;
                    for (const TSubcommandDef& sc : CSubcommands) alts += (alts.empty() ? "" : "|") + std::string(sc.Name);
                    return alts;
                  }() +
                  ") sub=${COMP_WORDS[i]}; break ;;\n    esac\n  done\n  case $prev in\n";
  for (const TCliOptionDef& def : COptions) {
    if (def.ValueName == nullptr) continue;
    s += "    --" + std::string(def.Name) + ") ";
    switch (def.Kind) {
      case vkChoice: {
        std::string words;
        for (const std::string& c : SplitChoices(def.Choices)) words += (words.empty() ? "" : " ") + c;
        s += "COMPREPLY=($(compgen -W '" + words + "' -- \"$cur\")); return ;;\n";
        break;
      }
      case vkFile: s += "COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"; break;
      case vkFolder: s += "COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"; break;
      default: s += "return ;;\n"; break;
    }
  }
  s += "  esac\n  local opts\n  case $sub in\n";
  for (const TSubcommandDef& sc : CSubcommands) {
    std::string opts;
    for (const TCliOptionDef& def : COptions)
      if ((def.AppliesTo & sc.Bit) != 0) opts += (opts.empty() ? "--" : " --") + std::string(def.Name);
    s += "    " + std::string(sc.Name) + ") opts='" + opts + "' ;;\n";
  }
  std::string global;
  for (const TCliOptionDef& def : COptions)
    if ((def.AppliesTo & scNone) != 0) global += (global.empty() ? "--" : " --") + std::string(def.Name);
  s += "    *) opts='" + global + "'\n"
       "       if [[ $cur != -* ]]; then COMPREPLY=($(compgen -W '" + SubcommandWords() +
       "' -- \"$cur\")); return; fi ;;\n  esac\n"
       "  if [[ $cur == -* ]]; then\n    COMPREPLY=($(compgen -W \"$opts\" -- \"$cur\"))\n"
       "  else\n    COMPREPLY=($(compgen -f -- \"$cur\"))\n  fi\n}\n"
       "complete -o filenames -F _quorvex_restore_cli quorvex-restore-cli\n";
  return s;
}

// zsh _arguments specs: brackets, colons and backslashes in descriptions are escaped.
std::string ZshEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '[' || c == ']' || c == ':' || c == '\\') out += '\\';
    if (c == '\'') { out += "'\\''"; continue; }
    out += c;
  }
  return out;
}

std::string ZshValueAction(const TCliOptionDef& def) {
  switch (def.Kind) {
    case vkChoice: {
      std::string words;
      for (const std::string& c : SplitChoices(def.Choices)) words += (words.empty() ? "" : " ") + c;
      return "(" + words + ")";
    }
    case vkFile: return "_files";
    case vkFolder: return "_files -/";
    default: return " ";
  }
}

std::string GenerateZsh() {
  std::string s = "#compdef quorvex-restore-cli\n# zsh completion for quorvex-restore-cli\n"
                  "_quorvex_restore_cli() {\n  local -a args\n  args=(\n";
  for (const TCliOptionDef& def : COptions) {
    std::string zshArg = "--" + std::string(def.Name);
    if (def.Repeatable) zshArg = "*" + zshArg;
    if (def.Short != 0 && !def.Repeatable)
      zshArg = "(-" + std::string(1, def.Short) + " --" + def.Name + ")'{-" + std::string(1, def.Short) +
               ",--" + def.Name + "}'";
    zshArg += "[" + ZshEscape(def.Help) + "]";
    if (def.ValueName != nullptr) zshArg += ":" + ZshEscape(def.ValueName) + ":" + ZshValueAction(def);
    s += "    '" + zshArg + "'\n";
  }
  s += "    '1:command:((";
  for (const TSubcommandDef& sc : CSubcommands)
    s += std::string(sc.Name) + "\\:" + "\"" + ZshEscape(sc.Help) + "\" ";
  s += "))'\n    '*:path:_files'\n  )\n  _arguments -s -S $args\n}\n"
       "_quorvex_restore_cli \"$@\"\n";
  return s;
}

std::string GenerateFish() {
  std::string s = "# fish completion for quorvex-restore-cli\n"
                  "complete -c quorvex-restore-cli -f\n";
  const std::string words = SubcommandWords();
  for (const TSubcommandDef& sc : CSubcommands)
    s += "complete -c quorvex-restore-cli -n 'not __fish_seen_subcommand_from " + words + "' -a " +
         sc.Name + " -d " + ShellQuoteSingle(sc.Help) + "\n";
  for (const TCliOptionDef& def : COptions) {
    std::string line = "complete -c quorvex-restore-cli";
    if (def.AppliesTo != scAny) {
      std::string names;
      for (const TSubcommandDef& sc : CSubcommands)
        if ((def.AppliesTo & sc.Bit) != 0) names += " " + std::string(sc.Name);
      line += " -n '__fish_seen_subcommand_from" + names + "'";
    }
    line += " -l " + std::string(def.Name);
    if (def.Short != 0) line += " -s " + std::string(1, def.Short);
    if (def.ValueName != nullptr) {
      line += def.Kind == vkFile || def.Kind == vkFolder ? " -r -F" : " -x";
      if (def.Kind == vkChoice) {
        std::string choices;
        for (const std::string& c : SplitChoices(def.Choices)) choices += (choices.empty() ? "" : " ") + c;
        line += " -a " + ShellQuoteSingle(choices);
      }
    }
    s += line + " -d " + ShellQuoteSingle(def.Help) + "\n";
  }
  // Paths after a run subcommand.
  s += "complete -c quorvex-restore-cli -n '__fish_seen_subcommand_from " + words + "' -F\n";
  return s;
}

}  // namespace

std::span<const TCliOptionDef> CliOptionTable() { return COptions; }
std::span<const TSubcommandDef> CliSubcommandTable() { return CSubcommands; }

const TCliOptionDef* FindLongOption(const std::string& name) {
  for (const TCliOptionDef& def : COptions)
    if (name == def.Name) return &def;
  return nullptr;
}

const TCliOptionDef* FindShortOption(char name) {
  for (const TCliOptionDef& def : COptions)
    if (def.Short != 0 && def.Short == name) return &def;
  return nullptr;
}

const TSubcommandDef* FindSubcommand(const std::string& name) {
  for (const TSubcommandDef& sc : CSubcommands)
    if (name == sc.Name) return &sc;
  return nullptr;
}

const TCliOptionDef& OptionDef(TOptionId id) {
  for (const TCliOptionDef& def : COptions)
    if (def.Id == id) return def;
  return COptions.front();
}

std::string OptionLabel(const TCliOptionDef& def) { return "--" + std::string(def.Name); }

std::string SubcommandNames(uint32_t mask) {
  std::vector<std::string> names;
  for (const TSubcommandDef& sc : CSubcommands)
    if ((mask & sc.Bit) != 0) names.push_back(sc.Name);
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += i + 1 == names.size() ? " " + Tr("or") + " " : ", ";
    out += names[i];
  }
  return out;
}

namespace {

constexpr size_t CHelpWidth = 79;

// One option's lines of --help; marked: the subcommands it applies to, where not all.
std::string OptionHelp(const TCliOptionDef& def, bool marked) {
  constexpr size_t CIndent = 30;
  std::string head = def.Short != 0 ? "  -" + std::string(1, def.Short) + ", --" : "      --";
  head += def.Name;
  if (def.ValueName != nullptr) head += " " + ValueText(def);
  if (head.size() + 1 >= CIndent) head += "\n" + std::string(CIndent, ' ');
  else head.resize(CIndent, ' ');
  std::string help = Tr(def.Help);
  if (marked && def.AppliesTo != scAny && def.AppliesTo != scRun) help += " [" + SubcommandNames(def.AppliesTo) + "]";
  return head + Wrap(help, CIndent, CHelpWidth) + "\n";
}

}  // namespace

std::string CliHelpText() {
  std::string h = Tr("usage:") + "\n";
  for (const TSubcommandDef& sc : CSubcommands)
    h += "  " + std::string(CProgram) + " [OPTIONS] " + sc.Name + " " + sc.Synopsis + "\n";
  h += "\n" + Tr("commands:") + "\n";
  for (const TSubcommandDef& sc : CSubcommands) {
    std::string head = "  " + std::string(sc.Name);
    head.resize(12, ' ');
    h += head + Wrap(Tr(sc.Help), 12, CHelpWidth) + "\n";
  }
  h += "\n" + Tr("options (of files, dir and schedule unless marked):") + "\n";
  for (const TCliOptionDef& def : COptions) h += OptionHelp(def, true);
  for (const TNote& note : CNotes)
    h += "\n" + Tr(note.Title) + "\n  " + Wrap(Tr(note.Text), 2, CHelpWidth) + "\n";
  return h;
}

std::string CliHelpText(const TSubcommandDef& sc) {
  std::string h = Tr("usage:") + "\n  " + std::string(CProgram) + " [OPTIONS] " + sc.Name + " " + sc.Synopsis +
                  "\n\n  " + Wrap(Tr(sc.Help), 2, CHelpWidth) + "\n\n" + Tr("options:") + "\n";
  for (const TCliOptionDef& def : COptions)
    if ((def.AppliesTo & sc.Bit) != 0) h += OptionHelp(def, false);
  return h;
}

std::string GenerateCliDocument(const std::string& kind) {
  if (kind == "man-cli") return GenerateCliMan();
  if (kind == "man-gui") return GenerateGuiMan();
  if (kind == "bash") return GenerateBash();
  if (kind == "zsh") return GenerateZsh();
  if (kind == "fish") return GenerateFish();
  return {};
}

}  // namespace qv
