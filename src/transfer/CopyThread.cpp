#include "transfer/CopyThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>

#include "base/FileUtils.h"
#include "crypto/AesLib.h"
#include "transfer/Crc32.h"

namespace qv {

namespace {

constexpr int kResultNoMemory = ResultCode(sevError, errNoStream);
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
  if (FBufSize > 0) FBuffer.reset(new (std::nothrow) uint8_t[FBufSize]);
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
    // The decryptor reports on the worker thread; route it to the main thread.
    FCrypting->SetOnProgress([this](TFileAction AAction, int64_t ACount, bool ASpeedLimit) {
      DoProgress(AAction, ASpeedLimit, ACount);
    });
  } else {
    FCrypting->SetOnProgress(nullptr);
  }
}

void TCopyThread::CancelThread() {
  FUserBreak.store(true, std::memory_order_release);
  ReleasePause();
}

void TCopyThread::Execute() {
  if (FShellCopy.Contains(scmCopy))
    FinishThread(DoShellCopy());
  else
    FinishThread(DoCopy());
}

void TCopyThread::FinishThread(int AError) {
  if (FFinishing.exchange(true)) return;  // the first result stands
  if (AError != 0) FError.store(AError | FErrFlag, std::memory_order_release);
  Terminate();
}

void TCopyThread::DoProgress(TFileAction AAction, bool ASpeedLimit, int64_t ACount) {
  if (FOnProgress) {
    FAction = AAction;
    FSpeedLimit = ASpeedLimit;
    FCount = ACount;
    Synchronize([this] { SyncProgress(); });
  }
  WaitIfPaused();
}

void TCopyThread::SyncProgress() {
  if (FOnProgress) FOnProgress(FAction, FCount, FSpeedLimit);
}

void TCopyThread::HandleException() noexcept {
  ReleaseStreams();
  FinishThread(kResultNoMemory);
}

int TCopyThread::OpenFiles(TFileTimestamps& Times, uint16_t& Attr) {
  const int sourceAttr = LongFileGetAttr(SourceName, false);
  if (sourceAttr < 0 || (sourceAttr & faDirectory)) return ResultCode(sevError, errFileNotFound);
  if (DestName.empty()) return ResultCode(sevError, errCreateFile);
  GetFileTimestamps(SourceName, false, Times);
  Attr = static_cast<uint16_t>(sourceAttr & 0xFFFF);
  sSource = TFileStream::Open(SourceName, TOpenMode::Read);
  if (!sSource) return ResultCode(sevError, errOpenFile);
  return OpenTarget();
}

int TCopyThread::OpenTarget() {
  DiscardTarget();
  if (FTestOnly) {
    sDest = std::make_unique<TNullStream>();
    return 0;
  }
  if (DestName.empty()) return ResultCode(sevError, errCreateFile);
  std::unique_ptr<TFileStream> stream;
  const int detail = FTarget.Create(TTargetRules{FDestRoot, FOverwrite}, DestName, stream);
  if (detail != 0) return ResultCode(sevError, static_cast<uint32_t>(detail));
  if (FVerifyTarget) {
    FWrittenCrc = 0;
    FWrittenSize = 0;
    stream->SetOnWrite([this](const void* AData, size_t ASize) { NoteWritten(AData, ASize); });
  }
  sDest = std::move(stream);
  FModeApplied = false;
  return 0;
}

int TCopyThread::CommitTarget() {
  if (!TargetPending()) {
    sDest.reset();
    return 0;
  }
  std::unique_ptr<TFileStream> file;
  if (auto* raw = dynamic_cast<TFileStream*>(sDest.get())) {
    sDest.release();
    file.reset(raw);
  }
  sDest.reset();
  if (file) {
    if (!FModeApplied)
      ::fchmod(file->Handle(), FTargetMode >= 0 ? static_cast<mode_t>(FTargetMode) : DefaultFileMode());
    if (FVerify && !file->Flush()) {
      DiscardTarget();
      return ResultCode(sevError, errWriteFile);
    }
  }
  const int detail = FTarget.Commit(std::move(file));
  if (detail != 0) return ResultCode(sevError, static_cast<uint32_t>(detail));
  return FVerifyTarget ? VerifyTarget() : 0;
}

