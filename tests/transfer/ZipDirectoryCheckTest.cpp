// SPDX-License-Identifier: Apache-2.0
// The directory checked against itself and the local headers: fields changed or bits flipped
// in archives of real tools end in an error of the archive or of the entry, never in a file
// that is missing or differs; and the valid archives of real writers restore as before.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <vector>

#include "base/FtGlobal.h"
#include "transfer/ZipTestUtil.h"

using namespace qv;
using namespace qv::test;

namespace {

// What one entry became in a run over the whole archive.
struct TEntryOutcome {
  std::string Name;
  bool Folder = false;  // skipped as a folder
  bool Failed = false;
  std::string Why;
};

// A run over every entry as a restore walks them: folders skipped, files extracted below
// AOut (or tested when AOut is empty).
struct TArchiveOutcome {
  bool Failed = false;  // the directory could not be read
  std::string Why;
  std::vector<TEntryOutcome> Entries;
};

TArchiveOutcome RunArchive(const std::string& AArchive, const std::string& AOut) {
  TArchiveOutcome result;
  try {
    TZipRead zip(AArchive);
    zip.ReadDirectory();
    for (int i = 0; i < zip.Directory().Count(); ++i) {
      TEntryOutcome entry{zip.Filename(i), zip.Directory().Objects(i).IsDir, false, {}};
      if (!entry.Folder) {
        try {
          if (!IsSafeEntryName(entry.Name)) throw EZipError("unsafe", TErrorCode(sevError, errNameRefused));
          if (AOut.empty()) {
            zip.TestEntry(zip.Directory().Objects(i).Offset);
          } else {
            for (size_t slash = entry.Name.find('/'); slash != std::string::npos; slash = entry.Name.find('/', slash + 1))
              ::mkdir((AOut + "/" + entry.Name.substr(0, slash)).c_str(), 0755);
            zip.ExtractToFile(i, AOut + "/" + entry.Name);
          }
        } catch (const EZipError& e) {
          entry.Failed = true;
          entry.Why = std::string(e.what()) + " [" + e.Context + "]";
        }
      }
      result.Entries.push_back(entry);
    }
  } catch (const EZipError& e) {
    result.Failed = true;
    result.Why = std::string(e.what()) + " [" + e.Context + "]";
  }
  return result;
}

// An entry of a sound archive: its name and, for a file, its content (a link's: the target).
struct TOriginal {
  std::string Name;
  bool Folder = false;
  bool Link = false;
  std::string Content;
};

// Why AOutcome is a wrong success against AOriginals: a file missing or differing without an
// error for it or the archive. Empty when it is not one.
std::string WrongSuccess(const std::vector<TOriginal>& AOriginals, const TArchiveOutcome& AOutcome,
                         const std::string& AOut) {
  if (AOutcome.Failed) return {};
  if (AOutcome.Entries.size() != AOriginals.size())
    return std::to_string(AOutcome.Entries.size()) + " entries instead of " + std::to_string(AOriginals.size());
  for (size_t i = 0; i < AOriginals.size(); ++i) {
    const TOriginal& original = AOriginals[i];
    const TEntryOutcome& entry = AOutcome.Entries[i];
    if (entry.Failed || (entry.Folder && original.Folder)) continue;
    if (entry.Folder) return original.Name + " skipped as a folder";
    if (original.Folder) return original.Name + " restored as a file";
    if (AOut.empty()) continue;  // a test keeps nothing to compare
    const std::string path = AOut + "/" + entry.Name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return original.Name + " missing";
    if (S_ISLNK(st.st_mode) != original.Link) return original.Name + " restored as another type";
    std::string bytes;
    if (original.Link) {
      char target[PATH_MAX] = {};
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
      bytes.assign(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else {
      bytes = ReadFile(path);
    }
    if (bytes != original.Content) return original.Name + " differs";
  }
  return {};
}

class ZipDirectoryCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Dir.Ok());
    ASSERT_EQ(::mkdir((Dir / "src").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((Dir / "src/sub").c_str(), 0755), 0);
    ASSERT_TRUE(WriteFile(Dir / "src/s.dat", Stored));
    ASSERT_TRUE(WriteFile(Dir / "src/sub/t.txt", Deflated));
    // Stored, folder, deflated: "-n .dat" keeps s.dat stored; without the extra fields of
    // times and owners ("-X") every bit of it is flipped in a few seconds.
    ASSERT_TRUE(InSrc("zip -q -X -n .dat ../plain.zip s.dat sub sub/t.txt"));
    // Written to a pipe, zip cannot seek back: zero sizes in the local headers, bit 3 set.
    ASSERT_TRUE(InSrc("zip -q -n .dat - s.dat sub sub/t.txt | cat > ../stream.zip"));
    ASSERT_TRUE(InSrc("zip -q -fz -n .dat ../zip64.zip s.dat sub sub/t.txt"));
    // Python writing to a stream it cannot seek: zero CRC and sizes in every local header, as
    // Java's ZipOutputStream and "zip -fd" write them.
    ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import io, zipfile
class Pipe(io.RawIOBase):
    def __init__(self): self.data = bytearray()
    def writable(self): return True
    def write(self, b): self.data += b; return len(b)
pipe = Pipe()
with zipfile.ZipFile(pipe, 'w') as z:
    for name, method in (('s.dat', zipfile.ZIP_STORED), ('sub/', zipfile.ZIP_STORED), ('sub/t.txt', zipfile.ZIP_DEFLATED)):
        info = zipfile.ZipInfo.from_file('src/' + name, name.rstrip('/'))
        with open('src/' + name, 'rb') if not name.endswith('/') else io.BytesIO() as f:
            info.compress_type = method
            with z.open(info, 'w') as w: w.write(f.read())
open('pystream.zip', 'wb').write(pipe.data)
)PY"));
  }
  bool InSrc(const std::string& command) const {
    return test::Run("cd '" + Dir.Path() + "/src' && ( " + command + " ) >/dev/null 2>&1");
  }
  // An empty folder for one run; its folder "sub" is kept empty rather than made again,
  // which costs more than the run itself.
  std::string FreshOut() const {
    const std::string out = Dir / "out";
    ::mkdir(out.c_str(), 0755);
    for (const std::string& name : ListDir(out)) {
      struct stat st {};
      if (name != "sub" || ::lstat((out + "/sub").c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        TTempDir::RemoveTree(out + "/" + name);
        continue;
      }
      for (const std::string& inner : ListDir(out + "/sub")) TTempDir::RemoveTree(out + "/sub/" + inner);
    }
    return out;
  }
  std::vector<TOriginal> Originals() const {
    return {{"s.dat", false, false, Stored}, {"sub/", true, false, {}}, {"sub/t.txt", false, false, Deflated}};
  }

  // Text lines: a link made of them would hold a line break.
  const std::string Stored = [] {
    std::string text;
    for (int i = 0; i < 12; ++i) text += "line " + std::to_string(i) + " of a stored entry\n";
    return text;
  }();
  const std::string Deflated = std::string(5000, 'd') + "the end\n";
  TTempDir Dir{"qvzipdir"};
};

// The offset of a record of AArchive's bytes: the local header, central header or data
// descriptor of entry AIndex, or the (Zip64) end record.
enum class TRecord { Local, Central, Descriptor, End, Zip64End };

size_t RecordOffset(const std::string& ABytes, TRecord ARecord, int AIndex) {
  const auto find = [&](const char* sig, size_t from) { return ABytes.find(std::string(sig, 4), from); };
  switch (ARecord) {
    case TRecord::End: return ABytes.rfind(std::string("PK\x05\x06", 4));
    case TRecord::Zip64End: return ABytes.rfind(std::string("PK\x06\x06", 4));
    default: break;
  }
  const char* sig = ARecord == TRecord::Central ? "PK\x01\x02" : "PK\x03\x04";
  size_t at = find(sig, 0);
  for (int i = 0; i < AIndex && at != std::string::npos; ++i) at = find(sig, at + 4);
  return ARecord == TRecord::Descriptor ? find("PK\x07\x08", at) : at;
}

// Bytes of headers and records, the entries' data left out: where each entry's data start
// and how long the directory says they are.
std::vector<bool> HeaderBytes(const std::string& ABytes, const std::string& AArchive) {
  std::vector<bool> header(ABytes.size(), true);
  TZipRead zip(AArchive);
  zip.ReadDirectory();
  const auto* b = reinterpret_cast<const uint8_t*>(ABytes.data());
  for (const TZipListItem item : zip.Directory()) {
    const auto at = static_cast<size_t>(item.Header.Offset);
    const size_t start = at + 30 + GetLe16(b + at + 26) + GetLe16(b + at + 28);
    for (size_t i = start; i < start + static_cast<size_t>(item.Header.CSize); ++i) header[i] = false;
  }
  return header;
}

}  // namespace

