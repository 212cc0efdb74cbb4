// SPDX-License-Identifier: Apache-2.0
#include "cli/CliView.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/FormatUtils.h"
#include "base/PathUtils.h"
#include "base/Translation.h"
#include "cli/CliArgs.h"
#include "cli/JsonText.h"
#include "cli/Terminal.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"

namespace qv {

namespace {

constexpr auto CDrawInterval = std::chrono::milliseconds(100);   // 10 lines a second
constexpr auto CJsonInterval = std::chrono::milliseconds(250);   // 4 objects a second

// The last `width` characters of text (UTF-8), "..." in front when anything was cut.
std::string TailToWidth(const std::string& text, size_t width) {
  const size_t length = Utf8Length(text);
  if (length <= width) return text;
  if (width <= 3) return std::string(width, '.');
  size_t drop = length - (width - 3);
  size_t i = 0;
  while (i < text.size() && drop > 0) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    --drop;
  }
  return "..." + text.substr(i);
}

// The first `width` characters of text (UTF-8).
std::string HeadToWidth(const std::string& text, size_t width) {
  size_t i = 0;
  for (size_t n = 0; i < text.size() && n < width; ++n) {
    ++i;
    while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  }
  return text.substr(0, i);
}

std::string Duration(double seconds) {
  if (seconds < 0 || seconds > 359999) return "-:--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

const char* ActionName(TItemAction action) {
  switch (action) {
    case iaRestored: return "restored";
    case iaSkipped: return "skipped";
    case iaFailed: return "failed";
    case iaNew: return "new";
    case iaReplace: return "replace";
    case iaSkip: return "skip";
    case iaTested: return "tested";
  }
  return "failed";
}

// The dry run's line of one item; empty for the items a restore does not list.
std::string DryRunLine(const TItemReport& r) {
  const std::string target = EscapeControlChars(r.Target);
  const std::string source = EscapeControlChars(r.Source);
  const std::string set = r.Set.empty() ? std::string() : " [" + EscapeControlChars(r.Set) + "]";
  switch (r.Action) {
    case iaNew: return "new     " + target + " <- " + source + set;
    case iaReplace: return "replace " + target + " <- " + source + set;
    case iaSkip: return "skip    " + target + " (" + r.Reason + ")";
    case iaFailed:
      return "fail    " + source + ": " + r.Message + (r.Detail.empty() ? "" : " (" + EscapeControlChars(r.Detail) + ")");
    default: return {};
  }
}

// The item a prompt of this format names: the text that stands for its "%s".
std::optional<std::string> PromptItem(const std::string& prompt, const std::string& format) {
  const size_t at = format.find("%s");
  if (at == std::string::npos) return std::nullopt;
  const std::string head = format.substr(0, at), tail = format.substr(at + 2);
  if (prompt.size() < head.size() + tail.size() || !prompt.starts_with(head) || !prompt.ends_with(tail))
    return std::nullopt;
  return prompt.substr(head.size(), prompt.size() - head.size() - tail.size());
}

// A prompt as the terminal shows it: its own line breaks kept, anything else escaped.
std::string PromptLines(const std::string& prompt) {
  std::string text;
  size_t from = 0;
  for (size_t end; (end = prompt.find('\n', from)) != std::string::npos; from = end + 1)
    text += EscapeControlChars(prompt.substr(from, end - from)) + "\n";
  return text + EscapeControlChars(prompt.substr(from));
}

}  // namespace

std::string FormatProgressLine(const TRunProgress& p, double seconds, int columns) {
  if (columns < 2) return {};
  const size_t width = static_cast<size_t>(columns - 1);
  const double fraction =
      p.BytesTotal > 0 ? static_cast<double>(p.BytesDone) / static_cast<double>(p.BytesTotal)
      : p.FilesTotal > 0 ? static_cast<double>(p.FilesDone) / static_cast<double>(p.FilesTotal)
                         : 0.0;
  const int percent = static_cast<int>(100.0 * (fraction > 1.0 ? 1.0 : fraction));
  const double speed = seconds > 0.2 ? static_cast<double>(p.BytesDone) / seconds : 0.0;
  const double eta = speed > 0 && p.BytesTotal > 0 ? static_cast<double>(p.BytesTotal - p.BytesDone) / speed : -1;
  // On a narrow terminal the speed goes first, then the ETA, then the bytes: the name keeps
  // a readable part.
  const std::string counts = "[" + std::to_string(p.FilesDone) + "/" +
                             (p.FilesTotal > 0 ? std::to_string(p.FilesTotal) : std::string("?")) + "] " +
                             std::to_string(percent) + "% ";
  const std::string bytes = SizeToStr(p.BytesDone) + " " + Tr("of") + " " + SizeToStr(p.BytesTotal) + "  ";
  const std::string rate = SizeToStr(static_cast<int64_t>(speed)) + "/s  ";
  const std::string remaining = Tr("ETA") + " " + Duration(eta) + "  ";
  const std::string name = EscapeControlChars(p.Current);
  const size_t nameRoom = std::min(Utf8Length(name), std::max<size_t>(12, width / 3));
  std::string line;
  for (const std::string& candidate : {counts + bytes + rate + remaining, counts + bytes + remaining,
                                       counts + bytes, counts}) {
    line = candidate;
    if (Utf8Length(line) + nameRoom <= width) break;
  }
  const size_t used = Utf8Length(line);
  if (used >= width) return HeadToWidth(line, width);
  return line + TailToWidth(name, width - used);
}

TCliView::TCliView(TCliOptions options)
    : FOptions(std::move(options)),
      FInteractive(!FOptions.Json && ::isatty(STDIN_FILENO) != 0),
      FShowProgress(!FOptions.Quiet && !FOptions.Json && ::isatty(STDERR_FILENO) != 0),
      FStart(std::chrono::steady_clock::now()) {}

double TCliView::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
}

