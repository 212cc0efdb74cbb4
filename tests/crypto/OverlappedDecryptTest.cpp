// SPDX-License-Identifier: Apache-2.0
// DecryptStreamOverlapped against DecryptStream: same answer, bytes, reads and reports, for
// intact, damaged, truncated and refused streams; and the MAC helper on its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <thread>

#include "crypto/AesLib.h"
#include "crypto/CryptoTestUtil.h"
#include "crypto/MacWorker.h"

namespace qv {
namespace {

using test::RandomBytes;
using test::TLimitedSink;
using test::TProbeSource;

constexpr int kBuf = 4096;

std::vector<uint8_t> Encrypt(const std::string& pwd, const std::vector<uint8_t>& plain) {
  return test::Encrypt(pwd, 0, plain, kBuf);
}

struct TOutcome {
  bool Ok = false;
  std::vector<uint8_t> Written;
  size_t Read = 0;
  std::vector<int64_t> Reports;
  bool ReportsOnCallingThread = true;
};

// Runs one of the two loops on the stream (length defaults to the stream's size).
TOutcome RunLoop(bool overlapped, const std::string& pwd, const std::vector<uint8_t>& stream,
             int64_t length = -1, size_t sinkLimit = SIZE_MAX, int64_t failReadAt = -1) {
  TOutcome o;
  TEncryption dec(pwd, 0, kBuf);
  const auto caller = std::this_thread::get_id();
  dec.SetOnProgress([&](TFileAction action, int64_t count, bool speedLimit) {
    EXPECT_EQ(action, acDecrypt);
    EXPECT_TRUE(speedLimit);
    o.Reports.push_back(count);
    if (std::this_thread::get_id() != caller) o.ReportsOnCallingThread = false;
  });
  TProbeSource source(stream, failReadAt);
  TLimitedSink sink(sinkLimit);
  const int64_t size = length < 0 ? static_cast<int64_t>(stream.size()) : length;
  o.Ok = overlapped ? dec.DecryptStreamOverlapped(source, &sink, size, true)
                    : dec.DecryptStream(source, &sink, size, true);
  o.Written = sink.Data;
  o.Read = source.Position();
  return o;
}

void ExpectSame(const TOutcome& serial, const TOutcome& overlapped, const std::string& what) {
  EXPECT_EQ(overlapped.Ok, serial.Ok) << what;
  EXPECT_EQ(overlapped.Written, serial.Written) << what;
  EXPECT_EQ(overlapped.Read, serial.Read) << what;
  EXPECT_EQ(overlapped.Reports, serial.Reports) << what;
  EXPECT_TRUE(overlapped.ReportsOnCallingThread) << what;
}

TEST(OverlappedDecrypt, IntactStreamsOfEverySizeAroundTheBufferGiveTheSameResult) {
  // Below, at and above the two-buffer limit where the helper starts, block-exact and not.
  for (size_t size : {0u, 100u, 2u * kBuf, 2u * kBuf + 1u, 3u * kBuf, 3u * kBuf - 1u, 5u * kBuf + 7u,
                      40u * kBuf + 123u}) {
    for (const std::string& pwd : {std::string("short"), std::string(33, 'm'), std::string(60, 'L')}) {
      const auto plain = RandomBytes(size, static_cast<uint32_t>(size + pwd.size()));
      const auto stream = Encrypt(pwd, plain);
      const auto serial = RunLoop(false, pwd, stream);
      const auto overlapped = RunLoop(true, pwd, stream);
      ASSERT_TRUE(serial.Ok);
      EXPECT_EQ(overlapped.Written, plain) << size;
      ExpectSame(serial, overlapped, "size " + std::to_string(size) + ", password " + std::to_string(pwd.size()));
    }
  }
}

TEST(OverlappedDecrypt, DamageAnywhereFailsAfterWritingAllData) {
  const std::string pwd = "damaged";
  const auto plain = RandomBytes(20 * kBuf + 55, 3);
  const auto stream = Encrypt(pwd, plain);
  // First and last ciphertext byte, a block boundary, and the code itself.
  for (size_t at : {size_t{10}, size_t{10 + kBuf}, stream.size() - 11, stream.size() - 1, stream.size() / 2}) {
    auto damaged = stream;
    damaged[at] ^= 0x20;
    const auto serial = RunLoop(false, pwd, damaged);
    const auto overlapped = RunLoop(true, pwd, damaged);
    EXPECT_FALSE(overlapped.Ok) << at;
    EXPECT_EQ(overlapped.Written.size(), plain.size()) << at;
    ExpectSame(serial, overlapped, "flip at " + std::to_string(at));
  }
}

TEST(OverlappedDecrypt, WrongPasswordStopsAtTheHeaderWithoutReportsOrData) {
  const auto stream = Encrypt("right", RandomBytes(10 * kBuf, 4));
  const auto overlapped = RunLoop(true, "wrong", stream);
  EXPECT_FALSE(overlapped.Ok);
  EXPECT_TRUE(overlapped.Written.empty());
  EXPECT_TRUE(overlapped.Reports.empty());
  ExpectSame(RunLoop(false, "wrong", stream), overlapped, "wrong password");
}

TEST(OverlappedDecrypt, ShortOrFailingSourcesAndAFullDestinationEndWithFalse) {
  const std::string pwd = "failures";
  const auto stream = Encrypt(pwd, RandomBytes(12 * kBuf, 5));
  const int64_t size = static_cast<int64_t>(stream.size());
  struct TCase {
    std::string name;
    std::vector<uint8_t> data;
    int64_t length;
    size_t sinkLimit;
    int64_t failAt;
  } cases[] = {
      {"truncated mid-block", {stream.begin(), stream.begin() + 5 * kBuf + 9}, size, SIZE_MAX, -1},
      {"truncated before the code", {stream.begin(), stream.end() - 4}, size, SIZE_MAX, -1},
      {"length beyond the source", stream, size + 3 * kBuf, SIZE_MAX, -1},
      {"read error", stream, size, SIZE_MAX, 7 * kBuf},
      {"disk full", stream, size, 4 * kBuf + 100, -1},
      {"length below header and trailer", stream, 11, SIZE_MAX, -1},
  };
  for (const auto& c : cases) {
    const auto overlapped = RunLoop(true, pwd, c.data, c.length, c.sinkLimit, c.failAt);
    EXPECT_FALSE(overlapped.Ok) << c.name;
    ExpectSame(RunLoop(false, pwd, c.data, c.length, c.sinkLimit, c.failAt), overlapped, c.name);
  }
}

TEST(OverlappedDecrypt, OneObjectServesStreamsInTurnWithEitherLoop) {
  // The helper's slots and the cached key carry over; each stream must still start clean.
  const std::string pwd = "many streams";
  TEncryption dec(pwd, 0, kBuf);
  for (int i = 0; i < 6; ++i) {
    const auto plain = RandomBytes(static_cast<size_t>(i) * 3 * kBuf + 17, 40 + static_cast<uint32_t>(i));
    const auto stream = Encrypt(pwd, plain);
    TReadOnlyMemoryStream src(stream.data(), stream.size());
    TMemoryStream dst;
    const bool ok = i % 2 == 0 ? dec.DecryptStreamOverlapped(src, &dst, static_cast<int64_t>(stream.size()), false)
                               : dec.DecryptStream(src, &dst, static_cast<int64_t>(stream.size()), false);
    EXPECT_TRUE(ok) << i;
    EXPECT_EQ(dst.Data(), plain) << i;
  }
}

TEST(OverlappedDecrypt, WithoutDestinationGivesTheSameAnswer) {
  const std::string pwd = "no destination";
  auto stream = Encrypt(pwd, RandomBytes(9 * kBuf, 6));
  for (bool damage : {false, true}) {
    if (damage) stream[stream.size() / 3] ^= 1;
    TEncryption dec(pwd, 0, kBuf);
    TReadOnlyMemoryStream src(stream.data(), stream.size());
    EXPECT_EQ(dec.DecryptStreamOverlapped(src, nullptr, static_cast<int64_t>(stream.size()), false), !damage);
  }
}

// A file is read ahead on the helper, with and without a destination: the same answer,
// failure and bytes as the serial loop over the same bytes.
TEST(OverlappedDecrypt, FileSourcesReadAheadGiveTheSameResult) {
  const std::string pwd = "file source";
  const auto plain = RandomBytes(25 * kBuf + 77, 12);
  const auto stream = Encrypt(pwd, plain);
  auto flipped = stream;
  flipped[flipped.size() / 2] ^= 4;
  auto flippedCode = stream;
  flippedCode[flippedCode.size() - 2] ^= 1;
  const int64_t size = static_cast<int64_t>(stream.size());
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Bytes;
    int64_t Length;
    size_t SinkLimit;
  } cases[] = {
      {"intact", stream, size, SIZE_MAX},
      {"flipped ciphertext", flipped, size, SIZE_MAX},
      {"flipped code", flippedCode, size, SIZE_MAX},
      {"cut mid-block", {stream.begin(), stream.begin() + 9 * kBuf + 5}, size, SIZE_MAX},
      {"cut in the code", {stream.begin(), stream.end() - 3}, size, SIZE_MAX},
      {"disk full", stream, size, 6 * kBuf + 1},
  };
  const std::string path = ::testing::TempDir() + "qv-overlapped-" + std::to_string(::getpid());
  for (const auto& c : cases) {
    for (bool toSink : {true, false}) {
      SCOPED_TRACE(std::string(c.Name) + (toSink ? ", to a sink" : ", code only"));
      {
        auto out = TFileStream::Open(path, TOpenMode::Create, 0600);
        ASSERT_TRUE(out);
        ASSERT_EQ(out->Write(c.Bytes.data(), c.Bytes.size()), static_cast<int64_t>(c.Bytes.size()));
      }
      TEncryption serial(pwd, 0, kBuf);
      TReadOnlyMemoryStream memory(c.Bytes.data(), c.Bytes.size());
      TLimitedSink serialSink(c.SinkLimit);
      const bool serialOk = serial.DecryptStream(memory, toSink ? &serialSink : nullptr, c.Length, false);

      TEncryption ahead(pwd, 0, kBuf);
      auto file = TFileStream::Open(path, TOpenMode::Read);
      ASSERT_TRUE(file);
      TLimitedSink aheadSink(c.SinkLimit);
      const bool aheadOk = ahead.DecryptStreamOverlapped(*file, toSink ? &aheadSink : nullptr, c.Length, false);
      EXPECT_EQ(aheadOk, serialOk);
      EXPECT_EQ(ahead.LastFailure(), serial.LastFailure());
      EXPECT_EQ(aheadSink.Data, serialSink.Data);
    }
  }
  std::remove(path.c_str());
}

// ---- the helper alone ----

std::vector<uint8_t> SerialMac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data) {
  THmacSha1 mac;
  MacBegin(mac);
  MacKey(mac, key.data(), key.size());
  MacUpdate(mac, data.data(), data.size());
  std::vector<uint8_t> out(CSha1DigestSize);
  MacEnd(mac, out.data(), out.size());
  return out;
}

