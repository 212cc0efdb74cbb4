// SPDX-License-Identifier: Apache-2.0
#pragma once
// How a zip entry's decoded name becomes a path in the mounted tree: the components a restore
// would write, or nothing when a restore refuses the name. Free of FUSE, so that the fuzz
// targets and the unit tests check it alone.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/ZipTypes.h"

namespace qv {

// The longest name of one component that the kernel takes.
inline constexpr size_t CMaxComponent = 255;

// The components of an entry name ("docs/a.txt" -> {"docs", "a.txt"}): empty and "."
// components dropped as a restore joins them. nullopt for a name that a restore refuses
// (absolute, with a ".." component, see IsSafeEntryName), that holds a NUL, has a component
// too long for the kernel, or names nothing at all.
inline std::optional<std::vector<std::string>> EntryPathParts(std::string_view name) {
  if (!IsSafeEntryName(name) || name.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") {
      if (part.size() > CMaxComponent) return std::nullopt;
      parts.emplace_back(part);
    }
    start = end + 1;
  }
  if (parts.empty()) return std::nullopt;
  return parts;
}

// A component that may stand in a listing: not empty, not "." or "..", no "/" and no NUL.
inline bool IsListableName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.size() <= CMaxComponent &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace qv
