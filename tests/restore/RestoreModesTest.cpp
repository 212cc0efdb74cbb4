// SPDX-License-Identifier: Apache-2.0
// The session driven through its three modes by a scripted front-end, on real files.
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/FtGlobal.h"
#include "restore/RestoreSession.h"
#include "ScriptedView.h"
#include "transfer/ZipTestUtil.h"

namespace qv::test {

namespace {

bool Sh(const std::string& command) { return qv::test::Run(command); }

class RestoreRun : public TRestoreFixture {
 protected:
  RestoreRun() : TRestoreFixture("qvrestore") {}
  void Put(const std::string& name, const std::string& data, int64_t mtime = 1400000000) {
    const std::string path = Src(name);
    const size_t slash = path.rfind('/');
    Sh("mkdir -p '" + path.substr(0, slash) + "'");
    ASSERT_TRUE(WriteFile(path, data));
    SetMTime(path, mtime);
  }
  void PutGz(const std::string& name, const std::string& data) {
    Put(name, data);
    ASSERT_TRUE(Sh("gzip -n -f '" + Src(name) + "'"));
  }
  void PutEnc(const std::string& name, const std::string& data, const std::string& pwd) {
    Put(name, "");
    ASSERT_TRUE(WriteEncFile(Src(name) + ".enc", data, pwd));
    ::unlink(Src(name).c_str());
  }
  void Files(std::initializer_list<std::string> names) {
    view.Mode = rmFiles;
    view.Items.clear();
    for (const auto& n : names) view.Items.push_back(n[0] == '/' ? n : Src(n));
  }
  void Start() { session.Start(view.RunOptions()); }
};

}  // namespace

TEST_F(RestoreRun, OverwriteRulesWithToleranceAndProtection) {
  // The backup is from 1400000100; the existing target "old" is TargetAge seconds older. Error:
  // what the one error shown says, empty when none is shown.
  const struct {
    TOverwriteMode Mode; int TargetAge; bool IgnoreDst, ReadOnly, MayClear;
    std::string Content, Summary; uint32_t Skipped; std::string Error;
  } rows[] = {
      {omNever, 2, false, false, true, "old", "0 files copied", 1, ""},
      {omOlder, 2, false, false, true, "old", "0 files copied", 1, ""},  // within the tolerance
      {omOlder, 3, false, false, true, "new", "1 file copied", 0, ""},
      {omOlder, 3600, true, false, true, "old", "0 files copied", 1, ""},  // one hour newer counts as equal
      // A write-protected target is refused unless the protection may be cleared.
      {omAlways, 3600, true, true, false, "old", "0 files copied", 0, "Could not create file"},
      {omAlways, 3600, true, true, true, "new", "1 file copied", 0, ""},
  };
  Put("a.txt", "new", 1400000100);
  ::mkdir(dst.c_str(), 0755);
  Files({"a.txt"});
  for (const auto& row : rows) {
    SCOPED_TRACE("overwrite " + std::to_string(static_cast<int>(row.Mode)) + ", target " +
                 std::to_string(row.TargetAge) + " s older");
    ::unlink(Dst("a.txt").c_str());
    ASSERT_TRUE(WriteFile(Dst("a.txt"), "old"));
    SetMTime(Dst("a.txt"), 1400000100 - row.TargetAge);
    if (row.ReadOnly) ::chmod(Dst("a.txt").c_str(), 0444);
    view.Overwrite = row.Mode;
    view.Protected = row.MayClear;
    view.IgnoreDst = row.IgnoreDst;
    view.Errors.clear();
    Start();
    EXPECT_EQ(ReadFile(Dst("a.txt")), row.Content);
    if (row.Content == "new") {
      EXPECT_EQ(MTime(Dst("a.txt")), 1400000100);
    }
    EXPECT_EQ(view.Summary(), row.Summary);
    EXPECT_EQ(session.LastRun().Skipped, row.Skipped);
    if (row.Error.empty()) {
      EXPECT_TRUE(view.Errors.empty());
    } else {
      ASSERT_EQ(view.Errors.size(), 1u);  // a single selection shows its error at once
      EXPECT_NE(view.Errors[0].find(row.Error), std::string::npos);
    }
  }
}

TEST_F(RestoreRun, FilesModeKindsAndFailures) {
  PutGz("a.txt", "alpha");
  Put("b.bin", "beta");
  Put("bad.gz", "not a gzip file");
  Files({"a.txt.gz", "missing.txt", "b.bin", "bad.gz"});
  Start();
  EXPECT_EQ(ReadFile(Dst("a.txt")), "alpha");
  EXPECT_EQ(ReadFile(Dst("b.bin")), "beta");
  EXPECT_FALSE(FileExists(Dst("bad")));
  // A missing file and an unreadable header are errors, never passed over in silence.
  EXPECT_EQ(view.DetailMessage, "2 files copied - 2 errors");
  ASSERT_EQ(view.Details.size(), 4u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + Src("missing.txt"));
  EXPECT_EQ(view.Details[1], "   Error: File not found");
  EXPECT_EQ(view.Details[2], "Error restoring file: " + Src("bad.gz"));
  view.DetailMessage.clear();

  // Three selected of which the second fails: the detail summary with two lines.
  view.Unpack = false;
  view.Overwrite = omAlways;
  ::mkdir(Dst("b.bin").c_str(), 0755);  // a folder where the file goes: the worker fails
  ::unlink(Dst("b.bin").c_str());
  Sh("rm -f '" + Dst("b.bin") + "' && mkdir -p '" + Dst("b.bin") + "/x'");
  Files({"a.txt.gz", "b.bin", "a.txt.gz"});
  Start();
  EXPECT_EQ(ReadFile(Dst("a.txt.gz")), ReadFile(Src("a.txt.gz")));  // copied unchanged
  EXPECT_EQ(view.DetailMessage, "2 files copied - 1 error");
  ASSERT_EQ(view.Details.size(), 2u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + Src("b.bin"));
  EXPECT_EQ(view.Details[1].substr(0, 3), "   ");
}

TEST_F(RestoreRun, PasswordAskedOncePerRunAndAgainAfterAFailure) {
  PutEnc("one.txt", "first", "right");
  PutEnc("two.txt", "second", "right");
  PutEnc("three.txt", "third", "right");
  Files({"one.txt.enc", "two.txt.enc", "three.txt.enc"});
  view.PasswordAnswers = {{paOk, "wrong"}, {paOk, "right"}};
  Start();
  EXPECT_EQ(ReadFile(Dst("one.txt")), "first");
  EXPECT_EQ(ReadFile(Dst("two.txt")), "second");
  EXPECT_EQ(ReadFile(Dst("three.txt")), "third");
  ASSERT_EQ(view.Prompts.size(), 2u);
  EXPECT_NE(view.Prompts[0].find("requires a password"), std::string::npos);
  EXPECT_NE(view.Prompts[1].find("is invalid"), std::string::npos);
  EXPECT_NE(view.Prompts[1].find("one.txt.enc"), std::string::npos);
  EXPECT_EQ(view.Summary(), "3 files copied");
  EXPECT_FALSE(session.PasswordKnown());  // forgotten at the end of the run

  // The next run asks again; Skip passes one file over, Cancel ends the run.
  view.Prompts.clear();
  view.Overwrite = omAlways;
  Sh("rm -rf '" + dst + "'");
  view.PasswordAnswers = {{paSkip, ""}, {paCancel, ""}};
  Start();
  EXPECT_EQ(view.Prompts.size(), 2u);
  EXPECT_FALSE(FileExists(Dst("one.txt")));
  EXPECT_FALSE(FileExists(Dst("three.txt")));
  EXPECT_EQ(view.Summary(), "0 files copied");
  EXPECT_EQ(session.LastRun().Skipped, 1u);
  EXPECT_TRUE(session.LastRun().Cancelled);

  // OK with an empty password restores the still encrypted file under its ".enc" name.
  view.PasswordAnswers = {{paOk, ""}};
  Files({"one.txt.enc"});
  Start();
  EXPECT_EQ(ReadFile(Dst("one.txt.enc")), ReadFile(Src("one.txt.enc")));
}

TEST_F(RestoreRun, DirectoryModeWalkLinksHeadersAndCancelPerLevel) {
  Put("x.txt", "x");
  Put("b/y.txt", "y");
  Put("b/c/z.txt", "z");
  Sh("mkdir -p '" + src + "/empty' '" + dir.Path() + "/outside'");
  ASSERT_TRUE(WriteFile(dir / "outside/secret", "s"));
  ::symlink((dir / "outside").c_str(), Src("linkdir").c_str());
  ::symlink((dir / "outside/secret").c_str(), Src("linkfile").c_str());
  Put("bad.gz", "no header");
  Put("d/old.zip", "a zip met while walking is copied as a file");
  view.Mode = rmDirectory;
  view.Folder = src;
  Start();
  EXPECT_EQ(ReadFile(Dst("x.txt")), "x");
  EXPECT_EQ(ReadFile(Dst("b/y.txt")), "y");
  EXPECT_EQ(ReadFile(Dst("b/c/z.txt")), "z");
  EXPECT_EQ(ReadFile(Dst("d/old.zip")), "a zip met while walking is copied as a file");
  EXPECT_TRUE(FileExists(Dst("empty")));
  EXPECT_FALSE(FileExists(Dst("linkdir")));
  EXPECT_EQ(ReadFile(Dst("linkfile")), "s");  // a link to a file: restored by its content
  EXPECT_EQ(view.DetailMessage, "5 files copied - 1 error");
  ASSERT_EQ(view.Details.size(), 1u);
  EXPECT_EQ(view.Details[0], "Error reading gz-header: " + Src("bad.gz"));

  // A non-empty destination asks; No ends the run before anything changes.
  view.ConfirmAnswers = {false};
  view.DetailMessage.clear();
  Start();
  EXPECT_FALSE(session.LastRun().Started);
  ASSERT_FALSE(view.Questions.empty());
  EXPECT_EQ(view.Questions.back(), "Destination directory not empty - start restore anyway?");

  // Cancel in a subfolder ends only that level; at the top it would end the walk.
  TTempDir enc("qvenc");
  ::mkdir((enc / "s").c_str(), 0755);
  ::mkdir((enc / "s/sub").c_str(), 0755);
  ::mkdir((enc / "s/sub/deeper").c_str(), 0755);
  ::mkdir((enc / "s/sub2").c_str(), 0755);
  ASSERT_TRUE(WriteEncFile(enc / "s/sub/e.txt.enc", "e", "pw"));
  ASSERT_TRUE(WriteFile(enc / "s/sub/deeper/after.txt", "skipped with its level"));
  ASSERT_TRUE(WriteEncFile(enc / "s/sub2/f.txt.enc", "f", "pw"));
  view.Folder = enc / "s";
  view.Target = enc / "out";
  view.PasswordAnswers = {{paCancel, ""}, {paOk, "pw"}};
  view.Prompts.clear();
  Start();
  EXPECT_EQ(view.Prompts.size(), 2u);
  EXPECT_FALSE(FileExists(enc / "out/sub/e.txt"));
  EXPECT_FALSE(FileExists(enc / "out/sub/deeper/after.txt"));
  EXPECT_EQ(ReadFile(enc / "out/sub2/f.txt"), "f");
  EXPECT_EQ(view.Summary(), "1 file copied");
}

// In a folder the walk made, a name it wrote before counts as existing: two backups that
// restore to one name are decided by the overwrite rule, as in a folder that was there. So
// are two entries of one name in an archive.
TEST_F(RestoreRun, DirectoryModeFolderItMadeKeepsTheOverwriteRule) {
  Put("sub/twice.txt", "plain");
  PutGz("sub/twice.txt.gz.x", "packed twin");
  ASSERT_TRUE(Sh("mv '" + Src("sub/twice.txt.gz.x.gz") + "' '" + Src("sub/twice.txt.gz") + "'"));
  ASSERT_TRUE(RunPython(dir.Path(), "import zipfile, warnings\nwarnings.simplefilter('ignore')\n"
                                    "with zipfile.ZipFile('twice.zip', 'w') as z:\n"
                                    "    z.writestr('sub/twice.txt', b'plain')\n"
                                    "    z.writestr('sub/twice.txt', b'packed twin')\n"));
  const struct {
    TOverwriteMode Mode;
    const char* Content;
    const char* Summary;
    uint32_t Skipped;
  } rows[] = {
      {omNever, "plain", "1 file copied", 1},
      {omAlways, "packed twin", "2 files copied", 0},
  };
  view.Mode = rmDirectory;
  int run = 0;
  for (const std::string& folder : {src, dir / "twice.zip"}) {
    for (const auto& row : rows) {
      SCOPED_TRACE(folder + " " + row.Content);
      view.Folder = folder;
      view.Target = dir / ("out" + std::to_string(run++));
      view.Overwrite = row.Mode;
      Start();
      EXPECT_EQ(ReadFile(view.Target + "/sub/twice.txt"), row.Content);
      EXPECT_EQ(view.Summary(), row.Summary);
      EXPECT_EQ(session.LastRun().Skipped, row.Skipped);
    }
  }
  // A folder that was there before is not the walk's own: what it holds is looked at.
  view.Target = dir / "kept";
  ASSERT_TRUE(Sh("mkdir -p '" + view.Target + "/sub'"));
  ASSERT_TRUE(WriteFile(view.Target + "/sub/twice.txt", "kept"));
  view.Overwrite = omNever;
  Start();
  EXPECT_EQ(ReadFile(view.Target + "/sub/twice.txt"), "kept");
  EXPECT_EQ(session.LastRun().Skipped, 2u);
}

TEST_F(RestoreRun, DirectoryModeSelectedFolderIsALink) {
  // The folder the user chose is walked even when it is a link; links below it are not.
  Put("x.txt", "x");
  ::symlink(src.c_str(), (dir / "link").c_str());
  view.Mode = rmDirectory;
  view.Folder = dir / "link";
  Start();
  EXPECT_EQ(view.Summary(), "1 file copied");
  EXPECT_EQ(ReadFile(Dst("x.txt")), "x");
}

TEST_F(RestoreRun, StopDuringATransferInFilesAndDirectoryModes) {
  Put("a.txt", "a");
  Put("big.bin", RandomBytes(8 << 20));
  Put("z.txt", "z");
  view.Overwrite = omAlways;
  view.OnProcessMessages = [this] {
    if (session.Restoring() && session.Worker()) session.Stop();
  };
  // Files mode: the first transfer is stopped; it adds no error line.
  Files({"big.bin", "z.txt"});
  Start();
  EXPECT_FALSE(FileExists(Dst("big.bin")));
  EXPECT_FALSE(FileExists(Dst("z.txt")));
  EXPECT_EQ(view.Summary(), "0 files copied");
  EXPECT_TRUE(session.LastRun().Stopped);
  EXPECT_TRUE(view.Errors.empty());
  EXPECT_TRUE(view.Details.empty());
  EXPECT_TRUE(session.LastRun().Cancelled);

  // Directory mode: the stopped file is an error with its two lines; nothing after it starts.
  view.OnProcessMessages = [this] {
    if (session.Restoring() && session.Worker() &&
        session.Worker()->GetSourceName().find("big.bin") != std::string::npos)
      session.Stop();
  };
  view.Mode = rmDirectory;
  view.Folder = src;
  Start();
  EXPECT_EQ(ReadFile(Dst("a.txt")), "a");
  EXPECT_FALSE(FileExists(Dst("big.bin")));
  EXPECT_FALSE(FileExists(Dst("z.txt")));
  EXPECT_EQ(view.DetailMessage, "1 file copied - 1 error");
  ASSERT_EQ(view.Details.size(), 2u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + Src("big.bin"));
  EXPECT_EQ(view.Details[1], "   " + GetErrorMessage(static_cast<uint32_t>(opCopy) | errUserBreak));
}

// The run's bytes count what is restored: a .gz its unpacked size, an encrypted file its
// content; done never runs past the total and never goes back, and ends at it.
TEST_F(RestoreRun, ProgressCountsRestoredBytesAndNeverGoesBack) {
  const std::string packed = RandomBytes(200000, 7) + std::string(3000000, 'z');
  PutGz("big.txt", packed);
  Put("plain.bin", RandomBytes(150000, 8));
  PutEnc("secret.txt", RandomBytes(100000, 9), "pw");
  ASSERT_TRUE(Sh("cd '" + src + "' && zip -q -0 '" + dir / "a.zip" + "' plain.bin"));
  const struct {
    const char* Name;
    TRestoreMode Mode;
    std::string Folder;
    int64_t Restored;
  } rows[] = {
      {"files", rmFiles, "", int64_t(packed.size()) + 150000 + 100000},
      {"folder", rmDirectory, src, int64_t(packed.size()) + 150000 + 100000},
      {"archive", rmDirectory, dir / "a.zip", 150000},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    ASSERT_TRUE(Sh("rm -rf '" + dst + "'"));
    TScriptedView v;
    TRestoreSession s(v);
    v.Target = dst;
    v.Mode = row.Mode;
    v.Folder = row.Folder;
    if (row.Mode == rmFiles) v.Items = {Src("big.txt.gz"), Src("plain.bin"), Src("secret.txt.enc")};
    v.PasswordAnswers.push_back({paOk, "pw"});
    s.Start(v.RunOptions());
    ASSERT_EQ(s.LastRun().Errors, 0u);
    ASSERT_FALSE(v.Progress.empty());
    int64_t before = 0;
    for (const TRunProgress& p : v.Progress) {
      EXPECT_GE(p.BytesDone, before);
      EXPECT_LE(p.BytesDone, p.BytesTotal);
      before = p.BytesDone;
    }
    EXPECT_EQ(v.Progress.back().BytesDone, v.Progress.back().BytesTotal);
    EXPECT_NEAR(double(v.Progress.back().BytesTotal), double(row.Restored), 64.0);
  }
}

TEST_F(RestoreRun, PauseHoldsTheWorkerUntilContinue) {
  Put("big.bin", RandomBytes(4 << 20));
  Files({"big.bin"});
  int pausedCalls = 0;
  view.OnProcessMessages = [&] {
    if (!session.Worker()) return;
    if (!session.Paused() && pausedCalls == 0) {
      session.PauseContinue();
    } else if (session.Paused() && ++pausedCalls == 20) {
      // Held for 20 rounds of messages: the worker must not have finished meanwhile.
      EXPECT_FALSE(session.Worker()->Done());
      session.PauseContinue();
    }
  };
  Start();
  EXPECT_EQ(pausedCalls, 20);
  EXPECT_EQ(ReadFile(Dst("big.bin")), ReadFile(Src("big.bin")));
  EXPECT_EQ(view.Summary(), "1 file copied");
}

TEST_F(RestoreRun, ZipPathsInFilesAndDirectoryModes) {
  if (!Sh("command -v zip >/dev/null")) GTEST_SKIP() << "zip not installed";
  Put("z/docs/a.txt", "in the archive");
  Put("z/docs/abc.txt", "in the folder");
  Put("z/docs2/p.txt", "prefix only");
  Put("z/docsX.txt", "prefix only");
  Put("z/other/o.txt", "other");
  ASSERT_TRUE(Sh("cd '" + src + "/z' && zip -qr ../old.zip docs docs2 docsX.txt other"));
  Files({"old.zip/docs/a.txt", "old.zip"});
  Start();
  EXPECT_EQ(ReadFile(Dst("docs/a.txt")), "in the archive");
  EXPECT_FALSE(FileExists(Dst("docs/abc.txt")));
  // The archive itself selected as a file is an error, not a silent nothing.
  EXPECT_EQ(view.DetailMessage, "1 file copied - 1 error");
  view.DetailMessage.clear();

  // A folder inside the archive selects its own entries, not every name it begins.
  Sh("rm -rf '" + dst + "'");
  view.Mode = rmDirectory;
  view.Folder = Src("old.zip/docs");
  Start();
  EXPECT_EQ(ReadFile(Dst("docs/a.txt")), "in the archive");
  EXPECT_EQ(ReadFile(Dst("docs/abc.txt")), "in the folder");
  EXPECT_FALSE(FileExists(Dst("docs2")));
  EXPECT_FALSE(FileExists(Dst("docsX.txt")));
  EXPECT_FALSE(FileExists(Dst("other/o.txt")));
  EXPECT_EQ(view.Summary(), "2 files copied");

  // An archive that cannot be read ends its walk with an error line; the run ends normally.
  Put("broken.zip", "PK but not really");
  view.Folder = Src("broken.zip");
  Start();
  EXPECT_EQ(view.DetailMessage, "0 files copied - 1 error");
  ASSERT_EQ(view.Details.size(), 3u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + Src("broken.zip"));
  EXPECT_EQ(view.Details[2], "   an archive of 17 bytes");
  EXPECT_FALSE(session.Restoring());
}

class ScheduleRun : public RestoreRun {
 protected:
  // 2013-05-10 as a day number from 1899-12-30.
  static constexpr int CDay = 41404;
  static constexpr int64_t CEndOfDay = (CDay + 1 - 25569) * int64_t{86400};
  void SetUp() override {
    RestoreRun::SetUp();
    view.Mode = rmSchedule;
    view.Folder = src;
    view.Date = CDay;
    view.Overwrite = omAlways;
  }
};

TEST_F(ScheduleRun, LatestVersionBelowTheBound) {
  Put("BD1/docs/a.txt", "bd1", CEndOfDay - 7200);
  Put("BD2/docs/a.txt", "bd2", CEndOfDay - 1);
  Put("BD3/docs/a.txt", "too new", CEndOfDay);
  Put("BD1/DOCS/B.TXT", "upper", CEndOfDay - 100);
  Put("BD2/docs/b.txt", "lower", CEndOfDay - 50);
  Put("BD1/same.txt", "first set", CEndOfDay - 10);
  Put("BD2/same.txt", "second set", CEndOfDay - 10);
  Put(".hidden/docs/a.txt", "hidden set", CEndOfDay - 2);
  Put("BD2/.h/inner.txt", "hidden inside a set", CEndOfDay - 2);
  Put("loose.txt", "directly in the folder", CEndOfDay - 2);
  Start();
  EXPECT_EQ(ReadFile(Dst("docs/a.txt")), "bd2");
  EXPECT_EQ(ReadFile(Dst("docs/b.txt")), "lower");  // the newer version's spelling
  EXPECT_EQ(ReadFile(Dst("same.txt")), "first set");
  EXPECT_EQ(ReadFile(Dst(".h/inner.txt")), "hidden inside a set");
  EXPECT_FALSE(FileExists(Dst("loose.txt")));
  ASSERT_FALSE(view.Questions.empty());
  EXPECT_EQ(view.Questions.back(), "4 files found - start restore?");
  EXPECT_EQ(view.Summary(), "4 of 4 files copied (36 B of 36 B)");

  // The set mask and an empty mask.
  Sh("rm -rf '" + dst + "'");
  view.Sets = "BD1";
  Start();
  EXPECT_EQ(ReadFile(Dst("docs/a.txt")), "bd1");
  view.Sets = "";
  view.Errors.clear();
  Start();
  ASSERT_EQ(view.Errors.size(), 1u);
  EXPECT_EQ(view.Errors[0], "No files found!");
}

TEST_F(ScheduleRun, DriveMaskJoinsDriveFolders) {
  Put("BD1/LwC/docs/x", "c-old", CEndOfDay - 500);
  Put("BD2/LwD/docs/x", "d-new", CEndOfDay - 5);
  Put("BD2/Other/docs/x", "not a drive", CEndOfDay - 1);
  Put("BD2/direct.txt", "directly in a set", CEndOfDay - 1);
  view.Drive = "Lw*";
  Start();
  EXPECT_EQ(ReadFile(Dst("docs/x")), "d-new");
  EXPECT_FALSE(FileExists(Dst("direct.txt")));
  Sh("rm -rf '" + dst + "'");
  view.Drive.clear();
  Start();
  EXPECT_EQ(ReadFile(Dst("LwC/docs/x")), "c-old");
  EXPECT_EQ(ReadFile(Dst("LwD/docs/x")), "d-new");
  EXPECT_EQ(ReadFile(Dst("direct.txt")), "directly in a set");
}

TEST_F(ScheduleRun, KindsSizesBadHeaderAndPassword) {
  Put("BD1/plain.txt", "12345", CEndOfDay - 10);
  PutEnc("BD1/secret.txt", "secret!", "pw");
  SetMTime(Src("BD1/secret.txt.enc"), CEndOfDay - 10);
  Put("BD1/bad.gz", "no gzip", CEndOfDay - 10);
  view.PasswordAnswers = {{paOk, "pw"}};
  Start();
  EXPECT_EQ(ReadFile(Dst("plain.txt")), "12345");
  EXPECT_EQ(ReadFile(Dst("secret.txt")), "secret!");
  EXPECT_EQ(view.DetailMessage.substr(0, 20), "2 of 3 files copied ");
  EXPECT_NE(view.DetailMessage.find(" - 1 error"), std::string::npos);
  ASSERT_EQ(view.Details.size(), 2u);
  EXPECT_EQ(view.Details[0], "Error restoring file: " + Src("BD1/bad.gz"));
  EXPECT_EQ(view.Details[1], "   " + GetErrorMessage(0x2004));
}

TEST_F(ScheduleRun, StopEndsTheLoopWithoutAnErrorForTheStoppedFile) {
  Put("BD1/1.txt", "1", CEndOfDay - 9);
  Put("BD1/2.txt", "2", CEndOfDay - 9);
  Put("BD1/3.bin", RandomBytes(32 << 20), CEndOfDay - 9);
  Put("BD1/4.txt", "4", CEndOfDay - 9);
  Put("BD1/5.txt", "5", CEndOfDay - 9);
  // Paused as 3.bin comes up, its worker waits at its first gate; Stop reaches it there.
  view.OnFileLabel = [this](const std::string& label) {
    if (label.find("3.bin") != std::string::npos && !session.Paused()) session.PauseContinue();
  };
  view.OnProcessMessages = [this] {
    if (session.Restoring() && session.Worker() &&
        session.Worker()->GetSourceName().find("3.bin") != std::string::npos)
      session.Stop();
  };
  Start();
  EXPECT_EQ(ReadFile(Dst("2.txt")), "2");
  EXPECT_FALSE(FileExists(Dst("3.bin")));
  EXPECT_FALSE(FileExists(Dst("4.txt")));
  EXPECT_TRUE(view.Details.empty());
  EXPECT_EQ(view.Summary().substr(0, 19), "2 of 5 files copied");
}

}  // namespace qv::test
