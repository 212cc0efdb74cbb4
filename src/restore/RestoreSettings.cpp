// SPDX-License-Identifier: Apache-2.0
// The settings file of the restore window: section "Config".
#include <algorithm>
#include <ctime>
#include <utility>

#include "base/IniFile.h"
#include "restore/RestoreSession.h"

namespace qv {

namespace {

constexpr const char* CSection = "Config";

// The window's placement, first in the section in this order.
constexpr std::pair<const char*, int TRestoreSettings::*> CWindowKeys[] = {
    {"Top", &TRestoreSettings::Top},       {"Left", &TRestoreSettings::Left},
    {"Height", &TRestoreSettings::Height}, {"Width", &TRestoreSettings::Width},
    {"Split", &TRestoreSettings::Split},
};

int32_t ClampToInt32(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

int TodayDayNumber() {
  const std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  // Days from 1970-01-01 of the local calendar date, then the 1899-12-30 origin.
  std::tm utcMidnight {};
  utcMidnight.tm_year = local.tm_year;
  utcMidnight.tm_mon = local.tm_mon;
  utcMidnight.tm_mday = local.tm_mday;
  const std::time_t days = timegm(&utcMidnight) / 86400;
  return static_cast<int>(days + 25569);
}

TRestoreSettings LoadRestoreSettings(const std::string& iniName) {
  const TIniFile ini(iniName);
  TRestoreSettings s;
  for (const auto& [key, field] : CWindowKeys)
    s.*field = ClampToInt32(ini.ReadInteger(CSection, key, s.*field));
  s.Source = ini.ReadString(CSection, "Source", "");
  s.Target = ini.ReadString(CSection, "Target", "");
  switch (ini.ReadInteger(CSection, "Mode", 1)) {
    case 0: s.Mode = rmDirectory; break;
    case 1: s.Mode = rmFiles; break;
    default: s.Mode = rmSchedule; break;
  }
  s.ReadProtected = ini.ReadBool(CSection, "ReadProtected", true);
  s.Unpack = ini.ReadBool(CSection, "Unpack", true);
  s.Timespan = ClampToInt32(ini.ReadInteger(CSection, "Timespan", 2));
  s.IgnoreDst = ini.ReadBool(CSection, "IgnoreDst", false);
  s.RestoreDate = ClampToInt32(ini.ReadInteger(CSection, "RestoreDate", TodayDayNumber()));
  s.SubDirMask = ini.ReadString(CSection, "SubDirMask", "*.*");
  s.DriveID = ini.ReadString(CSection, "DriveID", "");
  s.Jobs = std::clamp(ClampToInt32(ini.ReadInteger(CSection, "Jobs", 0)), 0, 4);
  return s;
}

bool SaveRestoreSettings(const std::string& iniName, const TRestoreSettings& s) {
  TIniFile ini(iniName);
  for (const auto& [key, field] : CWindowKeys) ini.WriteInteger(CSection, key, s.*field);
  ini.WriteString(CSection, "Source", s.Source);
  ini.WriteString(CSection, "Target", s.Target);
  ini.WriteInteger(CSection, "Mode", static_cast<int>(s.Mode));
  ini.WriteBool(CSection, "ReadProtected", s.ReadProtected);
  ini.WriteBool(CSection, "Unpack", s.Unpack);
  ini.WriteInteger(CSection, "Timespan", s.Timespan);
  ini.WriteBool(CSection, "IgnoreDst", s.IgnoreDst);
  ini.WriteInteger(CSection, "RestoreDate", s.RestoreDate);
  ini.WriteString(CSection, "SubDirMask", s.SubDirMask);
  ini.WriteString(CSection, "DriveID", s.DriveID);
  ini.WriteInteger(CSection, "Jobs", s.Jobs);
  return ini.UpdateFile();
}

}  // namespace qv
