// SPDX-License-Identifier: Apache-2.0
#include "base/ReadBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace qv {
namespace {

// Wherever a stream starts, the whole buffer stays usable (ASan checks the writes) and lines
// up with the file position.
TEST(ReadBuffer, PlacedForAnyPositionKeepsItsSizeAndTheLineOffset) {
  const int64_t positions[] = {0, 1, 10, 15, 63, 64, 65, 4095, int64_t{5} << 32};
  for (const size_t size : {size_t{1}, size_t{100}, size_t{65536}}) {
    TReadBuffer buffer(size);
    ASSERT_TRUE(buffer.Valid());
    EXPECT_EQ(buffer.Size(), size);
    for (const int64_t position : positions) {
      SCOPED_TRACE(std::to_string(size) + " at " + std::to_string(position));
      buffer.Place(position);
      const auto address = reinterpret_cast<uintptr_t>(buffer.Data());
      EXPECT_EQ(address % TReadBuffer::kLine, static_cast<uint64_t>(position) % TReadBuffer::kLine);
      std::memset(buffer.Data(), 0x5a, buffer.Size());
      EXPECT_EQ(buffer.Data()[size - 1], 0x5a);
    }
  }
  EXPECT_FALSE(TReadBuffer().Valid());
}

}  // namespace
}  // namespace qv
