#pragma once
// The command-line front-end of the restore session: options from the command line,
// questions and the password on the terminal, the summary and error lines on stdout.
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "restore/RestoreView.h"

namespace qv {

class TRestoreSession;

struct TCliOptions {
  TRestoreMode Mode = rmFiles;
  TOverwriteMode Overwrite = omNever;
  int Tolerance = 2;
  bool IgnoreDst = false;
  bool Unpack = true;
  bool OverwriteProtected = true;
  std::optional<std::string> Password;  // from a file or the environment
  bool Yes = false;
  bool Quiet = false;
  std::string Target;
  int RestoreDate = 0;
  std::string Sets = "*.*";
  std::string Drive;
  std::vector<std::string> Paths;  // files mode: the items; dir and schedule: one folder
  TRunKind RunKind = rkRestore;    // --dry-run, --test
  bool Verify = false;             // --verify
};

// Set by the SIGINT handler; the view turns it into Stop.
extern std::atomic<bool> GStopRequested;

class TCliView : public IRestoreView {
 public:
  explicit TCliView(TCliOptions options);
  void SetSession(TRestoreSession* session) { FSession = session; }
  int Tolerance() const { return FOptions.Tolerance; }
  bool IgnoreDst() const { return FOptions.IgnoreDst; }

  TRestoreMode RestoreMode() override { return FOptions.Mode; }
  TOverwriteMode OverwriteMode() override { return FOptions.Overwrite; }
  bool UnpackGz() override { return FOptions.Unpack; }
  bool OverwriteProtected() override { return FOptions.OverwriteProtected; }
  std::string TargetText() override { return FOptions.Target; }
  int RestoreDate() override { return FOptions.RestoreDate; }
  std::string SubDirMask() override { return FOptions.Sets; }
  std::string DriveMask() override { return FOptions.Drive; }
  TRunKind RunKind() override { return FOptions.RunKind; }
  bool VerifyRestored() override { return FOptions.Verify; }
  void ItemDone(const TItemReport& report) override;

  std::string SelectedFolder() override;
  int ItemCount() override { return static_cast<int>(FOptions.Paths.size()); }
  bool ItemSelected(int) override { return true; }
  std::string ItemPath(int index) override { return FOptions.Paths[static_cast<size_t>(index)]; }
  int SelectedCount() override { return ItemCount(); }

  bool Confirm(const std::string& text, bool yesPreselected) override;
  void ShowInfo(const std::string& text) override;
  void ShowError(const std::string& text) override;
  void ShowDetailInfo(const std::string& title, const std::string& message,
                      const std::vector<std::string>& details, TDetailIcon icon) override;
  TPasswordAnswer QueryPassword(const std::string& title, const std::string& prompt,
                                std::string& pwd) override;

  void SetFileLabel(const std::string& text) override;
  int FileLabelWidth() override;
  int TextWidth(const std::string& text) override;
  void SetProgress(int position) override;
  void SetProgressMarquee(bool) override {}
  void SetStatusVisible(bool visible) override;
  void SetPauseCaption(bool) override {}
  void SetPauseEnabled(bool) override {}
  void SetRunning(bool) override {}
  void ProcessMessages() override;

 private:
  void DrawProgress();
  TCliOptions FOptions;
  TRestoreSession* FSession = nullptr;
  bool FInteractive;       // stdin is a terminal: questions can be asked
  bool FShowProgress;      // stderr is a terminal and not quiet
  bool FFixedPasswordUsed = false;
  std::string FLabel;
  int FPosition = 0;
  bool FLineDrawn = false;
  std::chrono::steady_clock::time_point FLastDraw{};
};

}  // namespace qv
