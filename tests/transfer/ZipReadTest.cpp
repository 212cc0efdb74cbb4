// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipRead.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <thread>

#include "base/FtGlobal.h"
#include "transfer/ZipTestUtil.h"

using namespace qv;
using namespace qv::test;

namespace {

class ZipReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.Ok());
    ASSERT_EQ(::mkdir((Dir / "src").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((Dir / "out").c_str(), 0755), 0);
  }
  std::string Src(const std::string& name) const { return Dir / ("src/" + name); }
  std::string Out(const std::string& name) const { return Dir / ("out/" + name); }
  // Index of a name in the directory, failing the test when absent.
  static int Find(const TZipRead& zip, const std::string& name) {
    const int index = zip.Directory().IndexOf(name);
    EXPECT_GE(index, 0) << name;
    return index;
  }

  TTempDir Dir{"qvzip"};
};

}  // namespace

TEST_F(ZipReadTest, ZipArchiveWithFoldersEmptyFileAndCommentRestores) {
  ASSERT_TRUE(::mkdir(Src("docs").c_str(), 0755) == 0);
  ASSERT_TRUE(::mkdir(Src("docs/sub").c_str(), 0755) == 0);
  const std::string text = RandomBytes(300000, 3);
  ASSERT_TRUE(WriteFile(Src("docs/sub/a.txt"), text));
  ASSERT_TRUE(WriteFile(Src("docs/empty.txt"), ""));
  ASSERT_TRUE(WriteFile(Src("docs/tiny.txt"), "x"));
  ::chmod(Src("docs/tiny.txt").c_str(), 0640);
  ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && zip -qr ../a.zip docs && zip -q -0 ../a.zip docs/tiny.txt"
                  " && echo 'an archive comment' | zip -qz ../a.zip"));

  TZipRead zip(Dir / "a.zip");
  zip.ReadDirectory();
  const auto& list = zip.Directory();
  ASSERT_EQ(list.Count(), 5);
  EXPECT_TRUE(list.Objects(Find(zip, "docs/")).IsDir);
  EXPECT_TRUE(list.Objects(Find(zip, "DOCS/SUB/")).IsDir);  // lookup ignores case
  const TPkHeader& empty = list.Objects(Find(zip, "docs/empty.txt"));
  EXPECT_FALSE(empty.IsDir);
  EXPECT_EQ(empty.USize, 0);
  const TPkHeader& big = list.Objects(Find(zip, "docs/sub/a.txt"));
  EXPECT_EQ(big.CompMethode, ZipMethodDeflated);
  EXPECT_EQ(big.USize, 300000);
  EXPECT_LT(big.CSize, big.USize);
  EXPECT_EQ(list.Objects(Find(zip, "docs/tiny.txt")).CompMethode, ZipMethodStored);
  EXPECT_EQ(zip.Filename(-1), "");
  EXPECT_EQ(zip.Filename(list.Count()), "");
  EXPECT_FALSE(zip.IsEncrypted(list.Count()));

  for (const std::string name : {"docs/sub/a.txt", "docs/empty.txt", "docs/tiny.txt"}) {
    const TPkHeader& h = list.Objects(Find(zip, name));
    const std::string target = Out(name.substr(name.rfind('/') + 1));
    ASSERT_EQ(ZipErrorOf([&] { zip.ExtractToFile(h.Offset, h.TimeStamp, h.Attr, target); }), 0)
        << name;
    EXPECT_EQ(ReadFile(target), ReadFile(Src(name))) << name;
  }
  EXPECT_TRUE(FileExists(Out("empty.txt")));
  // Unix permission bits and the DOS timestamp (2-second resolution) come back.
  struct stat restored {}, original {};
  ASSERT_EQ(::stat(Out("tiny.txt").c_str(), &restored), 0);
  ASSERT_EQ(::stat(Src("docs/tiny.txt").c_str(), &original), 0);
  EXPECT_EQ(restored.st_mode & 0777, 0640u);
  EXPECT_LE(std::abs(static_cast<long>(restored.st_mtime - original.st_mtime)), 2L);
  EXPECT_TRUE(ListDir(Dir / "out").size() == 3) << "no temporary files are left";

  TMemoryStream stream;
  EXPECT_TRUE(zip.ExtractToStream("Docs/Sub/A.TXT", stream));
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(std::string(stream.Data().begin(), stream.Data().end()), text);
  EXPECT_FALSE(zip.ExtractToStream("docs/missing.txt", stream));
}

