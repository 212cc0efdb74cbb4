// SPDX-License-Identifier: Apache-2.0
#include "transfer/Inflater.h"

#include <algorithm>

#ifdef QV_USE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace qv {

namespace {
// Both engines count in 32-bit words; larger caller ranges are fed piece by piece.
constexpr size_t kEngineMax = size_t{1} << 30;

// What both engines keep beside their own state: the input they cannot hold yet, the totals
// and how the stream ended.
struct TStreamState {
  const uint8_t* Rest = nullptr;  // input beyond what the engine holds
  size_t RestSize = 0;
  uint64_t TotalIn = 0;
  uint64_t TotalOut = 0;
  bool Done = false;
  bool Broken = false;

  // Hands the engine the next piece of data (next_in/avail_in) and keeps the remainder.
  template <class TByte, class TCount>
  void Feed(const uint8_t* data, size_t size, TByte*& nextIn, TCount& availIn) {
    size_t now = std::min(size, kEngineMax);
    nextIn = const_cast<TByte*>(data);
    availIn = static_cast<TCount>(now);
    Rest = data + now;
    RestSize = size - now;
  }
};
}  // namespace

#ifdef QV_USE_ISAL

struct TInflater::TImpl : TStreamState {
  inflate_state State{};

  TImpl() { Init(); }
  void Init() {
    isal_inflate_init(&State);
    State.crc_flag = ISAL_DEFLATE;
    State.hist_bits = 0;  // full 32 KiB window
    static_cast<TStreamState&>(*this) = {};
  }
  void Feed(const uint8_t* data, size_t size) {
    TStreamState::Feed(data, size, State.next_in, State.avail_in);
  }
  // Whole bytes the engine read ahead into its bit buffer but did not use at the stream's
  // end; they belong to what follows the stream.
  size_t ReadAhead() const {
    return Done && State.read_in_length > 0 ? static_cast<size_t>(State.read_in_length) / 8 : 0;
  }
};

bool TInflater::Valid() const { return true; }
const char* TInflater::EngineName() { return "isa-l"; }

size_t TInflater::AvailIn() const {
  return FImpl->State.avail_in + FImpl->ReadAhead() + FImpl->RestSize;
}

TInflateStatus TInflater::Inflate(void* out, size_t outSize, size_t& produced) {
  TImpl& im = *FImpl;
  produced = 0;
  if (im.Broken) return TInflateStatus::DataError;
  if (im.Done) return TInflateStatus::StreamEnd;
  uint8_t* dst = static_cast<uint8_t*>(out);
  while (produced < outSize) {
    if (im.State.avail_in == 0 && im.RestSize > 0) im.Feed(im.Rest, im.RestSize);
    size_t room = std::min(outSize - produced, kEngineMax);
    uint32_t availInBefore = im.State.avail_in;
    im.State.next_out = dst + produced;
    im.State.avail_out = static_cast<uint32_t>(room);
    int rc = isal_inflate(&im.State);
    size_t made = room - im.State.avail_out;
    produced += made;
    im.TotalOut += made;
    im.TotalIn += availInBefore - im.State.avail_in;
    if (rc < 0) {
      im.Broken = true;
      return TInflateStatus::DataError;
    }
    if (im.State.block_state == ISAL_BLOCK_FINISH) {
      im.Done = true;
      return TInflateStatus::StreamEnd;
    }
    bool inputGone = im.State.avail_in == 0 && im.RestSize == 0;
    if (inputGone) break;
    if (made == 0 && availInBefore == im.State.avail_in) break;  // no progress possible
  }
  return TInflateStatus::Ok;
}

uint64_t TInflater::TotalIn() const { return FImpl->TotalIn - FImpl->ReadAhead(); }

#else  // zlib

struct TInflater::TImpl : TStreamState {
  z_stream Z{};
  bool Ready = false;

  TImpl() { Ready = inflateInit2(&Z, -15) == Z_OK; }
  ~TImpl() {
    if (Ready) inflateEnd(&Z);
  }
  void Init() {
    if (Ready) Ready = inflateReset(&Z) == Z_OK;
    Z.next_in = nullptr;
    Z.avail_in = 0;
    static_cast<TStreamState&>(*this) = {};
  }
  void Feed(const uint8_t* data, size_t size) { TStreamState::Feed(data, size, Z.next_in, Z.avail_in); }
};

bool TInflater::Valid() const { return FImpl->Ready; }
const char* TInflater::EngineName() { return "zlib"; }

size_t TInflater::AvailIn() const { return FImpl->Z.avail_in + FImpl->RestSize; }

TInflateStatus TInflater::Inflate(void* out, size_t outSize, size_t& produced) {
  TImpl& im = *FImpl;
  produced = 0;
  if (!im.Ready || im.Broken) return TInflateStatus::DataError;
  if (im.Done) return TInflateStatus::StreamEnd;
  uint8_t* dst = static_cast<uint8_t*>(out);
  while (produced < outSize) {
    if (im.Z.avail_in == 0 && im.RestSize > 0) im.Feed(im.Rest, im.RestSize);
    size_t room = std::min(outSize - produced, kEngineMax);
    uInt availInBefore = im.Z.avail_in;
    im.Z.next_out = dst + produced;
    im.Z.avail_out = static_cast<uInt>(room);
    int rc = inflate(&im.Z, Z_NO_FLUSH);
    size_t made = room - im.Z.avail_out;
    produced += made;
    im.TotalOut += made;
    im.TotalIn += availInBefore - im.Z.avail_in;
    if (rc == Z_STREAM_END) {
      im.Done = true;
      return TInflateStatus::StreamEnd;
    }
    if (rc == Z_BUF_ERROR) break;  // no progress possible: needs input
    if (rc != Z_OK) {
      im.Broken = true;
      return TInflateStatus::DataError;
    }
    if (im.Z.avail_in == 0 && im.RestSize == 0) break;
  }
  return TInflateStatus::Ok;
}

uint64_t TInflater::TotalIn() const { return FImpl->TotalIn; }

#endif

// Engine-independent members.
TInflater::TInflater() : FImpl(std::make_unique<TImpl>()) {}
TInflater::~TInflater() = default;
void TInflater::Reset() { FImpl->Init(); }
void TInflater::SetInput(const void* data, size_t size) {
  FImpl->Feed(static_cast<const uint8_t*>(data), size);
}
bool TInflater::Finished() const { return FImpl->Done; }
uint64_t TInflater::TotalOut() const { return FImpl->TotalOut; }

}  // namespace qv
