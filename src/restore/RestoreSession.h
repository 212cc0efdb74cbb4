#pragma once
// The restore session: state shared by the three restore modes, the per-file pipeline,
// the start/stop/pause state machine and the settings file. Free of any GUI toolkit;
// the front-end is reached through IRestoreView.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "base/FtGlobal.h"
#include "restore/RestoreView.h"

namespace qv {

class TEncryption;
class TCopyThread;
class TZipRead;
struct TPkHeader;
class TVersionList;

// One candidate of the schedule mode's version list.
struct TFileInfo {
  std::string FullPath;
  uint32_t TimeStamp = 0;  // last write, Unix seconds (UTC)
  TFileInfo(std::string APath, uint32_t ATs) : FullPath(std::move(APath)), TimeStamp(ATs) {}
};

// Keys of the section "Config" of the settings file. The window keys default to -1,
// which means "keep the window's current value".
struct TRestoreSettings {
  int Top = -1, Left = -1, Height = -1, Width = -1, Split = -1;
  std::string Source;
  std::string Target;
  TRestoreMode Mode = rmFiles;
  bool ReadProtected = true;
  bool Unpack = true;
  int32_t Timespan = 2;
  bool IgnoreDst = false;
  int RestoreDate = 0;  // day number from 1899-12-30; a missing key loads as today
  std::string SubDirMask = "*.*";
  std::string DriveID;
};

// Reads every key; a missing file or key gives its default.
TRestoreSettings LoadRestoreSettings(const std::string& iniName);
// Writes every key; false when the file cannot be written.
bool SaveRestoreSettings(const std::string& iniName, const TRestoreSettings& settings);
// Today's day number counted from 1899-12-30 (local calendar).
int TodayDayNumber();

// Outcome of one file or entry in the pipeline.
enum class TRestoreResult : uint8_t {
  rrCopied,
  rrSkipped,
  rrFailed,      // the error code tells why
  rrCancelRun,   // Cancel in the password prompt
  rrBadHeader,   // the gz header could not be read; the mode decides what that means
};
using enum TRestoreResult;

// Counts of the last run, for front-ends that report them (the CLI's exit status).
struct TRunOutcome {
  bool Started = false;     // the destination was accepted and the run began
  bool Cancelled = false;   // Cancel in a password prompt, or Stop
  bool NothingToDo = false; // "No files selected!", "No files found!" or the count declined
  uint32_t Copied = 0;
  uint32_t Errors = 0;      // counted errors plus errors shown at once
  uint32_t Total = 0;       // schedule mode: entries of the version list
  uint32_t Verified = 0;    // restored files read back and found equal
  // A dry run: Copied counts the items it would restore, these split and complete it.
  uint32_t New = 0, Replaced = 0, Skipped = 0;
};

// What the overwrite rule makes of one target, decided without touching anything.
enum class TTargetDecision : uint8_t { tdNew, tdReplace, tdSkipExists, tdSkipNotOlder };
using enum TTargetDecision;

// Kind of a backup file by its extension (case ignored).
enum class TBackupKind : uint8_t {
  bkPlain,       // copied as it is
  bkCompressed,  // ".gz"/".gze" with unpacking on: unpacked, last extension dropped
  bkEncrypted,   // ".enc": decrypted, last extension dropped
};
using enum TBackupKind;
TBackupKind BackupKind(const std::string& name, bool unpackGz);

// "/" splits the path; true when a component with the extension "zip" is found.
// On success path becomes the archive, subPath the rest after it (possibly empty).
bool SplitZipPath(std::string& path, std::string& subPath);

// Shrinks a path with "..." in place of leading folders until textWidth says it fits.
std::string FitPathToWidth(const std::string& path, int maxWidth,
                           const std::function<int(const std::string&)>& textWidth);

// Name-pattern match as a folder listing applies it: "*", "?", case ignored, "*.*" = all.
bool MatchesMask(const std::string& name, const std::string& mask);

class TRestoreSession {
 public:
  explicit TRestoreSession(IRestoreView& view);
  ~TRestoreSession();
  TRestoreSession(const TRestoreSession&) = delete;
  TRestoreSession& operator=(const TRestoreSession&) = delete;

  // ---- session fields
  std::string Source;
  std::string Target;
  std::string CryptPwd;  // 8-bit, the configured code page; empty = no password known
  std::unique_ptr<TEncryption> Decryption;
  std::unique_ptr<TCopyThread> CopyThread;
  std::unique_ptr<TZipRead> RZip;
  int64_t FSize = 0;
  std::vector<std::string> ErrorList;
  int32_t DeltaTime = 2;
  bool DstIgnore = false;
  bool Paused = false;
  bool Restoring = false;

  // Title of messages and dialogs: the main window's caption.
  std::string Caption() const;

  // Takes Source, Target, Timespan and IgnoreDst from loaded settings.
  void ApplySettings(const TRestoreSettings& settings);

