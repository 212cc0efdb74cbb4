// SPDX-License-Identifier: Apache-2.0
// Case folding, name patterns, keep-both names, the version choice across kinds and sets, the
// date bounds, the password per item and the inputs that must never pass as success.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/FtGlobal.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "ScriptedView.h"

namespace qv::test {

TEST(FoldCase, EveryScriptComparesWithoutCase) {
  struct TRow {
    std::string A, B;
    bool Same;
  } rows[] = {
      {"Äpfel", "äpfel", true},        {"ÉTÉ.TXT", "été.txt", true},   {"ΑΒΓ", "αβγ", true},
      {"ЖУК", "жук", true},            {"Łódź", "łÓDŹ", true},         {"a.txt", "b.txt", false},
      {"\xff\xfe", "\xff\xfe", true},  {"\xff" "A", "\xff" "a", true}, {"Ä", "A", false},
  };
  for (const TRow& row : rows) EXPECT_EQ(SameText(row.A, row.B), row.Same) << row.A << " / " << row.B;
  EXPECT_TRUE(StartsWithText("ÄPFEL/x", "äpfel/"));
}

TEST(MatchesMask, ListingRulesWithoutCase) {
  struct TRow {
    std::string Name, Mask;
    bool Match;
  } rows[] = {
      {"BD1", "bd*", true},     {"anything", "*.*", true},  {"noext", "*.", true},
      {"with.ext", "*.", false}, {"Äpfel", "ä*", true},     {"Жук1", "жук?", true},
      {"BD1", "", false},       {"LwE", "LwE", true},       {"LwEx", "LwE", false},
      {"name", "name.*", true}, {"x.y.z", "*.z", true},     {"ab", "a?c", false},
  };
  for (const TRow& row : rows) EXPECT_EQ(MatchesMask(row.Name, row.Mask), row.Match) << row.Name << " ~ " << row.Mask;
}

TEST(KeepBothName, SmallestFreeNumberBesideTheTarget) {
  TTempDir d("qvkeep");
  ASSERT_TRUE(d.Ok());
  ASSERT_TRUE(qv::test::Run("cd '" + d.Path() + "' && touch 'a.txt' 'a (1).txt' noext .bashrc 'b.tar.gz' && "
                            "mkdir 'c.txt' 'c (1).txt' && ln -s nowhere 'l (1)'"));
  struct TRow {
    std::string Name, Expected;
  } rows[] = {
      {"a.txt", "a (2).txt"},        // (1) is taken
      {"noext", "noext (1)"},         // no extension
      {".bashrc", ".bashrc (1)"},     // a dotfile has no extension
      {"b.tar.gz", "b.tar (1).gz"},   // only the last extension
      {"c.txt", "c (2).txt"},         // a folder in the way counts as taken
      {"l", "l (2)"},                 // so does a dangling link
  };
  for (const TRow& row : rows) EXPECT_EQ(KeepBothName(d / row.Name), d / row.Expected) << row.Name;

  // Many twins: each search goes on from the last number taken, and a name taken meanwhile by
  // something else is still passed over.
  unsigned from = 1;
  for (const char* expected : {"a (2).txt", "a (3).txt", "a (5).txt"}) {
    const std::string name = KeepBothName(d / "a.txt", from);
    EXPECT_EQ(name, d / expected);
    ASSERT_TRUE(WriteFile(name, "twin"));
    if (from == 3) {
      ASSERT_TRUE(WriteFile(d / "a (4).txt", "taken meanwhile"));
    }
  }
  EXPECT_EQ(from, 5u);
}

namespace {

class SessionCase : public TRestoreFixture {
 protected:
  SessionCase() : TRestoreFixture("qvsel") {}
  void Put(const std::string& name, const std::string& data, int64_t mtime = 1400000000) {
    const std::string path = Src(name);
    ASSERT_TRUE(qv::test::Run("mkdir -p '" + path.substr(0, path.rfind('/')) + "'"));
    ASSERT_TRUE(WriteFile(path, data));
    SetMTime(path, mtime);
  }
  // Stored as kind "plain", "gz" or "enc" (password "pw"), with the given time.
  void PutAs(const std::string& name, const std::string& kind, const std::string& data, int64_t mtime) {
    if (kind == "plain") return Put(name, data, mtime);
    if (kind == "gz") {
      Put(name, data, mtime);
      ASSERT_TRUE(qv::test::Run("gzip -n -f '" + Src(name) + "'"));
      SetMTime(Src(name) + ".gz", mtime);
      return;
    }
    Put(name + ".enc", "", mtime);
    ASSERT_TRUE(WriteEncFile(Src(name) + ".enc", data, "pw"));
    SetMTime(Src(name) + ".enc", mtime);
  }
};

// 2013-05-10 as a day number from 1899-12-30, and the end of that day.
constexpr int CDay = 41404;
constexpr int64_t CEnd = (CDay + 1 - 25569) * int64_t{86400};

}  // namespace

class SessionRun : public SessionCase {};

TEST_F(SessionRun, NewestCopyWinsWhateverItsKind) {
  struct TRow {
    std::string KindA;
    int64_t TimeA;
    std::string KindB;
    int64_t TimeB;
    std::string Expected;
  } rows[] = {
      {"plain", CEnd - 100, "gz", CEnd - 50, "from BD2"},
      {"gz", CEnd - 50, "plain", CEnd - 100, "from BD1"},
      {"enc", CEnd - 10, "plain", CEnd - 20, "from BD1"},
      {"plain", CEnd - 10, "enc", CEnd - 5, "from BD2"},
      {"gz", CEnd - 10, "enc", CEnd - 10, "from BD1"},  // a tie: the first set
      {"plain", CEnd - 10, "gz", CEnd, "from BD1"},     // BD2's is past the bound
  };
  view.Mode = rmSchedule;
  view.Folder = src;
  view.Date = CDay;
  view.Overwrite = omAlways;
  for (const TRow& row : rows) {
    qv::test::Run("rm -rf '" + src + "'/* '" + dst + "'");
    PutAs("BD1/docs/report.txt", row.KindA, "from BD1", row.TimeA);
    PutAs("BD2/docs/report.txt", row.KindB, "from BD2", row.TimeB);
    view.PasswordAnswers = {{paOk, "pw"}};
    session.Start(view.RunOptions());
    EXPECT_EQ(ReadFile(Dst("docs/report.txt")), row.Expected) << row.KindA << "/" << row.KindB;
    EXPECT_EQ(session.LastRun().Total, 1u);  // one file, one key
    EXPECT_EQ(session.LastRun().Errors, 0u);
  }
}

TEST_F(SessionRun, DateBoundsBeyondThe32BitRange) {
  struct TRow {
    int Day;          // from 1899-12-30
    int64_t FileTime; // Unix seconds
    bool Found;
  } rows[] = {
      {2, 1400000000, false},               // 1900-01-01: a file of 2014 is later
      {2, -315619200, false},               // nor is one of 1960 before it
      {21916, -315619200 + 100, true},      // 1960-01-01: a file of that day
      {75279, 1400000000, true},            // 2106-02-07, past the 32-bit range
      {2958465, 1400000000, true},          // 9999-12-31
      {CDay, CEnd, false},                 // the next day's first second
      {CDay, CEnd - 1, true},
  };
  view.Mode = rmSchedule;
  view.Folder = src;
  view.Overwrite = omAlways;
  for (const TRow& row : rows) {
    Put("BD1/f.txt", "x", row.FileTime);
    view.Date = row.Day;
    view.Errors.clear();
    session.Start(view.RunOptions());
    EXPECT_EQ(session.LastRun().NothingToDo, !row.Found) << row.Day << " " << row.FileTime;
  }
}

TEST_F(SessionRun, PasswordOfferedAgainForEachItem) {
  ASSERT_TRUE(WriteEncFile(Src("a.txt.enc"), "A", "right"));
  ASSERT_TRUE(WriteEncFile(Src("b.txt.enc"), "B", "other"));
  ASSERT_TRUE(WriteEncFile(Src("c.txt.enc"), "C", "right"));
  // The scripted answers stand for a password given once by file: offered per item, and
  // nothing more to give after it failed.
  view.Items = {Src("a.txt.enc"), Src("b.txt.enc"), Src("c.txt.enc")};
  view.PasswordAnswers = {{paOk, "right"}, {paGiveUp, ""}, {paOk, "right"}};
  session.Start(view.RunOptions());
  EXPECT_EQ(ReadFile(Dst("a.txt")), "A");
  EXPECT_FALSE(FileExists(Dst("b.txt")));
  EXPECT_EQ(ReadFile(Dst("c.txt")), "C");
  EXPECT_EQ(view.DetailMessage, "2 files copied - 1 error");
  ASSERT_EQ(view.Details.size(), 2u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + Src("b.txt.enc"));
  EXPECT_EQ(view.Details[1], "   " + GetErrorMessage(uint32_t{sevError} | opDecrypt | errDecrypt));
  ASSERT_EQ(view.Prompts.size(), 3u);
  EXPECT_NE(view.Prompts[1].find("is invalid"), std::string::npos);  // b again, not c
  EXPECT_NE(view.Prompts[2].find("requires a password"), std::string::npos);
  EXPECT_EQ(view.Rejected, 1);
}

TEST_F(SessionRun, FailureIsNeverReportedAsSuccess) {
  ASSERT_TRUE(::mkfifo(Src("fifo").c_str(), 0644) == 0);
  ::symlink("nowhere", Src("dangling").c_str());
  Put("ok.txt", "ok");
  struct TRow {
    TRestoreMode Mode;
    std::vector<std::string> Items;
    std::string Folder;
    std::string Summary;
  } rows[] = {
      {rmFiles, {Src("fifo"), Src("ok.txt")}, "", "1 file copied - 1 error"},
      {rmFiles, {Src("dangling"), Src("ok.txt")}, "", "1 file copied - 1 error"},
      {rmFiles, {Src("gone.txt"), Src("ok.txt")}, "", "1 file copied - 1 error"},
      {rmFiles, {Src("gone.txt")}, "", "0 files copied - 1 error"},  // also when it is the only one
      {rmDirectory, {}, src, "1 file copied - 2 errors"},  // the fifo and the dangling link
      {rmDirectory, {}, src + "/missing", "0 files copied - 1 error"},
  };
  view.Overwrite = omAlways;
  for (const TRow& row : rows) {
    view.Mode = row.Mode;
    view.Items = row.Items;
    view.Folder = row.Folder;
    view.DetailMessage.clear();
    session.Start(view.RunOptions());
    EXPECT_EQ(view.DetailMessage, row.Summary) << row.Folder << (row.Items.empty() ? "" : row.Items[0]);
    EXPECT_GT(session.LastRun().Errors, 0u);
  }
}

TEST_F(SessionRun, ExactEntryWinsOverOneThatDiffersInCase) {
  if (!qv::test::Run("command -v zip >/dev/null")) GTEST_SKIP() << "zip not installed";
  Put("z/doc.txt", "lower");
  Put("z/DOC.TXT", "upper");
  Put("z/Only.txt", "only");
  ASSERT_TRUE(qv::test::Run("cd '" + src + "/z' && zip -q ../x.zip doc.txt DOC.TXT Only.txt"));
  struct TRow {
    std::string Sub, Target, Content;
    bool Ok;
  } rows[] = {
      {"doc.txt", "doc.txt", "lower", true},
      {"DOC.TXT", "DOC.TXT", "upper", true},
      {"only.TXT", "Only.txt", "only", true},  // the one name equal without case
      {"Doc.txt", "", "", false},              // two candidates, none exact
      {"nothere.txt", "", "", false},
  };
  view.Overwrite = omAlways;
  for (const TRow& row : rows) {
    qv::test::Run("rm -rf '" + dst + "'");
    view.Items = {Src("x.zip/" + row.Sub), Src("x.zip/Only.txt")};
    view.DetailMessage.clear();
    view.Infos.clear();
    session.Start(view.RunOptions());
    EXPECT_EQ(session.LastRun().Errors == 0, row.Ok) << row.Sub;
    if (row.Ok) {
      EXPECT_EQ(ReadFile(Dst(row.Target)), row.Content) << row.Sub;
    }
  }
}

TEST_F(SessionRun, KeepBothWritesBesideAndReportsEachItem) {
  Put("a.txt", "new");
  ::mkdir(dst.c_str(), 0755);
  ASSERT_TRUE(WriteFile(Dst("a.txt"), "old"));
  view.Items = {Src("a.txt"), Src("a.txt"), Src("gone.txt")};
  view.Overwrite = omKeepBoth;
  session.Start(view.RunOptions());
  EXPECT_EQ(ReadFile(Dst("a.txt")), "old");
  EXPECT_EQ(ReadFile(Dst("a (1).txt")), "new");
  EXPECT_EQ(ReadFile(Dst("a (2).txt")), "new");
  EXPECT_EQ(view.DetailMessage, "2 files copied - 1 error");
  ASSERT_EQ(view.Reports.size(), 3u);
  EXPECT_EQ(view.Reports[0].Action, iaRestored);
  EXPECT_EQ(view.Reports[0].Target, Dst("a (1).txt"));
  EXPECT_EQ(view.Reports[0].Bytes, 3);
  EXPECT_EQ(view.Reports[1].Target, Dst("a (2).txt"));
  EXPECT_EQ(view.Reports[2].Action, iaFailed);
  EXPECT_EQ(view.Reports[2].Source, Src("gone.txt"));
  EXPECT_EQ(view.Reports[2].Message, "Error: File not found");
}

TEST_F(SessionRun, ScheduleReportsEachItemWithItsSetAndWhySkipped) {
  Put("BD1/a.txt", "a1", CEnd - 100);
  Put("BD2/a.txt", "a2", CEnd - 50);
  Put("BD1/b.txt", "b1", CEnd - 100);
  ::mkdir(dst.c_str(), 0755);
  ASSERT_TRUE(WriteFile(Dst("b.txt"), "kept"));
  SetMTime(Dst("b.txt"), CEnd);
  view.Mode = rmSchedule;
  view.Folder = src;
  view.Date = CDay;
  struct TRow {
    TOverwriteMode Mode;
    std::string SkipReason;
  } rows[] = {{omNever, "exists"}, {omOlder, "not older"}};
  for (const TRow& row : rows) {
    view.Overwrite = row.Mode;
    view.Reports.clear();
    session.Start(view.RunOptions());
    ASSERT_EQ(view.Reports.size(), 2u);
    EXPECT_EQ(view.Reports[0].Action, iaRestored);
    EXPECT_EQ(view.Reports[0].Set, "BD2");  // the newer copy
    EXPECT_EQ(view.Reports[0].Target, Dst("a.txt"));
    EXPECT_EQ(view.Reports[1].Action, iaSkipped);
    EXPECT_EQ(view.Reports[1].Set, "BD1");
    EXPECT_EQ(view.Reports[1].Reason, row.SkipReason);
    EXPECT_EQ(session.LastRun().Skipped, 1u);
    ::unlink(Dst("a.txt").c_str());
  }
}

}  // namespace qv::test

