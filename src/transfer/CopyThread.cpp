// SPDX-License-Identifier: Apache-2.0
#include "transfer/CopyThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/FileUtils.h"
#include "base/HelperThread.h"
#include "base/ReadBuffer.h"
#include "crypto/AesLib.h"
#include "transfer/Crc32.h"

#include <zlib.h>

namespace qv {

namespace {

constexpr TErrorCode kResultNoMemory{sevError, errNoStream};
constexpr TErrorCode kUserBreak{sevInfo, errUserBreak};

constexpr TErrorCode Failure(uint32_t ADetail) { return TErrorCode(sevError, ADetail); }
constexpr TErrorCode Warning(uint32_t ADetail) { return TErrorCode(sevWarning, ADetail); }
constexpr size_t kShellChunk = size_t{64} << 20;
constexpr int64_t kNoEnd = INT64_MAX;

// copy_file_range cannot move data between these files; the ordinary way can.
bool KernelCannotCopy(int err) {
  return err == EXDEV || err == ENOSYS || err == EINVAL || err == EOPNOTSUPP || err == EBADF;
}

}  // namespace

TCopyThread::TCopyThread(std::string ASourceName, std::string ADestName, bool ASuspend,
                         int ABufSize, TThreadPriority APriority)
    : TThread(ASuspend),
      SourceName(std::move(ASourceName)),
      DestName(std::move(ADestName)),
      FBufSize(ABufSize > 0 ? static_cast<uint32_t>(ABufSize) : 0) {
  SetPriority(APriority);
  // A buffer that cannot be had leaves FBuffer empty; the job then ends with a code.
  if (FBufSize > 0) FBuffer.reset(new (std::align_val_t{TReadBuffer::kLine}, std::nothrow) uint8_t[FBufSize]);
}

TCopyThread::TCopyThread(std::string ASourceName, std::string ADestName, TEncryption* AEncryption,
                         bool ASuspend, int ABufSize, TThreadPriority APriority)
    : TCopyThread(std::move(ASourceName), std::move(ADestName), ASuspend, ABufSize, APriority) {
  FCrypting = AEncryption;
}

TCopyThread::~TCopyThread() {
  WaitFor();  // members below must outlive the job
  ReleaseStreams();
  if (FCrypting) FCrypting->SetOnProgress(nullptr);
}

void TCopyThread::SetOnProgress(TProgressEvent AHandler) {
  FOnProgress = std::move(AHandler);
  if (!FCrypting) return;
  if (FOnProgress) {
    // The decryptor reports on the worker thread, once per block; the report goes to the main
    // thread while the next block is worked on, as a file-to-file copy's does.
    FCrypting->SetOnProgress([this](TFileAction AAction, int64_t ACount, bool ASpeedLimit) {
      EndPostedProgress();
      // A cancel asked for by the report before holds here: the decryptor stops after this
      // block, which goes unreported.
      if (FUserBreak.load(std::memory_order_acquire)) return;
      PostProgress(AAction, ASpeedLimit, ACount);
    });
  } else {
    FCrypting->SetOnProgress(nullptr);
  }
}

void TCopyThread::CancelThread() {
  FUserBreak.store(true, std::memory_order_release);
  ReleasePause();
}

void TCopyThread::RunQueued() {
  if (!FUserBreak.load(std::memory_order_acquire)) return RunInline();
  FinishThread(TErrorCode(sevInfo, errUserBreak));
  EndUnrun();
}

void TCopyThread::Execute() {
  if (FOptions.ShellCopy.Contains(scmCopy))
    FinishThread(DoShellCopy());
  else
    FinishThread(DoCopy());
}

void TCopyThread::FinishThread(TErrorCode AError) {
  if (FFinishing.exchange(true)) return;  // the first result stands
  if (!AError) FFailReason.clear();  // a reason of a step that was retried or passed over
  if (AError)
    FError.store(TErrorCode::FromValue(AError.Value() | static_cast<uint32_t>(FErrFlag)),
                 std::memory_order_release);
  Terminate();
}

void TCopyThread::DoProgress(TFileAction AAction, bool ASpeedLimit, int64_t ACount) {
  if (FOnProgress) {
    // The report lives on this stack while the worker waits; the call stays small enough
    // for the function object to hold it without an allocation.
    const struct {
      TFileAction Action;
      bool SpeedLimit;
      int64_t Count;
    } report{AAction, ASpeedLimit, ACount};
    Synchronize([this, &report] {
      if (FOnProgress) FOnProgress(report.Action, report.Count, report.SpeedLimit);
    });
  }
  WaitIfPaused();
}

void TCopyThread::HandleException() noexcept {
  ReleaseStreams();
  FinishThread(kResultNoMemory);
}

TErrorCode TCopyThread::OpenFiles(TFileTimestamps& Times, uint16_t& Attr) {
  TErrorCode result = OpenSource(Times, Attr);
  if (!result && DestName.empty()) result = Failure(errCreateFile);
  return result ? result : OpenTarget();
}

// One open and one look at what was opened. A link (a walk restores one that leads to a file)
// and a source that cannot be opened this way take the way by name, which keeps the link's own
// times and tells a missing source from an unreadable one.
TErrorCode TCopyThread::OpenSource(TFileTimestamps& Times, uint16_t& Attr) {
  FSourceStat.reset();
  // Not blocking on a pipe that took a file's place; a regular file reads as ever.
  constexpr int CFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const size_t slash = SourceName.rfind('/');
  const int fd = FOpenedSource.File.Valid() ? FOpenedSource.File.Release()
                 : SourceName.empty() ? -1
                 : FSourceFolder >= 0 && slash != std::string::npos
                     ? ::openat(FSourceFolder, SourceName.c_str() + slash + 1, CFlags)
                     : ::open(SourceName.c_str(), CFlags);
  if (fd < 0) return OpenSourceByName(Times, Attr);
  auto source = TFileStream::Adopt(fd);
  struct stat st {};
  const int sourceAttr = GetFileAttrTimestamps(fd, SourceName, Times, st);
  if (sourceAttr < 0 || (sourceAttr & faDirectory)) {
    Times = {};
    return Failure(errFileNotFound);
  }
  if (!S_ISREG(st.st_mode)) return Failure(errNotRegularFile);  // a pipe or device never ends
  Attr = static_cast<uint16_t>(sourceAttr & 0xFFFF);
  FSourceStat = st;
  sSource = std::move(source);
  return {};
}

TErrorCode TCopyThread::LoadSmallSource() {
  auto* file = dynamic_cast<TFileStream*>(sSource.get());
  std::vector<uint8_t> data = std::move(FOpenedSource.Content);
  if (!file || !FSourceStat) return {};
  if (FSourceStat->st_size > CSmallJobLimit) {
    // Grown since the owner read it: read as a file, from its start.
    if (!data.empty() && file->Seek(0, SEEK_SET) != 0) return Failure(errReadFile);
    return {};
  }
  if (data.size() != static_cast<size_t>(FSourceStat->st_size)) {
    // Read from the start: the owner's reading may have moved the position.
    data.resize(static_cast<size_t>(FSourceStat->st_size));
    const int64_t got = file->ReadAt(data.data(), data.size(), 0);
    if (got < 0) return Failure(errReadFile);
    data.resize(static_cast<size_t>(got));
  }
  sSource = std::make_unique<TMemoryStream>(std::move(data));
  return {};
}

TErrorCode TCopyThread::OpenSourceByName(TFileTimestamps& Times, uint16_t& Attr) {
  const int sourceAttr = GetFileAttrTimestamps(SourceName, Times);
  if (sourceAttr < 0 || (sourceAttr & faDirectory)) {
    Times = {};
    return Failure(errFileNotFound);
  }
  Attr = static_cast<uint16_t>(sourceAttr & 0xFFFF);
  auto source = TFileStream::Open(SourceName, TOpenMode::Read);
  if (!source) return Failure(errOpenFile);
  // Size, mode and allocation of the open source, asked once for the whole job.
  FSourceStat.emplace();
  if (::fstat(source->Handle(), &*FSourceStat) != 0) FSourceStat.reset();
  sSource = std::move(source);
  return {};
}

TErrorCode TCopyThread::OpenTarget() {
  DiscardTarget();
  if (FOptions.TestOnly) {
    sDest = std::make_unique<TNullStream>();
    return {};
  }
  if (DestName.empty()) return Failure(errCreateFile);
  std::unique_ptr<TFileStream> stream;
  const int detail = FTarget.File.Create(
      TTargetRules{FOptions.DestinationRoot, FOptions.Overwrite, FOptions.TargetAbsent}, DestName, stream);
  if (detail != 0) return Failure(static_cast<uint32_t>(detail));
  FTarget.Written = {};
  if (DigestWanted())
    stream->SetOnWrite([this](const void* AData, size_t ASize) { NoteWritten(AData, ASize); });
  sDest = std::move(stream);
  FTarget.ModeApplied = false;
  return {};
}

TErrorCode TCopyThread::CommitTarget() {
  if (!TargetPending()) {
    sDest.reset();
    return {};
  }
  std::unique_ptr<TFileStream> file;
  if (auto* raw = dynamic_cast<TFileStream*>(sDest.get())) {
    sDest.release();
    file.reset(raw);
  }
  sDest.reset();
  if (file && !FTarget.ModeApplied) {
    const int mode = FOptions.TargetMode;
    const bool set = ::fchmod(file->Handle(), mode >= 0 ? static_cast<mode_t>(mode) : DefaultFileMode()) == 0;
    FTargetModeSet = set && mode >= 0;
  }
  if (file && FOptions.TargetTime != 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(FOptions.TargetTime), 0}};
    FTargetTimeSet = ::futimens(file->Handle(), times) == 0;
  }
  const int detail = FTarget.File.Commit(std::move(file));
  if (detail != 0) return Failure(static_cast<uint32_t>(detail));
  if (!FOptions.VerifyTarget) return {};
  return FTarget.CompareWithSource ? CompareTargetWithSource() : VerifyTarget();
}

