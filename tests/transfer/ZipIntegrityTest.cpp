// SPDX-License-Identifier: Apache-2.0
// What the zip reader refuses, and why: methods and encryptions it cannot handle, damaged
// sizes and descriptors, entries sharing their bytes, link entries, and single flipped bits
// anywhere in the headers of real tools' archives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

#include "base/FtGlobal.h"
#include "transfer/ZipTestUtil.h"

using namespace qv;
using namespace qv::test;

namespace {

class ZipIntegrityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.Ok());
    ASSERT_EQ(::mkdir((Dir / "src").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((Dir / "out").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(Dir / "src/f.bin", Content));
    // Compressible, so that every tool really uses the method it is asked for.
    ASSERT_TRUE(WriteFile(Dir / "src/t.txt", std::string(20000, 'q') + Content));
  }
  bool InSrc(const std::string& command) const {
    return test::Run("cd '" + Dir.Path() + "/src' && ( " + command + " ) >/dev/null 2>&1");
  }
  std::string Out(const std::string& name) const { return Dir / ("out/" + name); }

  // Binary bytes (NUL included): no flip may turn them into an acceptable link target.
  const std::string Content = RandomBytes(3000, 17);
  TTempDir Dir{"qvzipint"};
};

// The python helpers that patch archives: header fields by offset, entries written by hand.
const char* kPatcher = R"PY(
import struct, zlib
def patch(path, at, fmt, value):
    d = bytearray(open(path, 'rb').read()); struct.pack_into(fmt, d, at, value)
    open(path, 'wb').write(d)
def central(path):
    d = open(path, 'rb').read(); return d.find(b'PK\x01\x02')
def descriptor(path):
    d = open(path, 'rb').read(); return d.find(b'PK\x07\x08')
def write(path, locals_, entries, count=None, zip64_count=None):
    # locals_: [(name, method, data, crc)]; entries: [(name, local index, csize)]. Both sizes
    # are the length of data (patch them for anything else).
    out = bytearray(); offsets = []
    for name, method, data, crc in locals_:
        n = name.encode(); offsets.append(len(out))
        out += struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0, method, 0, 0x21, crc, len(data), len(data), len(n), 0)
        out += n + data
    cd = len(out); central = bytearray()
    for name, i, csize in entries:
        n = name.encode(); _, method, data, crc = locals_[i]
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 20, 20, 0, method, 0, 0x21, crc,
                               len(data) if csize is None else csize, len(data), len(n), 0, 0, 0, 0, 0, offsets[i])
        central += n
    out += central
    total = len(entries) if count is None else count
    if zip64_count is not None:
        z64 = len(out)
        out += struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, zip64_count, zip64_count, len(central), cd)
        out += struct.pack('<IIQI', 0x07064B50, 0, z64, 1)
        out += struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, len(central), 0xFFFFFFFF, 0)
    else:
        out += struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, total, total, len(central), cd, 0)
    open(path, 'wb').write(out)
)PY";

}  // namespace

