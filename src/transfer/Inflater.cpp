#include "transfer/Inflater.h"

#include <algorithm>
#include <climits>

#ifdef QV_USE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace qv {

namespace {
// Both engines count in 32-bit words; larger caller ranges are fed piece by piece.
constexpr size_t kEngineMax = size_t{1} << 30;
}  // namespace

#ifdef QV_USE_ISAL

struct TInflater::TImpl {
  inflate_state State{};
  const uint8_t* Rest = nullptr;  // input beyond what the engine holds
  size_t RestSize = 0;
  uint64_t TotalIn = 0;
  uint64_t TotalOut = 0;
  bool Done = false;
  bool Broken = false;

  void Init() {
    isal_inflate_init(&State);
    State.crc_flag = ISAL_DEFLATE;
    State.hist_bits = 0;  // full 32 KiB window
    Rest = nullptr;
    RestSize = 0;
    TotalIn = TotalOut = 0;
    Done = Broken = false;
  }
  void Feed(const uint8_t* data, size_t size) {
    size_t now = std::min(size, kEngineMax);
    State.next_in = const_cast<uint8_t*>(data);
    State.avail_in = static_cast<uint32_t>(now);
    Rest = data + now;
    RestSize = size - now;
  }
  // Whole bytes the engine read ahead into its bit buffer but did not use at the stream's
  // end; they belong to what follows the stream.
  size_t ReadAhead() const {
    return Done && State.read_in_length > 0 ? static_cast<size_t>(State.read_in_length) / 8 : 0;
  }
};

TInflater::TInflater() : FImpl(std::make_unique<TImpl>()) { FImpl->Init(); }
TInflater::~TInflater() = default;
bool TInflater::Valid() const { return true; }
void TInflater::Reset() { FImpl->Init(); }
const char* TInflater::EngineName() { return "isa-l"; }

void TInflater::SetInput(const void* data, size_t size) {
  FImpl->Feed(static_cast<const uint8_t*>(data), size);
}

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

bool TInflater::Finished() const { return FImpl->Done; }
uint64_t TInflater::TotalIn() const { return FImpl->TotalIn - FImpl->ReadAhead(); }
uint64_t TInflater::TotalOut() const { return FImpl->TotalOut; }

#else  // zlib

struct TInflater::TImpl {
  z_stream Z{};
  bool Ready = false;
  const uint8_t* Rest = nullptr;
  size_t RestSize = 0;
  uint64_t TotalIn = 0;
  uint64_t TotalOut = 0;
  bool Done = false;
  bool Broken = false;

  TImpl() { Ready = inflateInit2(&Z, -15) == Z_OK; }
  ~TImpl() {
    if (Ready) inflateEnd(&Z);
  }
  void Init() {
    if (Ready) Ready = inflateReset(&Z) == Z_OK;
    Z.next_in = nullptr;
    Z.avail_in = 0;
    Rest = nullptr;
    RestSize = 0;
    TotalIn = TotalOut = 0;
    Done = Broken = false;
  }
  void Feed(const uint8_t* data, size_t size) {
    size_t now = std::min(size, kEngineMax);
    Z.next_in = const_cast<Bytef*>(data);
    Z.avail_in = static_cast<uInt>(now);
    Rest = data + now;
    RestSize = size - now;
  }
};

TInflater::TInflater() : FImpl(std::make_unique<TImpl>()) {}
TInflater::~TInflater() = default;
bool TInflater::Valid() const { return FImpl->Ready; }
void TInflater::Reset() { FImpl->Init(); }
const char* TInflater::EngineName() { return "zlib"; }

void TInflater::SetInput(const void* data, size_t size) {
  FImpl->Feed(static_cast<const uint8_t*>(data), size);
}

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

bool TInflater::Finished() const { return FImpl->Done; }
uint64_t TInflater::TotalIn() const { return FImpl->TotalIn; }
uint64_t TInflater::TotalOut() const { return FImpl->TotalOut; }

#endif

}  // namespace qv