TEST_F(ZipReadTest, EmptyArchiveAndNamesInBothEncodings) {
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import zipfile
zipfile.ZipFile('empty.zip', 'w').close()
with zipfile.ZipFile('names.zip', 'w') as zf:
    zf.writestr('\u00fcber-\u20ac.txt', b'utf8')   # non-ASCII: stored with flag bit 11
    zf.writestr('Xber.txt', b'oem')
    zf.writestr('dir\\sub\\b.txt', b'backslash')
data = open('names.zip', 'rb').read().replace(b'Xber.txt', b'\x81ber.txt')
open('names.zip', 'wb').write(data)
)PY"));
  TZipRead empty(Dir / "empty.zip");
  empty.ReadDirectory();
  EXPECT_EQ(empty.Directory().Count(), 0);

  TZipRead zip(Dir / "names.zip");
  zip.ReadDirectory();
  ASSERT_EQ(zip.Directory().Count(), 3);
  EXPECT_EQ(zip.Filename(0), "\xC3\xBC" "ber-\xE2\x82\xAC.txt");
  EXPECT_TRUE(zip.Directory().Objects(0).GpFlag & ZipFlagUtf8);
  EXPECT_EQ(zip.Filename(1), "\xC3\xBC" "ber.txt");
  EXPECT_EQ(zip.Directory().RawName(1), "\x81" "ber.txt");
  EXPECT_EQ(zip.Filename(2), "dir/sub/b.txt");
  zip.ExtractToFile(1, Out("oem.txt"));
  EXPECT_EQ(ReadFile(Out("oem.txt")), "oem");
}