// One row per field changed in an archive of zip: the archive fails, or the entry named, while
// every other entry restores as it was; a test of the archive fails the same way.
TEST_F(ZipDirectoryCheckTest, ChangedFieldsFailTheArchiveOrTheirEntry) {
  struct TRow {
    const char* what;
    const char* archive;
    TRecord record;
    int index;        // entry of a local or central header or descriptor
    size_t offset;    // of the field in the record
    int width;        // 1, 2, 4 or 8 bytes
    int64_t add;      // added to the field's value
    uint64_t flip;    // then xor'ed into it
    const char* fails;  // "" the archive, else the entry that fails
    const char* words;  // part of the message or context
  };
  constexpr uint64_t Bit3 = ZipFlagDataDescriptor;
  constexpr uint64_t FolderBit = 0x10;
  constexpr uint64_t LinkTypeBit = 0x2000ULL << 16;  // regular 0100000 becomes link 0120000
  constexpr uint64_t FileTypeBit = 0xC000ULL << 16;  // folder 040000 becomes regular 0100000
  const TRow rows[] = {
      {"local bit 3 cleared, stored", "stream.zip", TRecord::Local, 0, 6, 2, 0, Bit3, "s.dat", "Corrupt"},
      {"local bit 3 cleared, deflated", "stream.zip", TRecord::Local, 2, 6, 2, 0, Bit3, "sub/t.txt", "Corrupt"},
      {"local bit 3 cleared, zero sizes", "pystream.zip", TRecord::Local, 0, 6, 2, 0, Bit3, "s.dat", "Corrupt"},
      {"local bit 3 cleared, zero sizes, deflated", "pystream.zip", TRecord::Local, 2, 6, 2, 0, Bit3, "sub/t.txt",
       "Corrupt"},
      {"local bit 3 set", "plain.zip", TRecord::Local, 0, 6, 2, 0, Bit3, "s.dat", "Corrupt"},
      {"local CRC beside bit 3", "stream.zip", TRecord::Local, 0, 14, 4, 1, 0, "s.dat", "Corrupt"},
      {"local size beside bit 3", "stream.zip", TRecord::Local, 2, 22, 4, 5, 0, "sub/t.txt", "Corrupt"},
      {"local method", "plain.zip", TRecord::Local, 2, 8, 2, 0, 8, "sub/t.txt", "Corrupt"},
      {"local CRC", "plain.zip", TRecord::Local, 0, 14, 4, 0, 1, "s.dat", "Corrupt"},
      {"local encryption bit", "plain.zip", TRecord::Local, 0, 6, 2, 0, 1, "s.dat", "Corrupt"},
      {"descriptor CRC", "stream.zip", TRecord::Descriptor, 0, 4, 4, 0, 0x100, "s.dat", "Corrupt"},
      {"descriptor size", "stream.zip", TRecord::Descriptor, 2, 8, 4, 1, 0, "sub/t.txt", "Corrupt"},
      {"central CRC", "plain.zip", TRecord::Central, 2, 16, 4, 0, 1, "sub/t.txt", "Corrupt"},
      {"central CRC beside bit 3", "stream.zip", TRecord::Central, 0, 16, 4, 0, 1, "s.dat", "\"s.dat\""},
      {"central sizes", "plain.zip", TRecord::Central, 0, 20, 8, 0x100000001LL, 0, "s.dat", "Corrupt"},
      {"central uncompressed size", "plain.zip", TRecord::Central, 2, 24, 4, -1, 0, "sub/t.txt", "Corrupt"},
      {"central method", "plain.zip", TRecord::Central, 2, 10, 2, 0, 8, "sub/t.txt", "Corrupt"},
      {"folder bit on a file", "plain.zip", TRecord::Central, 2, 38, 4, 0, FolderBit, "sub/t.txt", "Corrupt"},
      {"folder bit beside bit 3", "stream.zip", TRecord::Central, 0, 38, 4, 0, FolderBit, "s.dat", "Corrupt"},
      {"link type on a file", "plain.zip", TRecord::Central, 0, 38, 4, 0, LinkTypeBit, "s.dat", "Corrupt"},
      {"file type on a folder", "plain.zip", TRecord::Central, 1, 38, 4, 0, FileTypeBit, "sub/", "Corrupt"},
      {"end record count lowered", "plain.zip", TRecord::End, 0, 8, 4, -0x10001, 0, "", "central directory"},
      {"end record count raised", "plain.zip", TRecord::End, 0, 10, 2, 1, 0, "", "entries"},
      {"end record size lowered", "stream.zip", TRecord::End, 0, 12, 4, -1, 0, "", "central directory"},
      {"end record size raised", "plain.zip", TRecord::End, 0, 12, 4, 1, 0, "", "central directory"},
      {"Zip64 count lowered", "zip64.zip", TRecord::Zip64End, 0, 24, 16, -1, 0, "", "entries"},
      {"Zip64 size raised", "zip64.zip", TRecord::Zip64End, 0, 40, 8, 2, 0, "", "central directory"},
      {"last name cut to its folder", "plain.zip", TRecord::Central, 2, 28, 2, -5, 0, "", "central directory"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.what);
    std::string bytes = ReadFile(Dir / row.archive);
    const size_t at = RecordOffset(bytes, row.record, row.index) + row.offset;
    ASSERT_LT(at + static_cast<size_t>(row.width), bytes.size());
    // A 16-byte field: two 8-byte counts changed alike.
    for (int part = 0; part < (row.width == 16 ? 2 : 1); ++part) {
      const int width = std::min(row.width, 8);
      uint64_t value = 0;
      std::memcpy(&value, bytes.data() + at + part * 8, static_cast<size_t>(width));
      value = (value + static_cast<uint64_t>(row.add)) ^ row.flip;
      std::memcpy(bytes.data() + at + part * 8, &value, static_cast<size_t>(width));
    }
    ASSERT_TRUE(WriteFile(Dir / "changed.zip", bytes));
    for (const bool test : {false, true}) {
      const std::string out = test ? std::string() : FreshOut();
      const TArchiveOutcome outcome = RunArchive(Dir / "changed.zip", out);
      EXPECT_EQ(WrongSuccess(Originals(), outcome, out), "");
      EXPECT_EQ(outcome.Failed, !*row.fails) << outcome.Why;
      std::string why = outcome.Why;
      for (size_t i = 0; i < outcome.Entries.size(); ++i) {
        const TEntryOutcome& entry = outcome.Entries[i];
        const bool failing = *row.fails && Originals()[i].Name == row.fails;
        EXPECT_EQ(entry.Failed, failing) << entry.Name << ": " << entry.Why;
        if (failing) why = entry.Why;
      }
      EXPECT_NE(why.find(row.words), std::string::npos) << why;
    }
  }
}

