#include "restore/RestoreText.h"

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

std::string MsgFilesCopied() { return Tr("%u files copied"); }
std::string MsgErrors() { return Tr("%u errors"); }
std::string MsgDryRunSummary() {
  return Tr("Dry run: %u to restore (%u new, %u replaced), %u skipped, %u errors");
}
std::string MsgTestedSummary() { return Tr("%u files tested OK - %u errors"); }
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
std::string MsgDestNotEmpty() { return Tr("Destination directory not empty - start restore anyway?"); }
std::string MsgFilesFound() { return Tr("%u files found - start restore?"); }
std::string MsgScheduleCopied() { return Tr("%u of %u files copied (%s of %s)"); }
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

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && LowerAscii(a) == LowerAscii(b);
}

bool StartsWithText(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

}  // namespace qv
