// The settings file of the restore window: section "Config".
#include <ctime>

#include "base/IniFile.h"
#include "restore/RestoreSession.h"

namespace qv {

namespace {

constexpr const char* CSection = "Config";

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
  s.Top = ClampToInt32(ini.ReadInteger(CSection, "Top", s.Top));
  s.Left = ClampToInt32(ini.ReadInteger(CSection, "Left", s.Left));
  s.Height = ClampToInt32(ini.ReadInteger(CSection, "Height", s.Height));
  s.Width = ClampToInt32(ini.ReadInteger(CSection, "Width", s.Width));
  s.Split = ClampToInt32(ini.ReadInteger(CSection, "Split", s.Split));
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
  return s;
}

bool SaveRestoreSettings(const std::string& iniName, const TRestoreSettings& s) {
  TIniFile ini(iniName);
  ini.WriteInteger(CSection, "Top", s.Top);
  ini.WriteInteger(CSection, "Left", s.Left);
  ini.WriteInteger(CSection, "Height", s.Height);
  ini.WriteInteger(CSection, "Width", s.Width);
  ini.WriteInteger(CSection, "Split", s.Split);
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
  return ini.UpdateFile();
}

}  // namespace qv
