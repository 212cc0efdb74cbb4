#include "cli/CliStartup.h"

#include <cstdio>
#include <ctime>

#include "BuildConfig.h"
#include "base/CodePage.h"
#include "base/Startup.h"
#include "base/TimeUtils.h"
#include "transfer/ZipRead.h"

namespace qv {

void StartCli(const TCliCommand& command) {
  std::vector<std::string> switches;
  if (!command.Language.empty()) switches.push_back("-lang:" + command.Language);
  if (!command.IniPath.empty()) switches.push_back("-ini:" + command.IniPath);
  InitTranslation(switches, "Quorvex5/", "Quorvex.cfg");
  if (!command.CodePage.empty()) SetAnsiCodePage(command.CodePage);
}

std::string CliVersionText() {
  const TProgramVersion version = GetProgramVersion(ProgramName(), QV_VERSION, "", 3);
  return version.NameWithVersion + " - " + version.FileDate;
}

int ListArchive(const std::string& archive) {
  try {
    TZipRead zip(archive);
    zip.ReadDirectory();
    for (const TZipListItem& item : zip.Directory()) {
      const TPkHeader& h = item.Header;
      const std::time_t t = static_cast<std::time_t>(DosTimeToUnixSeconds(h.TimeStamp));
      std::tm local {};
      localtime_r(&t, &local);
      char date[32];
      std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
      std::printf("%s\t%lld\t%s\t%s\n", item.Name.c_str(), static_cast<long long>(h.USize), date,
                  h.Encrypted() ? "encrypted" : "-");
    }
    return 0;
  } catch (const EZipError& e) {
    std::printf("%s\n", e.what());
    return 1;
  }
}

}  // namespace qv
