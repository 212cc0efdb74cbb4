// SPDX-License-Identifier: Apache-2.0
#pragma once
// The transfer worker: one file per object, moved in blocks on its own thread, with progress
// delivered on the main thread, pause, cancel and one result code at the end. It is the base
// of every other worker, which override Execute only and reuse the building blocks below.
//
// Nothing is lost on failure: the target is written into a new hidden temporary file beside
// DestName and renamed over it only when the transfer succeeded (OpenTarget / CommitTarget /
// DiscardTarget); a failed or cancelled job deletes that file and leaves an existing target
// as it was. With a destination root set, DestName is reached below it without following a
// link out of it (base/TargetFile.h), and missing folders are made there.
#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "base/FtGlobal.h"
#include "base/ReadBuffer.h"
#include "base/Stream.h"
#include "base/TargetFile.h"
#include "transfer/FilePropUtils.h"
#include "transfer/Thread.h"

namespace qv {

class TEncryption;  // crypto/AesLib.h; a worker never owns it
class TInflater;   // transfer/Inflater.h

enum class TShellCopyMode : uint8_t { scmCopy = 0, scmQuiet = 1 };
using enum TShellCopyMode;

// A set of TShellCopyMode.
class TShellCopyModes {
 public:
  constexpr TShellCopyModes() = default;
  constexpr TShellCopyModes(std::initializer_list<TShellCopyMode> AModes) {
    for (auto m : AModes) Include(m);
  }
  constexpr bool Contains(TShellCopyMode AMode) const { return (FBits & Bit(AMode)) != 0; }
  constexpr void Include(TShellCopyMode AMode) { FBits |= Bit(AMode); }
  constexpr void Exclude(TShellCopyMode AMode) { FBits &= static_cast<uint8_t>(~Bit(AMode)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr bool operator==(const TShellCopyModes&) const = default;

 private:
  static constexpr uint8_t Bit(TShellCopyMode AMode) {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(AMode));
  }
  uint8_t FBits = 0;
};

// A source the owner has opened (without following a link) and the bytes it read from its
// start (all of them for a small file; none when it read nothing).
struct TOpenedSource {
  TFd File;
  std::vector<uint8_t> Content;
};

// The option properties of a worker, set by the owner before the job starts.
struct TCopyOptions {
  bool CheckTime = true;  // a source time in the future is replaced by now
  TShellCopyModes ShellCopy;
  bool CopyCreationTime = false;
  bool CopyStorage = false;
  bool CopyPermissions = false;
  bool Overwrite = false;        // a write-protected target may be replaced
  bool TestOnly = false;         // the data go to a sink
  bool VerifyTarget = false;     // the renamed target is read back
  std::string DestinationRoot;   // empty: the folder of DestName
  int TargetMode = -1;           // permission bits of the committed target, or -1
  int64_t TargetTime = 0;        // modification time (Unix seconds) it gets, or 0 for none
  bool TargetAbsent = false;     // the owner has just found nothing at DestName
};

// What a digest of the written bytes needs: the read-back compares both.
struct TWrittenDigest {
  uint32_t Crc = 0;
  int64_t Size = 0;
};

// The temporary target of the running job, from OpenTarget to CommitTarget or DiscardTarget.
struct TPendingTarget {
  TTargetFile File;
  bool ModeApplied = false;  // FinishFile gave it its permission bits
  // Verified against the source file itself (a plain copy): no digest while writing.
  bool CompareWithSource = false;
  TWrittenDigest Written;    // kept only when the target is verified against a digest
};

class TCopyThread : public TThread {
 public:
  TCopyThread(std::string ASourceName, std::string ADestName, bool ASuspend, int ABufSize,
              TThreadPriority APriority);
  // AEncryption is used by the subclasses that decrypt; it is not owned.
  TCopyThread(std::string ASourceName, std::string ADestName, TEncryption* AEncryption,
              bool ASuspend, int ABufSize, TThreadPriority APriority);
  // Waits for the thread, deletes an uncommitted temporary target and clears the
  // decryptor's progress handler (the decryptor outlives the worker).
  ~TCopyThread() override;