void TCopyThread::NoteWritten(const void* AData, size_t ASize) {
  FWrittenCrc = Crc32Update(FWrittenCrc, AData, ASize);
  FWrittenSize += static_cast<int64_t>(ASize);
}

// Reads the renamed target back by its name, as any later reader will see it.
int TCopyThread::VerifyTarget() {
  if (FVerifyHook) FVerifyHook(DestName);
  if (!FBuffer) return kResultNoMemory;
  auto file = TFileStream::Open(DestName, TOpenMode::Read);
  if (!file) return ResultCode(sevError, errVerifyFailed);
  uint32_t crc = 0;
  int64_t size = 0;
  for (;;) {
    const int64_t n = file->Read(FBuffer.get(), FBufSize);
    if (n < 0) return ResultCode(sevError, errVerifyFailed);
    if (n == 0) break;
    crc = Crc32Update(crc, FBuffer.get(), static_cast<size_t>(n));
    size += n;
    if (size > FWrittenSize) return ResultCode(sevError, errVerifyFailed);
    if (FUserBreak.load(std::memory_order_acquire)) return errUserBreak;
  }
  return crc == FWrittenCrc && size == FWrittenSize ? 0 : ResultCode(sevError, errVerifyFailed);
}

void TCopyThread::DiscardTarget() {
  sDest.reset();
  FTarget.Discard();
}

int TCopyThread::WriteFailure() {
  return ResultCode(sevError, static_cast<uint32_t>(DetailFromErrno(errno, errWriteFile)));
}

void TCopyThread::ReleaseStreams() {
  sSource.reset();
  if (TargetPending())
    DiscardTarget();
  else
    sDest.reset();
}

// State of a kernel copy across blocks.
struct TCopyThread::TKernelCopy {
  int64_t Size = 0;        // of the source, for the hole search
  int64_t DataEnd = -1;    // where the current run of data ends (a hole or the end begins)
  bool Holes = false;      // the source's holes are kept (only where no checksum is wanted)
  bool TailHole = false;   // the last bytes moved were a hole: the target must be extended
  bool Started = false;    // some data went the kernel's way
  bool Unsupported = false;
  int Error = 0;           // errno of a failed move
};

// Moves up to count bytes from the current position of in to out inside the kernel, holes
// skipped on both sides (a hole at the start up to maxHole bytes), and folds the data into FCrc from a read-only mapping of the source
// when a checksum is wanted. Bytes advanced; on a failure fewer, with state.Error or
// state.Unsupported set.
int64_t TCopyThread::KernelCopyBlock(TFileStream& in, TFileStream& out, size_t count, int64_t maxHole,
                                     TKernelCopy& state) {
  const int64_t offset = in.Position();
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
  if (moved == 0 || (!FCrcWanted && !FVerifyTarget)) return static_cast<int64_t>(moved);
  // The copied bytes never passed Write: sum them for the checksum and the digest here.
  const auto sum = [this](const uint8_t* AData, size_t ASize) {
    if (FCrcWanted) FCrc = Crc32Update(FCrc, AData, ASize);
    if (FVerifyTarget) NoteWritten(AData, ASize);
  };
  const int64_t page = sysconf(_SC_PAGESIZE);
  const int64_t start = offset - offset % page;
  const size_t span = static_cast<size_t>(offset - start) + moved;
  void* map = mmap(nullptr, span, PROT_READ, MAP_SHARED | MAP_POPULATE, in.Handle(), start);
  if (map == MAP_FAILED) {
    // Without a mapping the checksum needs the bytes read back.
    for (size_t done = 0; done < moved;) {
      const size_t part = std::min<size_t>(moved - done, FBufSize);
      if (in.ReadAt(FBuffer.get(), part, offset + static_cast<int64_t>(done)) != static_cast<int64_t>(part)) {
        state.Error = EIO;
        return static_cast<int64_t>(done);
      }
      sum(FBuffer.get(), part);
      done += part;
    }
  } else {
    sum(static_cast<const uint8_t*>(map) + (offset - start), moved);
    munmap(map, span);
  }
  return static_cast<int64_t>(moved);
}

