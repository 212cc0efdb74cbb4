// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipCompareThread.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <random>

#include "base/SysInfo.h"

namespace qv {

namespace {

// Entries larger than this are buffered for a comparison in a temporary file.
constexpr int64_t InMemoryCompareLimit = 1048576;

constexpr TErrorCode Failure(uint32_t ADetail) { return TErrorCode(sevError, ADetail); }

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

void TZipCompareThread::Execute() { FinishThread(DoCompare()); }

TErrorCode TZipCompareThread::DoCompare() {
  if (!HasBuffer()) return Failure(errReadFile);
  if (!IsRegularFile(DestName)) return Failure(errFileNotFound);
  auto reference = TFileStream::Open(DestName, TOpenMode::Read);
  if (!reference) return Failure(errOpenFile);
  TZipFileInfo info;
  int64_t dataStart = 0;
  if (const TErrorCode rc = ReadEntryInfo(info, dataStart)) return rc;
  const bool big = info.CSize > InMemoryCompareLimit || info.USize > InMemoryCompareLimit;
  std::unique_ptr<TStream> copy;
  if (big) copy = CreateAnonymousTempFile();
  else copy = std::make_unique<TMemoryStream>();
  if (!copy) return Failure(errCreateFile);
  TErrorCode result = ExtractChecked(info, dataStart, *copy);
  if (!result) result = CompareData(*copy, *reference, FSpeedLimit, -1);
  return result;
}

// sRef is the reference file (the first file), sIn the extracted copy (the second).
TErrorCode TZipCompareThread::CompareData(TStream& sIn, TStream& sRef, bool ASpeedLimit, int64_t ALength) {
  std::unique_ptr<uint8_t[]> second(new (std::nothrow) uint8_t[FBufSize]);
  if (!second || !FBuffer) return Failure(errReadFile);
  int64_t remaining = ALength >= 0 ? ALength : sRef.Size();
  if (remaining < 0) return Failure(errReadFile);
  DoProgress(acVerify, ASpeedLimit, -remaining);
  if (sIn.Size() != remaining) return Failure(errVerify);
  if (sIn.Seek(0, SEEK_SET) != 0) return TErrorCode(sevError2, errReadFile);
  if (sRef.Seek(0, SEEK_SET) != 0) return Failure(errReadFile);
  TErrorCode result;
  int64_t count = 0;
  do {
    const size_t request = static_cast<size_t>(std::min<int64_t>(remaining, FBufSize));
    const int64_t n = sRef.Read(FBuffer.get(), request);
    if (n < 0 || n < static_cast<int64_t>(request)) return Failure(errReadFile);
    count += n;
    DoProgress(acVerify, ASpeedLimit, count);
    const int64_t m = sIn.Read(second.get(), static_cast<size_t>(n));
    if (m != n) result = TErrorCode(sevError2, errReadFile);
    else if (FUserBreak.load(std::memory_order_acquire)) result = TErrorCode(sevInfo, errUserBreak);
    remaining -= n;
    if (!result && std::memcmp(FBuffer.get(), second.get(), static_cast<size_t>(n)) != 0)
      result = Failure(errVerify);
  } while (remaining > 0 && !result);
  return result;
}

}  // namespace qv
