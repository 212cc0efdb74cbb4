// SPDX-License-Identifier: Apache-2.0
#pragma once
// The restore session's own texts and the small helpers that the modes share.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace qv {

// Fills the placeholders %u, %d and %s of a (possibly translated) format in order.
// A format with fewer placeholders drops the extra values; a stray "%" stays as it is,
// so a faulty translation can never read beyond the values given.
std::string FormatText(const std::string& format, std::initializer_list<std::string> values);

// Resource texts of the main window, translated in the default domain.
std::string MsgFilesCopied(uint32_t n);  // "%u files copied", the form for n
std::string MsgErrors(uint32_t n);       // "%u errors"
std::string MsgSkipped(uint32_t n);      // "%u skipped"
std::string MsgPasswordRequired();     // "To restore encrypted file:\n%s\nrequires a password!"
std::string MsgPasswordInvalid();      // "The password entered for file:\n%s\nis invalid! ..."
std::string MsgDestNotFound();         // "Destination directory not found - create?"
std::string MsgDestNotCreated();       // "Could not create destination directory:\n%s\n%s" (folder, reason)
std::string MsgDestNotEmpty();         // "Destination directory not empty - start restore anyway?"
std::string MsgFilesFound(uint32_t n);   // "%u files found - start restore?"
std::string MsgScheduleCopied(uint32_t total);  // "%u of %u files copied (%s of %s)"
std::string MsgNoFilesSelected();      // "No files selected!"
std::string MsgNoFilesFound();         // "No files found!"
std::string MsgSearching();            // "Searching for files"
std::string MsgErrorRestoring();       // "Error restoring file: "
std::string MsgErrorGzHeader();        // "Error reading gz-header: "
std::string MsgNoSourceFolder();       // "No source directory selected!"
std::string MsgMainCaption();          // "Restore files from backup"
std::string MsgDryRunSummary();        // "Dry run: %u to restore (%u new, %u replaced), %u skipped, %u errors"
std::string MsgFilesTested(uint32_t n);  // "%u files tested OK"
std::string MsgVerified();             // ", %u verified"
std::string MsgReasonExists();         // "exists"
std::string MsgReasonNotOlder();       // "not older"
std::string MsgBothTimes();            // "backup %s, target %s" (UTC)

// The one case folding of every name comparison: each UTF-8 letter to its lower case
// (all scripts); bytes that are no UTF-8 stay as they are.
std::string FoldCase(std::string_view text);
// Text comparison with case ignored (FoldCase).
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view text, std::string_view prefix);
std::string LowerAscii(std::string text);

}  // namespace qv
