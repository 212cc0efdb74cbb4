// SPDX-License-Identifier: Apache-2.0
// The versions subcommand: every copy of one file across the backup sets, newest first.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/FormatUtils.h"
#include "cli/CliArgs.h"
#include "cli/CliStartup.h"
#include "base/FtGlobal.h"
#include "base/Translation.h"
#include "restore/RestoreText.h"
#include "restore/VersionList.h"

namespace qv {

namespace {

std::string UtcText(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  tm parts {};
  if (::gmtime_r(&t, &parts) == nullptr) return std::to_string(unixSeconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace

int ListVersions(const TCliOptions& options) {
  const std::string& folder = options.Paths.at(0);
  const std::string& relPath = options.Paths.at(1);
  std::vector<std::string> unlisted;
  const std::vector<TVersionEntry> versions =
      FindVersions(folder, relPath, options.Sets, options.Drive, true, &unlisted);
  for (const std::string& path : unlisted)
    std::fprintf(stderr, "%s\n   %s\n", (MsgErrorRestoring() + EscapeControlChars(path)).c_str(),
                 TErrorCode(sevError, errReadFolder).Message().c_str());
  if (versions.empty() && unlisted.empty())
    std::fprintf(stderr, "%s\n",
                 FormatText(Tr("No versions of %s found in %s"),
                            {EscapeControlChars(relPath), EscapeControlChars(folder)})
                     .c_str());
  for (const TVersionEntry& v : versions) {
    const std::string size = v.Size < 0 ? "-" : std::to_string(v.Size);
    std::printf("%s  %s  %s  %s\n", UtcText(v.UnixTime).c_str(), size.c_str(), VersionKindName(v.Kind),
                EscapeControlChars(v.Path).c_str());
  }
  std::fflush(stdout);
  if (!unlisted.empty()) return CExitErrors;
  return versions.empty() ? CExitNotRun : CExitOk;
}

}  // namespace qv
