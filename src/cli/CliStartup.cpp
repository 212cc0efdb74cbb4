// SPDX-License-Identifier: Apache-2.0
#include "cli/CliStartup.h"

#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "BuildConfig.h"
#include "base/CodePage.h"
#include "base/FormatUtils.h"
#include "base/Startup.h"
#include "base/TimeUtils.h"
#include "base/Translation.h"
#include "transfer/ZipRead.h"

namespace qv {

namespace {

// The program file's last change as YYYY-MM-DD (local calendar); unambiguous in any locale.
std::string ProgramFileDate() {
  struct stat st {};
  if (::stat("/proc/self/exe", &st) != 0) return "?";
  std::tm local {};
  localtime_r(&st.st_mtime, &local);
  char date[16];
  std::strftime(date, sizeof date, "%Y-%m-%d", &local);
  return date;
}

}  // namespace

void StartCli(const TCliCommand& command) {
  std::vector<std::string> switches;
  if (!command.Language.empty()) switches.push_back("-lang:" + command.Language);
  if (!command.IniPath.empty()) switches.push_back("-ini:" + command.IniPath);
  InitTranslation(switches, "Quorvex5/", "Quorvex.cfg");
  if (!command.CodePage.empty()) SetAnsiCodePage(command.CodePage);
}

std::string CliVersionText() {
  const TProgramVersion version = GetProgramVersion(ProgramName(), QV_VERSION, "", 3);
  return version.NameWithVersion + " - " + ProgramFileDate();
}

int ListArchive(const std::string& archive) {
  try {
    TZipRead zip(archive);
    zip.ReadDirectory();
    std::printf("%s\t%s\t%s\t%s\n", Tr("NAME").c_str(), Tr("SIZE").c_str(), Tr("DATE").c_str(),
                Tr("ENCRYPTED").c_str());
    for (const TZipListItem& item : zip.Directory()) {
      const TPkHeader& h = item.Header;
      const std::time_t t = static_cast<std::time_t>(DosTimeToUnixSeconds(h.TimeStamp));
      std::tm local {};
      localtime_r(&t, &local);
      char date[32];
      std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
      std::printf("%s\t%lld\t%s\t%s\n", EscapeControlChars(std::string(item.Name)).c_str(),
                  static_cast<long long>(h.USize), date, h.Encrypted() ? "encrypted" : "-");
    }
    return 0;
  } catch (const EZipError& e) {
    std::fprintf(stderr, "quorvex-restore-cli: %s: %s\n", EscapeControlChars(archive).c_str(), e.what());
    return 1;
  }
}

}  // namespace qv