void TCopyThread::NoteWritten(const void* AData, size_t ASize) {
  FTarget.Written.Crc = Crc32Update(FTarget.Written.Crc, AData, ASize);
  FTarget.Written.Size += static_cast<int64_t>(ASize);
}

// Reads the renamed target back by its name, as any later reader will see it.
TErrorCode TCopyThread::VerifyTarget() {
  if (FVerifyHook) FVerifyHook(DestName);
  if (!FBuffer) return kResultNoMemory;
  auto file = TFileStream::Open(DestName, TOpenMode::Read);
  if (!file) return Failure(errVerifyFailed);
  const TWrittenDigest& written = FTarget.Written;
  TWrittenDigest read;
  for (;;) {
    const int64_t n = file->Read(FBuffer.get(), FBufSize);
    if (n < 0) return Failure(errVerifyFailed);
    if (n == 0) break;
    read.Crc = Crc32Update(read.Crc, FBuffer.get(), static_cast<size_t>(n));
    read.Size += n;
    if (read.Size > written.Size) return Failure(errVerifyFailed);
    if (FUserBreak.load(std::memory_order_acquire)) return kUserBreak;
  }
  return read.Crc == written.Crc && read.Size == written.Size ? TErrorCode() : Failure(errVerifyFailed);
}

namespace {

enum class TRangeResult : uint8_t { rrSame, rrDiffer, rrFailed, rrStopped };
using enum TRangeResult;

// Reads ALength bytes at AOffset of an open file; false when that fails or comes short.
bool ReadExactly(int AFd, uint8_t* AData, size_t ALength, int64_t AOffset) {
  return ReadFileAt(AFd, AData, ALength, AOffset) == static_cast<int64_t>(ALength);
}

// The halves of a comparison meet at a multiple of this.
constexpr int64_t kCompareWindow = int64_t{8} << 20;
// Ranges are read a piece at a time into buffers lined up with the file positions. Mapping
// them instead measured 40 % slower (page tables filled and torn down for every page), and a
// file cut short meanwhile would kill the process on a mapped page instead of reading short.
constexpr size_t kScanPiece = size_t{1} << 20;

// Compares [AFrom, ATo) of two open files of at least that size. Ends early when either flag
// is raised.
TRangeResult CompareRange(int AFirst, int ASecond, int64_t AFrom, int64_t ATo,
                          const std::atomic<bool>& ADiffer, const std::atomic<bool>& ACancel) {
  TReadBuffer first(kScanPiece), second(kScanPiece);
  if (!first.Valid() || !second.Valid()) return rrFailed;
  first.Place(AFrom);
  second.Place(AFrom);
  for (int64_t pos = AFrom; pos < ATo; pos += static_cast<int64_t>(kScanPiece)) {
    if (ADiffer.load(std::memory_order_relaxed) || ACancel.load(std::memory_order_acquire)) return rrStopped;
    const auto length = static_cast<size_t>(std::min(static_cast<int64_t>(kScanPiece), ATo - pos));
    if (!ReadExactly(AFirst, first.Data(), length, pos) || !ReadExactly(ASecond, second.Data(), length, pos))
      return rrFailed;
    if (std::memcmp(first.Data(), second.Data(), length) != 0) return rrDiffer;
  }
  return rrSame;
}

// The CRC-32 of [AFrom, ATo) of an open file, continued from ACrc; false when a piece cannot
// be read or either flag is raised.
bool CrcOfRange(int AFd, int64_t AFrom, int64_t ATo, const std::atomic<bool>& AStop,
                const std::atomic<bool>& ACancel, uint32_t& ACrc) {
  TReadBuffer buffer(kScanPiece);
  if (!buffer.Valid()) return false;
  buffer.Place(AFrom);
  for (int64_t pos = AFrom; pos < ATo; pos += static_cast<int64_t>(kScanPiece)) {
    if (AStop.load(std::memory_order_relaxed) || ACancel.load(std::memory_order_acquire)) return false;
    const auto length = static_cast<size_t>(std::min(static_cast<int64_t>(kScanPiece), ATo - pos));
    if (!ReadExactly(AFd, buffer.Data(), length, pos)) return false;
    ACrc = Crc32Update(ACrc, buffer.Data(), length);
  }
  return true;
}

// Runs AJob(from, to) on the lower half of [0, ASize) here and on the upper half on a second
// thread (or after it, when no thread can be had); the halves meet at a window boundary.
template <typename TJob>
void InTwoHalves(int64_t ASize, TJob AJob) {
  const int64_t middle = ASize / 2 - (ASize / 2) % kCompareWindow;
  THelperThread helper(1);
  uint64_t upper = 0;
  if (middle > 0) {
    helper.Start();
    upper = helper.Post([&] { AJob(middle, ASize); });
  }
  AJob(int64_t{0}, middle > 0 ? middle : ASize);
  helper.Wait(upper);
}

// Below this a verified copy compares in one pass after the rename; above, the source's CRC is
// taken on a second core while the kernel copies, and only the target is read back.
constexpr int64_t kDigestAheadMin = int64_t{32} << 20;

}  // namespace