TEST_F(ZipReadTest, Zip64RecordsAndExtraBlocks) {
  ASSERT_TRUE(RunPython(Dir.Path(), std::string(kZip64Writer) + R"PY(
import zipfile
write_zip64('many.zip', [('f%05d' % i, b'%d' % i) for i in range(70000)])
with zipfile.ZipFile('forced.zip', 'w', zipfile.ZIP_DEFLATED) as zf:
    with zf.open('big.txt', 'w', force_zip64=True) as f:
        f.write(b'forced zip64 ' * 1000)
)PY"));
  TZipRead many(Dir / "many.zip");
  many.ReadDirectory();
  ASSERT_EQ(many.Directory().Count(), 70000);
  const TPkHeader& last = many.Directory().Objects(69999);
  EXPECT_EQ(many.Filename(69999), "f69999");
  EXPECT_EQ(last.USize, 5);
  EXPECT_GT(last.Offset, 0);
  many.ExtractToFile(69999, Out("last"));
  EXPECT_EQ(ReadFile(Out("last")), "69999");

  TZipRead forced(Dir / "forced.zip");
  forced.ReadDirectory();
  ASSERT_EQ(forced.Directory().Count(), 1);
  forced.ExtractToFile(0, Out("big.txt"));
  EXPECT_EQ(FileSize(Out("big.txt")), 13000);
}

TEST_F(ZipReadTest, DataDescriptorEntriesTakeTheirValuesFromTheDirectory) {
  const std::string text = RandomBytes(200000, 5);
  ASSERT_TRUE(WriteFile(Src("streamed.txt"), text));
  // Written to a pipe, zip cannot seek back and follows the data with a descriptor.
  ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && zip -q - streamed.txt | cat > ../dd.zip"));
  TZipRead zip(Dir / "dd.zip");
  zip.ReadDirectory();
  ASSERT_EQ(zip.Directory().Count(), 1);
  EXPECT_TRUE(zip.Directory().Objects(0).HasDataDescriptor());
  zip.ExtractToFile(0, Out("streamed.txt"));
  EXPECT_TRUE(ReadFile(Out("streamed.txt")) == text);
}

TEST_F(ZipReadTest, AesEntriesOf7ZipInEveryStrengthAndMethod) {
  const std::string text = RandomBytes(150000, 9);
  ASSERT_TRUE(WriteFile(Src("secret.txt"), text));
  // Short passwords: the key strength must come from the entry's AES field.
  struct TCase { const char* strength; const char* level; };
  for (const TCase c : {TCase{"AES128", "-mx5"}, TCase{"AES256", "-mx5"}, TCase{"AES128", "-mx0"},
                        TCase{"AES256", "-mx0"}}) {
    const std::string archive = Dir / (std::string(c.strength) + c.level + ".zip");
    ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && 7zz a -bd -bso0 -tzip -mem=" + c.strength + " " +
                    c.level + " -ppw123 '" + archive + "' secret.txt"));
    TZipRead zip(archive, "pw123");
    zip.ReadDirectory();
    ASSERT_EQ(zip.Directory().Count(), 1);
    EXPECT_TRUE(zip.IsEncrypted(0));
    EXPECT_EQ(zip.Directory().Objects(0).EncMode, std::string(c.strength) == "AES256" ? 3 : 1);
    const std::string target = Out(std::string(c.strength) + c.level);
    ASSERT_EQ(ZipErrorOf([&] { zip.ExtractToFile(0, target); }), 0) << archive;
    EXPECT_TRUE(ReadFile(target) == text) << archive;

    // A wrong password fails with "Decryption failed" and writes nothing; a new password
    // given afterwards works.
    zip.InitEncryption("wrong", 0);
    std::string message;
    EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(0, target + ".wrong"); }, &message), 0x410B);
    EXPECT_EQ(message, "Error: Decryption failed");
    EXPECT_FALSE(FileExists(target + ".wrong"));
    zip.InitEncryption("pw123", 0);
    zip.CompareToFile(zip.Directory().Objects(0).Offset, Src("secret.txt"));
  }

  TZipRead noPassword(Dir / "AES256-mx5.zip");
  noPassword.ReadDirectory();
  std::string message;
  EXPECT_EQ(ZipErrorOf([&] { noPassword.ExtractToFile(0, Out("nopw")); }, &message), 0x410B);
  EXPECT_EQ(message, FormatMsg(MsgErrorReading(), Dir / "AES256-mx5.zip"));
  EXPECT_FALSE(FileExists(Out("nopw")));
}

TEST_F(ZipReadTest, DamagedEntriesFailWithoutLeavingHalfFiles) {
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import zipfile
payload = bytes(range(256)) * 400
with zipfile.ZipFile('stored.zip', 'w') as zf:
    zf.writestr('s.bin', payload)
data = bytearray(open('stored.zip', 'rb').read())
data[data.find(payload) + 5000] ^= 0xFF
open('stored.zip', 'wb').write(data)
# An entry that inflates to more than its header states.
with zipfile.ZipFile('bomb.zip', 'w', zipfile.ZIP_DEFLATED) as zf:
    zf.writestr('b.txt', b'A' * 3000000)
data = bytearray(open('bomb.zip', 'rb').read())
real = (3000000).to_bytes(4, 'little')
open('bomb.zip', 'wb').write(bytes(data).replace(real, (1000).to_bytes(4, 'little')))
)PY"));
  ASSERT_TRUE(WriteFile(Out("s.bin"), "previous content"));
  TZipRead stored(Dir / "stored.zip");
  stored.ReadDirectory();
  std::string message;
  EXPECT_EQ(ZipErrorOf([&] { stored.ExtractToFile(0, Out("s.bin")); }, &message), 0x4104);
  EXPECT_EQ(message, "Error: Could not read from file");
  EXPECT_EQ(ReadFile(Out("s.bin")), "previous content");

  TZipRead bomb(Dir / "bomb.zip");
  bomb.ReadDirectory();
  EXPECT_EQ(bomb.Directory().Objects(0).USize, 1000);
  EXPECT_EQ(ZipErrorOf([&] { bomb.ExtractToFile(0, Out("b.txt")); }), 0x4109);
  EXPECT_FALSE(FileExists(Out("b.txt")));
  EXPECT_EQ(ListDir(Dir / "out").size(), 1u);  // only the untouched s.bin
}

