// SPDX-License-Identifier: Apache-2.0
// A dry run says what the run then does, item for item: the names that earlier items of the
// run take, the skips of targets the run itself wrote, and the items a transfer refuses
// before it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "ScriptedView.h"
#include "restore/RestoreSession.h"
#include "transfer/ZipTestUtil.h"

namespace qv::test {

namespace {

class DryRunDifferential : public TRestoreFixture {
 protected:
  DryRunDifferential() : TRestoreFixture("qvdiff") {}

  void Put(const std::string& name, const std::string& data, int64_t mtime) {
    ASSERT_TRUE(qv::test::Run("mkdir -p \"$(dirname '" + Src(name) + "')\""));
    ASSERT_TRUE(WriteFile(Src(name), data));
    SetMTime(Src(name), mtime);
  }

  // One line per item, in the words both kinds of run share.
  static std::vector<std::string> Lines(const std::vector<TItemReport>& reports) {
    std::vector<std::string> lines;
    for (const TItemReport& r : reports) {
      switch (r.Action) {
        case iaNew:
        case iaReplace:
        case iaRestored: lines.push_back("write " + r.Target); break;
        case iaSkip:
        case iaSkipped: lines.push_back("skip " + r.Target + " (" + r.Reason + ")"); break;
        case iaFailed: lines.push_back("fail " + r.Source + " " + std::to_string(r.Code.Value())); break;
        case iaTested: lines.push_back("tested " + r.Source); break;
      }
    }
    return lines;
  }

  std::vector<std::string> RunAs(TRunKind kind, const std::function<void(TScriptedView&)>& set) {
    TScriptedView v;
    TRestoreSession s(v);
    v.Target = dst;
    v.Kind = kind;
    v.PasswordAnswers.push_back({paOk, "pw"});
    set(v);
    s.Start(v.RunOptions());
    return Lines(v.Reports);
  }
};

struct TDiffRow {
  const char* Name;
  TOverwriteMode Overwrite;
  std::function<void(TScriptedView&)> Set;
};

}  // namespace

TEST_F(DryRunDifferential, DryRunListsWhatTheRunDoes) {
  // One name from three kinds, and a current and an old version in two sets.
  Put("k/a.txt", "plain", 1400000000);
  Put("k/a.txt.x", "packed", 1400000100);
  ASSERT_TRUE(qv::test::Run("gzip -n -c '" + Src("k/a.txt.x") + "' > '" + Src("k/a.txt.gz") + "' && rm '" + Src("k/a.txt.x") + "'"));
  SetMTime(Src("k/a.txt.gz"), 1400000100);
  ASSERT_TRUE(WriteEncFile(Src("k/a.txt.enc"), "sealed", "pw"));
  SetMTime(Src("k/a.txt.enc"), 1399999900);
  Put("sets/new/b.txt", "current", 1500000000);
  Put("sets/old/b.txt", "old", 1300000000);
  // Targets the transfer refuses: a folder at the name, a write-protected file.
  Put("r/folder.txt", "x", 1400000000);
  Put("r/locked.txt", "x", 1400000000);
  Put("r/free.txt", "x", 1400000000);
  // Names in an archive: twins, one that is refused, one that leads out.
  ASSERT_TRUE(RunPython(src, R"PY(
import zipfile, warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('names.zip', 'w') as z:
    for name in ['d/x.txt', 'd/./x.txt', 'd/X.txt', '../evil.txt', 'd/x.txt']:
        z.writestr(name, name)
)PY"));

  const auto folder = [&](const std::string& path) {
    return [this, path](TScriptedView& v) {
      v.Mode = rmDirectory;
      v.Folder = path;
    };
  };
  const auto files = [&](std::vector<std::string> names) {
    return [this, names](TScriptedView& v) {
      v.Mode = rmFiles;
      for (const std::string& name : names) v.Items.push_back(Src(name));
    };
  };
  const auto keepProtected = [&](TScriptedView& v) {
    folder(Src("r"))(v);
    v.Protected = false;
  };
  const auto filtered = [&](TScriptedView& v) {
    folder(src)(v);
    v.Include = {"*.txt"};
    v.Exclude = {"sets/old/**"};
  };
  const TDiffRow rows[] = {
      {"kinds, keep both", omKeepBoth, folder(Src("k"))},
      {"kinds, never", omNever, folder(Src("k"))},
      {"kinds, older", omOlder, folder(Src("k"))},
      {"kinds, always", omAlways, folder(Src("k"))},
      {"two versions, never", omNever, files({"sets/new/b.txt", "sets/old/b.txt"})},
      {"two versions, keep both", omKeepBoth, files({"sets/new/b.txt", "sets/old/b.txt"})},
      {"two versions, older", omOlder, files({"sets/old/b.txt", "sets/new/b.txt"})},
      {"refused targets, always", omAlways, keepProtected},
      {"refused targets, never", omNever, keepProtected},
      {"archive names, keep both", omKeepBoth, folder(Src("names.zip"))},
      {"archive names, never", omNever, folder(Src("names.zip"))},
      {"filters, always", omAlways, filtered},
  };
  for (const TDiffRow& row : rows) {
    SCOPED_TRACE(row.Name);
    ASSERT_TRUE(qv::test::Run("rm -rf '" + dst + "' && mkdir -p '" + dst + "/folder.txt' && echo old > '" + dst +
                    "/locked.txt' && chmod 444 '" + dst + "/locked.txt' && echo old > '" + dst + "/free.txt'"));
    const auto set = [&](TScriptedView& v) {
      v.Overwrite = row.Overwrite;
      row.Set(v);
    };
    const std::vector<std::string> preview = RunAs(rkDryRun, set);
    const std::vector<std::string> restore = RunAs(rkRestore, set);
    EXPECT_EQ(preview, restore);
    EXPECT_FALSE(restore.empty());
  }
}

}  // namespace qv::test
