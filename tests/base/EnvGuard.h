// SPDX-License-Identifier: Apache-2.0
#pragma once
// Sets environment variables for one test and puts the previous values back.
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace qv::test {

class TEnvGuard {
 public:
  TEnvGuard() = default;
  TEnvGuard(const TEnvGuard&) = delete;
  TEnvGuard& operator=(const TEnvGuard&) = delete;
  ~TEnvGuard() {
    for (const auto& [name, value] : FSaved) {
      if (value)
        ::setenv(name.c_str(), value->c_str(), 1);
      else
        ::unsetenv(name.c_str());
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (FSaved.count(name)) return;
    const char* old = std::getenv(name.c_str());
    FSaved[name] = old ? std::optional<std::string>(old) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> FSaved;
};

}  // namespace qv::test
