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
  EXPECT_EQ(SizeToStr(0), "0 B");
  EXPECT_EQ(SizeToStr(1023), "1023 B");
  EXPECT_EQ(SizeToStr(-5000), "-5000 B");
  EXPECT_EQ(SizeToStr(1024), "1.00 kB");
  EXPECT_EQ(SizeToStr(102400), "100.0 kB");
  EXPECT_EQ(SizeToStr(1048575), "1024.0 kB");
  EXPECT_EQ(SizeToStr(1048576), "1.00 MB");
  EXPECT_EQ(SizeToStr(1572864), "1.50 MB");
  EXPECT_EQ(SizeToStr(200LL << 20), "200.0 MB");
  EXPECT_EQ(SizeToStr(5LL << 30), "5.00 GB");
  EXPECT_EQ(SizeToStr(107374182400LL), "100.00 GB");
  EXPECT_EQ(SizeToStr(INT64_MAX), "8589934592.00 GB");
}

TEST_F(FormatTest, LocaleDecimalSeparator) {
  SetDecimalSeparator(",");
  EXPECT_EQ(SizeToStr(1536), "1,50 kB");
  EXPECT_EQ(FixedToStr(3.14159, 3), "3,142");
  EXPECT_EQ(FixedToStr(1234567.5, 1), "1234567,5");
  SetDecimalSeparator(".");
  // Exact ties round away from zero; 1.005 lies below its tie as a double.
  EXPECT_EQ(FixedToStr(2.5, 0), "3");
  EXPECT_EQ(FixedToStr(-0.125, 2), "-0.13");
  EXPECT_EQ(FixedToStr(0.125, 2), "0.13");
  EXPECT_EQ(FixedToStr(1.005, 2), "1.00");
  EXPECT_EQ(FixedToStr(1.05, 1), "1.1");
  EXPECT_EQ(FixedToStr(1.0, 3), "1.000");
  EXPECT_EQ(SizeToStr(1152), "1.13 kB");
  CaptureNumberFormat();
  EXPECT_FALSE(DecimalSeparator().empty());
}

TEST_F(FormatTest, IntToStrSepPadsOrGroups) {
  EXPECT_EQ(IntToStrSep(42), "42");
  EXPECT_EQ(IntToStrSep(42, 5), "   42");
  EXPECT_EQ(IntToStrSep(123456, 3), "123456");
  EXPECT_EQ(IntToStrSep(1234567, -1), "1 234 567");
  EXPECT_EQ(IntToStrSep(123456, -1), "123 456");
  EXPECT_EQ(IntToStrSep(999, -1), "999");
  EXPECT_EQ(IntToStrSep(-1234, -1), "-1 234");
  EXPECT_EQ(IntToStrSep(-123, -1), "-123");
}

TEST(FitIntoWorkArea, MovesInsideWithMargins) {
  const TRect area{0, 0, 1920, 1040};
  int left = 1800, top = 1000;
  FitIntoWorkArea(left, top, 200, 300, area);
  EXPECT_EQ(left, 1920 - 300 - 20);
  EXPECT_EQ(top, 1040 - 200 - 30);

  left = -50, top = -10;
  FitIntoWorkArea(left, top, 200, 300, area);
  EXPECT_EQ(left, 20);
  EXPECT_EQ(top, 20);

  left = 100, top = 100;
  FitIntoWorkArea(left, top, 200, 300, area);
  EXPECT_EQ(left, 100);
  EXPECT_EQ(top, 100);

  // Wider than the area: the left edge wins.
  const TRect second{1920, 0, 2560, 1024};
  left = 2000, top = 0;
  FitIntoWorkArea(left, top, 2000, 800, second);
  EXPECT_EQ(left, 1940);
  EXPECT_EQ(top, 20);
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
