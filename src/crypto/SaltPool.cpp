// SPDX-License-Identifier: Apache-2.0
#include "crypto/SaltPool.h"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "crypto/CipherPrimitives.h"

namespace qv {

namespace {

// The clock as last resort, so the pool never waits on a source that gives nothing.
size_t ClockSample(uint8_t* buffer, size_t count) {
  const auto ticks = static_cast<uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  const size_t n = std::min<size_t>(count, 8);
  for (size_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(ticks >> (8 * i));
  return n;
}

}  // namespace

size_t EntropySample(uint8_t* buffer, size_t count) {
  if (count == 0) return 0;
  for (;;) {
    const ssize_t got = getrandom(buffer, count, 0);
    if (got > 0) return static_cast<size_t>(got);
    if (got < 0 && errno == EINTR) continue;
    return ClockSample(buffer, count);
  }
}

void PoolMix(uint8_t buffer[CPoolSize]) {
  for (size_t i = 0; i < CPoolSize; i += CSha1DigestSize) {
    // Chaining words from the 20 bytes before i, cyclically; little-endian words.
    const size_t prev = (i + CPoolSize - CSha1DigestSize) % CPoolSize;
    uint32_t state[5];
    for (size_t w = 0; w < 5; ++w) {
      const uint8_t* p = buffer + prev + 4 * w;
      state[w] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    uint8_t block[CSha1BlockSize];
    for (size_t j = 0; j < CSha1BlockSize; ++j) block[j] = buffer[(i + j) % CPoolSize];
    Sha1Compress(state, block);
    for (size_t w = 0; w < 5; ++w) {
      uint8_t* p = buffer + i + 4 * w;
      for (size_t b = 0; b < 4; ++b) p[b] = static_cast<uint8_t>(state[w] >> (8 * b));
    }
    SecureWipe(block, sizeof(block));
  }
}

void PoolRefresh(TPrngContext& generator) {
  generator.FOutput = generator.FPool;
  size_t filled = 0;
  while (filled < CPoolSize) {
    const size_t missing = CPoolSize - filled;
    size_t n = generator.FSource != nullptr ? generator.FSource(generator.FPool.data() + filled, missing) : 0;
    if (n == 0 || n > missing) n = ClockSample(generator.FPool.data() + filled, missing);
    filled += n;
  }
  for (size_t i = 0; i < CPoolSize; ++i) {
    generator.FPool[i] ^= static_cast<uint8_t>(~generator.FOutput[i]);
  }
  PoolMix(generator.FPool.data());
  PoolMix(generator.FOutput.data());
}

void PoolInit(TEntropySource source, TPrngContext& generator) {
  PoolWipe(generator);
  generator.FSource = source;
  PoolRefresh(generator);
  for (int i = 0; i < 20; ++i) PoolMix(generator.FPool.data());
  PoolRefresh(generator);
}

void PoolRead(uint8_t* out, size_t count, TPrngContext& generator) {
  while (count > 0) {
    if (generator.FPosition >= CPoolSize) {
      PoolRefresh(generator);
      generator.FPosition = 0;
    }
    const size_t n = std::min<size_t>(count, CPoolSize - generator.FPosition);
    std::memcpy(out, generator.FOutput.data() + generator.FPosition, n);
    generator.FPosition += static_cast<uint32_t>(n);
    out += n;
    count -= n;
  }
}

void PoolWipe(TPrngContext& generator) {
  SecureWipe(generator.FPool.data(), generator.FPool.size());
  SecureWipe(generator.FOutput.data(), generator.FOutput.size());
  generator.FPosition = 0;
  generator.FSource = nullptr;
}

}  // namespace qv
