// SPDX-License-Identifier: Apache-2.0
#pragma once
// Salt generator: a 260-byte pool stirred with the SHA-1 compression function and refilled
// from an entropy source. Salts only need to be unpredictable; readers never depend on them.
#include <array>
#include <cstddef>
#include <cstdint>

namespace qv {

inline constexpr size_t CPoolSize = 260;  // 13 SHA-1 digests

// Fills up to count bytes and answers how many it filled.
using TEntropySource = size_t (*)(uint8_t* buffer, size_t count);

struct TPrngContext {
  std::array<uint8_t, CPoolSize> FPool{};
  std::array<uint8_t, CPoolSize> FOutput{};
  uint32_t FPosition = 0;
  TEntropySource FSource = nullptr;
};

// The system's random source (getrandom); answers the bytes filled, at least 1 per call.
size_t EntropySample(uint8_t* buffer, size_t count);

void PoolInit(TEntropySource source, TPrngContext& generator);
void PoolRead(uint8_t* out, size_t count, TPrngContext& generator);
void PoolMix(uint8_t buffer[CPoolSize]);
void PoolRefresh(TPrngContext& generator);
// Sets every byte of the generator to zero.
void PoolWipe(TPrngContext& generator);

}  // namespace qv