// One row per archive that must not restore, with the code and the words that say why.
TEST_F(ZipIntegrityTest, EntriesThatCannotBeRestoredSayWhy) {
  ASSERT_TRUE(InSrc("zip -q -Z bzip2 ../bzip2.zip t.txt"));
  ASSERT_TRUE(InSrc("7zz a -tzip -mm=LZMA ../lzma.zip t.txt"));
  ASSERT_TRUE(InSrc("7zz a -tzip -mm=Deflate64 ../deflate64.zip t.txt"));
  ASSERT_TRUE(InSrc("7zz a -tzip -mm=BZip2 -mem=AES256 -ppw ../aes-bzip2.zip t.txt"));
  ASSERT_TRUE(InSrc("zip -q -e -P pw ../zipcrypto.zip f.bin"));
  ASSERT_TRUE(InSrc("7zz a -tzip -mx=0 -mem=AES256 -ppw ../aes.zip f.bin"));
  for (const char* copy : {"aes-short", "aes-flipped", "aes-past-end"})
    ASSERT_TRUE(InSrc(std::string("cp ../aes.zip ../") + copy + ".zip"));
  ASSERT_TRUE(InSrc("zip -q - f.bin | cat > ../dd.zip && cp ../dd.zip ../dd-descriptor.zip && cp ../dd.zip ../dd-local.zip"));
  ASSERT_TRUE(RunPython(Dir.Path(), std::string(kPatcher) + R"PY(
# A stored AE-2 entry whose unauthenticated local size was cut: the plaintext is longer.
patch('aes-short.zip', 22, '<I', 2000)
# One ciphertext bit: the verifier still matches.
d = bytearray(open('aes-flipped.zip', 'rb').read()); d[30 + 5 + 11 + 18 + 1000] ^= 1
open('aes-flipped.zip', 'wb').write(d)
# Local and directory sizes larger than what is left of the archive.
patch('aes-past-end.zip', 18, '<I', 0x7FFFFFFF); patch('aes-past-end.zip', central('aes-past-end.zip') + 20, '<I', 0x7FFFFFFF)
patch('dd-descriptor.zip', descriptor('dd-descriptor.zip') + 4, '<I', 0x12345678)
patch('dd-local.zip', 22, '<I', 1234)
data = b'shared body ' * 100
write('shared.zip', [('a.txt', 0, data, zlib.crc32(data))], [('a.txt', 0, None), ('b.txt', 0, None), ('c.txt', 0, None)])
# A deflated entry whose local size runs 40 bytes into the next entry: its own stream ends
# in time, but the bytes it claims are another entry's.
c = zlib.compressobj(6, zlib.DEFLATED, -15); packed = c.compress(data) + c.flush()
write('overrun.zip', [('a.txt', 8, packed, zlib.crc32(data)), ('b.txt', 0, data, zlib.crc32(data))],
      [('a.txt', 0, None), ('b.txt', 1, None)])
patch('overrun.zip', 18, '<I', len(packed) + 40); patch('overrun.zip', 22, '<I', len(data))
patch('overrun.zip', central('overrun.zip') + 24, '<I', len(data))
write('count.zip', [('a.txt', 0, data, zlib.crc32(data))], [('a.txt', 0, None)], zip64_count=1 << 31)
)PY"));

  struct TRow {
    const char* archive;
    const char* password;
    int32_t code;         // ZipError of the first entry, or of ReadDirectory
    const char* words;    // part of the message
  };
  const TRow rows[] = {
      {"bzip2.zip", "", 0x4123, "Unsupported compression method (bzip2)"},
      {"lzma.zip", "", 0x4123, "Unsupported compression method (LZMA)"},
      {"deflate64.zip", "", 0x4123, "Unsupported compression method (Deflate64)"},
      {"aes-bzip2.zip", "pw", 0x4123, "(bzip2)"},
      {"zipcrypto.zip", "pw", 0x4124, "Unsupported encryption method"},
      {"zipcrypto.zip", "", 0x4124, "Unsupported encryption method"},
      {"aes.zip", "wrong", 0x410B, "Decryption failed"},
      {"aes-short.zip", "pw", 0x4109, "Corrupt file"},
      {"aes-flipped.zip", "pw", 0x4109, "Corrupt file"},
      {"aes-past-end.zip", "pw", 0x4109, "Corrupt file"},
      {"dd-descriptor.zip", "", 0x4109, "Corrupt file"},
      {"dd-local.zip", "", 0x4109, "Corrupt file"},
      {"shared.zip", "", 0x4109, "Corrupt file"},
      {"overrun.zip", "", 0x4109, "Corrupt file"},
      {"count.zip", "", 0x4109, "2147483648 entries, more than the archive can hold"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.archive);
    ASSERT_TRUE(WriteFile(Out("f.bin"), "previous"));
    std::string message;
    const int32_t code = ZipErrorOf(
        [&] {
          TZipRead zip(Dir / row.archive, row.password);
          zip.ReadDirectory();
          for (int i = 0; i < zip.Directory().Count(); ++i) zip.ExtractToFile(i, Out("f.bin"));
          if (zip.Directory().Count() == 0) throw EZipError("no entries", TErrorCode());
        },
        &message);
    EXPECT_EQ(code, row.code);
    EXPECT_NE(message.find(row.words), std::string::npos) << message;
    EXPECT_TRUE(ReadFile(Out("f.bin")) == "previous");
    EXPECT_EQ(ListDir(Dir / "out").size(), 1u);
  }
  // The sound copies of the patched archives do restore.
  for (const char* archive : {"aes.zip", "dd.zip"}) {
    TZipRead zip(Dir / archive, "pw");
    zip.ReadDirectory();
    zip.ExtractToFile(0, Out(archive));
    EXPECT_TRUE(ReadFile(Out(archive)) == Content) << archive;
  }
  // After a shared entry was refused, the entry after an overrun one is still fine.
  TZipRead overrun(Dir / "overrun.zip");
  overrun.ReadDirectory();
  overrun.ExtractToFile(1, Out("b.txt"));
  EXPECT_EQ(FileSize(Out("b.txt")), 1200);
}

TEST(ZipLinkTargets, StayInsideTheDestination) {
  struct TRow {
    std::string_view target;
    int depth;  // folders between the destination root and the link
    bool inside;
  };
  const TRow rows[] = {
      {"a.txt", 0, true},          {"./sub/a.txt", 0, true},    {"../a.txt", 1, true},
      {"../../a.txt", 2, true},    {"..", 1, true},             {"sub//a", 0, true},
      {"../a.txt", 0, false},      {"../../x", 1, false},       {"/etc/passwd", 3, false},
      {"", 0, false},              {"x/../../a.txt", 2, false}, {"x/../a", 1, false},
      {std::string_view("a\0b", 3), 0, false},
  };
  for (const TRow& row : rows)
    EXPECT_EQ(LinkTargetStaysInside(row.target, row.depth), row.inside) << row.target << " at " << row.depth;
}

TEST_F(ZipIntegrityTest, LinkEntriesBecomeLinksOnlyInsideTheDestination) {
  ASSERT_TRUE(InSrc("mkdir sub && ln -s ../f.bin sub/up && ln -s f.bin same && zip -q -y -r ../tool.zip f.bin sub same"));
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import zipfile
rows = [('l1', 'f.bin'), ('sub/l2', '../f.bin'), ('sub/deep/l3', '../../f.bin'),
        ('sub/l4', '../../x'), ('l5', '/etc/passwd'), ('sub/l6', 'x/../../f.bin'), ('l7', '')]
with zipfile.ZipFile('links.zip', 'w') as zf:
    for name, target in rows:
        info = zipfile.ZipInfo(name); info.create_system = 3; info.external_attr = 0o120777 << 16
        zf.writestr(info, target)
)PY"));
  struct TRow {
    const char* entry;
    const char* target;  // "" when refused
  };
  const TRow rows[] = {
      {"l1", "f.bin"},  {"sub/l2", "../f.bin"}, {"sub/deep/l3", "../../f.bin"},
      {"sub/l4", ""},   {"l5", ""},             {"sub/l6", ""},
      {"l7", ""},
  };
  ASSERT_EQ(::mkdir(Out("sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Out("sub/deep").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(Out("l1"), "an existing file is replaced by the link"));
  TZipRead zip(Dir / "links.zip");
  zip.ReadDirectory();
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.entry);
    const int index = zip.Directory().IndexOf(row.entry);
    ASSERT_GE(index, 0);
    EXPECT_TRUE(zip.Directory().Objects(index).IsSymLink());
    const std::string path = Out(row.entry);
    const int32_t code = ZipErrorOf([&] { zip.ExtractToFile(index, path); });
    char buffer[PATH_MAX] = {};
    const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (*row.target) {
      EXPECT_EQ(code, 0);
      EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), row.target);
    } else {
      EXPECT_EQ(code, 0x4125);
      EXPECT_FALSE(FileExists(path));
    }
  }
  // Restored without its folders (the name's folders are not below the destination), a link
  // may not climb at all.
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(zip.Directory().IndexOf("sub/l2"), Out("flat")); }), 0x4125);
  EXPECT_FALSE(FileExists(Out("flat")));
  // Renamed beside an existing file ("keep both"), it keeps its place below the root.
  ASSERT_EQ(ZipErrorOf([&] { zip.ExtractToFile(zip.Directory().IndexOf("sub/l2"), Out("sub/l2 (1)")); }), 0);
  char kept[PATH_MAX] = {};
  EXPECT_EQ(std::string(kept, std::max<ssize_t>(::readlink(Out("sub/l2 (1)").c_str(), kept, sizeof kept), 0)),
            "../f.bin");
  // With the destination given, a folder on the way that leads out of it is not entered.
  TTempDir elsewhere{"qvzipelse"};
  ASSERT_EQ(::symlink(elsewhere.Path().c_str(), Out("away").c_str()), 0);
  zip.SetTargetRules(TTargetRules{Dir / "out", false});
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(zip.Directory().IndexOf("l1"), Out("away/l1")); }), 0x4125);
  EXPECT_TRUE(ListDir(elsewhere.Path()).empty());
  ASSERT_EQ(ZipErrorOf([&] { zip.ExtractToFile(zip.Directory().IndexOf("sub/l2"), Out("sub/l2")); }), 0);
  EXPECT_TRUE(LeftoverTempFiles(Dir / "out").empty());
  EXPECT_TRUE(LeftoverTempFiles(Dir / "out/sub").empty());

  // zip -y keeps links as links; restored, they are links again and no file gets 0777.
  TZipRead tool(Dir / "tool.zip");
  tool.ReadDirectory();
  ASSERT_EQ(::mkdir((Dir / "tool").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((Dir / "tool/sub").c_str(), 0755), 0);
  for (int i = 0; i < tool.Directory().Count(); ++i) {
    if (tool.Directory().Objects(i).IsDir) continue;
    tool.ExtractToFile(i, Dir / ("tool/" + tool.Filename(i)));
  }
  EXPECT_TRUE(ReadFile(Dir / "tool/sub/up") == Content);
  EXPECT_TRUE(ReadFile(Dir / "tool/same") == Content);
  for (const char* name : {"f.bin", "sub/up", "same"}) {
    struct stat st {};
    ASSERT_EQ(::lstat((Dir / (std::string("tool/") + name)).c_str(), &st), 0) << name;
    EXPECT_EQ(S_ISLNK(st.st_mode), std::string(name) != "f.bin") << name;
    if (S_ISREG(st.st_mode)) {
      EXPECT_NE(st.st_mode & 0777, 0777u) << name;
    }
  }
}

