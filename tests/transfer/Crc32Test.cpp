// SPDX-License-Identifier: Apache-2.0
#include "transfer/Crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

using namespace qv;

TEST(Crc32, MatchesZlibInOneAndInManySteps) {
  EXPECT_EQ(Crc32Update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(Crc32Update(0, nullptr, 0), 0u);
  std::vector<unsigned char> data(100003);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<unsigned char>(rng());
  const auto expected = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
  EXPECT_EQ(Crc32Update(0, data.data(), data.size()), expected);
  uint32_t crc = 0;
  for (size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step * 3 + 1)
    crc = Crc32Update(crc, data.data() + pos, std::min(step, data.size() - pos));
  EXPECT_EQ(crc, expected);
}