int TCopyThread::CopyData(TStream& sIn, TStream& sOut, bool ASpeedLimit, int64_t ALength) {
  if (!FBuffer) return kResultNoMemory;
  // File to file: the kernel moves the data (much faster on tmpfs and copy-on-write file
  // systems) and keeps the source's holes; what it cannot move goes the ordinary way.
  auto* fileIn = dynamic_cast<TFileStream*>(&sIn);
  auto* fileOut = dynamic_cast<TFileStream*>(&sOut);
  bool kernel = fileIn && fileOut;
  TKernelCopy state;
  if (kernel) {
    struct stat st {};
    // Holes are skipped unseen: only where no checksum or digest needs their zeros.
    state.Holes = !FCrcWanted && !FVerifyTarget && ::fstat(fileIn->Handle(), &st) == 0 && S_ISREG(st.st_mode);
    state.Size = state.Holes ? static_cast<int64_t>(st.st_size) : 0;
  }
  int64_t remaining = ALength;
  int result = 0;
  do {
    const int64_t request = remaining < static_cast<int64_t>(FBufSize) ? std::max<int64_t>(remaining, 0)
                                                                       : static_cast<int64_t>(FBufSize);
    int64_t moved = 0;  // bytes of this block already in the target
    if (kernel && request > 0) {
      moved = KernelCopyBlock(*fileIn, *fileOut, static_cast<size_t>(request), remaining, state);
      if (state.Error != 0) {
        errno = state.Error;
        result = ResultCode(sevError, static_cast<uint32_t>(DetailFromErrno(state.Error, errReadFile)));
      } else if (state.Unsupported) {
        kernel = false;
      }
    }
    int64_t n = moved;
    if (result == 0 && moved < request) {
      const int64_t got = sIn.Read(FBuffer.get(), static_cast<size_t>(request - moved));
      if (got < 0 || got < request - moved)
        result = ResultCode(sevError, errReadFile);
      else
        n += got;
    }
    if (result == 0) {
      UTotal += n;
      DoProgress(acCopy, ASpeedLimit, UTotal);
      if (n > moved) {
        if (FCrcWanted) FCrc = Crc32Update(FCrc, FBuffer.get(), static_cast<size_t>(n - moved));
        const int64_t written = sOut.Write(FBuffer.get(), static_cast<size_t>(n - moved));
        if (written < 0)
          result = WriteFailure();
        else if (written < n - moved)
          result = ResultCode(sevError, errDiskFull);
        state.TailHole = false;
      }
      if (FUserBreak.load(std::memory_order_acquire)) result = errUserBreak;
    }
    remaining -= n;
  } while (remaining > 0 && result == 0);
  // A source that ends in a hole: the target gets its full length.
  if (result == 0 && state.TailHole && ::ftruncate(fileOut->Handle(), fileOut->Position()) != 0)
    result = WriteFailure();
  return result;
}

int64_t TCopyThread::SourceMode() const {
  auto* file = dynamic_cast<TFileStream*>(sSource.get());
  struct stat st {};
  if (!file || ::fstat(file->Handle(), &st) != 0) return -1;
  return st.st_mode & 0777;
}

