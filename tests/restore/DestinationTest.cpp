// SPDX-License-Identifier: Apache-2.0
// The destination is a boundary for every kind of backup file: hostile links, names that climb
// out, the backup's permission bits, and a protection that stays unless the file is replaced.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "ScriptedView.h"
#include "base/FtGlobal.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPassword = "secret";

bool Sh(const std::string& command) { return qv::test::Run(command); }

enum class TKind { Plain, Gz, Enc, Zip };

const char* KindName(TKind kind) {
  switch (kind) {
    case TKind::Plain: return "plain";
    case TKind::Gz: return "gz";
    case TKind::Enc: return "enc";
    case TKind::Zip: return "zip";
  }
  return "";
}

// Kind, mode and content of everything below a folder (links by their text).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> items;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string path = it->path().string();
    struct stat st {};
    ::lstat(path.c_str(), &st);
    std::string value = std::to_string(st.st_mode);
    if (S_ISLNK(st.st_mode)) value += " -> " + fs::read_symlink(path, ec).string();
    else if (S_ISREG(st.st_mode)) value += " " + ReadFile(path);
    items[path.substr(root.size())] = value;
  }
  return items;
}

class Destination : public TRestoreFixture {
 protected:
  Destination() : TRestoreFixture("qvdest") {}
  void SetUp() override {
    TRestoreFixture::SetUp();
    outside = dir / "outside";
    fs::create_directories(outside);
    fs::create_directories(dst);
    ASSERT_TRUE(WriteFile(outside + "/victim", "precious"));
    ::chmod((outside + "/victim").c_str(), 0444);
    view.Mode = rmDirectory;
    view.Overwrite = omAlways;
    view.Protected = true;
  }

  // Puts the backup of relative name into the source as kind and selects what restores it.
  void Backup(TKind kind, const std::string& name, const std::string& data, mode_t mode = 0644) {
    const std::string path = Src(name);
    fs::create_directories(fs::path(path).parent_path());
    switch (kind) {
      case TKind::Plain:
      case TKind::Zip: ASSERT_TRUE(WriteFile(path, data)); break;
      case TKind::Gz:
        ASSERT_TRUE(WriteFile(path, data));
        ASSERT_TRUE(Sh("gzip -n -f '" + path + "'"));
        break;
      case TKind::Enc: ASSERT_TRUE(WriteEncFile(path + ".enc", data, kPassword)); break;
    }
    const std::string written = kind == TKind::Gz ? path + ".gz" : kind == TKind::Enc ? path + ".enc" : path;
    ::chmod(written.c_str(), mode);
    if (kind == TKind::Zip) {
      ASSERT_TRUE(Sh("cd '" + src + "' && zip -q -X '" + dir / "backup.zip" + "' '" + name + "'"));
      ::unlink(path.c_str());
      view.Folder = dir / "backup.zip";
    } else {
      view.Folder = src;
    }
    view.PasswordAnswers.push_back({paOk, kPassword});
  }

  std::string Joined(const std::vector<std::string>& lines) const {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
  }

  std::string outside;
};

struct TLinkCase {
  const char* Name;
  std::function<void(const std::string& dst, const std::string& outside)> Seed;
  const char* Backup;      // relative name of the backed-up file
  bool Refused;            // an error line that says the name leads outside
  const char* RegularAt;   // otherwise: where a regular file with the data must be, below dst
};

const TLinkCase kLinks[] = {
    {"folder link to outside", [](auto& d, auto& o) { fs::create_directory_symlink(o, d + "/sub"); },
     "sub/y.txt", true, nullptr},
    {"folder link, new folder below it",
     [](auto& d, auto& o) { fs::create_directory_symlink(o, d + "/sub"); }, "sub/new/y.txt", true, nullptr},
    {"file link to a protected victim",
     [](auto& d, auto& o) { fs::create_symlink(o + "/victim", d + "/t.txt"); }, "t.txt", false, "t.txt"},
    {"dangling file link", [](auto& d, auto& o) { fs::create_symlink(o + "/new", d + "/t.txt"); }, "t.txt",
     false, "t.txt"},
};

