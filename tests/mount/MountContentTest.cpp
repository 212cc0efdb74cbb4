// SPDX-License-Identifier: Apache-2.0
// The mount's reading layer on real files made by gzip, zip, 7zz and the project's own
// writer: whole reads and random reads against the plain bytes, checkpoints, damage found at
// the end (EIO), a wrong password (EACCES), and the names a zip entry may take.
#include <gtest/gtest.h>

#include <cerrno>
#include <random>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "mount/MountContent.h"
#include "mount/MountNames.h"
#include "mount/MountTree.h"
#include "transfer/TestUtil.h"
#include "transfer/ZipRead.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TTempDir;
using test::WriteFile;

const std::string CPassword = "mount-test-password";

// Text that compresses like a document and varies enough to give deflate many blocks.
std::string Document(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  static const char* words[] = {"backup ", "restore ", "folder ", "archive ", "quorvex ", "data\n", "1234 ", "zip "};
  std::string text;
  while (text.size() < size) text += words[random() % 8];
  text.resize(size);
  return text;
}

bool Encrypt(const std::string& from, const std::string& to, const std::string& password) {
  auto in = TFileStream::Open(from, TOpenMode::Read);
  auto out = TFileStream::Open(to, TOpenMode::Create);
  if (!in || !out) return false;
  TEncryption enc(password, 0, 65536);
  return enc.EncryptStream(*in, *out, false);
}

// A .gze as the backup program writes it: gzip header with flag bit 5, the encrypted raw
// deflate body, CRC-32 and ISIZE of the plaintext.
bool MakeGze(const TTempDir& dir, const std::string& plainName, const std::string& gzeName) {
  const std::string py =
      "import sys,zlib,struct\n"
      "d=open(sys.argv[1],'rb').read()\n"
      "c=zlib.compressobj(6,zlib.DEFLATED,-15)\n"
      "open(sys.argv[2],'wb').write(c.compress(d)+c.flush())\n"
      "open(sys.argv[3],'wb').write(struct.pack('<II',zlib.crc32(d),len(d)))\n";
  if (!WriteFile(dir / "raw.py", py)) return false;
  if (!test::Run("python3 '" + dir / "raw.py" + "' '" + dir / plainName + "' '" + dir / "raw.bin" + "' '" + dir / "trailer.bin" + "'"))
    return false;
  if (!Encrypt(dir / "raw.bin", dir / "raw.enc", CPassword)) return false;
  const std::string header("\x1f\x8b\x08\x20\0\0\0\0\0\x03", 10);
  return WriteFile(dir / gzeName, header + ReadFile(dir / "raw.enc") + ReadFile(dir / "trailer.bin"));
}

std::shared_ptr<TContentContext> Context(const std::string& password, size_t cache = 8u << 20,
                                         size_t checkpoints = 4u << 20) {
  auto ctx = std::make_shared<TContentContext>();
  ctx->Password = password;
  ctx->HasPassword = !password.empty();
  ctx->Cache = std::make_shared<TChunkCache>(cache);
  ctx->CheckpointBudget = checkpoints;
  return ctx;
}

// The origin of the first entry named name in an archive.
TContentOrigin EntryOrigin(const std::string& archive, const std::string& name) {
  TZipRead zip(archive);
  zip.ReadDirectory();
  const int index = zip.Directory().IndexOf(name);
  TContentOrigin origin;
  origin.Kind = ckZipEntry;
  origin.Path = archive;
  origin.Name = archive + "/" + name;
  if (index >= 0) origin.Entry = zip.Directory().Objects(index);
  return origin;
}

// Reads the whole content in pieces of step bytes; the error of the first failed read.
int ReadAll(TContent& content, std::string& out, size_t step = 131072) {
  out.clear();
  std::vector<char> buffer(step);
  for (int64_t at = 0;;) {
    const ssize_t n = content.Read(buffer.data(), buffer.size(), at);
    if (n < 0) return static_cast<int>(n);
    if (n == 0) return 0;
    out.append(buffer.data(), static_cast<size_t>(n));
    at += n;
  }
}

// One way of storing the same plain bytes.
struct TStoredCase {
  const char* Label;
  const char* Tool;  // the shell command that makes "stored" from "plain.txt" ("" = our writer)
  TContentKind Kind;
  const char* Entry;  // zip entries: the entry name
};

