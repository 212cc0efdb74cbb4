// SPDX-License-Identifier: Apache-2.0
#pragma once
// File times, date-time values, Unix seconds and DOS times.
//  - file time: 100-ns units since 1601-01-01 00:00 UTC (the backup format's timestamps)
//  - date-time: days since 1899-12-30 as a double, the fraction is the time of day
//  - Unix seconds: seconds since 1970-01-01 00:00 UTC
//  - DOS time: high 16 bits date, low 16 bits time, local time, 2-second resolution
#include <cstdint>
#include <ctime>

namespace qv {

using TFileTime = int64_t;

inline constexpr TFileTime FileTimeTicksPerSecond = 10'000'000;
// 1970-01-01 expressed as a file time.
inline constexpr TFileTime UnixEpochFileTime = 116'444'736'000'000'000;
// 1970-01-01 expressed as a date-time.
inline constexpr double UnixEpochDate = 25569.0;

TFileTime FileTimeFromTimespec(const timespec& ts);
timespec TimespecFromFileTime(TFileTime ft);
TFileTime FileTimeFromUnixSeconds(int64_t seconds);

// Calendar conversion without any zone shift, to the millisecond. A negative file time
// cannot be converted and gives 0.0; a date-time before 1601 or not finite gives 0.
double FileTimeToDate(TFileTime ft);
TFileTime DateToFileTime(double date);

// (date - 25569) * 86400, rounded to the nearest second.
int64_t DateTimeToUnixSeconds(double date);
// Rounds to the nearest second; an unconvertible file time gives -2209161600 (1899-12-30).
int64_t FileTimeToUnixSeconds(TFileTime ft);

// True when the day exists in the (proleptic) Gregorian calendar.
bool IsValidDate(int year, int month, int day);

// DOS date and time read as local time; 0 when the fields are invalid or the local time
// cannot be resolved.
int64_t DosTimeToUnixSeconds(uint32_t dosTime);
// The local time of the given moment as a DOS time; times outside 1980..2107 are clamped
// to the nearest representable value.
uint32_t UnixSecondsToDosTime(int64_t seconds);
uint32_t FileTimeToDosTime(TFileTime ft);

}  // namespace qv
