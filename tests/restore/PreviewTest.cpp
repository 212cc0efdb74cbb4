// SPDX-License-Identifier: Apache-2.0
// Dry runs, test runs and verified restores through the session, on files made by real tools.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <tuple>

#include "base/FtGlobal.h"
#include "restore/RestoreSession.h"
#include "transfer/CopyThread.h"
#include "ScriptedView.h"
#include "transfer/ZipTestUtil.h"

namespace qv::test {

namespace {

constexpr int64_t kOld = 1400000000;

bool Sh(const std::string& command) { return qv::test::Run(command); }

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A ".gze" member as the suite writes it: raw deflate, encrypted with our writer, size subfield.
std::string GzeMember(const std::string& data, const std::string& password) {
  std::string raw(compressBound(static_cast<uLong>(data.size())) + 64, '\0');
  z_stream z {};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(raw.data());
  z.avail_out = static_cast<uInt>(raw.size());
  deflate(&z, Z_FINISH);
  raw.resize(z.total_out);
  deflateEnd(&z);
  TEncryption enc(password, 0, 524288);
  TReadOnlyMemoryStream in(raw.data(), raw.size());
  TMemoryStream body;
  EXPECT_TRUE(enc.EncryptStream(in, body, false));
  std::string out = "\x1f\x8b\x08";
  out.push_back(static_cast<char>(0x04 | 0x20));  // extra field, encrypted
  PutLe(out, 1600000000, 4);
  out += '\0';
  out += '\x03';
  PutLe(out, 20, 2);
  PutLe(out, 1, 2);
  PutLe(out, 16, 2);
  PutLe(out, body.Data().size(), 8);
  PutLe(out, data.size(), 8);
  out.append(body.Data().begin(), body.Data().end());
  PutLe(out, crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())), 4);
  PutLe(out, data.size(), 4);
  return out;
}

void FlipByte(const std::string& path, int64_t offset) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekg(offset);
  const char c = static_cast<char>(f.get() ^ 0x10);
  f.seekp(offset);
  f.put(c);
}

// The middle of the first entry's data in a zip archive.
int64_t ZipDataMiddle(const std::string& zip) {
  const std::string head = ReadFile(zip).substr(0, 30);
  const auto le16 = [&](size_t at) { return static_cast<uint8_t>(head[at]) | static_cast<uint8_t>(head[at + 1]) << 8; };
  const auto le32 = [&](size_t at) { return static_cast<int64_t>(le16(at) | static_cast<uint32_t>(le16(at + 2)) << 16); };
  return 30 + le16(26) + le16(28) + le32(18) / 2;
}

// Everything about a tree that a run could change.
using TSnapshot = std::map<std::string, std::tuple<mode_t, int64_t, int64_t, std::string>>;
void Snap(const std::string& root, const std::string& rel, TSnapshot& shot) {
  for (const auto& name : ListDir(root + rel)) {
    const std::string path = root + rel + "/" + name;
    struct stat st {};
    ::lstat(path.c_str(), &st);
    const int64_t ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    shot[rel + "/" + name] = {st.st_mode, st.st_size, ns, S_ISREG(st.st_mode) ? ReadFile(path) : ""};
    if (S_ISDIR(st.st_mode)) Snap(root, rel + "/" + name, shot);
  }
}
TSnapshot Snapshot(const std::string& root) {
  TSnapshot shot;
  Snap(root, "", shot);
  return shot;
}