TRestoreOptions TCliView::RunOptions() {
  TRestoreOptions o;
  o.Mode = FOptions.Mode;
  o.Kind = FOptions.Kind;
  o.Overwrite = FOptions.Overwrite;
  o.Unpack = FOptions.Unpack;
  o.Protected = FOptions.OverwriteProtected;
  o.Verify = FOptions.Verify;
  o.Tolerance = FOptions.Tolerance;
  o.IgnoreDst = FOptions.IgnoreDst;
  o.Jobs = FOptions.Jobs;
  o.Target = FOptions.Target;
  o.Date = FOptions.RestoreDate;
  o.SubDirMask = FOptions.Sets;
  o.DriveMask = FOptions.Drive;
  o.Include = FOptions.Include;
  o.Exclude = FOptions.Exclude;
  if (!FOptions.Paths.empty()) o.Folder = ExcludeTrailingDelimiter(FOptions.Paths.front());
  o.Items = FOptions.Paths;
  // A script reads every failure the same way: its two lines and the summary's count.
  o.ListSingleFailure = true;
  return o;
}

bool TCliView::Confirm(const std::string& text, bool yesPreselected) {
  if (FOptions.Yes) return true;
  ClearProgressLine();
  if (!FInteractive) {
    std::fprintf(stderr, "%s %s\n", text.c_str(), Tr("No").c_str());
    return false;
  }
  std::string answer;
  switch (ReadPromptLine(text + " " + (yesPreselected ? Tr("[Y/n]") : Tr("[y/N]")) + " ", answer, true)) {
    case TPromptResult::prInterrupted: std::fputs("\n", stderr); return false;
    case TPromptResult::prEndOfInput: std::fputs("\n", stderr); return false;
    case TPromptResult::prLine: break;
  }
  if (answer.empty()) return yesPreselected;
  // English and German first letters of Yes, whichever language the question came in.
  return answer[0] == 'y' || answer[0] == 'Y' || answer[0] == 'j' || answer[0] == 'J';
}

void TCliView::ShowInfo(const std::string& text) { ShowMessage({text, {}}); }

