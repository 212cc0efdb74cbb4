// SPDX-License-Identifier: Apache-2.0
// Several transfers at once change nothing a front-end sees: the same questions, reports,
// error lines and summary, in the same order, and the same restored files as with one.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <sstream>

#include "restore/RestoreSession.h"
#include "ScriptedView.h"
#include "transfer/ZipTestUtil.h"

namespace qv::test {

namespace {

bool Sh(const std::string& command) { return qv::test::Run(command); }

class ParallelRun : public TRestoreFixture {
 protected:
  ParallelRun() : TRestoreFixture("qvparallel") {}

  void Put(const std::string& name, const std::string& data, int64_t mtime = 1400000000) {
    const std::string path = Src(name);
    ASSERT_TRUE(Sh("mkdir -p '" + path.substr(0, path.rfind('/')) + "'"));
    ASSERT_TRUE(WriteFile(path, data));
    SetMTime(path, mtime);
  }
  // Small and large plain files, gzip members, a damaged one, a name that two backups restore
  // to, an encrypted file, a dangling link, a subfolder, and targets that exist.
  void PutMixedTree() {
    for (int i = 0; i < 40; ++i) Put("f" + std::to_string(100 + i) + ".txt", "small " + std::to_string(i));
    Put("large.bin", RandomBytes(3 * TRestoreSession::CInlineJobLimit));
    for (int i = 0; i < 6; ++i) {
      Put("g" + std::to_string(i) + ".txt", "packed " + std::to_string(i));
      ASSERT_TRUE(Sh("gzip -n -f '" + Src("g" + std::to_string(i) + ".txt") + "'"));
    }
    Put("twice.txt", "plain");
    Put("twice.txt.x", "packed twin");
    ASSERT_TRUE(Sh("gzip -n -c '" + Src("twice.txt.x") + "' > '" + Src("twice.txt.gz") + "' && rm '" +
                    Src("twice.txt.x") + "'"));
    Put("bad.gz", "not gzip at all");
    ASSERT_TRUE(WriteEncFile(Src("s.txt.enc"), "secret", "right"));
    ASSERT_EQ(::symlink("nowhere", Src("dangling.txt").c_str()), 0);
    for (int i = 0; i < 12; ++i) Put("sub/h" + std::to_string(i) + ".txt", "deeper " + std::to_string(i));
    ASSERT_TRUE(Sh("mkdir -p '" + dst + "/sub'"));
    ASSERT_TRUE(WriteFile(Dst("f105.txt"), "kept"));
    ASSERT_TRUE(WriteFile(Dst("sub/h3.txt"), "kept"));
  }