// Small entries are read with one call from what the directory implies; local headers that
// say more than the directory (a longer extra field, a larger compressed size) still extract,
// and a corrupt entry does not disturb the decoder the later entries share.
TEST_F(ZipReadTest, SmallEntriesWhoseLocalHeadersDifferFromTheDirectory) {
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import struct, zlib
def raw_deflate(data):
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()
text = b'small entry text ' * 40
entries = [  # name, method, stored bytes, crc, usize, local extra, central csize
    ('extra.txt', 0, text, zlib.crc32(text), len(text), struct.pack('<HH', 0xCAFE, 2000) + b'x' * 2000, len(text)),
    ('bad.txt', 8, b'\xff' * 40, 0, 100, b'', 40),
    ('good.txt', 8, raw_deflate(text), zlib.crc32(text), len(text), b'', None),
    ('sizes.txt', 0, text, zlib.crc32(text), len(text), b'', 10),
]
out = bytearray(); central = bytearray()
for name, method, stored, crc, usize, extra, csize in entries:
    n = name.encode(); off = len(out)
    out += struct.pack('<IHHHHHIIIHH', 0x04034B50, 20, 0, method, 0, 0x21, crc, len(stored), usize, len(n), len(extra))
    out += n + extra + stored
    central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014B50, 20, 20, 0, method, 0, 0x21, crc,
                           len(stored) if csize is None else csize, usize, len(n), 0, 0, 0, 0, 0, off)
    central += n
cd = len(out); out += central
out += struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, len(entries), len(entries), len(central), cd, 0)
open('small.zip', 'wb').write(out)
)PY"));
  const std::string text = [] {
    std::string t;
    for (int i = 0; i < 40; ++i) t += "small entry text ";
    return t;
  }();
  TZipRead zip(Dir / "small.zip");
  zip.ReadDirectory();
  ASSERT_EQ(zip.Directory().Count(), 4);
  zip.ExtractToFile(Find(zip, "extra.txt"), Out("extra.txt"));
  EXPECT_EQ(ReadFile(Out("extra.txt")), text);
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(Find(zip, "bad.txt"), Out("bad.txt")); }), 0x4104);
  EXPECT_FALSE(FileExists(Out("bad.txt")));
  for (int round = 0; round < 2; ++round) {
    zip.ExtractToFile(Find(zip, "good.txt"), Out("good.txt"));
    EXPECT_EQ(ReadFile(Out("good.txt")), text);
    EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(Find(zip, "bad.txt"), Out("bad.txt")); }), 0x4104);
  }
  // A directory size that differs from the local header's is a damaged entry, bit 3 or not.
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(Find(zip, "sizes.txt"), Out("sizes.txt")); }), 0x4109);
  EXPECT_FALSE(FileExists(Out("sizes.txt")));
  EXPECT_TRUE(LeftoverTempFiles(Dir / "out").empty());
}

// Small entries are read in pieces that serve the entries after them: taken in any order,
// each still gets its own bytes, up to the archive's end.
TEST_F(ZipReadTest, SmallEntriesReadAheadInAnyOrder) {
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import random, zipfile
random.seed(7)
with zipfile.ZipFile('many.zip', 'w') as z:
    for i in range(300):  # about 600 KiB: more than one piece
        data = bytes(random.getrandbits(8) for _ in range(random.randint(1000, 3000)))
        z.writestr('f%03d.bin' % i, data, zipfile.ZIP_STORED if i % 2 else zipfile.ZIP_DEFLATED)
        open('src/f%03d.bin' % i, 'wb').write(data)
)PY"));
  TZipRead zip(Dir / "many.zip");
  zip.ReadDirectory();
  ASSERT_EQ(zip.Directory().Count(), 300);
  std::vector<int> order;
  for (int i = 299; i >= 0; --i) order.push_back(i);  // backwards: every piece read anew
  for (int i = 0; i < 300; i += 3) order.push_back(i);
  for (int i = 0; i < 300; ++i) order.push_back(i);
  for (const int i : order) {
    char name[16];
    std::snprintf(name, sizeof name, "f%03d.bin", i);
    ::unlink(Out(name).c_str());
    zip.ExtractToFile(Find(zip, name), Out(name));
    ASSERT_TRUE(ReadFile(Out(name)) == ReadFile(Src(name))) << name;
  }
}

