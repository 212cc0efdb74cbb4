// SPDX-License-Identifier: Apache-2.0
#pragma once
// JSON text for the CLI's --json lines.
#include <cstdint>
#include <string>

namespace qv {

// A JSON string literal: invalid UTF-8 bytes become U+FFFD, control characters are escaped.
std::string JsonString(const std::string& text);

// Builds one JSON object field by field: {"a":1,"b":"x"}.
class TJsonObject {
 public:
  TJsonObject& Add(const char* name, const std::string& value);
  TJsonObject& Add(const char* name, const char* value) { return Add(name, std::string(value)); }
  TJsonObject& Add(const char* name, int64_t value);
  TJsonObject& AddSeconds(const char* name, double seconds);
  std::string Text() const { return FText + "}"; }

 private:
  void Key(const char* name);
  std::string FText = "{";
};

}  // namespace qv