const TStoredCase CStoredCases[] = {
    {"plain", "cp plain.txt stored", ckPlain, nullptr},
    {"gzip", "gzip -c -6 plain.txt > stored", ckGzip, nullptr},
    {"gzip, two members", "head -c 700000 plain.txt | gzip -c > stored && tail -c +700001 plain.txt | gzip -c >> stored",
     ckGzip, nullptr},
    {"gzip, zero padding", "gzip -c plain.txt > stored && head -c 512 /dev/zero >> stored", ckGzip, nullptr},
    {"enc (our writer)", "", ckEncrypted, nullptr},
    {"gze (our writer)", "", ckGzip, nullptr},
    {"zip deflated", "zip -q -9 stored plain.txt && mv stored.zip stored", ckZipEntry, "plain.txt"},
    {"zip stored", "zip -q -0 stored plain.txt && mv stored.zip stored", ckZipEntry, "plain.txt"},
    {"zip AES-256 deflated", "7zz a -tzip -mx5 -mem=AES256 -pmount-test-password stored.zip plain.txt && mv stored.zip stored",
     ckZipEntry, "plain.txt"},
    {"zip AES-128 stored", "7zz a -tzip -mx0 -mem=AES128 -pmount-test-password stored.zip plain.txt && mv stored.zip stored",
     ckZipEntry, "plain.txt"},
};

bool MakeStored(const TTempDir& dir, const TStoredCase& c) {
  if (std::string(c.Label) == "enc (our writer)") return Encrypt(dir / "plain.txt", dir / "stored", CPassword);
  if (std::string(c.Label) == "gze (our writer)") return MakeGze(dir, "plain.txt", "stored");
  return test::Run("cd '" + dir.Path() + "' && (" + c.Tool + ") >/dev/null 2>&1");
}

TContentOrigin OriginFor(const TTempDir& dir, const TStoredCase& c) {
  if (c.Kind == ckZipEntry) return EntryOrigin(dir / "stored", c.Entry);
  TContentOrigin origin;
  origin.Kind = c.Kind;
  origin.Path = dir / "stored";
  return origin;
}

TEST(MountContent, EveryKindReadsBackThePlainBytes) {
  for (const TStoredCase& c : CStoredCases) {
    SCOPED_TRACE(c.Label);
    TTempDir dir("qvmount");
    const std::string plain = Document(1500000, 7);
    ASSERT_TRUE(WriteFile(dir / "plain.txt", plain));
    ASSERT_TRUE(MakeStored(dir, c));
    TContent content(OriginFor(dir, c), Context(CPassword));
    ASSERT_EQ(content.Open(), 0) << content.Reason();
    EXPECT_EQ(content.Size(), static_cast<int64_t>(plain.size()));
    std::string got;
    // Odd pieces: reads that do not fall on the decoder's chunks.
    EXPECT_EQ(ReadAll(content, got, 100003), 0) << content.Reason();
    EXPECT_TRUE(got == plain);
  }
}

TEST(MountContent, RandomReadsMatchThePlainBytes) {
  for (const TStoredCase& c : CStoredCases) {
    SCOPED_TRACE(c.Label);
    TTempDir dir("qvmount");
    const std::string plain = Document(6 << 20, 11);
    ASSERT_TRUE(WriteFile(dir / "plain.txt", plain));
    ASSERT_TRUE(MakeStored(dir, c));
    // A small cache: most reads go back to a checkpoint rather than to a cached piece.
    TContent content(OriginFor(dir, c), Context(CPassword, 256 * 1024, 64u << 20));
    std::mt19937 random(3);
    std::vector<char> buffer(70000);
    for (int i = 0; i < 100; ++i) {
      const int64_t at = static_cast<int64_t>(random() % (plain.size() - 1));
      const size_t length = 1 + random() % buffer.size();
      const ssize_t n = content.Read(buffer.data(), length, at);
      ASSERT_GE(n, 0) << content.Reason();
      const size_t expect = std::min<size_t>(length, plain.size() - static_cast<size_t>(at));
      ASSERT_EQ(static_cast<size_t>(n), expect) << "at " << at;
      ASSERT_TRUE(std::equal(buffer.begin(), buffer.begin() + n, plain.begin() + at)) << "at " << at;
    }
    if (c.Kind == ckGzip || std::string(c.Label).find("deflated") != std::string::npos)
      EXPECT_GE(content.CheckpointCount(), 3u) << "a 6 MiB stream keeps checkpoints at least every 2 MiB";
  }
}

