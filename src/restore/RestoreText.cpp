// SPDX-License-Identifier: Apache-2.0
#include "restore/RestoreText.h"

#include <locale.h>
#include <wctype.h>

#include <cctype>

#include "base/Translation.h"

namespace qv {

std::string FormatText(const std::string& format, std::initializer_list<std::string> values) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = values.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c == '%' && i + 1 < format.size()) {
      const char conversion = format[i + 1];
      if (conversion == 'u' || conversion == 'd' || conversion == 's') {
        if (next != values.end()) out += *next++;
        ++i;
        continue;
      }
      if (conversion == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += c;
  }
  return out;
}

std::string MsgFilesCopied(uint32_t n) { return NTr("%u file copied", "%u files copied", n); }
std::string MsgErrors(uint32_t n) { return NTr("%u error", "%u errors", n); }
std::string MsgSkipped(uint32_t n) { return NTr("%u skipped", "%u skipped", n); }
std::string MsgDryRunSummary() {
  return Tr("Dry run: %u to restore (%u new, %u replaced), %u skipped, %u errors");
}
std::string MsgFilesTested(uint32_t n) { return NTr("%u file tested OK", "%u files tested OK", n); }
std::string MsgVerified() { return Tr(", %u verified"); }
// Reasons are keys of the item reports (printed and read by scripts): not translated.
std::string MsgReasonExists() { return "exists"; }
std::string MsgReasonNotOlder() { return "not older"; }
std::string MsgBothTimes() { return Tr("backup %s, target %s (UTC)"); }
std::string MsgPasswordRequired() { return Tr("To restore encrypted file:\n%s\nrequires a password!"); }
std::string MsgPasswordInvalid() {
  return Tr("The password entered for file:\n%s\nis invalid! Please try again!");
}
std::string MsgDestNotFound() { return Tr("Destination directory not found - create?"); }
std::string MsgDestNotCreated() { return Tr("Could not create destination directory:\n%s\n%s"); }
std::string MsgDestNotEmpty() { return Tr("Destination directory not empty - start restore anyway?"); }
std::string MsgFilesFound(uint32_t n) { return NTr("%u file found - start restore?", "%u files found - start restore?", n); }
std::string MsgScheduleCopied(uint32_t total) {
  return NTr("%u of %u file copied (%s of %s)", "%u of %u files copied (%s of %s)", total);
}
std::string MsgNoFilesSelected() { return Tr("No files selected!"); }
std::string MsgNoFilesFound() { return Tr("No files found!"); }
std::string MsgSearching() { return Tr("Searching for files"); }
std::string MsgErrorRestoring() { return Tr("Error restoring file: "); }
std::string MsgErrorGzHeader() { return Tr("Error reading gz-header: "); }
std::string MsgNoSourceFolder() { return Tr("No source directory selected!"); }
std::string MsgMainCaption() { return Tr("Restore files from backup"); }

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

namespace {

// Decodes one UTF-8 sequence at text[i]; false (and nothing consumed) for a malformed one.
bool DecodeUtf8(std::string_view text, size_t& i, char32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) { length = 2; cp = lead & 0x1Fu; }
  else if (lead >= 0xE0 && lead <= 0xEF) { length = 3; cp = lead & 0x0Fu; }
  else if (lead >= 0xF0 && lead <= 0xF4) { length = 4; cp = lead & 0x07u; }
  else return false;
  if (i + length > text.size()) return false;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0u) != 0x80u) return false;
    cp = (cp << 6) | (byte(i + k) & 0x3Fu);
  }
  static constexpr char32_t CMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < CMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += length;
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The Unicode case mapping of the C library, independent of the process's own locale.
locale_t UnicodeCtype() {
  static const locale_t ctype = [] {
    locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (l == static_cast<locale_t>(nullptr))
      l = ::newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
    return l;
  }();
  return ctype;
}

char32_t FoldCodePoint(char32_t cp) {
  const locale_t ctype = UnicodeCtype();
  if (ctype != static_cast<locale_t>(nullptr))
    return static_cast<char32_t>(::towlower_l(static_cast<wint_t>(cp), ctype));
  // Without a Unicode locale: at least the Latin-1 letters.
  if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
  return cp;
}

}  // namespace

std::string FoldCase(std::string_view text) {
  std::string folded;
  folded.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
      ++i;
      continue;
    }
    char32_t cp = 0;
    if (DecodeUtf8(text, i, cp)) {
      AppendUtf8(folded, FoldCodePoint(cp));
    } else {
      folded += static_cast<char>(c);  // a byte that is no UTF-8 compares as itself
      ++i;
    }
  }
  return folded;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() == b.size() && a == b) return true;
  return FoldCase(a) == FoldCase(b);
}

bool StartsWithText(std::string_view text, std::string_view prefix) {
  const std::string folded = FoldCase(text), foldedPrefix = FoldCase(prefix);
  return folded.compare(0, foldedPrefix.size(), foldedPrefix) == 0;
}

}  // namespace qv
