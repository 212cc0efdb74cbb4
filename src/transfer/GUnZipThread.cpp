// SPDX-License-Identifier: Apache-2.0
#include "transfer/GUnZipThread.h"

#include <algorithm>
#include <cstdio>

#include "base/FileUtils.h"
#include "crypto/AesLib.h"
#include "transfer/EncryptedBody.h"
#include "transfer/GzipFile.h"
#include "transfer/LittleEndian.h"

namespace qv {

namespace {

constexpr TErrorCode kCorrupt{sevError, errCorrupt};
constexpr TErrorCode kReadFailed{sevError, errReadFile};

// Only the size subfield states the whole size; ISIZE is the size modulo 2^32 and bounds nothing.
int64_t OutputBound(int64_t USize, bool AExactSize) {
  if (!AExactSize) return -1;
  return USize < 0 ? 0 : USize;
}

}  // namespace

TGUnZipThread::TGUnZipThread(std::string ASourceName, std::string ADestName,
                             TEncryption* AEncryption, bool ASuspend, int ABufSize,
                             TThreadPriority APriority)
    : TCopyThread(std::move(ASourceName), std::move(ADestName), AEncryption, ASuspend, ABufSize,
                  APriority) {
  FErrFlag = opGunzip;
}

void TGUnZipThread::Execute() { FinishThread(DoGUnzip()); }

TErrorCode TGUnZipThread::DoGUnzip() {
  TFileTimestamps times;
  uint16_t attr = 0;
  TErrorCode result = OpenSource(times, attr);
  if (!result && DestName.empty()) result = {sevError, errCreateFile};
  // Header, members and trailer of a small file are parsed in memory, not by a seek and a
  // read each.
  if (!result) result = LoadSmallSource();
  if (result) {
    ReleaseStreams();
    return result;
  }

  std::string storedName;  // not used: the target's name comes from the backup file's name
  uint32_t unixTime = 0;
  bool encrypted = false;
  int64_t csize = 0;
  TMemberSize size;
  result = TErrorCode::FromValue(
      static_cast<uint32_t>(ReadGzHeader(*sSource, storedName, unixTime, encrypted, csize, size.USize, &size.Exact)));
  if (!result) result = OpenTarget();
  // Every member that follows the first is restored too; the size subfield of a member
  // bounds that member alone.
  for (bool first = true, more = true; !result && more; first = false) {
    if (!first) result = NextMember(more, encrypted, size);
    if (result || !more) break;
    const int64_t start = sSource->Position();
    if (encrypted && !FCrypting)
      result = {sevError, errDecrypt};
    else if (start < 0)
      result = kReadFailed;
    else if (encrypted)
      result = UnpackEncrypted(start, size);
    else
      result = UnpackPlain(start, size);
    if (!result && FUserBreak.load(std::memory_order_acquire)) result = {sevInfo, errUserBreak};
  }
  if (result) {
    ReleaseStreams();  // the temporary target goes; an existing target stays as it was
    return result;
  }
  result = FinishFile(false, CopyPermissions(), attr, times);
  if (!result && !FOptions.TestOnly) FCommittedSize = UTotal;
  return result;
}

TErrorCode TGUnZipThread::UnpackEncrypted(int64_t AStart, TMemberSize ASize) {
  const int64_t fileSize = sSource->Size();
  if (fileSize < 0) return kReadFailed;
  DoProgress(acDecrypt, true, -fileSize);
  // The body reaches up to the trailer at the end of the file. A large one is authenticated
  // while it is unpacked: the target is the worker's own temporary file (or none), which goes
  // unless the code matches.
  const int64_t bodyLength = fileSize - AStart - GzTrailerSize;
  const int64_t before = UTotal;
  TErrorCode result;
  if (fileSize <= InMemoryBodyLimit) {
    std::unique_ptr<TStream> plain;
    result = AuthenticationResult(OpenEncryptedBody(*FCrypting, *sSource, bodyLength, true, true, plain, &FUserBreak));
    if (!result) result = InflateBody(*plain, ASize);
  } else {
    std::unique_ptr<TUncheckedPlain> plain;
    result = AuthenticationResult(OpenEncryptedBodyInOnePass(*FCrypting, *sSource, bodyLength, plain, &FUserBreak));
    if (!result) result = CheckedReadResult(*plain, InflateBody(*plain, ASize));
  }
  if (result) return result;
  CTotal += bodyLength;
  if (sSource->Seek(fileSize - GzTrailerSize, SEEK_SET) != fileSize - GzTrailerSize) return kReadFailed;
  return CheckMemberTrailer(UTotal - before, ASize);
}

TErrorCode TGUnZipThread::InflateBody(TStream& APlain, TMemberSize ASize) {
  DoProgress(acUnCompress, false, -ASize.USize);
  FCrc = 0;
  // The authenticated body still must not unpack to more than the member states.
  const TErrorCode result = InflateData(APlain, sDest.get(), false, APlain.Size(), OutputBound(ASize.USize, ASize.Exact));
  if (result) return result;
  // Authenticated is not complete: the deflate data must end, and end the body.
  if (!FInflateEnded) return Fail(kCorrupt, "the deflate data end before the member's end");
  if (APlain.Position() != APlain.Size()) return Fail(kCorrupt, "data after the end of the deflate data");
  return {};
}

TErrorCode TGUnZipThread::UnpackPlain(int64_t AStart, TMemberSize ASize) {
  if (CTotal == 0) {  // the first member
    DoProgress(acUnCompress, true, -ASize.USize);
  } else {
    // A further member: its size is known only from a size subfield, else estimated from
    // the compression so far and the bytes left.
    const int64_t left = std::max<int64_t>(sSource->Size() - AStart, 0);
    const double ratio = CTotal > 0 ? static_cast<double>(UTotal) / static_cast<double>(CTotal) : 1.0;
    const int64_t expected = ASize.Exact ? ASize.USize : static_cast<int64_t>(static_cast<double>(left) * ratio);
    DoProgress(acUnCompress, true, -(UTotal + std::max<int64_t>(expected, 1)));
  }
  const int64_t before = UTotal;
  FCrc = 0;
  const TErrorCode result = GUnzipData(*sSource, sDest.get(), true, OutputBound(ASize.USize, ASize.Exact));
  if (result) return result;
  if (!FInflateEnded) return Fail(kCorrupt, "the deflate data end before the member's end");
  const int64_t position = sSource->Position();
  if (position < 0) return kReadFailed;
  CTotal += position - AStart;
  return CheckMemberTrailer(UTotal - before, ASize);
}

TErrorCode TGUnZipThread::CheckMemberTrailer(int64_t AWritten, TMemberSize ASize) {
  uint8_t trailer[GzTrailerSize];
  if (sSource->Read(trailer, sizeof trailer) != static_cast<int64_t>(sizeof trailer)) return kReadFailed;
  if (GetLe32(trailer) != FCrc) return Fail(kCorrupt, GzCrcMismatch(GetLe32(trailer), FCrc));
  if (GetLe32(trailer + 4) != static_cast<uint32_t>(AWritten)) return Fail(kCorrupt, GzSizeMismatch(GetLe32(trailer + 4), AWritten));
  if (ASize.Exact && AWritten != ASize.USize)
    return Fail(kCorrupt, "unpacked to " + std::to_string(AWritten) + " bytes, the header says " + std::to_string(ASize.USize));
  return {};
}

TErrorCode TGUnZipThread::NextMember(bool& AMore, bool& AEncrypted, TMemberSize& ASize) {
  AMore = false;
  const int64_t position = sSource->Position();
  const int64_t fileSize = sSource->Size();
  if (position < 0 || fileSize < 0) return kReadFailed;
  if (position >= fileSize) return {};
  uint8_t magic[2] = {0, 0};
  const int64_t got = sSource->Read(magic, sizeof magic);
  if (got < 0) return kReadFailed;
  if (got == 2 && GetLe16(magic) == 0x8B1F) {
    if (sSource->Seek(position, SEEK_SET) != position) return kReadFailed;
    std::string name;
    uint32_t unixTime = 0;
    int64_t csize = 0;
    // The header of a further member cut short or unreadable is a damaged file.
    if (ReadGzHeader(*sSource, name, unixTime, AEncrypted, csize, ASize.USize, &ASize.Exact) != gzhOk)
      return Fail(kCorrupt, "the header of the member at offset " + std::to_string(position) + " is damaged");
    AMore = true;
    return {};
  }
  // Zero bytes up to the end are padding (gzip ignores them too); anything else is not ours
  // to drop silently.
  const std::string trailing = "bytes after the last member at offset " + std::to_string(position) + " that are no gzip member";
  if (magic[0] != 0 || (got == 2 && magic[1] != 0)) return Fail(kCorrupt, trailing);
  for (int64_t left = fileSize - position - got; left > 0;) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(left, FBufSize));
    const int64_t n = sSource->Read(FBuffer.get(), want);
    if (n < 0) return kReadFailed;
    if (n == 0) break;
    if (std::any_of(FBuffer.get(), FBuffer.get() + n, [](uint8_t b) { return b != 0; })) return Fail(kCorrupt, trailing);
    left -= n;
    if (FUserBreak.load(std::memory_order_acquire)) return {sevInfo, errUserBreak};
  }
  return {};
}

}  // namespace qv
