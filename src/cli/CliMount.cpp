// SPDX-License-Identifier: Apache-2.0
#include "cli/CliMount.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "base/Translation.h"
#include "cli/Terminal.h"
#ifdef QV_HAVE_MOUNT
#include "mount/Mount.h"
#endif

namespace qv {

namespace {

[[maybe_unused]] int NoFuse() {
  std::fprintf(stderr, "quorvex-restore-cli: %s\n",
               Tr("FUSE is not available: this program was built without libfuse3").c_str());
  return CExitBadArgs;
}

}  // namespace

#ifdef QV_HAVE_MOUNT

int RunMount(const TCliCommand& command) {
  const TCliOptions& o = command.Options;
  TMountConfig config;
  config.Folder = o.Paths.front();
  config.DateView = command.DateView;
  config.DayNumber = o.RestoreDate;
  config.SetMask = o.Sets;
  config.DriveMask = o.Drive;
  config.Unpack = o.Unpack;
  config.Password = o.Password;
  config.CacheSize = static_cast<size_t>(command.CacheSizeMiB) << 20;
  // One password per mount, asked once before it starts when none was given.
  const auto ask = []() -> std::optional<std::string> {
    if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDERR_FILENO) == 0) return std::nullopt;
    std::string line;
    switch (ReadPromptLine(Tr("Password of the encrypted files (empty line: none): "), line, false)) {
      case TPromptResult::prLine: return line;
      case TPromptResult::prEndOfInput: return std::nullopt;
      case TPromptResult::prInterrupted:
        // Ctrl-C: nothing is mounted yet, and nothing is left to undo.
        std::fputs("\n", stderr);
        std::exit(CExitNotRun);
    }
    return std::nullopt;
  };
  return RunMountCommand(config, command.MountPoint, command.Foreground, ask);
}

int RunUmount(const TCliCommand& command) { return RunUmountCommand(command.MountPoint); }

#else

int RunMount(const TCliCommand&) { return NoFuse(); }
int RunUmount(const TCliCommand&) { return NoFuse(); }

#endif

}  // namespace qv
