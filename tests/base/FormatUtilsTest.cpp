// SPDX-License-Identifier: Apache-2.0
#include "base/FormatUtils.h"

#include <gtest/gtest.h>

using namespace qv;

namespace {

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { SetDecimalSeparator("."); }
  void TearDown() override { SetDecimalSeparator("."); }
};

}  // namespace

TEST_F(FormatTest, SizeToStrPicksUnitAndDecimals) {
  const struct { int64_t Bytes; std::string Text; } rows[] = {
      {0, "0 B"}, {1023, "1023 B"}, {-5000, "-5000 B"}, {1024, "1.00 kB"},
      {102400, "100.0 kB"}, {1048575, "1024.0 kB"}, {1048576, "1.00 MB"}, {1572864, "1.50 MB"},
      {200LL << 20, "200.0 MB"}, {5LL << 30, "5.00 GB"}, {107374182400LL, "100.00 GB"},
      {INT64_MAX, "8589934592.00 GB"},
  };
  for (const auto& row : rows) EXPECT_EQ(SizeToStr(row.Bytes), row.Text) << row.Bytes;
}

TEST_F(FormatTest, LocaleDecimalSeparator) {
  // Exact ties round away from zero; 1.005 lies below its tie as a double.
  const struct { std::string Separator; double Value; int Decimals; std::string Text; } fixed[] = {
      {",", 3.14159, 3, "3,142"}, {",", 1234567.5, 1, "1234567,5"},
      {".", 2.5, 0, "3"}, {".", -0.125, 2, "-0.13"}, {".", 0.125, 2, "0.13"},
      {".", 1.005, 2, "1.00"}, {".", 1.05, 1, "1.1"}, {".", 1.0, 3, "1.000"},
  };
  for (const auto& row : fixed) {
    SetDecimalSeparator(row.Separator);
    EXPECT_EQ(FixedToStr(row.Value, row.Decimals), row.Text) << row.Value;
  }
  const struct { std::string Separator; int64_t Bytes; std::string Text; } sizes[] = {
      {",", 1536, "1,50 kB"}, {".", 1152, "1.13 kB"}};
  for (const auto& row : sizes) {
    SetDecimalSeparator(row.Separator);
    EXPECT_EQ(SizeToStr(row.Bytes), row.Text) << row.Bytes;
  }
  CaptureNumberFormat();
  EXPECT_FALSE(DecimalSeparator().empty());
}

TEST_F(FormatTest, IntToStrSepPadsOrGroups) {
  const struct { int64_t Value; int Width; std::string Text; } rows[] = {
      {42, 0, "42"}, {42, 5, "   42"}, {123456, 3, "123456"}, {1234567, -1, "1 234 567"},
      {123456, -1, "123 456"}, {999, -1, "999"}, {-1234, -1, "-1 234"}, {-123, -1, "-123"},
  };
  for (const auto& row : rows) EXPECT_EQ(IntToStrSep(row.Value, row.Width), row.Text) << row.Value << " " << row.Width;
}

TEST(FitIntoWorkArea, MovesInsideWithMargins) {
  const TRect area{0, 0, 1920, 1040};
  const struct { TRect Area; int Left, Top, Height, Width, FitLeft, FitTop; } rows[] = {
      {area, 1800, 1000, 200, 300, 1920 - 300 - 20, 1040 - 200 - 30},
      {area, -50, -10, 200, 300, 20, 20},
      {area, 100, 100, 200, 300, 100, 100},
      {{1920, 0, 2560, 1024}, 2000, 0, 2000, 800, 1940, 20},  // wider than the area: the left edge wins
  };
  for (const auto& row : rows) {
    int left = row.Left, top = row.Top;
    FitIntoWorkArea(left, top, row.Height, row.Width, row.Area);
    EXPECT_EQ(left, row.FitLeft) << row.Left << "," << row.Top;
    EXPECT_EQ(top, row.FitTop) << row.Left << "," << row.Top;
  }
}

TEST(EscapeControlChars, NamesCannotForgeLinesOrDriveTheTerminal) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"plain name.txt", "plain name.txt"},
      {"evil\nError restoring file: forged", "evil\\nError restoring file: forged"},
      {"\x1b[2Jclear", "\\x1b[2Jclear"},
      {"tab\there\r", "tab\\there\\r"},
      {"back\\slash", "back\\\\slash"},
      {"del\x7f", "del\\x7f"},
      {"\xc3\x84pfel", "\xc3\x84pfel"},  // UTF-8 letters pass through
  };
  for (const auto& r : rows) EXPECT_EQ(EscapeControlChars(r.in), r.out) << r.in;
}
