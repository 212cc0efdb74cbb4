// SPDX-License-Identifier: Apache-2.0
#include "crypto/Sha1Lanes.h"

#include <atomic>
#include <cstring>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QV_SHA1_LANES 1
#endif

namespace qv {

namespace {

std::atomic<bool> GLanesEnabled{true};

#ifdef QV_SHA1_LANES

// Straight from CPUID: not every compiler knows "sha" as a __builtin_cpu_supports name.
bool CpuHasShaExtensions() {
  static const bool has = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & bit_SSSE3) != 0;
    const bool sse41 = (c & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & bit_SHA) != 0;
  }();
  return has;
}

#define QV_SHA_TARGET __attribute__((target("sha,ssse3,sse4.1")))
#define QV_SHA_INLINE inline __attribute__((always_inline, target("sha,ssse3,sse4.1")))

// Register layout of the SHA instructions: the chaining words A..D with A in the top
// dword; E alone in the top dword; message words W0..W3 of a group with W0 on top. A
// digest in the ABCD layout is therefore already the first four message words of the
// next compression, so the chains never leave the registers between compressions.
template <size_t N>
struct TLanes {
  __m128i abcd[N];
  __m128i e[N];
};

// One group of four rounds (G = 0..19) in every lane, with the message schedule for the
// groups ahead: M(G+1) gets its second half, M(G+2) its middle XOR, M(G+3) its first half.
template <int G, size_t N>
QV_SHA_INLINE void RoundGroup(__m128i (&abcd)[N], __m128i (&eEven)[N], __m128i (&eOdd)[N],
                              __m128i (&m)[N][4]) {
  auto& eUse = (G % 2 == 0) ? eEven : eOdd;
  auto& eNext = (G % 2 == 0) ? eOdd : eEven;
#pragma GCC unroll 4
  for (size_t l = 0; l < N; ++l) {
    if constexpr (G > 0) eUse[l] = _mm_sha1nexte_epu32(eUse[l], m[l][G % 4]);
    eNext[l] = abcd[l];
    abcd[l] = _mm_sha1rnds4_epu32(abcd[l], eUse[l], G / 5);
    if constexpr (G >= 3 && G <= 18) m[l][(G + 1) % 4] = _mm_sha1msg2_epu32(m[l][(G + 1) % 4], m[l][G % 4]);
    if constexpr (G >= 1 && G <= 16) m[l][(G + 3) % 4] = _mm_sha1msg1_epu32(m[l][(G + 3) % 4], m[l][G % 4]);
    if constexpr (G >= 2 && G <= 17) m[l][(G + 2) % 4] = _mm_xor_si128(m[l][(G + 2) % 4], m[l][G % 4]);
  }
}

template <size_t N, int... G>
QV_SHA_INLINE void AllRounds(__m128i (&abcd)[N], __m128i (&eEven)[N], __m128i (&eOdd)[N],
                             __m128i (&m)[N][4], std::integer_sequence<int, G...>) {
  (RoundGroup<G, N>(abcd, eEven, eOdd, m), ...);
}

// One compression per lane of the 20-byte message in s (padded to 64 + 20 bytes in total)
// on top of the pad state; the result replaces s.
template <size_t N>
QV_SHA_INLINE void CompressDigest(TLanes<N>& s, __m128i padAbcd, __m128i padE) {
  const __m128i padding = _mm_set_epi32(0, static_cast<int>(0x80000000u), 0, 0);
  const __m128i length = _mm_set_epi32(0, 0, 0, (64 + 20) * 8);
  __m128i m[N][4];
  __m128i eEven[N];
  __m128i eOdd[N];
#pragma GCC unroll 4
  for (size_t l = 0; l < N; ++l) {
    m[l][0] = s.abcd[l];
    m[l][1] = _mm_blend_epi16(padding, s.e[l], 0xC0);
    m[l][2] = _mm_setzero_si128();
    m[l][3] = length;
    s.abcd[l] = padAbcd;
    eEven[l] = _mm_add_epi32(padE, m[l][0]);
  }
  AllRounds<N>(s.abcd, eEven, eOdd, m, std::make_integer_sequence<int, 20>{});
#pragma GCC unroll 4
  for (size_t l = 0; l < N; ++l) {
    s.e[l] = _mm_sha1nexte_epu32(eEven[l], padE);
    s.abcd[l] = _mm_add_epi32(s.abcd[l], padAbcd);
  }
}