  // An archive of the same kinds: small entries (stored and deflated) around an AES entry and a
  // large one, a name stored twice, a damaged entry, a refused name and a subfolder.
  void PutMixedArchive() {
    ASSERT_TRUE(RunPython(src, R"PY(
import zipfile, random
random.seed(3)
def part(names, mode):
    with zipfile.ZipFile('mixed.zip', mode) as z:
        for name, data, method in names:
            z.writestr(zipfile.ZipInfo(name, (2014, 5, 13, 10, 0, 0)), data, method)
S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
part([('z/f%d.txt' % i, b'small %d ' % i * (i + 1), S if i % 3 else D) for i in range(30)] +
     [('z/large.bin', random.randbytes(200000), S), ('z/twice.txt', b'first', S)], 'w')
)PY"));
    ASSERT_TRUE(Sh("mkdir -p '" + dir / "aes/z" + "'"));
    ASSERT_TRUE(WriteFile(dir / "aes/z/secret.txt", "secret"));
    ASSERT_TRUE(Sh("cd '" + dir / "aes" + "' && 7zz a -bd -bso0 -tzip -mem=AES256 -pright '" + Src("mixed.zip") +
                   "' z/secret.txt >/dev/null"));
    ASSERT_TRUE(RunPython(src, R"PY(
import zipfile, warnings
warnings.simplefilter('ignore')
with zipfile.ZipFile('mixed.zip', 'a') as z:
    for name, data in [('z/twice.txt', b'second'), ('z/bad.txt', b'DAMAGED-HERE'), ('../evil.txt', b'x')] + \
                      [('z/sub/h%d.txt' % i, b'deeper %d' % i) for i in range(12)] + \
                      [('z/g%d.txt' % i, b'late %d' % i) for i in range(20)]:
        z.writestr(zipfile.ZipInfo(name, (2014, 5, 13, 10, 0, 0)), data)
raw = bytearray(open('mixed.zip', 'rb').read())
at = raw.index(b'DAMAGED-HERE')
raw[at] ^= 1
open('mixed.zip', 'wb').write(raw)
)PY"));
    ASSERT_TRUE(Sh("mkdir -p '" + dst + "/z/sub'"));
    ASSERT_TRUE(WriteFile(Dst("z/f4.txt"), "kept"));
    ASSERT_TRUE(WriteFile(Dst("z/sub/h3.txt"), "kept"));
  }

  // Everything the view was told, as one text.
  static std::string Record(const TScriptedView& v) {
    std::ostringstream out;
    for (const TItemReport& r : v.Reports)
      out << "item " << static_cast<int>(r.Action) << " " << r.Source << " -> " << r.Target << " [" << r.Set << "] "
          << r.Bytes << " " << r.Code.Value() << " " << r.Message << " " << r.Detail << " " << r.Reason << "\n";
    for (const std::string& q : v.Questions) out << "question " << q << "\n";
    for (const std::string& p : v.Prompts) out << "prompt " << p << "\n";
    for (const std::string& e : v.Errors) out << "error " << e << "\n";
    for (const std::string& d : v.Details) out << "detail " << d << "\n";
    out << "summary " << v.Summary() << "\n";
    return out.str();
  }

  // Runs once with the given number of transfers on a fresh copy of the destination; returns
  // the record and the restored tree.
  std::pair<std::string, std::string> RunWith(int jobs, const std::function<void(TScriptedView&)>& setUp) {
    Sh("rm -rf '" + dir / "run" + "' && cp -a '" + dst + "' '" + dir / "run" + "'");
    TScriptedView v;
    v.Target = dir / "run";
    v.Jobs = jobs;
    setUp(v);
    TRestoreSession s(v);
    s.Start(v.RunOptions());
    // A restored item's bytes are those of its target as it was written (the last item of a
    // name two backups restore to wrote it last).
    std::map<std::string, int64_t> written;
    for (const TItemReport& r : v.Reports)
      if (r.Action == iaRestored) written[r.Target] = r.Bytes;
    for (const auto& [target, bytes] : written) {
      struct stat st {};
      EXPECT_EQ(::stat(target.c_str(), &st), 0) << target;
      EXPECT_EQ(bytes, st.st_size) << target;
    }
    std::string tree;
    for (const std::string& line : ListTree(dir / "run")) tree += line + "\n";
    return {Record(v), tree};
  }

  // name and content of every file below folder, sorted, then each one's mode and time
  static std::vector<std::string> ListTree(const std::string& folder) {
    std::vector<std::string> lines;
    const std::string list = folder + ".list";
    Sh("cd '" + folder + "' && { find . -type f -exec md5sum {} + | sort -k2; find . -type f -printf '%p %m %T@\\n' | sort; } > '" +
       list + "'");
    std::istringstream in(ReadFile(list));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
};

TEST_F(ParallelRun, SameMessagesInTheSameOrderWithOneTwoAndFourTransfers) {
  PutMixedTree();
  PutMixedArchive();
  ::mkdir(dst.c_str(), 0755);
  const std::string folder = src;
  std::vector<std::string> everyFile;
  for (const std::string& line : ListTree(src))
    if (line.find("  ./") != std::string::npos) everyFile.push_back(src + line.substr(line.find("  ./") + 3));
  everyFile.push_back(Src("missing.txt"));
  const struct {
    const char* Name;
    std::function<void(TScriptedView&)> SetUp;
  } rows[] = {
      {"directory, never", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = folder;
         v.PasswordAnswers = {{paOk, "wrong"}, {paOk, "right"}};
       }},
      {"directory, always", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = folder;
         v.Overwrite = omAlways;
         v.PasswordAnswers = {{paSkip, ""}};
       }},
      {"directory, keep both", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = folder;
         v.Overwrite = omKeepBoth;
         v.PasswordAnswers = {{paOk, "right"}};
       }},
      {"directory, test", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = folder;
         v.Kind = rkTest;
         v.PasswordAnswers = {{paOk, "right"}};
       }},
      {"archive, never", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = Src("mixed.zip");
         v.PasswordAnswers = {{paOk, "wrong"}, {paOk, "right"}};
       }},
      {"archive folder, always", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = Src("mixed.zip") + "/z";
         v.Overwrite = omAlways;
         v.PasswordAnswers = {{paSkip, ""}};
       }},
      {"archive, keep both", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = Src("mixed.zip");
         v.Overwrite = omKeepBoth;
         v.PasswordAnswers = {{paOk, "right"}};
       }},
      {"archive, test", [&](TScriptedView& v) {
         v.Mode = rmDirectory;
         v.Folder = Src("mixed.zip");
         v.Kind = rkTest;
         v.PasswordAnswers = {{paOk, "right"}};
       }},
      {"files, older", [&](TScriptedView& v) {
         v.Mode = rmFiles;
         v.Items = everyFile;
         v.Overwrite = omOlder;
         v.PasswordAnswers = {{paOk, "right"}};
       }},
      {"schedule, always", [&](TScriptedView& v) {
         v.Mode = rmSchedule;
         v.Folder = dir.Path();
         v.Sets = "src";
         v.Date = 50000;
         v.Overwrite = omAlways;
         v.PasswordAnswers = {{paOk, "right"}};
       }},
  };
  // Two transfers: one pool thread, and this thread runs every transfer past its few queued.
  for (const auto& row : rows) {
    const auto one = RunWith(1, row.SetUp);
    for (const int jobs : {2, 4}) {
      const auto more = RunWith(jobs, row.SetUp);
      EXPECT_EQ(one.first, more.first) << row.Name << ", " << jobs << " transfers";
      EXPECT_EQ(one.second, more.second) << row.Name << ", " << jobs << " transfers";
    }
    // The runs compared did something: items were reported and a summary was given.
    EXPECT_NE(one.first.find("item "), std::string::npos) << row.Name;
    EXPECT_EQ(one.first.find("summary \n"), std::string::npos) << row.Name;
  }
}

}  // namespace
}  // namespace qv::test
