// SPDX-License-Identifier: Apache-2.0
// A damaged item's error lines say why, not only that: the line after the message is what the
// worker or the reader found, on every path the item can take (alone, pooled, from an archive).
#include <gtest/gtest.h>

#include "restore/RestoreSession.h"
#include "ScriptedView.h"
#include "transfer/TestUtil.h"

namespace qv::test {
namespace {

class ErrorDetailRun : public TRestoreFixture {
 protected:
  ErrorDetailRun() : TRestoreFixture("qverrordetail") {}

  // Flips one byte of a file, counted from its start (negative: from its end).
  void Flip(const std::string& path, long at) {
    std::string bytes = ReadFile(path);
    bytes[at < 0 ? bytes.size() + at : static_cast<size_t>(at)] ^= 0x01;
    ASSERT_TRUE(WriteFile(path, bytes));
  }
};

TEST_F(ErrorDetailRun, DamagedItemsSayWhatDisagrees) {
  ASSERT_TRUE(WriteFile(Src("a.txt"), RandomBytes(3000, 7)));
  ASSERT_TRUE(qv::test::Run("cd '" + src + "' && gzip -kn a.txt && zip -qX a.zip a.txt && rm a.txt"));
  struct TRow {
    const char* Name;
    TRestoreMode Mode;
    std::string Item;     // Files mode's item, or Directory mode's folder
    std::string Damaged;  // the file to damage
    long FlipAt;
    std::string Detail;   // the error's last line
  };
  const TRow rows[] = {
      // The gzip trailer's CRC, 8 bytes from the end.
      {"gzip CRC", rmFiles, Src("a.txt.gz"), Src("a.txt.gz"), -7, "CRC-32 "},
      {"gzip size", rmDirectory, src, Src("a.txt.gz"), -2, "size "},
      // The local header's compressed size (offset 18) against the directory's.
      {"zip local size, alone", rmFiles, Src("a.zip/a.txt"), Src("a.zip"), 18,
       "entry \"a.txt\" at offset 0: compressed size "},
      {"zip local size, archive folder", rmDirectory, Src("a.zip"), Src("a.zip"), 18,
       "entry \"a.txt\" at offset 0: compressed size "},
  };
  const std::string gz = ReadFile(Src("a.txt.gz")), zip = ReadFile(Src("a.zip"));
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    ASSERT_TRUE(WriteFile(Src("a.txt.gz"), gz));
    ASSERT_TRUE(WriteFile(Src("a.zip"), zip));
    Flip(row.Damaged, row.FlipAt);
    view.Mode = row.Mode;
    view.Overwrite = omAlways;
    if (row.Mode == rmFiles) view.Items = {row.Item};
    else view.Folder = row.Item;
    view.Details.clear();
    session.Start(view.RunOptions());
    // A single item's failure is shown at once, with the detail as its one line.
    ASSERT_FALSE(view.Details.empty());
    const std::string last = view.Details.back();
    EXPECT_EQ(last.substr(0, 3 + row.Detail.size()), "   " + row.Detail) << last;
    EXPECT_FALSE(FileExists(Dst("a.txt")) && row.Mode == rmFiles);
  }
}

}  // namespace
}  // namespace qv::test
