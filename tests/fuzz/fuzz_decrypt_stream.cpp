// Arbitrary bytes into DecryptStream: it must answer true or false, never crash, hang or
// read past its length. Half the inputs are first turned into a valid stream and then
// damaged, so the fuzzer also reaches the data loop and the code check. The overlapped
// variant (code computed on a helper thread) must give the same answer and the same bytes.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "crypto/Sha1Lanes.h"

namespace {

const std::string CPasswords[] = {"", "fuzz", std::string(40, 'q'), std::string(150, 'z')};

// A source that aborts when read beyond the length it was handed.
class TBoundedSource final : public qv::TStream {
 public:
  TBoundedSource(const uint8_t* data, size_t size, size_t limit) : FData(data), FSize(size), FLimit(limit) {}
  int64_t Read(void* buffer, size_t count) override {
    if (FPos + count > FLimit) std::abort();
    const size_t n = std::min(count, FSize - FPos);
    if (n > 0) std::memcpy(buffer, FData + FPos, n);
    FPos += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t, int) override { return -1; }
  int64_t Size() override { return static_cast<int64_t>(FSize); }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FLimit;
  size_t FPos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The key derivation's SHA instruction lanes take no input-dependent paths (unit tests hold
  // them against the library); in this unoptimized build they are ten times slower than the
  // portable path, which keeps the fuzzer on the stream code.
  static const bool portable = (qv::SetSha1LanesEnabled(false), true);
  (void)portable;
  if (size < 4) return 0;
  const uint8_t selector = data[0];
  const std::string& password = CPasswords[selector & 3];
  const int mode = (selector >> 2) & 3;  // 0: automatic
  const bool damageValidStream = (selector & 0x10) != 0;
  const int bufSize = (selector & 0x20) != 0 ? 16 : 4096;
  const int16_t delta = static_cast<int16_t>(data[1] | data[2] << 8);
  const uint8_t flipAt = data[3];
  data += 4;
  size -= 4;

  qv::TEncryption crypt(password, mode, bufSize);
  std::vector<uint8_t> stream;
  if (damageValidStream) {
    qv::TReadOnlyMemoryStream plain(data, size);
    qv::TMemoryStream encrypted;
    if (!crypt.EncryptStream(plain, encrypted, false)) std::abort();
    stream = encrypted.Data();
    if (flipAt != 0) stream[flipAt % stream.size()] ^= static_cast<uint8_t>(1u << (flipAt & 7));
  } else {
    stream.assign(data, data + size);
  }

  const int64_t length = static_cast<int64_t>(stream.size()) + delta;
  // The source may hold more than the length says, but must never be read beyond it.
  const size_t limit = length < 0 ? 0 : static_cast<size_t>(length);
  const bool toMemory = (selector & 0x40) == 0;
  TBoundedSource source(stream.data(), stream.size(), limit);
  qv::TMemoryStream out;
  const bool ok = crypt.DecryptStream(source, toMemory ? &out : nullptr, length, false);

  TBoundedSource again(stream.data(), stream.size(), limit);
  qv::TMemoryStream outOverlapped;
  const bool okOverlapped = crypt.DecryptStreamOverlapped(again, toMemory ? &outOverlapped : nullptr, length, false);
  if (ok != okOverlapped || out.Data() != outOverlapped.Data()) std::abort();

  if (damageValidStream && delta == 0 && flipAt == 0) {
    // Untouched: must decrypt to the input exactly.
    if (!ok) std::abort();
    if (toMemory && (out.Data().size() != size ||
                    (size > 0 && std::memcmp(out.Data().data(), data, size) != 0))) {
      std::abort();
    }
  }
  return 0;
}