int TCopyThread::FinishFile(bool ACopyStorage, bool ACopyAcl, uint16_t AAttr,
                            const TFileTimestamps& ATimes) {
  // The backup's permission bits, never more: set-id and sticky bits stay behind.
  int64_t mode = FTargetMode >= 0 ? FTargetMode : SourceMode();
  if (mode < 0) mode = (AAttr & faReadOnly) ? (DefaultFileMode() & ~0222) : DefaultFileMode();
  sSource.reset();
  if (FTestOnly) {
    sDest.reset();
    return 0;
  }
  // Times and mode go on through the open file, before it takes the target's name.
  int timeResult = 0;
  int attrResult = 0;
  if (auto* file = dynamic_cast<TFileStream*>(sDest.get()); file && TargetPending()) {
    if (SetFileTimestamps(file->Handle(), ATimes, FCheckTime, FCopyCrTm) != 0)
      timeResult = ResultCode(sevWarning, errSetTimestamp);
    else if (::fchmod(file->Handle(), static_cast<mode_t>(mode)) != 0)
      attrResult = ResultCode(sevWarning, errSetAttr);
    FModeApplied = true;
  }
  int result = CommitTarget();
  if (result != 0) return result;
  if (ACopyAcl && CopyFilePermissions(SourceName, DestName) != 0) result = ResultCode(sevWarning, errCopyAcl);
  if (result == 0 && ACopyStorage) result = CopyDetails();
  if (result == 0) result = timeResult != 0 ? timeResult : attrResult;
  return result;
}

int TCopyThread::CopyDetails() {
  TFileSummary summary;
  if (ReadFileSummary(SourceName, summary) && WriteFileSummary(DestName, summary)) return 0;
  return ResultCode(sevWarning, errCopyDetails);
}

int TCopyThread::DoCopy() {
  TFileTimestamps times;
  uint16_t attr = 0;
  int result = OpenFiles(times, attr);
  if (result == 0) {
    const int64_t size = sSource->Size();
    if (size < 0) {
      result = ResultCode(sevError, errReadFile);
    } else {
      FCrcWanted = false;  // nobody compares a plain copy's checksum
      DoProgress(acCopy, true, -size);
      result = CopyData(*sSource, *sDest, true, size);
    }
  }
  if (result == 0) return FinishFile(FCopyStorage, FCopyAcl, attr, times);
  ReleaseStreams();
  return result;
}

int TCopyThread::DoShellCopy() {
  const TFileTimestamps times = GetFileTimestamps(SourceName, true);
  const int sourceAttr = LongFileGetAttr(SourceName, true);
  int result = 0;
  if (sourceAttr < 0 || (sourceAttr & faDirectory))
    result = ResultCode(sevError, errFileNotFound);
  else if (DestName.empty())
    result = ResultCode(sevError, errCreateFile);
  if (result == 0) {
    DoProgress(acCopy, false, -1);
    // The platform copy: the whole file in the kernel, then mode and modification time
    // carried over as a desktop shell copy does. Any failure reads as a failed copy.
    sSource = TFileStream::Open(SourceName, TOpenMode::Read);
    if (!sSource || OpenTarget() != 0) {
      result = ResultCode(sevError, errWriteFile);
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
          result = ResultCode(sevError, errWriteFile);
          break;
        }
        UTotal += moved;
        if (FUserBreak.load(std::memory_order_acquire)) {
          result = errUserBreak;
          break;
        }
      }
      struct stat st {};
      if (result == 0 && fstat(in, &st) == 0) fchmod(out, st.st_mode & 0777);
      FModeApplied = true;
      sSource.reset();
      if (result == 0) result = CommitTarget();
      if (result == 0) {
        TFileTimestamps written = times;
        SetFileTimestamps(DestName, written, false, false, false);
      }
    }
    ReleaseStreams();
  }
  if (result == 0 && FCopyCrTm) {
    if (SetFileTimestamps(DestName, times, FCheckTime, true, false) != 0) result = ResultCode(sevWarning, errSetTimestamp);
  }
  return result;
}

}  // namespace qv