TEST_F(ZipReadTest, EntryNamesLeavingTheDestinationAreRefused) {
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import zipfile
with zipfile.ZipFile('evil.zip', 'w') as zf:
    for name in ('../x', '/abs/x', 'a/../../x', 'ok.txt'):
        zf.writestr(zipfile.ZipInfo(name), b'evil')
)PY"));
  TZipRead zip(Dir / "evil.zip");
  zip.ReadDirectory();
  ASSERT_EQ(zip.Directory().Count(), 4);
  // The test folder's parent is shared (/tmp): only a file this test made there counts.
  const bool parentHadX = FileExists(Dir.Path() + "/../x");
  for (int i = 0; i < 3; ++i) {
    const std::string name = zip.Filename(i);
    std::string message;
    // A naive caller joins destination and entry name.
    EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(i, Dir / ("out/" + name)); }, &message), 0x4125)
        << name;
    EXPECT_NE(message.find("\"" + name + "\""), std::string::npos) << message;
  }
  EXPECT_FALSE(FileExists(Dir / "x"));
  EXPECT_EQ(FileExists(Dir.Path() + "/../x"), parentHadX);
  EXPECT_FALSE(FileExists(Dir / "out/abs"));
  EXPECT_TRUE(ListDir(Dir / "out").empty());
  zip.ExtractToFile(3, Out("ok.txt"));  // the reader stays usable
  EXPECT_EQ(ReadFile(Out("ok.txt")), "evil");
}

TEST_F(ZipReadTest, GarbageTruncatedAndMissingArchives) {
  std::string message;
  EXPECT_EQ(ZipErrorOf([&] { TZipRead zip(Dir / "missing.zip"); }, &message), 0x4102);
  EXPECT_EQ(message, FormatMsg(MsgErrorOpening(), Dir / "missing.zip"));

  ASSERT_TRUE(WriteFile(Src("f.txt"), RandomBytes(50000, 2)));
  ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && zip -q ../good.zip f.txt"));
  const std::string good = ReadFile(Dir / "good.zip");
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"garbage.zip", RandomBytes(5000, 77)},
      {"tiny.zip", "PK"},
      {"empty.zip", ""},
      {"truncated.zip", good.substr(0, good.size() / 2)},
      {"cut-directory.zip", good.substr(0, good.size() - 30)},
  };
  for (const auto& [name, bytes] : bad) {
    ASSERT_TRUE(WriteFile(Dir / name, bytes));
    TZipRead zip(Dir / name);
    EXPECT_EQ(ZipErrorOf([&] { zip.ReadDirectory(); }, &message), 0x4120) << name;
    // The archive, then what was being read.
    EXPECT_EQ(message.rfind(FormatMsg(MsgErrorReading(), Dir / name) + ": ", 0), 0u) << message;
  }
  // Raw copies from the archive's position, which a fresh reader has at the start.
  {
    TZipRead raw(Dir / "good.zip");
    TMemoryStream copy;
    raw.CopyToStream(copy, 100);
    EXPECT_TRUE(std::string(copy.Data().begin(), copy.Data().end()) == good.substr(0, 100));
    EXPECT_EQ(ZipErrorOf([&] { raw.CopyToStream(copy, static_cast<int64_t>(good.size())); }), 0x4104);
  }
  // A directory that claims a local header where there is none.
  std::string shifted = good;
  shifted[0] = 'X';
  ASSERT_TRUE(WriteFile(Dir / "shifted.zip", shifted));
  TZipRead zip(Dir / "shifted.zip");
  zip.ReadDirectory();
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(0, Out("f.txt")); }), 0x4104);
  EXPECT_FALSE(FileExists(Out("f.txt")));
}

