// SPDX-License-Identifier: Apache-2.0
#include "base/FormatUtils.h"

#include <langinfo.h>
#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/Translation.h"

namespace qv {
namespace {

std::string& DecimalSeparatorStore() {
  static std::string separator = ".";
  return separator;
}

std::string WithUnit(const std::string& number, const char* unit) {
  return number + " " + TrUnits(unit);
}

}  // namespace

void CaptureNumberFormat() {
  // Read the user's numeric locale without switching the process to it, so that parsing and
  // printing elsewhere keep the "C" rules.
  locale_t user = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (!user) return;
  const char* radix = ::nl_langinfo_l(RADIXCHAR, user);
  if (radix && *radix) SetDecimalSeparator(radix);
  ::freelocale(user);
}

void SetDecimalSeparator(const std::string& separator) { DecimalSeparatorStore() = separator; }

const std::string& DecimalSeparator() { return DecimalSeparatorStore(); }

namespace {

// An exact tie at the last kept decimal (1.125 to two decimals) is rounded away from zero,
// as users expect, rather than to even.
double NudgeTie(double value, int decimals) {
  if (!std::isfinite(value)) return value;
  char wide[420];
  const auto r = std::to_chars(wide, wide + sizeof wide, value, std::chars_format::fixed,
                               decimals + 20);
  if (r.ec != std::errc()) return value;
  const std::string_view text(wide, static_cast<size_t>(r.ptr - wide));
  const size_t dot = text.find('.');
  if (dot == std::string_view::npos) return value;
  const std::string_view rest = text.substr(dot + 1 + static_cast<size_t>(decimals));
  if (rest.empty() || rest[0] != '5' || rest.find_first_not_of('0', 1) != std::string_view::npos)
    return value;
  return std::nextafter(value, value < 0 ? -HUGE_VAL : HUGE_VAL);
}

}  // namespace

std::string FixedToStr(double value, int decimals) {
  if (decimals < 0) decimals = 0;
  if (decimals > 60) decimals = 60;
  value = NudgeTie(value, decimals);
  char buffer[420];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string text(buffer, result.ec == std::errc() ? result.ptr : buffer);
  if (const size_t dot = text.find('.'); dot != std::string::npos)
    text.replace(dot, 1, DecimalSeparator());
  return text;
}

std::string IntToStrSep(int64_t value, int width) {
  std::string digits = std::to_string(value);
  if (width < 0) {
    const size_t start = (value < 0) ? 1 : 0;
    for (size_t pos = digits.size(); pos > start + 3;) {
      pos -= 3;
      digits.insert(pos, 1, ' ');
    }
  } else if (static_cast<size_t>(width) > digits.size()) {
    digits.insert(0, static_cast<size_t>(width) - digits.size(), ' ');
  }
  return digits;
}

std::string SizeToStr(int64_t bytes) {
  if (bytes < 1024) return WithUnit(std::to_string(bytes), N_("B"));
  const double k = static_cast<double>(bytes) / 1024.0;
  if (k < 1024.0) return WithUnit(FixedToStr(k, k < 100.0 ? 2 : 1), N_("kB"));
  const double m = k / 1024.0;
  if (m < 1024.0) return WithUnit(FixedToStr(m, m < 100.0 ? 2 : 1), N_("MB"));
  return WithUnit(FixedToStr(m / 1024.0, 2), N_("GB"));
}

void FitIntoWorkArea(int& left, int& top, int height, int width, const TRect& workArea) {
  if (left + width > workArea.Right) left = workArea.Right - width - 20;
  if (left < workArea.Left) left = workArea.Left + 20;
  if (top + height > workArea.Bottom) top = workArea.Bottom - height - 30;
  if (top < workArea.Top) top = workArea.Top + 20;
}

std::string Hex32(uint32_t value) {
  char text[12];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

std::string EscapeControlChars(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (u < 0x20 || u == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace qv
