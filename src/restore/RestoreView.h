// SPDX-License-Identifier: Apache-2.0
#pragma once
// The interface through which the restore session talks to its front-end, in three parts:
// the options of a run (a value filled before it starts), the questions and messages a user
// answers or reads, and the progress display, which a front-end may leave out. The desktop
// window and the command-line program both implement it; the unit tests drive the session
// with a scripted one. Everything here is called on the session's (window) thread only.
#include <cstdint>
#include <string>
#include <vector>

#include "base/FtGlobal.h"

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
  TErrorCode Code;      // error code of a failed item
  std::string Message;  // its text
  std::string Detail;   // where and why it failed, when known ("CRC-32 ... stored, ... computed")
  std::string Reason;   // why an item is skipped ("exists", "not older")
};

// Totals of a run for a progress display that counts files and bytes.
struct TRunProgress {
  uint32_t FilesDone = 0, FilesTotal = 0;  // FilesTotal 0 = not known yet
  int64_t BytesDone = 0, BytesTotal = 0;
  std::string Current;                     // the item being restored
};

// Everything a run needs to know from its front-end, taken once when it starts: what the user
// set before pressing Start stays what the run does.
struct TRestoreOptions {
  TRestoreMode Mode = rmFiles;
  TRunKind Kind = rkRestore;
  TOverwriteMode Overwrite = omNever;
  bool Unpack = true;      // "Unpack gz-files"
  bool Protected = true;   // "Overwrite write-protected files"
  bool Verify = false;     // read each target back after its rename
  int32_t Tolerance = 2;   // seconds within which two times count as equal
  bool IgnoreDst = false;  // a difference of one hour counts as equal, too
  std::string Target;      // text of the destination field
  int Date = 0;            // whole day number counted from 1899-12-30
  std::string SubDirMask = "*.*";  // "Scan only matching subdirectories:"
  std::string DriveMask;           // "Only for this drive identifier:"
  // Case-insensitive globs on the item's relative path ("**" crosses "/"); empty = all.
  std::vector<std::string> Include, Exclude;
  int Jobs = 0;  // transfers at once; 0 = 1 per core
  // A failed transfer of the only selected item is listed like any other, with its error
  // lines and count in the summary, instead of shown at once in a message of its own.
  bool ListSingleFailure = false;
  // ---- source
  std::string Folder;               // the selected folder (Directory and Schedule modes)
  std::vector<std::string> Items;   // Files mode: the selected items' full paths, in list order
};

// Questions and messages (placed at the Start button by the desktop window).
class IRestorePrompts {
 public:
  virtual ~IRestorePrompts() = default;
  virtual bool Confirm(const std::string& text, bool yesPreselected) = 0;  // Yes = true
  virtual void ShowInfo(const std::string& text) = 0;
  virtual void ShowError(const std::string& text) = 0;
  virtual void ShowDetailInfo(const std::string& title, const std::string& message,
                              const std::vector<std::string>& details, TDetailIcon icon) = 0;
  // The password dialog with Skip shown and the depth group hidden. pwd comes in as the
  // field's text (UTF-8) and, on paOk, goes out as the entered text (UTF-8).
  virtual TPasswordAnswer QueryPassword(const std::string& title, const std::string& prompt,
                                        std::string& pwd) = 0;
  // The password just given did not open the current item; the next QueryPassword asks
  // again for the same item.
  virtual void PasswordRejected() {}
};

// The run display; a front-end shows what it has room for and leaves the rest.
class IRestoreProgress {
 public:
  virtual ~IRestoreProgress() = default;
  virtual void SetFileLabel(const std::string& /*path*/) {}  // laFile: the item, shortened to fit
  virtual void SetProgress(int /*position*/) {}              // 0..100 (101 shows full)
  virtual void SetProgressMarquee(bool /*on*/) {}            // continuous style while searching
  virtual void SetStatusVisible(bool /*visible*/) {}         // pnStatus 45 px or collapsed
  virtual void SetPauseCaption(bool /*paused*/) {}           // hint "Continue" when paused, else "Pause"
  virtual void SetPauseEnabled(bool /*enabled*/) {}
  virtual void SetRunning(bool /*running*/) {}  // "Stop" while running, "Start" otherwise
  virtual void ItemDone(const TItemReport& /*report*/) {}
  virtual void RunProgress(const TRunProgress& /*progress*/) {}
};

class IRestoreView : public IRestorePrompts, public IRestoreProgress {
 public:
  // Runs pending user events (Stop, Pause, ...), which may call back into the session.
  virtual void ProcessMessages() = 0;
};

}  // namespace qv