// The CRC of the source taken on a second core during the copy, from a handle of its own.
class TCopyThread::TSourceDigest {
 public:
  TSourceDigest(TFd AFile, int64_t ASize, const std::atomic<bool>& ACancel)
      : FFile(std::move(AFile)), FSize(ASize), FCancel(ACancel) {
    FHelper.Start();
    FTicket = FHelper.Post([this] { FOk = CrcOfRange(FFile.Get(), 0, FSize, FStop, FCancel, FCrc); });
  }
  ~TSourceDigest() {
    FStop.store(true, std::memory_order_relaxed);
    FHelper.Wait(FTicket);
  }
  TSourceDigest(const TSourceDigest&) = delete;
  TSourceDigest& operator=(const TSourceDigest&) = delete;

  int64_t Size() const { return FSize; }
  // Waits for the sum; false when it could not be taken.
  bool Result(uint32_t& ACrc) {
    FHelper.Wait(FTicket);
    ACrc = FCrc;
    return FOk;
  }

 private:
  TFd FFile;
  int64_t FSize;
  const std::atomic<bool>& FCancel;
  std::atomic<bool> FStop{false};
  uint32_t FCrc = 0;
  bool FOk = false;
  uint64_t FTicket = 0;
  THelperThread FHelper{1};  // last: its job uses everything above
};

