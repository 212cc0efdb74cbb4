// SPDX-License-Identifier: Apache-2.0
#pragma once
// Include and exclude patterns on an item's relative path: case ignored, "*" and "?" stay
// within one component, "**" crosses "/", and a pattern without "/" looks at the last
// component only.
#include <string>
#include <vector>

namespace qv {

// One glob against a path ("docs/a.txt"), both already case-folded or not: the comparison
// folds them itself.
bool GlobMatches(const std::string& pattern, const std::string& path);

class TPathFilter {
 public:
  TPathFilter() = default;
  TPathFilter(std::vector<std::string> include, std::vector<std::string> exclude);
  bool Empty() const { return FInclude.empty() && FExclude.empty(); }
  // An item is taken when it matches an include (if there is any) and no exclude.
  bool Accepts(const std::string& path) const;
  // A folder is entered unless an exclude matches it.
  bool EntersFolder(const std::string& path) const;
  // An item of a flat listing (an archive): every folder above it entered, and itself taken.
  bool AcceptsWithFolders(const std::string& path) const;

 private:
  static bool AnyMatches(const std::vector<std::string>& patterns, const std::string& folded);
  std::vector<std::string> FInclude, FExclude;  // folded
};

}  // namespace qv