TEST_F(Destination, HostileLinksChangeNothingOutside) {
  for (TKind kind : {TKind::Plain, TKind::Gz, TKind::Enc, TKind::Zip}) {
    if (kind == TKind::Zip && !Sh("command -v zip >/dev/null")) continue;
    for (const TLinkCase& row : kLinks) {
      SCOPED_TRACE(std::string(KindName(kind)) + ": " + row.Name);
      TTempDir::RemoveTree(dst);
      TTempDir::RemoveTree(src);
      ::unlink((dir / "backup.zip").c_str());
      fs::create_directories(dst);
      fs::create_directories(src);
      row.Seed(dst, outside);
      Backup(kind, row.Backup, "restored");
      const auto before = Snapshot(outside);
      const auto parentBefore = fs::status(dir.Path()).permissions();
      view.Details.clear();
      view.DetailMessage.clear();
      session.Start(view.RunOptions());
      EXPECT_EQ(Snapshot(outside), before);
      EXPECT_EQ(fs::status(dir.Path()).permissions(), parentBefore);
      if (row.Refused) {
        EXPECT_NE(Joined(view.Details).find("Name refused"), std::string::npos) << Joined(view.Details) << "|" << Joined(view.Errors) << "|" << view.Summary();
      } else {
        struct stat st {};
        ASSERT_EQ(::lstat(Dst(row.RegularAt).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(ReadFile(Dst(row.RegularAt)), "restored");
        EXPECT_EQ(view.Summary(), "1 file copied");
      }
    }
  }
}

TEST_F(Destination, NamesOfFoldersAreRefused) {
  const struct {
    const char* File;  // in the source folder
    bool Unpack;
  } rows[] = {{"...gz", true}, {"..gze", true}, {"..enc", false}, {".gz", true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.File);
    TTempDir::RemoveTree(src);
    fs::create_directories(src);
    ASSERT_TRUE(WriteFile(Src("x"), "x"));
    ASSERT_TRUE(Sh("gzip -n -c '" + Src("x") + "' > '" + Src(row.File) + "' && rm '" + Src("x") + "'"));
    view.Unpack = row.Unpack;
    view.Folder = src;
    view.Details.clear();
    const auto parentBefore = ListDir(dir.Path());
    const auto dirMode = fs::status(dir.Path()).permissions();
    ::chmod(dir.Path().c_str(), 0555);  // the destination's parent: must stay as it is
    session.Start(view.RunOptions());
    EXPECT_EQ(fs::status(dir.Path()).permissions(), fs::perms(0555));
    ::chmod(dir.Path().c_str(), static_cast<mode_t>(dirMode));
    EXPECT_EQ(ListDir(dir.Path()), parentBefore);
    EXPECT_NE(Joined(view.Details).find("Name refused"), std::string::npos) << Joined(view.Details);
  }
}

TEST_F(Destination, RestoredFilesGetTheBackupsPermissionBits) {
  const mode_t modes[] = {0600, 0755, 0640, 0444};
  for (TKind kind : {TKind::Plain, TKind::Gz, TKind::Enc}) {
    for (mode_t mode : modes) {
      SCOPED_TRACE(std::string(KindName(kind)) + " " + std::to_string(mode));
      TTempDir::RemoveTree(src);
      TTempDir::RemoveTree(dst);
      fs::create_directories(src);
      Backup(kind, "f.txt", "data", mode);
      session.Start(view.RunOptions());
      ASSERT_EQ(ReadFile(Dst("f.txt")), "data");
      struct stat st {};
      ASSERT_EQ(::stat(Dst("f.txt").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, mode);
    }
  }
}

TEST_F(Destination, ProtectionStaysWhenTheTransferFails) {
  const std::string target = Dst("a.txt");
  const struct {
    const char* Name;
    std::function<void()> Make;  // a backup of a.txt whose restore fails
  } rows[] = {
      {"gzip with a wrong CRC", [&] {
         Backup(TKind::Gz, "a.txt", "new data");
         std::string gz = ReadFile(Src("a.txt.gz"));
         gz[gz.size() - 8] ^= 0x55;
         ASSERT_TRUE(WriteFile(Src("a.txt.gz"), gz));
       }},
      {"encrypted, password skipped", [&] {
         Backup(TKind::Enc, "a.txt", "new data");
         view.PasswordAnswers.clear();
         view.PasswordAnswers.push_back({paOk, "wrong"});
         view.PasswordAnswers.push_back({paSkip, ""});
       }},
      {"encrypted, one flipped bit", [&] {
         Backup(TKind::Enc, "a.txt", "new data");
         std::string enc = ReadFile(Src("a.txt.enc"));
         enc[enc.size() - 12] ^= 0x01;
         ASSERT_TRUE(WriteFile(Src("a.txt.enc"), enc));
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TTempDir::RemoveTree(src);
    fs::create_directories(src);
    view.PasswordAnswers.clear();
    ::chmod(target.c_str(), 0644);
    ASSERT_TRUE(WriteFile(target, "old"));
    ::chmod(target.c_str(), 0444);
    row.Make();
    session.Start(view.RunOptions());
    EXPECT_EQ(ReadFile(target), "old");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_TRUE(LeftoverTempFiles(dst).empty());
  }
  // The same target replaced by a good backup gets the backup's bits.
  TTempDir::RemoveTree(src);
  fs::create_directories(src);
  view.PasswordAnswers.clear();
  Backup(TKind::Gz, "a.txt", "new data", 0640);
  session.Start(view.RunOptions());
  EXPECT_EQ(ReadFile(target), "new data");
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
}  // namespace qv::test
