#include "transfer/CopyThread.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>
#include <random>

#include "base/FileUtils.h"
#include "crypto/AesLib.h"
#include "transfer/Crc32.h"

namespace qv {

namespace {

constexpr int kResultNoMemory = ResultCode(sevError, errNoStream);
// A temporary name must stay within NAME_MAX with room for the prefix and the suffix.
constexpr size_t kMaxTempBase = 200;
constexpr int kTempAttempts = 16;
constexpr size_t kShellChunk = size_t{64} << 20;

std::string UniqueSuffix() {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }();
  static const uint64_t process = static_cast<uint64_t>(getpid());
  uint64_t x = seed ^ (process << 40) ^ ++counter * 0x9E3779B97F4A7C15ull;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, x >>= 4) text[static_cast<size_t>(i)] = "0123456789abcdef"[x & 15];
  return text;
}

// Cuts a name to at most max bytes without splitting a UTF-8 sequence.
std::string CutName(const std::string& name, size_t max) {
  if (name.size() <= max) return name;
  size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut);
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
  if (FTestOnly) {
    sDest = std::make_unique<TNullStream>();
    return 0;
  }
  if (DestName.empty()) return ResultCode(sevError, errCreateFile);
  const int destAttr = LongFileGetAttr(DestName, true);
  if (destAttr >= 0) {
    if (destAttr & faDirectory) return ResultCode(sevError, errCreateFile);
    if (FOverwrite) {
      if (LongFileSetAttr(DestName, faArchive, true) != 0) return ResultCode(sevError, errSetAttr);
    } else if (destAttr & faReadOnly) {
      // Refused explicitly: a process running as root would otherwise replace it.
      return ResultCode(sevError, errCreateFile);
    }
  }
  return MakeTempTarget();
}

int TCopyThread::MakeTempTarget() {
  DiscardTarget();
  const size_t slash = DestName.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : DestName.substr(0, slash + 1);
  const std::string base = CutName(slash == std::string::npos ? DestName : DestName.substr(slash + 1),
                                   kMaxTempBase);
  for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
    std::string name = folder + "." + base + "." + UniqueSuffix() + ".qvpart";
    auto stream = TFileStream::Open(name, TOpenMode::CreateNew);
    if (stream) {
      if (FVerifyTarget) {
        FWrittenCrc = 0;
        FWrittenSize = 0;
        stream->SetOnWrite([this](const void* AData, size_t ASize) { NoteWritten(AData, ASize); });
      }
      sDest = std::move(stream);
      FTempName = std::move(name);
      return 0;
    }
    if (errno != EEXIST) break;
  }
  return ResultCode(sevError, errCreateFile);
}

int TCopyThread::CommitTarget() {
  if (!TargetPending()) {
    sDest.reset();
    return 0;
  }
  bool closed = true;
  if (auto* file = dynamic_cast<TFileStream*>(sDest.get())) {
    if (FVerify && !file->Flush()) {
      DiscardTarget();
      return ResultCode(sevError, errWriteFile);
    }
    closed = file->Close();
  }
  sDest.reset();
  if (!closed || std::rename(FTempName.c_str(), DestName.c_str()) != 0) {
    DiscardTarget();
    return ResultCode(sevError, errWriteFile);
  }
  FTempName.clear();
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
  if (!FTempName.empty()) {
    unlink(FTempName.c_str());
    FTempName.clear();
  }
}

void TCopyThread::ReleaseStreams() {
  sSource.reset();
  if (TargetPending())
    DiscardTarget();
  else
    sDest.reset();
}

// Moves up to count bytes from the current position of in to out inside the kernel and
// folds them into crc from a read-only mapping of the source, so the data cross user space
// at most once. Bytes moved, or -1 when the kernel cannot do it for these files.
int64_t TCopyThread::KernelCopyBlock(TFileStream& in, TFileStream& out, size_t count) {
  const int64_t offset = in.Position();
  if (offset < 0) return -1;
  size_t moved = 0;
  while (moved < count) {
    const ssize_t n = copy_file_range(in.Handle(), nullptr, out.Handle(), nullptr, count - moved, 0);
    if (n < 0) return moved == 0 ? -1 : static_cast<int64_t>(moved);
    if (n == 0) break;
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
      if (in.ReadAt(FBuffer.get(), part, offset + static_cast<int64_t>(done)) != static_cast<int64_t>(part))
        return -2;
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
  // systems); what it cannot move goes the ordinary way through FBuffer.
  auto* fileIn = dynamic_cast<TFileStream*>(&sIn);
  auto* fileOut = dynamic_cast<TFileStream*>(&sOut);
  bool kernel = fileIn && fileOut;
  int64_t remaining = ALength;
  int result = 0;
  do {
    const int64_t request = remaining < static_cast<int64_t>(FBufSize) ? std::max<int64_t>(remaining, 0)
                                                                       : static_cast<int64_t>(FBufSize);
    int64_t moved = 0;  // bytes of this block already in the target
    if (kernel && request > 0) {
      moved = KernelCopyBlock(*fileIn, *fileOut, static_cast<size_t>(request));
      if (moved == -2) {
        result = ResultCode(sevError, errReadFile);
        moved = 0;
      } else if (moved < 0) {
        kernel = false;
        moved = 0;
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
      if (FCrcWanted) FCrc = Crc32Update(FCrc, FBuffer.get(), static_cast<size_t>(n - moved));
      const int64_t written = sOut.Write(FBuffer.get(), static_cast<size_t>(n - moved));
      if (written < 0)
        result = ResultCode(sevError, errWriteFile);
      else if (written < n - moved)
        result = ResultCode(sevError, errDiskFull);
      if (FUserBreak.load(std::memory_order_acquire)) result = errUserBreak;
    }
    remaining -= n;
  } while (remaining > 0 && result == 0);
  return result;
}

int TCopyThread::FinishFile(bool ACopyStorage, bool ACopyAcl, uint16_t AAttr,
                            const TFileTimestamps& ATimes) {
  sSource.reset();
  if (FTestOnly) {
    sDest.reset();
    return 0;
  }
  int result = CommitTarget();  // the properties go onto the final name
  if (result != 0) return result;
  if (ACopyAcl && CopyFilePermissions(SourceName, DestName) != 0) result = ResultCode(sevWarning, errCopyAcl);
  if (result == 0 && ACopyStorage) result = CopyDetails();
  if (result == 0) {
    if (SetFileTimestamps(DestName, ATimes, FCheckTime, FCopyCrTm, false) != 0)
      result = ResultCode(sevWarning, errSetTimestamp);
    else if (LongFileSetAttr(DestName, AAttr, false) != 0)
      result = ResultCode(sevWarning, errSetAttr);
  }
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
      if (result == 0 && fstat(in, &st) == 0) fchmod(out, st.st_mode & 07777);
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