// Damage and where it is found: the read that completes the file fails with EIO.
struct TDamageCase {
  const char* Label;
  size_t Stored;      // index into CStoredCases
  int64_t FromEnd;    // the byte changed, counted from the end of the stored file
};

const TDamageCase CDamageCases[] = {
    {"gzip CRC-32", 1, 8},
    {"gzip ISIZE", 1, 2},
    {"enc authentication code", 4, 3},
    {"enc ciphertext", 4, 5000},
    {"gze authentication code", 5, 12},
    {"gze CRC-32", 5, 8},
    {"zip stored data", 7, 200},
    {"zip AES stored ciphertext", 9, 300},
};

TEST(MountContent, DamageFailsTheReadThatReachesTheEnd) {
  for (const TDamageCase& d : CDamageCases) {
    SCOPED_TRACE(d.Label);
    const TStoredCase& c = CStoredCases[d.Stored];
    TTempDir dir("qvmount");
    const std::string plain = Document(400000, 5);
    ASSERT_TRUE(WriteFile(dir / "plain.txt", plain));
    ASSERT_TRUE(MakeStored(dir, c));
    const TContentOrigin origin = OriginFor(dir, c);  // the directory before the damage
    std::string stored = ReadFile(dir / "stored");
    if (c.Kind == ckZipEntry) {
      // Counted from the end of the entry's data, before the directory.
      TZipRead zip(dir / "stored");
      zip.ReadDirectory();
      stored[static_cast<size_t>(zip.DirectoryOffset() - d.FromEnd)] ^= 0x40;
    } else {
      stored[stored.size() - static_cast<size_t>(d.FromEnd)] ^= 0x40;
    }
    ASSERT_TRUE(WriteFile(dir / "stored", stored));
    std::vector<std::string> logged;
    auto ctx = Context(CPassword);
    ctx->Log = [&](const std::string& line) { logged.push_back(line); };
    TContent content(origin, ctx);
    std::string got;
    EXPECT_EQ(ReadAll(content, got), -EIO);
    EXPECT_FALSE(logged.empty());
    // A read of the start alone still works, and the end fails again.
    char head[16];
    if (c.Kind != ckGzip) {
      EXPECT_EQ(content.Read(head, sizeof head, 0), static_cast<ssize_t>(sizeof head));
    }
    EXPECT_LT(content.Read(head, sizeof head, static_cast<int64_t>(plain.size()) - 4), 0);
  }
}

TEST(MountContent, WrongOrMissingPasswordIsEacces) {
  const struct {
    const char* Password;
    int Expect;
  } rows[] = {{"another password", -EACCES}, {"", -EACCES}, {"mount-test-password", 0}};
  for (const size_t stored : {size_t{4}, size_t{5}, size_t{8}, size_t{9}}) {
    const TStoredCase& c = CStoredCases[stored];
    TTempDir dir("qvmount");
    ASSERT_TRUE(WriteFile(dir / "plain.txt", Document(5000, 1)));
    ASSERT_TRUE(MakeStored(dir, c));
    for (const auto& row : rows) {
      SCOPED_TRACE(std::string(c.Label) + " with '" + row.Password + "'");
      TContent content(OriginFor(dir, c), Context(row.Password));
      char buffer[100];
      const ssize_t n = content.Read(buffer, sizeof buffer, 0);
      if (row.Expect == 0)
        EXPECT_EQ(n, static_cast<ssize_t>(sizeof buffer));
      else
        EXPECT_EQ(n, row.Expect);
    }
  }
}

TEST(MountContent, SizeThatDisagreesWithTheDataIsEio) {
  TTempDir dir("qvmount");
  ASSERT_TRUE(WriteFile(dir / "plain.txt", Document(300000, 2)));
  // A gzip file cut short: the data end before the size the trailer would state.
  ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && gzip -c plain.txt | head -c 20000 > cut.gz"));
  TContentOrigin origin;
  origin.Kind = ckGzip;
  origin.Path = dir / "cut.gz";
  TContent content(origin, Context(""));
  std::string got;
  EXPECT_EQ(ReadAll(content, got), -EIO);
}

