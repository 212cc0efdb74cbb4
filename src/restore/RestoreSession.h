// SPDX-License-Identifier: Apache-2.0
#pragma once
// The restore session: state shared by the three restore modes, the per-file pipeline,
// the start/stop/pause state machine and the settings file. Free of any GUI toolkit;
// the front-end is reached through IRestoreView.
#include <chrono>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/FtGlobal.h"
#include "restore/DirList.h"
#include "restore/PathFilter.h"
#include "restore/RestoreView.h"
#include "restore/TransferPool.h"

namespace qv {

class TEncryption;
class TCopyThread;
struct TOpenedSource;
struct TTargetState;
class TZipRead;
struct TPkHeader;
class TArchiveIndex;
class TVersionList;

// One candidate of the schedule mode's version list.
struct TFileInfo {
  std::string FullPath;
  int64_t TimeStamp = 0;  // last write, Unix seconds (UTC)
  TFileInfo(std::string APath, int64_t ATs) : FullPath(std::move(APath)), TimeStamp(ATs) {}
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
  int Jobs = 0;  // transfers at once; 0 = one per core
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
  rrPending,     // a small transfer handed to the pool; its result comes with its report
};
using enum TRestoreResult;

// Counts of the last run, for front-ends that report them (the CLI's exit status).
struct TRunOutcome {
  bool Started = false;     // the destination was accepted and the run began
  bool Cancelled = false;   // Cancel in a password prompt, or Stop
  bool NothingToDo = false; // "No files selected!", "No files found!" or the count declined
  bool Stopped = false;     // Stop ended the run
  uint32_t Copied = 0;
  uint32_t Skipped = 0;     // items the overwrite rule or the password prompt passed over
  uint32_t LeftOut = 0;     // selected items a Cancel or Stop left out (never reached)
  uint32_t Errors = 0;      // counted errors plus errors shown at once
  uint32_t Total = 0;       // schedule mode: entries of the version list
  uint32_t Verified = 0;    // restored files read back and found equal
  // A dry run: Copied counts the items it would restore, these split it.
  uint32_t New = 0, Replaced = 0;
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
// The name a backup file is restored under: without ".gz"/".gze" (when unpacking) or ".enc".
std::string RestoredName(const std::string& name, bool unpackGz);

// Where an archive starts in a path: at the first component whose extension is "zip" (case
// ignored) and that is a regular file (a folder named "x.zip" is a folder). On success path
// becomes the archive, subPath the rest after it (possibly empty, no leading "/").
bool SplitZipPath(std::string& path, std::string& subPath);

// The name "keep both" writes beside an existing targetPath: "STEM (N).EXT" with the smallest
// N from 1 at which nothing exists (of any kind); "NAME (N)" without an extension, and a name
// that begins with its only dot (".bashrc") counts as having none.
std::string KeepBothName(const std::string& targetPath);
// The same, searching from the number in from (at least 1), which receives the number taken:
// a caller that keeps it finds the next free name of many twins without looking at each again.
// taken: names to pass over although nothing is there yet (a dry run's earlier targets).
std::string KeepBothName(const std::string& targetPath, unsigned& from,
                         const std::function<bool(const std::string&)>& taken = {});

// Shrinks a path with "..." in place of leading folders until textWidth says it fits.
std::string FitPathToWidth(const std::string& path, int maxWidth,
                           const std::function<int(const std::string&)>& textWidth);

// The rule of "Only older": the backup's time is later than the target's by more than
// tolerance seconds (and, with ignoreDst, not by one hour within the tolerance either).
// Times are the stored 32-bit seconds.
bool SourceIsNewer(int32_t sourceTime, int32_t targetTime, int32_t tolerance, bool ignoreDst);

// Name-pattern match as a folder listing applies it: "*", "?", case ignored, "*.*" = all.
bool MatchesMask(const std::string& name, const std::string& mask);

class TRestoreSession {
 public:
  explicit TRestoreSession(IRestoreView& view);
  ~TRestoreSession();
  TRestoreSession(const TRestoreSession&) = delete;
  TRestoreSession& operator=(const TRestoreSession&) = delete;

