// SPDX-License-Identifier: Apache-2.0
// Directory mode on a chain of folders far deeper than a path can name: every file restored
// at its depth with few descriptors, and a folder that changes meanwhile an error line of its own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "ScriptedView.h"

namespace qv::test {

namespace {

// The folder at each level of the chain is "d", but those near mark carry their level in their
// name, so that an error line can be seen to name the right one.
std::string LevelName(int level, int mark) {
  return level >= mark - 3 && level <= mark + 3 ? "n" + std::to_string(level) : "d";
}

// The folder at level (0: the top itself), opened by handle from the top down.
TDirHandle OpenLevel(const std::string& top, int level, int mark) {
  TDirHandle folder = OpenFolder(-1, top);
  for (int i = 1; i <= level && folder.Valid(); ++i) folder = OpenFolder(folder.Fd(), LevelName(i, mark));
  return folder;
}

bool MakeChain(const std::string& top, int depth, int mark) {
  TDirHandle folder = OpenFolder(-1, top);
  for (int i = 1; i <= depth && folder.Valid(); ++i) {
    if (::mkdirat(folder.Fd(), LevelName(i, mark).c_str(), 0755) != 0) return false;
    folder = OpenFolder(folder.Fd(), LevelName(i, mark));
  }
  return folder.Valid();
}

bool PutIn(const TDirHandle& folder, const std::string& name, const std::string& data) {
  const int fd = ::openat(folder.Fd(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return ::close(fd) == 0 && written;
}

// The content of name in folder; "(missing)" when it is not there.
std::string ReadIn(const TDirHandle& folder, const std::string& name) {
  const int fd = folder.Valid() ? ::openat(folder.Fd(), name.c_str(), O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) return "(missing)";
  std::string data(4096, '\0');
  const ssize_t n = ::read(fd, data.data(), data.size());
  ::close(fd);
  data.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return data;
}

// Removes a tree by handle, one open folder at a time: it is deeper than a path can name.
void RemoveDeepTree(const std::string& path) {
  TDirHandle current = OpenFolder(-1, path);
  std::vector<std::string> names;  // from path down to the current folder
  while (current.Valid()) {
    bool descended = false;
    for (const TDirEntry& entry : ListDirectory(current, 0u, nullptr)) {
      if (entry.Type == TDirEntry::deFolder) {
        if (TDirHandle sub = OpenFolder(current.Fd(), entry.Name); sub.Valid()) {
          names.push_back(entry.Name);
          current = std::move(sub);
          descended = true;
          break;
        }
      }
      ::unlinkat(current.Fd(), entry.Name.c_str(), 0);
    }
    if (descended) continue;
    if (names.empty()) break;
    current = TDirHandle(::openat(current.Fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (current.Valid()) ::unlinkat(current.Fd(), names.back().c_str(), AT_REMOVEDIR);
    names.pop_back();
  }
  ::rmdir(path.c_str());
}

// A lower limit of the process while the object lives: few descriptors, or a main thread's
// stack too small for a walk that recursed once per level.
class TResourceLimit {
 public:
  TResourceLimit(int resource, rlim_t limit) : FResource(resource) {
    FOk = ::getrlimit(FResource, &FSaved) == 0;
    struct rlimit low = FSaved;
    low.rlim_cur = std::min<rlim_t>(limit, FSaved.rlim_max);
    FOk = FOk && ::setrlimit(FResource, &low) == 0;
  }
  ~TResourceLimit() { ::setrlimit(FResource, &FSaved); }
  TResourceLimit(const TResourceLimit&) = delete;
  TResourceLimit& operator=(const TResourceLimit&) = delete;
  bool Ok() const { return FOk; }

 private:
  int FResource;
  struct rlimit FSaved {};
  bool FOk = false;
};

// A folder for trees of thousands of levels: in memory where the system has such a place
// (a disk's journal makes each of those folders slow to make and to remove).
class TDeepTempDir {
 public:
  TDeepTempDir() {
    const char* env = std::getenv("TMPDIR");
    const std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : env != nullptr && *env ? env : "/tmp";
    std::string pattern = base + "/qvdeep-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) FPath = pattern;
  }
  ~TDeepTempDir() {
    if (!FPath.empty()) RemoveDeepTree(FPath);
  }
  TDeepTempDir(const TDeepTempDir&) = delete;
  TDeepTempDir& operator=(const TDeepTempDir&) = delete;
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

class DeepTree : public TRestoreFixture {
 protected:
  DeepTree() : TRestoreFixture("qvdeep") {}
  void SetUp() override {
    ASSERT_FALSE(deep.Path().empty());
    src = deep.Path() + "/src";
    dst = deep.Path() + "/dst";
    view.Target = dst;
  }
  // Everything made in the folder, also what a run moved beside the source.
  void Clear() {
    for (const std::string& name : ListDir(deep.Path())) RemoveDeepTree(deep.Path() + "/" + name);
  }
  TDeepTempDir deep;
};

// What happens to the source while the walk runs.
enum TChange {
  chNone,
  // Between the count and the walk, the folder at mark becomes a file.
  chFolderBecomesFile,
  // While the walk is below it, the folder at mark is moved out of the tree: the walk goes on
  // in it and comes back to where it was.
  chFolderMovedAway,
  // While the walk is below it, the folder at mark is moved out and the one above it replaced
  // by a new folder: the rest of the replaced one is not walked, nothing of the new one is.
  chParentReplaced,
};

}  // namespace

TEST_F(DeepTree, DirectoryWalkWithFewDescriptors) {
  // Each tree: a chain of Depth folders with "bottom.txt" at its end, "first.txt" at the top, a
  // side folder "z" with "side.txt" beside the chain's folder at Mark, and "m.txt" 50 levels
  // below Mark. ErrorLevel: the level of the folder the one error line names (0: no error).
  const struct {
    const char* Name;
    int Depth, Mark;
    TChange Change;
    bool Bottom, Side;
    int ErrorLevel;
  } rows[] = {
      {"past the path limit", 6000, 3000, chNone, true, true, 0},
      {"folder becomes a file", 600, 200, chFolderBecomesFile, false, true, 200},
      {"folder moved away", 600, 200, chFolderMovedAway, true, true, 0},
      {"parent replaced", 600, 200, chParentReplaced, true, false, 199},
  };
  const TResourceLimit descriptors(RLIMIT_NOFILE, 256);
  const TResourceLimit stack(RLIMIT_STACK, 1 << 20);
  ASSERT_TRUE(descriptors.Ok() && stack.Ok());
  view.Mode = rmDirectory;
  view.Folder = src;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    Clear();
    ::mkdir(src.c_str(), 0755);
    ASSERT_TRUE(MakeChain(src, row.Depth, row.Mark));
    ASSERT_TRUE(WriteFile(Src("first.txt"), "first"));
    ASSERT_TRUE(PutIn(OpenLevel(src, row.Depth, row.Mark), "bottom.txt", "the bottom"));
    const TDirHandle beside = OpenLevel(src, row.Mark - 1, row.Mark);
    ASSERT_EQ(::mkdirat(beside.Fd(), "z", 0755), 0);
    ASSERT_TRUE(PutIn(TDirHandle(OpenFolder(beside.Fd(), "z")), "side.txt", "side"));
    ASSERT_TRUE(PutIn(OpenLevel(src, row.Mark + 50, row.Mark), "m.txt", "marker"));

    const auto change = [&] {
      const TDirHandle top = OpenFolder(-1, src);
      const TDirHandle above = OpenLevel(src, row.Mark - 1, row.Mark);
      const std::string name = LevelName(row.Mark, row.Mark);
      switch (row.Change) {
        case chNone: break;
        case chFolderBecomesFile:
          ASSERT_EQ(::renameat(above.Fd(), name.c_str(), above.Fd(), "gone"), 0);
          ASSERT_TRUE(PutIn(above, name, "a file now"));
          break;
        case chFolderMovedAway:
          ASSERT_EQ(::renameat(above.Fd(), name.c_str(), top.Fd(), "moved"), 0);
          break;
        case chParentReplaced: {
          ASSERT_EQ(::renameat(above.Fd(), name.c_str(), top.Fd(), "moved"), 0);
          const TDirHandle twoAbove = OpenLevel(src, row.Mark - 2, row.Mark);
          const std::string parent = LevelName(row.Mark - 1, row.Mark);
          ASSERT_EQ(::renameat(twoAbove.Fd(), parent.c_str(), top.Fd(), "old"), 0);
          ASSERT_EQ(::mkdirat(twoAbove.Fd(), parent.c_str(), 0755), 0);
          const TDirHandle fresh = OpenFolder(twoAbove.Fd(), parent);
          ASSERT_EQ(::mkdirat(fresh.Fd(), "z", 0755), 0);
          ASSERT_TRUE(PutIn(OpenFolder(fresh.Fd(), "z"), "side.txt", "not walked"));
          break;
        }
      }
    };
    const std::string trigger = row.Change == chFolderBecomesFile ? "/first.txt" : "/m.txt";
    bool changed = false;
    view.OnFileLabel = [&](const std::string& label) {
      if (changed || !label.ends_with(trigger)) return;
      changed = true;
      change();
    };
    view.Details.clear();
    view.Reports.clear();
    session.Start(view.RunOptions());
    view.OnFileLabel = nullptr;

    EXPECT_EQ(ReadIn(OpenLevel(dst, row.Depth, row.Mark), "bottom.txt"), row.Bottom ? "the bottom" : "(missing)");
    EXPECT_EQ(ReadIn(OpenLevel(dst, row.Mark + 50, row.Mark), "m.txt"), row.Bottom ? "marker" : "(missing)");
    const TDirHandle targetBeside = OpenLevel(dst, row.Mark - 1, row.Mark);
    EXPECT_EQ(ReadIn(TDirHandle(OpenFolder(targetBeside.Fd(), "z")), "side.txt"), row.Side ? "side" : "(missing)");
    EXPECT_EQ(ReadFile(Dst("first.txt")), "first");
    EXPECT_FALSE(FileExists(Dst("moved")));
    EXPECT_FALSE(FileExists(Dst("old")));
    if (row.ErrorLevel == 0) {
      EXPECT_EQ(session.LastRun().Errors, 0u);
      EXPECT_TRUE(view.Details.empty());
      continue;
    }
    EXPECT_EQ(session.LastRun().Errors, 1u);
    ASSERT_EQ(view.Details.size(), 2u);
    const std::string& line = view.Details[0];
    const std::string start = "Error restoring file: " + src + "/...";
    const std::string end = "/" + LevelName(row.ErrorLevel, row.Mark);
    EXPECT_LT(line.size(), 400u);
    EXPECT_TRUE(line.starts_with(start)) << line;
    EXPECT_TRUE(line.ends_with(end)) << line;
    // The counted error is an item of the run too: the folder it names failed.
    const auto failed = std::count_if(view.Reports.begin(), view.Reports.end(),
                                      [](const TItemReport& r) { return r.Action == iaFailed; });
    EXPECT_EQ(failed, 1);
    EXPECT_TRUE(std::any_of(view.Reports.begin(), view.Reports.end(), [&](const TItemReport& r) {
      return r.Action == iaFailed && line.ends_with(r.Source) && r.Code.Is(errReadFolder);
    }));
  }
}

}  // namespace qv::test
