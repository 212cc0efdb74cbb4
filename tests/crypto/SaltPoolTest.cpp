// SPDX-License-Identifier: Apache-2.0
#include "crypto/SaltPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "crypto/CipherPrimitives.h"
#include "crypto/CryptoTestUtil.h"

namespace qv {
namespace {

// A reproducible source that hands out one byte per call, to exercise the refill loop.
uint8_t gCounterSeed = 0;
size_t CountingSource(uint8_t* buffer, size_t count) {
  if (count == 0) return 0;
  buffer[0] = gCounterSeed++;
  return 1;
}

size_t SilentSource(uint8_t*, size_t) { return 0; }

std::vector<uint8_t> Read(TPrngContext& g, size_t n) {
  std::vector<uint8_t> out(n);
  PoolRead(out.data(), n, g);
  return out;
}

TEST(SaltPool, SaltsDifferOnEachRead) {
  TPrngContext g;
  PoolInit(EntropySample, g);
  std::set<std::vector<uint8_t>> seen;
  for (int i = 0; i < 200; ++i) {
    for (size_t n : {8u, 12u, 16u}) EXPECT_TRUE(seen.insert(Read(g, n)).second);
  }
}

TEST(SaltPool, ReadAcrossARefreshDoesNotRepeat) {
  TPrngContext g;
  PoolInit(EntropySample, g);
  const auto big = Read(g, 600);
  // No 16-byte window may appear twice: a refresh that replayed the buffer would show up.
  std::set<std::vector<uint8_t>> windows;
  for (size_t i = 0; i + 16 <= big.size(); i += 4) {
    EXPECT_TRUE(windows.insert(std::vector<uint8_t>(big.begin() + i, big.begin() + i + 16)).second) << i;
  }
}

TEST(SaltPool, PiecewiseReadsEqualOneRead) {
  // With the same reproducible source, the byte sequence does not depend on read sizes.
  TPrngContext a;
  TPrngContext b;
  gCounterSeed = 3;
  PoolInit(CountingSource, a);
  const auto whole = Read(a, 700);
  gCounterSeed = 3;
  PoolInit(CountingSource, b);
  std::vector<uint8_t> pieces;
  for (size_t n : {8u, 12u, 16u, 260u, 1u, 403u}) {
    const auto part = Read(b, n);
    pieces.insert(pieces.end(), part.begin(), part.end());
  }
  pieces.resize(whole.size());
  EXPECT_EQ(pieces, whole);
}

TEST(SaltPool, SourceThatGivesNothingStillTerminates) {
  TPrngContext g;
  PoolInit(SilentSource, g);
  const auto a = Read(g, 16);
  const auto b = Read(g, 16);
  EXPECT_NE(a, b);
}

TEST(SaltPool, WipeZeroesEverything) {
  TPrngContext g;
  PoolInit(EntropySample, g);
  Read(g, 30);
  PoolWipe(g);
  EXPECT_TRUE(std::all_of(g.FPool.begin(), g.FPool.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(g.FOutput.begin(), g.FOutput.end(), [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(g.FPosition, 0u);
  EXPECT_EQ(g.FSource, nullptr);
}

TEST(PoolMix, ChainsCyclicallySoOneBitReachesEveryDigest) {
  auto base = test::RandomBytes(CPoolSize, 5);
  auto flipped = base;
  flipped[CPoolSize - 1] ^= 0x01;  // last byte: feeds the chaining state of the first step
  PoolMix(base.data());
  PoolMix(flipped.data());
  for (size_t i = 0; i < CPoolSize; i += 20) {
    EXPECT_NE(std::vector<uint8_t>(base.begin() + i, base.begin() + i + 20),
              std::vector<uint8_t>(flipped.begin() + i, flipped.begin() + i + 20))
        << "digest at " << i;
  }
}

TEST(PoolMix, FirstStepIsOneCompressionOfTheWrappedBlock) {
  auto buffer = test::RandomBytes(CPoolSize, 6);
  const auto original = buffer;
  PoolMix(buffer.data());
  // Step 0: chaining words are bytes 240..259 (little-endian), message bytes 0..63.
  uint32_t state[5];
  for (int w = 0; w < 5; ++w) {
    const uint8_t* p = original.data() + 240 + 4 * w;
    state[w] = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
  }
  Sha1Compress(state, original.data());
  for (int w = 0; w < 5; ++w) {
    const uint8_t* p = buffer.data() + 4 * w;
    EXPECT_EQ(state[w], p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24) << w;
  }
}

}  // namespace
}  // namespace qv