  // Done becomes true only after the result is stored.
  bool Done() const { return Terminated(); }
  TErrorCode ErrorCode() const { return FError.load(std::memory_order_acquire); }
  // Why it failed, where the code alone does not say it; read once Done.
  const std::string& ErrorContext() const { return FFailReason; }
  TRestoreError Error() const { return {ErrorCode(), FFailReason}; }
  // The operation mark of this worker's results.
  int ErrorType() const { return FErrFlag; }

  const TProgressEvent& OnProgress() const { return FOnProgress; }
  // Also routes the decryptor's reports, through Synchronize, to the same handler.
  void SetOnProgress(TProgressEvent AHandler);

  bool CheckTime() const { return FOptions.CheckTime; }
  void SetCheckTime(bool AValue) { FOptions.CheckTime = AValue; }
  bool CopyCreationTime() const { return FOptions.CopyCreationTime; }
  void SetCopyCreationTime(bool AValue) { FOptions.CopyCreationTime = AValue; }
  bool CopyPermissions() const { return FOptions.CopyPermissions; }
  void SetCopyPermissions(bool AValue) { FOptions.CopyPermissions = AValue; }
  bool CopyStorage() const { return FOptions.CopyStorage; }
  void SetCopyStorage(bool AValue) { FOptions.CopyStorage = AValue; }
  TShellCopyModes ShellCopy() const { return FOptions.ShellCopy; }
  void SetShellCopy(TShellCopyModes AValue) { FOptions.ShellCopy = AValue; }
  // On: a write-protected target may be replaced. The old file is never changed; it is
  // replaced as a whole when the new one is complete.
  bool Overwrite() const { return FOptions.Overwrite; }
  void SetOverwrite(bool AValue) { FOptions.Overwrite = AValue; }

  // The destination folder that DestName lies below and may not leave; empty (the default):
  // the folder of DestName.
  void SetDestinationRoot(std::string ARoot) { FOptions.DestinationRoot = std::move(ARoot); }
  // The permission bits the committed target gets; without, the source file's (or, with no
  // source file, 0666 less the umask).
  void SetTargetMode(mode_t AMode) { FOptions.TargetMode = static_cast<int>(AMode & 0777); }
  // The modification time the committed target gets, set on the open file before its rename
  // (0: none).
  void SetTargetTime(int64_t AUnixSeconds) { FOptions.TargetTime = AUnixSeconds; }
  // After the job: whether the committed target got the time and the permission bits asked
  // for with SetTargetTime and SetTargetMode.
  bool TargetTimeSet() const { return FTargetTimeSet; }
  bool TargetModeSet() const { return FTargetModeSet; }
  // The owner has just looked at DestName and found nothing there: the worker does not look
  // again before it writes (a target that appears meanwhile is still looked at before it is
  // replaced).
  void SetTargetAbsent(bool AValue) { FOptions.TargetAbsent = AValue; }

  // The open folder that SourceName lies in, kept open by the owner for the job: the source
  // is opened by its own name there, which spares the lookup of every folder above it.
  void SetSourceFolder(int AFolder) { FSourceFolder = AFolder; }
  // SourceName as the owner opened it: the job asks what it is as OpenSource does, and takes
  // the bytes read so far (LoadSmallSource) when they are the whole file.
  void SetSourceFile(TOpenedSource ASource) { FOpenedSource = std::move(ASource); }

  // The size of the committed target as written, or -1 when the worker does not know it (or
  // committed nothing).
  int64_t CommittedSize() const { return FCommittedSize; }

  // A decoder lent by the owner for every inflate of this worker (the zip reader keeps one
  // for all its entries); without one each inflate makes its own. Not owned.
  void SetInflater(TInflater* AInflater) { FLentInflater = AInflater; }
  // A long stream (more than 1 MiB of input, or of unknown length) is inflated in blocks of
  // this many transfer buffers, each reported and stored as one.
  static constexpr size_t kInflateBlockBuffers = 4;
  // Buffers per block of a file-to-file copy that the kernel moves.
  static constexpr size_t kKernelCopyBlockBuffers = 8;

