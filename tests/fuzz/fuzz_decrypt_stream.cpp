// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes into DecryptStream: it must answer true or false, never crash, hang or
// read past its length. Half the inputs are first turned into a valid stream and then
// damaged, so the fuzzer also reaches the data loop and the code check. The overlapped
// variant (code computed on a helper thread) must give the same answer, reason and bytes, and
// a stream made with the right password fails as a wrong password only when its salt or
// verifier was damaged.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "crypto/CipherPrimitives.h"
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

// One decryptor per password, mode and buffer size for the whole session, and one salt per key
// mode: the decryptor keeps the key it derived for the last salt, so runs do not pay for a key
// derivation (in this build one costs more than a hundred runs). The derivation itself takes
// no input-dependent paths besides the salt bytes; unit tests hold it against the library.
qv::TEncryption& Decryptor(size_t password, int mode, bool smallBuffer) {
  static std::unique_ptr<qv::TEncryption> decryptors[4][4][2];
  auto& d = decryptors[password][mode][smallBuffer ? 1 : 0];
  if (!d) d = std::make_unique<qv::TEncryption>(CPasswords[password], mode, smallBuffer ? 16 : 4096);
  return *d;
}

// A stream of plain under the decryptor's key with the fixed salt of its mode, written with the
// cipher primitives (the writer's own stream method draws a fresh salt each time).
std::vector<uint8_t> EncryptWithFixedSalt(const qv::TEncryption& crypt, const std::string& password,
                                          const uint8_t* plain, size_t size) {
  const int mode = crypt.KeyMode();
  std::vector<uint8_t> salt(qv::SaltLength(mode), static_cast<uint8_t>(0xA0 + mode));
  static std::map<std::pair<std::string, int>, std::vector<uint8_t>> keys;
  auto& key = keys[{password, mode}];
  if (key.empty())
    key = qv::DeriveKeyMaterial(reinterpret_cast<const uint8_t*>(password.data()), std::min<size_t>(password.size(), 128),
                                salt.data(), salt.size(), qv::CKeyIterations, qv::DerivedLength(mode));
  qv::TFCryptContext ctx;
  uint8_t verifier[qv::CVerifierLength];
  if (qv::InitCryptContextFromKey(mode, std::min<size_t>(password.size(), 128), key.data(), ctx, verifier) != 0)
    std::abort();
  std::vector<uint8_t> out = salt;
  out.insert(out.end(), verifier, verifier + sizeof verifier);
  const size_t at = out.size();
  out.insert(out.end(), plain, plain + size);
  qv::EncryptData(out.data() + at, size, ctx);
  const auto code = qv::FinishMac(ctx);
  out.insert(out.end(), code.begin(), code.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The key derivation's SHA instruction lanes take no input-dependent paths (unit tests hold
  // them against the library); in this unoptimized build they are ten times slower than the
  // portable path, which keeps the fuzzer on the stream code.
  static const bool portable = (qv::SetSha1LanesEnabled(false), true);
  (void)portable;
  if (size < 4) return 0;
  const uint8_t selector = data[0];
  const size_t passwordIndex = selector & 3;
  const int mode = (selector >> 2) & 3;  // 0: automatic
  const bool damageValidStream = (selector & 0x10) != 0;
  const bool smallBuffer = (selector & 0x20) != 0;
  const int16_t delta = static_cast<int16_t>(data[1] | data[2] << 8);
  const uint8_t flipAt = data[3];

  data += 4;
  size -= 4;

  qv::TEncryption& crypt = Decryptor(passwordIndex, mode, smallBuffer);
  const size_t header = static_cast<size_t>(crypt.GetHeaderSize());
  std::vector<uint8_t> stream;
  size_t flipped = SIZE_MAX;
  if (damageValidStream) {
    stream = EncryptWithFixedSalt(crypt, CPasswords[passwordIndex], data, size);
    if (flipAt != 0) {
      // Not in the salt: another salt is just another key, and costs a derivation.
      const size_t salt = header - qv::CVerifierLength;
      flipped = salt + flipAt % (stream.size() - salt);
      stream[flipped] ^= static_cast<uint8_t>(1u << (flipAt & 7));
    }
  } else {
    stream.assign(data, data + size);
    // The fixed salt of the mode, so that the key is not derived again each run.
    if (stream.size() >= header - 2)
      std::fill(stream.begin(), stream.begin() + static_cast<long>(header - 2), static_cast<uint8_t>(0xA0 + crypt.KeyMode()));
  }

  const int64_t length = static_cast<int64_t>(stream.size()) + delta;
  // The source may hold more than the length says, but must never be read beyond it.
  const size_t limit = length < 0 ? 0 : static_cast<size_t>(length);
  const bool toMemory = (selector & 0x40) == 0;
  TBoundedSource source(stream.data(), stream.size(), limit);
  qv::TMemoryStream out;
  const bool ok = crypt.DecryptStream(source, toMemory ? &out : nullptr, length, false);
  const qv::TDecryptFailure failure = crypt.LastFailure();

  TBoundedSource again(stream.data(), stream.size(), limit);
  qv::TMemoryStream outOverlapped;
  const bool okOverlapped = crypt.DecryptStreamOverlapped(again, toMemory ? &outOverlapped : nullptr, length, false);
  if (ok != okOverlapped || out.Data() != outOverlapped.Data() || failure != crypt.LastFailure()) std::abort();
  if (ok != (failure == qv::dfNone)) std::abort();

  if (damageValidStream) {
    // Made with the right password: only damage to the salt or verifier may read as a wrong
    // one; everything else that fails is damage.
    const bool headerTouched = flipped < header;
    if (failure == qv::dfPassword && !headerTouched) std::abort();
    if (failure != qv::dfNone && failure != qv::dfPassword && failure != qv::dfCorrupt) std::abort();
    if (delta == 0 && flipped == SIZE_MAX) {
      // Untouched: must decrypt to the input exactly.
      if (!ok) std::abort();
      if (toMemory && (out.Data().size() != size ||
                      (size > 0 && std::memcmp(out.Data().data(), data, size) != 0))) {
        std::abort();
      }
    }
  }
  return 0;
}
