// Path splitting, label fitting, name patterns, kinds, the timestamp rule and the settings file.
#include <gtest/gtest.h>

#include "restore/RestoreSession.h"
#include "restore/VersionList.h"
#include "ScriptedView.h"

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
  EXPECT_EQ(FitPathToWidth(path, 100, width), path);
  EXPECT_EQ(FitPathToWidth(path, 16, width), "/.../b/file.txt");
  EXPECT_EQ(FitPathToWidth(path, 14, width), "/.../file.txt");
  EXPECT_EQ(FitPathToWidth(path, 12, width), ".../file.txt");
  EXPECT_EQ(FitPathToWidth(path, 3, width), "file.txt");  // shown even when still too wide
  EXPECT_EQ(FitPathToWidth("/.cfg/x/y/f", 10, width), "/.../x/y/f");
  EXPECT_EQ(FitPathToWidth("/.cfg/x/y/f", 9, width), "/.../y/f");
}

TEST(MatchesMask, FolderListingRules) {
  EXPECT_TRUE(MatchesMask("noext", "*.*"));
  EXPECT_TRUE(MatchesMask("BD_2013", "bd*"));
  EXPECT_TRUE(MatchesMask("LwE", "LWE"));
  EXPECT_FALSE(MatchesMask("LwEx", "LwE"));
  EXPECT_TRUE(MatchesMask("BD1", "BD?"));
  EXPECT_FALSE(MatchesMask("BD12", "BD?"));
  EXPECT_FALSE(MatchesMask("anything", ""));
  EXPECT_TRUE(MatchesMask("a.b.c", "*.c"));
  EXPECT_FALSE(MatchesMask("a.b.c", "*.b"));
}

TEST(BackupKind, ByExtensionWithUnpackSwitch) {
  EXPECT_EQ(BackupKind("/x/a.txt.gz", true), bkCompressed);
  EXPECT_EQ(BackupKind("/x/a.txt.gz", false), bkPlain);
  EXPECT_EQ(BackupKind("/x/a.txt.GZE", true), bkCompressed);
  EXPECT_EQ(BackupKind("/x/a.txt.GZE", false), bkPlain);
  EXPECT_EQ(BackupKind("/x/a.txt.enc", false), bkEncrypted);
  EXPECT_EQ(BackupKind("/x/a.txt.enc", true), bkEncrypted);
  EXPECT_EQ(BackupKind("/x/report", true), bkPlain);
  EXPECT_EQ(BackupKind("/x.gz/archive.tar", true), bkPlain);
}

TEST(SourceIsNewer, ToleranceAndDaylightSavingAllowance) {
  struct TRow {
    int32_t Source, Target, Tolerance;
    bool IgnoreDst, Newer;
  };
  const TRow rows[] = {
      {1002, 1000, 2, false, false},
      {1003, 1000, 2, false, true},
      {900, 1000, 2, false, false},
      {100000 + 3598, 100000, 2, true, false},
      {100000 + 3600, 100000, 2, true, false},
      {100000 + 3602, 100000, 2, true, false},
      {100000 - 3600, 100000, 2, true, false},
      {100000 + 3597, 100000, 2, true, true},
      {100000 + 3603, 100000, 2, true, true},
      {7200, 0, 7200, true, false},
      {10800, 0, 7200, true, false},
      {10801, 0, 7200, true, true},
  };
  for (const TRow& r : rows)
    EXPECT_EQ(SourceIsNewer(r.Source, r.Target, r.Tolerance, r.IgnoreDst), r.Newer)
        << r.Source << " " << r.Target << " " << r.Tolerance << " " << r.IgnoreDst;
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
