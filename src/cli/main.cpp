// quorvex-restore-cli: the restore session without a window.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "base/Startup.h"
#include "cli/CliArgs.h"
#include "cli/CliStartup.h"
#include "cli/CliView.h"
#include "restore/RestoreSession.h"

namespace {

extern "C" void OnInterrupt(int) {
  qv::GStopRequested.store(true);
  // A second Ctrl-C ends the program at once.
  std::signal(SIGINT, SIG_DFL);
}

int RunRestore(qv::TCliOptions options) {
  qv::TCliView view(std::move(options));
  qv::TRestoreSession session(view);
  view.SetSession(&session);
  session.DeltaTime = view.Tolerance();
  session.DstIgnore = view.IgnoreDst();
  std::signal(SIGINT, OnInterrupt);
  session.StartStop();
  std::signal(SIGINT, SIG_DFL);
  const qv::TRunOutcome& run = session.LastRun();
  if (!run.Started || run.NothingToDo || run.Cancelled) return qv::CExitNotRun;
  return run.Errors > 0 ? qv::CExitErrors : qv::CExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = qv::CommandLineArgs(argc, argv);
  qv::TCliCommand command;
  // The language first, so that even a complaint about the arguments is translated.
  qv::ScanStartupSwitches(args, command);
  qv::StartCli(command);
  std::string error;
  if (!qv::ParseCliArgs(args, command, error)) {
    std::fprintf(stderr, "quorvex-restore-cli: %s\n%s", error.c_str(), qv::CliUsage().c_str());
    return qv::CExitBadArgs;
  }
  switch (command.Kind) {
    case qv::TCliCommand::ckHelp:
      std::fputs(qv::CliUsage().c_str(), stdout);
      return qv::CExitOk;
    case qv::TCliCommand::ckVersion:
      std::printf("%s\n", qv::CliVersionText().c_str());
      return qv::CExitOk;
    case qv::TCliCommand::ckList:
      return qv::ListArchive(command.Options.Paths.front());
    case qv::TCliCommand::ckRestore:
      return RunRestore(command.Options);
  }
  return qv::CExitBadArgs;
}
