// SPDX-License-Identifier: Apache-2.0
// Restores on Windows through the session (run under Wine in CI): names Windows cannot hold
// in .gz files and zip entries, the attributes a zip entry carries, and names that differ
// only in case meeting on the destination. The fixtures are written here with zlib: a
// Windows process starts no gzip or zip.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "base/FileUtils.h"
#include "restore/ScriptedView.h"

namespace qv::test {
namespace {

std::string Gzip(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct TZipEntry {
  std::string Name, Data;
  uint32_t DosAttributes = 0x20;  // made by MS-DOS: the low byte is the attribute byte
};

void Put16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// A zip archive with stored entries, as a backup program on Windows writes one.
std::string Zip(const std::vector<TZipEntry>& entries) {
  std::string out, central;
  const uint32_t dosTime = (10u << 11) | (30u << 5), dosDate = ((2020u - 1980u) << 9) | (6u << 5) | 15u;
  for (const TZipEntry& e : entries) {
    const uint32_t offset = static_cast<uint32_t>(out.size());
    const uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.Data.data()),
                                                     static_cast<uInt>(e.Data.size())));
    const auto size = static_cast<uint32_t>(e.Data.size());
    Put32(out, 0x04034B50);
    Put16(out, 10), Put16(out, 0), Put16(out, 0), Put16(out, dosTime), Put16(out, dosDate);
    Put32(out, crc), Put32(out, size), Put32(out, size);
    Put16(out, static_cast<uint32_t>(e.Name.size())), Put16(out, 0);
    out += e.Name + e.Data;
    Put32(central, 0x02014B50);
    Put16(central, 20), Put16(central, 10), Put16(central, 0), Put16(central, 0);
    Put16(central, dosTime), Put16(central, dosDate);
    Put32(central, crc), Put32(central, size), Put32(central, size);
    Put16(central, static_cast<uint32_t>(e.Name.size())), Put16(central, 0), Put16(central, 0);
    Put16(central, 0), Put16(central, 0), Put32(central, e.DosAttributes), Put32(central, offset);
    central += e.Name;
  }
  const auto cdOffset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054B50);
  Put16(out, 0), Put16(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size())), Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size())), Put32(out, cdOffset), Put16(out, 0);
  return out;
}