namespace qv::test {

TEST_F(SessionRun, StopDuringAPauseBetweenItemsStartsNothingMore) {
  if (!qv::test::Run("command -v zip >/dev/null")) GTEST_SKIP() << "zip not installed";
  Put("w/a.txt", "a");
  Put("w/b.txt", "b");
  ASSERT_TRUE(qv::test::Run("cd '" + src + "/w' && zip -q ../x.zip a.txt b.txt"));
  const std::string folders[] = {Src("w"), Src("x.zip")};  // the folder walk and the archive walk
  for (const std::string& folder : folders) {
    qv::test::Run("rm -rf '" + dst + "'");
    view.Mode = rmDirectory;
    view.Folder = folder;
    bool firstShown = false;
    int step = 0;
    view.OnFileLabel = [&](const std::string& label) {
      if (label.find("a.txt") == std::string::npos) return;
      firstShown = true;
      ::usleep(10000);  // long enough for the session to look at its messages after the item
    };
    view.OnProcessMessages = [&] {
      if (!firstShown) return;
      if (step == 0) {
        session.PauseContinue();  // Pause between the two items ...
        step = 1;
      } else if (step == 1 && session.Paused()) {
        session.Stop();  // ... and Stop while paused
        step = 2;
      }
    };
    session.Start(view.RunOptions());
    EXPECT_EQ(step, 2) << folder;
    EXPECT_EQ(ReadFile(Dst("a.txt")), "a") << folder;
    EXPECT_FALSE(FileExists(Dst("b.txt"))) << folder;
    EXPECT_TRUE(session.LastRun().Stopped) << folder;
  }
  view.OnFileLabel = nullptr;
  view.OnProcessMessages = nullptr;
}

TEST_F(SessionRun, ScheduleFolderThatCannotBeReadIsAnError) {
  view.Mode = rmSchedule;
  view.Folder = src + "/missing";
  view.Date = CDay;
  session.Start(view.RunOptions());
  EXPECT_FALSE(session.LastRun().NothingToDo);
  EXPECT_EQ(session.LastRun().Errors, 1u);
  ASSERT_EQ(view.Details.size(), 2u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + src + "/missing");
  EXPECT_EQ(view.Details[1], "   Error: Could not read folder");
}

}  // namespace qv::test

