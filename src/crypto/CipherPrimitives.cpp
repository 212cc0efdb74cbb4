// SPDX-License-Identifier: Apache-2.0
// OpenSSL 3 marks the low-level SHA-1 calls deprecated; we need them for the raw
// compression on precomputed HMAC pad states, which EVP does not offer.
#define OPENSSL_SUPPRESS_DEPRECATED 1

#include "crypto/CipherPrimitives.h"

#include "crypto/Sha1Lanes.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

namespace qv {

namespace {

// Counter blocks encrypted per cipher call: 8 KiB of keystream stays in L1.
constexpr size_t CBatchBlocks = 512;
// Sub-chunk for authenticate-and-transform: MAC and keystream XOR run on the same
// cache-hot bytes.
constexpr size_t CHotChunk = 64 * 1024;

constexpr uint32_t CSha1Iv[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u,
                                 0xC3D2E1F0u};

inline void StoreBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint64_t LoadLittleEndian64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline void StoreLittleEndian64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline void SetState(SHA_CTX& c, const uint32_t s[5]) {
  c.h0 = s[0];
  c.h1 = s[1];
  c.h2 = s[2];
  c.h3 = s[3];
  c.h4 = s[4];
}

inline void GetState(const SHA_CTX& c, uint32_t s[5]) {
  s[0] = c.h0;
  s[1] = c.h1;
  s[2] = c.h2;
  s[3] = c.h3;
  s[4] = c.h4;
}

inline void StoreDigest(uint8_t* out, const SHA_CTX& c) {
  StoreBigEndian32(out, c.h0);
  StoreBigEndian32(out + 4, c.h1);
  StoreBigEndian32(out + 8, c.h2);
  StoreBigEndian32(out + 12, c.h3);
  StoreBigEndian32(out + 16, c.h4);
}

// out = in XOR key; in may equal out.
inline void XorBytesTo(uint8_t* out, const uint8_t* in, const uint8_t* key, size_t length) {
  // 16-byte vector lanes, four per step, so the XOR keeps up with the cipher.
  using TLane = uint64_t __attribute__((vector_size(16)));
  size_t i = 0;
  for (; i + 64 <= length; i += 64) {
    TLane a[4];
    TLane b[4];
    std::memcpy(a, in + i, 64);
    std::memcpy(b, key + i, 64);
    for (int l = 0; l < 4; ++l) a[l] ^= b[l];
    std::memcpy(out + i, a, 64);
  }
  for (; i + 8 <= length; i += 8) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, in + i, 8);
    std::memcpy(&b, key + i, 8);
    a ^= b;
    std::memcpy(out + i, &a, 8);
  }
  for (; i < length; ++i) out[i] = in[i] ^ key[i];
}

// Adds 1 to the counter's first 8 bytes (little-endian); bytes 8..15 never change.
inline void IncrementCounter(std::array<uint8_t, CAesBlockSize>& counter) {
  StoreLittleEndian64(counter.data(), LoadLittleEndian64(counter.data()) + 1);
}

const EVP_CIPHER* EcbCipher(size_t keyBytes) {
  switch (keyBytes) {
    case 16: return EVP_aes_128_ecb();
    case 24: return EVP_aes_192_ecb();
    case 32: return EVP_aes_256_ecb();
    default: return nullptr;
  }
}

// Starts the inner hash once the key is complete.
void MacStartData(THmacSha1& mac) {
  if (mac.FKeyLength < 0) return;
  if (mac.FKeyLength > static_cast<int>(CSha1BlockSize)) {
    // Keys longer than a block are replaced by their digest.
    SHA1_Final(mac.FKey.data(), &mac.FSha);
    std::fill(mac.FKey.begin() + CSha1DigestSize, mac.FKey.end(), uint8_t{0});
  }
  for (auto& b : mac.FKey) b ^= 0x36;
  SHA1_Init(&mac.FSha);
  SHA1_Update(&mac.FSha, mac.FKey.data(), mac.FKey.size());
  mac.FKeyLength = -1;
}

// Chaining state after one compression of the key block XORed with pad.
void PadState(const uint8_t key[CSha1BlockSize], uint8_t pad, SHA_CTX& out) {
  uint8_t block[CSha1BlockSize];
  for (size_t i = 0; i < CSha1BlockSize; ++i) block[i] = key[i] ^ pad;
  std::memset(&out, 0, sizeof(out));
  SetState(out, CSha1Iv);
  SHA1_Transform(&out, block);
  out.Nl = CSha1BlockSize * 8;
  SecureWipe(block, sizeof(block));
}

}  // namespace

