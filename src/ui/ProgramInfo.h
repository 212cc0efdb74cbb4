// SPDX-License-Identifier: Apache-2.0
#pragma once
// How the desktop program identifies itself and where it keeps its settings.
#include <string>

namespace qv {

struct TProgramInfo {
  std::string AppPath;   // settings folder, with trailing "/"
  std::string UserPath;  // documents folder, with trailing "/"
  std::string IniName;   // AppPath + program name + ".ini"
  std::string VersName;  // "QuorvexRestore (Version 2.5.0)"
  std::string VersDate;  // date of the program file, short date format
};

TProgramInfo ReadProgramInfo();
// Text of the about box: name, " 64 bit", full version, date and the maker's notice.
std::string AboutText();

}  // namespace qv
