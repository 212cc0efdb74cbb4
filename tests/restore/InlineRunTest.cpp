// SPDX-License-Identifier: Apache-2.0
// Small jobs run on the session's thread, large ones (and those met while paused) on a worker
// thread; Stop and Pause still reach a run made of small jobs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "restore/RestoreSession.h"
#include "transfer/CopyThread.h"
#include "ScriptedView.h"

namespace qv::test {

namespace {

class InlineRun : public TRestoreFixture {
 protected:
  InlineRun() : TRestoreFixture("qvinline") {}
  void SetUp() override {
    TRestoreFixture::SetUp();
    view.Mode = rmDirectory;
    view.Folder = src;
  }
  void PutSmallFiles(int count) {
    for (int i = 0; i < count; ++i)
      ASSERT_TRUE(WriteFile(Src("f" + std::to_string(1000 + i) + ".txt"), "small " + std::to_string(i)));
  }
  int RestoredCount(int count) const {
    int n = 0;
    for (int i = 0; i < count; ++i) n += FileExists(Dst("f" + std::to_string(1000 + i) + ".txt")) ? 1 : 0;
    return n;
  }
  // Records whether the session ever waited for a worker thread, and for which file.
  void WatchThreadedWaits() {
    view.OnProcessMessages = [this] {
      if (session.Worker()) threadedSources.push_back(session.Worker()->GetSourceName());
    };
  }

  std::vector<std::string> threadedSources;
};

TEST_F(InlineRun, SmallFilesRunInlineLargeOnesOnAThread) {
  PutSmallFiles(3);
  const std::string limitSized(static_cast<size_t>(TRestoreSession::CInlineJobLimit), 'l');
  ASSERT_TRUE(WriteFile(Src("limit.bin"), limitSized));
  const std::string large = RandomBytes(static_cast<size_t>(4 * TRestoreSession::CInlineJobLimit));
  ASSERT_TRUE(WriteFile(Src("large.bin"), large));
  WatchThreadedWaits();
  session.Start(view.RunOptions());
  EXPECT_EQ(view.Summary(), "5 files copied");
  EXPECT_EQ(RestoredCount(3), 3);
  EXPECT_EQ(ReadFile(Dst("limit.bin")), limitSized);
  EXPECT_EQ(ReadFile(Dst("large.bin")), large);
  // Only the large file was waited for; the others never had a thread to wait for.
  ASSERT_FALSE(threadedSources.empty());
  for (const std::string& s : threadedSources) EXPECT_EQ(s, Src("large.bin"));
}

TEST_F(InlineRun, SmallGzThatUnpacksLargeRunsOnAThread) {
  // A few hundred bytes of gzip that unpack to 1 MiB: the job is the unpacked size.
  ASSERT_TRUE(WriteFile(Src("zeros.bin"), std::string(1 << 20, '\0')));
  ASSERT_TRUE(qv::test::Run("gzip -n -f '" + Src("zeros.bin") + "'"));
  struct stat st {};
  ASSERT_EQ(::stat(Src("zeros.bin.gz").c_str(), &st), 0);
  ASSERT_LT(st.st_size, TRestoreSession::CInlineJobLimit);
  ASSERT_TRUE(WriteFile(Src("small.txt"), "tiny"));
  ASSERT_TRUE(qv::test::Run("gzip -n -f '" + Src("small.txt") + "'"));
  WatchThreadedWaits();
  session.Start(view.RunOptions());
  EXPECT_EQ(view.Summary(), "2 files copied");
  EXPECT_EQ(ReadFile(Dst("zeros.bin")), std::string(1 << 20, '\0'));
  EXPECT_EQ(ReadFile(Dst("small.txt")), "tiny");
  ASSERT_FALSE(threadedSources.empty());
  for (const std::string& s : threadedSources) EXPECT_EQ(s, Src("zeros.bin.gz"));
}

TEST_F(InlineRun, InlineFailuresAndPasswordsKeepTheirResults) {
  // A write-protected target kept (create error), a bad gz header, and an encrypted file
  // whose first password fails: all inline, all reported as with a thread.
  ASSERT_TRUE(WriteFile(Src("p.txt"), "new"));
  ::mkdir(dst.c_str(), 0755);
  ASSERT_TRUE(WriteFile(Dst("p.txt"), "old"));
  ::chmod(Dst("p.txt").c_str(), 0444);
  ASSERT_TRUE(WriteFile(Src("bad.gz"), "not gzip"));
  ASSERT_TRUE(WriteEncFile(Src("s.txt.enc"), "secret text", "right"));
  view.Overwrite = omAlways;
  view.Protected = false;
  view.PasswordAnswers = {{paOk, "wrong"}, {paOk, "right"}};
  WatchThreadedWaits();
  session.Start(view.RunOptions());
  EXPECT_TRUE(threadedSources.empty());
  EXPECT_EQ(ReadFile(Dst("p.txt")), "old");
  EXPECT_EQ(ReadFile(Dst("s.txt")), "secret text");
  EXPECT_EQ(view.Prompts.size(), 2u);
  EXPECT_EQ(view.DetailMessage, "1 file copied - 2 errors");
  ASSERT_EQ(view.Details.size(), 3u);
  EXPECT_EQ(view.Details[0], "Error reading gz-header: " + Src("bad.gz"));
  EXPECT_EQ(view.Details[1], "Error restoring file: " + Src("p.txt"));
  EXPECT_EQ(view.Details[2], "   " + GetErrorMessage(uint32_t{sevError} | opCopy | errCreateFile));
}

TEST_F(InlineRun, StopReachesARunOfSmallFiles) {
  PutSmallFiles(50);
  view.OnProcessMessages = [this] {
    if (session.Restoring()) session.Stop();
  };
  session.Start(view.RunOptions());
  // Messages are processed before the first file: nothing after the Stop starts.
  EXPECT_EQ(RestoredCount(50), 0);
  EXPECT_EQ(view.Summary(), "0 files copied");
  EXPECT_TRUE(session.LastRun().Stopped);
  EXPECT_TRUE(session.LastRun().Cancelled);
}

TEST_F(InlineRun, PauseBetweenSmallFilesHoldsTheRunUntilContinue) {
  PutSmallFiles(20);
  int pausedRounds = 0;
  int restoredWhenPaused = -1;
  bool grewWhilePaused = false;
  view.OnProcessMessages = [&] {
    if (!session.Paused() && pausedRounds == 0) {
      session.PauseContinue();
      restoredWhenPaused = RestoredCount(20);
    } else if (session.Paused()) {
      if (RestoredCount(20) != restoredWhenPaused) grewWhilePaused = true;
      if (++pausedRounds == 5) session.PauseContinue();
    }
  };
  session.Start(view.RunOptions());
  EXPECT_EQ(pausedRounds, 5);
  EXPECT_FALSE(grewWhilePaused);
  EXPECT_EQ(RestoredCount(20), 20);
  EXPECT_EQ(view.Summary(), "20 files copied");
}

}  // namespace
}  // namespace qv::test