std::vector<std::string> FilesBelow(const std::string& folder, const std::string& prefix = "") {
  std::vector<std::string> files;
  for (const auto& name : ListDir(folder)) {
    struct stat st {};
    if (::lstat((folder + "/" + name).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      for (const auto& inner : FilesBelow(folder + "/" + name, prefix + name + "/")) files.push_back(inner);
    } else {
      files.push_back(prefix + name);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

class WinRestore : public TRestoreFixture {
 protected:
  WinRestore() : TRestoreFixture("qvwinrestore") {}
  void SetUp() override {
    TRestoreFixture::SetUp();
    view.Mode = rmDirectory;
  }
};

enum class TSource { Gz, Zip };

struct TNameRow {
  TSource Kind;
  const char* Name;      // of the .gz file, or of the zip entry
  const char* Restored;  // nullptr: refused as a name Windows cannot hold
};

class WindowsRestoreNames : public WinRestore, public ::testing::WithParamInterface<TNameRow> {};

TEST_P(WindowsRestoreNames, RefusedWithTheirOwnReason) {
  const TNameRow row = GetParam();
  if (row.Kind == TSource::Gz) {
    ASSERT_TRUE(WriteFile(Src(row.Name), Gzip("data")));
    view.Folder = src;
  } else {
    ASSERT_TRUE(WriteFile(dir / "names.zip", Zip({{row.Name, "data"}})));
    view.Folder = dir / "names.zip";
  }
  session.Start(view.RunOptions());
  ASSERT_EQ(view.Reports.size(), 1u) << "one report, never a silent skip";
  const TItemReport& report = view.Reports[0];
  if (row.Restored == nullptr) {
    EXPECT_EQ(report.Action, iaFailed);
    EXPECT_EQ(ErrorDetail(report.Code.Value()), errNameNotHeld);
    EXPECT_NE(report.Message.find("Name refused: Windows cannot hold this name"), std::string::npos) << report.Message;
    EXPECT_TRUE(FilesBelow(dst).empty()) << "nothing written under another name";
    EXPECT_EQ(session.LastRun().Errors, 1u);
  } else {
    EXPECT_EQ(report.Action, iaRestored) << report.Message;
    EXPECT_EQ(FilesBelow(dst), std::vector<std::string>{row.Restored});
    EXPECT_EQ(ReadFile(Dst(row.Restored)), "data");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsRestoreNames,
    ::testing::Values(TNameRow{TSource::Gz, "trail..gz", nullptr}, TNameRow{TSource::Gz, "space .gz", nullptr},
                      TNameRow{TSource::Gz, "fine.txt.gz", "fine.txt"},
                      TNameRow{TSource::Zip, "CON", nullptr}, TNameRow{TSource::Zip, "aux.txt", nullptr},
                      TNameRow{TSource::Zip, "Com3.log", nullptr}, TNameRow{TSource::Zip, "trail.", nullptr},
                      TNameRow{TSource::Zip, "space ", nullptr}, TNameRow{TSource::Zip, "file.txt:stream", nullptr},
                      TNameRow{TSource::Zip, "q?.txt", nullptr}, TNameRow{TSource::Zip, "pipe|.txt", nullptr},
                      TNameRow{TSource::Zip, "lt<gt>.txt", nullptr}, TNameRow{TSource::Zip, "quote\".txt", nullptr},
                      TNameRow{TSource::Zip, "star*.txt", nullptr}, TNameRow{TSource::Zip, "bell\x07.txt", nullptr},
                      TNameRow{TSource::Zip, "d/nul/x.txt", nullptr}, TNameRow{TSource::Zip, "dot./x.txt", nullptr},
                      TNameRow{TSource::Zip, "console.txt", "console.txt"},
                      TNameRow{TSource::Zip, "sub/ok.txt", "sub/ok.txt"}));

struct TAttrRow {
  uint32_t Dos;        // the entry's attribute byte
  DWORD Expected;      // read-only and hidden as Windows then reports them on the target
};

class WindowsRestoreAttributes : public WinRestore, public ::testing::WithParamInterface<TAttrRow> {};

TEST_P(WindowsRestoreAttributes, ZipEntryAttributesKept) {
  const TAttrRow row = GetParam();
  ASSERT_TRUE(WriteFile(dir / "a.zip", Zip({{"f.txt", "data", row.Dos}})));
  view.Folder = dir / "a.zip";
  session.Start(view.RunOptions());
  ASSERT_EQ(session.LastRun().Errors, 0u) << view.Summary();
  const DWORD attributes = GetFileAttributesW(qv_wide_path(Dst("f.txt")).c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), row.Expected);
  EXPECT_EQ(ReadFile(Dst("f.txt")), "data");
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsRestoreAttributes,
                         ::testing::Values(TAttrRow{0x20, 0}, TAttrRow{0x21, FILE_ATTRIBUTE_READONLY},
                                           TAttrRow{0x22, FILE_ATTRIBUTE_HIDDEN},
                                           TAttrRow{0x23, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN}));

struct TCaseRow {
  TOverwriteMode Overwrite;
  const char* Content;  // of the one file afterwards
  uint32_t Restored, Skipped;
};

class WindowsRestoreCase : public WinRestore, public ::testing::WithParamInterface<TCaseRow> {};

// Two entries whose names differ only in case are one file on Windows: the second meets the
// first as an existing target, and the overwrite rule decides; never two reports of success
// for one file that holds only one of them, never a second file under another name.
TEST_P(WindowsRestoreCase, EntriesThatDifferOnlyInCaseMeetOnTheDestination) {
  const TCaseRow row = GetParam();
  ASSERT_TRUE(WriteFile(dir / "c.zip", Zip({{"Doc.txt", "first"}, {"DOC.TXT", "second"}})));
  view.Folder = dir / "c.zip";
  view.Overwrite = row.Overwrite;
  session.Start(view.RunOptions());
  ASSERT_EQ(FilesBelow(dst).size(), 1u);
  EXPECT_EQ(ReadFile(Dst("doc.txt")), row.Content);
  EXPECT_EQ(session.LastRun().Errors, 0u) << view.Summary();
  uint32_t restored = 0, skipped = 0;
  for (const auto& r : view.Reports) {
    restored += r.Action == iaRestored;
    skipped += r.Action == iaSkipped;
  }
  EXPECT_EQ(restored, row.Restored);
  EXPECT_EQ(skipped, row.Skipped);
}

INSTANTIATE_TEST_SUITE_P(Table, WindowsRestoreCase,
                         ::testing::Values(TCaseRow{omNever, "first", 1, 1}, TCaseRow{omAlways, "second", 2, 0}));

// An existing folder whose name differs only in case from a restored file's is that file's
// place: the file is refused, the folder and what it holds stay.
TEST_F(WinRestore, FileMeetsFolderOfTheSameNameInAnotherCase) {
  ASSERT_TRUE(WriteFile(dir / "f.zip", Zip({{"report", "file"}})));
  ASSERT_EQ(::mkdir(dst.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Dst("REPORT").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(Dst("REPORT/inner.txt"), "kept"));
  view.Folder = dir / "f.zip";
  view.Overwrite = omAlways;
  session.Start(view.RunOptions());
  EXPECT_EQ(session.LastRun().Errors, 1u) << view.Summary();
  EXPECT_EQ(ReadFile(Dst("REPORT/inner.txt")), "kept");
}

}  // namespace
}  // namespace qv::test
