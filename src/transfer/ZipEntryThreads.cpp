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

int TZipReadThread::ReadEntryInfo(TZipFileInfo& Info, int64_t& ADataStart) {
  const int64_t headerStart = FArchive.Position();
  if (headerStart < 0 || !ReadLocalHeader(Info)) return ResultCode(sevError, errReadFile);
  ADataStart = FArchive.Position();
  if (FDirEntry) {
    // A data descriptor follows the data; the directory holds the same values, and what the
    // local header states besides zeros must agree with them.
    if (Info.Flag & ZipFlagDataDescriptor) {
      const auto agrees = [](int64_t local, int64_t dir) { return local == 0 || local == dir; };
      if (!agrees(Info.Crc, FDirEntry->CRC) || !agrees(Info.CSize, FDirEntry->CSize) ||
          !agrees(Info.USize, FDirEntry->USize))
        return ResultCode(sevError, errCorrupt);
      Info.Crc = FDirEntry->CRC;
      Info.CSize = FDirEntry->CSize;
      Info.USize = FDirEntry->USize;
    }
    if (Info.EncVers == 0 && FDirEntry->EncVers != 0) {
      Info.EncVers = FDirEntry->EncVers;
      Info.EncMeth = FDirEntry->EncMeth;
      Info.EncMode = FDirEntry->EncMode;
    }
  }
  if (FEntrySpan >= 0) {
    // The smallest descriptor: CRC and two 32-bit sizes.
    const int64_t descriptor = (Info.Flag & ZipFlagDataDescriptor) ? 12 : 0;
    if (ADataStart - headerStart > FEntrySpan ||
        Info.CSize > FEntrySpan - (ADataStart - headerStart) - descriptor)
      return ResultCode(sevError, errCorrupt);
  }
  return 0;
}

int TZipReadThread::ExtractChecked(const TZipFileInfo& Info, int64_t ADataStart, TStream& sOut) {
  int result = ExtractData(Info, sOut);
  if (result == 0 && (Info.Flag & ZipFlagDataDescriptor))
    result = CheckDataDescriptor(Info, ADataStart + Info.CSize);
  return result;
}

int TZipReadThread::CheckDataDescriptor(const TZipFileInfo& Info, int64_t AAt) {
  uint8_t d[24] = {};
  if (FArchive.Seek(AAt, SEEK_SET) != AAt) return ResultCode(sevError, errReadFile);
  const int64_t n = FArchive.Read(d, sizeof d);
  if (n < 0) return ResultCode(sevError, errReadFile);
  const int64_t p = n >= 4 && GetLe32(d) == ZipDescriptorSig ? 4 : 0;
  const bool crc = n >= p + 4 && GetLe32(d + p) == Info.Crc;
  const bool narrow = n >= p + 12 && GetLe32(d + p + 4) == static_cast<uint64_t>(Info.CSize) &&
                      GetLe32(d + p + 8) == static_cast<uint64_t>(Info.USize);
  const bool wide = n >= p + 20 && GetLe64(d + p + 4) == static_cast<uint64_t>(Info.CSize) &&
                    GetLe64(d + p + 12) == static_cast<uint64_t>(Info.USize);
  return crc && (narrow || wide) ? 0 : ResultCode(sevError, errCorrupt);
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
  int64_t dataStart = 0;
  int result = ReadEntryInfo(info, dataStart);
  if (result == 0) result = ExtractChecked(info, dataStart, *out);
  if (ownTarget) {
    if (result == 0) result = CommitTarget();
    else DiscardTarget();
  }
  return result;
}

int TZipReadThread::ExtractData(const TZipFileInfo& Info, TStream& sOut) {
  if (Info.Flag & ZipFlagEncrypted) {
    // ZipCrypto and strong encryption: no password would help, so none is asked for.
    if (Info.Method != ZipMethodAes || (Info.Flag & ZipFlagStrongEncryption))
      return ResultCode(sevError, errUnsupportedEncryption);
    return ExtractEncrypted(Info, sOut);
  }
  if (Info.Method != ZipMethodStored && Info.Method != ZipMethodDeflated)
    return ResultCode(sevError, errUnsupportedMethod);
  // Stored data are their own plaintext: the two sizes are one.
  if (Info.Method == ZipMethodStored && Info.CSize != Info.USize) return ResultCode(sevError, errCorrupt);
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
  const int method = EncryptedMethod(Info);
  if (method < 0) return ResultCode(sevError, errUnsupportedMethod);
  if (!FCrypting) return ResultCode(sevError, errDecrypt);
  DoProgress(acDecrypt, FSpeedLimit, -Info.CSize);
  // A body that cannot be whole (shorter than salt, verifier and code, or running past the
  // archive's end) is damaged whatever the password.
  const int64_t start = FArchive.Position();
  const int64_t size = FArchive.Size();
  const int64_t frame = FCrypting->GetHeaderSize() + FCrypting->GetTrailerSize();
  if (start < 0 || size < 0) return ResultCode(sevError, errReadFile);
  if (Info.CSize < frame || Info.CSize > size - start) return ResultCode(sevError, errCorrupt);
  // Only a verifier mismatch comes back as a wrong password (the session asks again); a
  // failing code once the verifier matched is a corrupt entry.
  std::unique_ptr<TStream> plain;
  const int result = OpenEncryptedBody(*FCrypting, FArchive, Info.CSize, FSpeedLimit, plain, &FUserBreak);
  if (result != 0) return result;
  const int64_t plainSize = plain->Size();
  // Stored plaintext must be exactly as long as stated: the size field is not authenticated.
  if (method == ZipMethodStored && plainSize != Info.USize) return ResultCode(sevError, errCorrupt);
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
    // The deflate data must end where they say, and hold exactly the stated size.
    if (result == 0 && (!FInflateEnded || UTotal != Info.USize)) result = ResultCode(sevError, errReadFile);
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
  int64_t dataStart = 0;
  if (const int rc = ReadEntryInfo(info, dataStart); rc != 0) return rc;
  const bool big = info.CSize > InMemoryCompareLimit || info.USize > InMemoryCompareLimit;
  std::unique_ptr<TStream> copy;
  if (big) copy = CreateAnonymousTempFile();
  else copy = std::make_unique<TMemoryStream>();
  if (!copy) return ResultCode(sevError, errCreateFile);
  int result = ExtractChecked(info, dataStart, *copy);
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
