// SPDX-License-Identifier: Apache-2.0
// The inflate loops of the worker base: raw deflate from a bounded input range, the gzip
// member body, and the member trailer check.
//
// Long streams use two cores: this thread only inflates, a helper reads the next input
// chunks from a file and takes each inflated block (its CRC, then the target).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "base/HelperThread.h"
#include "base/ReadBuffer.h"
#include "transfer/CopyThread.h"
#include "transfer/Crc32.h"
#include "transfer/GzipFile.h"
#include "transfer/Inflater.h"
#include "transfer/LittleEndian.h"

namespace qv {

namespace {

constexpr TErrorCode kReadFailed{sevError, errReadFile};
constexpr TErrorCode kCorrupt{sevError, errCorrupt};

// Input is read in chunks of this size; with the helper, in larger ones read ahead.
constexpr size_t kInflateChunk = 131072;
constexpr size_t kAheadChunk = 524288;
// Chunks read ahead by the helper: enough that a read is done long before it is needed,
// though a block store may run before it.
constexpr size_t kChunksAhead = 4;

// Streams with more compressed input than this (or of unknown length) use the helper.
constexpr int64_t kHelperMin = 1048576;

// The input of one inflate: the source in chunks, at most ALength bytes when that is positive.
// With a helper, the chunks of a file are read ahead; otherwise each is read when needed.
class TInflateInput {
 public:
  TInflateInput(TStream& ASource, int64_t ALength, THelperThread* AHelper)
      : FSource(ASource), FBounded(ALength > 0), FLeft(ALength), FPlanLeft(ALength) {
    // Reading ahead moves the file position beyond what the inflate uses; only a file can be
    // put back exactly.
    if (AHelper && dynamic_cast<TFileStream*>(&ASource)) FStart = ASource.Position();
    FAhead = FStart >= 0 ? AHelper : nullptr;
    FLends = !FAhead && ASource.Lends();
    // A small entry needs no more input buffer than its own length.
    const size_t chunk = FAhead ? kAheadChunk : kInflateChunk;
    FChunkSize = FBounded ? static_cast<size_t>(std::min<int64_t>(ALength, static_cast<int64_t>(chunk))) : chunk;
    const size_t count = FAhead ? kChunksAhead : 1;
    for (size_t i = 0; i < count; ++i) {
      FChunks.push_back({TReadBuffer(FChunkSize), 0, 0});
      if (!FChunks.back().Data.Valid()) FValid = false;
      // Chunks read ahead follow one another in whole chunks from FStart.
      if (FAhead) FChunks.back().Data.Place(FStart);
    }
    if (FAhead && FValid)
      for (size_t i = 0; i < count; ++i) PostRead(i);
  }

  bool Valid() const { return FValid; }
  // No more input: the source or the bound is used up.
  bool Ended() const { return FEnded; }

  // Gives the inflater the next chunk; false when the source could not be read.
  bool Refill(TInflater& AInflater) {
    TChunk& chunk = FChunks[FNext];
    if (FAhead) {
      // The chunk before is used up: its buffer may take the read after the ones in flight.
      if (FGiven > 0) PostRead((FNext + FChunks.size() - 1) % FChunks.size());
      FAhead->Wait(chunk.Ticket);
    } else {
      const int64_t want = FBounded ? std::min<int64_t>(FLeft, static_cast<int64_t>(FChunkSize)) : FChunkSize;
      chunk.Got = ReadChunk(chunk, static_cast<size_t>(want));
    }
    FNext = (FNext + 1) % FChunks.size();
    if (chunk.Got < 0) return false;
    if (FBounded) FLeft -= chunk.Got;
    if (chunk.Got == 0 || (FBounded && FLeft == 0)) FEnded = true;
    // Lent bytes stay valid until the next call on the source: the next Refill, once the
    // inflater has used them up (it keeps its history from the output, not the input).
    if (chunk.Got > 0) AInflater.SetInput(chunk.Lent ? chunk.Lent : chunk.Data.Data(), static_cast<size_t>(chunk.Got));
    FGiven += chunk.Got;
    return true;
  }

  // After the deflate stream ended: puts the source on the byte after it. The helper must
  // have finished.
  bool GiveBackUnused(const TInflater& AInflater) {
    const auto unused = static_cast<int64_t>(AInflater.AvailIn());
    if (FAhead) {
      const int64_t position = FStart + FGiven - unused;
      return FSource.Seek(position, SEEK_SET) == position;
    }
    return unused == 0 || FSource.Seek(-unused, SEEK_CUR) >= 0;
  }

 private:
  struct TChunk {
    TReadBuffer Data;
    int64_t Got;      // bytes read, -1 for a failed read
    uint64_t Ticket;  // of the read handed to the helper
    const uint8_t* Lent = nullptr;  // the source's own bytes, in place of Data's
  };

