#include "cli/CliView.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

#include "base/FormatUtils.h"
#include "base/PathUtils.h"
#include "base/Translation.h"
#include "restore/RestoreSession.h"

namespace qv {

std::atomic<bool> GStopRequested{false};

namespace {

// Reads one line from the terminal; false at its end (Ctrl-D).
bool ReadTerminalLine(std::string& line, bool echo) {
  termios saved {};
  const bool isTty = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (isTty && !echo) {
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool ok = static_cast<bool>(std::getline(std::cin, line));
  if (isTty && !echo) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return ok;
}

}  // namespace

TCliView::TCliView(TCliOptions options)
    : FOptions(std::move(options)),
      FInteractive(::isatty(STDIN_FILENO) != 0),
      FShowProgress(!FOptions.Quiet && ::isatty(STDERR_FILENO) != 0) {}

std::string TCliView::SelectedFolder() {
  if (FOptions.Paths.empty()) return {};
  return ExcludeTrailingDelimiter(FOptions.Paths.front());
}

bool TCliView::Confirm(const std::string& text, bool yesPreselected) {
  if (FOptions.Yes) return true;
  if (!FInteractive) {
    std::fprintf(stderr, "%s %s\n", text.c_str(), Tr("No").c_str());
    return false;
  }
  std::fprintf(stderr, "%s %s ", text.c_str(), (yesPreselected ? Tr("[Y/n]") : Tr("[y/N]")).c_str());
  std::fflush(stderr);
  std::string answer;
  if (!ReadTerminalLine(answer, true)) return false;
  if (answer.empty()) return yesPreselected;
  // English and German first letters of Yes, whichever language the question came in.
  return answer[0] == 'y' || answer[0] == 'Y' || answer[0] == 'j' || answer[0] == 'J';
}

void TCliView::ShowInfo(const std::string& text) {
  SetStatusVisible(false);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

// Error lines go to stdout with the other results.
void TCliView::ShowError(const std::string& text) { ShowInfo(text); }

void TCliView::ShowDetailInfo(const std::string&, const std::string& message,
                              const std::vector<std::string>& details, TDetailIcon) {
  SetStatusVisible(false);
  std::printf("%s\n", message.c_str());
  for (const std::string& line : details) std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

TPasswordAnswer TCliView::QueryPassword(const std::string&, const std::string& prompt,
                                        std::string& pwd) {
  if (FOptions.Password) {
    // A given password is offered once; when it fails it cannot be asked again.
    if (FFixedPasswordUsed) return paGiveUp;
    FFixedPasswordUsed = true;
    pwd = *FOptions.Password;
    return paOk;
  }
  if (!FInteractive) return paGiveUp;
  SetStatusVisible(false);
  std::fprintf(stderr, "%s\n%s", prompt.c_str(),
               Tr("Password (empty line: skip this file, Ctrl-D: cancel): ").c_str());
  std::fflush(stderr);
  std::string line;
  if (!ReadTerminalLine(line, false)) {
    std::cin.clear();
    return paCancel;
  }
  if (line.empty()) return paSkip;
  pwd = line;
  return paOk;
}

// A dry run prints one line per decision; the other runs report through their summary.
void TCliView::ItemDone(const TItemReport& report) {
  if (FOptions.RunKind != rkDryRun) return;
  const std::string target = EscapeControlChars(report.Target);
  const std::string source = EscapeControlChars(report.Source);
  std::string line;
  switch (report.Action) {
    case iaNew: line = "new     " + target + " <- " + source; break;
    case iaReplace: line = "replace " + target + " <- " + source; break;
    case iaSkip: line = "skip    " + target + " (" + report.Reason + ")"; break;
    case iaFailed: line = "fail    " + source + ": " + report.Message; break;
    default: return;
  }
  if (!report.Set.empty() && report.Action != iaSkip && report.Action != iaFailed)
    line += " [" + EscapeControlChars(report.Set) + "]";
  SetStatusVisible(false);
  std::printf("%s\n", line.c_str());
}

void TCliView::SetFileLabel(const std::string& text) {
  FLabel = text;
  FPosition = 0;
  DrawProgress();
}

int TCliView::FileLabelWidth() {
  if (!FShowProgress) return 72;  // nothing is drawn: no need to ask the terminal
  winsize ws {};
  int columns = 80;
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) columns = ws.ws_col;
  return columns > 20 ? columns - 8 : 12;
}

int TCliView::TextWidth(const std::string& text) { return static_cast<int>(Utf8Length(text)); }

void TCliView::SetProgress(int position) {
  if (position == FPosition) return;
  FPosition = position;
  DrawProgress();
}

void TCliView::SetStatusVisible(bool visible) {
  if (!visible && FLineDrawn) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    FLineDrawn = false;
  }
}

void TCliView::DrawProgress() {
  if (!FShowProgress) return;
  // A terminal redrawn for each of thousands of small files would set the pace of the run.
  const auto now = std::chrono::steady_clock::now();
  if (FLineDrawn && now - FLastDraw < std::chrono::milliseconds(50)) return;
  FLastDraw = now;
  std::fprintf(stderr, "\r\033[K%3d%% %s", FPosition > 100 ? 100 : FPosition, FLabel.c_str());
  std::fflush(stderr);
  FLineDrawn = true;
}

void TCliView::ProcessMessages() {
  if (GStopRequested.exchange(false) && FSession != nullptr && FSession->Restoring)
    FSession->StartStop();
}

}  // namespace qv
