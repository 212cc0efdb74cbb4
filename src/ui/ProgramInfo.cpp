// SPDX-License-Identifier: Apache-2.0
#include "ui/ProgramInfo.h"

#include <QDateTime>
#include <QFileInfo>
#include <QLocale>

#include "base/Startup.h"
#include "base/SysInfo.h"
#include "base/Translation.h"

namespace qv {

namespace {
constexpr const char* kProgramName = "QuorvexRestore";

std::string FileDate() {
  const QFileInfo program(QString::fromStdString(ProgramFileName()));
  return QLocale().toString(program.lastModified().date(), QLocale::ShortFormat).toStdString();
}
}  // namespace

TProgramInfo ReadProgramInfo() {
  TProgramInfo info;
  const TProgramPaths paths = GetProgramPaths(true);
  info.AppPath = paths.SettingsFolder;
  info.UserPath = paths.DocumentsFolder;
  info.IniName = info.AppPath + ProgramName() + ".ini";
  const TProgramVersion version = GetProgramVersion(kProgramName, " - Vers. 2.5", CopyrightLine(), 3);
  info.VersName = version.NameWithVersion;
  info.VersDate = version.FileDate.empty() ? FileDate() : version.FileDate;
  return info;
}

std::string AboutText() {
  const TProgramInfo info = ReadProgramInfo();  // fills the version information
  TVersionInfo vi = ProgramVersionInfo();
  if (vi.InternalName.empty()) vi.InternalName = kProgramName;
  std::string text = vi.InternalName;
  if (IsNative64Bit()) text += " 64 bit";
  text += " (" + TrUnits("Version") + " " + vi.Version + ") - " + info.VersDate;
  // The notice is English in the core; each of its lines is a text of the units domain.
  const std::string notice = CopyrightLine();
  for (size_t from = 0, end = 0; from <= notice.size(); from = end + 1) {
    end = notice.find('\n', from);
    if (end == std::string::npos) end = notice.size();
    text += "\n" + TrUnits(notice.substr(from, end - from).c_str());
  }
  text += "\n" + TrUnits("Licensed under the Apache License 2.0");
  return text;
}

}  // namespace qv