void TCopyThread::StartSourceDigest(int64_t ASize) {
  FSourceDigest.reset();
  auto* file = dynamic_cast<TFileStream*>(sSource.get());
  if (!FOptions.VerifyTarget || ASize < kDigestAheadMin || !file) return;
  TFd own(::fcntl(file->Handle(), F_DUPFD_CLOEXEC, 0));
  if (own.Valid()) FSourceDigest = std::make_unique<TSourceDigest>(std::move(own), ASize, FUserBreak);
}

// The target read back in two halves on two cores, its CRC against the source's.
TErrorCode TCopyThread::CompareTargetWithDigest(TFileStream& ATarget) {
  uint32_t sourceCrc = 0;
  const bool summed = FSourceDigest->Result(sourceCrc);
  const int64_t size = FSourceDigest->Size();
  FSourceDigest.reset();
  if (FUserBreak.load(std::memory_order_acquire)) return kUserBreak;
  if (!summed || ATarget.Size() != size) return Failure(errVerifyFailed);
  uint32_t lower = 0, upper = 0;
  std::atomic<bool> failed{false};
  const std::atomic<bool> never{false};
  InTwoHalves(size, [&](int64_t AFrom, int64_t ATo) {
    uint32_t& crc = AFrom == 0 ? lower : upper;
    if (!CrcOfRange(ATarget.Handle(), AFrom, ATo, never, FUserBreak, crc)) failed = true;
  });
  if (FUserBreak.load(std::memory_order_acquire)) return kUserBreak;
  const int64_t middle = size / 2 - (size / 2) % kCompareWindow;
  const uint32_t crc = middle > 0 ? static_cast<uint32_t>(crc32_combine64(lower, upper, size - middle)) : lower;
  return !failed && crc == sourceCrc ? TErrorCode() : Failure(errVerifyFailed);
}