TEST_F(ZipReadTest, CompareAndCancel) {
  const std::string text = RandomBytes(24 << 20, 4);
  ASSERT_TRUE(WriteFile(Src("big.bin"), text));
  ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && zip -q -1 ../big.zip big.bin"));
  TZipRead zip(Dir / "big.zip", "", 0, 65536);
  zip.ReadDirectory();
  const int64_t offset = zip.Directory().Objects(0).Offset;

  zip.CompareToFile(offset, Src("big.bin"));
  EXPECT_FALSE(zip.ErrorFlag());
  ASSERT_TRUE(WriteFile(Out("longer.bin"), text + "!"));
  EXPECT_EQ(ZipErrorOf([&] { zip.CompareToFile(offset, Out("longer.bin")); }), 0x410C);
  EXPECT_TRUE(zip.ErrorFlag());
  std::string changed = text;
  changed[changed.size() - 10] ^= 1;
  ASSERT_TRUE(WriteFile(Out("changed.bin"), changed));
  EXPECT_EQ(ZipErrorOf([&] { zip.CompareToFile(offset, Out("changed.bin")); }), 0x410C);
  EXPECT_EQ(ZipErrorOf([&] { zip.CompareToFile(offset, Out("missing.bin")); }), 0x410E);
  EXPECT_FALSE(zip.ErrorFlag());

  // Stop pressed while the entry is inflated: a nested handler calls Cancel.
  int reports = 0;
  zip.SetOnProgress([&](TFileAction AAction, int64_t ACount, bool) {
    ++reports;
    if (AAction == acUnCompress && ACount > 0) zip.Cancel();
  });
  std::string message;
  EXPECT_EQ(ZipErrorOf([&] { zip.ExtractToFile(0, Out("big.bin")); }, &message), 0x4180);
  EXPECT_EQ(message, "Error: Terminated by user");
  EXPECT_LT(reports, 5);
  EXPECT_FALSE(FileExists(Out("big.bin")));

  // The wait serves the front-end's own message processing.
  zip.SetOnProgress(nullptr);
  int hooks = 0;
  zip.SetOnProcessMessages([&] { ++hooks; });
  zip.ExtractToFile(0, Out("big.bin"));
  EXPECT_TRUE(ReadFile(Out("big.bin")) == text);
  EXPECT_GT(hooks, 0);
}

TEST_F(ZipReadTest, ReaderOnAnotherThreadServesItsOwnReports) {
  ASSERT_TRUE(WriteFile(Src("t.txt"), "tiny entry"));
  ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && zip -q ../t.zip t.txt"));
  int reports = 0;
  std::string error;
  std::thread other([&] {
    try {
      TZipRead zip(Dir / "t.zip");
      zip.SetOnProgress([&](TFileAction, int64_t, bool) { ++reports; });
      zip.ReadDirectory();
      zip.ExtractToFile(0, Out("t.txt"));
    } catch (const EZipError& e) {
      error = e.what();
    }
  });
  other.join();
  EXPECT_EQ(error, "");
  EXPECT_GT(reports, 0);
  EXPECT_EQ(ReadFile(Out("t.txt")), "tiny entry");
}