void SecureWipe(void* data, size_t length) {
  if (data != nullptr && length > 0) OPENSSL_cleanse(data, length);
}

void Sha1Compress(uint32_t state[5], const uint8_t block[64]) {
  SHA_CTX c;
  SetState(c, state);
  SHA1_Transform(&c, block);
  GetState(c, state);
}

// ---- AES ----

void TAesSchedule::TCtxFree::operator()(evp_cipher_ctx_st* ctx) const { EVP_CIPHER_CTX_free(ctx); }

TAesSchedule::TAesSchedule() : FCtx(EVP_CIPHER_CTX_new()) {}

TAesSchedule::~TAesSchedule() = default;

bool TAesSchedule::Expand(const uint8_t* key, size_t keyLength) {
  if (keyLength == 128 || keyLength == 192 || keyLength == 256) keyLength /= 8;
  const EVP_CIPHER* cipher = EcbCipher(keyLength);
  FReady = false;
  if (cipher == nullptr || !FCtx || key == nullptr) return false;
  if (EVP_EncryptInit_ex(FCtx.get(), cipher, nullptr, key, nullptr) != 1) return false;
  EVP_CIPHER_CTX_set_padding(FCtx.get(), 0);
  FReady = true;
  return true;
}

void TAesSchedule::EncryptBlocks(const uint8_t* in, uint8_t* out, size_t count) {
  // Bounded chunks so the byte count always fits the library's int.
  constexpr size_t CMaxBlocksPerCall = (INT_MAX / CAesBlockSize) & ~size_t{15};
  while (count > 0) {
    const size_t n = std::min(count, CMaxBlocksPerCall);
    int outLength = 0;
    if (!FReady ||
        EVP_EncryptUpdate(FCtx.get(), out, &outLength, in, static_cast<int>(n * CAesBlockSize)) != 1) {
      // Never leave plaintext where keystream was expected.
      std::memset(out, 0, count * CAesBlockSize);
      return;
    }
    in += n * CAesBlockSize;
    out += n * CAesBlockSize;
    count -= n;
  }
}

bool AesExpandKey(const uint8_t* key, size_t keyLength, TAesSchedule& schedule) {
  return schedule.Expand(key, keyLength);
}

void AesEncryptBlock(TAesSchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
  schedule.EncryptBlock(in, out);
}

// ---- HMAC-SHA1 ----

void MacBegin(THmacSha1& mac) {
  SecureWipe(&mac, sizeof(mac));
  mac.FKeyLength = 0;
}

int MacKey(THmacSha1& mac, const uint8_t* key, size_t length) {
  if (mac.FKeyLength < 0) return -1;
  const size_t have = static_cast<size_t>(mac.FKeyLength);
  if (have + length > CSha1BlockSize) {
    if (have <= CSha1BlockSize) {
      SHA1_Init(&mac.FSha);
      SHA1_Update(&mac.FSha, mac.FKey.data(), have);
    }
    SHA1_Update(&mac.FSha, key, length);
  } else if (length > 0) {
    std::memcpy(mac.FKey.data() + have, key, length);
  }
  const size_t total = std::min(have + length, static_cast<size_t>(INT_MAX));
  mac.FKeyLength = static_cast<int>(total);
  return 0;
}

void MacUpdate(THmacSha1& mac, const uint8_t* data, size_t length) {
  MacStartData(mac);
  if (length > 0) SHA1_Update(&mac.FSha, data, length);
}

void MacEnd(THmacSha1& mac, uint8_t* out, size_t length) {
  MacStartData(mac);
  uint8_t inner[CSha1DigestSize];
  SHA1_Final(inner, &mac.FSha);
  for (auto& b : mac.FKey) b ^= 0x36 ^ 0x5C;
  SHA1_Init(&mac.FSha);
  SHA1_Update(&mac.FSha, mac.FKey.data(), mac.FKey.size());
  SHA1_Update(&mac.FSha, inner, sizeof(inner));
  uint8_t digest[CSha1DigestSize];
  SHA1_Final(digest, &mac.FSha);
  std::memcpy(out, digest, std::min(length, CSha1DigestSize));
  SecureWipe(inner, sizeof(inner));
  SecureWipe(digest, sizeof(digest));
}

// ---- PBKDF2 ----

