// SPDX-License-Identifier: Apache-2.0
#pragma once
// Numbers and sizes as shown to the user, and window placement within a work area.
#include <cstdint>
#include <string>

namespace qv {

// The user's locale decimal separator, captured once at start-up (CaptureNumberFormat) before
// any worker runs; "." until then. The thousands separator of this unit is always a blank.
void CaptureNumberFormat();
void SetDecimalSeparator(const std::string& separator);
const std::string& DecimalSeparator();

// "1023 B", "1.00 kB", "100.0 kB", "5.00 GB"; units translated in the domain "units".
std::string SizeToStr(int64_t bytes);
// Decimal digits; a positive width pads on the left with blanks, a negative width inserts a
// blank every three digits from the right.
std::string IntToStrSep(int64_t value, int width = 0);
// Fixed-point with the given decimals, the locale decimal separator, no thousands separator.
std::string FixedToStr(double value, int decimals);

// Eight upper-case hex digits ("0000310E"), as codes and checksums are shown.
std::string Hex32(uint32_t value);

// A name from a backup made safe to print: control characters become "\n", "\t", "\x1b", ...,
// and a backslash becomes "\\", so a name can neither forge an output line nor drive a terminal.
std::string EscapeControlChars(const std::string& text);

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
};

// Moves (left, top) so that a window of the given size lies within workArea.
void FitIntoWorkArea(int& left, int& top, int height, int width, const TRect& workArea);

}  // namespace qv
