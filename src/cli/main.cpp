// SPDX-License-Identifier: Apache-2.0
// quorvex-restore-cli: the restore session without a window.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/FormatUtils.h"
#include "base/Startup.h"
#include "base/Translation.h"
#include "cli/CliArgs.h"
#include "cli/CliMount.h"
#include "cli/CliOptions.h"
#include "cli/CliStartup.h"
#include "cli/CliView.h"
#include "cli/Terminal.h"
#include "restore/RestoreSession.h"

namespace {

int RunRestore(qv::TCliOptions options) {
  qv::TCliView view(std::move(options));
  qv::TRestoreSession session(view);
  view.SetSession(&session);
  qv::InstallStopSignals();
  session.Start(view.RunOptions());
  const int exitCode = view.FinishRun();
  qv::RemoveStopSignals();
  return exitCode;
}

// The build's hidden switch: "--generate KIND FILE" writes a man page or a completion script.
int Generate(const std::vector<std::string>& args) {
  const std::string text = args.size() == 3 ? qv::GenerateCliDocument(args[1]) : std::string();
  if (text.empty()) return qv::CExitBadArgs;
  std::ofstream out(args[2], std::ios::binary | std::ios::trunc);
  out << text;
  return out.good() ? qv::CExitOk : qv::CExitErrors;
}

void UsageError(const std::string& message) {
  std::fprintf(stderr, "quorvex-restore-cli: %s\n%s\n", message.c_str(),
               qv::Tr("Try 'quorvex-restore-cli --help'.").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = qv::CommandLineArgs(argc, argv);
  if (!args.empty() && args.front() == "--generate") return Generate(args);
  qv::TCliCommand command;
  // The language first, so that even a complaint about the arguments is translated.
  qv::ScanStartupSwitches(args, command);
  qv::StartCli(command);
  std::string error;
  if (!qv::ParseCliArgs(args, command, error)) {
    UsageError(error);
    return qv::CExitBadArgs;
  }
  const std::string folderProblem = qv::CheckSourceFolder(command);
  if (!folderProblem.empty()) {
    std::fprintf(stderr, "quorvex-restore-cli: %s: %s\n",
                 qv::EscapeControlChars(command.Options.Paths.front()).c_str(), folderProblem.c_str());
    return qv::CExitBadArgs;
  }
  switch (command.Kind) {
    case qv::TCliCommand::ckHelp: {
      const qv::TSubcommandDef* sc = qv::FindSubcommand(command.HelpFor);
      std::fputs((sc != nullptr ? qv::CliHelpText(*sc) : qv::CliHelpText()).c_str(), stdout);
      return qv::CExitOk;
    }
    case qv::TCliCommand::ckVersion:
      std::printf("%s\n", qv::CliVersionText().c_str());
      return qv::CExitOk;
    case qv::TCliCommand::ckList:
      return qv::ListArchive(command.Options.Paths.front());
    case qv::TCliCommand::ckVersions:
      return qv::ListVersions(command.Options);
    case qv::TCliCommand::ckRestore:
      return RunRestore(command.Options);
    case qv::TCliCommand::ckMount:
      return qv::RunMount(command);
    case qv::TCliCommand::ckUmount:
      return qv::RunUmount(command);
  }
  return qv::CExitBadArgs;
}