namespace qv::test {

namespace {

// Makes (or, with content empty, reads) a chain of folders through handles, past PATH_MAX.
std::string DeepChain(const std::string& root, int levels, const std::string& content) {
  int dir = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::string found;
  for (int i = 0; i < levels && dir >= 0; ++i) {
    const std::string name = "level_" + std::to_string(1000 + i) + "_abcdefghij";
    if (!content.empty()) ::mkdirat(dir, name.c_str(), 0755);
    const int next = ::openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(dir);
    dir = next;
    if (dir < 0 || i % 100 != 99) continue;
    if (!content.empty()) {
      const int f = ::openat(dir, "f.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      EXPECT_EQ(::write(f, content.data(), content.size()), static_cast<ssize_t>(content.size()));
      ::close(f);
    } else {
      char buffer[64] = {};
      const int f = ::openat(dir, "f.txt", O_RDONLY);
      if (f >= 0 && ::read(f, buffer, sizeof buffer - 1) > 0) found += buffer;
      if (f >= 0) ::close(f);
    }
  }
  if (dir >= 0) ::close(dir);
  return found;
}

}  // namespace

TEST_F(SessionRun, DirectoryWalkDeeperThanThePathLimit) {
  // 300 levels of 22-character names: about 7,000 bytes, beyond PATH_MAX.
  DeepChain(src, 300, "x");
  ::mkdir(dst.c_str(), 0755);
  view.Mode = rmDirectory;
  view.Folder = src;
  session.Start(view.RunOptions());
  EXPECT_EQ(view.Summary(), "3 files copied");
  EXPECT_EQ(DeepChain(dst, 300, ""), "xxx");
  qv::test::Run("rm -rf '" + src + "' '" + dst + "'");  // the fixture's removal goes by path
}

}  // namespace qv::test