  // ---- user actions (may arrive nested while a run waits)
  void StartStop();      // btRestoreClick
  void PauseContinue();  // btPauseClick

  // ---- the three modes
  void RestoreSelectedFiles();
  void RestoreDirectory();
  void RestoreFromSchedule();

  // ---- operations shared by the modes
  bool CheckTargetFolder();  // false when the user declined
  void SetRestoring(bool on);
  // jobSize: bytes the worker reads or writes at most, when known (-1 unknown). A job of at
  // most CInlineJobLimit bytes runs on this thread while no pause is pressed: a thread of its
  // own costs more than such a job.
  uint32_t RunWorker(bool withProgress, int64_t jobSize = -1);
  static constexpr int64_t CInlineJobLimit = 64 * 1024;
  void ShowProgress(TFileAction AAction, int64_t ACount, bool ASpeedLimit);
  void ShowRunSummary(uint32_t copied, uint32_t errors);

  // ---- the per-file pipeline
  // code receives the worker's error code (0 unless failed).
  TRestoreResult RestoreFile(const std::string& source, const std::string& targetFolder,
                             bool withProgress, uint32_t& code);
  TRestoreResult RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                                 const std::string& displayName, uint32_t& code);
  bool ShouldRestore(const std::string& targetPath, int32_t sourceTime);
  bool SourceIsNewer(int32_t sourceTime, int32_t targetTime) const;
  // The decision of ShouldRestore without its side effects. targetTime receives the existing
  // target's last write (Unix seconds) when a file exists there, and stays empty otherwise.
  TTargetDecision DecideTarget(const std::string& targetPath, int32_t sourceTime,
                               std::optional<int64_t>& targetTime);

  // The outcome of the last run.
  const TRunOutcome& LastRun() const { return FLastRun; }

 private:
  IRestoreView& FView;
  TRunOutcome FLastRun;
  bool FTargetExisted = false;
  bool FRunActive = false;  // a mode is on the stack (also while a stopped run unwinds)
  uint64_t FTargetDevice = 0, FTargetInode = 0;  // the destination, kept out of the walk
  std::chrono::steady_clock::time_point FLastMessages{};
  // What the run does (read once when it starts); see TRunKind.
  TRunKind FRunKind = rkRestore;
  bool FVerifying = false;  // a restore whose targets are read back
  TRunOutcome FCounts;      // dry-run decisions and verified files of the run
  std::string FItemSet;     // schedule mode: the set folder of the version in the pipeline
  bool WritesNothing() const { return FRunKind != rkRestore; }
  void BeginRunKind();
  // A dry run's item: decided, reported and counted; rrCopied when it would be restored.
  TRestoreResult PreviewItem(const std::string& source, const std::string& targetPath, int32_t sourceTime);
  void ReportItem(TItemAction action, const std::string& source, const std::string& targetPath,
                  uint32_t code = 0);
  // The worker's result in a test or a verified restore, reported and counted.
  void NoteWorkerResult(TRestoreResult result, const std::string& source);
  std::string SetFolderOf(const std::string& fullPath) const;
  // Schedule mode state
  std::unique_ptr<TVersionList> FVersions;
  uint32_t FBound = 0;

  bool ConfirmNonEmptyTarget();
  void BeginRun();
  void EndRun();
  void WaitWhilePaused();
  // Processes the front-end's messages when some milliseconds have passed since the last
  // time, so that runs of small inline jobs or skipped files stay responsive.
  void KeepResponsive();
  // The summary line (with the error count and the detail list when there were errors),
  // recorded in the outcome of the run.
  void ReportRun(const std::string& restoredText, uint32_t copied, uint32_t errors);
  void AddErrorLines(const std::string& source, uint32_t code);
  void ShowFile(const std::string& text);
  TPasswordAnswer AskForPassword(const std::string& prompt, const std::string& name);
  // expandedSize: the unpacked size of a compressed file (0 when not known or not compressed).
  TRestoreResult RunPipeline(const std::string& source, std::string targetPath, TBackupKind kind,
                             bool encrypted, bool withProgress, bool createFolder, uint32_t& code,
                             int64_t expandedSize = 0);
  bool OpenArchive(const std::string& archive, uint32_t& code);
  bool LeadsIntoArchive(std::string& path, std::string& subPath) const;
  void CloseArchive();
  void RestoreFolder(const std::string& base, const std::string& target, const std::string& sub,
                     uint32_t& copied, uint32_t& errors, bool& cancelRun);
  void RestoreArchiveFolder(const std::string& archive, const std::string& subPath,
                            const std::string& target, uint32_t& copied, uint32_t& errors);
  void CollectVersions(const std::string& base, const std::string& sub);
  void CollectDriveFolders(const std::string& setFolder, const std::string& pattern);
  void RestoreVersions();
};

}  // namespace qv
