// SPDX-License-Identifier: Apache-2.0
#include "cli/Terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace qv {

namespace {

std::atomic<bool> GStopPending{false};
std::atomic<bool> GWinchPending{true};
std::atomic<bool> GEchoOff{false};
termios GSavedTermios{};
int GWakePipe[2] = {-1, -1};  // the handler writes, a waiting prompt polls

void RestoreEcho() {
  if (GEchoOff.exchange(false)) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &GSavedTermios);
}

extern "C" void OnStopSignal(int sig) {
  if (sig == SIGINT && GStopPending.load()) {
    // The first one was not served yet: the user insists.
    RestoreEcho();
    ::signal(SIGINT, SIG_DFL);
    ::raise(SIGINT);
    return;
  }
  GStopPending.store(true);
  if (GWakePipe[1] >= 0) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(GWakePipe[1], &byte, 1);
    errno = saved;
  }
}

extern "C" void OnWinch(int) { GWinchPending.store(true); }

void SetHandler(int sig, void (*handler)(int)) {
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting read returns at once
  ::sigaction(sig, &sa, nullptr);
}

void DrainWakePipe() {
  char buf[64];
  while (GWakePipe[0] >= 0 && ::read(GWakePipe[0], buf, sizeof buf) > 0) {
  }
}

}  // namespace

void InstallStopSignals() {
  if (GWakePipe[0] < 0 && ::pipe2(GWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) GWakePipe[0] = GWakePipe[1] = -1;
  SetHandler(SIGINT, OnStopSignal);
  SetHandler(SIGTERM, OnStopSignal);
  SetHandler(SIGHUP, OnStopSignal);
  SetHandler(SIGWINCH, OnWinch);
}

void RemoveStopSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::signal(sig, SIG_DFL);
}

bool TakeStopRequest() {
  if (!GStopPending.exchange(false)) return false;
  DrainWakePipe();
  return true;
}

TPromptResult ReadPromptLine(const std::string& prompt, std::string& line, bool echo) {
  line.clear();
  termios saved {};
  const bool isTty = ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (isTty && !echo) {
    GSavedTermios = saved;
    termios quiet = saved;
    quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
    GEchoOff.store(true);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  // Only now: whatever is typed after the prompt appears must reach this read.
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  TPromptResult result = TPromptResult::prLine;
  for (;;) {
    if (TakeStopRequest()) {
      result = TPromptResult::prInterrupted;
      break;
    }
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {GWakePipe[0], POLLIN, 0}};
    if (::poll(fds, GWakePipe[0] >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      result = TPromptResult::prEndOfInput;
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    // Each read of a terminal returns at most one line; Ctrl-D on an empty line returns 0
    // and leaves nothing behind for the next prompt.
    char buf[256];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result = line.empty() ? TPromptResult::prEndOfInput : TPromptResult::prLine;
      break;
    }
    line.append(buf, static_cast<size_t>(n));
    if (line.back() == '\n') {
      line.pop_back();
      break;
    }
  }
  if (isTty && !echo) {
    RestoreEcho();
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return result;
}

int TerminalColumns() {
  static int columns = 0;
  if (GWinchPending.exchange(false)) {
    winsize ws {};
    // A terminal that does not know its size (a bare pty, a serial line) gets the classic 80.
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) != 0) columns = ::isatty(STDERR_FILENO) ? 80 : 0;
    else columns = ws.ws_col > 0 ? ws.ws_col : 80;
  }
  return columns;
}

}  // namespace qv
