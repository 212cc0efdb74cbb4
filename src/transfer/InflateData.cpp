// The inflate loops of the worker base: raw deflate from a bounded input range, the gzip
// member body, and the member trailer check.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "transfer/CopyThread.h"
#include "transfer/Crc32.h"
#include "transfer/GzipFile.h"
#include "transfer/Inflater.h"

namespace qv {

namespace {

constexpr int Code(uint32_t severity, uint32_t detail) { return static_cast<int>(severity | detail); }
// Input is read in chunks of this size.
constexpr size_t kInflateChunk = 131072;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int TCopyThread::InflateData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t ALength,
                             int64_t AMaxOutput) {
  if (!FBuffer || FBufSize == 0) return Code(sevError, errNoStream);
  std::unique_ptr<TInflater> own;
  if (!FLentInflater) own = std::make_unique<TInflater>();
  TInflater& inflater = FLentInflater ? *FLentInflater : *own;
  inflater.Reset();
  const bool bounded = ALength > 0;
  // A small entry needs no more input buffer than its own length.
  const size_t inputSize =
      bounded ? static_cast<size_t>(std::min<int64_t>(ALength, kInflateChunk)) : kInflateChunk;
  std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[inputSize]);
  if (!inflater.Valid() || !input) return Code(sevError, errNoStream);

  const int64_t limit = AMaxOutput;
  int64_t inputLeft = ALength;
  bool inputEnd = false;
  bool streamEnd = false;
  int64_t count = 0;
  int result = 0;
  size_t n;
  do {
    // Fill one buffer: fewer bytes only when the stream has ended or the input is used up.
    n = 0;
    while (n < FBufSize && !streamEnd) {
      if (inflater.AvailIn() == 0 && !inputEnd) {
        size_t want = inputSize;
        if (bounded) want = static_cast<size_t>(std::min<int64_t>(inputLeft, static_cast<int64_t>(want)));
        int64_t got = want == 0 ? 0 : sIn.Read(input.get(), want);
        if (got < 0) {
          result = Code(sevError, errReadFile);
          break;
        }
        if (bounded) inputLeft -= got;
        if (got == 0 || (bounded && inputLeft == 0)) inputEnd = true;
        if (got > 0) inflater.SetInput(input.get(), static_cast<size_t>(got));
      }
      const uint64_t consumedBefore = inflater.TotalIn();
      size_t produced = 0;
      TInflateStatus st = inflater.Inflate(FBuffer.get() + n, FBufSize - n, produced);
      n += produced;
      if (st == TInflateStatus::DataError) {
        result = Code(sevError, errReadFile);
        break;
      }
      if (st == TInflateStatus::StreamEnd) {
        streamEnd = true;
      } else if (produced == 0 && inflater.TotalIn() == consumedBefore) {
        if (inflater.AvailIn() == 0 && inputEnd) break;  // cut short: the checks will tell
        if (inflater.AvailIn() > 0) {                     // the decoder is stuck
          result = Code(sevError, errReadFile);
          break;
        }
      }
    }
    if (result != 0) break;
    if (limit >= 0 && count + static_cast<int64_t>(n) > limit) {
      result = Code(sevError, errCorrupt);  // more than the member or entry states
      break;
    }
    if (FCrcWanted) FCrc = Crc32Update(FCrc, FBuffer.get(), n);
    count += static_cast<int64_t>(n);
    DoProgress(acUnCompress, ASpeedLimit, count);
    int64_t written = sOut ? sOut->Write(FBuffer.get(), n) : static_cast<int64_t>(n);
    if (written > 0) UTotal += written;
    if (written < 0)
      result = Code(sevError, errWriteFile);
    else if (written < static_cast<int64_t>(n))
      result = Code(sevError, errDiskFull);
    if (result == 0 && FUserBreak.load(std::memory_order_acquire)) result = errUserBreak;
  } while (n >= FBufSize && result == 0);

  // Put sIn on the first byte after the deflate data.
  if (streamEnd && inflater.AvailIn() > 0) {
    int64_t back = static_cast<int64_t>(inflater.AvailIn());
    if (sIn.Seek(-back, SEEK_CUR) < 0 && result == 0) result = Code(sevError, errReadFile);
  }
  return result;
}

int TCopyThread::GUnzipData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t AMaxOutput) {
  int64_t position = sIn.Position();
  int64_t size = sIn.Size();
  if (position < 0 || size < 0) return Code(sevError, errReadFile);
  return InflateData(sIn, sOut, ASpeedLimit, size - position - GzTrailerSize, AMaxOutput);
}

int TCopyThread::CheckGzTrailer(TStream& sIn, int64_t USize) {
  uint8_t trailer[8];
  if (sIn.Read(trailer, sizeof trailer) != static_cast<int64_t>(sizeof trailer))
    return Code(sevError, errReadFile);
  const uint32_t crc = Le32(trailer);
  const uint32_t isize = Le32(trailer + 4);
  if (crc != FCrc) return Code(sevError, errCorrupt);
  if (isize != static_cast<uint32_t>(USize)) return Code(sevError, errCorrupt);
  if (UTotal != USize) return Code(sevError, errCorrupt);
  return 0;
}

}  // namespace qv
