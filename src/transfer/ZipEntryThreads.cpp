// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipEntryThreads.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "base/FileUtils.h"
#include "base/FormatUtils.h"
#include "base/TargetFile.h"
#include "crypto/AesLib.h"
#include "transfer/Crc32.h"
#include "transfer/EncryptedBody.h"

namespace qv {

namespace {

constexpr TErrorCode Failure(uint32_t ADetail) { return TErrorCode(sevError, ADetail); }

// "compressed size 100 in the directory, 90 in the local header"
std::string Disagreement(const char* AField, const std::string& ADir, const std::string& ALocal) {
  return std::string(AField) + " " + ADir + " in the directory, " + ALocal + " in the local header";
}

// The local header against the directory, whatever bit 3 says: method, encryption and AES
// field always agree, and so do CRC and sizes, except that a header whose data are followed
// by a descriptor may leave them 0. Empty when they agree, else the first field that differs.
std::string LocalHeaderDisagreement(const TZipFileInfo& ALocal, const TPkHeader& ADir) {
  if (ALocal.Method != ADir.CompMethode)
    return Disagreement("method", std::to_string(ADir.CompMethode), std::to_string(ALocal.Method));
  if ((ALocal.Flag & ZipFlagEncrypted) != (ADir.GpFlag & ZipFlagEncrypted))
    return Disagreement("encryption bit", (ADir.GpFlag & ZipFlagEncrypted) ? "set" : "clear",
                        (ALocal.Flag & ZipFlagEncrypted) ? "set" : "clear");
  if (ALocal.EncVers != 0 && ADir.EncVers != 0 &&
      (ALocal.EncVers != ADir.EncVers || ALocal.EncMode != ADir.EncMode || ALocal.EncMeth != ADir.EncMeth))
    return "the AES fields of the directory and the local header differ";
  const bool deferred = (ALocal.Flag & ZipFlagDataDescriptor) != 0;
  const auto same = [deferred](int64_t local, int64_t dir) { return local == dir || (deferred && local == 0); };
  if (!same(ALocal.Crc, ADir.CRC)) return Disagreement("CRC-32", Hex32(ADir.CRC), Hex32(ALocal.Crc));
  if (!same(ALocal.CSize, ADir.CSize))
    return Disagreement("compressed size", std::to_string(ADir.CSize), std::to_string(ALocal.CSize));
  if (!same(ALocal.USize, ADir.USize))
    return Disagreement("size", std::to_string(ADir.USize), std::to_string(ALocal.USize));
  return {};
}

std::string CrcMismatch(uint32_t AStored, uint32_t AComputed) {
  return "CRC-32 " + Hex32(AStored) + " stored, " + Hex32(AComputed) + " computed";
}

// Hands the decryptor's plaintext on to the target, summing its CRC where one is wanted, and
// keeps why a write failed (errno is long gone once the decryptor has given up).
class TPlainOut final : public TStream {
 public:
  TPlainOut(TStream& ATarget, bool ACrcWanted) : FTarget(ATarget), FCrcWanted(ACrcWanted) {}
  int64_t Read(void*, size_t) override { return -1; }
  int64_t Write(const void* buffer, size_t count) override {
    if (FCrcWanted) FCrc = Crc32Update(FCrc, buffer, count);
    const int64_t written = FTarget.Write(buffer, count);
    if (written < 0) FWriteErrno = errno;
    return written;
  }
  int64_t Seek(int64_t offset, int whence) override { return FTarget.Seek(offset, whence); }
  int64_t Size() override { return FTarget.Size(); }
  uint32_t Crc() const { return FCrc; }
  int WriteErrno() const { return FWriteErrno; }