TEST(MacWorker, BlocksOfAnySizeThroughFewSlotsGiveTheSerialCode) {
  const auto key = RandomBytes(32, 8);
  const auto data = RandomBytes(50'000, 9);
  for (size_t slots : {1u, 2u, 3u, 8u}) {
    for (size_t slotSize : {1u, 64u, 1000u, 4096u}) {
      THmacSha1 mac;
      MacBegin(mac);
      MacKey(mac, key.data(), key.size());
      std::vector<uint8_t> ring(slots * slotSize);
      TMacWorker worker(mac, ring.data(), slotSize, slots);
      ASSERT_TRUE(worker.Start());
      // Uneven pieces, never more than a slot.
      for (size_t done = 0, step = 1; done < data.size(); ++step) {
        const size_t n = std::min({slotSize, data.size() - done, step * 37 % slotSize + 1});
        uint8_t* slot = worker.NextSlot();
        std::memcpy(slot, data.data() + done, n);
        worker.Submit(n);
        done += n;
      }
      worker.Finish();
      std::vector<uint8_t> code(CSha1DigestSize);
      MacEnd(mac, code.data(), code.size());
      EXPECT_EQ(code, SerialMac(key, data)) << slots << " slots of " << slotSize;
    }
  }
}

TEST(MacWorker, AbortAndDestructionWithBlocksPendingDoNotHang) {
  THmacSha1 mac;
  MacBegin(mac);
  std::vector<uint8_t> ring(2 * 1024);
  {
    TMacWorker worker(mac, ring.data(), 1024, 2);
    ASSERT_TRUE(worker.Start());
    worker.NextSlot();
    worker.Submit(1024);
    worker.NextSlot();
    worker.Submit(1024);
    worker.Abort();
    worker.Abort();  // twice is harmless
  }
  {
    TMacWorker worker(mac, ring.data(), 1024, 2);
    ASSERT_TRUE(worker.Start());
    worker.NextSlot();
    worker.Submit(512);
  }  // the destructor ends the helper
  TMacWorker neverStarted(mac, ring.data(), 1024, 2);
  neverStarted.Finish();
}

}  // namespace
}  // namespace qv