class Preview : public TRestoreFixture {
 protected:
  Preview() : TRestoreFixture("qvpreview") {}
  void TearDown() override { TCopyThread::SetVerifyHook(nullptr); }
  void Put(const std::string& name, const std::string& data, int64_t mtime = kOld) {
    const std::string path = Src(name);
    Sh("mkdir -p \"$(dirname '" + path + "')\"");
    ASSERT_TRUE(WriteFile(path, data));
    SetMTime(path, mtime);
  }
  // One run with a clean record.
  void Start() {
    view.DetailMessage.clear();
    view.Details.clear();
    view.Infos.clear();
    view.Reports.clear();
    session.Start(view.RunOptions());
  }
  // The item reports as "action target-or-source reason".
  std::vector<std::string> Lines() const {
    static const char* names[] = {"restored", "skipped", "failed", "new", "replace", "skip", "tested"};
    std::vector<std::string> lines;
    for (const auto& r : view.Reports) {
      const std::string& path = r.Action == iaFailed || r.Action == iaTested ? r.Source : r.Target;
      lines.push_back(std::string(names[static_cast<int>(r.Action)]) + " " + path.substr(dir.Path().size()) +
                      (r.Reason.empty() ? "" : " " + r.Reason) + (r.Set.empty() ? "" : " [" + r.Set + "]"));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
};

}  // namespace

TEST_F(Preview, DryRunListsEveryDecisionAndChangesNothing) {
  struct TRow {
    TOverwriteMode Mode;
    std::vector<std::string> Expected;
    std::string Summary;
  };
  const TRow rows[] = {
      {omOlder,
       {"failed /src/d/bad.gz", "new /dst/d/new.txt", "new /dst/d/p.txt", "replace /dst/d/older.txt",
        "skip /dst/d/newer.txt not older"},
       "Dry run: 3 to restore (2 new, 1 replaced), 1 skipped, 1 errors"},
      {omNever,
       {"failed /src/d/bad.gz", "new /dst/d/new.txt", "new /dst/d/p.txt", "skip /dst/d/newer.txt exists",
        "skip /dst/d/older.txt exists"},
       "Dry run: 2 to restore (2 new, 0 replaced), 2 skipped, 1 errors"},
      {omAlways,
       {"failed /src/d/bad.gz", "new /dst/d/new.txt", "new /dst/d/p.txt", "replace /dst/d/newer.txt",
        "replace /dst/d/older.txt"},
       "Dry run: 4 to restore (2 new, 2 replaced), 0 skipped, 1 errors"},
  };
  Put("d/new.txt", "new");
  Put("d/older.txt", "backup", kOld + 1000);
  Put("d/newer.txt", "backup", kOld);
  Put("d/bad.gz", "not a gzip member");
  ASSERT_TRUE(WriteEncFile(Src("d/p.txt.enc"), "secret", "pw"));
  Sh("mkdir -p '" + dst + "/d'");
  ASSERT_TRUE(WriteFile(Dst("d/older.txt"), "mine"));
  SetMTime(Dst("d/older.txt"), kOld);
  ASSERT_TRUE(WriteFile(Dst("d/newer.txt"), "mine"));
  SetMTime(Dst("d/newer.txt"), kOld + 1000);
  ::chmod(Dst("d/older.txt").c_str(), 0444);  // a restore would clear this protection
  const TSnapshot before = Snapshot(dir.Path());

  view.Mode = rmDirectory;
  view.Folder = src;
  view.Kind = rkDryRun;
  for (const TRow& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.Mode));
    view.Overwrite = row.Mode;
    Start();
    EXPECT_EQ(Lines(), row.Expected);
    EXPECT_EQ(view.Summary(), row.Summary);
    EXPECT_EQ(session.LastRun().Errors, 1u);
    EXPECT_TRUE(view.Prompts.empty());    // no password asked
    EXPECT_TRUE(view.Questions.empty());  // not even for the non-empty destination
    EXPECT_EQ(Snapshot(dir.Path()), before);
  }
  // The two times of a "not older" decision.
  view.Overwrite = omOlder;
  view.Reports.clear();
  Start();
  bool sawTimes = false;
  for (const auto& r : view.Reports)
    if (r.Reason == "not older")
      sawTimes = r.Message.find("2014-05-13 16:53:20") != std::string::npos &&
                 r.Message.find("2014-05-13 17:10:00") != std::string::npos;
  EXPECT_TRUE(sawTimes);
}

TEST_F(Preview, DryRunCreatesNoDestinationAndReportsMissingAndRefusedItems) {
  Put("a.txt", "a");
  ASSERT_TRUE(RunPython(src, "import zipfile\nz = zipfile.ZipFile('bad.zip', 'w')\n"
                             "z.writestr('../evil.txt', 'x')\nz.writestr('ok/in.txt', 'y')\nz.close()\n"));
  view.Kind = rkDryRun;
  view.Mode = rmFiles;
  view.Items = {Src("a.txt"), Src("gone.txt"), Src("bad.zip") + "/../evil.txt", Src("bad.zip") + "/ok/in.txt"};
  Start();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"failed /src/bad.zip:../evil.txt", "failed /src/gone.txt",
                                               "new /dst/a.txt", "new /dst/ok/in.txt"}));
  EXPECT_FALSE(FileExists(dst));  // not created, and no question about it
  EXPECT_TRUE(view.Questions.empty());
  EXPECT_EQ(session.LastRun().Errors, 2u);
}

TEST_F(Preview, DryRunOfScheduleNamesTheSetOfEachVersion) {
  Put("BD1/x.txt", "old", kOld);
  Put("BD2/x.txt", "new", kOld + 100);
  Put("BD1/y.txt", "only", kOld);
  view.Mode = rmSchedule;
  view.Folder = src;
  view.Date = 60000;  // 2064
  view.Kind = rkDryRun;
  Start();
  EXPECT_EQ(Lines(), (std::vector<std::string>{"new /dst/x.txt [BD2]", "new /dst/y.txt [BD1]"}));
  EXPECT_TRUE(view.Questions.empty());
  EXPECT_FALSE(FileExists(dst));
}