TEST_F(ZipReadTest, DirectoryInAnyOffsetOrderWithNamesDifferingInCase) {
  // The central directory lists the entries backwards; two names differ only in case.
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import struct, zipfile
with zipfile.ZipFile('r.zip', 'w') as zf:
    for name in ('one.txt', 'Two.txt', 'two.TXT', 'three.txt'):
        zf.writestr(name, name * 3)
data = open('r.zip', 'rb').read()
end = data.rindex(b'PK\x05\x06')
count, size, start = struct.unpack('<HII', data[end + 10:end + 20])
records, pos = [], start
for _ in range(count):
    n, m, k = struct.unpack('<HHH', data[pos + 28:pos + 34])
    records.append(data[pos:pos + 46 + n + m + k]); pos += 46 + n + m + k
open('r.zip', 'wb').write(data[:start] + b''.join(reversed(records)) + data[end:])
)PY"));
  TZipRead zip(Dir / "r.zip");
  zip.ReadDirectory();
  const TZipFileList& list = zip.Directory();
  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.Name(0), "three.txt");
  EXPECT_EQ(list.IndexOf("TWO.txt"), 1) << "the first of equal names in directory order";
  EXPECT_EQ(list.IndexOf("two.txt/"), -1);
  for (int i = 0; i < list.Count(); ++i) {
    const TPkHeader& h = list.Objects(i);
    EXPECT_EQ(list.IndexOfOffset(h.Offset), i);
    EXPECT_GT(list.SpanAt(h.Offset, zip.DirectoryOffset()), h.CSize) << list.Name(i);
    const std::string name(list.Name(i));
    zip.ExtractToFile(i, Out(std::to_string(i)));
    EXPECT_EQ(ReadFile(Out(std::to_string(i))), name + name + name);
  }
  EXPECT_EQ(list.IndexOfOffset(1), -1);
}

TEST_F(ZipReadTest, FailuresSayWhatWasBeingRead) {
  ASSERT_TRUE(WriteFile(Src("f.txt"), RandomBytes(5000, 4)));
  ASSERT_TRUE(test::Run("cd '" + Dir.Path() + "/src' && zip -q -0 ../good.zip f.txt"));
  const std::string good = ReadFile(Dir / "good.zip");
  const size_t end = good.rfind("PK\x05\x06");
  const size_t central = good.rfind("PK\x01\x02");
  const auto patched = [&](size_t at, const std::string& bytes) { return std::string(good).replace(at, bytes.size(), bytes); };
  struct TRow {
    const char* name;
    std::string bytes;
    int32_t code;
    std::string context;
    std::string why;  // the worker's reason that follows the place
  };
  const TRow rows[] = {
      {"tiny", "PK", 0x4120, "an archive of 2 bytes"},
      {"no-end", std::string(300, 'x'), 0x4120, "the last 300 bytes at offset 0"},
      {"bad-header", patched(central, "PK\x01\x09"), 0x4120, "central directory header 1/1 at offset " + std::to_string(central)},
      {"offset-beyond", patched(end + 16, "\xFF\xFF\xFF\x7F"), 0x4109, "the end record at offset " + std::to_string(end)},
      {"bad-data", patched(central - 100, "changed"), 0x4104, "entry \"f.txt\" at offset 0", ": CRC-32 "},
  };
  for (const TRow& row : rows) {
    ASSERT_TRUE(WriteFile(Dir / row.name, row.bytes));
    EZipError error("", TErrorCode());
    try {
      TZipRead zip(Dir / row.name);
      zip.ReadDirectory();
      zip.ExtractToFile(0, Out(row.name));
    } catch (const EZipError& e) {
      error = e;
    }
    EXPECT_EQ(error.ZipError, TErrorCode::FromValue(static_cast<uint32_t>(row.code))) << row.name;
    EXPECT_EQ(error.Context.substr(0, row.context.size()), row.context) << row.name;
    EXPECT_EQ(error.Context.substr(row.context.size(), row.why.size()), row.why) << error.Context;
    // The message users see names the archive, never the context.
    EXPECT_EQ(std::string(error.what()).find(row.context), std::string::npos) << error.what();
  }
}

