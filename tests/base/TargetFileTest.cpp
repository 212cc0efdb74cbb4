// SPDX-License-Identifier: Apache-2.0
// Targets below a destination seeded with hostile links: nothing outside it changes, links at
// a target's place are replaced, names that climb out are refused; leftovers of killed runs.
#include "base/TargetFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "TestDir.h"
#include "base/FtGlobal.h"

namespace qv {
namespace {

namespace fs = std::filesystem;
using test::TTestDir;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Everything below a folder: relative name -> kind, mode and content (links by their text).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> items;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    struct stat st {};
    const std::string path = it->path().string();
    ::lstat(path.c_str(), &st);
    std::string value = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) value += " -> " + fs::read_symlink(path, ec).string();
    else if (S_ISREG(st.st_mode)) value += " " + ReadAll(path);
    items[path.substr(root.size())] = value;
  }
  return items;
}

// Writes ADestName below ARoot through a temporary file: the detail code of the first step
// that failed.
int WriteTarget(const std::string& ARoot, const std::string& ADestName, const std::string& AData,
                bool AReplaceProtected = false) {
  TTargetFile target;
  std::unique_ptr<TFileStream> stream;
  const int detail = target.Create(TTargetRules{ARoot, AReplaceProtected}, ADestName, stream);
  if (detail != 0) return detail;
  if (stream->Write(AData.data(), AData.size()) != static_cast<int64_t>(AData.size())) return errWriteFile;
  return target.Commit(std::move(stream));
}

struct THostileCase {
  const char* Name;
  std::function<void(const std::string& dst, const std::string& outside)> Seed;
  std::string Target;        // below dst
  int Detail;                // expected result
  int PortableDetail;        // the same without kernel support
  const char* WrittenAt;     // where the data must be found afterwards (below dst), or null
};

std::string LongName(char c) { return std::string(300, c); }

const THostileCase kHostile[] = {
    {"folder link to outside", [](auto& d, auto& o) { fs::create_directory_symlink(o, d + "/sub"); },
     "sub/x.txt", errNameRefused, errNameRefused, nullptr},
    {"relative folder link climbing out",
     [](auto& d, auto&) { fs::create_directory_symlink("../outside", d + "/sub"); }, "sub/x.txt",
     errNameRefused, errNameRefused, nullptr},
    {"link below a new folder", [](auto& d, auto& o) {
       fs::create_directory(d + "/a");
       fs::create_directory_symlink(o, d + "/a/b");
     }, "a/b/c/x.txt", errNameRefused, errNameRefused, nullptr},
    {"file link to a protected victim", [](auto& d, auto& o) {
       fs::create_symlink(o + "/victim", d + "/t.txt");
     }, "t.txt", 0, 0, "t.txt"},
    {"dangling file link", [](auto& d, auto& o) { fs::create_symlink(o + "/none/new", d + "/t.txt"); },
     "t.txt", 0, 0, "t.txt"},
    {"inner link stays inside", [](auto& d, auto&) {
       fs::create_directory(d + "/real");
       fs::create_directory_symlink("real", d + "/in");
     }, "in/x.txt", 0, errNameRefused, "real/x.txt"},
    {"dot dot name", [](auto&, auto&) {}, "..", errNameRefused, errNameRefused, nullptr},
    {"dot name", [](auto&, auto&) {}, ".", errNameRefused, errNameRefused, nullptr},
    {"empty name", [](auto&, auto&) {}, "", errNameRefused, errNameRefused, nullptr},
    {"dot dot inside", [](auto&, auto&) {}, "a/../../x.txt", errNameRefused, errNameRefused, nullptr},
    {"name too long", [](auto&, auto&) {}, LongName('n'), errPathTooLong, errPathTooLong, nullptr},
    {"folder name too long", [](auto&, auto&) {}, LongName('f') + "/x", errPathTooLong, errPathTooLong,
     nullptr},
    {"missing folders are made", [](auto&, auto&) {}, "new/deep/x.txt", 0, 0, "new/deep/x.txt"},
    {"folder at the target", [](auto& d, auto&) { fs::create_directory(d + "/t.txt"); }, "t.txt",
     errCreateFile, errCreateFile, nullptr},
    {"file where a folder belongs", [](auto& d, auto&) { std::ofstream(d + "/f") << "keep"; }, "f/x.txt",
     errCreateFile, errCreateFile, nullptr},
};

