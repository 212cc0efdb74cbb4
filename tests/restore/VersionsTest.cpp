// SPDX-License-Identifier: Apache-2.0
// Every version of one file across the backup sets, as the schedule mode finds them.
#include <gtest/gtest.h>

#include "restore/VersionList.h"
#include "ScriptedView.h"

namespace qv::test {

TEST(FindVersions, AcrossSetsKindsMasksAndDrives) {
  TTempDir d("qvversions");
  ASSERT_TRUE(d.Ok());
  const auto put = [&](const std::string& name, int64_t t, bool gz = false) {
    const std::string path = d / name;
    ASSERT_TRUE(qv::test::Run("mkdir -p '" + path.substr(0, path.rfind('/')) + "'"));
    ASSERT_TRUE(WriteFile(path, "version"));
    if (gz) {
      ASSERT_TRUE(qv::test::Run("gzip -n '" + path + "'"));
    }
    SetMTime(gz ? path + ".gz" : path, 1400000000 + t);
  };
  put("BD1/docs/r.txt", 100);
  put("BD2/docs/r.txt", 300, true);
  ASSERT_TRUE(qv::test::Run("mkdir -p '" + d / "BD3/DOCS'"));
  ASSERT_TRUE(WriteEncFile(d / "BD3/DOCS/R.TXT.enc", "secret", "pw"));
  SetMTime(d / "BD3/DOCS/R.TXT.enc", 1400000200);
  put("BD4/docs/r.txt", 300);  // the same time as BD2's: the set listed first stays first
  put(".hid/docs/r.txt", 999);  // a hidden set is never searched
  put("BD1/.h/r.txt", 5);       // hidden folders inside a set are
  put("XX1/docs/r.txt", 50);
  put("D1/LwC/docs/r.txt", 10);
  put("D1/LwD/docs/r.txt", 20);
  put("D2/LwC/docs/r.txt", 30, true);
  struct TRow {
    std::string Sets, Drive, RelPath;
    std::vector<std::string> Expected;  // "SET kind size", newest first
  } rows[] = {
      {"*.*", "", "docs/r.txt", {"BD2 gz 7", "BD4 plain 7", "BD3 enc -1", "BD1 plain 7", "XX1 plain 7"}},
      {"BD*", "", "DOCS/R.TXT", {"BD2 gz 7", "BD4 plain 7", "BD3 enc -1", "BD1 plain 7"}},
      {"bd1", "", "docs/r.txt", {"BD1 plain 7"}},
      {"BD1", "", ".h/r.txt", {"BD1 plain 7"}},
      {"D*", "Lw*", "docs/r.txt", {"D2 gz 7", "D1 plain 7", "D1 plain 7"}},
      {"D*", "LwD", "docs/r.txt", {"D1 plain 7"}},
      {"D*", "", "LwC/docs/r.txt", {"D2 gz 7", "D1 plain 7"}},
      {"*.*", "", "docs/none.txt", {}},
      {"", "", "docs/r.txt", {}},
  };
  for (const TRow& row : rows) {
    std::vector<std::string> got;
    for (const TVersionEntry& v : FindVersions(d.Path(), row.RelPath, row.Sets, row.Drive))
      got.push_back(v.Set + " " + VersionKindName(v.Kind) + " " + std::to_string(v.Size));
    EXPECT_EQ(got, row.Expected) << row.Sets << " " << row.Drive << " " << row.RelPath;
  }
  const std::vector<TVersionEntry> all = FindVersions(d.Path(), "docs/r.txt", "BD2", "");
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].Path, d / "BD2/docs/r.txt.gz");
  EXPECT_EQ(all[0].UnixTime, 1400000300);
}

}  // namespace qv::test
