// SPDX-License-Identifier: Apache-2.0
#pragma once
// A scratch folder under the temporary folder, removed with everything in it at the end.
#include <filesystem>
#include <fstream>
#include <string>

#include <stdlib.h>

namespace qv::test {

class TTestDir {
 public:
  TTestDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qv-base-XXXXXX").string();
    if (::mkdtemp(pattern.data())) FPath = pattern;
  }
  ~TTestDir() {
    std::error_code ec;
    if (!FPath.empty()) {
      // Give back write permission so that the removal cannot fail.
      for (auto it = std::filesystem::recursive_directory_iterator(FPath, ec);
           it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_symlink(ec))
          std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                       std::filesystem::perm_options::add, ec);
      std::filesystem::remove_all(FPath, ec);
    }
  }
  TTestDir(const TTestDir&) = delete;
  TTestDir& operator=(const TTestDir&) = delete;

  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

  std::string Write(const std::string& name, const std::string& content) const {
    const std::string path = *this / name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::string FPath;
};

}  // namespace qv::test