// Error lines go to stdout with the other results.
void TCliView::ShowError(const std::string& text) { ShowMessage({text, {}}); }

void TCliView::ShowDetailInfo(const std::string&, const std::string& message,
                              const std::vector<std::string>& details, TDetailIcon) {
  ShowMessage({message, details});
}

void TCliView::ShowMessage(TMessage message) {
  // The last message of a run is its summary: it is held back for the lines that follow it.
  if (FLastMessage) PrintMessage(*FLastMessage, false);
  FLastMessage = std::move(message);
}

void TCliView::PrintLine(const std::string& line) {
  ClearProgressLine();
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
}

void TCliView::PrintMessage(const TMessage& message, bool withRunLines) {
  if (FOptions.Json) return;  // the summary object carries the last one
  PrintLine(EscapeControlChars(message.Text));
  if (withRunLines) {
    // A dry run's own summary already counts its skips.
    const uint32_t skipped = Skipped();
    if (skipped > 0 && FOptions.Kind != rkDryRun)
      PrintLine(FormatText(NTr("%u skipped", "%u skipped", skipped), {std::to_string(skipped)}));
    if (Stopped()) PrintLine(Tr("Stopped by user."));
    else if (FSession != nullptr && FSession->LastRun().Cancelled) PrintLine(Tr("Cancelled."));
  }
  std::fflush(stdout);
  // Error lines go with the other complaints, after the summary they belong to.
  for (const std::string& line : message.Details) std::fprintf(stderr, "%s\n", EscapeControlChars(line).c_str());
}

TPasswordAnswer TCliView::QueryPassword(const std::string&, const std::string& prompt,
                                        std::string& pwd) {
  // A given password is offered once to every item, also after a typed one took its place;
  // the item it does not open is asked for on a terminal, or fails alone.
  // The first question of an item always gets it; a question again only when the password
  // that failed there was another one.
  const std::optional<std::string> retried = PromptItem(prompt, MsgPasswordInvalid());
  // An empty one (an empty file, an empty variable) is no password: every item is alike.
  if (FOptions.Password && !FOptions.Password->empty() && (!retried || *retried != FGivenOfferedTo)) {
    FGivenOfferedTo = retried ? *retried : PromptItem(prompt, MsgPasswordRequired()).value_or(prompt);
    pwd = *FOptions.Password;
    return paOk;
  }
  if (FOptions.Kind == rkDryRun) return paGiveUp;
  if (!FInteractive) {
    if (!FOptions.Password && !std::exchange(FPasswordHinted, true))
      std::fprintf(stderr, "quorvex-restore-cli: %s\n",
                   Tr("encrypted files need a password: use --password-file FILE, QUORVEX_PASSWORD or "
                      "--password-command CMD")
                       .c_str());
    return paGiveUp;
  }
  ClearProgressLine();
  std::string line;
  switch (ReadPromptLine(PromptLines(prompt) + "\n" + Tr("Password (empty line: skip this file, Ctrl-D: cancel): "),
                         line, false)) {
    case TPromptResult::prInterrupted:
      // Ctrl-C is Stop wherever it is pressed: the rest of the run, in every mode.
      std::fputs("\n", stderr);
      if (FSession != nullptr && FSession->Restoring()) {
        FStopped = true;
        FSession->Stop();
      }
      return paCancel;
    case TPromptResult::prEndOfInput: std::fputs("\n", stderr); return paCancel;
    case TPromptResult::prLine: break;
  }
  if (line.empty()) return paSkip;
  pwd = line;
  return paOk;
}

void TCliView::SetStatusVisible(bool visible) {
  if (!visible) ClearProgressLine();
}

void TCliView::ClearProgressLine() {
  if (!FLineDrawn) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  FLineDrawn = false;
}