QV_SHA_INLINE __m128i ByteReverse() {
  return _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
}

QV_SHA_INLINE __m128i LoadAbcd(const uint32_t w[5]) {
  return _mm_set_epi32(static_cast<int>(w[0]), static_cast<int>(w[1]), static_cast<int>(w[2]),
                       static_cast<int>(w[3]));
}

QV_SHA_INLINE __m128i LoadE(uint32_t e) { return _mm_set_epi32(static_cast<int>(e), 0, 0, 0); }

template <size_t N>
QV_SHA_TARGET void RunChains(const uint32_t innerPad[5], const uint32_t outerPad[5],
                             const uint8_t (*u1)[20], uint8_t (*t)[20], uint32_t iterations) {
  const __m128i innerAbcd = LoadAbcd(innerPad);
  const __m128i innerE = LoadE(innerPad[4]);
  const __m128i outerAbcd = LoadAbcd(outerPad);
  const __m128i outerE = LoadE(outerPad[4]);
  const __m128i reverse = ByteReverse();
  TLanes<N> u;
  for (size_t l = 0; l < N; ++l) {
    uint32_t e;
    std::memcpy(&e, u1[l] + 16, 4);
    u.abcd[l] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(u1[l])), reverse);
    u.e[l] = LoadE(__builtin_bswap32(e));
  }
  TLanes<N> sum = u;
  for (uint32_t k = 1; k < iterations; ++k) {
    CompressDigest<N>(u, innerAbcd, innerE);
    CompressDigest<N>(u, outerAbcd, outerE);
#pragma GCC unroll 4
    for (size_t l = 0; l < N; ++l) {
      sum.abcd[l] = _mm_xor_si128(sum.abcd[l], u.abcd[l]);
      sum.e[l] = _mm_xor_si128(sum.e[l], u.e[l]);
    }
  }
  for (size_t l = 0; l < N; ++l) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(t[l]), _mm_shuffle_epi8(sum.abcd[l], reverse));
    const uint32_t e = __builtin_bswap32(static_cast<uint32_t>(_mm_extract_epi32(sum.e[l], 3)));
    std::memcpy(t[l] + 16, &e, 4);
  }
}

#endif  // QV_SHA1_LANES

}  // namespace

bool Sha1LanesActive() {
#ifdef QV_SHA1_LANES
  return GLanesEnabled.load(std::memory_order_relaxed) && CpuHasShaExtensions();
#else
  return false;
#endif
}

bool SetSha1LanesEnabled(bool enabled) { return GLanesEnabled.exchange(enabled); }

void Pbkdf2Sha1Lanes(const uint32_t innerPad[5], const uint32_t outerPad[5],
                     const uint8_t (*u1)[20], uint8_t (*t)[20], size_t count, uint32_t iterations) {
#ifdef QV_SHA1_LANES
  switch (count) {
    case 1: RunChains<1>(innerPad, outerPad, u1, t, iterations); break;
    case 2: RunChains<2>(innerPad, outerPad, u1, t, iterations); break;
    case 3: RunChains<3>(innerPad, outerPad, u1, t, iterations); break;
    case 4: RunChains<4>(innerPad, outerPad, u1, t, iterations); break;
    default: break;
  }
#else
  (void)innerPad, (void)outerPad, (void)u1, (void)t, (void)count, (void)iterations;
#endif
}

}  // namespace qv
