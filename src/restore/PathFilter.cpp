// SPDX-License-Identifier: Apache-2.0
#include "restore/PathFilter.h"

#include <cstdint>

#include "restore/VersionList.h"

namespace qv {

namespace {

size_t NextChar(const std::string& text, size_t i) {
  ++i;
  while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
  return i;
}

// Memoised match of pattern[pi..] against path[ti..]; memo holds 0 unknown, 1 no, 2 yes.
class TGlob {
 public:
  TGlob(const std::string& pattern, const std::string& path)
      : P(pattern), T(path), FMemo((P.size() + 1) * (T.size() + 1), 0) {}
  bool Match(size_t pi, size_t ti) {
    int8_t& memo = FMemo[pi * (T.size() + 1) + ti];
    if (memo == 0) memo = Step(pi, ti) ? 2 : 1;
    return memo == 2;
  }

 private:
  bool Step(size_t pi, size_t ti) {
    if (pi == P.size()) return ti == T.size();
    const char c = P[pi];
    if (c == '*' && pi + 1 < P.size() && P[pi + 1] == '*') {
      size_t next = pi + 2;
      // "**/" also stands for no folder at all: "**/a" matches "a".
      if (next < P.size() && P[next] == '/' && Match(next + 1, ti)) return true;
      for (size_t k = ti; k <= T.size(); k = k < T.size() ? NextChar(T, k) : k + 1)
        if (Match(next, k)) return true;
      return false;
    }
    if (c == '*') {
      for (size_t k = ti;; k = NextChar(T, k)) {
        if (Match(pi + 1, k)) return true;
        if (k >= T.size() || T[k] == '/') return false;
      }
    }
    if (ti >= T.size()) return false;
    if (c == '?') return T[ti] != '/' && Match(pi + 1, NextChar(T, ti));
    return c == T[ti] && Match(pi + 1, ti + 1);
  }
  const std::string& P;
  const std::string& T;
  std::vector<int8_t> FMemo;
};

std::string LastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Leading "./" or "/" and a trailing "/" say nothing more about the path.
std::string NormalPattern(std::string pattern) {
  while (pattern.size() > 1 && pattern.back() == '/') pattern.pop_back();
  if (pattern.compare(0, 2, "./") == 0) pattern.erase(0, 2);
  while (pattern.size() > 1 && pattern.front() == '/') pattern.erase(0, 1);
  return FoldKey(pattern);
}

bool FoldedMatches(const std::string& pattern, const std::string& path) {
  const bool wholePath = pattern.find('/') != std::string::npos;
  const std::string subject = wholePath ? path : LastComponent(path);
  return TGlob(pattern, subject).Match(0, 0);
}

std::string NormalPath(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  while (p.size() > 1 && p.front() == '/') p.erase(0, 1);
  return FoldKey(p);
}

}  // namespace

bool GlobMatches(const std::string& pattern, const std::string& path) {
  return FoldedMatches(NormalPattern(pattern), NormalPath(path));
}

TPathFilter::TPathFilter(std::vector<std::string> include, std::vector<std::string> exclude) {
  for (const std::string& p : include) FInclude.push_back(NormalPattern(p));
  for (const std::string& p : exclude) FExclude.push_back(NormalPattern(p));
}

bool TPathFilter::AnyMatches(const std::vector<std::string>& patterns, const std::string& folded) {
  for (const std::string& p : patterns)
    if (FoldedMatches(p, folded)) return true;
  return false;
}

bool TPathFilter::Accepts(const std::string& path) const {
  if (Empty()) return true;
  const std::string folded = NormalPath(path);
  if (!FInclude.empty() && !AnyMatches(FInclude, folded)) return false;
  return !AnyMatches(FExclude, folded);
}

bool TPathFilter::EntersFolder(const std::string& path) const {
  return FExclude.empty() || !AnyMatches(FExclude, NormalPath(path));
}

bool TPathFilter::AcceptsWithFolders(const std::string& path) const {
  if (Empty()) return true;
  for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
    if (slash > 0 && !EntersFolder(path.substr(0, slash))) return false;
  return Accepts(path);
}

}  // namespace qv