class HostileDestination : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { ForcePortableResolution(false); }
};

TEST_P(HostileDestination, NothingOutsideChanges) {
  const bool portable = GetParam();
  if (!portable && !KernelResolvesBeneath()) GTEST_SKIP() << "kernel without openat2";
  ForcePortableResolution(portable);
  for (const THostileCase& row : kHostile) {
    SCOPED_TRACE(row.Name);
    TTestDir dir;
    const std::string dst = dir / "dst", outside = dir / "outside";
    fs::create_directories(dst);
    fs::create_directories(outside);
    const std::string victim = dir.Write("outside/victim", "precious");
    ::chmod(victim.c_str(), 0444);
    row.Seed(dst, outside);
    const auto before = Snapshot(outside);

    const int expected = portable ? row.PortableDetail : row.Detail;
    EXPECT_EQ(WriteTarget(dst, dst + "/" + row.Target, "restored"), expected);
    EXPECT_EQ(Snapshot(outside), before);
    EXPECT_EQ(Snapshot(dir.Path()).count("/x.txt"), 0u);  // nothing beside the destination
    if (row.WrittenAt && expected == 0) {
      struct stat st {};
      ASSERT_EQ(::lstat((dst + "/" + row.WrittenAt).c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(ReadAll(dst + "/" + row.WrittenAt), "restored");
    }
    for (const auto& [name, value] : Snapshot(dst))
      EXPECT_EQ(name.find(".qvpart"), std::string::npos) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Resolution, HostileDestination, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Kernel"; });

TEST(TargetFile, ProtectedTargetIsReplacedOnlyWhenAllowedAndNeverChanged) {
  TTestDir dir;
  const std::string old = dir.Write("dst/a.txt", "old");
  ::chmod(old.c_str(), 0444);
  EXPECT_EQ(WriteTarget(dir / "dst", old, "new", false), errCreateFile);
  EXPECT_EQ(ReadAll(old), "old");
  // A hard link shows whether the old file itself was changed or only replaced.
  ASSERT_EQ(::link(old.c_str(), (dir / "witness").c_str()), 0);
  EXPECT_EQ(WriteTarget(dir / "dst", old, "new", true), 0);
  EXPECT_EQ(ReadAll(old), "new");
  EXPECT_EQ(ReadAll(dir / "witness"), "old");
  EXPECT_EQ(fs::status(dir / "witness").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST(TargetFile, UncommittedTemporaryFileIsRemovedAndTargetKept) {
  TTestDir dir;
  const std::string target = dir.Write("dst/a.txt", "old");
  {
    TTargetFile file;
    std::unique_ptr<TFileStream> stream;
    ASSERT_EQ(file.Create(TTargetRules{dir / "dst", false}, target, stream), 0);
    struct stat st {};
    ASSERT_EQ(::fstat(stream->Handle(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // nobody else reads a half-written file
    stream->Write("new", 3);
  }
  EXPECT_EQ(ReadAll(target), "old");
  EXPECT_EQ(Snapshot(dir / "dst").size(), 1u);
}

// A process id that no process has any more.
pid_t DeadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

TEST(TargetFile, LeftoverOfAKilledRunIsRemovedWithItsTarget) {
  TTestDir dir;
  FinishDestination(dir / "dst");
  const std::string random = "-0123456789abcdef.qvpart";
  const std::string dead = std::to_string(DeadPid());
  const std::string stale = dir.Write("dst/.a.txt." + dead + random, "half");
  const std::string live = dir.Write("dst/.a.txt." + std::to_string(::getppid()) + random, "running");
  const std::string other = dir.Write("dst/.b.txt." + dead + random, "other target");
  const std::string lookalike = dir.Write("dst/.a.txt.x." + dead + random, "another name");
  EXPECT_EQ(WriteTarget(dir / "dst", dir / "dst/a.txt", "new"), 0);
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live));       // its owner still runs
  EXPECT_TRUE(fs::exists(other));      // removed when its own target is restored
  EXPECT_TRUE(fs::exists(lookalike));  // belongs to "a.txt.x"
  EXPECT_EQ(WriteTarget(dir / "dst", dir / "dst/b.txt", "new"), 0);
  EXPECT_FALSE(fs::exists(other));
  FinishDestination(dir / "dst");
}

// A run opens its destination once; the next run, after FinishDestination, opens it again
// even when it is a new folder of the same name.
TEST(TargetFile, EachRunWritesIntoTheDestinationAsItIsThen) {
  TTestDir dir;
  const std::string dst = dir / "dst";
  fs::create_directories(dst);
  EXPECT_EQ(WriteTarget(dst, dst + "/a.txt", "first"), 0);
  EXPECT_EQ(WriteTarget(dst, dst + "/sub/b.txt", "second"), 0);  // same run, same handle
  FinishDestination(dst);
  fs::rename(dst, dir / "old");
  fs::create_directories(dst);
  EXPECT_EQ(WriteTarget(dst, dst + "/a.txt", "third"), 0);
  FinishDestination(dst);
  EXPECT_EQ(ReadAll(dst + "/a.txt"), "third");
  EXPECT_EQ(ReadAll(dir / "old/a.txt"), "first");
  EXPECT_EQ(ReadAll(dir / "old/sub/b.txt"), "second");
}

// A new name is taken without a look beforehand; an existing file is replaced as a whole and a
// folder never.
TEST(TargetFile, CommitTakesANewNameReplacesAFileAndRefusesAFolder) {
  TTestDir dir;
  const std::string dst = dir / "dst";
  fs::create_directories(dst + "/folder");
  const struct {
    const char* Name;
    int Detail;
  } rows[] = {{"new.txt", 0}, {"new.txt", 0}, {"folder", errCreateFile}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(WriteTarget(dst, dst + "/" + row.Name, "content"), row.Detail);
  }
  FinishDestination(dst);
  EXPECT_EQ(ReadAll(dst + "/new.txt"), "content");
  EXPECT_TRUE(fs::is_directory(dst + "/folder"));
  for (const auto& entry : fs::directory_iterator(dst))
    EXPECT_EQ(entry.path().filename().string().find(".qvpart"), std::string::npos) << entry.path();
}

// A target found missing is not looked at again before the write; what appears at its place
// before the rename is replaced only as a look beforehand would have allowed.
TEST(TargetFile, TargetThatAppearsBeforeTheCommit) {
  const struct {
    const char* Name;
    std::function<void(const std::string& target, const std::string& outside)> Appear;
    int Detail;
    const char* Content;  // of the target afterwards (null: a folder)
  } rows[] = {
      {"nothing", [](auto&, auto&) {}, 0, "restored"},
      {"a file", [](auto& t, auto&) { std::ofstream(t) << "other"; }, 0, "restored"},
      {"a write-protected file", [](auto& t, auto&) {
         std::ofstream(t) << "other";
         ::chmod(t.c_str(), 0444);
       }, errCreateFile, "other"},
      {"a folder", [](auto& t, auto&) { fs::create_directory(t); }, errCreateFile, nullptr},
      {"a link out", [](auto& t, auto& o) { fs::create_symlink(o + "/victim", t); }, 0, "restored"},
  };
  // A new target is written unnamed (linked by the descriptor or through /proc) or named.
  for (const auto kind : {TTemporaryFiles::Auto, TTemporaryFiles::LinkedByProc, TTemporaryFiles::Named})
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.Name) + " " + std::to_string(static_cast<int>(kind)));
    ForceTemporaryFiles(kind);
    TTestDir dir;
    const std::string dst = dir / "dst", outside = dir / "outside", target = dst + "/t.txt";
    dir.Write("outside/victim", "precious");
    fs::create_directories(dst);
    const auto before = Snapshot(outside);
    TTargetFile file;
    std::unique_ptr<TFileStream> stream;
    ASSERT_EQ(file.Create(TTargetRules{dst, false, true}, target, stream), 0);
    ASSERT_EQ(stream->Write("restored", 8), 8);
    // Unnamed, nothing shows before the commit.
    EXPECT_EQ(Snapshot(dst).empty(), kind != TTemporaryFiles::Named);
    row.Appear(target, outside);
    EXPECT_EQ(file.Commit(std::move(stream)), row.Detail);
    ForceTemporaryFiles(TTemporaryFiles::Auto);
    FinishDestination(dst);
    EXPECT_EQ(Snapshot(outside), before);
    if (row.Content) {
      EXPECT_EQ(ReadAll(target), row.Content);
    } else {
      EXPECT_TRUE(fs::is_directory(target));
    }
    for (const auto& [name, value] : Snapshot(dst)) EXPECT_EQ(name.find(".qvpart"), std::string::npos) << name;
  }
  // Given up before the commit, either kind leaves nothing.
  for (const auto kind : {TTemporaryFiles::Auto, TTemporaryFiles::Named}) {
    ForceTemporaryFiles(kind);
    TTestDir dir;
    fs::create_directories(dir / "dst");
    {
      TTargetFile file;
      std::unique_ptr<TFileStream> stream;
      ASSERT_EQ(file.Create(TTargetRules{dir / "dst", false, true}, dir / "dst/t.txt", stream), 0);
      ASSERT_EQ(stream->Write("half", 4), 4);
    }
    EXPECT_TRUE(Snapshot(dir / "dst").empty());
    ForceTemporaryFiles(TTemporaryFiles::Auto);
  }
}

// A run keeps the folders it resolved; a kept folder that is replaced by a link between two
// targets never leads the second one out of the destination.
TEST_P(HostileDestination, FolderReplacedBetweenTwoTargets) {
  const bool portable = GetParam();
  if (!portable && !KernelResolvesBeneath()) GTEST_SKIP() << "kernel without openat2";
  ForcePortableResolution(portable);
  const struct {
    const char* Name;
    const char* MovedTo;  // where the folder goes (below dst), or null: removed
    int Detail;
  } rows[] = {{"removed", nullptr, errNameRefused}, {"moved aside", "aside", 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TTestDir dir;
    const std::string dst = dir / "dst", outside = dir / "outside";
    fs::create_directories(dst + "/d");
    fs::create_directories(outside);
    ASSERT_EQ(WriteTarget(dst, dst + "/d/a.txt", "first"), 0);
    if (row.MovedTo)
      fs::rename(dst + "/d", dst + "/" + row.MovedTo);
    else
      fs::remove_all(dst + "/d");
    fs::create_directory_symlink(outside, dst + "/d");
    EXPECT_EQ(WriteTarget(dst, dst + "/d/b.txt", "second"), row.Detail);
    FinishDestination(dst);
    EXPECT_TRUE(Snapshot(outside).empty());
    if (row.MovedTo) {
      EXPECT_EQ(ReadAll(dst + "/" + row.MovedTo + "/b.txt"), "second");
    }
  }
}

TEST(TargetFile, InspectSeesTheTargetWithoutLeavingTheDestination) {
  TTestDir dir;
  dir.Write("outside/victim", "v");
  dir.Write("dst/plain", "p");
  ::chmod((dir / "dst/plain").c_str(), 0444);
  fs::create_directories(dir / "dst/folder");
  fs::create_directory_symlink(dir / "outside", dir / "dst/sub");
  fs::create_symlink("none", dir / "dst/dangling");
  struct TRow {
    const char* Name;
    int Detail;
    bool Exists, IsFolder, ReadOnly;
  } rows[] = {
      {"plain", 0, true, false, true},
      {"missing", 0, false, false, false},
      {"folder", 0, false, true, false},
      {"dangling", 0, false, false, false},
      {"sub/victim", errNameRefused, false, false, false},
      {"nofolder/x", 0, false, false, false},
      {"..", errNameRefused, false, false, false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const TTargetState state = InspectTarget(dir / "dst", dir / "dst/" + row.Name);
    EXPECT_EQ(state.Detail, row.Detail);
    EXPECT_EQ(state.Exists, row.Exists);
    EXPECT_EQ(state.IsFolder, row.IsFolder);
    EXPECT_EQ(state.ReadOnly, row.ReadOnly);
  }
  EXPECT_EQ(InspectTarget(dir / "dst", dir / "elsewhere/x").Detail, errNameRefused);
}

TEST(TargetFile, ErrnoDetails) {
  const std::pair<int, int> rows[] = {
      {ENOSPC, errDiskFull}, {EDQUOT, errDiskFull}, {EFBIG, errDiskFull},
      {ENAMETOOLONG, errPathTooLong}, {EIO, errWriteFile}, {EACCES, errWriteFile},
  };
  for (const auto& [err, detail] : rows) EXPECT_EQ(DetailFromErrno(err, errWriteFile), detail) << err;
}

}  // namespace
}  // namespace qv
