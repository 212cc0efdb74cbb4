// SPDX-License-Identifier: Apache-2.0
// The Win32 platform layer: names Windows cannot hold, attributes, case-insensitive names,
// the three file times, and links in the destination (run under Wine in CI).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/FileUtils.h"
#include "base/FtGlobal.h"
#include "base/PathUtils.h"
#include "base/SysInfo.h"
#include "base/TargetFile.h"
#include "base/TimeUtils.h"
#include "restore/DirList.h"
#include "transfer/FilePropUtils.h"

namespace qv {
namespace {

// A fresh folder below the user's temporary folder, "/"-separated, removed at the end.
class TWinDir {
 public:
  TWinDir() {
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    std::string path = qv_utf8(std::wstring(base, n)) + "qvwin-XXXXXX";
    for (auto& c : path)
      if (c == '\\') c = '/';
    if (mkdtemp(path.data())) FPath = path;
  }
  ~TWinDir() {
    int dirs = 0, errors = 0, files = 0;
    if (!FPath.empty()) DeleteDirectoryTree(FPath, "", dirs, errors, files);
  }
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

bool RunsUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

DWORD WinAttributes(const std::string& path) { return GetFileAttributesW(qv_wide_path(path).c_str()); }

std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const TDirEntry& e : ListDirectory(folder, 0u, nullptr)) names.push_back(e.Name);
  return names;
}

// Writes a target through the same path a worker takes: temporary file, then the rename.
int WriteTarget(const std::string& root, const std::string& dest, const std::string& data,
                bool replaceProtected = false) {
  TTargetRules rules;
  rules.Root = root;
  rules.ReplaceProtected = replaceProtected;
  TTargetFile target;
  std::unique_ptr<TFileStream> stream;
  if (const int detail = target.Create(rules, dest, stream); detail != 0) return detail;
  if (stream->Write(data.data(), data.size()) != static_cast<int64_t>(data.size())) return errWriteFile;
  return target.Commit(std::move(stream));
}

std::string ReadAll(const std::string& path) {
  auto stream = TFileStream::Open(path, TOpenMode::Read);
  if (!stream) return "<missing>";
  std::string data(static_cast<size_t>(stream->Size()), '\0');
  stream->Read(data.data(), data.size());
  return data;
}

struct TNameRow {
  const char* Name;
  bool Allowed;
  uint32_t Refusal = errNameNotHeld;  // the detail of a refused name
};

class WindowsNames : public ::testing::TestWithParam<TNameRow> {};

TEST_P(WindowsNames, RefusedNeverRenamed) {
  const TNameRow row = GetParam();
  EXPECT_EQ(IsPlainName(row.Name), row.Allowed);
  TWinDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const int detail = WriteTarget(dir.Path(), dir / row.Name, "data");
  if (row.Allowed) {
    EXPECT_EQ(detail, 0);
    EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{row.Name});
    EXPECT_EQ(ReadAll(dir / row.Name), "data");
  } else {
    EXPECT_EQ(detail, row.Refusal);
    EXPECT_EQ(NameRefusal(row.Name), static_cast<int>(row.Refusal));
    EXPECT_TRUE(Names(dir.Path()).empty()) << "nothing written under another name";
  }
  // The same name as a folder on the way to a file.
  const int below = WriteTarget(dir.Path(), dir / (std::string(row.Name) + "/inner.txt"), "x");
  if (row.Allowed) {
    EXPECT_NE(below, errNameNotHeld);  // a file of that name is there now: not a folder
    EXPECT_NE(below, errNameRefused);
  } else {
    EXPECT_EQ(below, row.Refusal);
    EXPECT_TRUE(Names(dir.Path()).empty()) << "nothing written under another name";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsNames,
    ::testing::Values(TNameRow{"CON", false}, TNameRow{"con", false}, TNameRow{"aux.txt", false},
                      TNameRow{"NUL.tar.gz", false}, TNameRow{"prn", false}, TNameRow{"COM1", false},
                      TNameRow{"com9.log", false}, TNameRow{"LPT1.txt", false}, TNameRow{"COM\xC2\xB9", false},
                      TNameRow{"CONIN$", false}, TNameRow{"name.", false}, TNameRow{"name ", false},
                      TNameRow{"a:b", false}, TNameRow{"file.txt:stream", false}, TNameRow{"a<b", false},
                      TNameRow{"a>b", false}, TNameRow{"a|b", false}, TNameRow{"a?b", false},
                      TNameRow{"a*b", false}, TNameRow{"a\"b", false}, TNameRow{"a\\b", false},
                      TNameRow{"tab\tname", false}, TNameRow{"..", false, errNameRefused},
                      TNameRow{"console.txt", true}, TNameRow{"CONX", true}, TNameRow{"COM10", true},
                      TNameRow{"auxiliary", true}, TNameRow{".hidden", true}, TNameRow{"a.b.c", true},
                      TNameRow{"\xC3\xBC" "ber.txt", true}, TNameRow{"\xE6\x97\xA5\xE6\x9C\xAC.txt", true},
                      TNameRow{" leading space", true}));

struct TAttrRow {
  uint32_t Set;
  DWORD Expected;  // the bits of interest as Windows then reports them
};

class WindowsAttributes : public ::testing::TestWithParam<TAttrRow> {};

TEST_P(WindowsAttributes, SetAndReadBack) {
  const TAttrRow row = GetParam();
  TWinDir dir;
  ASSERT_EQ(WriteTarget(dir.Path(), dir / "f.txt", "x"), 0);
  ASSERT_EQ(LongFileSetAttr(dir / "f.txt", static_cast<int>(row.Set), false), 0);
  const DWORD mask = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  EXPECT_EQ(WinAttributes(dir / "f.txt") & mask, row.Expected);
  const int read = LongFileGetAttr(dir / "f.txt", false);
  ASSERT_GE(read, 0);
  EXPECT_EQ(static_cast<DWORD>(read) & mask, row.Expected);
  // Write protection is the one a restore checks (a write open is refused by Windows itself;
  // Wine run as root does not refuse it, so that is not asked here).
  EXPECT_EQ(InspectTarget(dir.Path(), dir / "f.txt").ReadOnly, (row.Expected & FILE_ATTRIBUTE_READONLY) != 0);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsAttributes,
                         ::testing::Values(TAttrRow{faReadOnly, FILE_ATTRIBUTE_READONLY},
                                           TAttrRow{faHidden, FILE_ATTRIBUTE_HIDDEN},
                                           TAttrRow{faSysFile, FILE_ATTRIBUTE_SYSTEM},
                                           TAttrRow{faReadOnly | faHidden, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
                                           TAttrRow{faArchive, 0}, TAttrRow{0, 0}));

struct TProtectRow {
  bool ReplaceProtected;
  int Expected;
  const char* Content;  // afterwards
};

class WindowsProtected : public ::testing::TestWithParam<TProtectRow> {};

TEST_P(WindowsProtected, ReplacedOnlyWhenAllowed) {
  const TProtectRow row = GetParam();
  TWinDir dir;
  ASSERT_EQ(WriteTarget(dir.Path(), dir / "p.txt", "old"), 0);
  ASSERT_EQ(LongFileSetAttr(dir / "p.txt", faReadOnly, false), 0);
  EXPECT_EQ(WriteTarget(dir.Path(), dir / "p.txt", "new", row.ReplaceProtected), row.Expected);
  EXPECT_EQ(ReadAll(dir / "p.txt"), row.Content);
  EXPECT_EQ(Names(dir.Path()), std::vector<std::string>{"p.txt"}) << "no temporary file left";
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsProtected,
                         ::testing::Values(TProtectRow{false, errCreateFile, "old"}, TProtectRow{true, 0, "new"}));

struct TCaseRow {
  const char* Existing;
  const char* Restored;
};

class WindowsCase : public ::testing::TestWithParam<TCaseRow> {};

// A name that differs only in case is the same file: seen as existing, and replaced in place.
TEST_P(WindowsCase, OneFileForBothSpellings) {
  const TCaseRow row = GetParam();
  TWinDir dir;
  ASSERT_EQ(WriteTarget(dir.Path(), dir / row.Existing, "first"), 0);
  const TTargetState state = InspectTarget(dir.Path(), dir / row.Restored);
  EXPECT_TRUE(state.Exists);
  EXPECT_FALSE(state.IsFolder);
  ASSERT_EQ(WriteTarget(dir.Path(), dir / row.Restored, "second"), 0);
  EXPECT_EQ(Names(dir.Path()).size(), 1u);
  EXPECT_EQ(ReadAll(dir / row.Existing), "second");
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsCase,
                         ::testing::Values(TCaseRow{"Report.TXT", "report.txt"}, TCaseRow{"a.txt", "A.TXT"},
                                           TCaseRow{"\xC3\x84pfel.txt", "\xC3\xA4PFEL.txt"}));

TEST(WindowsTimes, AllThreeSetOnTheOpenFile) {
  TWinDir dir;
  auto stream = TFileStream::Open(dir / "t.txt", TOpenMode::Create);
  ASSERT_TRUE(stream);
  TFileTimestamps times;
  times.Valid = true;
  times.CreationTime = 132000000000000000LL;  // 2019
  times.LastAccessTime = 132100000000000000LL;
  times.LastWriteTime = 132200000000000123LL;
  ASSERT_EQ(SetFileTimestamps(stream->Handle(), times, false, true), 0);
  stream.reset();
  const TFileTimestamps back = GetFileTimestamps(dir / "t.txt", false);
  ASSERT_TRUE(back.Valid);
  EXPECT_EQ(back.LastAccessTime, times.LastAccessTime);
  EXPECT_EQ(back.LastWriteTime, times.LastWriteTime);
  // Wine keeps no creation time of its own on a Linux file system: it reports another time.
  if (!RunsUnderWine()) {
    EXPECT_EQ(back.CreationTime, times.CreationTime);
  }
}

TEST(WindowsTimes, LastWriteOnlyLeavesCreation) {
  TWinDir dir;
  auto stream = TFileStream::Open(dir / "t.txt", TOpenMode::Create);
  ASSERT_TRUE(stream);
  const TFileTimestamps before = GetFileTimestamps(dir / "t.txt", false);
  TFileTimestamps times;
  times.Valid = true;
  times.CreationTime = 132000000000000000LL;
  times.LastWriteTime = 132200000000000000LL;
  ASSERT_EQ(SetFileTimestamps(stream->Handle(), times, false, false), 0);
  stream.reset();
  const TFileTimestamps back = GetFileTimestamps(dir / "t.txt", false);
  EXPECT_EQ(back.LastWriteTime, times.LastWriteTime);
  if (!RunsUnderWine()) {
    EXPECT_EQ(back.CreationTime, before.CreationTime);
  }
}

// A symbolic link or junction in the destination that leads out of it is never entered.
TEST(WindowsLinks, FolderLinkInDestinationIsRefused) {
  TWinDir dir;
  ASSERT_TRUE(LongForceDirectories(dir / "dest") && LongForceDirectories(dir / "outside"));
  const std::wstring link = qv_wide_path(dir / "dest/docs");
  if (!CreateSymbolicLinkW(link.c_str(), qv_wide_path(dir / "outside").c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "this system makes no symbolic links (Wine 8: tests/win32/cli_wine.sh places a "
                    "Unix link instead)";
  EXPECT_EQ(WriteTarget(dir / "dest", dir / "dest/docs/a.txt", "x"), errNameRefused);
  EXPECT_TRUE(Names(dir / "outside").empty());
  TFd folder;
  EXPECT_EQ(OpenFolderBeneath(dir / "dest", "docs", true, folder), errNameRefused);
}

TEST(WindowsLinks, ListingReportsLinks) {
  TWinDir dir;
  ASSERT_TRUE(LongForceDirectories(dir / "outside"));
  const std::wstring link = qv_wide_path(dir / "link");
  if (!CreateSymbolicLinkW(link.c_str(), qv_wide_path(dir / "outside").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << "this system makes no symbolic links";
  const TDirListing listing = ListDirectory(dir.Path(), ldFolderIds, nullptr);
  ASSERT_EQ(listing.size(), 2u);
  for (const TDirEntry& e : listing) EXPECT_EQ(e.Type, e.Name == "link" ? TDirEntry::deLink : TDirEntry::deFolder);
}

TEST(WindowsPaths, LongPathsBeyondMaxPath) {
  TWinDir dir;
  std::string deep;
  for (int i = 0; i < 12; ++i) deep += (i ? "/" : "") + std::string(40, static_cast<char>('a' + i));
  ASSERT_GT((dir / deep).size(), 300u);
  ASSERT_EQ(WriteTarget(dir.Path(), dir / (deep + "/file.txt"), "deep"), 0);
  EXPECT_EQ(ReadAll(dir / (deep + "/file.txt")), "deep");
  EXPECT_EQ(GetFileSize64(dir / (deep + "/file.txt")), 4u);
}

TEST(WindowsPaths, BackslashesAndForwardSlashesReachTheSameFile) {
  TWinDir dir;
  ASSERT_EQ(WriteTarget(dir.Path(), dir / "s.txt", "slash"), 0);
  std::string back = dir / "s.txt";
  for (auto& c : back)
    if (c == '/') c = '\\';
  EXPECT_EQ(ReadAll(back), "slash");
}

struct TAbsoluteRow {
  const char* Path;
  bool Absolute;
};

class WindowsAbsolutePaths : public ::testing::TestWithParam<TAbsoluteRow> {};

TEST_P(WindowsAbsolutePaths, DrivesSharesAndRoots) {
  EXPECT_EQ(IsAbsolutePath(GetParam().Path), GetParam().Absolute) << GetParam().Path;
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsAbsolutePaths,
                         ::testing::Values(TAbsoluteRow{"C:/Backup", true}, TAbsoluteRow{"c:\\Backup", true},
                                           TAbsoluteRow{"\\\\server\\share", true}, TAbsoluteRow{"/tmp", true},
                                           TAbsoluteRow{"C:Backup", false}, TAbsoluteRow{"Backup/C:", false},
                                           TAbsoluteRow{"docs", false}, TAbsoluteRow{"", false}));

// The folders of the user, as Windows has them, "/"-separated and there.
TEST(WindowsFolders, TempAndSettingsFoldersExist) {
  const std::string temp = GetTempDir();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '/');
  EXPECT_EQ(temp.find('\\'), std::string::npos);
  EXPECT_TRUE(LongDirectoryExists(temp));
  for (const int id : {csidlAppData, csidlLocalAppData, csidlPersonal}) {
    const std::string folder = GetSpecialFolder(id);
    EXPECT_TRUE(IsAbsolutePath(folder)) << id << ": " << folder;
    EXPECT_TRUE(LongDirectoryExists(folder)) << id << ": " << folder;
  }
  EXPECT_TRUE(LongDirectoryExists(GetProfileDir()));
}

}  // namespace
}  // namespace qv
