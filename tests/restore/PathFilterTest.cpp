// SPDX-License-Identifier: Apache-2.0
#include "restore/PathFilter.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

struct TGlobCase {
  const char* Pattern;
  const char* Path;
  bool Matches;
};

constexpr TGlobCase CGlobCases[] = {
    {"*.txt", "a.txt", true},
    {"*.txt", "docs/deep/a.txt", true},       // no "/": the last component
    {"*.TXT", "Docs/A.txt", true},            // case ignored
    {"äpfel*", "Obst/Äpfel.txt", true},       // beyond ASCII too
    {"*.txt", "a.txt.gz", false},
    {"docs/*.txt", "docs/a.txt", true},
    {"docs/*.txt", "docs/deep/a.txt", false},  // "*" stays within a component
    {"docs/**.txt", "docs/deep/a.txt", true},
    {"docs/**", "docs/deep/x/y.bin", true},
    {"**/a.txt", "a.txt", true},               // "**/" may stand for no folder
    {"**/a.txt", "x/y/a.txt", true},
    {"docs/?.txt", "docs/a.txt", true},
    {"docs/?.txt", "docs/ab.txt", false},
    {"d?cs/a.txt", "d/cs/a.txt", false},       // "?" does not cross "/"
    {"?.txt", "ü.txt", true},                  // one character, not one byte
    {"/docs/a.txt", "docs/a.txt", true},
    {"docs/", "x/docs", true},
    {"a*b*c*d*e*f*g*h*i*j", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
    {"", "a", false},
};

TEST(PathFilterTest, GlobTable) {
  for (const TGlobCase& c : CGlobCases)
    EXPECT_EQ(GlobMatches(c.Pattern, c.Path), c.Matches) << c.Pattern << " ~ " << c.Path;
}

struct TFilterCase {
  std::vector<std::string> Include, Exclude;
  const char* Path;
  bool Accepted, AcceptedWithFolders;
};

TEST(PathFilterTest, IncludeAndExclude) {
  const TFilterCase cases[] = {
      {{}, {}, "any/thing", true, true},
      {{"*.txt"}, {}, "docs/a.txt", true, true},
      {{"*.txt"}, {}, "docs/a.bin", false, false},
      {{"*.txt", "*.bin"}, {}, "docs/a.bin", true, true},
      {{}, {"*.tmp"}, "docs/a.tmp", false, false},
      {{"*.txt"}, {"secret*"}, "docs/secret.txt", false, false},
      {{}, {"cache"}, "cache/a.txt", true, false},  // the folder is excluded, not the file's name
      {{}, {"docs/cache"}, "docs/cache/x/a.txt", true, false},
  };
  for (const TFilterCase& c : cases) {
    const TPathFilter filter(c.Include, c.Exclude);
    EXPECT_EQ(filter.Accepts(c.Path), c.Accepted) << c.Path;
    EXPECT_EQ(filter.AcceptsWithFolders(c.Path), c.AcceptedWithFolders) << c.Path;
  }
}

TEST(PathFilterTest, ExcludedFoldersAreNotEntered) {
  const TPathFilter filter({"*.txt"}, {"Cache", "build/**"});
  EXPECT_FALSE(filter.EntersFolder("a/cache"));
  EXPECT_FALSE(filter.EntersFolder("build/x"));
  EXPECT_TRUE(filter.EntersFolder("docs"));  // includes never keep a folder out
}

}  // namespace
}  // namespace qv
