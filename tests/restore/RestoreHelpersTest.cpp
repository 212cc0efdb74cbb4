// SPDX-License-Identifier: Apache-2.0
// Path splitting, label fitting, name patterns, kinds, the timestamp rule and the settings file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "restore/ArchiveIndex.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/VersionList.h"
#include "ScriptedView.h"
#include "transfer/ZipRead.h"

namespace qv::test {

TEST(SplitZipPath, SplitsAtTheFirstArchiveThatIsAFile) {
  TTempDir d("qvsplit");
  ASSERT_TRUE(d.Ok());
  ASSERT_TRUE(qv::test::Run("mkdir -p '" + d.Path() + "/B/folder.zip/x' && touch '" + d.Path() + "/B/old.zip' '" +
                  d.Path() + "/B/a.ZIP' '" + d.Path() + "/B/folder.zip/x/in.zip'"));
  const std::string b = d.Path() + "/B";
  struct TRow {
    std::string Path;
    bool Split;
    std::string Archive, Sub;
  } rows[] = {
      {b + "/old.zip/docs/a.txt", true, b + "/old.zip", "docs/a.txt"},
      {b + "/old.zip", true, b + "/old.zip", ""},
      {b + "/old.zip/", true, b + "/old.zip", ""},
      {b + "/a.ZIP/b/c.txt", true, b + "/a.ZIP", "b/c.txt"},
      {b + "/old.zip/docs/inner.zip/e.txt", true, b + "/old.zip", "docs/inner.zip/e.txt"},
      {b + "/folder.zip/x/in.zip/e.txt", true, b + "/folder.zip/x/in.zip", "e.txt"},  // a folder named .zip
      {b + "/folder.zip/x", false, "", ""},
      {b + "/missing.zip/a.txt", false, "", ""},  // not there: no archive
      {b + "/x.zipped/y", false, "", ""},
  };
  for (const TRow& row : rows) {
    std::string p = row.Path, sub = "junk";
    EXPECT_EQ(SplitZipPath(p, sub), row.Split) << row.Path;
    EXPECT_EQ(p, row.Split ? row.Archive : row.Path) << row.Path;
    EXPECT_EQ(sub, row.Sub) << row.Path;
  }
}

TEST(FitPathToWidth, CutsLeadingFoldersStepByStep) {
  const auto width = [](const std::string& t) { return static_cast<int>(t.size()); };
  const std::string path = "/aaaaaa/b/file.txt";
  const struct { std::string Path; int Width; std::string Fitted; } rows[] = {
      {path, 100, path},
      {path, 16, "/.../b/file.txt"},
      {path, 14, "/.../file.txt"},
      {path, 12, ".../file.txt"},
      {path, 3, "file.txt"},  // shown even when still too wide
      {"/.cfg/x/y/f", 10, "/.../x/y/f"},
      {"/.cfg/x/y/f", 9, "/.../y/f"},
  };
  for (const auto& row : rows) EXPECT_EQ(FitPathToWidth(row.Path, row.Width, width), row.Fitted) << row.Width;
}

TEST(MatchesMask, FolderListingRules) {
  const struct { std::string Name, Mask; bool Matches; } rows[] = {
      {"noext", "*.*", true}, {"BD_2013", "bd*", true}, {"LwE", "LWE", true}, {"LwEx", "LwE", false},
      {"BD1", "BD?", true}, {"BD12", "BD?", false}, {"anything", "", false},
      {"a.b.c", "*.c", true}, {"a.b.c", "*.b", false},
  };
  for (const auto& row : rows) EXPECT_EQ(MatchesMask(row.Name, row.Mask), row.Matches) << row.Name << " " << row.Mask;
}

TEST(BackupKind, ByExtensionWithUnpackSwitch) {
  const struct { std::string Name; bool Unpack; TBackupKind Kind; } rows[] = {
      {"/x/a.txt.gz", true, bkCompressed}, {"/x/a.txt.gz", false, bkPlain},
      {"/x/a.txt.GZE", true, bkCompressed}, {"/x/a.txt.GZE", false, bkPlain},
      {"/x/a.txt.enc", false, bkEncrypted}, {"/x/a.txt.enc", true, bkEncrypted},
      {"/x/report", true, bkPlain}, {"/x.gz/archive.tar", true, bkPlain},
  };
  for (const auto& row : rows) EXPECT_EQ(BackupKind(row.Name, row.Unpack), row.Kind) << row.Name << " " << row.Unpack;
}

TEST(SourceIsNewer, ToleranceAndDaylightSavingAllowance) {
  // Tolerance in seconds, the daylight saving allowance, the two times, and the answer.
  const struct { int32_t Tolerance; bool IgnoreDst; int32_t Source, Target; bool Newer; } rows[] = {
      {2, false, 1002, 1000, false}, {2, false, 1003, 1000, true}, {2, false, 900, 1000, false},
      {2, true, 103598, 100000, false}, {2, true, 103600, 100000, false}, {2, true, 103602, 100000, false},
      {2, true, 96400, 100000, false}, {2, true, 103597, 100000, true}, {2, true, 103603, 100000, true},
      {7200, true, 7200, 0, false}, {7200, true, 10800, 0, false}, {7200, true, 10801, 0, true},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SourceIsNewer(row.Source, row.Target, row.Tolerance, row.IgnoreDst), row.Newer)
        << row.Source << " vs " << row.Target << ", tolerance " << row.Tolerance << ", dst " << row.IgnoreDst;
  }
}