// Every bit of every header byte (local header, AES field, descriptor, directory, end record)
// flipped in turn: the archive may fail, but whatever restores is the original content.
TEST_F(ZipIntegrityTest, NoHeaderBitFlipRestoresWrongContent) {
  ASSERT_TRUE(InSrc("7zz a -tzip -mx=0 -mem=AES256 -ppw ../aes.zip f.bin"));
  ASSERT_TRUE(InSrc("zip -q -9 ../deflated.zip f.bin"));
  ASSERT_TRUE(InSrc("zip -q - f.bin | cat > ../descriptor.zip"));
  for (const char* archive : {"aes.zip", "deflated.zip", "descriptor.zip"}) {
    SCOPED_TRACE(archive);
    const std::string original = ReadFile(Dir / archive);
    const auto* h = reinterpret_cast<const uint8_t*>(original.data());
    // The entry data are not headers: from the end of the local header's extra field to
    // the stated compressed size.
    const size_t dataStart = 30 + GetLe16(h + 26) + GetLe16(h + 28);
    TZipRead sound(Dir / archive, "pw");
    sound.ReadDirectory();
    ASSERT_EQ(sound.Directory().Count(), 1);
    const size_t dataEnd = dataStart + static_cast<size_t>(sound.Directory().Objects(0).CSize);
    int restored = 0, flips = 0;
    for (size_t at = 0; at < original.size(); ++at) {
      if (at >= dataStart && at < dataEnd) continue;
      for (int bit = 0; bit < 8; ++bit) {
        std::string bytes = original;
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
        ASSERT_TRUE(WriteFile(Dir / "flipped.zip", bytes));
        ++flips;
        try {
          SCOPED_TRACE("byte " + std::to_string(at) + " bit " + std::to_string(bit));
          TZipRead zip(Dir / "flipped.zip", "pw");
          zip.ReadDirectory();
          for (int i = 0; i < zip.Directory().Count(); ++i) {
            if (zip.Directory().Objects(i).IsDir) continue;
            const std::string target = Out("e" + std::to_string(i));
            try {
              zip.ExtractToFile(i, target);
            } catch (const EZipError&) {
              continue;
            }
            ++restored;
            struct stat st {};
            ASSERT_EQ(::lstat(target.c_str(), &st), 0);
            ASSERT_TRUE(S_ISREG(st.st_mode)) << "byte " << at << " bit " << bit;
            ASSERT_TRUE(ReadFile(target) == Content) << "byte " << at << " bit " << bit;
            ::unlink(target.c_str());
          }
        } catch (const EZipError&) {
        }
      }
    }
    EXPECT_GT(flips, 8 * 100);
    // Flips in fields that do not touch the content (times, names, attributes) still restore.
    EXPECT_GT(restored, 0);
  }
}

// A full medium while an encrypted entry is written is that, not a wrong password.
TEST_F(ZipIntegrityTest, WriteFailuresKeepTheirOwnCode) {
  ASSERT_TRUE(InSrc("7zz a -tzip -mx=0 -mem=AES256 -ppw ../aes-stored.zip f.bin"));
  ASSERT_TRUE(InSrc("7zz a -tzip -mx=5 -mem=AES128 -ppw ../aes-deflated.zip t.txt"));
  ASSERT_TRUE(InSrc("zip -q ../plain.zip t.txt"));
  for (const char* archive : {"aes-stored.zip", "aes-deflated.zip", "plain.zip"}) {
    SCOPED_TRACE(archive);
    const int code = RunWithFileSizeLimit(1000, [&] {
      return ZipErrorOf([&] {
        TZipRead zip(Dir / archive, "pw");
        zip.ReadDirectory();
        zip.ExtractToFile(0, Out("limited"));
      });
    });
    EXPECT_EQ(code, 0x4107);
    EXPECT_FALSE(FileExists(Out("limited")));
    EXPECT_TRUE(LeftoverTempFiles(Dir / "out").empty());
  }
}
