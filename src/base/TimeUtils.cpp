// SPDX-License-Identifier: Apache-2.0
#include "base/TimeUtils.h"

#include <cmath>

namespace qv {
namespace {

constexpr int64_t MsPerDay = 86'400'000;
constexpr int64_t TicksPerMs = 10'000;
// 1601-01-01 counted in days from 1899-12-30.
constexpr int64_t FileTimeEpochDay = -109'205;

// Floor division, so that times before an epoch split into a whole part and a
// non-negative remainder.
int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

}  // namespace

TFileTime FileTimeFromTimespec(const timespec& ts) {
  return UnixEpochFileTime + static_cast<int64_t>(ts.tv_sec) * FileTimeTicksPerSecond +
         ts.tv_nsec / 100;
}

timespec TimespecFromFileTime(TFileTime ft) {
  const int64_t sinceEpoch = ft - UnixEpochFileTime;
  const int64_t seconds = FloorDiv(sinceEpoch, FileTimeTicksPerSecond);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((sinceEpoch - seconds * FileTimeTicksPerSecond) * 100);
  return ts;
}

TFileTime FileTimeFromUnixSeconds(int64_t seconds) {
  return UnixEpochFileTime + seconds * FileTimeTicksPerSecond;
}

double FileTimeToDate(TFileTime ft) {
  if (ft < 0) return 0.0;
  const int64_t ms = ft / TicksPerMs;  // the calendar split keeps milliseconds
  const int64_t days = ms / MsPerDay;
  const int64_t msOfDay = ms % MsPerDay;
  return static_cast<double>(days + FileTimeEpochDay) +
         static_cast<double>(msOfDay) / static_cast<double>(MsPerDay);
}

TFileTime DateToFileTime(double date) {
  if (!std::isfinite(date)) return 0;
  const double msSince1601 = std::round((date - static_cast<double>(FileTimeEpochDay)) *
                                        static_cast<double>(MsPerDay));
  // Beyond the year 30827 the calendar split fails as well.
  if (msSince1601 < 0 || msSince1601 > 9.2e14) return 0;
  return static_cast<int64_t>(msSince1601) * TicksPerMs;
}

int64_t DateTimeToUnixSeconds(double date) {
  return static_cast<int64_t>(std::llround((date - UnixEpochDate) * 86400.0));
}

int64_t FileTimeToUnixSeconds(TFileTime ft) {
  return DateTimeToUnixSeconds(FileTimeToDate(ft));
}

bool IsValidDate(int year, int month, int day) {
  if (month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
}

int64_t DosTimeToUnixSeconds(uint32_t dosTime) {
  const unsigned date = dosTime >> 16;
  const unsigned time = dosTime & 0xFFFF;
  const int day = date & 0x1F;
  const int month = (date >> 5) & 0x0F;
  const int year = 1980 + static_cast<int>(date >> 9);
  const int second = 2 * static_cast<int>(time & 0x1F);
  const int minute = (time >> 5) & 0x3F;
  const int hour = time >> 11;
  if (!IsValidDate(year, month, day) || hour > 23 || minute > 59 || second > 59) return 0;

  tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // the zone rules of that date decide
  const time_t t = mktime(&local);
  if (t == static_cast<time_t>(-1)) return 0;  // DOS times start in 1980, so -1 is a failure
  return static_cast<int64_t>(t);
}

uint32_t UnixSecondsToDosTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  tm local{};
  if (!localtime_r(&t, &local)) return (1u << 5 | 1u) << 16;  // 1980-01-01 00:00
  const int year = local.tm_year + 1900;
  if (year < 1980) return (1u << 5 | 1u) << 16;
  if (year > 2107) return (127u << 9 | 12u << 5 | 31u) << 16 | (23u << 11 | 59u << 5 | 29u);
  const uint32_t date = static_cast<uint32_t>((year - 1980) << 9 | (local.tm_mon + 1) << 5 |
                                              local.tm_mday);
  const uint32_t time = static_cast<uint32_t>(local.tm_hour << 11 | local.tm_min << 5 |
                                              local.tm_sec / 2);
  return date << 16 | time;
}

uint32_t FileTimeToDosTime(TFileTime ft) {
  return UnixSecondsToDosTime(FloorDiv(ft - UnixEpochFileTime, FileTimeTicksPerSecond));
}

}  // namespace qv
