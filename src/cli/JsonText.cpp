// SPDX-License-Identifier: Apache-2.0
#include "cli/JsonText.h"

#include <cstdio>

namespace qv {

namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when the byte there starts none.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  size_t len = 0;
  uint32_t cp = 0;
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) { len = 2; cp = b & 0x1F; }
  else if (b >= 0xE0 && b <= 0xEF) { len = 3; cp = b & 0x0F; }
  else if (b >= 0xF0 && b <= 0xF4) { len = 4; cp = b & 0x07; }
  else return 0;
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return len;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const size_t len = Utf8SequenceLength(text, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (len > 1) {
      out.append(text, i, len);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
    i += len;
  }
  return out + "\"";
}

void TJsonObject::Key(const char* name) {
  if (FText.size() > 1) FText += ',';
  FText += JsonString(name) + ":";
}

TJsonObject& TJsonObject::Add(const char* name, const std::string& value) {
  Key(name);
  FText += JsonString(value);
  return *this;
}

TJsonObject& TJsonObject::Add(const char* name, int64_t value) {
  Key(name);
  FText += std::to_string(value);
  return *this;
}

TJsonObject& TJsonObject::AddSeconds(const char* name, double seconds) {
  Key(name);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", seconds);
  FText += buf;
  return *this;
}

}  // namespace qv
