// SPDX-License-Identifier: Apache-2.0
#pragma once
// Start-up of the command-line program: language, code page, version text, archive listing.
#include <string>

#include "cli/CliArgs.h"

namespace qv {

// Language selection and the 8-bit code page, as the desktop program does at start. An
// unknown code page is left to ParseCliArgs to refuse.
void StartCli(const TCliCommand& command);
// The name with the version and the program file's date (YYYY-MM-DD) on one line.
std::string CliVersionText();
// A header line, then one line per entry: name, size, date, encrypted flag; errors on
// stderr. Returns the exit status.
int ListArchive(const std::string& archive);
// Every version of one file across the backup sets (Paths: FOLDER, RELPATH).
int ListVersions(const TCliOptions& options);

}  // namespace qv
