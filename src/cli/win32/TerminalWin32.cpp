// SPDX-License-Identifier: Apache-2.0
// The terminal side of the CLI on the Windows console: Ctrl-C, Ctrl-Break and closing the
// console as Stop, a password read with the console's echo off (restored on every way out),
// and the console's width.
#include "cli/Terminal.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace qv {

namespace {

std::atomic<bool> GStopPending{false};
std::atomic<bool> GEchoOff{false};
DWORD GSavedMode = 0;
HANDLE GWakeEvent = nullptr;  // set by the handler, waited for by a prompt

void RestoreEcho() {
  if (GEchoOff.exchange(false)) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), GSavedMode);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (GStopPending.load()) {
        // The first one was not served yet: the user insists.
        RestoreEcho();
        return FALSE;  // the default handler ends the process
      }
      GStopPending.store(true);
      if (GWakeEvent) SetEvent(GWakeEvent);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      GStopPending.store(true);
      if (GWakeEvent) SetEvent(GWakeEvent);
      RestoreEcho();
      return TRUE;
    default: return FALSE;
  }
}

}  // namespace

void InstallStopSignals() {
  if (!GWakeEvent) GWakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RemoveStopSignals() { SetConsoleCtrlHandler(OnConsoleEvent, FALSE); }

bool TakeStopRequest() { return GStopPending.exchange(false); }

TPromptResult ReadPromptLine(const std::string& prompt, std::string& line, bool echo) {
  line.clear();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetConsoleMode(in, &mode) != 0;
  if (console && !echo) {
    GSavedMode = mode;
    GEchoOff.store(true);
    SetConsoleMode(in, (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
  }
  std::fputs(prompt.c_str(), stderr);
  std::fflush(stderr);
  TPromptResult result = TPromptResult::prLine;
  if (console) {
    // Line input in UTF-16, so a password in any script arrives as typed; a stop request
    // ends the wait.
    std::wstring wide;
    for (;;) {
      if (TakeStopRequest()) {
        result = TPromptResult::prInterrupted;
        break;
      }
      HANDLE waits[2] = {in, GWakeEvent};
      const DWORD w = WaitForMultipleObjects(GWakeEvent ? 2 : 1, waits, FALSE, INFINITE);
      if (w == WAIT_OBJECT_0 + 1) continue;
      INPUT_RECORD record;
      DWORD peeked = 0;
      // Key releases and focus events also signal the handle; only a finished line is read.
      if (PeekConsoleInputW(in, &record, 1, &peeked) && peeked == 1 &&
          !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)) {
        ReadConsoleInputW(in, &record, 1, &peeked);
        continue;
      }
      wchar_t buffer[256];
      DWORD got = 0;
      if (!ReadConsoleW(in, buffer, 256, &got, nullptr)) {
        result = wide.empty() ? TPromptResult::prEndOfInput : TPromptResult::prLine;
        break;
      }
      if (got == 0) {
        if (TakeStopRequest()) {
          result = TPromptResult::prInterrupted;
          break;
        }
        continue;
      }
      wide.append(buffer, got);
      if (wide.size() >= 1 && wide.back() == L'\n') {
        wide.pop_back();
        break;
      }
      // Ctrl-Z at the start of a line is the console's end of input.
      if (wide == L"\x1a\r" || wide == L"\x1a") {
        wide.clear();
        result = TPromptResult::prEndOfInput;
        break;
      }
    }
    line = qv_utf8(wide);
  } else {
    // A pipe or file: bytes as they come, up to the line break.
    for (;;) {
      if (TakeStopRequest()) {
        result = TPromptResult::prInterrupted;
        break;
      }
      char c;
      DWORD got = 0;
      if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) {
        result = line.empty() ? TPromptResult::prEndOfInput : TPromptResult::prLine;
        break;
      }
      if (c == '\n') break;
      line.push_back(c);
    }
  }
  if (console && !echo) {
    RestoreEcho();
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return result;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : 80;
}

}  // namespace qv
