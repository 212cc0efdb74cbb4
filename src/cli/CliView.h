// SPDX-License-Identifier: Apache-2.0
#pragma once
// The command-line front-end of the restore session: options from the command line,
// questions and the password on the terminal, a progress line on stderr, the summary and
// error lines (or JSON lines) on stdout.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "restore/RestoreView.h"

namespace qv {

class TRestoreSession;

struct TCliOptions {
  TRestoreMode Mode = rmFiles;
  TRunKind Kind = rkRestore;
  TOverwriteMode Overwrite = omNever;
  int Tolerance = 2;
  bool IgnoreDst = false;
  int Jobs = 0;  // 0: one per core
  bool Unpack = true;
  bool OverwriteProtected = true;
  bool Verify = false;
  bool Json = false;
  std::optional<std::string> Password;  // from a file, a command or the environment
  bool Yes = false;
  bool Quiet = false;
  bool Verbose = false;  // one line per restored or skipped item
  std::string Target;
  int RestoreDate = 0;
  std::string Sets = "*.*";
  std::string Drive;
  std::vector<std::string> Include, Exclude;
  std::vector<std::string> Paths;  // files mode: the items; dir and schedule: one folder
};

// The progress line: "[3/10] 42% 1.00 MB of 2.38 MB  512.0 kB/s  ETA 0:00:03  ...name",
// at most columns - 1 wide (the last column would wrap on some terminals).
std::string FormatProgressLine(const TRunProgress& progress, double seconds, int columns);

class TCliView : public IRestoreView {
 public:
  explicit TCliView(TCliOptions options);
  void SetSession(TRestoreSession* session) { FSession = session; }
  // After the run: the summary (with the skipped count and a stop), then its error lines;
  // with --json the summary object. Returns the exit status.
  int FinishRun();

  TRestoreOptions RunOptions();

  bool Confirm(const std::string& text, bool yesPreselected) override;
  void ShowInfo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void ShowDetailInfo(const std::string& title, const std::string& message,
                      const std::vector<std::string>& details, TDetailIcon icon) override;
  TPasswordAnswer QueryPassword(const std::string& title, const std::string& prompt,
                                std::string& pwd) override;

  // The progress line shows the run's totals and the current item, nothing more.
  void SetStatusVisible(bool visible) override;
  void ItemDone(const TItemReport& report) override;
  void RunProgress(const TRunProgress& progress) override;
  void ProcessMessages() override;

 private:
  struct TMessage {
    std::string Text;
    std::vector<std::string> Details;
  };
  void ShowMessage(TMessage message);
  void PrintMessage(const TMessage& message, bool withRunLines);
  void PrintLine(const std::string& line);
  void ClearProgressLine();
  double Seconds() const;

  // Items passed over or left out by Cancel or Stop; whether the run was stopped.
  uint32_t Skipped() const;
  bool Stopped() const;
  TCliOptions FOptions;
  TRestoreSession* FSession = nullptr;
  bool FInteractive;   // stdin is a terminal and no --json: questions can be asked
  bool FShowProgress;  // stderr is a terminal, not quiet, no --json
  std::string FGivenOfferedTo;     // the item the given password was last offered to
  bool FPasswordHinted = false;    // the hint how to give a password was printed
  std::optional<TMessage> FLastMessage;  // printed when the next one comes, or at the end
  bool FLineDrawn = false;
  bool FStopped = false;  // Ctrl-C, SIGTERM or SIGHUP stopped the run
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FLastDraw{};
  uint32_t FSkipped = 0, FItemErrors = 0;
  int64_t FRestoredBytes = 0;
};

}  // namespace qv
