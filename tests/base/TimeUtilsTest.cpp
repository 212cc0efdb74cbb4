#include "base/TimeUtils.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace qv;

namespace {

// Runs the test body under a fixed time zone and restores the previous one.
class TZoneGuard {
 public:
  explicit TZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) FOld = old, FHadOld = true;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TZoneGuard() {
    if (FHadOld)
      ::setenv("TZ", FOld.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::string FOld;
  bool FHadOld = false;
};

uint32_t Dos(int y, int mo, int d, int h, int mi, int s) {
  return static_cast<uint32_t>((y - 1980) << 9 | mo << 5 | d) << 16 |
         static_cast<uint32_t>(h << 11 | mi << 5 | s / 2);
}

}  // namespace

TEST(FileTimes, TimespecConversionIsExactTo100ns) {
  const timespec ts{1'700'000'000, 123'456'700};
  const TFileTime ft = FileTimeFromTimespec(ts);
  EXPECT_EQ(ft, 133'444'736'001'234'567LL);
  const timespec back = TimespecFromFileTime(ft);
  EXPECT_EQ(back.tv_sec, ts.tv_sec);
  EXPECT_EQ(back.tv_nsec, ts.tv_nsec);
  // Before 1970 the nanoseconds stay non-negative.
  const timespec early = TimespecFromFileTime(UnixEpochFileTime - 5);
  EXPECT_EQ(early.tv_sec, -1);
  EXPECT_EQ(early.tv_nsec, 999'999'500);
  EXPECT_EQ(FileTimeFromTimespec(early), UnixEpochFileTime - 5);
  EXPECT_EQ(FileTimeFromUnixSeconds(0), UnixEpochFileTime);
}

TEST(FileTimes, DateConversionKeepsCalendarFields) {
  EXPECT_DOUBLE_EQ(FileTimeToDate(UnixEpochFileTime), 25569.0);
  EXPECT_DOUBLE_EQ(FileTimeToDate(0), -109205.0);
  // 2000-01-01 18:00 is day 36526.75.
  EXPECT_DOUBLE_EQ(FileTimeToDate(FileTimeFromUnixSeconds(946'749'600)), 36526.75);
  EXPECT_DOUBLE_EQ(FileTimeToDate(-1), 0.0);

  EXPECT_EQ(DateToFileTime(25569.0), UnixEpochFileTime);
  EXPECT_EQ(DateToFileTime(36526.75), FileTimeFromUnixSeconds(946'749'600));
  // Milliseconds survive the round trip, finer units do not.
  const TFileTime ft = FileTimeFromUnixSeconds(1'234'567'890) + 1'237'654;
  EXPECT_EQ(DateToFileTime(FileTimeToDate(ft)), FileTimeFromUnixSeconds(1'234'567'890) + 1'230'000);
  EXPECT_EQ(DateToFileTime(-200000.0), 0);
}

TEST(UnixSeconds, RoundToTheNearestSecond) {
  EXPECT_EQ(DateTimeToUnixSeconds(25569.0), 0);
  EXPECT_EQ(DateTimeToUnixSeconds(25570.5), 129600);
  EXPECT_EQ(DateTimeToUnixSeconds(0.0), -2209161600LL);
  EXPECT_EQ(FileTimeToUnixSeconds(FileTimeFromUnixSeconds(1'600'000'000)), 1'600'000'000);
  EXPECT_EQ(FileTimeToUnixSeconds(FileTimeFromUnixSeconds(1'600'000'000) + 4'990'000),
            1'600'000'000);
  EXPECT_EQ(FileTimeToUnixSeconds(FileTimeFromUnixSeconds(1'600'000'000) + 5'010'000),
            1'600'000'001);
  EXPECT_EQ(FileTimeToUnixSeconds(-5), -2209161600LL);
  // Before 1970 the count is negative.
  EXPECT_EQ(FileTimeToUnixSeconds(FileTimeFromUnixSeconds(-86400)), -86400);
}

TEST(DosTimes, ReadAsLocalTimeWithTheRulesOfThatDate) {
  {
    TZoneGuard utc("UTC0");
    EXPECT_EQ(DosTimeToUnixSeconds(Dos(1980, 1, 1, 0, 0, 0)), 315'532'800);
    EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 2, 29, 13, 45, 58)), 1'709'214'358);
  }
  {
    TZoneGuard berlin("CET-1CEST,M3.5.0,M10.5.0/3");
    // Winter: UTC+1; summer: UTC+2.
    EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 1, 15, 12, 0, 0)), 1'705'316'400);
    EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 7, 15, 12, 0, 0)), 1'721'037'600);
    EXPECT_EQ(UnixSecondsToDosTime(1'721'037'600), Dos(2024, 7, 15, 12, 0, 0));
    EXPECT_EQ(FileTimeToDosTime(FileTimeFromUnixSeconds(1'705'316'401)),
              Dos(2024, 1, 15, 12, 0, 0));
  }
}

TEST(DosTimes, InvalidFieldsGiveZero) {
  TZoneGuard utc("UTC0");
  EXPECT_EQ(DosTimeToUnixSeconds(0), 0);                         // month 0, day 0
  EXPECT_EQ(DosTimeToUnixSeconds(Dos(2023, 2, 29, 0, 0, 0)), 0);  // no leap year
  EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 13, 1, 0, 0, 0)), 0);
  EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 4, 31, 0, 0, 0)), 0);
  EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 4, 30, 24, 0, 0)), 0);
  EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 4, 30, 23, 60, 0)), 0);
  EXPECT_EQ(DosTimeToUnixSeconds(Dos(2024, 4, 30, 23, 0, 0) | 30), 0);  // 60 seconds
  // Out-of-range moments clamp to the ends of the DOS range.
  EXPECT_EQ(UnixSecondsToDosTime(0), Dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(UnixSecondsToDosTime(5'000'000'000LL), Dos(2107, 12, 31, 23, 59, 58));
}

TEST(CalendarDates, MonthLengthsAndCenturyLeapRules) {
  EXPECT_TRUE(IsValidDate(2024, 2, 29));
  EXPECT_FALSE(IsValidDate(2023, 2, 29));
  EXPECT_TRUE(IsValidDate(2000, 2, 29));   // divisible by 400
  EXPECT_FALSE(IsValidDate(1900, 2, 29));  // a century that is not
  EXPECT_TRUE(IsValidDate(2023, 12, 31));
  EXPECT_FALSE(IsValidDate(2023, 11, 31));
  EXPECT_FALSE(IsValidDate(2023, 0, 1));
  EXPECT_FALSE(IsValidDate(2023, 13, 1));
  EXPECT_FALSE(IsValidDate(2023, 1, 0));
}