void TCliView::ItemDone(const TItemReport& r) {
  if (r.Action == iaSkipped || r.Action == iaSkip) ++FSkipped;
  if (r.Action == iaFailed) ++FItemErrors;
  if ((r.Action == iaRestored || r.Action == iaTested) && r.Bytes > 0) FRestoredBytes += r.Bytes;
  if (FOptions.Json) {
    TJsonObject o;
    o.Add("type", "item").Add("action", ActionName(r.Action));
    if (!r.Source.empty()) o.Add("source", r.Source);
    if (!r.Target.empty()) o.Add("target", r.Target);
    if (!r.Set.empty()) o.Add("set", r.Set);
    if (r.Bytes >= 0) o.Add("bytes", r.Bytes);
    if (r.Action == iaFailed) o.Add("code", int64_t{r.Code.Value()}).Add("message", r.Message);
    if (!r.Detail.empty()) o.Add("detail", r.Detail);
    if (!r.Reason.empty()) o.Add("reason", r.Reason);
    std::printf("%s\n", o.Text().c_str());
    return;
  }
  if (FOptions.Kind == rkDryRun) {
    const std::string line = DryRunLine(r);
    if (!line.empty()) PrintLine(line);
  } else if (FOptions.Verbose) {
    // As tar -v: what was written, and what was left as it was and why.
    if (r.Action == iaRestored) PrintLine("restored " + EscapeControlChars(r.Target));
    else if (r.Action == iaSkipped) PrintLine("skipped " + EscapeControlChars(r.Target) + " (" + r.Reason + ")");
  }
}

void TCliView::RunProgress(const TRunProgress& progress) {
  if (!FShowProgress && !FOptions.Json) return;
  const auto now = std::chrono::steady_clock::now();
  if (FOptions.Json) {
    if (now - FLastDraw < CJsonInterval) return;
    FLastDraw = now;
    TJsonObject o;
    o.Add("type", "progress")
        .Add("files_done", int64_t{progress.FilesDone})
        .Add("files_total", int64_t{progress.FilesTotal})
        .Add("bytes_done", progress.BytesDone)
        .Add("bytes_total", progress.BytesTotal)
        .AddSeconds("seconds", Seconds());
    std::printf("%s\n", o.Text().c_str());
    return;
  }
  // A terminal redrawn for each of thousands of small files would set the pace of the run.
  if (FLineDrawn && now - FLastDraw < CDrawInterval) return;
  const int columns = TerminalColumns();
  if (columns < 2) return;
  FLastDraw = now;
  const std::string line = FormatProgressLine(progress, Seconds(), columns);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  FLineDrawn = true;
}

uint32_t TCliView::Skipped() const {
  return FSkipped + (FSession != nullptr ? FSession->LastRun().LeftOut : 0);
}

bool TCliView::Stopped() const { return FStopped || (FSession != nullptr && FSession->LastRun().Stopped); }

void TCliView::ProcessMessages() {
  if (TakeStopRequest() && FSession != nullptr && FSession->Restoring()) {
    FStopped = true;
    FSession->Stop();
  }
}

int TCliView::FinishRun() {
  ClearProgressLine();
  const TRunOutcome& run = FSession->LastRun();
  int exitCode = CExitOk;
  if (!run.Started || run.NothingToDo || run.Cancelled || Stopped()) exitCode = CExitNotRun;
  else if (run.Errors > 0) exitCode = CExitErrors;
  if (!FOptions.Json) {
    if (FLastMessage) PrintMessage(*FLastMessage, true);
    else if (Stopped()) PrintLine(Tr("Stopped by user."));
    std::fflush(stdout);
    return exitCode;
  }
  TJsonObject o;
  o.Add("type", "summary")
      .Add("copied", int64_t{run.Copied})
      .Add("skipped", int64_t{Skipped()})
      .Add("errors", int64_t{run.Errors})
      .Add("bytes", FRestoredBytes)
      .AddSeconds("seconds", Seconds())
      .Add("text", FLastMessage ? FLastMessage->Text : std::string())
      .Add("exit", int64_t{exitCode});
  std::printf("%s\n", o.Text().c_str());
  std::fflush(stdout);
  return exitCode;
}

}  // namespace qv