  // The size of the next read handed to the helper.
  size_t NextWant() {
    if (!FBounded) return FChunkSize;
    const auto want = static_cast<size_t>(std::min<int64_t>(FPlanLeft, static_cast<int64_t>(FChunkSize)));
    FPlanLeft -= static_cast<int64_t>(want);
    return want;
  }
  int64_t ReadChunk(TChunk& AChunk, size_t AWant) {
    if (AWant == 0) return 0;
    if (FLends) return FSource.Lend(AChunk.Lent, AWant);
    return FSource.Read(AChunk.Data.Data(), AWant);
  }
  void PostRead(size_t AIndex) {
    TChunk& chunk = FChunks[AIndex];
    const size_t want = NextWant();
    chunk.Ticket = FAhead->Post([this, &chunk, want] { chunk.Got = ReadChunk(chunk, want); });
  }

  TStream& FSource;
  const bool FBounded;
  int64_t FLeft;      // of the bound, by the chunks given to the inflater
  int64_t FPlanLeft;  // of the bound, by the reads handed out
  size_t FChunkSize;
  int64_t FStart = -1;  // source position at the start, when reading ahead
  THelperThread* FAhead = nullptr;
  bool FLends = false;  // the source lends its bytes: no copy into the chunk
  std::vector<TChunk> FChunks;
  size_t FNext = 0;     // the chunk Refill gives next
  int64_t FGiven = 0;   // bytes given to the inflater
  bool FEnded = false;
  bool FValid = true;
};

// Takes the inflated blocks: their CRC, then the target, on the helper when there is one.
// The first failure stands; later blocks are dropped.
class TBlockStore {
 public:
  // ASum false: the CRC is not wanted and stays ACrc.
  TBlockStore(TStream* AOut, uint32_t ACrc, bool ASum, THelperThread* AHelper)
      : FOut(AOut), FCrc(ACrc), FSum(ASum), FHelper(AHelper) {}

  // With the helper, returns once the block handed before is stored: the caller may then fill
  // that one's buffer again, not this one's.
  void Put(const uint8_t* AData, size_t ASize) {
    if (!FHelper) {
      Store(AData, ASize);
      return;
    }
    FHelper->Wait(FLastTicket);
    FLastTicket = FHelper->Post([this, AData, ASize] { Store(AData, ASize); });
  }
  // Valid once the helper has finished.
  TErrorCode Error() const { return TErrorCode::FromValue(FError.load(std::memory_order_acquire)); }
  uint32_t Crc() const { return FCrc; }
  int64_t Written() const { return FWritten; }

 private:
  void Store(const uint8_t* AData, size_t ASize) {
    if (Error()) return;
    if (FSum) FCrc = Crc32Update(FCrc, AData, ASize);
    const int64_t written = FOut ? FOut->Write(AData, ASize) : static_cast<int64_t>(ASize);
    if (written > 0) FWritten += written;
    if (written < 0)
      FError.store(TErrorCode(sevError, errWriteFile).Value(), std::memory_order_release);
    else if (written < static_cast<int64_t>(ASize))
      FError.store(TErrorCode(sevError, errDiskFull).Value(), std::memory_order_release);
  }