// A detached entry runs on another thread and ends as the reader's own extraction or test of
// it ends: the same code, and the same file with the same mode and time, or none.
TEST_F(ZipReadTest, DetachedEntriesEndAsTheReaderEnds) {
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import zipfile
def info(name, mode=0o644, flags=0):
    i = zipfile.ZipInfo(name, (2015, 6, 7, 8, 9, 10))
    i.create_system, i.external_attr, i.flag_bits = 3, mode << 16, flags
    return i
S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
with zipfile.ZipFile('d.zip', 'w') as z:
    z.writestr(info('good.txt'), b'deflated text ' * 50, D)
    z.writestr(info('private.txt', 0o600), b'stored text', S)
    z.writestr(info('crc.txt'), b'CRC-DAMAGED', S)
    z.writestr(info('inflate.txt'), b'INFLATE-DAMAGED' * 20, S)
    z.writestr(info('big.bin'), bytes(100000), S)
    z.writestr(info('link', 0o120777), b'good.txt', S)
    z.writestr(info('enc.txt', flags=1), b'not really encrypted', S)
    z.writestr(info('../evil.txt'), b'outside', S)
data = bytearray(open('d.zip', 'rb').read())
data[data.find(b'CRC-DAMAGED')] ^= 1
open('d.zip', 'wb').write(data.replace(b'INFLATE-DAMAGED' * 20, b'\xff' * 300))
)PY"));
  // Fields zipfile does not write: inflate.txt's stored bytes claim to be deflated, and
  // enc.txt claims to be encrypted (the flags at +6 and +8, the method at +8 and +10).
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import struct
data = bytearray(open('d.zip', 'rb').read())
for name, local, central, value in ((b'inflate.txt', 8, 10, 8), (b'enc.txt', 6, 8, 1)):
    for sig, field, name_at in ((b'PK\x03\x04', local, 30), (b'PK\x01\x02', central, 46)):
        at = data.find(sig)
        while data[at + name_at:at + name_at + len(name)] != name:
            at = data.find(sig, at + 4)
        struct.pack_into('<H', data, at + field, value)
open('d.zip', 'wb').write(data)
)PY"));
  const struct {
    const char* Name;
    bool Detached;
    int32_t Code;  // of the reader's extraction and test
  } rows[] = {{"good.txt", true, 0},      {"private.txt", true, 0}, {"crc.txt", true, 0x4104},
              {"inflate.txt", true, 0x4104}, {"big.bin", false, 0},  {"link", false, 0},
              {"enc.txt", false, 0x4124}, {"../evil.txt", true, 0x4125}};
  ASSERT_EQ(::mkdir(Out("job").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Out("reader").c_str(), 0755), 0);
  TZipRead zip(Dir / "d.zip");
  zip.ReadDirectory();
  zip.SetTargetRules(TTargetRules{Dir / "out", false});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const TPkHeader& entry = zip.Directory().Objects(Find(zip, row.Name));
    for (const bool test : {false, true}) {
      const std::string jobTarget = test ? std::string() : Out("job/") + row.Name;
      std::unique_ptr<TZipEntryJob> job;
      const int32_t refused =
          ZipErrorOf([&] { job = zip.DetachSmallEntry(entry.Offset, entry.TimeStamp, entry.Attr, jobTarget); });
      ASSERT_EQ(job != nullptr || refused != 0, row.Detached);
      if (job) std::thread([&] { job->RunInline(); }).join();
      const int32_t jobCode = job ? static_cast<int32_t>(job->ErrorCode().Value()) : refused;
      const int32_t readerCode = ZipErrorOf([&] {
        if (test)
          zip.TestEntry(entry.Offset);
        else
          zip.ExtractToFile(entry.Offset, entry.TimeStamp, entry.Attr, Out("reader/") + row.Name);
      });
      EXPECT_EQ(readerCode, row.Code) << (test ? "test" : "extract");
      if (row.Detached) {
        EXPECT_EQ(jobCode, readerCode) << (test ? "test" : "extract");
      }
    }
    struct stat a {}, b {};
    const bool jobWrote = ::stat(Out(std::string("job/") + row.Name).c_str(), &a) == 0;
    if (!row.Detached) continue;
    EXPECT_EQ(jobWrote, ::stat(Out(std::string("reader/") + row.Name).c_str(), &b) == 0);
    if (!jobWrote) continue;
    EXPECT_EQ(ReadFile(Out(std::string("job/") + row.Name)), ReadFile(Out(std::string("reader/") + row.Name)));
    EXPECT_EQ(a.st_mode, b.st_mode);
    EXPECT_EQ(a.st_mtime, b.st_mtime);
  }
  EXPECT_TRUE(LeftoverTempFiles(Out("job")).empty());
  EXPECT_EQ(ListDir(Out("job")).size(), 2u);  // good.txt, private.txt
}