  // Test run: the source is read and checked to its end as for a restore, but the data go to
  // a sink; no target, no temporary file, no properties are touched.
  void SetTestOnly(bool AValue) { FOptions.TestOnly = AValue; }
  bool TestOnly() const { return FOptions.TestOnly; }
  // After the rename the target is read back and compared with what was written; a
  // difference ends the job with errVerifyFailed.
  void SetVerifyTarget(bool AValue) { FOptions.VerifyTarget = AValue; }
  // Tests only: runs on the worker between the rename and the read-back, with DestName.
  static void SetVerifyHook(std::function<void(const std::string&)> AHook) { FVerifyHook = std::move(AHook); }

  // Main thread: the running loop ends after its current block with 0x080 (a paused worker
  // is released to notice it).
  virtual void CancelThread();
  // A queued transfer's turn: runs here, or, when a cancel came before its turn, ends at once
  // with 0x080 and touches nothing.
  void RunQueued();

  const std::string& GetSourceName() const { return SourceName; }
  const std::string& GetDestName() const { return DestName; }

 protected:
  void Execute() override;
  // Ends the job with a result; must be called exactly once by every Execute.
  virtual void FinishThread(TErrorCode AError);
  // A failure with its reason: the first reason given stands (the loops below it know more
  // than the callers that pass their result on).
  TErrorCode Fail(TErrorCode ACode, std::string AReason) {
    if (FFailReason.empty()) FFailReason = std::move(AReason);
    return ACode;
  }
  // A decryption's result with its reason: a body whose code does not match reads the same as
  // one cut short.
  TErrorCode AuthenticationResult(TErrorCode ACode) {
    return ACode.Is(errCorrupt) ? Fail(ACode, "the authentication code does not match the data, or they are cut short")
                                : ACode;
  }
  // Reports progress on the main thread and waits for the handler; then passes the pause gate.
  virtual void DoProgress(TFileAction AAction, bool ASpeedLimit, int64_t ACount);
  // An exception that escaped Execute: streams are released and the job ends with 0x112.
  void HandleException() noexcept override;

  // Building blocks. Each gives a result without the operation mark.
  // Source checks, its times and attributes, source opened into sSource and the target
  // (a temporary file) into sDest. On failure the caller releases what is open.
  TErrorCode OpenFiles(TFileTimestamps& Times, uint16_t& Attr);
  // The source step of OpenFiles: sSource, its times and attributes, FSourceStat.
  TErrorCode OpenSource(TFileTimestamps& Times, uint16_t& Attr);
  // Replaces an open source of at most CSmallJobLimit bytes by its content in memory, read in
  // one call (the bytes it had when it was opened).
  TErrorCode LoadSmallSource();
  // The target step of OpenFiles, for jobs that open their source themselves: refuses an empty
  // name, a name that leaves the destination, a folder and a write-protected target (unless
  // Overwrite), then creates the temporary file (mode 0600) into sDest.
  TErrorCode OpenTarget();
  // Gives the temporary file its mode (when FinishFile has not), flushes it when it replaces
  // an existing file, closes sDest and renames it over DestName.
  TErrorCode CommitTarget();
  // Closes sDest and deletes an uncommitted temporary file; an existing target stays.
  void DiscardTarget();
  bool TargetPending() const { return FTarget.File.Pending(); }
  // The result of a failed write (errno: a full disk reads as 0x107).
  static TErrorCode WriteFailure();
  TErrorCode CopyData(TStream& sIn, TStream& sOut, bool ASpeedLimit, int64_t ALength);
  // Gives the temporary target the source's times and permission bits, commits it, then
  // permissions and details as asked.
  TErrorCode FinishFile(bool ACopyStorage, bool ACopyAcl, uint16_t AAttr, const TFileTimestamps& ATimes);
  // Frees both streams; an uncommitted temporary target is deleted.
  void ReleaseStreams();
  TErrorCode CopyDetails();
  TErrorCode DoCopy();
  // Plain platform copy (no shell on Linux): the whole file copied at once.
  TErrorCode DoShellCopy();
  // False when the transfer buffer could not be allocated.
  bool HasBuffer() const { return FBuffer != nullptr; }

