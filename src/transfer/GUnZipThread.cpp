#include "transfer/GUnZipThread.h"

#include <cstdio>

#include "base/FileUtils.h"
#include "crypto/AesLib.h"
#include "transfer/EncryptedBody.h"
#include "transfer/GzipFile.h"

namespace qv {

namespace {
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

int TGUnZipThread::DoGUnzip() {
  const int sourceAttr = LongFileGetAttr(SourceName, false);
  int result = 0;
  if (sourceAttr < 0 || (sourceAttr & faDirectory))
    result = ResultCode(sevError, errFileNotFound);
  else if (DestName.empty())
    result = ResultCode(sevError, errCreateFile);
  TFileTimestamps times;
  const uint16_t attr = static_cast<uint16_t>(sourceAttr & 0xFFFF);
  if (result == 0) {
    GetFileTimestamps(SourceName, false, times);
    sSource = TFileStream::Open(SourceName, TOpenMode::Read);
    if (!sSource) result = ResultCode(sevError, errOpenFile);
  }
  if (result != 0) {
    ReleaseStreams();
    return result;
  }

  std::string storedName;  // not used: the target's name comes from the backup file's name
  uint32_t unixTime = 0;
  bool encrypted = false;
  int64_t csize = 0;
  int64_t usize = 0;
  bool exactSize = false;
  result = ReadGzHeader(*sSource, storedName, unixTime, encrypted, csize, usize, &exactSize);
  if (result == 0) result = OpenTarget();
  if (result == 0 && encrypted && !FCrypting) result = ResultCode(sevError, errDecrypt);
  if (result == 0) {
    const int64_t start = sSource->Position();
    if (start < 0)
      result = ResultCode(sevError, errReadFile);
    else if (encrypted)
      result = UnpackEncrypted(start, usize, exactSize);
    else
      result = UnpackPlain(start, usize, exactSize);
  }
  if (result != 0) {
    ReleaseStreams();  // the temporary target goes; an existing target stays as it was
    return result;
  }
  return FinishFile(false, FCopyAcl, attr, times);
}

int TGUnZipThread::UnpackEncrypted(int64_t AStart, int64_t USize, bool AExactSize) {
  const int64_t fileSize = sSource->Size();
  if (fileSize < 0) return ResultCode(sevError, errReadFile);
  DoProgress(acDecrypt, true, -fileSize);
  std::unique_ptr<TStream> plain;
  const bool inMemory = fileSize <= InMemoryBodyLimit;
  int result = OpenEncryptedBody(*FCrypting, *sSource, fileSize - AStart - GzTrailerSize, inMemory,
                                 true, plain, &FUserBreak);
  if (result != 0) return result;
  DoProgress(acUnCompress, false, -USize);
  // The authenticated body still must not unpack to more than the member states.
  return InflateData(*plain, sDest.get(), false, plain->Size(), OutputBound(USize, AExactSize));
}

int TGUnZipThread::UnpackPlain(int64_t AStart, int64_t USize, bool AExactSize) {
  DoProgress(acUnCompress, true, -USize);
  const int result = GUnzipData(*sSource, sDest.get(), true, OutputBound(USize, AExactSize));
  if (result != 0) return result;
  const int64_t position = sSource->Position();
  if (position < 0) return ResultCode(sevError, errReadFile);
  CTotal = position - AStart;
  // Without the size subfield only ISIZE (modulo 2^32) is known; so members of 4 GiB or
  // more restore.
  if (!AExactSize) USize = SizeFromIsize(UTotal, static_cast<uint32_t>(USize));
  return CheckGzTrailer(*sSource, USize);
}

}  // namespace qv
