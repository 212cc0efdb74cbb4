// SPDX-License-Identifier: Apache-2.0
#include "base/PathUtils.h"

#include <cctype>

namespace qv {
namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Position of the "." that starts the extension of the name part, or npos.
size_t ExtensionDot(const std::string& name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return dot;
  const size_t slash = name.rfind(PathDelim);
  return (slash == std::string::npos || dot > slash) ? dot : std::string::npos;
}

}  // namespace

size_t Utf8Length(const std::string& text) {
  size_t n = 0;
  for (char c : text)
    if (!IsContinuationByte(c)) ++n;
  return n;
}

std::string Utf8Tail(const std::string& text, size_t count) {
  if (count == 0) return {};
  size_t pos = text.size();
  size_t seen = 0;
  while (pos > 0) {
    --pos;
    if (!IsContinuationByte(text[pos]) && ++seen == count) break;
  }
  return text.substr(pos);
}

std::string LongPath(const std::string& path) {
  if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') {
    if (path.size() >= 4 && path[2] == '?' && path[3] == '\\') return path;
    return "\\\\?\\UNC\\" + path.substr(2);
  }
  if (!path.empty() && (path.size() < 2 || path[1] != ':')) return path;
  return "\\\\?\\" + path;
}

std::string AddPathDelimiter(const std::string& path) {
  if (path.empty() || path.back() == PathDelim) return path;
  return path + PathDelim;
}

std::string IncludeTrailingDelimiter(const std::string& path) {
  return path.empty() ? std::string(1, PathDelim) : AddPathDelimiter(path);
}

std::string ExcludeTrailingDelimiter(const std::string& path) {
  std::string result = path;
  while (result.size() > 1 && result.back() == PathDelim) result.pop_back();
  return result;
}

std::string ExtractFilePath(const std::string& path) {
  const size_t slash = path.rfind(PathDelim);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExtractFileDir(const std::string& path) {
  const size_t slash = path.rfind(PathDelim);
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string(1, PathDelim) : path.substr(0, slash);
}

std::string ExtractFileName(const std::string& path) {
  const size_t slash = path.rfind(PathDelim);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GetExtension(const std::string& name) {
  const size_t dot = ExtensionDot(name);
  return dot == std::string::npos ? std::string() : name.substr(dot + 1);
}

std::string DeleteExtension(const std::string& name) {
  const size_t dot = ExtensionDot(name);
  return dot == std::string::npos ? name : name.substr(0, dot);
}

std::string NewExtension(const std::string& name, const std::string& ext) {
  std::string result = DeleteExtension(name);
  const std::string bare = (!ext.empty() && ext[0] == '.') ? ext.substr(1) : ext;
  if (!bare.empty()) result += "." + bare;
  return result;
}

std::string CombineFileName(const std::string& dir, const std::string& name,
                            const std::string& defaultExt) {
  const std::string ext =
      (!defaultExt.empty() && defaultExt[0] == '.') ? defaultExt.substr(1) : defaultExt;
  std::string file = name;
  if (file.find('.') == std::string::npos && !ext.empty()) file += "." + ext;
  if (IsAbsolutePath(file) || dir.empty()) return file;
  return AddPathDelimiter(dir) + file;
}

bool IsAbsolutePath(const std::string& path) {
#ifdef _WIN32
  // A drive ("C:/", "C:\\") or a share ("\\\\server"); "/" alone is the current drive's root.
  if (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
      (path[2] == '/' || path[2] == '\\'))
    return true;
  if (!path.empty() && path[0] == '\\') return true;
#endif
  return !path.empty() && path[0] == PathDelim;
}

std::string ShortenPath(const std::string& path, size_t maxLength) {
  if (Utf8Length(path) < maxLength) return path;
  const auto tail = [&] { return "..." + Utf8Tail(path, maxLength > 3 ? maxLength - 3 : 0); };
  if (path.size() < 2) return tail();
  // A delimiter at the very end belongs to the last name.
  const size_t last = path.rfind(PathDelim, path.size() - 2);
  if (last == std::string::npos) return tail();
  const std::string lastPart = path.substr(last);
  const size_t lastLength = Utf8Length(lastPart);
  size_t pos = last;
  while (pos > 0) {
    pos = path.rfind(PathDelim, pos - 1);
    if (pos == std::string::npos) break;
    const std::string head = path.substr(0, pos + 1);
    if (Utf8Length(head) + 3 + lastLength <= maxLength) return head + "..." + lastPart;
  }
  return tail();
}

bool StripPrefix(std::string& text, const std::string& keyword) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon > keyword.size()) return false;
  for (size_t i = 0; i < colon; ++i) {
    const auto lower = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
    if (lower(text[i]) != lower(keyword[i])) return false;
  }
  text.erase(0, colon + 1);
  return true;
}

std::string PadLeft(const std::string& text, size_t width) {
  const size_t length = Utf8Length(text);
  return length >= width ? text : std::string(width - length, ' ') + text;
}

}  // namespace qv
