// SPDX-License-Identifier: Apache-2.0
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
  const struct { timespec Ts; TFileTime Ft; } rows[] = {
      {{1'700'000'000, 123'456'700}, 133'444'736'001'234'567LL},
      {{-1, 999'999'500}, UnixEpochFileTime - 5},  // before 1970 the nanoseconds stay non-negative
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FileTimeFromTimespec(row.Ts), row.Ft);
    const timespec back = TimespecFromFileTime(row.Ft);
    EXPECT_EQ(back.tv_sec, row.Ts.tv_sec) << row.Ft;
    EXPECT_EQ(back.tv_nsec, row.Ts.tv_nsec) << row.Ft;
  }
  EXPECT_EQ(FileTimeFromUnixSeconds(0), UnixEpochFileTime);
}

TEST(FileTimes, DateConversionKeepsCalendarFields) {
  const TFileTime evening2000 = FileTimeFromUnixSeconds(946'749'600);  // 2000-01-01 18:00: day 36526.75
  const struct { TFileTime Ft; double Date; } toDate[] = {
      {UnixEpochFileTime, 25569.0}, {0, -109205.0}, {evening2000, 36526.75}, {-1, 0.0}};
  for (const auto& row : toDate) EXPECT_DOUBLE_EQ(FileTimeToDate(row.Ft), row.Date) << row.Ft;
  const struct { double Date; TFileTime Ft; } fromDate[] = {
      {25569.0, UnixEpochFileTime}, {36526.75, evening2000}, {-200000.0, 0}};
  for (const auto& row : fromDate) EXPECT_EQ(DateToFileTime(row.Date), row.Ft) << row.Date;
  // Milliseconds survive the round trip, finer units do not.
  const TFileTime ft = FileTimeFromUnixSeconds(1'234'567'890) + 1'237'654;
  EXPECT_EQ(DateToFileTime(FileTimeToDate(ft)), FileTimeFromUnixSeconds(1'234'567'890) + 1'230'000);
}

TEST(UnixSeconds, RoundToTheNearestSecond) {
  const struct { double Date; int64_t Seconds; } dates[] = {{25569.0, 0}, {25570.5, 129600}, {0.0, -2209161600LL}};
  for (const auto& row : dates) EXPECT_EQ(DateTimeToUnixSeconds(row.Date), row.Seconds) << row.Date;
  const TFileTime base = FileTimeFromUnixSeconds(1'600'000'000);
  const struct { TFileTime Ft; int64_t Seconds; } fileTimes[] = {
      {base, 1'600'000'000},
      {base + 4'990'000, 1'600'000'000},
      {base + 5'010'000, 1'600'000'001},
      {-5, -2209161600LL},
      {FileTimeFromUnixSeconds(-86400), -86400},  // before 1970 the count is negative
  };
  for (const auto& row : fileTimes) EXPECT_EQ(FileTimeToUnixSeconds(row.Ft), row.Seconds) << row.Ft;
}

TEST(DosTimes, ReadAsLocalTimeWithTheRulesOfThatDate) {
  const char* const berlin = "CET-1CEST,M3.5.0,M10.5.0/3";  // winter UTC+1, summer UTC+2
  const struct { const char* Zone; uint32_t DosTime; int64_t Seconds; } rows[] = {
      {"UTC0", Dos(1980, 1, 1, 0, 0, 0), 315'532'800},
      {"UTC0", Dos(2024, 2, 29, 13, 45, 58), 1'709'214'358},
      {berlin, Dos(2024, 1, 15, 12, 0, 0), 1'705'316'400},
      {berlin, Dos(2024, 7, 15, 12, 0, 0), 1'721'037'600},
  };
  for (const auto& row : rows) {
    TZoneGuard zone(row.Zone);
    EXPECT_EQ(DosTimeToUnixSeconds(row.DosTime), row.Seconds) << row.Zone << " " << row.Seconds;
  }
  TZoneGuard zone(berlin);
  EXPECT_EQ(UnixSecondsToDosTime(1'721'037'600), Dos(2024, 7, 15, 12, 0, 0));
  EXPECT_EQ(FileTimeToDosTime(FileTimeFromUnixSeconds(1'705'316'401)), Dos(2024, 1, 15, 12, 0, 0));
}

TEST(DosTimes, InvalidFieldsGiveZero) {
  TZoneGuard utc("UTC0");
  const uint32_t invalid[] = {
      0,                                // month 0, day 0
      Dos(2023, 2, 29, 0, 0, 0),        // no leap year
      Dos(2024, 13, 1, 0, 0, 0), Dos(2024, 4, 31, 0, 0, 0), Dos(2024, 4, 30, 24, 0, 0), Dos(2024, 4, 30, 23, 60, 0),
      Dos(2024, 4, 30, 23, 0, 0) | 30,  // 60 seconds
  };
  for (uint32_t dos : invalid) EXPECT_EQ(DosTimeToUnixSeconds(dos), 0) << std::hex << dos;
  // Out-of-range moments clamp to the ends of the DOS range.
  const struct { int64_t Seconds; uint32_t DosTime; } clamped[] = {
      {0, Dos(1980, 1, 1, 0, 0, 0)}, {5'000'000'000LL, Dos(2107, 12, 31, 23, 59, 58)}};
  for (const auto& row : clamped) EXPECT_EQ(UnixSecondsToDosTime(row.Seconds), row.DosTime) << row.Seconds;
}

TEST(CalendarDates, MonthLengthsAndCenturyLeapRules) {
  const struct { int Year, Month, Day; bool Valid; } rows[] = {
      {2024, 2, 29, true},   {2023, 2, 29, false},
      {2000, 2, 29, true},   // divisible by 400
      {1900, 2, 29, false},  // a century that is not
      {2023, 12, 31, true},  {2023, 11, 31, false}, {2023, 0, 1, false}, {2023, 13, 1, false}, {2023, 1, 0, false},
  };
  for (const auto& row : rows)
    EXPECT_EQ(IsValidDate(row.Year, row.Month, row.Day), row.Valid) << row.Year << "-" << row.Month << "-" << row.Day;
}