TEST(VersionList, FirstDiscoveryOrderCaseFoldAndNewestWins) {
  TVersionList list;
  list.Offer("DOCS/A.TXT", "/s1/DOCS/A.TXT", 100);
  list.Offer("b", "/s1/b", 50);
  list.Offer("docs/a.txt", "/s2/docs/a.txt", 200);
  list.Offer("Docs/A.txt", "/s3/Docs/A.txt", 200);  // equal time: the first found stays
  list.Offer("B", "/s2/B", 10);                     // older: nothing changes
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(list[0].Key, "docs/a.txt");
  EXPECT_EQ(list[0].Info.FullPath, "/s2/docs/a.txt");
  EXPECT_EQ(list[1].Key, "b");
  EXPECT_EQ(FoldKey("ÄÖÜ/Ĺ"), FoldKey("äöü/ĺ"));
}

TEST(VersionList, ManyKeysKeepTheirPlaceAndNewestVersionAsTheIndexGrows) {
  TVersionList list;
  constexpr int Keys = 5000;
  for (int set = 0; set < 3; ++set)
    for (int i = 0; i < Keys; ++i) {
      const std::string key = (set == 1 ? "DIR/F" : "dir/f") + std::to_string(i);
      list.Offer(key, "/s" + std::to_string(set) + "/" + key, set == 2 ? 5 : 10 + set, "s" + std::to_string(set));
    }
  ASSERT_EQ(list.Count(), static_cast<size_t>(Keys));
  for (int i = 0; i < Keys; i += 997) {
    EXPECT_EQ(list[i].Key, "DIR/F" + std::to_string(i));
    EXPECT_EQ(list[i].Set, "s1");
    EXPECT_EQ(list[i].Info.TimeStamp, 11);
  }
  list.Clear();
  list.Offer("x", "/x", 1);
  EXPECT_EQ(list.Count(), 1u);
  EXPECT_EQ(list[0].Key, "x");
}