  TStream* FOut;
  uint32_t FCrc;
  bool FSum;
  THelperThread* FHelper;
  uint64_t FLastTicket = 0;
  int64_t FWritten = 0;
  std::atomic<uint32_t> FError{0};  // the value of the first failure
};

// Inflates into block[0..ASize) until it is full, the stream ends or the input is used up.
// AFilled and AStreamEnd tell how far it came; AInvalid, that the data are no deflate stream.
TErrorCode FillBlock(TInflater& AInflater, TInflateInput& AInput, uint8_t* ABlock, size_t ASize, size_t& AFilled,
              bool& AStreamEnd, bool& AInvalid) {
  AFilled = 0;
  while (AFilled < ASize && !AStreamEnd) {
    if (AInflater.AvailIn() == 0 && !AInput.Ended() && !AInput.Refill(AInflater)) return kReadFailed;
    const uint64_t consumedBefore = AInflater.TotalIn();
    size_t produced = 0;
    const TInflateStatus status = AInflater.Inflate(ABlock + AFilled, ASize - AFilled, produced);
    AFilled += produced;
    if (status == TInflateStatus::DataError) {
      AInvalid = true;
      return kReadFailed;
    }
    if (status == TInflateStatus::StreamEnd) {
      AStreamEnd = true;
    } else if (produced == 0 && AInflater.TotalIn() == consumedBefore) {
      if (AInflater.AvailIn() > 0) return kReadFailed;  // the decoder is stuck
      if (AInput.Ended()) return {};  // cut short: the checks will tell
    }
  }
  return {};
}

// One decoder per thread, for the workers that are lent none: its state is large, and a
// restore of many small members would otherwise set one up per file.
TInflater& ThreadInflater() {
  static thread_local TInflater inflater;
  return inflater;
}

}  // namespace

TErrorCode TCopyThread::InflateData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t ALength,
                                    int64_t AMaxOutput) {
  constexpr TErrorCode kNoStream{sevError, errNoStream};
  FInflateEnded = false;
  if (!FBuffer || FBufSize == 0) return kNoStream;
  TInflater& inflater = FLentInflater ? *FLentInflater : ThreadInflater();
  inflater.Reset();

  // Two output blocks of their own with the helper: one inflated into, one being stored.
  // Large blocks mean few hand-offs and few copies of the 32 KiB window the decoder keeps at
  // the end of each call: on two cores, 128 KiB chunks into 512 KiB blocks ran 25 % slower
  // than 512 KiB chunks into 2 MiB blocks.
  THelperThread helper(kChunksAhead + 2);
  const size_t aheadBlock = size_t{FBufSize} * kInflateBlockBuffers;
  // On a 64-byte line, as the target's write positions are: the kernel copies them faster.
  TReadBuffer blocks;
  if (ALength <= 0 || ALength > kHelperMin) {
    blocks = TReadBuffer(2 * aheadBlock);
    if (blocks.Valid() && !helper.Start()) blocks = TReadBuffer();
  }
  THelperThread* const ahead = blocks.Valid() ? &helper : nullptr;
  if (!inflater.Valid()) return kNoStream;
  TInflateInput input(sIn, ALength, ahead);
  // A source that lends its bytes decrypts them on a core of its own: with fewer than three
  // cores, storing on a third thread only adds switches (measured 10 % slower on two).
  const bool storeHere = sIn.Lends() && std::thread::hardware_concurrency() < 3;
  TBlockStore store(sOut, FCrc, FCrcWanted, storeHere ? nullptr : ahead);
  // However this ends, the helper stops before the buffers its jobs use go.
  struct TStopHelper {
    THelperThread& Helper;
    ~TStopHelper() { Helper.Abort(); }
  } stopHelper{helper};
  if (!input.Valid()) return kNoStream;
  const size_t blockSize = ahead ? aheadBlock : FBufSize;
  uint8_t* const buffers[2] = {ahead ? blocks.Data() : FBuffer.get(), ahead ? blocks.Data() + aheadBlock : FBuffer.get()};

  int64_t count = 0;
  bool streamEnd = false;
  TErrorCode result;
  for (size_t current = 0, n = blockSize; n >= blockSize && !result; current ^= 1) {
    uint8_t* const block = buffers[current];
    bool invalid = false;
    result = FillBlock(inflater, input, block, blockSize, n, streamEnd, invalid);
    if (invalid) result = Fail(result, "invalid deflate data after " + std::to_string(count + n) + " bytes unpacked");
    if (result) break;
    if (AMaxOutput >= 0 && count + static_cast<int64_t>(n) > AMaxOutput) {
      result = Fail(kCorrupt, "unpacks to more than the " + std::to_string(AMaxOutput) + " bytes stated");
      break;
    }
    count += static_cast<int64_t>(n);
    // Running total of the whole job: a gzip file of several members counts on. With the
    // helper, the report runs on the main thread while the next block inflates; the one
    // before has run by now, and a pause or cancel it asked for holds here.
    if (ahead) {
      EndPostedProgress();
      if (FUserBreak.load(std::memory_order_acquire)) {
        result = TErrorCode(sevInfo, errUserBreak);
        break;
      }
      PostProgress(acUnCompress, ASpeedLimit, UTotal + count);
    } else {
      DoProgress(acUnCompress, ASpeedLimit, UTotal + count);
    }
    store.Put(block, n);
    if (store.Error()) break;
    if (FUserBreak.load(std::memory_order_acquire)) result = TErrorCode(sevInfo, errUserBreak);
  }
  if (ahead) {
    EndPostedProgress();
    if (!result && FUserBreak.load(std::memory_order_acquire)) result = TErrorCode(sevInfo, errUserBreak);
  }
  helper.Finish();
  FCrc = store.Crc();
  UTotal += store.Written();
  // A block that could not be stored came before anything found later.
  if (store.Error()) result = store.Error();

  FInflateEnded = streamEnd;
  if (streamEnd && !input.GiveBackUnused(inflater) && !result) result = kReadFailed;
  return result;
}

TErrorCode TCopyThread::GUnzipData(TStream& sIn, TStream* sOut, bool ASpeedLimit, int64_t AMaxOutput) {
  int64_t position = sIn.Position();
  int64_t size = sIn.Size();
  if (position < 0 || size < 0) return kReadFailed;
  return InflateData(sIn, sOut, ASpeedLimit, size - position - GzTrailerSize, AMaxOutput);
}

TErrorCode TCopyThread::CheckGzTrailer(TStream& sIn, int64_t USize) {
  uint8_t trailer[8];
  if (sIn.Read(trailer, sizeof trailer) != static_cast<int64_t>(sizeof trailer)) return kReadFailed;
  const uint32_t crc = GetLe32(trailer);
  const uint32_t isize = GetLe32(trailer + 4);
  if (crc != FCrc) return Fail(kCorrupt, GzCrcMismatch(crc, FCrc));
  if (isize != static_cast<uint32_t>(USize) || UTotal != USize)
    return Fail(kCorrupt, GzSizeMismatch(isize, UTotal));
  return {};
}

}  // namespace qv
