// SPDX-License-Identifier: Apache-2.0
#include "base/FileUtils.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "TestDir.h"

using namespace qv;
using qv::test::TTestDir;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

}  // namespace

TEST(FileAttributes, MapsTypeNameAndWritePermission) {
  TTestDir dir;
  const std::string file = dir.Write("plain.txt", "abc");
  const std::string hidden = dir.Write(".hidden", "x");
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_directory(dir / ".subhidden");

  const struct { std::string Path; int Attr; } rows[] = {
      {file, faArchive}, {hidden, faArchive | faHidden}, {dir / "sub", faDirectory},
      {dir / ".subhidden/", faDirectory | faHidden}, {dir / "missing", -1}};
  for (const auto& row : rows) EXPECT_EQ(LongFileGetAttr(row.Path), row.Attr) << row.Path;

  ::chmod(file.c_str(), 0444);
  EXPECT_EQ(LongFileGetAttr(file), static_cast<int>(faArchive | faReadOnly));
  // Group write alone does not make the owner able to write.
  ::chmod(file.c_str(), 0464);
  EXPECT_EQ(LongFileGetAttr(file) & faReadOnly, faReadOnly);
}

TEST(FileAttributes, LinksAreReportedOnlyWhenNotFollowed) {
  TTestDir dir;
  const std::string file = dir.Write("target", "abc");
  std::filesystem::create_directory(dir / "folder");
  std::filesystem::create_symlink(file, dir / "flink");
  std::filesystem::create_directory_symlink(dir / "folder", dir / "dlink");
  std::filesystem::create_symlink(dir / "nowhere", dir / "dangling");

  const struct { std::string Name; bool Follow; int Attr; } attrs[] = {
      {"flink", false, faSymLink}, {"flink", true, faArchive}, {"dlink", true, faDirectory},
      {"dangling", true, -1}, {"dangling", false, faSymLink}};
  for (const auto& row : attrs) EXPECT_EQ(LongFileGetAttr(dir / row.Name, row.Follow), row.Attr) << row.Name;

  using TExists = bool (*)(const std::string&, bool);
  const struct { const char* Function; TExists Call; std::string Name; bool Follow, Exists; } exists[] = {
      {"LongDirectoryExists", LongDirectoryExists, "dlink", true, true},
      {"LongDirectoryExists", LongDirectoryExists, "dlink", false, false},
      {"LongFileExists", LongFileExists, "dlink", false, true},
      {"LongFileExists", LongFileExists, "folder", true, false},
      {"LongFileExists", LongFileExists, "dangling", true, false},
      {"LongFileExists", LongFileExists, "dangling", false, true},
  };
  for (const auto& row : exists)
    EXPECT_EQ(row.Call(dir / row.Name, row.Follow), row.Exists) << row.Function << " " << row.Name << " " << row.Follow;
}

TEST(FileAttributes, ReadOnlyRemovesEveryWriteBitAndItsAbsenceRestoresTheOwners) {
  TTestDir dir;
  const std::string file = dir.Write("f", "abc");
  ::chmod(file.c_str(), 0666);
  EXPECT_EQ(LongFileSetAttr(file, faReadOnly | faHidden | faSysFile), 0);
  EXPECT_EQ(ModeOf(file), 0444u);
  EXPECT_EQ(LongFileSetAttr(file, faArchive), 0);
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_EQ(LongFileSetAttr(file, faNormal), 0);
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_EQ(LongFileSetAttr(dir / "missing", 0), ENOENT);

  // Round trip through the attribute word.
  EXPECT_EQ(LongFileSetAttr(file, LongFileGetAttr(file) | faReadOnly), 0);
  EXPECT_EQ(LongFileGetAttr(file), static_cast<int>(faArchive | faReadOnly));
}

TEST(FileAttributes, LinkItselfIsLeftAloneWhenNotFollowed) {
  TTestDir dir;
  const std::string file = dir.Write("t", "abc");
  ::chmod(file.c_str(), 0644);
  std::filesystem::create_symlink(file, dir / "l");
  EXPECT_EQ(LongFileSetAttr(dir / "l", faReadOnly, false), 0);
  EXPECT_EQ(ModeOf(file), 0644u);
  EXPECT_EQ(LongFileSetAttr(dir / "l", faReadOnly, true), 0);
  EXPECT_EQ(ModeOf(file), 0444u);
}

TEST(ForceDirectories, CreatesMissingParents) {
  TTestDir dir;
  EXPECT_TRUE(LongForceDirectories(dir / "a/b//c/"));
  EXPECT_TRUE(LongDirectoryExists(dir / "a/b/c"));
  EXPECT_TRUE(LongForceDirectories(dir / "a/b/c"));
  dir.Write("file", "x");
  EXPECT_FALSE(LongForceDirectories(dir / "file/sub"));
  EXPECT_FALSE(LongForceDirectories(""));
}