TEST(MountContent, LargeGzipOfSeveralMembersFailsAtTheEndNotSilently) {
  // Beyond the size that is unpacked to learn it, the last member's ISIZE is shown: reading
  // on past it must not end in a short file that looks complete.
  TTempDir dir("qvmount");
  ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && head -c 3145728 /dev/urandom > a.bin && head -c 3145728 /dev/urandom > b.bin"));
  ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && gzip -c -1 a.bin > two.gz && gzip -c -1 b.bin >> two.gz"));
  EXPECT_EQ(GzipShownSize(dir / "two.gz"), 3 << 20);
  TContentOrigin origin;
  origin.Kind = ckGzip;
  origin.Path = dir / "two.gz";
  origin.ShownSize = GzipShownSize(origin.Path);
  TContent content(origin, Context(""));
  std::string got;
  EXPECT_EQ(ReadAll(content, got), -EIO);
  EXPECT_NE(content.Reason().find("several gzip members"), std::string::npos) << content.Reason();
}

TEST(MountNames, EntryPathParts) {
  const struct {
    const char* Name;
    std::vector<std::string> Parts;  // empty: refused
  } rows[] = {
      {"docs/a.txt", {"docs", "a.txt"}},
      {"docs//./a.txt", {"docs", "a.txt"}},
      {"a", {"a"}},
      {"folder/", {"folder"}},
      {"../evil", {}},
      {"docs/../../evil", {}},
      {"/etc/passwd", {}},
      {"C:evil", {}},
      {"./", {}},
      {"", {}},
      {"a\\..\\..\\b", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const auto parts = EntryPathParts(row.Name);
    if (row.Parts.empty())
      EXPECT_FALSE(parts.has_value());
    else
      EXPECT_EQ(parts.value_or(std::vector<std::string>{}), row.Parts);
  }
  EXPECT_FALSE(EntryPathParts(std::string(300, 'x')).has_value());
  EXPECT_FALSE(EntryPathParts(std::string("a\0b", 3)).has_value());
}

// The tree of a folder: restored names, an archive as a folder, refused names left out.
TEST(MountTree, FolderViewShowsRestoredNamesAndArchiveEntries) {
  TTempDir dir("qvmount");
  ASSERT_TRUE(test::Run("mkdir -p '" + dir / "backup/sub" + "' '" + dir / "z/inner" + "'"));
  ASSERT_TRUE(WriteFile(dir / "backup/sub/a.txt", Document(1000, 1)));
  ASSERT_TRUE(test::Run("gzip '" + dir / "backup/sub/a.txt" + "'"));
  ASSERT_TRUE(WriteFile(dir / "z/inner/b.txt", "inner\n"));
  ASSERT_TRUE(test::Run("cd '" + dir / "z" + "' && zip -q -r ../backup/arch.zip inner && ln -s ../../etc/passwd up && zip -q -y ../backup/arch.zip up"));
  TMountConfig config;
  config.Folder = dir / "backup";
  TMountTree tree(config, {});
  std::string error;
  ASSERT_TRUE(tree.Prepare(error)) << error;
  const struct {
    const char* Path;
    int Error;
    mode_t Type;
    int64_t Size;
  } rows[] = {
      {"/sub/a.txt", 0, S_IFREG, 1000},
      {"/sub/a.txt.gz", -ENOENT, 0, 0},
      {"/arch.zip", 0, S_IFDIR, 0},
      {"/arch.zip/inner/b.txt", 0, S_IFREG, 6},
      {"/arch.zip/up", -ENOENT, 0, 0},  // a link that leaves the archive is refused
      {"/sub/a.txt/x", -ENOTDIR, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Path);
    int err = 1;
    TMountNode* node = tree.Find(row.Path, err);
    EXPECT_EQ(err, row.Error);
    if (row.Error != 0) continue;
    ASSERT_NE(node, nullptr);
    struct stat st {};
    ASSERT_EQ(tree.Stat(*node, st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, row.Type);
    if (row.Type == S_IFREG) EXPECT_EQ(st.st_size, row.Size);
  }
}

}  // namespace
}  // namespace qv