namespace {

// U1 = HMAC(password, salt || INT(index)), from the pad states.
void FirstU(const SHA_CTX& innerPad, const SHA_CTX& outerPad, const uint8_t* salt,
            size_t saltLength, uint32_t index, uint8_t u[CSha1DigestSize]) {
  SHA_CTX c = innerPad;
  uint8_t counter[4];
  StoreBigEndian32(counter, index);
  SHA1_Update(&c, salt, saltLength);
  SHA1_Update(&c, counter, sizeof(counter));
  uint8_t inner[CSha1DigestSize];
  SHA1_Final(inner, &c);
  c = outerPad;
  SHA1_Update(&c, inner, sizeof(inner));
  SHA1_Final(u, &c);
  SecureWipe(inner, sizeof(inner));
  SecureWipe(&c, sizeof(c));
}

// The rest of one chain on the library's compression: t = U1 ^ U2 ^ ... ^ U(iterations).
void RunChainPortable(const SHA_CTX& innerPad, const SHA_CTX& outerPad, const uint8_t u1[CSha1DigestSize],
                      uint32_t iterations, uint8_t t[CSha1DigestSize]) {
  // One pre-padded block holding a 20-byte digest: message of 64 + 20 bytes in total.
  uint8_t block[CSha1BlockSize] = {};
  block[CSha1DigestSize] = 0x80;
  constexpr uint32_t CBits = (CSha1BlockSize + CSha1DigestSize) * 8;
  block[62] = static_cast<uint8_t>(CBits >> 8);
  block[63] = static_cast<uint8_t>(CBits);
  uint8_t u[CSha1DigestSize];
  std::memcpy(u, u1, sizeof(u));
  std::memcpy(t, u1, CSha1DigestSize);
  SHA_CTX c;
  for (uint32_t k = 1; k < iterations; ++k) {
    std::memcpy(block, u, sizeof(u));
    c = innerPad;
    SHA1_Transform(&c, block);
    StoreDigest(block, c);
    c = outerPad;
    SHA1_Transform(&c, block);
    StoreDigest(u, c);
    for (size_t j = 0; j < CSha1DigestSize; ++j) t[j] ^= u[j];
  }
  SecureWipe(u, sizeof(u));
  SecureWipe(block, sizeof(block));
  SecureWipe(&c, sizeof(c));
}

}  // namespace

std::vector<uint8_t> DeriveKeyMaterial(const uint8_t* password, size_t passwordLength,
                                       const uint8_t* salt, size_t saltLength,
                                       uint32_t iterations, size_t length) {
  std::vector<uint8_t> result(length);
  if (length == 0) return result;

  uint8_t key[CSha1BlockSize] = {};
  if (passwordLength > CSha1BlockSize) {
    SHA1(password, passwordLength, key);
  } else if (passwordLength > 0) {
    std::memcpy(key, password, passwordLength);
  }
  // The two pad states are the whole cost of keying; compute them once.
  SHA_CTX innerPad;
  SHA_CTX outerPad;
  PadState(key, 0x36, innerPad);
  PadState(key, 0x5C, outerPad);
  SecureWipe(key, sizeof(key));

  // Output blocks are independent chains: with the SHA instructions, up to four of them run
  // side by side, which hides the latency of each chain's serial compressions.
  const bool lanes = Sha1LanesActive() && iterations > 1;
  uint32_t innerWords[5];
  uint32_t outerWords[5];
  GetState(innerPad, innerWords);
  GetState(outerPad, outerWords);
  const size_t blocks = (length + CSha1DigestSize - 1) / CSha1DigestSize;
  uint8_t u1[CMaxSha1Lanes][CSha1DigestSize];
  uint8_t t[CMaxSha1Lanes][CSha1DigestSize];
  for (size_t first = 0; first < blocks; first += CMaxSha1Lanes) {
    const size_t count = std::min(CMaxSha1Lanes, blocks - first);
    for (size_t l = 0; l < count; ++l) {
      FirstU(innerPad, outerPad, salt, saltLength, static_cast<uint32_t>(first + l + 1), u1[l]);
    }
    if (lanes) {
      Pbkdf2Sha1Lanes(innerWords, outerWords, u1, t, count, iterations);
    } else {
      for (size_t l = 0; l < count; ++l) RunChainPortable(innerPad, outerPad, u1[l], iterations, t[l]);
    }
    for (size_t l = 0; l < count; ++l) {
      const size_t offset = (first + l) * CSha1DigestSize;
      std::memcpy(result.data() + offset, t[l], std::min(CSha1DigestSize, length - offset));
    }
  }
  SecureWipe(u1, sizeof(u1));
  SecureWipe(t, sizeof(t));
  SecureWipe(innerWords, sizeof(innerWords));
  SecureWipe(outerWords, sizeof(outerWords));
  SecureWipe(&innerPad, sizeof(innerPad));
  SecureWipe(&outerPad, sizeof(outerPad));
  return result;
}

