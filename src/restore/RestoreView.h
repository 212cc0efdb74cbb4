#pragma once
// The narrow interface through which the restore session talks to its front-end.
// The desktop window and the command-line program both implement it; the unit tests
// drive the session with a scripted one. Everything here is called on the session's
// (window) thread only.
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// Which existing targets may be replaced ("Allways", "Only older", "Never").
enum class TOverwriteMode : uint8_t { omNever, omAlways, omOlder };
using enum TOverwriteMode;

// The checked restore mode; the values are those of the settings key "Mode".
enum class TRestoreMode : int { rmDirectory = 0, rmFiles = 1, rmSchedule = 2 };
using enum TRestoreMode;

// Icon of the detail information dialog; the values are those of the dialog's TInfoIcon
// (iiInfo, iiError), which lives with the dialog itself.
enum class TDetailIcon : int { diInfo = 0, diError = 1 };
using enum TDetailIcon;

// Answer of the password question; the values are the dialog's modal results.
enum class TPasswordAnswer : int {
  paOk = 1,      // go on with the password returned (an empty one included)
  paCancel = 2,  // cancel-run
  paSkip = 6,    // pass over this file
  // No password can be supplied (a front-end without a terminal, or a password given
  // by file that already failed): the file fails with its decryption error.
  paGiveUp = 100,
};
using enum TPasswordAnswer;

class IRestoreView {
 public:
  virtual ~IRestoreView() = default;

  // ---- options, read whenever a decision needs them (they may change during a run)
  virtual TRestoreMode RestoreMode() = 0;
  virtual TOverwriteMode OverwriteMode() = 0;
  virtual bool UnpackGz() = 0;            // "Unpack gz-files"
  virtual bool OverwriteProtected() = 0;  // "Overwrite write-protected files"
  virtual std::string TargetText() = 0;   // text of the destination field
  virtual int RestoreDate() = 0;          // whole day number counted from 1899-12-30
  virtual std::string SubDirMask() = 0;   // "Scan only matching subdirectories:"
  virtual std::string DriveMask() = 0;    // "Only for this drive identifier:"
  // The tolerance and the daylight-saving allowance are fields of the session
  // (TRestoreSession::DeltaTime, DstIgnore); the front-end's settings dialog edits them there.

  // ---- source
  // The folder selected in the folder tree (Directory and Schedule modes); empty when none.
  virtual std::string SelectedFolder() = 0;
  // The file list of the Files mode, read item by item while the run goes on.
  virtual int ItemCount() = 0;
  virtual bool ItemSelected(int index) = 0;
  virtual std::string ItemPath(int index) = 0;  // full path of the item
  virtual int SelectedCount() = 0;

  // ---- questions and messages (placed at the Start button by the desktop window)
  virtual bool Confirm(const std::string& text, bool yesPreselected) = 0;  // Yes = true
  virtual void ShowInfo(const std::string& text) = 0;
  virtual void ShowError(const std::string& text) = 0;
  virtual void ShowDetailInfo(const std::string& title, const std::string& message,
                              const std::vector<std::string>& details, TDetailIcon icon) = 0;
  // The password dialog with Skip shown and the depth group hidden. pwd comes in as the
  // field's text (UTF-8) and, on paOk, goes out as the entered text (UTF-8).
  virtual TPasswordAnswer QueryPassword(const std::string& title, const std::string& prompt,
                                        std::string& pwd) = 0;

  // ---- run display
  virtual void SetFileLabel(const std::string& text) = 0;  // laFile
  virtual int FileLabelWidth() = 0;                        // width available, in the measure's units
  virtual int TextWidth(const std::string& text) = 0;      // the width measure for FitPathToWidth
  virtual void SetProgress(int position) = 0;              // 0..100 (101 shows full)
  virtual void SetProgressMarquee(bool on) = 0;            // continuous style while searching
  virtual void SetStatusVisible(bool visible) = 0;         // pnStatus 45 px or collapsed
  virtual void SetPauseCaption(bool paused) = 0;           // hint "Continue" when paused, else "Pause"
  virtual void SetPauseEnabled(bool enabled) = 0;
  virtual void SetRunning(bool running) = 0;  // "Stop" while running, "Start" otherwise; enables controls

  // Runs pending user events (Stop, Pause, ...), which may call back into the session.
  virtual void ProcessMessages() = 0;
};

}  // namespace qv