// Reads the renamed target back by its name and compares it with the source, the two halves
// on two cores: both are in the page cache, so the read-back costs what memory can deliver.
TErrorCode TCopyThread::CompareTargetWithSource() {
  if (FVerifyHook) FVerifyHook(DestName);
  const auto target = TFileStream::Open(DestName, TOpenMode::Read);
  if (FSourceDigest) {
    if (!target) {
      FSourceDigest.reset();
      return Failure(errVerifyFailed);
    }
    return CompareTargetWithDigest(*target);
  }
  const auto source = TFileStream::Open(SourceName, TOpenMode::Read);
  if (!target || !source) return Failure(errVerifyFailed);
  const int64_t size = source->Size();
  if (size < 0 || target->Size() != size) return Failure(errVerifyFailed);
  std::atomic<bool> differ{false};
  InTwoHalves(size, [&](int64_t AFrom, int64_t ATo) {
    const TRangeResult result = CompareRange(target->Handle(), source->Handle(), AFrom, ATo, differ, FUserBreak);
    if (result == rrDiffer || result == rrFailed) differ.store(true, std::memory_order_relaxed);
  });
  if (FUserBreak.load(std::memory_order_acquire)) return kUserBreak;
  return differ.load() ? Failure(errVerifyFailed) : TErrorCode();
}

void TCopyThread::DiscardTarget() {
  sDest.reset();
  FTarget.File.Discard();
}

TErrorCode TCopyThread::WriteFailure() {
  return Failure(static_cast<uint32_t>(DetailFromErrno(errno, errWriteFile)));
}

void TCopyThread::ReleaseStreams() {
  FSourceDigest.reset();
  sSource.reset();
  if (TargetPending())
    DiscardTarget();
  else
    sDest.reset();
}

// State of a kernel copy across blocks.
struct TCopyThread::TKernelCopy {
  int64_t Offset = -1;     // of the source, kept here instead of asking the kernel per block
  int64_t Size = 0;        // of the source, for the hole search
  int64_t DataEnd = -1;    // where the current run of data ends (a hole or the end begins)
  bool Holes = false;      // the source's holes are kept (only where no checksum is wanted)
  bool TailHole = false;   // the last bytes moved were a hole: the target must be extended
  bool Started = false;    // some data went the kernel's way
  bool Unsupported = false;
  int Error = 0;           // errno of a failed move
};