// ---- per-stream context ----

int InitCryptContextFromKey(int mode, size_t passwordLength, const uint8_t* keyMaterial,
                            TFCryptContext& context, uint8_t verifier[CVerifierLength]) {
  if (passwordLength > CMaxPasswordLength) return CPasswordTooLong;
  if (mode < 1 || mode > 3) return CBadMode;
  const size_t k = KeyLength(mode);
  context.FMode = static_cast<uint32_t>(mode);
  context.FPasswordLength = static_cast<uint32_t>(passwordLength);
  context.FPosition = CAesBlockSize;
  context.FCounter.fill(0);
  context.FKeystream.fill(0);
  context.FAes.Expand(keyMaterial, k);
  MacBegin(context.FMac);
  MacKey(context.FMac, keyMaterial + k, k);
  verifier[0] = keyMaterial[2 * k];
  verifier[1] = keyMaterial[2 * k + 1];
  return 0;
}

int InitCryptContext(int mode, const uint8_t* password, size_t passwordLength,
                     const uint8_t* salt, TFCryptContext& context,
                     uint8_t verifier[CVerifierLength]) {
  if (passwordLength > CMaxPasswordLength) return CPasswordTooLong;
  if (mode < 1 || mode > 3) return CBadMode;
  std::vector<uint8_t> material = DeriveKeyMaterial(password, passwordLength, salt, SaltLength(mode),
                                                    CKeyIterations, DerivedLength(mode));
  const int status = InitCryptContextFromKey(mode, passwordLength, material.data(), context, verifier);
  SecureWipe(material.data(), material.size());
  return status;
}

void CtrTransform(uint8_t* data, size_t length, TFCryptContext& context) {
  CtrTransformTo(data, data, length, context);
}

void CtrTransformTo(const uint8_t* in, uint8_t* out, size_t length, TFCryptContext& context) {
  size_t i = 0;
  // Rest of the current keystream block.
  while (i < length && context.FPosition < CAesBlockSize) {
    out[i] = in[i] ^ context.FKeystream[context.FPosition++];
    ++i;
  }
  size_t fullBlocks = (length - i) / CAesBlockSize;
  if (fullBlocks > 0 && context.FBatch.size() < CBatchBlocks * CAesBlockSize) {
    context.FBatch.resize(CBatchBlocks * CAesBlockSize);
  }
  uint64_t counter = LoadLittleEndian64(context.FCounter.data());
  while (fullBlocks > 0) {
    const size_t n = std::min(fullBlocks, CBatchBlocks);
    uint8_t* batch = context.FBatch.data();
    for (size_t b = 0; b < n; ++b) {
      uint8_t* block = batch + b * CAesBlockSize;
      StoreLittleEndian64(block, ++counter);
      std::memcpy(block + 8, context.FCounter.data() + 8, 8);
    }
    context.FAes.EncryptBlocks(batch, batch, n);
    XorBytesTo(out + i, in + i, batch, n * CAesBlockSize);
    i += n * CAesBlockSize;
    fullBlocks -= n;
  }
  StoreLittleEndian64(context.FCounter.data(), counter);
  if (i < length) {
    IncrementCounter(context.FCounter);
    context.FAes.EncryptBlock(context.FCounter.data(), context.FKeystream.data());
    context.FPosition = 0;
    for (; i < length; ++i) out[i] = in[i] ^ context.FKeystream[context.FPosition++];
  }
}

void EncryptData(uint8_t* data, size_t length, TFCryptContext& context) {
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(CHotChunk, length - done);
    CtrTransform(data + done, n, context);
    MacUpdate(context.FMac, data + done, n);
    done += n;
  }
}

void DecryptData(uint8_t* data, size_t length, TFCryptContext& context) {
  for (size_t done = 0; done < length;) {
    const size_t n = std::min(CHotChunk, length - done);
    MacUpdate(context.FMac, data + done, n);
    CtrTransform(data + done, n, context);
    done += n;
  }
}

std::array<uint8_t, CMacLength> FinishMac(TFCryptContext& context) {
  std::array<uint8_t, CMacLength> code{};
  MacEnd(context.FMac, code.data(), code.size());
  return code;
}

}  // namespace qv