TEST(ListDirectory, KindsLinksAndOnlyTheDetailsAskedFor) {
  TTempDir d("qvlist");
  ASSERT_TRUE(d.Ok());
  // Names long enough that the records need more than one read of 64 KiB.
  ASSERT_TRUE(qv::test::Run("cd '" + d.Path() + "' && mkdir sub && echo x > file && touch -d 2001-02-03T04:05:06Z file"
                  " && ln -s file to-file && ln -s sub to-sub && ln -s gone dangling && mkfifo pipe"
                  " && for i in $(seq 1000 1999); do : > padding-$i-$(printf '%0100d' 0); done"));
  const TDirHandle dir = OpenFolder(-1, d.Path());
  struct stat sub {};
  ASSERT_EQ(::stat((d.Path() + "/sub").c_str(), &sub), 0);
  using T = TDirEntry;
  struct TRow {
    const char* name;
    T::TType type, linkTarget;
    bool dangling;
  } rows[] = {
      {"dangling", T::deLink, T::deOther, true},
      {"file", T::deFile, T::deOther, false},
      {"pipe", T::deOther, T::deOther, false},
      {"sub", T::deFolder, T::deOther, false},
      {"to-file", T::deLink, T::deFile, false},
      {"to-sub", T::deLink, T::deFolder, false},
  };
  for (const unsigned details : {0u, unsigned{ldFileTimes}, unsigned{ldFolderIds}}) {
    bool ok = false;
    const TDirListing listing = ListDirectory(dir, details, &ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(listing.size(), 1006u);
    EXPECT_TRUE(std::is_sorted(listing.begin(), listing.end(),
                               [](const T& a, const T& b) { return a.Name < b.Name; }));
    for (const TRow& row : rows) {
      const auto e = std::find_if(listing.begin(), listing.end(), [&](const T& x) { return x.Name == row.name; });
      ASSERT_NE(e, listing.end()) << row.name;
      EXPECT_EQ(e->Type, row.type) << row.name;
      EXPECT_EQ(e->LinkTarget, row.linkTarget) << row.name;
      EXPECT_EQ(e->Dangling, row.dangling) << row.name;
      if (row.type == T::deFile) {
        EXPECT_EQ(e->UnixTime, details == ldFileTimes ? 981173106 : 0) << details;
      }
      if (row.type == T::deFolder) {
        EXPECT_EQ(e->Inode, details == ldFolderIds ? sub.st_ino : 0) << details;
      }
    }
  }
  bool ok = true;
  EXPECT_TRUE(ListDirectory(d.Path() + "/missing", false, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_EQ(ListDirectory(d.Path() + "/to-sub", false, &ok).size(), 0u) << "a path given follows its link";
  EXPECT_TRUE(ok);
}

TEST(ArchiveIndex, ExactSpellingFirstThenTheOneThatDiffersInCase) {
  TTempDir d("qvindex");
  ASSERT_TRUE(d.Ok());
  ASSERT_TRUE(WriteFile(d.Path() + "/make.py", R"PY(
import sys, warnings, zipfile
warnings.simplefilter('ignore')
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for name in ['dir/', 'Dir/x.txt', 'twice.txt', 'twice.txt', 'Über.txt', 'a.txt', 'A.txt']:
        z.writestr(name, '' if name.endswith('/') else name)
    for i in range(3000): z.writestr(f'many/{i}.txt', '')
)PY"));
  ASSERT_TRUE(qv::test::Run("python3 '" + d.Path() + "/make.py' '" + d.Path() + "/x.zip'"));
  TZipRead zip(d.Path() + "/x.zip");
  zip.ReadDirectory();
  const TArchiveIndex index(zip.Directory());
  const struct {
    const char* name;
    int entry;
  } rows[] = {
      {"Dir/x.txt", 1}, {"dir/X.TXT", 1}, {"dir", -1},      {"dir/", -1},  // folders are not selected
      {"twice.txt", 2}, {"TWICE.txt", -1}, {"über.txt", 4}, {"a.txt", 5},  // two alike: neither
      {"A.txt", 6},     {"a.TXT", -1},    {"many/2999.txt", 3006},         {"many/3000.txt", -1},
  };
  for (const auto& row : rows) EXPECT_EQ(index.Find(zip.Directory(), row.name), row.entry) << row.name;
}

TEST(RestoreSettings, DefaultsUnknownModeAndBooleans) {
  TTempDir dir("qvsettings");
  const std::string ini = dir / "QuorvexRestore.ini";
  TRestoreSettings s = LoadRestoreSettings(ini);
  EXPECT_EQ(s.Mode, rmFiles);
  EXPECT_TRUE(s.ReadProtected);
  EXPECT_TRUE(s.Unpack);
  EXPECT_EQ(s.Timespan, 2);
  EXPECT_FALSE(s.IgnoreDst);
  EXPECT_EQ(s.RestoreDate, TodayDayNumber());
  EXPECT_EQ(s.SubDirMask, "*.*");
  EXPECT_EQ(s.DriveID, "");
  EXPECT_EQ(s.Target, "");
  ASSERT_TRUE(WriteFile(ini, "[Config]\nMode=5\nUnpack=7\nReadProtected=0\nTimespan=9000\n"));
  s = LoadRestoreSettings(ini);
  EXPECT_EQ(s.Mode, rmSchedule);
  EXPECT_TRUE(s.Unpack);
  EXPECT_FALSE(s.ReadProtected);
  EXPECT_EQ(s.Timespan, 9000);  // used unchanged, also outside the dialog's range
  s.Target = "/restore/here";
  s.IgnoreDst = true;
  ASSERT_TRUE(SaveRestoreSettings(ini, s));
  const std::string text = ReadFile(ini);
  EXPECT_NE(text.find("Mode=2"), std::string::npos);
  EXPECT_NE(text.find("IgnoreDst=1"), std::string::npos);
  EXPECT_NE(text.find("ReadProtected=0"), std::string::npos);
  const TRestoreSettings back = LoadRestoreSettings(ini);
  EXPECT_EQ(back.Target, "/restore/here");
  EXPECT_TRUE(back.IgnoreDst);
}

TEST(ShowProgress, AnnouncedTotalDrivesThePosition) {
  struct TProgressView : TScriptedView {
    int Position = -1;
    void SetProgress(int p) override { Position = p; }
  } view;
  TRestoreSession s(view);
  s.ShowProgress(acCopy, 250, false);
  EXPECT_EQ(view.Position, 0);  // before any announcement
  s.ShowProgress(acCopy, -1000, false);
  s.ShowProgress(acCopy, 250, false);
  EXPECT_EQ(view.Position, 25);
  s.ShowProgress(acCopy, 0, false);
  EXPECT_EQ(view.Position, 0);
}

}  // namespace qv::test
