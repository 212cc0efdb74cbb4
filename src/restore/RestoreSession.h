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
#include "restore/ArchiveCursor.h"
#include "restore/DirList.h"
#include "restore/ItemOutcome.h"
#include "restore/PathFilter.h"
#include "restore/RestoreView.h"
#include "restore/RunCounters.h"
#include "restore/TargetDecider.h"
#include "restore/TransferQueue.h"

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
  static constexpr int CQueuedPerPoolThread = TTransferQueue::CQueuedPerPoolThread;
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
  // One backup file on its way through the pipeline: what it is, where it goes, and what a
  // password answer changes (restored still encrypted under its ".enc" name, or no key).
  struct TFileJob {
    std::string Source;
    std::string TargetPath;  // before "keep both"
    TBackupKind Kind = bkPlain;
    bool Encrypted = false;
    bool WithProgress = false;
    bool CreateFolder = false;     // its target's folders are made first
    bool NoKey = false;            // an empty password for a compressed file: no data to be had
    int64_t ExpandedSize = 0;      // the unpacked size of a compressed file (0 when not known)
    int SourceFolder = -1;         // the walk's open folder the source lies in, or -1
    std::optional<TSourceFacts> Facts;        // when the walk has just taken them
    std::unique_ptr<TOpenedSource> Opened;    // a small .gz whose header was read, for its worker
  };

  IRestoreView& FView;
  TRestoreOptions FOptions;  // of the current (or last) run
  std::string FTarget;       // the destination of the run
  std::string FCryptPwd;     // 8-bit, the configured code page; empty = no password known
  std::unique_ptr<TEncryption> FDecryption;
  std::unique_ptr<TCopyThread> FCopyThread;  // the transfer running alone, with its reports
  int64_t FSize = 0;  // its size, announced by the worker
  std::vector<std::string> FErrorList;
  bool FPaused = false;
  bool FRestoring = false;
  bool FStopped = false;
  bool FRunActive = false;  // a mode is on the stack (also while a stopped run unwinds)
  bool FTargetExisted = false;
  TRunOutcome FLastRun;
  TRunCounters FCounts;       // this run's counts and progress
  TTargetDecider FDecider;    // the overwrite rule and what this run decided so far
  TArchiveCursor FArchive;    // the archive open across the items
  TTransferQueue FTransfers;  // transfers side by side, reports in walk order
  uint64_t FTargetDevice = 0, FTargetInode = 0;  // the destination, kept out of the walk
  std::chrono::steady_clock::time_point FLastMessages{};
  TPathFilter FFilter;      // the include and exclude patterns of this run
  bool WritesNothing() const { return FOptions.Kind != rkRestore; }
  // A restore whose targets are read back.
  bool Verifying() const { return FOptions.Kind == rkRestore && FOptions.Verify; }
  // A dry run's item: decided (target, reason) for its report; rrCopied when it would be
  // restored. It also fails (code, with the worker's operation mark) where the worker would
  // refuse the target before writing, and plans the target for the items after it.
  TItemOutcome PreviewItem(const std::string& targetPath, int32_t sourceTime, uint32_t operation);
  // The worker's result in a verified restore, counted.
  void NoteWorkerResult(TRestoreResult result);
  // Schedule mode state
  std::unique_ptr<TVersionList> FVersions;
  int64_t FBound = 0;

  // ---- the three modes
  void RestoreSelectedFiles();
  void RestoreDirectory();
  void RestoreFromSchedule();

  // ---- operations shared by the modes
  bool CheckTargetFolder();  // false when the user declined
  bool ConfirmNonEmptyTarget();
  void SetRestoring(bool on);
  // Runs FCopyThread to its end (item receives its code and what it wrote); jobSize: bytes the
  // worker reads or writes at most, when known (-1 unknown); see CInlineJobLimit.
  void RunWorker(TItemOutcome& item, bool withProgress, int64_t jobSize);
  void ShowRunSummary();

  // ---- the per-file pipeline
  // known: the source's facts when the walk has them; sourceFolder: the walk's open folder.
  TItemOutcome RestoreFile(const std::string& source, const std::string& targetFolder, bool withProgress,
                           const TSourceFacts* known = nullptr, int sourceFolder = -1);
  // mayPool: a small entry may be left to the pool (rrPending), for a walk that settles it.
  TItemOutcome RestoreZipEntry(const TPkHeader& entry, const std::string& targetPath,
                               const std::string& displayName, bool mayPool = false);
  // The overwrite rule for item.Target; when not, item is a skip with its reason.
  bool ShouldRestore(TItemOutcome& item, int32_t sourceTime);
  void BeginRun();
  void EndRun();
  void WaitWhilePaused();
  // Processes the front-end's messages when some milliseconds have passed since the last
  // time, so that runs of small inline jobs or skipped files stay responsive.
  void KeepResponsive();
  // The summary line (with the error count and the detail list when there were errors),
  // recorded in the outcome of the run.
  void ReportRun(const std::string& copiedText);
  void AddErrorLines(const std::string& source, const TRestoreError& code);
  // The one failure of a run, shown at once: its message, and its context as a detail line.
  void ShowFailure(const TRestoreError& failure);
  // One item's outcome for the front-end's item list; skipped items are counted here.
  void ReportItem(const TItemOutcome& item, const std::string& source, const std::string& set = {},
                  int64_t bytes = -1);
  // ---- passwords: before each attempt of an encrypted item, and after a failed one.
  // Asks when no password is known. false when the item ends here (item tells how: Stop,
  // Cancel, give up with giveUpCode, Skip); answered receives whether a password was given.
  bool PasswordStep(const std::string& name, const std::string& prompt, bool encrypted,
                    const TErrorCode& giveUpCode, TItemOutcome& item, bool& answered);
  // A wrong password (only it fails with errDecrypt) is forgotten and said; true when the item
  // is to be tried again with the next answer.
  bool PasswordRejected(const TItemOutcome& item, bool encrypted);
  // What a password answer means for a backup file (its decryptor, or no key, or restored as
  // it is).
  void TakeFilePassword(TFileJob& job);
  void ShowFile(const std::string& text);
  // Progress: an item starts with its share of the run's bytes (ProgressShare), learns its
  // restored size (a .gz header read), is over.
  void ItemStarted(const std::string& name, int64_t share);
  void ItemFinished(int64_t share);
  // An item's share of the run's bytes by its backup file's name and size: an encrypted
  // file's content (as with the shortest header), else the file's size.
  static int64_t ProgressShare(const std::string& name, int64_t backupSize);
  // The header and code of an encrypted file with the shortest key: the size estimate while
  // no password says which.
  static constexpr int64_t CShortestEncOverhead = 20;
  void PublishProgress(const TRunProgress& progress);
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
  // A backup file from its password question to its worker's end.
  TItemOutcome RunPipeline(TFileJob job);
  // One attempt of it, with the password known now.
  TItemOutcome AttemptFile(TFileJob& job);
  TRestoreError OpenArchive(const std::string& archive);
  // The reader's run of an entry into target (or its test).
  TRestoreError ExtractEntry(const TPkHeader& entry, const std::string& target);
  TItemOutcome RestoreSelectedEntry(const std::string& archive, const std::string& subPath, std::string& source);
  TItemOutcome RestoreSelectedPath(const std::string& source);
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
  // The folder's files in walk order; false when a password prompt cancelled the run.
  bool RestoreFolderFiles(const TDirListing& listing, const TDirHandle& sourceDir, const std::string& sourcePath,
                          const std::string& targetFolder, bool fresh);
  // A folder the walk cannot list, enter or make: its error lines and its failed item.
  void FolderFailed(const std::string& folder, const TRestoreError& code);
  // Whether entry e of the open archive is a file below subPath that the filter accepts.
  bool ArchiveEntrySelected(int e, const std::string& subPath, const std::string& foldedFolder) const;
  // Filters that leave no item of the Files or Directory selection: "No files found!" before
  // anything is made or asked; true when so.
  bool FiltersLeaveNothing();
  bool ReportNothingToDo();
  void RestoreArchiveFolder(const std::string& archive, const std::string& subPath, const std::string& target);
  // A failure of the version search: an error line and a failed item.
  void AddSearchError(const std::string& path, const TErrorCode& code);
  // The plaintext length of an encrypted file of fileSize bytes, by the current password's
  // key mode (the shortest header when none is known yet).
  int64_t EncryptedContentSize(int64_t fileSize) const;
  void RestoreVersions();
  // One version of the list; size receives its restored size for the summary.
  TItemOutcome RestoreVersion(const std::string& source, const std::string& key, int64_t& size);

  // ---- transfers side by side (FTransfers)
  using TItemFinish = TTransferQueue::TFinish;
  // The item's outcome to finish: at once when nothing waits before it, else in its turn; a
  // pending transfer starts here. false when the walk ends here.
  bool Settle(TItemOutcome item, TItemFinish finish);
  // Finishes every queued item, in order.
  void Drain() { FTransfers.Drain(); }
  // A small transfer the pool may run: no pause pressed, size known and small.
  bool MayPool(bool encrypted, int64_t jobSize) const;
};

}  // namespace qv
