#include "transfer/ZipEntryThreads.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <random>

#include "base/SysInfo.h"
#include "crypto/AesLib.h"
#include "transfer/EncryptedBody.h"

namespace qv {
namespace {

// Entries larger than this are buffered for a comparison in a temporary file.
constexpr int64_t InMemoryCompareLimit = 1048576;

bool IsRegularFile(const std::string& AName) {
  struct stat st {};
  return ::lstat(AName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A private buffer file in the temporary folder: created exclusively under a unique name and
// unlinked at once, so it disappears with its stream whatever happens.
std::unique_ptr<TStream> CreateAnonymousTempFile() {
  const std::string folder = GetTempDir();
  std::random_device seed;
  std::mt19937_64 rng(seed());
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name = folder + "qv-zipcmp-" + std::to_string(::getpid()) + "-" +
                             std::to_string(rng() % 1000000000000ULL) + ".tmp";
    auto stream = TFileStream::Open(name, TOpenMode::CreateNew, 0600);
    if (stream) {
      ::unlink(name.c_str());
      return stream;
    }
    if (errno != EEXIST) break;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------- TZipReadThread

TZipReadThread::TZipReadThread(const std::string& AFileName, TEncryption* AEncryption,
                               TStream& ZStream, bool ASuspend, bool ASpeedLimit, int ABufSize,
                               TThreadPriority APriority, TProgressEvent AOnProgress)
    : TGUnZipThread(std::string(), AFileName, AEncryption, ASuspend, ABufSize, APriority),
      FSpeedLimit(ASpeedLimit),
      FArchive(ZStream) {
  SetOnProgress(std::move(AOnProgress));
  FErrFlag = opZip;
}

TZipReadThread::TZipReadThread(TStream& ADest, TEncryption* AEncryption, TStream& ZStream,
                               bool ASuspend, bool ASpeedLimit, int ABufSize,
                               TThreadPriority APriority, TProgressEvent AOnProgress)
    : TZipReadThread(std::string(), AEncryption, ZStream, ASuspend, ASpeedLimit, ABufSize,
                     APriority, std::move(AOnProgress)) {
  FTargetStream = &ADest;
}

void TZipReadThread::SetDirectoryEntry(const TPkHeader& AHeader) { FDirEntry = AHeader; }

void TZipReadThread::Execute() { FinishThread(DoExtract()); }

bool TZipReadThread::ReadLocalHeader(TZipFileInfo& Info) {
  return ReadZipLocalHeader(FArchive, Info);
}

bool TZipReadThread::ReadEntryInfo(TZipFileInfo& Info) {
  if (!ReadLocalHeader(Info)) return false;
  if (!FDirEntry) return true;
  // A data descriptor follows the data; the directory holds the same values.
  if (Info.Flag & ZipFlagDataDescriptor) {
    Info.Crc = FDirEntry->CRC;
    Info.CSize = FDirEntry->CSize;
    Info.USize = FDirEntry->USize;
  }
  if (Info.EncVers == 0 && FDirEntry->EncVers != 0) {
    Info.EncVers = FDirEntry->EncVers;
    Info.EncMeth = FDirEntry->EncMeth;
    Info.EncMode = FDirEntry->EncMode;
  }
  return true;
}

int TZipReadThread::DoExtract() {
  if (!HasBuffer()) return ResultCode(sevError, errReadFile);
  TStream* out = FTargetStream;
  const bool ownTarget = !DestName.empty();
  if (ownTarget) {
    const int rc = OpenTarget();
    if (rc != 0) return rc;
    out = sDest.get();
  } else if (!out) {
    return ResultCode(sevError, errNoStream);
  }
  TZipFileInfo info;
  int result = ReadEntryInfo(info) ? ExtractData(info, *out) : ResultCode(sevError, errReadFile);
  if (ownTarget) {
    if (result == 0) result = CommitTarget();
    else DiscardTarget();
  }
  return result;
}

int TZipReadThread::ExtractData(const TZipFileInfo& Info, TStream& sOut) {
  if (Info.Flag & ZipFlagEncrypted) return ExtractEncrypted(Info, sOut);
  DoProgress(acUnCompress, FSpeedLimit, -Info.CSize);
  return ExtractPlain(Info, Info.Method, FArchive, Info.CSize, sOut, true);
}

int TZipReadThread::EncryptedMethod(const TZipFileInfo& Info) {
  // The AES field names the actual method; without it the data are deflated.
  if (Info.EncVers == 0) return ZipMethodDeflated;
  if (Info.EncMeth == ZipMethodStored || Info.EncMeth == ZipMethodDeflated) return Info.EncMeth;
  return -1;
}

int TZipReadThread::ExtractEncrypted(const TZipFileInfo& Info, TStream& sOut) {
  if (!FCrypting) return ResultCode(sevError, errDecrypt);
  DoProgress(acDecrypt, FSpeedLimit, -Info.CSize);
  const int method = EncryptedMethod(Info);
  if (method < 0) return ResultCode(sevError, errReadFile);
  std::unique_ptr<TStream> plain;
  int result = OpenEncryptedBody(*FCrypting, FArchive, Info.CSize, FSpeedLimit, plain, &FUserBreak);
  if (result != 0) return result;
  const int64_t plainSize = plain->Size();
  DoProgress(acUnCompress, FSpeedLimit, -plainSize);
  // AE-1 entries keep their CRC; AE-2 entries store 0 and rely on the authentication code.
  return ExtractPlain(Info, static_cast<uint16_t>(method), *plain, plainSize, sOut, Info.EncVers == 1);
}

int TZipReadThread::ExtractPlain(const TZipFileInfo& Info, uint16_t AMethod, TStream& sIn,
                                 int64_t ALength, TStream& sOut, bool ACheckCrc) {
  FCrcWanted = ACheckCrc;
  int result;
  if (AMethod == ZipMethodDeflated) {
    // An entry that inflates to more than it states is corrupt; nothing beyond is written.
    result = InflateData(sIn, &sOut, FSpeedLimit, ALength, Info.USize);
    if (result == 0 && UTotal != Info.USize) result = ResultCode(sevError, errReadFile);
  } else {
    result = CopyData(sIn, sOut, FSpeedLimit, Info.USize);
  }
  if (result == 0 && ACheckCrc && FCrc != Info.Crc) result = ResultCode(sevError, errReadFile);
  return result;
}

// ---------------------------------------------------------------------------- TZipCompareThread

void TZipCompareThread::Execute() { FinishThread(DoCompare()); }

int TZipCompareThread::DoCompare() {
  if (!HasBuffer()) return ResultCode(sevError, errReadFile);
  if (!IsRegularFile(DestName)) return ResultCode(sevError, errFileNotFound);
  auto reference = TFileStream::Open(DestName, TOpenMode::Read);
  if (!reference) return ResultCode(sevError, errOpenFile);
  TZipFileInfo info;
  if (!ReadEntryInfo(info)) return ResultCode(sevError, errReadFile);
  const bool big = info.CSize > InMemoryCompareLimit || info.USize > InMemoryCompareLimit;
  std::unique_ptr<TStream> copy;
  if (big) copy = CreateAnonymousTempFile();
  else copy = std::make_unique<TMemoryStream>();
  if (!copy) return ResultCode(sevError, errCreateFile);
  int result = ExtractData(info, *copy);
  if (result == 0) result = CompareData(*copy, *reference, FSpeedLimit, -1);
  return result;
}

// ---------------------------------------------------------------------------- CompareData

// sRef is the reference file (the first file), sIn the extracted copy (the second); ALength
// is the length to compare, or the reference's size when negative.
int TCopyThread::CompareData(TStream& sIn, TStream& sRef, bool ASpeedLimit, int64_t ALength) {
  std::unique_ptr<uint8_t[]> second(new (std::nothrow) uint8_t[FBufSize]);
  if (!second || !FBuffer) return ResultCode(sevError, errReadFile);
  int64_t remaining = ALength >= 0 ? ALength : sRef.Size();
  if (remaining < 0) return ResultCode(sevError, errReadFile);
  DoProgress(acVerify, ASpeedLimit, -remaining);
  if (sIn.Size() != remaining) return ResultCode(sevError, errVerify);
  if (sIn.Seek(0, SEEK_SET) != 0) return ResultCode(sevError2, errReadFile);
  if (sRef.Seek(0, SEEK_SET) != 0) return ResultCode(sevError, errReadFile);
  int result = 0;
  int64_t count = 0;
  do {
    const size_t request = static_cast<size_t>(std::min<int64_t>(remaining, FBufSize));
    const int64_t n = sRef.Read(FBuffer.get(), request);
    if (n < 0 || n < static_cast<int64_t>(request)) return ResultCode(sevError, errReadFile);
    count += n;
    DoProgress(acVerify, ASpeedLimit, count);
    const int64_t m = sIn.Read(second.get(), static_cast<size_t>(n));
    if (m != n) result = ResultCode(sevError2, errReadFile);
    else if (FUserBreak.load(std::memory_order_acquire)) result = errUserBreak;
    remaining -= n;
    if (result == 0 && std::memcmp(FBuffer.get(), second.get(), static_cast<size_t>(n)) != 0)
      result = ResultCode(sevError, errVerify);
  } while (remaining > 0 && result == 0);
  return result;
}

}  // namespace qv
