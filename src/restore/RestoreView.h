#pragma once
// The narrow interface through which the restore session talks to its front-end.
// The desktop window and the command-line program both implement it; the unit tests
// drive the session with a scripted one. Everything here is called on the session's
// (window) thread only.
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

// Which existing targets may be replaced ("Allways", "Only older", "Never"); with "Keep both"
// an existing target stays and the restored file is written beside it as "STEM (N).EXT".
enum class TOverwriteMode : uint8_t { omNever, omAlways, omOlder, omKeepBoth };
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

// What a run does with the items it selects: restore them, only decide what a restore would
// do (write nothing, ask nothing), or read every item to its end without writing it.
enum class TRunKind : uint8_t { rkRestore, rkDryRun, rkTest };
using enum TRunKind;

// The outcome of one item, reported in the order of the run.
enum class TItemAction : uint8_t {
  iaRestored, iaSkipped, iaFailed,  // a restore
  iaNew, iaReplace, iaSkip,         // a dry run's decision (iaFailed for an item that would fail)
  iaTested,                         // a test run (iaFailed when the item does not read back)
};
using enum TItemAction;

struct TItemReport {
  TItemAction Action = iaRestored;
  std::string Source;   // the backup file or "archive/entry"
  std::string Target;   // the restored path, when there is one
  std::string Set;      // schedule mode: the set folder the version comes from
  int64_t Bytes = -1;   // restored size, when known
  uint32_t Code = 0;    // error code of a failed item
  std::string Message;  // its text
  std::string Reason;   // why an item is skipped ("exists", "not older")
};

// Totals of a run for a progress display that counts files and bytes.
struct TRunProgress {
  uint32_t FilesDone = 0, FilesTotal = 0;  // FilesTotal 0 = not known yet
  int64_t BytesDone = 0, BytesTotal = 0;
  std::string Current;                     // the item being restored
};

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
  virtual TRunKind RunKind() { return rkRestore; }
  virtual bool VerifyRestored() { return false; }  // read each target back after its rename
  // Case-insensitive globs on the item's relative path ("**" crosses "/"); empty = all.
  virtual std::vector<std::string> IncludePatterns() { return {}; }
  virtual std::vector<std::string> ExcludePatterns() { return {}; }
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

  virtual void ItemDone(const TItemReport& /*report*/) {}
  // The password just given did not open the current item; the next QueryPassword asks
  // again for the same item.
  virtual void PasswordRejected() {}
  virtual void RunProgress(const TRunProgress& /*progress*/) {}

  // Runs pending user events (Stop, Pause, ...), which may call back into the session.
  virtual void ProcessMessages() = 0;
};

}  // namespace qv
