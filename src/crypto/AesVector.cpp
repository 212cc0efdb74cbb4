#include "crypto/AesVector.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QV_AES_VECTOR 1
#endif

namespace qv {

namespace {

std::atomic<bool> GVectorEnabled{true};

#ifdef QV_AES_VECTOR

#define QV_AES_TARGET __attribute__((target("aes,sse4.1")))
#define QV_VAES_TARGET __attribute__((target("aes,avx2,vaes")))

bool CpuHasAes() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_AES) != 0 && (c & bit_SSE4_1) != 0;
}

// The wide registers need the OS to save them (XCR0 bits 1 and 2).
bool OsSavesYmm() {
  uint32_t low = 0;
  uint32_t high = 0;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return (low & 6u) == 6u;
}

bool CpuHasVectorAes() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!CpuHasAes()) return false;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
    if (!OsSavesYmm()) return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return (b & bit_AVX2) != 0 && (c & bit_VAES) != 0;
  }();
  return has;
}

// SubWord of the key schedule, from the key-generation assist (its lowest result dword is
// SubWord of source dword 1).
QV_AES_TARGET uint32_t SubWord(uint32_t w) {
  return static_cast<uint32_t>(
      _mm_cvtsi128_si32(_mm_aeskeygenassist_si128(_mm_set_epi32(0, 0, static_cast<int>(w), 0), 0)));
}

inline uint32_t RotWord(uint32_t w) { return (w >> 8) | (w << 24); }  // bytes a1 a2 a3 a0

QV_VAES_TARGET inline __m256i EncryptPair(__m256i x, const __m256i* rk, int rounds) {
  x = _mm256_xor_si256(x, rk[0]);
  for (int r = 1; r < rounds; ++r) x = _mm256_aesenc_epi128(x, rk[r]);
  return _mm256_aesenclast_epi128(x, rk[rounds]);
}

QV_VAES_TARGET inline void XorStore(uint8_t* out, const uint8_t* in, __m256i keystream) {
  const __m256i data = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_xor_si256(data, keystream));
}

#endif  // QV_AES_VECTOR

}  // namespace

bool AesVectorActive() {
#ifdef QV_AES_VECTOR
  return GVectorEnabled.load(std::memory_order_relaxed) && CpuHasVectorAes();
#else
  return false;
#endif
}

bool SetAesVectorEnabled(bool enabled) { return GVectorEnabled.exchange(enabled); }

bool AesVectorExpand(const uint8_t* key, size_t keyBytes, TAesVectorKey& out) {
  out.FRounds = 0;
#ifdef QV_AES_VECTOR
  if ((keyBytes != 16 && keyBytes != 24 && keyBytes != 32) || key == nullptr || !CpuHasAes()) return false;
  // FIPS-197 key expansion on little-endian words (byte 0 lowest).
  const size_t nk = keyBytes / 4;
  const int rounds = static_cast<int>(nk) + 6;
  const size_t total = 4 * static_cast<size_t>(rounds + 1);
  uint32_t w[60];
  std::memcpy(w, key, keyBytes);
  uint32_t rcon = 1;
  for (size_t i = nk; i < total; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = SubWord(RotWord(t)) ^ rcon;
      rcon = ((rcon << 1) ^ ((rcon & 0x80) != 0 ? 0x1B : 0)) & 0xFF;
    } else if (nk > 6 && i % nk == 4) {
      t = SubWord(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  std::memcpy(out.FRoundKeys, w, total * 4);
  out.FRounds = rounds;
  volatile uint32_t* wipe = w;
  for (size_t i = 0; i < total; ++i) wipe[i] = 0;
  return true;
#else
  (void)key, (void)keyBytes;
  return false;
#endif
}

#ifdef QV_AES_VECTOR
QV_VAES_TARGET uint64_t AesVectorCtr(const TAesVectorKey& key, uint64_t counter, uint64_t high,
                                     const uint8_t* in, uint8_t* out, size_t blocks) {
  const int rounds = key.FRounds;
  __m256i rk[15];
  for (int r = 0; r <= rounds; ++r) {
    rk[r] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(key.FRoundKeys[r])));
  }
  const auto hi = static_cast<long long>(high);
  // Low lane block counter+1, high lane counter+2; 64-bit adds wrap like the byte carry.
  __m256i next = _mm256_set_epi64x(hi, static_cast<long long>(counter + 2), hi, static_cast<long long>(counter + 1));
  const __m256i two = _mm256_set_epi64x(0, 2, 0, 2);
  size_t i = 0;
  // Four pairs at a time, so the cipher rounds of independent blocks overlap.
  for (; i + 8 <= blocks; i += 8) {
    __m256i x0 = next;
    __m256i x1 = _mm256_add_epi64(x0, two);
    __m256i x2 = _mm256_add_epi64(x1, two);
    __m256i x3 = _mm256_add_epi64(x2, two);
    next = _mm256_add_epi64(x3, two);
    x0 = _mm256_xor_si256(x0, rk[0]);
    x1 = _mm256_xor_si256(x1, rk[0]);
    x2 = _mm256_xor_si256(x2, rk[0]);
    x3 = _mm256_xor_si256(x3, rk[0]);
    for (int r = 1; r < rounds; ++r) {
      x0 = _mm256_aesenc_epi128(x0, rk[r]);
      x1 = _mm256_aesenc_epi128(x1, rk[r]);
      x2 = _mm256_aesenc_epi128(x2, rk[r]);
      x3 = _mm256_aesenc_epi128(x3, rk[r]);
    }
    x0 = _mm256_aesenclast_epi128(x0, rk[rounds]);
    x1 = _mm256_aesenclast_epi128(x1, rk[rounds]);
    x2 = _mm256_aesenclast_epi128(x2, rk[rounds]);
    x3 = _mm256_aesenclast_epi128(x3, rk[rounds]);
    XorStore(out + i * 16, in + i * 16, x0);
    XorStore(out + i * 16 + 32, in + i * 16 + 32, x1);
    XorStore(out + i * 16 + 64, in + i * 16 + 64, x2);
    XorStore(out + i * 16 + 96, in + i * 16 + 96, x3);
  }
  for (; i + 2 <= blocks; i += 2) {
    XorStore(out + i * 16, in + i * 16, EncryptPair(next, rk, rounds));
    next = _mm256_add_epi64(next, two);
  }
  if (i < blocks) {
    const __m128i keystream = _mm256_castsi256_si128(EncryptPair(next, rk, rounds));
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i * 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i * 16), _mm_xor_si128(data, keystream));
  }
  // The round keys on the stack are as secret as the key.
  for (int r = 0; r <= rounds; ++r) rk[r] = _mm256_setzero_si256();
  __asm__ volatile("" : : "r"(rk) : "memory");
  return counter + blocks;
}
#else
uint64_t AesVectorCtr(const TAesVectorKey&, uint64_t counter, uint64_t, const uint8_t*, uint8_t*, size_t blocks) {
  return counter + blocks;
}
#endif

}  // namespace qv