  // Defined with the gzip worker: raw-inflate loop, gzip member loop, trailer check.
  // ALength bounds the input (0 or less: up to the end of sIn). An inflate that would produce
  // more than AMaxOutput bytes stops there as corrupt data (0x109) without writing the
  // excess; a negative AMaxOutput means no bound. GUnzipData inflates up to the trailer.
  TErrorCode InflateData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t ALength,
                         int64_t AMaxOutput = -1);
  TErrorCode GUnzipData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t AMaxOutput = -1);
  TErrorCode CheckGzTrailer(TStream& sIn, int64_t USize);

  TProgressEvent FOnProgress;
  TCopyOptions FOptions;
  std::atomic<TErrorCode> FError{};
  std::string FFailReason;  // written before FError, on the worker's thread only
  // Starts on a 64-byte line, as the file positions of a job's reads do (base/ReadBuffer.h).
  struct TBufferFree {
    void operator()(uint8_t* AData) const { ::operator delete[](AData, std::align_val_t{TReadBuffer::kLine}); }
  };
  std::unique_ptr<uint8_t[], TBufferFree> FBuffer;
  std::string SourceName;
  std::string DestName;
  std::unique_ptr<TStream> sSource;
  std::unique_ptr<TStream> sDest;
  uint32_t FBufSize = 0;
  std::atomic<bool> FUserBreak{false};
  int FErrFlag = opCopy;
  // Running totals of the job's loops.
  uint32_t FCrc = 0;
  // False where nothing will compare FCrc (an AES entry of the second kind stores none and
  // relies on its authentication code); the loops then skip the sum.
  bool FCrcWanted = true;
  int64_t UTotal = 0;
  int64_t CTotal = 0;
  // Whether the last InflateData reached the end of the deflate stream (a stream cut short
  // ends that loop without an error).
  bool FInflateEnded = false;
  TEncryption* FCrypting = nullptr;
  int64_t FCommittedSize = -1;  // set by the jobs that know it, after a successful commit
  int FSourceFolder = -1;       // not owned
  TOpenedSource FOpenedSource;

 private:
  TErrorCode OpenSourceByName(TFileTimestamps& Times, uint16_t& Attr);
  struct TKernelCopy;
  int64_t KernelCopyBlock(TFileStream& in, TFileStream& out, size_t count, int64_t maxHole,
                          TKernelCopy& state);
  void PlanKernelCopy(const struct stat& ASource, TKernelCopy& AState) const;
  TErrorCode CopyBlocks(TStream& sIn, TStream& sOut, bool ASpeedLimit, int64_t ALength, TKernelCopy& state);
  bool SumCopied(TFileStream& in, int64_t AOffset, size_t ASize);
  void PostProgress(TFileAction AAction, bool ASpeedLimit, int64_t ACount);
  void EndPostedProgress();
  int64_t SourceMode() const;  // the open source file's permission bits, or -1
  void NoteWritten(const void* AData, size_t ASize);
  TErrorCode VerifyTarget();
  TErrorCode CompareTargetWithSource();
  class TSourceDigest;
  void StartSourceDigest(int64_t ASize);
  TErrorCode CompareTargetWithDigest(TFileStream& ATarget);
  bool DigestWanted() const { return FOptions.VerifyTarget && !FTarget.CompareWithSource; }
  TPendingTarget FTarget;
  bool FTargetTimeSet = false;
  bool FTargetModeSet = false;
  std::optional<struct stat> FSourceStat;  // of the source opened by OpenFiles
  std::unique_ptr<TSourceDigest> FSourceDigest;  // of a large verified copy
  TInflater* FLentInflater = nullptr;
  std::atomic<bool> FFinishing{false};
  inline static std::function<void(const std::string&)> FVerifyHook;
};

}  // namespace qv
