// SPDX-License-Identifier: Apache-2.0
// Path helpers of the restore session: archive paths, label fitting and name patterns.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <string>

#include "base/PathUtils.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"

namespace qv {

namespace {

// Drops the first folder of a folder part ("/a/b/" -> "/.../b/", "/.../b/" -> "/.../").
std::string CutFirstFolder(const std::string& folder) {
  if (folder == "/") return {};
  const bool lead = !folder.empty() && folder.front() == '/';
  std::string rest = lead ? folder.substr(1) : folder;
  // Only an ellipsis left by an earlier cut is removed here; a hidden folder keeps its dot.
  if (rest.rfind(".../", 0) == 0) rest.erase(0, 4);
  const size_t slash = rest.find('/');
  rest = slash == std::string::npos ? std::string() : ".../" + rest.substr(slash + 1);
  return lead ? "/" + rest : rest;
}

}  // namespace

bool SplitZipPath(std::string& path, std::string& subPath) {
  // Component by component from the start: the first archive that is a real file wins, so
  // "outer.zip/docs/inner.zip" opens outer.zip.
  size_t end = 0;
  while (end < path.size()) {
    size_t next = path.find('/', end + 1);
    if (next == std::string::npos) next = path.size();
    const std::string prefix = path.substr(0, next);
    const std::string last = ExtractFileName(prefix);
    const size_t dot = last.rfind('.');
    struct stat st {};
    if (dot != std::string::npos && SameText(last.substr(dot + 1), "zip") &&
        ::stat(prefix.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      size_t rest = next;
      while (rest < path.size() && path[rest] == '/') ++rest;
      subPath = path.substr(rest);
      while (!subPath.empty() && subPath.back() == '/') subPath.pop_back();
      path = prefix;
      return true;
    }
    end = next;
  }
  subPath.clear();
  return false;
}

std::string KeepBothName(const std::string& targetPath) {
  unsigned from = 1;
  return KeepBothName(targetPath, from);
}

std::string KeepBothName(const std::string& targetPath, unsigned& from,
                         const std::function<bool(const std::string&)>& taken) {
  const size_t slash = targetPath.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : targetPath.substr(0, slash + 1);
  const std::string name = targetPath.substr(folder.size());
  const size_t dot = name.rfind('.');
  const bool hasExt = dot != std::string::npos && dot > 0;
  const std::string stem = hasExt ? name.substr(0, dot) : name;
  const std::string ext = hasExt ? name.substr(dot) : std::string();
  for (unsigned& n = from;; ++n) {
    const std::string candidate = folder + stem + " (" + std::to_string(n) + ")" + ext;
    struct stat st {};
    if (::lstat(candidate.c_str(), &st) != 0 && errno == ENOENT && !(taken && taken(candidate))) return candidate;
  }
}

std::string FitPathToWidth(const std::string& path, int maxWidth,
                           const std::function<int(const std::string&)>& textWidth) {
  std::string drive = path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : std::string();
  const std::string rest = path.substr(drive.size());
  const size_t slash = rest.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : rest.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
  std::string text = path;
  while (textWidth(text) > maxWidth && (!drive.empty() || !folder.empty())) {
    if (folder == "/.../") {
      drive.clear();
      folder = ".../";
    } else if (!folder.empty()) {
      folder = CutFirstFolder(folder);
    } else {
      drive.clear();
    }
    text = drive + folder + name;
  }
  return text;
}

namespace {

std::u32string CodePoints(const std::string& utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + length > utf8.size()) length = 1;
    char32_t cp = length == 1 ? c : (c & (0x7F >> length));
    for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    out += cp;
    i += length;
  }
  return out;
}

// Iterative glob on code points with one backtrack point for the last "*".
bool Glob(const std::u32string& name, const std::u32string& mask) {
  size_t n = 0, m = 0, starMask = std::u32string::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == U'?' || mask[m] == name[n])) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == U'*') {
      starMask = m++;
      starName = n;
    } else if (starMask != std::u32string::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == U'*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(const std::string& name, const std::string& mask) {
  if (mask.empty()) return false;
  if (mask == "*.*" || mask == "*") return true;
  const std::u32string n = CodePoints(FoldCase(name));
  std::u32string m = CodePoints(FoldCase(mask));
  if (Glob(n, m)) return true;
  // A listing also matches "name" against "name.*", and a name without a dot against a
  // mask ending in "." ("*." = names without extension).
  if (m.size() >= 2 && m.compare(m.size() - 2, 2, U".*") == 0 && Glob(n, m.substr(0, m.size() - 2)))
    return true;
  if (m.back() == U'.' && n.find(U'.') == std::u32string::npos) return Glob(n, m.substr(0, m.size() - 1));
  return false;
}

}  // namespace qv
