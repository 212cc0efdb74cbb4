// SPDX-License-Identifier: Apache-2.0
#pragma once
// The terminal side of the CLI: Ctrl-C, SIGTERM and SIGHUP as Stop or Cancel, prompt lines
// read so that Ctrl-C answers at once and Ctrl-D does not stick, and the echo always restored.
#include <string>

namespace qv {

// SIGINT, SIGTERM and SIGHUP request a stop; a second SIGINT while one is pending ends the
// program (with the echo restored).
void InstallStopSignals();
void RemoveStopSignals();
// True once when a stop was requested since the last call.
bool TakeStopRequest();

enum class TPromptResult { prLine, prEndOfInput, prInterrupted };
// Shows prompt on stderr and reads one line from the terminal on stdin (without its line
// break); echo off for passwords.
TPromptResult ReadPromptLine(const std::string& prompt, std::string& line, bool echo);

// Columns of the terminal on stderr, 0 when it is none; refreshed after SIGWINCH.
int TerminalColumns();

}  // namespace qv