// Moves up to count bytes from the current position of in to out inside the kernel, holes
// skipped on both sides (a hole at the start up to maxHole bytes), and folds the data into
// FCrc and the written digest where they are wanted. Bytes advanced; on a failure fewer,
// with state.Error or state.Unsupported set.
int64_t TCopyThread::KernelCopyBlock(TFileStream& in, TFileStream& out, size_t count, int64_t maxHole,
                                     TKernelCopy& state) {
  if (state.Offset < 0) state.Offset = in.Position();
  const int64_t offset = state.Offset;
  if (offset < 0) {
    state.Unsupported = true;
    return 0;
  }
  size_t moved = 0;
  while (moved < count) {
    const int64_t pos = offset + static_cast<int64_t>(moved);
    size_t want = count - moved;
    if (state.Holes) {
      if (pos >= state.DataEnd) {
        int64_t data = ::lseek(in.Handle(), pos, SEEK_DATA);
        if (data < 0) data = errno == ENXIO ? state.Size : pos;
        if (data > pos) {
          // A hole at the start of a block is passed as a whole (up to maxHole): it costs no
          // data, and a report per buffer of it would cost more than the copy.
          const int64_t limit = moved == 0 ? std::max<int64_t>(maxHole, static_cast<int64_t>(want))
                                           : static_cast<int64_t>(want);
          const size_t skip = static_cast<size_t>(std::min<int64_t>(data - pos, limit));
          if (data >= state.Size && pos + static_cast<int64_t>(skip) > state.Size) break;  // past the end
          if (in.Seek(pos + static_cast<int64_t>(skip), SEEK_SET) < 0 ||
              out.Seek(static_cast<int64_t>(skip), SEEK_CUR) < 0) {
            state.Error = errno;
            break;
          }
          state.TailHole = true;
          if (moved == 0 && static_cast<int64_t>(skip) > static_cast<int64_t>(want)) return static_cast<int64_t>(skip);
          moved += skip;
          continue;
        }
        const int64_t hole = ::lseek(in.Handle(), data, SEEK_HOLE);
        state.DataEnd = hole > data ? hole : kNoEnd;
        if (in.Seek(pos, SEEK_SET) < 0) {
          state.Error = errno;
          break;
        }
      }
      want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(want), state.DataEnd - pos));
    }
    const ssize_t n = copy_file_range(in.Handle(), nullptr, out.Handle(), nullptr, want, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (!state.Started && KernelCannotCopy(errno))
        state.Unsupported = true;
      else
        state.Error = errno;
      break;
    }
    if (n == 0) break;  // the end of the source: the caller reads on and finds it short
    state.Started = true;
    state.TailHole = false;
    moved += static_cast<size_t>(n);
  }
  if (moved > 0 && (FCrcWanted || DigestWanted()) && !SumCopied(in, offset, moved)) {
    state.Error = EIO;
    return 0;
  }
  return static_cast<int64_t>(moved);
}

// The copied bytes never passed Write: they are read again for the checksum and the digest,
// while the kernel's copy has just brought them into the cache.
bool TCopyThread::SumCopied(TFileStream& in, int64_t AOffset, size_t ASize) {
  for (size_t done = 0; done < ASize;) {
    const size_t part = std::min<size_t>(ASize - done, FBufSize);
    if (in.ReadAt(FBuffer.get(), part, AOffset + static_cast<int64_t>(done)) != static_cast<int64_t>(part))
      return false;
    if (FCrcWanted) FCrc = Crc32Update(FCrc, FBuffer.get(), part);
    if (DigestWanted()) NoteWritten(FBuffer.get(), part);
    done += part;
  }
  return true;
}

// A report of a file-to-file block goes to the main thread while the next block is copied:
// a round trip per block would cost more than the kernel's copy of it. The handler still sees
// every report in order, and a cancel or pause it asks for holds before the next report.
void TCopyThread::PostProgress(TFileAction AAction, bool ASpeedLimit, int64_t ACount) {
  if (!FOnProgress) return;
  Post([this, AAction, ASpeedLimit, ACount] {
    if (FOnProgress) FOnProgress(AAction, ACount, ASpeedLimit);
  });
}

void TCopyThread::EndPostedProgress() {
  WaitPosted();
  WaitIfPaused();
}

TErrorCode TCopyThread::CopyData(TStream& sIn, TStream& sOut, bool ASpeedLimit, int64_t ALength) {
  auto* fileIn = dynamic_cast<TFileStream*>(&sIn);
  auto* fileOut = dynamic_cast<TFileStream*>(&sOut);
  TKernelCopy state;
  if (fileIn && fileOut) {
    struct stat st {};
    if (::fstat(fileIn->Handle(), &st) == 0) PlanKernelCopy(st, state);
  }
  return CopyBlocks(sIn, sOut, ASpeedLimit, ALength, state);
}

// Holes are skipped unseen, only where no checksum or digest needs their zeros, and looked
// for only where the file has fewer blocks than its size needs.
void TCopyThread::PlanKernelCopy(const struct stat& ASource, TKernelCopy& AState) const {
  AState.Holes = !FCrcWanted && !DigestWanted() && S_ISREG(ASource.st_mode) &&
                 static_cast<int64_t>(ASource.st_blocks) * 512 < static_cast<int64_t>(ASource.st_size);
  AState.Size = AState.Holes ? static_cast<int64_t>(ASource.st_size) : 0;
}