// Every bit of every header byte (local headers, descriptors, directory, end records) of a
// stored entry, a folder and a deflated entry, flipped in turn.
TEST_F(ZipDirectoryCheckTest, NoFlippedHeaderBitRestoresAMissingOrDifferentFile) {
  for (const char* archive : {"plain.zip", "pystream.zip"}) {
    SCOPED_TRACE(archive);
    const std::string original = ReadFile(Dir / archive);
    ASSERT_EQ(WrongSuccess(Originals(), RunArchive(Dir / archive, FreshOut()), Dir / "out"), "");
    const std::vector<bool> header = HeaderBytes(original, Dir / archive);
    int flips = 0, wrong = 0, restoredAll = 0;
    std::map<std::string, int> kinds;
    for (size_t at = 0; at < original.size(); ++at) {
      if (!header[at]) continue;
      for (int bit = 0; bit < 8; ++bit) {
        std::string bytes = original;
        bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
        ASSERT_TRUE(WriteFile(Dir / "flipped.zip", bytes));
        ++flips;
        const std::string out = FreshOut();
        const TArchiveOutcome outcome = RunArchive(Dir / "flipped.zip", out);
        const std::string why = WrongSuccess(Originals(), outcome, out);
        if (!why.empty()) {
          ++wrong;
          if (++kinds[why] == 1) ADD_FAILURE() << "byte " << at << " bit " << bit << ": " << why;
        }
        const bool all = !outcome.Failed && std::none_of(outcome.Entries.begin(), outcome.Entries.end(),
                                                         [](const TEntryOutcome& e) { return e.Failed; });
        restoredAll += all ? 1 : 0;
      }
    }
    std::printf("[ sweep    ] %s: %d flips, %d wrong successes, %d restored whole\n", archive, flips, wrong,
                restoredAll);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(flips, 8 * 250);
    // Flips in fields that do not touch the content (times, names, permissions) still restore.
    EXPECT_GT(restoredAll, 0);
  }
}

