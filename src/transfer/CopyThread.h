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
#include <string>

#include "base/FtGlobal.h"
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

// Settings of the suite's packing side; no worker of this program reads them.
enum class TZCompressionLevel : uint8_t { zcNone, zcFastest, zcDefault, zcMax };
enum class TZStrategy : uint8_t { zsDefault, zsFiltered, zsHuffman, zsRLE, zsFixed };
using enum TZCompressionLevel;
using enum TZStrategy;

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
  int ErrorCode() const { return FError.load(std::memory_order_acquire); }
  int ErrorType() const { return FErrFlag; }

  const TProgressEvent& OnProgress() const { return FOnProgress; }
  // Also routes the decryptor's reports, through Synchronize, to the same handler.
  void SetOnProgress(TProgressEvent AHandler);

  bool CheckTime() const { return FCheckTime; }
  void SetCheckTime(bool AValue) { FCheckTime = AValue; }
  bool CopyCreationTime() const { return FCopyCrTm; }
  void SetCopyCreationTime(bool AValue) { FCopyCrTm = AValue; }
  bool CopyPermissions() const { return FCopyAcl; }
  void SetCopyPermissions(bool AValue) { FCopyAcl = AValue; }
  bool CopyStorage() const { return FCopyStorage; }
  void SetCopyStorage(bool AValue) { FCopyStorage = AValue; }
  TShellCopyModes ShellCopy() const { return FShellCopy; }
  void SetShellCopy(TShellCopyModes AValue) { FShellCopy = AValue; }
  // On: a write-protected target may be replaced. The old file is never changed; it is
  // replaced as a whole when the new one is complete.
  bool Overwrite() const { return FOverwrite; }
  void SetOverwrite(bool AValue) { FOverwrite = AValue; }

  // The destination folder that DestName lies below and may not leave; empty (the default):
  // the folder of DestName.
  void SetDestinationRoot(std::string ARoot) { FDestRoot = std::move(ARoot); }
  // The permission bits the committed target gets; without, the source file's (or, with no
  // source file, 0666 less the umask).
  void SetTargetMode(mode_t AMode) { FTargetMode = static_cast<int>(AMode & 0777); }

  // A decoder lent by the owner for every inflate of this worker (the zip reader keeps one
  // for all its entries); without one each inflate makes its own. Not owned.
  void SetInflater(TInflater* AInflater) { FLentInflater = AInflater; }

  // Test run: the source is read and checked to its end as for a restore, but the data go to
  // a sink; no target, no temporary file, no properties are touched.
  void SetTestOnly(bool AValue) { FTestOnly = AValue; }
  bool TestOnly() const { return FTestOnly; }
  // After the rename the target is read back and compared with a CRC-32 and the length of
  // what was written; a difference ends the job with errVerifyFailed.
  void SetVerifyTarget(bool AValue) { FVerifyTarget = AValue; }
  // Tests only: runs on the worker between the rename and the read-back, with DestName.
  static void SetVerifyHook(std::function<void(const std::string&)> AHook) { FVerifyHook = std::move(AHook); }

  // Main thread: the running loop ends after its current block with 0x080 (a paused worker
  // is released to notice it).
  virtual void CancelThread();

  const std::string& GetSourceName() const { return SourceName; }
  const std::string& GetDestName() const { return DestName; }

 protected:
  void Execute() override;
  // Ends the job with a result; must be called exactly once by every Execute.
  virtual void FinishThread(int AError);
  // Reports progress on the main thread and waits for the handler; then passes the pause gate.
  virtual void DoProgress(TFileAction AAction, bool ASpeedLimit, int64_t ACount);
  // An exception that escaped Execute: streams are released and the job ends with 0x112.
  void HandleException() noexcept override;

  // Building blocks. Each gives a result code without the operation mark.
  // Source checks, its times and attributes, source opened into sSource and the target
  // (a temporary file) into sDest. On failure the caller releases what is open.
  int OpenFiles(TFileTimestamps& Times, uint16_t& Attr);
  // The target step of OpenFiles, for jobs that open their source themselves: refuses an empty
  // name, a name that leaves the destination, a folder and a write-protected target (unless
  // Overwrite), then creates the temporary file (mode 0600) into sDest.
  int OpenTarget();
  // Gives the temporary file its mode (when FinishFile has not), flushes it when it replaces
  // an existing file, closes sDest and renames it over DestName: 0 or an error code.
  int CommitTarget();
  // Closes sDest and deletes an uncommitted temporary file; an existing target stays.
  void DiscardTarget();
  bool TargetPending() const { return FTarget.Pending(); }
  // The error code of a failed write (errno: a full disk reads as 0x107).
  static int WriteFailure();
  int CopyData(TStream& sIn, TStream& sOut, bool ASpeedLimit, int64_t ALength);
  // Gives the temporary target the source's times and permission bits, commits it, then
  // permissions and details as asked.
  int FinishFile(bool ACopyStorage, bool ACopyAcl, uint16_t AAttr, const TFileTimestamps& ATimes);
  // Frees both streams; an uncommitted temporary target is deleted.
  void ReleaseStreams();
  int CopyDetails();
  int DoCopy();
  // Plain platform copy (no shell on Linux): the whole file copied at once.
  int DoShellCopy();
  // False when the transfer buffer could not be allocated.
  bool HasBuffer() const { return FBuffer != nullptr; }

  // Defined with the gzip worker: raw-inflate loop, gzip member loop, trailer check.
  // ALength bounds the input (0 or less: up to the end of sIn). An inflate that would produce
  // more than AMaxOutput bytes stops there as corrupt data (0x109) without writing the
  // excess; a negative AMaxOutput means no bound. GUnzipData inflates up to the trailer.
  int InflateData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t ALength,
                  int64_t AMaxOutput = -1);
  int GUnzipData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t AMaxOutput = -1);
  int CheckGzTrailer(TStream& sIn, int64_t USize);
  // Defined with the zip entry workers: compares ALength bytes of sIn with sRef.
  int CompareData(TStream& sIn, TStream& sRef, bool ASpeedLimit, int64_t ALength);

  TProgressEvent FOnProgress;
  bool FCheckTime = true;
  TShellCopyModes FShellCopy;
  std::atomic<int> FError{0};
  std::unique_ptr<uint8_t[]> FBuffer;
  std::string SourceName;
  std::string DestName;
  std::unique_ptr<TStream> sSource;
  std::unique_ptr<TStream> sDest;
  uint32_t FBufSize = 0;
  std::atomic<bool> FUserBreak{false};
  bool FCopyCrTm = false;
  bool FCopyStorage = false;
  bool FCopyAcl = false;
  bool FOverwrite = false;
  bool FVerify = false;
  int FErrFlag = opCopy;
  TZCompressionLevel FCompLevel = zcDefault;
  TZStrategy FCompType = zsDefault;
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
  TFileAction FAction = acNone;
  int64_t FCount = 0;
  bool FSpeedLimit = false;

 private:
  void SyncProgress();
  struct TKernelCopy;
  int64_t KernelCopyBlock(TFileStream& in, TFileStream& out, size_t count, int64_t maxHole,
                          TKernelCopy& state);
  int64_t SourceMode() const;  // the open source file's permission bits, or -1
  void NoteWritten(const void* AData, size_t ASize);
  int VerifyTarget();
  TTargetFile FTarget;         // the uncommitted temporary target
  std::string FDestRoot;
  int FTargetMode = -1;
  bool FModeApplied = false;
  TInflater* FLentInflater = nullptr;
  std::atomic<bool> FFinishing{false};
  bool FTestOnly = false;
  bool FVerifyTarget = false;
  uint32_t FWrittenCrc = 0;  // of the bytes that reached the temporary target
  int64_t FWrittenSize = 0;
  inline static std::function<void(const std::string&)> FVerifyHook;
};

}  // namespace qv
