// SPDX-License-Identifier: Apache-2.0
// Stop holds wherever it lands: pressed at any point where a run lets the front-end's events
// in (the waits for a worker, the drain of the queue, between items), with one, two or four
// transfers, nothing new starts afterwards and the run ends as stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

#include "ScriptedView.h"
#include "restore/RestoreSession.h"

namespace qv::test {

namespace {

class StopRun : public TRestoreFixture {
 protected:
  StopRun() : TRestoreFixture("qvstop") {}

  // Small files around two large ones, in the order Files mode lists them; also as a stored
  // archive, whose large entries the reader extracts itself.
  void SetUp() override {
    TRestoreFixture::SetUp();
    const auto put = [&](const std::string& name, const std::string& data) {
      ASSERT_TRUE(WriteFile(Src(name), data));
      order.push_back(name);
    };
    for (int i = 0; i < 14; ++i) {
      put("s" + std::to_string(i) + ".txt", "small " + std::to_string(i));
      if (i == 6 || i == 13) put("big" + std::to_string(i) + ".bin", RandomBytes(4 * TRestoreSession::CInlineJobLimit));
    }
    std::string names;
    for (const std::string& name : order) names += " '" + name + "'";
    ASSERT_TRUE(qv::test::Run("cd '" + src + "' && zip -q -0 '" + dir / "arch.zip" + "'" + names));
  }

  static bool IsLarge(const std::string& name) { return name.rfind("big", 0) == 0; }

  std::set<std::string> Restored() const {
    std::set<std::string> names;
    for (const std::string& name : ListDir(dst))
      if (name.find(".qvpart") == std::string::npos) names.insert(name);
    return names;
  }

  std::vector<std::string> order;
};

struct TStopRow {
  const char* Name;
  TRestoreMode Mode;
  bool Archive;
};

}  // namespace

TEST_F(StopRun, NothingStartsAfterStopAtAnyPumpPoint) {
  const TStopRow rows[] = {
      {"files", rmFiles, false},
      {"folder", rmDirectory, false},
      {"archive folder", rmDirectory, true},
  };
  for (const TStopRow& row : rows) {
    for (const int jobs : {1, 2, 4}) {
      int pumpsReached = 0;
      for (int stopAt = 1;; ++stopAt) {
        SCOPED_TRACE(std::string(row.Name) + ", " + std::to_string(jobs) + " transfers, stop at event " +
                     std::to_string(stopAt));
        ASSERT_TRUE(qv::test::Run("rm -rf '" + dst + "'"));
        TScriptedView v;
        TRestoreSession s(v);
        v.Mode = row.Mode;
        v.Jobs = jobs;
        v.Overwrite = omAlways;
        v.Target = dst;
        if (row.Mode == rmFiles)
          for (const std::string& name : order) v.Items.push_back(Src(name));
        else
          v.Folder = row.Archive ? dir / "arch.zip" : src;
        std::set<std::string> atStop;
        bool stopped = false;
        v.OnProcessMessages = [&] {
          // Each check for events lets some time pass, as a window's event loop does, so that
          // every place that checks for them is reached.
          std::this_thread::sleep_for(std::chrono::milliseconds(6));
          if (v.Processed != stopAt) return;
          s.Stop();
          stopped = true;
          atStop = Restored();
        };
        s.Start(v.RunOptions());
        if (!stopped) {
          // The run ended before this event: every earlier one has had its row.
          EXPECT_GT(pumpsReached, 0) << "no event was ever processed";
          break;
        }
        pumpsReached = stopAt;
        EXPECT_FALSE(s.Restoring());
        EXPECT_TRUE(s.LastRun().Stopped || s.LastRun().Cancelled);
        EXPECT_TRUE(LeftoverTempFiles(dst).empty());
        // Only transfers already queued may still end; a large one never starts after Stop.
        int started = 0;
        for (const std::string& name : Restored()) {
          if (atStop.contains(name)) continue;
          ++started;
          EXPECT_FALSE(IsLarge(name)) << name << " was restored after Stop";
        }
        EXPECT_LE(started, TRestoreSession::CQueuedPerPoolThread * (jobs - 1) + 1);
      }
    }
  }
}

}  // namespace qv::test