TEST(FileQueries, SizeTimeAndSearchRecord) {
  TTestDir dir;
  const std::string file = dir.Write("data.bin", std::string(12345, 'x'));
  timespec times[2] = {{1'000'000'000, 0}, {1'600'000'000, 500'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);

  TSearchRec rec;
  ASSERT_TRUE(FindFileOnly(file, rec));
  EXPECT_EQ(rec.Name, "data.bin");
  EXPECT_EQ(rec.Size, 12345u);
  EXPECT_EQ(rec.Attr, faArchive);
  EXPECT_EQ(rec.LastWriteTime, UnixEpochFileTime + 16'000'000'005'000'000LL);
  EXPECT_EQ(rec.LastAccessTime, UnixEpochFileTime + 10'000'000'000'000'000LL);
  EXPECT_EQ(GetFileSize64(file), 12345u);
  EXPECT_EQ(GetFileLastWrite(file), rec.LastWriteTime);

  EXPECT_FALSE(FindFileOnly(dir.Path(), rec));
  EXPECT_EQ(GetFileSize64(dir.Path()), 0u);
  EXPECT_EQ(GetFileLastWrite(dir.Path()), 0);
  EXPECT_EQ(GetFileSize64(dir / "missing"), 0u);
  EXPECT_EQ(GetFileLastWrite(dir / "missing"), 0);
}

TEST(LinkLoops, OnlyLinksToOwnAncestorsLoopWhenFollowed) {
  TTestDir dir;
  std::filesystem::create_directories(dir / "a/b");
  std::filesystem::create_directories(dir / "ab");
  std::filesystem::create_directory_symlink(dir / "a", dir / "a/b/up");
  std::filesystem::create_directory_symlink("..", dir / "a/b/rel");
  std::filesystem::create_directory_symlink(dir / "ab", dir / "a/b/side");
  std::filesystem::create_directory_symlink(dir / "a", dir / "ab/notup");
  std::filesystem::create_symlink("self", dir / "a/self");

  const struct { std::string Name; bool Follow, Loop; } rows[] = {
      {"a/b/up", true, true}, {"a/b/rel", true, true}, {"a/b/side", true, false},
      {"ab/notup", true, false},  // "ab" starts with "a" as a string, but "a" is no ancestor of it
      {"a/self", true, true}, {"a/b/side", false, true}, {"a/b", false, false}, {"missing", false, false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(IsLinkLoop(dir / row.Name, row.Follow), row.Loop) << row.Name << " " << row.Follow;

  EXPECT_EQ(GetSymLinkTarget(dir / "a/b/rel"), GetSymLinkTarget(dir / "a"));
  EXPECT_EQ(GetSymLinkTarget(dir / "a/self"), "");
}

TEST(Directories, EmptinessCountsHiddenEntries) {
  TTestDir dir;
  std::filesystem::create_directory(dir / "empty");
  EXPECT_TRUE(IsEmptyDirectory(dir / "empty"));
  dir.Write("empty/.hidden", "");
  EXPECT_FALSE(IsEmptyDirectory(dir / "empty"));
  EXPECT_FALSE(IsEmptyDirectory(dir / "missing"));

  const struct { std::string Name; bool NotDot; } names[] = {{".", false}, {"..", false}, {"...", true}, {".a", true}};
  for (const auto& row : names) EXPECT_EQ(NotDotEntry(row.Name), row.NotDot) << row.Name;
}

TEST(Directories, DeleteTreeCountsFoldersAndFiles) {
  TTestDir dir;
  dir.Write("tree/f1", "1");
  dir.Write("tree/.f2", "2");
  dir.Write("tree/x/f3", "3");
  dir.Write("tree/x/y/f4", "4");
  std::filesystem::create_directories(dir / "tree/x/empty");
  dir.Write("outside/keep", "k");
  std::filesystem::create_directory_symlink(dir / "outside", dir / "tree/x/link");
  ::chmod((dir / "tree/x/f3").c_str(), 0444);
  ::chmod((dir / "tree/x/y").c_str(), 0555);

  int dirs = 0, errors = 0, files = 0;
  DeleteDirectoryTree(dir.Path(), "tree", dirs, errors, files);
  EXPECT_EQ(dirs, 4);
  EXPECT_EQ(files, 5);  // the link counts as a file and is removed, not followed
  EXPECT_EQ(errors, 0);
  EXPECT_FALSE(std::filesystem::exists(dir / "tree"));
  EXPECT_TRUE(std::filesystem::exists(dir / "outside/keep"));

  dirs = errors = files = 0;
  DeleteDirectoryTree(dir / "missing", "", dirs, errors, files);
  EXPECT_EQ(dirs + errors + files, 0);
}
