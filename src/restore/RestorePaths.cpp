// Path helpers of the restore session: archive paths, label fitting and name patterns.
#include <cctype>
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
  std::string r = path;
  while (!r.empty() && r.back() == '/') r.pop_back();
  while (!r.empty()) {
    const std::string last = ExtractFileName(r);
    const size_t dot = last.rfind('.');
    if (dot != std::string::npos && SameText(last.substr(dot + 1), "zip")) {
      subPath = path.size() > r.size() + 1 ? path.substr(r.size() + 1) : std::string();
      path = r;
      return true;
    }
    const size_t slash = r.rfind('/');
    if (slash == std::string::npos || slash == r.size() - 1 || slash == 0)
      r.clear();
    else
      r.resize(slash);
  }
  subPath.clear();
  return false;
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

bool MatchFrom(const std::string& name, size_t n, const std::string& mask, size_t m) {
  // Iterative glob with one backtrack point for the last "*".
  size_t starMask = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' ||
                            std::tolower(static_cast<unsigned char>(mask[m])) ==
                                std::tolower(static_cast<unsigned char>(name[n])))) {
      ++n;
      ++m;
    } else if (m < mask.size() && mask[m] == '*') {
      starMask = m++;
      starName = n;
    } else if (starMask != std::string::npos) {
      m = starMask + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

}  // namespace

bool MatchesMask(const std::string& name, const std::string& mask) {
  if (mask.empty()) return false;
  if (mask == "*.*" || mask == "*") return true;
  // A listing also matches "name" against "name.*" and "*." (names without extension).
  if (mask.size() >= 2 && mask.compare(mask.size() - 2, 2, ".*") == 0 &&
      MatchFrom(name, 0, mask.substr(0, mask.size() - 2), 0))
    return true;
  return MatchFrom(name, 0, mask, 0);
}

}  // namespace qv