TErrorCode TCopyThread::CopyBlocks(TStream& sIn, TStream& sOut, bool ASpeedLimit, int64_t ALength,
                                   TKernelCopy& state) {
  if (!FBuffer) return kResultNoMemory;
  // File to file: the kernel moves the data (much faster on tmpfs and copy-on-write file
  // systems) and keeps the source's holes; what it cannot move goes the ordinary way.
  auto* fileIn = dynamic_cast<TFileStream*>(&sIn);
  auto* fileOut = dynamic_cast<TFileStream*>(&sOut);
  bool kernel = fileIn && fileOut;
  const bool posted = kernel;
  int64_t remaining = ALength;
  TErrorCode result;
  do {
    // The kernel's copy goes in blocks of several buffers: each block costs a report and a
    // round trip to the main thread.
    const auto block = static_cast<int64_t>(FBufSize * (kernel ? kKernelCopyBlockBuffers : 1));
    const int64_t request = std::clamp<int64_t>(remaining, 0, block);
    int64_t moved = 0;  // bytes of this block already in the target
    if (kernel && request > 0) {
      moved = KernelCopyBlock(*fileIn, *fileOut, static_cast<size_t>(request), remaining, state);
      if (state.Error != 0) {
        errno = state.Error;
        result = Failure(static_cast<uint32_t>(DetailFromErrno(state.Error, errReadFile)));
      } else if (state.Unsupported) {
        kernel = false;
      }
    }
    int64_t n = moved;
    if (!result && moved < request) {
      // What the kernel left goes through the buffer, at most one buffer of it in this block.
      const int64_t rest = std::min<int64_t>(request - moved, static_cast<int64_t>(FBufSize));
      const int64_t got = sIn.Read(FBuffer.get(), static_cast<size_t>(rest));
      if (got < 0 || got < rest)
        result = Failure(errReadFile);
      else
        n += got;
    }
    if (posted && !result) {
      // The report before has run, and a pause or cancel it asked for holds here: a cancelled
      // block goes unreported.
      EndPostedProgress();
      if (FUserBreak.load(std::memory_order_acquire)) result = kUserBreak;
    }
    if (!result) {
      UTotal += n;
      if (posted)
        PostProgress(acCopy, ASpeedLimit, UTotal);
      else
        DoProgress(acCopy, ASpeedLimit, UTotal);
      if (n > moved) {
        if (FCrcWanted) FCrc = Crc32Update(FCrc, FBuffer.get(), static_cast<size_t>(n - moved));
        const int64_t written = sOut.Write(FBuffer.get(), static_cast<size_t>(n - moved));
        if (written < 0)
          result = WriteFailure();
        else if (written < n - moved)
          result = Failure(errDiskFull);
        state.TailHole = false;
      }
      if (FUserBreak.load(std::memory_order_acquire)) result = kUserBreak;
    }
    state.Offset += n;
    remaining -= n;
  } while (remaining > 0 && !result);
  if (posted) {
    EndPostedProgress();
    if (!result && FUserBreak.load(std::memory_order_acquire)) result = kUserBreak;
  }
  // A source that ends in a hole: the target gets its full length.
  if (!result && state.TailHole && ::ftruncate(fileOut->Handle(), fileOut->Position()) != 0)
    result = WriteFailure();
  return result;
}

int64_t TCopyThread::SourceMode() const {
  if (FSourceStat) return FSourceStat->st_mode & 0777;
  auto* file = dynamic_cast<TFileStream*>(sSource.get());
  struct stat st {};
  if (!file || ::fstat(file->Handle(), &st) != 0) return -1;
  return st.st_mode & 0777;
}