  // Title of messages and dialogs: the main window's caption.
  std::string Caption() const;

  // ---- user actions (may arrive nested while a run waits)
  // Runs with these options, taken as they are now (a change meanwhile does not reach the
  // run); nothing while a run, or a stopped run still unwinding, is on the stack.
  void Start(const TRestoreOptions& options);
  // Stops the run on the stack (a nested call from the view's events); nothing without one.
  void Stop();
  void PauseContinue();  // btPauseClick

  // ---- state of the run, for the front-ends
  bool Restoring() const { return FRestoring; }
  bool Paused() const { return FPaused; }
  bool Stopped() const { return FStopped; }  // Stop was pressed during the current run
  bool PasswordKnown() const { return !FCryptPwd.empty(); }
  // The transfer running now on a thread of its own, if any.
  const TCopyThread* Worker() const { return FCopyThread.get(); }
  // The outcome of the last run.
  const TRunOutcome& LastRun() const { return FLastRun; }

  // A job of at most this many bytes runs on the session's thread while no pause is
  // pressed, or on the pool while the walk goes on.
  static constexpr int64_t CInlineJobLimit = CSmallJobLimit;
  // Small transfers handed to each pool thread before this thread runs one itself; Pause and
  // Stop wait for those (a few milliseconds at most).
  static constexpr int CQueuedPerPoolThread = 4;
  // A worker's progress report: the bar's position within the file and the run's totals.
  void ShowProgress(TFileAction AAction, int64_t ACount, bool ASpeedLimit);

 private:
  // What the pipeline needs to know of its source, from one stat (links followed; nothing is opened).
  struct TSourceFacts {
    TErrorCode Problem;     // why it cannot be restored ("File not found", "Not a regular file")
    int64_t UnixTime = 0;   // last write, rounded to the nearest second
    int64_t Size = -1;      // regular files only
  };
  static TSourceFacts SourceFacts(const std::string& path);

