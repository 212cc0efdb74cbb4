// SPDX-License-Identifier: Apache-2.0
// The raw-deflate decoder on whichever engine this build uses.
#include "transfer/Inflater.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace qv {
namespace {

std::vector<uint8_t> MixedData(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> data(size);
  const std::string words = "alpha beta gamma delta backup restore archive ";
  for (size_t i = 0; i < size; ++i) {
    // stretches of text and stretches of noise, so both literal and match paths run
    bool noise = (i / 4096) % 3 == 2;
    data[i] = noise ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(words[(i * 7 + i / 13) % words.size()]);
  }
  return data;
}

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& in, int level = 6) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<uint8_t> out(deflateBound(&z, in.size()) + 16);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct TRun {
  std::vector<uint8_t> Output;
  TInflateStatus Last = TInflateStatus::Ok;
  size_t Unused = 0;
};

// Feeds input in chunks of inChunk and drains output in pieces of outChunk.
TRun InflateAll(TInflater& inf, const std::vector<uint8_t>& input, size_t inChunk, size_t outChunk) {
  TRun run;
  std::vector<uint8_t> out(outChunk);
  size_t pos = 0;
  for (;;) {
    if (inf.AvailIn() == 0) {
      if (pos >= input.size()) break;
      size_t n = std::min(inChunk, input.size() - pos);
      inf.SetInput(input.data() + pos, n);
      pos += n;
    }
    size_t produced = 0;
    run.Last = inf.Inflate(out.data(), out.size(), produced);
    run.Output.insert(run.Output.end(), out.begin(), out.begin() + produced);
    if (run.Last != TInflateStatus::Ok) break;
  }
  run.Unused = inf.AvailIn() + (input.size() - pos);
  return run;
}

TEST(Inflater, DecodesInAnyChunkingAndGivesBackWhatFollows) {
  const std::vector<uint8_t> plain = MixedData(300000, 1);
  std::vector<uint8_t> stream = RawDeflate(plain);
  const std::vector<uint8_t> tail = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5};
  std::vector<uint8_t> input = stream;
  input.insert(input.end(), tail.begin(), tail.end());

  const size_t inChunks[] = {1, 3, 7, 64, 4096, 131072, input.size()};
  const size_t outChunks[] = {1, 777, 65536, 1 << 20};
  for (size_t ic : inChunks) {
    for (size_t oc : outChunks) {
      if (ic < 64 && oc < 64) continue;  // byte by byte both ways is only slow
      SCOPED_TRACE("in " + std::to_string(ic) + " out " + std::to_string(oc));
      TInflater inf;
      ASSERT_TRUE(inf.Valid());
      TRun run = InflateAll(inf, input, ic, oc);
      EXPECT_EQ(run.Last, TInflateStatus::StreamEnd);
      EXPECT_TRUE(inf.Finished());
      EXPECT_EQ(run.Output, plain);
      EXPECT_EQ(run.Unused, tail.size());
      EXPECT_EQ(inf.TotalIn(), stream.size());
      EXPECT_EQ(inf.TotalOut(), plain.size());
    }
  }
}

TEST(Inflater, StoredAndEmptyStreamsAndReset) {
  TInflater inf;
  for (int level : {0, 9}) {
    for (size_t size : {size_t{0}, size_t{1}, size_t{70000}}) {
      SCOPED_TRACE("level " + std::to_string(level) + " size " + std::to_string(size));
      const std::vector<uint8_t> plain = MixedData(size, 2);
      std::vector<uint8_t> input = RawDeflate(plain, level);
      input.push_back(0x55);
      inf.Reset();
      TRun run = InflateAll(inf, input, 131072, 65536);
      EXPECT_EQ(run.Last, TInflateStatus::StreamEnd);
      EXPECT_EQ(run.Output, plain);
      EXPECT_EQ(run.Unused, 1u);
    }
  }
}

TEST(Inflater, CorruptAndTruncatedStreams) {
  const std::vector<uint8_t> plain = MixedData(50000, 3);
  const std::vector<uint8_t> stream = RawDeflate(plain);

  // A reserved block type (BTYPE 11) is always invalid.
  {
    TInflater inf;
    const std::vector<uint8_t> bad = {0x07, 0x00, 0x00};
    TRun run = InflateAll(inf, bad, 16, 1024);
    EXPECT_EQ(run.Last, TInflateStatus::DataError);
    size_t produced = 1;
    std::vector<uint8_t> out(16);
    EXPECT_EQ(inf.Inflate(out.data(), out.size(), produced), TInflateStatus::DataError);
    EXPECT_EQ(produced, 0u);
  }
  // A stored block whose length check does not match.
  {
    TInflater inf;
    const std::vector<uint8_t> bad = {0x01, 0x05, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(InflateAll(inf, bad, 16, 1024).Last, TInflateStatus::DataError);
  }
  // Cut short: the decoder must stop asking for input without claiming the end.
  {
    TInflater inf;
    std::vector<uint8_t> cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
    TRun run = InflateAll(inf, cut, 4096, 65536);
    EXPECT_EQ(run.Last, TInflateStatus::Ok);
    EXPECT_FALSE(inf.Finished());
    EXPECT_LT(run.Output.size(), plain.size());
  }
}

TEST(Inflater, OutputNeverExceedsTheCallersBuffer) {
  const std::vector<uint8_t> plain(200000, 'x');  // compresses hard: tiny input, large output
  const std::vector<uint8_t> stream = RawDeflate(plain, 9);
  TInflater inf;
  inf.SetInput(stream.data(), stream.size());
  std::vector<uint8_t> out(1000 + 8, 0xA5);
  size_t produced = 0;
  EXPECT_EQ(inf.Inflate(out.data(), 1000, produced), TInflateStatus::Ok);
  EXPECT_EQ(produced, 1000u);
  for (size_t i = 1000; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << i;
  EXPECT_GT(inf.AvailIn(), 0u);  // the rest of the stream is still pending
}

}  // namespace
}  // namespace qv