 private:
  TStream& FTarget;
  bool FCrcWanted;
  uint32_t FCrc = 0;
  int FWriteErrno = 0;
};

}  // namespace

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

TErrorCode TZipReadThread::ReadEntryInfo(TZipFileInfo& Info, int64_t& ADataStart) {
  const int64_t headerStart = FArchive.Position();
  if (headerStart < 0 || !ReadLocalHeader(Info)) return Failure(errReadFile);
  ADataStart = FArchive.Position();
  if (FDirEntry) {
    if (std::string reason = LocalHeaderDisagreement(Info, *FDirEntry); !reason.empty())
      return Fail(Failure(errCorrupt), std::move(reason));
    // A data descriptor follows the data: the directory holds their values.
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
  }
  if (FEntrySpan >= 0) {
    // The smallest descriptor: CRC and two 32-bit sizes.
    const int64_t descriptor = (Info.Flag & ZipFlagDataDescriptor) ? 12 : 0;
    if (ADataStart - headerStart > FEntrySpan ||
        Info.CSize > FEntrySpan - (ADataStart - headerStart) - descriptor)
      return Fail(Failure(errCorrupt), "compressed size " + std::to_string(Info.CSize) +
                                           " runs past the entry's room of " + std::to_string(FEntrySpan) + " bytes");
  }
  return {};
}

TErrorCode TZipReadThread::ExtractChecked(const TZipFileInfo& Info, int64_t ADataStart, TStream& sOut) {
  TErrorCode result = ExtractData(Info, sOut);
  if (!result && (Info.Flag & ZipFlagDataDescriptor))
    result = CheckDataDescriptor(Info, ADataStart + Info.CSize);
  return result;
}

TErrorCode TZipReadThread::CheckDataDescriptor(const TZipFileInfo& Info, int64_t AAt) {
  uint8_t d[24] = {};
  if (FArchive.Seek(AAt, SEEK_SET) != AAt) return Failure(errReadFile);
  const int64_t n = FArchive.Read(d, sizeof d);
  if (n < 0) return Failure(errReadFile);
  const int64_t p = n >= 4 && GetLe32(d) == ZipDescriptorSig ? 4 : 0;
  const bool crc = n >= p + 4 && GetLe32(d + p) == Info.Crc;
  const bool narrow = n >= p + 12 && GetLe32(d + p + 4) == static_cast<uint64_t>(Info.CSize) &&
                      GetLe32(d + p + 8) == static_cast<uint64_t>(Info.USize);
  const bool wide = n >= p + 20 && GetLe64(d + p + 4) == static_cast<uint64_t>(Info.CSize) &&
                    GetLe64(d + p + 12) == static_cast<uint64_t>(Info.USize);
  if (crc && (narrow || wide)) return {};
  return Fail(Failure(errCorrupt), crc ? "the data descriptor's sizes differ from the directory's"
                                       : "the data descriptor's CRC-32 differs from the directory's");
}

TErrorCode TZipReadThread::DoExtract() {
  if (!HasBuffer()) return Failure(errReadFile);
  TStream* out = FTargetStream;
  const bool ownTarget = !DestName.empty();
  if (ownTarget) {
    if (const TErrorCode rc = OpenTarget()) return rc;
    out = sDest.get();
  } else if (!out) {
    return Failure(errNoStream);
  }
  FUnverifiedTargetOk = ownTarget || TestOnly();
  TZipFileInfo info;
  int64_t dataStart = 0;
  TErrorCode result = ReadEntryInfo(info, dataStart);
  if (!result) result = ExtractChecked(info, dataStart, *out);
  if (ownTarget) {
    if (!result) result = CommitTarget();
    else DiscardTarget();
  }
  return result;
}

TErrorCode TZipReadThread::ExtractData(const TZipFileInfo& Info, TStream& sOut) {
  if (Info.Flag & ZipFlagEncrypted) {
    // ZipCrypto and strong encryption: no password would help, so none is asked for.
    if (Info.Method != ZipMethodAes || (Info.Flag & ZipFlagStrongEncryption))
      return Failure(errUnsupportedEncryption);
    return ExtractEncrypted(Info, sOut);
  }
  if (Info.Method != ZipMethodStored && Info.Method != ZipMethodDeflated)
    return Failure(errUnsupportedMethod);
  // Stored data are their own plaintext: the two sizes are one.
  if (Info.Method == ZipMethodStored && Info.CSize != Info.USize)
    return Fail(Failure(errCorrupt), "a stored entry of " + std::to_string(Info.CSize) + " bytes that states " +
                                         std::to_string(Info.USize));
  DoProgress(acUnCompress, FSpeedLimit, -Info.CSize);
  return ExtractPlain(Info, Info.Method, FArchive, Info.CSize, sOut, true);
}

int TZipReadThread::EncryptedMethod(const TZipFileInfo& Info) {
  // The AES field names the actual method; without it the data are deflated.
  if (Info.EncVers == 0) return ZipMethodDeflated;
  if (Info.EncMeth == ZipMethodStored || Info.EncMeth == ZipMethodDeflated) return Info.EncMeth;
  return -1;
}

TErrorCode TZipReadThread::ExtractEncrypted(const TZipFileInfo& Info, TStream& sOut) {
  const int method = EncryptedMethod(Info);
  if (method < 0) return Failure(errUnsupportedMethod);
  if (!FCrypting) return Failure(errDecrypt);
  DoProgress(acDecrypt, FSpeedLimit, -Info.CSize);
  // A body that cannot be whole (shorter than salt, verifier and code, or running past the
  // archive's end) is damaged whatever the password.
  const int64_t start = FArchive.Position();
  const int64_t size = FArchive.Size();
  const int64_t frame = FCrypting->GetHeaderSize() + FCrypting->GetTrailerSize();
  if (start < 0 || size < 0) return Failure(errReadFile);
  if (Info.CSize < frame || Info.CSize > size - start)
    return Fail(Failure(errCorrupt), "an encrypted body of " + std::to_string(Info.CSize) + " bytes " +
                                         (Info.CSize < frame ? "shorter than its salt, verifier and code"
                                                             : "running past the archive's end"));
  // A target that may hold unauthenticated plaintext (one that goes unless the code matches)
  // takes the entry in one pass; small bodies stay in memory.
  if (FUnverifiedTargetOk && Info.CSize > InMemoryBodyLimit)
    return method == ZipMethodStored ? DecryptStoredInOnePass(Info, sOut) : InflateInOnePass(Info, sOut);
  // Only a verifier mismatch comes back as a wrong password (the session asks again); a
  // failing code once the verifier matched is a corrupt entry.
  std::unique_ptr<TStream> plain;
  const TErrorCode opened = OpenEncryptedBody(*FCrypting, FArchive, Info.CSize, FSpeedLimit, plain, &FUserBreak);
  if (opened) return AuthenticationResult(opened);
  const int64_t plainSize = plain->Size();
  // Stored plaintext must be exactly as long as stated: the size field is not authenticated.
  if (method == ZipMethodStored && plainSize != Info.USize) return PlainSizeDiffers(plainSize, Info.USize);
  DoProgress(acUnCompress, FSpeedLimit, -plainSize);
  // AE-1 entries keep their CRC; AE-2 entries store 0 and rely on the authentication code.
  return ExtractPlain(Info, static_cast<uint16_t>(method), *plain, plainSize, sOut, Info.EncVers == 1);
}

TErrorCode TZipReadThread::DecryptStoredInOnePass(const TZipFileInfo& Info, TStream& sOut) {
  const int64_t frame = FCrypting->GetHeaderSize() + FCrypting->GetTrailerSize();
  // The size field is not authenticated: stored plaintext must be exactly as long as stated.
  if (Info.CSize - frame != Info.USize) return PlainSizeDiffers(Info.CSize - frame, Info.USize);
  // AE-1 entries keep their CRC; AE-2 entries store 0 and rely on the authentication code.
  const bool checkCrc = Info.EncVers == 1;
  FCrcWanted = checkCrc;
  TPlainOut out(sOut, checkCrc);
  TCancelFlagLoan cancel(*FCrypting, &FUserBreak);
  if (!FCrypting->DecryptStreamOverlapped(FArchive, &out, Info.CSize, FSpeedLimit)) {
    const TDecryptFailure failure = FCrypting->LastFailure();
    if (failure == dfWrite)
      return Failure(static_cast<uint32_t>(DetailFromErrno(out.WriteErrno(), errWriteFile)));
    return AuthenticationResult(DecryptFailureCode(failure));
  }
  FCrc = out.Crc();
  UTotal = Info.USize;
  if (checkCrc && FCrc != Info.Crc) return Fail(Failure(errReadFile), CrcMismatch(Info.Crc, FCrc));
  return {};
}

TErrorCode TZipReadThread::InflateInOnePass(const TZipFileInfo& Info, TStream& sOut) {
  std::unique_ptr<TUncheckedPlain> plain;
  if (const TErrorCode opened = OpenEncryptedBodyInOnePass(*FCrypting, FArchive, Info.CSize, plain, &FUserBreak))
    return AuthenticationResult(opened);
  const int64_t plainSize = plain->Size();
  DoProgress(acUnCompress, FSpeedLimit, -plainSize);
  // AE-1 entries keep their CRC; AE-2 entries store 0 and rely on the authentication code.
  return CheckedReadResult(*plain, ExtractPlain(Info, ZipMethodDeflated, *plain, plainSize, sOut, Info.EncVers == 1));
}

TErrorCode TZipReadThread::ExtractPlain(const TZipFileInfo& Info, uint16_t AMethod, TStream& sIn,
                                 int64_t ALength, TStream& sOut, bool ACheckCrc) {
  FCrcWanted = ACheckCrc;
  TErrorCode result;
  if (AMethod == ZipMethodDeflated) {
    // An entry that inflates to more than it states is corrupt; nothing beyond is written.
    result = InflateData(sIn, &sOut, FSpeedLimit, ALength, Info.USize);
    // The deflate data must end where they say, and hold exactly the stated size.
    if (!result && !FInflateEnded) result = Fail(Failure(errReadFile), "the deflate data end before the entry's end");
    if (!result && UTotal != Info.USize)
      result = Fail(Failure(errReadFile), "unpacked to " + std::to_string(UTotal) + " bytes, the directory says " +
                                              std::to_string(Info.USize));
  } else {
    result = CopyData(sIn, sOut, FSpeedLimit, Info.USize);
  }
  if (!result && ACheckCrc && FCrc != Info.Crc) result = Fail(Failure(errReadFile), CrcMismatch(Info.Crc, FCrc));
  return result;
}

TErrorCode SetEntryPropertiesByName(const TZipEntryProperties& AProperties, const std::string& DestFilename) {
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(AProperties.UnixTime), 0}};
  if (!AProperties.TimeSet &&
      (AProperties.UnixTime == 0 || ::utimensat(AT_FDCWD, DestFilename.c_str(), times, 0) != 0))
    return TErrorCode(sevWarning, errSetTimestamp);
  if (AProperties.ModeSet) return {};
  const int rc = AProperties.UnixMode != 0
                     ? (::chmod(DestFilename.c_str(), AProperties.UnixMode) == 0 ? 0 : errno)
                     : LongFileSetAttr(DestFilename, static_cast<int>(AProperties.Attr & 0xFFFF), false);
  return rc != 0 ? TErrorCode(sevWarning, errSetAttr) : TErrorCode();
}

TZipEntryBytes::TZipEntryBytes(std::span<const uint8_t> ABytes)
    : Bytes(ABytes.begin(), ABytes.end()), Source(Bytes.data(), Bytes.size()) {}

TZipEntryJob::TZipEntryJob(std::span<const uint8_t> ABytes, const std::string& AFileName, int ABufSize,
                           const TZipEntryProperties& AProperties)
    : TZipEntryBytes(ABytes),
      TZipReadThread(AFileName, nullptr, Source, false, false, ABufSize, tpNormal, {}),
      FProperties(AProperties) {
  if (AFileName.empty()) {
    FTargetStream = &Sink;
    SetTestOnly(true);
  }
}

void TZipEntryJob::Execute() {
  TErrorCode result = DoExtract();
  if (result) {
    result = ReaderError(result);
    FFailReason = FFailReason.empty() ? FPlace : FPlace + ": " + FFailReason;
  } else if (!FTargetStream) {
    TZipEntryProperties properties = FProperties;
    properties.TimeSet = TargetTimeSet();
    properties.ModeSet = TargetModeSet();
    result = SetEntryPropertiesByName(properties, DestName);
  }
  FinishThread(result);
}

}  // namespace qv