  IRestoreView& FView;
  TRestoreOptions FOptions;  // of the current (or last) run
  std::string FTarget;       // the destination of the run
  std::string FCryptPwd;     // 8-bit, the configured code page; empty = no password known
  std::unique_ptr<TEncryption> FDecryption;
  std::unique_ptr<TCopyThread> FCopyThread;
  std::unique_ptr<TZipRead> FRZip;
  int64_t FSize = 0;  // the current file's size, announced by its worker
  std::vector<std::string> FErrorList;
  bool FPaused = false;
  bool FRestoring = false;
  bool FStopped = false;
  TRunOutcome FLastRun;
  // What the pipeline found out about the item being decided, for its report: one value that
  // the queue keeps with an item whose report waits, and puts back when it comes.
  struct TItemState {
    std::string Target;         // after "keep both"
    std::string SkipReason;     // why it was passed over
    std::string SkipTimes;      // a dry run's skip for not being older: the two times
    bool Replaces = false;      // a dry run's item would replace its target
    bool InputProblem = false;  // Files mode: it failed before any transfer (missing, unreadable)
    bool TargetAbsent = false;  // DecideTarget found nothing at the target's place
    int64_t Written = -1;       // the size of the worker's committed target, when it knows it
    int64_t Share = 0;          // its bytes in FProgress.BytesTotal
  };
  TItemState FItem;
  bool FTargetExisted = false;
  bool FRunActive = false;  // a mode is on the stack (also while a stopped run unwinds)
  uint64_t FTargetDevice = 0, FTargetInode = 0;  // the destination, kept out of the walk
  std::chrono::steady_clock::time_point FLastMessages{};
  TPathFilter FFilter;      // the include and exclude patterns of this run
  TRunProgress FProgress;   // files and bytes of this run, for RunProgress
  uint32_t FNew = 0, FReplaced = 0, FVerified = 0;
  bool WritesNothing() const { return FOptions.Kind != rkRestore; }
  // A restore whose targets are read back.
  bool Verifying() const { return FOptions.Kind == rkRestore && FOptions.Verify; }
  void BeginRunKind();
  // A dry run's item: decided (target, reason) for ReportItem; rrCopied when it would be restored.
  // It also fails (code, with the worker's operation mark) where the worker would refuse the
  // target before writing, and counts the targets earlier items would write (FPlanned).
  TRestoreResult PreviewItem(const std::string& targetPath, int32_t sourceTime, uint32_t operation,
                             TRestoreError& code);
  // The overwrite rule against an existing file of this last write (Unix seconds).
  TTargetDecision DecideAgainst(int64_t targetTime, int32_t sourceTime) const;
  // A dry run's targets so far, with the time each will have: what later items will find.
  std::unordered_map<std::string, int64_t> FPlanned;
  // The worker's result in a verified restore, counted.
  void NoteWorkerResult(TRestoreResult result);
  // Schedule mode state
  std::unique_ptr<TVersionList> FVersions;
  int64_t FBound = 0;
  uint32_t FSearchErrors = 0;
  int FSourceFolder = -1;       // the walk's open folder of the item being decided, or -1
  std::unique_ptr<TOpenedSource> FOpenedSource;  // a small .gz whose header was read, for its worker
  // Target folders this walk made, while their files are decided, and the targets (case
  // folded) decided in them so far: any other name in them is free without a look.
  std::unordered_set<std::string> FFreshFolders;
  std::unordered_set<std::string> FFreshTargets;
  // The entry folders an archive walk has made sure of so far.
  std::unordered_set<std::string> FEntryFolders;
  // True (and the target noted) when targetPath is the first of its name in a fresh folder.
  bool FirstInFreshFolder(const std::string& targetPath);
  void ForgetFreshFolders();
  // Makes an entry's folder below the destination; one the walk made is fresh.
  TErrorCode MakeEntryFolder(const std::string& folder);
  uint32_t FSkipped = 0;
  // The archive open in FRZip across the items of a Files run, its password and its names.
  std::string FArchiveName;
  std::string FArchivePwd;
  // Its names, indexed once: a selection of many entries of a large archive looks each up
  // in constant time.
  std::unique_ptr<TArchiveIndex> FArchiveIndex;

  // ---- the three modes
  void RestoreSelectedFiles();
  void RestoreDirectory();
  void RestoreFromSchedule();

  // ---- operations shared by the modes
  bool CheckTargetFolder();  // false when the user declined
  bool ConfirmNonEmptyTarget();
  void SetRestoring(bool on);
  // jobSize: bytes the worker reads or writes at most, when known (-1 unknown); see
  // CInlineJobLimit.
  TRestoreError RunWorker(bool withProgress, int64_t jobSize = -1);
  void ShowRunSummary(uint32_t copied, uint32_t errors);