// A test run reads each kind of backup to its end and finds the damage a restore finds.
TEST_F(Preview, TestRunFindsEachKindOfDamageAndWritesNothing) {
  const std::string data = RandomBytes(6000, 7);
  struct TRow {
    const char* Name;
    std::function<std::string()> Make;  // makes the backup, gives the item path
    std::function<int64_t(const std::string&)> DamageAt;
    bool Password;
  };
  const auto middle = [](const std::string& path) { return static_cast<int64_t>(ReadFile(path).size() / 2); };
  const auto zipItem = [&](const std::string& command) {
    return [&, command] {
      Put("z/e.bin", data);
      EXPECT_TRUE(Sh("cd '" + src + "/z' && " + command + " >/dev/null"));
      return Src("z/e.zip") + "/e.bin";
    };
  };
  const TRow rows[] = {
      {"gz", [&] { Put("f.bin", data); Sh("gzip -n '" + Src("f.bin") + "'"); return Src("f.bin.gz"); }, middle, false},
      {"enc", [&] { WriteEncFile(Src("f.bin.enc"), data, "pw"); return Src("f.bin.enc"); }, middle, true},
      {"gze", [&] { WriteFile(Src("f.bin.gze"), GzeMember(data, "pw")); return Src("f.bin.gze"); }, middle, true},
      {"zip stored", zipItem("zip -q -0 e.zip e.bin"), ZipDataMiddle, false},
      {"zip deflated", zipItem("zip -q -6 e.zip e.bin"), ZipDataMiddle, false},
      {"zip AES", zipItem("7zz a -bd -bso0 -tzip -mem=AES256 -ppw e.zip e.bin"), ZipDataMiddle, true},
  };
  view.Kind = rkTest;
  view.Target = "";  // a test needs no destination
  view.Mode = rmFiles;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    Sh("rm -rf '" + src + "' && mkdir '" + src + "'");
    const std::string item = row.Make();
    std::string file = item.substr(0, item.find(".zip/") == std::string::npos ? item.size() : item.find(".zip/") + 4);
    view.Items = {item, item};  // two items: errors are listed, not shown one by one
    const auto answer = [&] {
      view.PasswordAnswers.clear();
      if (row.Password) view.PasswordAnswers = {{paOk, "pw"}, {paGiveUp, ""}, {paGiveUp, ""}};
    };
    answer();
    Start();
    EXPECT_EQ(view.Summary(), "2 files tested OK - 0 errors");
    EXPECT_EQ(view.Reports.size(), 2u);
    EXPECT_EQ(view.Reports[0].Action, iaTested);

    FlipByte(file, row.DamageAt(file));
    const TSnapshot damaged = Snapshot(dir.Path());
    answer();
    Start();
    EXPECT_EQ(session.LastRun().Copied, 0u);
    EXPECT_EQ(session.LastRun().Errors, 2u);
    ASSERT_FALSE(view.Reports.empty());
    EXPECT_EQ(view.Reports[0].Action, iaFailed);
    EXPECT_EQ(Snapshot(dir.Path()), damaged);  // nothing written, no temporary file left

    // A restore of the same item fails too.
    view.Kind = rkRestore;
    view.Target = dst;
    answer();
    Start();
    EXPECT_EQ(session.LastRun().Copied, 0u);
    EXPECT_GE(session.LastRun().Errors, 1u);
    view.Kind = rkTest;
    view.Target = "";
  }
}

TEST_F(Preview, VerifyCatchesATargetChangedAfterItsRename) {
  const std::string data = RandomBytes(200000, 3);
  Put("p.bin", data);
  Put("g.bin", data);
  ASSERT_TRUE(Sh("gzip -n '" + Src("g.bin") + "'"));
  ASSERT_TRUE(WriteEncFile(Src("e.bin.enc"), data, "pw"));
  Put("z/e.bin", data);
  ASSERT_TRUE(Sh("cd '" + src + "/z' && zip -q e.zip e.bin"));
  struct TRow {
    std::string Item, Target;
  };
  const TRow rows[] = {{"p.bin", "p.bin"}, {"g.bin.gz", "g.bin"}, {"e.bin.enc", "e.bin"}, {"z/e.zip/e.bin", "e.bin"}};
  view.Mode = rmFiles;
  view.Verify = true;
  view.Overwrite = omAlways;
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Item);
    view.Items = {Src(row.Item), Src("p.bin")};
    view.PasswordAnswers = {{paOk, "pw"}};
    TCopyThread::SetVerifyHook(nullptr);
    Start();
    EXPECT_EQ(view.Summary(), "2 files copied, 2 verified");
    EXPECT_EQ(ReadFile(Dst(row.Target)), data);

    // The first target is changed between its rename and the read-back.
    std::string changed;
    TCopyThread::SetVerifyHook([&](const std::string& name) {
      if (!changed.empty()) return;
      changed = name;
      FlipByte(name, 1000);
    });
    view.PasswordAnswers = {{paOk, "pw"}};
    Start();
    EXPECT_EQ(changed, Dst(row.Target));
    EXPECT_EQ(view.Summary(), "1 file copied, 1 verified - 1 error");
    // The reader also says which entry it was reading.
    const bool zip = row.Item.find(".zip") != std::string::npos;
    ASSERT_EQ(view.Details.size(), zip ? 3u : 2u);
    if (zip) EXPECT_EQ(view.Details[2].substr(0, 15), "   entry \"e.bin");
    EXPECT_EQ(view.Details[1], "   Error: Verification failed" +
                                   std::string(row.Item.find(".zip") != std::string::npos ? " (Zip)"
                                               : row.Item.find(".gz") != std::string::npos ? " (gunzip)"
                                               : row.Item.find(".enc") != std::string::npos ? " (Decrypt)"
                                                                                            : " (Copy)"));
  }
}

}  // namespace qv::test