// Valid archives of real writers, folders and links included, restore as they always did.
TEST_F(ZipDirectoryCheckTest, ValidArchivesOfRealWritersRestoreIdentically) {
  ASSERT_EQ(::symlink("sub/t.txt", (Dir / "src/link").c_str()), 0);
  ASSERT_TRUE(InSrc("zip -q -y -n .dat ../zip-links.zip s.dat sub sub/t.txt link"));
  ASSERT_TRUE(InSrc("zip -q -fd -n .dat ../zip-fd.zip s.dat sub sub/t.txt"));
  ASSERT_TRUE(InSrc("zip -q -n .dat ../zip.zip s.dat sub sub/t.txt"));
  ASSERT_TRUE(InSrc("7zz a -tzip -snl ../7zz.zip s.dat sub link"));
  ASSERT_TRUE(InSrc("bsdtar -a -cf ../bsdtar.zip s.dat sub link"));
  // Python: a deflated folder (an empty deflate stream), a link, a folder without 0x10 and
  // an entry made on DOS; and a macOS archive: folders with a Unix mode only, __MACOSX.
  ASSERT_TRUE(RunPython(Dir.Path(), R"PY(
import zipfile
s = open('src/s.dat', 'rb').read(); t = open('src/sub/t.txt', 'rb').read()
def entry(name, system, mode, attr=0):
    i = zipfile.ZipInfo(name); i.create_system = system; i.external_attr = (mode << 16) | attr; return i
with zipfile.ZipFile('python.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('sub/', ''); z.writestr('sub/t.txt', t); z.writestr('s.dat', s)
    z.writestr(entry('link', 3, 0o120777), 'sub/t.txt', zipfile.ZIP_STORED)
    z.writestr(entry('dos/', 0, 0, 0x10), ''); z.writestr(entry('dos/s.dat', 0, 0, 0x20), s)
with zipfile.ZipFile('macos.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr(entry('sub/', 3, 0o40755), ''); z.writestr(entry('sub/t.txt', 3, 0o100644), t)
    z.writestr(entry('__MACOSX/', 3, 0o40755), ''); z.writestr(entry('__MACOSX/sub/', 3, 0o40755), '')
    z.writestr(entry('__MACOSX/sub/._t.txt', 3, 0o100644), b'\x00\x05\x16\x07' + bytes(60))
    z.writestr(entry('link', 3, 0o120755), 'sub/t.txt', zipfile.ZIP_STORED)
)PY"));
  const bool java = test::Run("command -v jar >/dev/null 2>&1");
  if (java) {
    ASSERT_TRUE(InSrc("jar cf ../jar.zip s.dat sub"));
  }

  const std::string s = Stored, t = Deflated, apple = std::string("\x00\x05\x16\x07", 4) + std::string(60, '\0');
  struct TRow {
    const char* archive;
    std::vector<TOriginal> entries;  // in directory order
  };
  const TOriginal S{"s.dat", false, false, s}, Sub{"sub/", true, false, {}}, T{"sub/t.txt", false, false, t},
      Link{"link", false, true, "sub/t.txt"};
  const TRow rows[] = {
      {"plain.zip", {S, Sub, T}},
      {"zip.zip", {S, Sub, T}},
      {"pystream.zip", {S, Sub, T}},
      {"stream.zip", {S, Sub, T}},
      {"zip64.zip", {S, Sub, T}},
      {"zip-fd.zip", {S, Sub, T}},
      {"zip-links.zip", {S, Sub, T, Link}},
      {"7zz.zip", {Link, S, Sub, T}},
      {"bsdtar.zip", {S, Sub, T, Link}},
      {"python.zip", {Sub, T, S, Link, {"dos/", true, false, {}}, {"dos/s.dat", false, false, s}}},
      {"macos.zip", {Sub, T, {"__MACOSX/", true, false, {}}, {"__MACOSX/sub/", true, false, {}}, {"__MACOSX/sub/._t.txt", false, false, apple}, Link}},
      {"jar.zip", {{"META-INF/", true, false, {}}, {"META-INF/MANIFEST.MF", false, false, {}}, S, Sub, T}},
  };
  for (const TRow& row : rows) {
    if (std::string(row.archive) == "jar.zip" && !java) {
      continue;
    }
    SCOPED_TRACE(row.archive);
    std::vector<TOriginal> entries = row.entries;
    for (const bool test : {false, true}) {
      const std::string out = test ? std::string() : FreshOut();
      const TArchiveOutcome outcome = RunArchive(Dir / row.archive, out);
      ASSERT_FALSE(outcome.Failed) << outcome.Why;
      ASSERT_EQ(outcome.Entries.size(), entries.size());
      for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(outcome.Entries[i].Name, entries[i].Name);
        EXPECT_FALSE(outcome.Entries[i].Failed) << entries[i].Name << ": " << outcome.Entries[i].Why;
        // The manifest's text is jar's own.
        if (entries[i].Name == "META-INF/MANIFEST.MF" && !test) entries[i].Content = ReadFile(out + "/" + entries[i].Name);
      }
      EXPECT_EQ(WrongSuccess(entries, outcome, out), "");
    }
  }
}