  // ---- the per-file pipeline
  // code receives the worker's error code (success unless failed).
  // known: the source's facts when the walk has them.
  TRestoreResult RestoreFile(const std::string& source, const std::string& targetFolder,
                             bool withProgress, TRestoreError& code, const TSourceFacts* known = nullptr);
  // mayPool: a small entry may be left to the pool (rrPending), for a walk that Settles it.
  TRestoreResult RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                                 const std::string& displayName, TRestoreError& code, bool mayPool = false);
  bool ShouldRestore(const std::string& targetPath, int32_t sourceTime);
  // The decision of ShouldRestore without its side effects. targetTime receives the existing
  // target's last write (Unix seconds) when a file exists there, and stays empty otherwise.
  // inspected, when given, receives what was found at the target's place.
  TTargetDecision DecideTarget(const std::string& targetPath, int32_t sourceTime,
                               std::optional<int64_t>& targetTime, TTargetState* inspected = nullptr);
  // "Keep both": a free name beside an existing target; otherwise the target itself.
  std::string TargetFor(const std::string& targetPath);
  // Per target of this run, the number its last "keep both" name took.
  std::unordered_map<std::string, unsigned> FKeepBothFrom;
  void NoteSkip();  // why ShouldRestore said no
  void BeginRun();
  void EndRun();
  void WaitWhilePaused();
  // Processes the front-end's messages when some milliseconds have passed since the last
  // time, so that runs of small inline jobs or skipped files stay responsive.
  void KeepResponsive();
  // The summary line (with the error count and the detail list when there were errors),
  // recorded in the outcome of the run.
  void ReportRun(const std::string& copiedText, uint32_t copied, uint32_t errors);
  void AddErrorLines(const std::string& source, const TRestoreError& code);
  // The one failure of a run, shown at once: its message, and its context as a detail line.
  void ShowFailure(const TRestoreError& failure);
  // One item's outcome for the front-end's item list; skipped items are counted here.
  void ReportItem(TRestoreResult result, const std::string& source, const TRestoreError& code,
                  const std::string& set = {}, int64_t bytes = -1);
  // Asks when no password is known, runs attempt, and asks again for the same item only
  // when attempt ended with a wrong password (errDecrypt). passwordGiven runs after each
  // answer OK or Skip; giveUpCode is the failure when no password can be had.
  TRestoreResult PasswordLoop(const std::string& name, bool& encrypted, TErrorCode giveUpCode,
                              TRestoreError& code, const std::function<void(TPasswordAnswer)>& passwordGiven,
                              const std::function<TRestoreResult(TRestoreError&)>& attempt);
  void ShowFile(const std::string& text);
  // Totals for the view's progress, in restored bytes where they are known before the
  // transfer, else in backup bytes on both sides: an item starts with its share of the total
  // (ProgressShare), learns its restored size (a .gz header read), is over.
  void ItemStarted(const std::string& name, int64_t share);
  void ItemResized(int64_t restoredSize);
  void ItemFinished();
  // An item's share of the run's bytes by its backup file's name and size: an encrypted
  // file's content (as with the shortest header), else the file's size.
  static int64_t ProgressShare(const std::string& name, int64_t backupSize);
  // The header and code of an encrypted file with the shortest key: the size estimate while
  // no password says which.
  static constexpr int64_t CShortestEncOverhead = 20;
  // Hands the run's progress to the view: done never beyond the total, never back.
  void PublishProgress(TRunProgress progress);
  int64_t FPublishedBytes = 0;  // the done bytes the view was last given
  // Directory mode counts what it will walk, so that the totals are known from the start. The
  // count's listings (with each file's size and time) are kept for the walk that follows, up to
  // CKeptEntries entries, keyed by the folder's device and inode (a key as long as a deep
  // folder's path would make the store grow with the square of the depth). Both the count and
  // the walk go down with a stack of their own, not by recursion: a tree of any depth fits the
  // thread's stack and a bounded number of handles (TFolderChain).
  void CountFolder(const TDirHandle& folder);
  static constexpr size_t CKeptEntries = 65536;
  std::unordered_map<TFolderId, TDirListing, TFolderIdHash> FCounted;
  size_t FCountedEntries = 0;
  // The kept listing of the folder id (taken out of the store), or a new one.
  TDirListing FolderListing(const TDirHandle& folder, std::optional<TFolderId> id, bool& listed);
  void KeepCounted(bool listed, std::optional<TFolderId> id, TDirListing listing);
  // The Directory walk's selected folder, to which the filter's paths are relative.
  std::string FWalkRoot;
  std::string WalkRelative(const std::string& path) const;
  TPasswordAnswer AskForPassword(const std::string& prompt, const std::string& name);
  // expandedSize: the unpacked size of a compressed file (0 when not known or not compressed);
  // knownFacts: the source's facts when the caller has just taken them.
  TRestoreResult RunPipeline(const std::string& source, std::string targetPath, TBackupKind kind,
                             bool encrypted, bool withProgress, bool createFolder, TRestoreError& code,
                             int64_t expandedSize = 0, const TSourceFacts* knownFacts = nullptr);
  bool OpenArchive(const std::string& archive, TRestoreError& code);
  void CloseArchive();
  // Files mode: the archive's entry that subPath names (-1 none): an exact name wins, a name
  // equal without regard to case only when it is the only one.
  int FindArchiveEntry(const std::string& subPath);
  TRestoreResult RestoreSelectedEntry(const std::string& archive, const std::string& subPath,
                                      std::string& source, TRestoreError& code);
  TRestoreResult RestoreSelectedPath(const std::string& source, TRestoreError& code);
  // The Directory walk's open folders, paths and levels still to finish.
  struct TDirectoryWalk;
  void WalkFolders(TDirectoryWalk& walk);
  // The files of the folder the walk has just entered; true when its subfolders follow (it is
  // then the walk's new level). fresh: this walk made the target folder.
  bool EnterFolder(TDirectoryWalk& walk, bool fresh, size_t sourceEnd, size_t targetEnd);
  // Enters the current level's next subfolder; false when it has none left.
  bool EnterNextSubfolder(TDirectoryWalk& walk);
  bool EnterSubfolder(TDirectoryWalk& walk, const std::string& name, bool& made);
  void LeaveFolder(TDirectoryWalk& walk, size_t sourceEnd, size_t targetEnd);
  bool RestoreFolderFiles(const TDirListing& listing, const TDirHandle& sourceDir, const std::string& sourcePath,
                          const std::string& targetFolder, bool fresh, uint32_t& copied, uint32_t& errors);
  // A folder the walk cannot list, enter or make: its error lines and its failed item.
  void FolderFailed(const std::string& folder, const TRestoreError& code, uint32_t& errors);
  // Whether entry e of the open archive is a file below subPath that the filter accepts.
  bool ArchiveEntrySelected(int e, const std::string& subPath, const std::string& foldedFolder) const;
  // Filters that leave no item of the Files or Directory selection: "No files found!" before
  // anything is made or asked; true when so.
  bool FiltersLeaveNothing();
  bool ReportNothingToDo();
  void RestoreArchiveFolder(const std::string& archive, const std::string& subPath,
                            const std::string& target, uint32_t& copied, uint32_t& errors);
  // The version search's failures come as raw values.
  void AddSearchError(const std::string& path, uint32_t code);
  // The plaintext length of an encrypted file of fileSize bytes, by the current password's
  // key mode (the shortest header when none is known yet).
  int64_t EncryptedContentSize(int64_t fileSize) const;
  void RestoreVersions();

