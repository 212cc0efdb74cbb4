// SPDX-License-Identifier: Apache-2.0
// The CLI's own units: date parsing, JSON strings and the width of the progress line.
#include <gtest/gtest.h>

#include "cli/CliArgs.h"
#include "cli/CliView.h"
#include "cli/JsonText.h"

namespace qv {
namespace {

struct TDateCase {
  const char* Text;
  bool Valid;
  int DayNumber;  // counted from 1899-12-30
};

TEST(CliUnitsTest, IsoDates) {
  const TDateCase cases[] = {
      {"1970-01-01", true, 25569},   {"2013-05-10", true, 41404}, {"9999-12-31", true, 2958465},
      {"2000-02-29", true, 36585},   {"1900-02-28", false, 0},    {"1969-12-31", false, 0},
      {"2023-02-29", false, 0},      {"2013-+5-10", false, 0},    {"2013-5-10", false, 0},
      {"2013-05-10 ", false, 0},     {" 2013-05-1", false, 0},    {"2013/05/10", false, 0},
      {"2013-13-01", false, 0},      {"2013-00-10", false, 0},    {"", false, 0},
  };
  for (const TDateCase& c : cases) {
    int day = 0;
    EXPECT_EQ(ParseIsoDate(c.Text, day), c.Valid) << c.Text;
    if (c.Valid) {
      EXPECT_EQ(day, c.DayNumber) << c.Text;
    }
  }
}

TEST(CliUnitsTest, JsonStrings) {
  const struct {
    std::string Text;
    std::string Json;
  } cases[] = {
      {"plain", "\"plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nbreak\ttab\x1b", "\"line\\nbreak\\ttab\\u001b\""},
      {"\xC3\xA4pfel", "\"\xC3\xA4pfel\""},                 // valid UTF-8 stays
      {"bad\xFF", "\"bad\xEF\xBF\xBD\""},                   // an invalid byte
      {"\xC0\xAF", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},         // an overlong form
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a surrogate
      {"cut\xE2\x82", "\"cut\xEF\xBF\xBD\xEF\xBF\xBD\""},  // a sequence cut short
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.Text), c.Json) << c.Text;
}

TEST(CliUnitsTest, ProgressLineFitsEveryWidth) {
  TRunProgress p;
  p.FilesDone = 1234;
  p.FilesTotal = 20000;
  p.BytesDone = 5'000'000'000;
  p.BytesTotal = 9'000'000'000;
  p.Current = "/backup/some/deep/folder/with/a/\xC3\xA4-very-long-file-name-\x1b[2J.txt";
  for (int columns = 2; columns <= 200; ++columns) {
    const std::string line = FormatProgressLine(p, 12.5, columns);
    size_t chars = 0;
    for (unsigned char c : line) chars += (c & 0xC0) != 0x80;
    EXPECT_LE(chars, static_cast<size_t>(columns - 1)) << columns;
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << columns;  // the name's escape is shown, not sent
  }
  const std::string wide = FormatProgressLine(p, 12.5, 200);
  EXPECT_EQ(wide.rfind("[1234/20000] 55% ", 0), 0u) << wide;
  EXPECT_NE(wide.find("ETA 0:00:10"), std::string::npos) << wide;
  EXPECT_NE(wide.find("\\x1b[2J.txt"), std::string::npos) << wide;
  const std::string narrow = FormatProgressLine(p, 12.5, 40);
  EXPECT_NE(narrow.find("...", 0), std::string::npos) << narrow;  // the name cut from the left
}

}  // namespace
}  // namespace qv
