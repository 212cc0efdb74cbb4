// The inflate loops of the worker base: raw deflate from a bounded input range, the gzip
// member body, and the member trailer check.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "transfer/CopyThread.h"
#include "transfer/Crc32.h"
#include "transfer/GzipFile.h"
#include "transfer/Inflater.h"
#include "transfer/LittleEndian.h"

namespace qv {

namespace {

// Input is read in chunks of this size.
constexpr size_t kInflateChunk = 131072;

// Streams with more compressed input than this (or of unknown length) are written ahead.
constexpr int64_t kWriteAheadMin = 1048576;

// Takes the inflated blocks: their CRC, then the target. For long streams a helper thread does
// that for one block while the next one is inflated. The first failure stands; later blocks
// are dropped.
class TBlockWriter {
 public:
  // ASum false: the CRC is not wanted and stays ACrc.
  TBlockWriter(TStream* AOut, uint32_t ACrc, bool ASum) : FOut(AOut), FCrc(ACrc), FSum(ASum) {}
  ~TBlockWriter() { Finish(); }
  TBlockWriter(const TBlockWriter&) = delete;
  TBlockWriter& operator=(const TBlockWriter&) = delete;

  // False when no thread can be had; blocks are then stored in Put itself.
  bool StartHelper() {
    try {
      FHelper = std::thread([this] { StoreHanded(); });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }
  // With the helper, returns once the block handed before is stored: the caller may then fill
  // that one's buffer again, not this one's.
  void Put(const uint8_t* AData, size_t ASize) {
    if (!FHelper.joinable()) {
      Store(AData, ASize);
      return;
    }
    std::unique_lock lock(FMutex);
    FChanged.wait(lock, [this] { return !FBusy; });
    FData = AData;
    FSize = ASize;
    FBusy = true;
    FChanged.notify_all();
  }
  // Waits for the last block; afterwards Crc, Written and Error are final.
  void Finish() {
    if (!FHelper.joinable()) return;
    {
      std::unique_lock lock(FMutex);
      FChanged.wait(lock, [this] { return !FBusy; });
      FStop = true;
    }
    FChanged.notify_all();
    FHelper.join();
  }
  int Error() const { return FError.load(std::memory_order_acquire); }
  uint32_t Crc() const { return FCrc; }
  int64_t Written() const { return FWritten; }

 private:
  void Store(const uint8_t* AData, size_t ASize) {
    if (Error() != 0) return;
    if (FSum) FCrc = Crc32Update(FCrc, AData, ASize);
    const int64_t written = FOut ? FOut->Write(AData, ASize) : static_cast<int64_t>(ASize);
    if (written > 0) FWritten += written;
    if (written < 0)
      FError.store(ResultCode(sevError, errWriteFile), std::memory_order_release);
    else if (written < static_cast<int64_t>(ASize))
      FError.store(ResultCode(sevError, errDiskFull), std::memory_order_release);
  }
  void StoreHanded() {
    std::unique_lock lock(FMutex);
    for (;;) {
      FChanged.wait(lock, [this] { return FBusy || FStop; });
      if (!FBusy) return;
      lock.unlock();
      Store(FData, FSize);
      lock.lock();
      FBusy = false;
      FChanged.notify_all();
    }
  }

  TStream* FOut;
  uint32_t FCrc;
  bool FSum;
  int64_t FWritten = 0;
  std::atomic<int> FError{0};
  std::mutex FMutex;
  std::condition_variable FChanged;
  const uint8_t* FData = nullptr;
  size_t FSize = 0;
  bool FBusy = false;
  bool FStop = false;
  std::thread FHelper;
};

}  // namespace

int TCopyThread::InflateData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t ALength,
                             int64_t AMaxOutput) {
  FInflateEnded = false;
  if (!FBuffer || FBufSize == 0) return ResultCode(sevError, errNoStream);
  std::unique_ptr<TInflater> own;
  if (!FLentInflater) own = std::make_unique<TInflater>();
  TInflater& inflater = FLentInflater ? *FLentInflater : *own;
  inflater.Reset();
  const bool bounded = ALength > 0;
  // A small entry needs no more input buffer than its own length.
  const size_t inputSize =
      bounded ? static_cast<size_t>(std::min<int64_t>(ALength, kInflateChunk)) : kInflateChunk;
  std::unique_ptr<uint8_t[]> input(new (std::nothrow) uint8_t[inputSize]);
  if (!inflater.Valid() || !input) return ResultCode(sevError, errNoStream);

  // Two output buffers when the blocks are stored ahead: one inflated into, one being stored.
  TBlockWriter writer(sOut, FCrc, FCrcWanted);
  std::unique_ptr<uint8_t[]> second;
  if (!bounded || ALength > kWriteAheadMin) {
    second.reset(new (std::nothrow) uint8_t[FBufSize]);
    if (second && !writer.StartHelper()) second.reset();
  }
  uint8_t* const buffers[2] = {FBuffer.get(), second ? second.get() : FBuffer.get()};
  size_t current = 0;

  const int64_t limit = AMaxOutput;
  int64_t inputLeft = ALength;
  bool inputEnd = false;
  bool streamEnd = false;
  int64_t count = 0;
  int result = 0;
  size_t n;
  do {
    // Fill one buffer: fewer bytes only when the stream has ended or the input is used up.
    uint8_t* const block = buffers[current];
    current ^= 1;
    n = 0;
    while (n < FBufSize && !streamEnd) {
      if (inflater.AvailIn() == 0 && !inputEnd) {
        size_t want = inputSize;
        if (bounded) want = static_cast<size_t>(std::min<int64_t>(inputLeft, static_cast<int64_t>(want)));
        int64_t got = want == 0 ? 0 : sIn.Read(input.get(), want);
        if (got < 0) {
          result = ResultCode(sevError, errReadFile);
          break;
        }
        if (bounded) inputLeft -= got;
        if (got == 0 || (bounded && inputLeft == 0)) inputEnd = true;
        if (got > 0) inflater.SetInput(input.get(), static_cast<size_t>(got));
      }
      const uint64_t consumedBefore = inflater.TotalIn();
      size_t produced = 0;
      TInflateStatus st = inflater.Inflate(block + n, FBufSize - n, produced);
      n += produced;
      if (st == TInflateStatus::DataError) {
        result = ResultCode(sevError, errReadFile);
        break;
      }
      if (st == TInflateStatus::StreamEnd) {
        streamEnd = true;
      } else if (produced == 0 && inflater.TotalIn() == consumedBefore) {
        if (inflater.AvailIn() == 0 && inputEnd) break;  // cut short: the checks will tell
        if (inflater.AvailIn() > 0) {                     // the decoder is stuck
          result = ResultCode(sevError, errReadFile);
          break;
        }
      }
    }
    if (result != 0) break;
    if (limit >= 0 && count + static_cast<int64_t>(n) > limit) {
      result = ResultCode(sevError, errCorrupt);  // more than the member or entry states
      break;
    }
    count += static_cast<int64_t>(n);
    // Running total of the whole job: a gzip file of several members counts on.
    DoProgress(acUnCompress, ASpeedLimit, UTotal + count);
    writer.Put(block, n);
    if (writer.Error() != 0) break;
    if (FUserBreak.load(std::memory_order_acquire)) result = errUserBreak;
  } while (n >= FBufSize && result == 0);
  writer.Finish();
  FCrc = writer.Crc();
  UTotal += writer.Written();
  // A block that could not be stored came before anything found later.
  if (writer.Error() != 0) result = writer.Error();

  FInflateEnded = streamEnd;
  // Put sIn on the first byte after the deflate data.
  if (streamEnd && inflater.AvailIn() > 0) {
    int64_t back = static_cast<int64_t>(inflater.AvailIn());
    if (sIn.Seek(-back, SEEK_CUR) < 0 && result == 0) result = ResultCode(sevError, errReadFile);
  }
  return result;
}

int TCopyThread::GUnzipData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t AMaxOutput) {
  int64_t position = sIn.Position();
  int64_t size = sIn.Size();
  if (position < 0 || size < 0) return ResultCode(sevError, errReadFile);
  return InflateData(sIn, sOut, ASpeedLimit, size - position - GzTrailerSize, AMaxOutput);
}

int TCopyThread::CheckGzTrailer(TStream& sIn, int64_t USize) {
  uint8_t trailer[8];
  if (sIn.Read(trailer, sizeof trailer) != static_cast<int64_t>(sizeof trailer))
    return ResultCode(sevError, errReadFile);
  const uint32_t crc = GetLe32(trailer);
  const uint32_t isize = GetLe32(trailer + 4);
  if (crc != FCrc) return ResultCode(sevError, errCorrupt);
  if (isize != static_cast<uint32_t>(USize)) return ResultCode(sevError, errCorrupt);
  if (UTotal != USize) return ResultCode(sevError, errCorrupt);
  return 0;
}

}  // namespace qv