  // ---- transfers side by side. Items are decided on this thread in walk order; a small
  // transfer (at most CInlineJobLimit, no password) may run on the pool while the walk goes
  // on, and every item's report waits in FQueue until those before it are reported.
  // The rest of an item's handling in its walk (report, counts, error lines); false ends it.
  using TItemFinish = std::function<bool(TRestoreResult, const TRestoreError&)>;
  struct TQueuedItem {
    std::unique_ptr<TCopyThread> Worker;  // a transfer on the pool; null once decided
    std::string TargetKey;                // its target, case folded, for InFlight
    TRestoreResult Result = rrFailed;
    TRestoreError Code;
    TItemState State;
    TItemFinish Finish;
  };
  int FJobs = 1;
  bool FWalkEnded = false;                      // a finish reported later ended the walk
  std::unique_ptr<TCopyThread> FPooledWorker;  // the pipeline's rrPending transfer, for Settle
  std::deque<TQueuedItem> FQueue;
  std::unique_ptr<TTransferPool> FPool;  // after FQueue: joined before the workers go
  // The item's outcome to finish: at once when nothing waits before it, else in its turn.
  // false when the walk ends here.
  bool Settle(TRestoreResult result, TRestoreError code, TItemFinish finish);
  // Finishes the first queued item; waits for its transfer when wait is set. false when it
  // still runs (and wait is not set) or nothing is queued.
  bool RetireHead(bool wait);
  void RetireReady();
  // Finishes every queued item, in order; the item being decided keeps its state.
  void Drain();
  bool InFlight(const std::string& target) const;
  // Stop: every queued transfer ends at its next block, or before it begins.
  void CancelQueued();
  int RunningTransfers() const;
  // A small transfer the pool may run: no pause pressed, size known and small.
  bool MayPool(bool encrypted, int64_t jobSize) const;
};

}  // namespace qv
