// SPDX-License-Identifier: Apache-2.0
// The crypto backend of the Windows build: AES blocks from CNG (bcrypt), SHA-1 of our own,
// since CNG hides the compression function that the precomputed HMAC pads need.
#include <bcrypt.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <mutex>

struct evp_cipher_st {
  size_t KeyBytes;
};

struct evp_cipher_ctx_st {
  BCRYPT_KEY_HANDLE Key = nullptr;
};

namespace {

constexpr evp_cipher_st CAes128{16};
constexpr evp_cipher_st CAes192{24};
constexpr evp_cipher_st CAes256{32};

// One provider for the process, in ECB mode: the counter blocks are built by the caller.
BCRYPT_ALG_HANDLE AesProvider() {
  static BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (BCryptOpenAlgorithmProvider(&h, BCRYPT_AES_ALGORITHM, nullptr, 0) < 0) return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    if (BCryptSetProperty(h, BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                          sizeof(BCRYPT_CHAIN_MODE_ECB), 0) < 0) {
      BCryptCloseAlgorithmProvider(h, 0);
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    }
    return h;
  }();
  return provider;
}

inline uint32_t Rol(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadBigEndian(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace

const EVP_CIPHER* EVP_aes_128_ecb() { return &CAes128; }
const EVP_CIPHER* EVP_aes_192_ecb() { return &CAes192; }
const EVP_CIPHER* EVP_aes_256_ecb() { return &CAes256; }

EVP_CIPHER_CTX* EVP_CIPHER_CTX_new() { return new evp_cipher_ctx_st; }

void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX* ctx) {
  if (ctx == nullptr) return;
  if (ctx->Key) BCryptDestroyKey(ctx->Key);
  delete ctx;
}

int EVP_EncryptInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, ENGINE*, const unsigned char* key,
                       const unsigned char*) {
  if (ctx == nullptr || cipher == nullptr || key == nullptr || AesProvider() == nullptr) return 0;
  if (ctx->Key) {
    BCryptDestroyKey(ctx->Key);
    ctx->Key = nullptr;
  }
  if (BCryptGenerateSymmetricKey(AesProvider(), &ctx->Key, nullptr, 0, const_cast<PUCHAR>(key),
                                 static_cast<ULONG>(cipher->KeyBytes), 0) < 0) {
    ctx->Key = nullptr;
    return 0;
  }
  return 1;
}

int EVP_CIPHER_CTX_set_padding(EVP_CIPHER_CTX*, int) { return 1; }

int EVP_EncryptUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outLength, const unsigned char* in, int inLength) {
  if (ctx == nullptr || ctx->Key == nullptr || inLength < 0 || inLength % 16 != 0) return 0;
  ULONG done = 0;
  if (BCryptEncrypt(ctx->Key, const_cast<PUCHAR>(in), static_cast<ULONG>(inLength), nullptr, nullptr, 0, out,
                    static_cast<ULONG>(inLength), &done, 0) < 0)
    return 0;
  *outLength = static_cast<int>(done);
  return 1;
}

void OPENSSL_cleanse(void* data, size_t length) { SecureZeroMemory(data, length); }

int CRYPTO_memcmp(const void* a, const void* b, size_t length) {
  const auto* x = static_cast<const volatile unsigned char*>(a);
  const auto* y = static_cast<const volatile unsigned char*>(b);
  unsigned char diff = 0;
  for (size_t i = 0; i < length; ++i) diff |= x[i] ^ y[i];
  return diff;
}

// ---- SHA-1 (FIPS 180-4) ----

void SHA1_Transform(SHA_CTX* c, const unsigned char* block) {
  uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  uint32_t a = c->h0, b = c->h1, d = c->h3, e = c->h4, cc = c->h2;
  for (int i = 0; i < 80; ++i) {
    uint32_t f;
    uint32_t k;
    if (i < 20) {
      f = (b & cc) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ cc ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & cc) | (b & d) | (cc & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ cc ^ d;
      k = 0xCA62C1D6u;
    }
    const uint32_t t = Rol(a, 5) + f + e + k + w[i];
    e = d;
    d = cc;
    cc = Rol(b, 30);
    b = a;
    a = t;
  }
  c->h0 += a;
  c->h1 += b;
  c->h2 += cc;
  c->h3 += d;
  c->h4 += e;
}

int SHA1_Init(SHA_CTX* c) {
  std::memset(c, 0, sizeof *c);
  c->h0 = 0x67452301u;
  c->h1 = 0xEFCDAB89u;
  c->h2 = 0x98BADCFEu;
  c->h3 = 0x10325476u;
  c->h4 = 0xC3D2E1F0u;
  return 1;
}

int SHA1_Update(SHA_CTX* c, const void* data, size_t length) {
  const auto* p = static_cast<const unsigned char*>(data);
  const uint64_t bits = (static_cast<uint64_t>(c->Nh) << 32 | c->Nl) + static_cast<uint64_t>(length) * 8;
  c->Nl = static_cast<uint32_t>(bits);
  c->Nh = static_cast<uint32_t>(bits >> 32);
  auto* buffer = reinterpret_cast<unsigned char*>(c->data);
  if (c->num > 0) {
    const size_t take = std::min<size_t>(64 - c->num, length);
    std::memcpy(buffer + c->num, p, take);
    c->num += static_cast<unsigned>(take);
    p += take;
    length -= take;
    if (c->num < 64) return 1;
    SHA1_Transform(c, buffer);
    c->num = 0;
  }
  for (; length >= 64; p += 64, length -= 64) SHA1_Transform(c, p);
  std::memcpy(buffer, p, length);
  c->num = static_cast<unsigned>(length);
  return 1;
}

int SHA1_Final(unsigned char* md, SHA_CTX* c) {
  const uint64_t bits = static_cast<uint64_t>(c->Nh) << 32 | c->Nl;
  auto* buffer = reinterpret_cast<unsigned char*>(c->data);
  buffer[c->num++] = 0x80;
  if (c->num > 56) {
    std::memset(buffer + c->num, 0, 64 - c->num);
    SHA1_Transform(c, buffer);
    c->num = 0;
  }
  std::memset(buffer + c->num, 0, 56 - c->num);
  for (int i = 0; i < 8; ++i) buffer[56 + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  SHA1_Transform(c, buffer);
  const uint32_t h[5] = {c->h0, c->h1, c->h2, c->h3, c->h4};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 4; ++j) md[4 * i + j] = static_cast<unsigned char>(h[i] >> (24 - 8 * j));
  SecureZeroMemory(c, sizeof *c);
  return 1;
}

unsigned char* SHA1(const unsigned char* data, size_t length, unsigned char* md) {
  SHA_CTX c;
  SHA1_Init(&c);
  SHA1_Update(&c, data, length);
  SHA1_Final(md, &c);
  return md;
}