TErrorCode TCopyThread::FinishFile(bool ACopyStorage, bool ACopyAcl, uint16_t AAttr,
                                   const TFileTimestamps& ATimes) {
  // The backup's permission bits, never more: set-id and sticky bits stay behind.
  int64_t mode = FOptions.TargetMode >= 0 ? FOptions.TargetMode : SourceMode();
  if (mode < 0) mode = (AAttr & faReadOnly) ? (DefaultFileMode() & ~0222) : DefaultFileMode();
  sSource.reset();
  if (FOptions.TestOnly) {
    sDest.reset();
    return {};
  }
  // Times and mode go on through the open file, before it takes the target's name.
  TErrorCode propertyResult;
  if (auto* file = dynamic_cast<TFileStream*>(sDest.get()); file && TargetPending()) {
    if (SetFileTimestamps(file->Handle(), ATimes, FOptions.CheckTime, FOptions.CopyCreationTime) != 0)
      propertyResult = Warning(errSetTimestamp);
    else if (::fchmod(file->Handle(), static_cast<mode_t>(mode)) != 0)
      propertyResult = Warning(errSetAttr);
    FTarget.ModeApplied = true;
  }
  TErrorCode result = CommitTarget();
  if (result) return result;
  if (ACopyAcl && CopyFilePermissions(SourceName, DestName) != 0) result = Warning(errCopyAcl);
  if (!result && ACopyStorage) result = CopyDetails();
  return result ? result : propertyResult;
}

TErrorCode TCopyThread::CopyDetails() {
  TFileSummary summary;
  if (ReadFileSummary(SourceName, summary) && WriteFileSummary(DestName, summary)) return {};
  return Warning(errCopyDetails);
}

TErrorCode TCopyThread::DoCopy() {
  TFileTimestamps times;
  uint16_t attr = 0;
  // The kernel copies the data unseen; the read-back compares the target with the source.
  FTarget.CompareWithSource = true;
  TErrorCode result = OpenFiles(times, attr);
  if (!result) {
    const int64_t size = FSourceStat ? static_cast<int64_t>(FSourceStat->st_size) : sSource->Size();
    if (size < 0) {
      result = Failure(errReadFile);
    } else {
      FCrcWanted = false;  // nobody compares a plain copy's checksum
      DoProgress(acCopy, true, -size);
      StartSourceDigest(size);
      TKernelCopy state;
      if (FSourceStat) {
        PlanKernelCopy(*FSourceStat, state);
        state.Offset = 0;  // just opened
      }
      result = CopyBlocks(*sSource, *sDest, true, size, state);
    }
  }
  if (!result) {
    result = FinishFile(FOptions.CopyStorage, FOptions.CopyPermissions, attr, times);
    FSourceDigest.reset();  // not left summing after a failed commit
    if (!result && !FOptions.TestOnly) FCommittedSize = UTotal;
    return result;
  }
  ReleaseStreams();
  return result;
}

TErrorCode TCopyThread::DoShellCopy() {
  const TFileTimestamps times = GetFileTimestamps(SourceName, true);
  const int sourceAttr = LongFileGetAttr(SourceName, true);
  TErrorCode result;
  if (sourceAttr < 0 || (sourceAttr & faDirectory))
    result = Failure(errFileNotFound);
  else if (DestName.empty())
    result = Failure(errCreateFile);
  if (!result) {
    DoProgress(acCopy, false, -1);
    // The platform copy: the whole file in the kernel, then mode and modification time
    // carried over as a desktop shell copy does. Any failure reads as a failed copy.
    sSource = TFileStream::Open(SourceName, TOpenMode::Read);
    if (!sSource || OpenTarget()) {
      result = Failure(errWriteFile);
    } else {
      const int in = static_cast<TFileStream&>(*sSource).Handle();
      const int out = static_cast<TFileStream&>(*sDest).Handle();
      for (;;) {
        ssize_t moved = copy_file_range(in, nullptr, out, nullptr, kShellChunk, 0);
        if (moved < 0 && UTotal == 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
          moved = sendfile(out, in, nullptr, kShellChunk);  // file systems without the former
        if (moved == 0) break;
        if (moved < 0) {
          result = Failure(errWriteFile);
          break;
        }
        UTotal += moved;
        if (FUserBreak.load(std::memory_order_acquire)) {
          result = kUserBreak;
          break;
        }
      }
      struct stat st {};
      if (!result && fstat(in, &st) == 0) fchmod(out, st.st_mode & 0777);
      FTarget.ModeApplied = true;
      sSource.reset();
      if (!result) result = CommitTarget();
      if (!result) {
        TFileTimestamps written = times;
        SetFileTimestamps(DestName, written, false, false, false);
      }
    }
    ReleaseStreams();
  }
  if (!result && FOptions.CopyCreationTime &&
      SetFileTimestamps(DestName, times, FOptions.CheckTime, true, false) != 0)
    result = Warning(errSetTimestamp);
  return result;
}

}  // namespace qv
