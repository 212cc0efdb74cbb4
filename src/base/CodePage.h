// SPDX-License-Identifier: Apache-2.0
#pragma once
// Conversion between UTF-8 and the 8-bit code pages of the machine that wrote a backup:
// the "ANSI" code page (Windows-1252 unless chosen otherwise) and the OEM code page 437.
#include <string>

namespace qv {

// Chooses the ANSI code page by its iconv name ("CP1252", "CP1250", "ISO-8859-15" ...).
// False, keeping the previous choice, when iconv does not know it. Set it at start-up,
// before any worker runs.
bool SetAnsiCodePage(const std::string& name);
std::string AnsiCodePage();

// Bytes the code page does not define become "?".
std::string AnsiToUtf8(const std::string& text);
// Characters the code page cannot hold become "?"; invalid UTF-8 bytes too.
std::string Utf8ToAnsi(const std::string& text);
// Code page 437, as zip names without the UTF-8 flag are written by DOS-era tools.
std::string OemToUtf8(const std::string& text);

// Generic conversion through iconv; characters that the target cannot hold, and bytes
// that are not valid in the source, become "?". Empty when a code page is unknown.
std::string ConvertCodePage(const std::string& text, const std::string& from,
                            const std::string& to);

}  // namespace qv
