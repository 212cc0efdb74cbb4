// SPDX-License-Identifier: Apache-2.0
#include "crypto/AesLib.h"

#include <gtest/gtest.h>

#include <atomic>
#include <tuple>

#include "crypto/CryptoTestUtil.h"

namespace qv {
namespace {

using test::Encrypt;
using test::RandomBytes;
using test::TLimitedSink;
using test::TProbeSource;

std::pair<bool, std::vector<uint8_t>> Decrypt(TEncryption& dec, const std::vector<uint8_t>& stream) {
  TReadOnlyMemoryStream src(stream.data(), stream.size());
  TMemoryStream dst;
  const bool ok = dec.DecryptStream(src, &dst, static_cast<int64_t>(stream.size()), false);
  return {ok, dst.Data()};
}

std::pair<bool, std::vector<uint8_t>> Decrypt(const std::string& pwd, int mode,
                                              const std::vector<uint8_t>& stream, int bufSize = 4096) {
  TEncryption dec(pwd, mode, bufSize);
  return Decrypt(dec, stream);
}

// ---- Key modes and password ----

TEST(KeyMode, FollowsPasswordLengthAtTheBoundaries) {
  const std::tuple<size_t, int, int> cases[] = {
      {0, 1, 10}, {31, 1, 10}, {32, 2, 14}, {47, 2, 14}, {48, 3, 18}, {200, 3, 18}};
  for (const auto& [length, mode, header] : cases) {
    TEncryption enc(std::string(length, 'p'), 0, 1024);
    EXPECT_EQ(enc.KeyMode(), mode) << length;
    EXPECT_EQ(enc.GetHeaderSize(), header) << length;
    EXPECT_EQ(enc.GetTrailerSize(), 10);
    const auto stream = Encrypt(enc, {});
    EXPECT_EQ(stream.size(), static_cast<size_t>(header + 10)) << length;
  }
}

TEST(KeyMode, ExplicitModeWinsAndOtherValuesMeanAutomatic) {
  EXPECT_EQ(TEncryption("short", 3, 16).KeyMode(), 3);
  EXPECT_EQ(TEncryption(std::string(60, 'x'), 1, 16).KeyMode(), 1);
  EXPECT_EQ(TEncryption("short", 2, 16).GetHeaderSize(), 14);
  for (int mode : {-5, 0, 4, 99}) {
    EXPECT_EQ(TEncryption("short", mode, 16).KeyMode(), 1) << mode;
    EXPECT_EQ(TEncryption(std::string(40, 'x'), mode, 16).KeyMode(), 2) << mode;
  }
}

TEST(Password, IsCutTo128Bytes) {
  const std::string base(128, 'k');
  const std::string longA = base + std::string(72, 'A');
  const std::string longB = base + std::string(10, 'B');
  const auto plain = RandomBytes(300, 1);
  const auto stream = Encrypt(longA, 0, plain);
  auto [ok, out] = Decrypt(longB, 0, stream);
  EXPECT_TRUE(ok);
  EXPECT_EQ(out, plain);
  std::tie(ok, out) = Decrypt(base, 0, stream);
  EXPECT_TRUE(ok);
  // A difference inside the first 128 bytes matters.
  std::string other = longA;
  other[127] = 'z';
  EXPECT_FALSE(Decrypt(other, 0, stream).first);
}

// ---- Round trips ----

TEST(EncryptedStream, RoundTripsInEveryModeAndBufferSize) {
  for (int mode = 1; mode <= 3; ++mode) {
    for (size_t length : {0u, 1u, 15u, 16u, 17u, 1000u, 4096u, 10000u}) {
      const auto plain = RandomBytes(length, static_cast<uint32_t>(mode * 100000 + length));
      const auto stream = Encrypt("secret", mode, plain, 1000);
      ASSERT_EQ(stream.size(), length + SaltLength(mode) + 12);
      for (int bufSize : {1, 7, 4096}) {
        const auto [ok, out] = Decrypt("secret", mode, stream, bufSize);
        EXPECT_TRUE(ok) << mode << "/" << length << "/" << bufSize;
        EXPECT_EQ(out, plain);
      }
    }
  }
}

TEST(EncryptedStream, EqualsOneShotEncryptionWithTheStoredSalt) {
  // Buffer sizes that divide the data exactly end with an empty pass; the bytes must not change.
  const auto plain = RandomBytes(4000, 2);
  for (int bufSize : {1000, 999, 4000, 8192}) {
    const auto stream = Encrypt("one shot", 2, plain, bufSize);
    const auto pwd = test::Bytes("one shot");
    TFCryptContext ctx;
    uint8_t verifier[2];
    ASSERT_EQ(InitCryptContext(2, pwd.data(), pwd.size(), stream.data(), ctx, verifier), 0);
    EXPECT_EQ(verifier[0], stream[12]);
    EXPECT_EQ(verifier[1], stream[13]);
    auto cipher = plain;
    EncryptData(cipher.data(), cipher.size(), ctx);
    const auto code = FinishMac(ctx);
    EXPECT_TRUE(std::equal(cipher.begin(), cipher.end(), stream.begin() + 14)) << bufSize;
    EXPECT_TRUE(std::equal(code.begin(), code.end(), stream.end() - 10)) << bufSize;
  }
}

TEST(EncryptedStream, OneObjectServesManyStreamsWithFreshSalts) {
  TEncryption enc("many", 0, 512);
  const auto p1 = RandomBytes(700, 3);
  const auto p2 = RandomBytes(300, 4);
  const auto s1 = Encrypt(enc, p1);
  const auto s2 = Encrypt(enc, p1);
  const auto s3 = Encrypt(enc, p2);
  EXPECT_FALSE(std::equal(s1.begin(), s1.begin() + 8, s2.begin()));
  EXPECT_NE(s1, s2);
  // One decryptor, streams in any order, including a repeat of an earlier salt.
  TEncryption dec("many", 0, 512);
  EXPECT_EQ(Decrypt(dec, s3), std::make_pair(true, p2));
  EXPECT_EQ(Decrypt(dec, s1), std::make_pair(true, p1));
  EXPECT_EQ(Decrypt(dec, s2), std::make_pair(true, p1));
  EXPECT_EQ(Decrypt(dec, s1), std::make_pair(true, p1));
}

TEST(EncryptedStream, EmptyPlaintextDecryptsToNothing) {
  for (int mode = 1; mode <= 3; ++mode) {
    const auto stream = Encrypt("empty", mode, {});
    EXPECT_EQ(stream.size(), SaltLength(mode) + 12);
    const auto [ok, out] = Decrypt("empty", mode, stream);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(out.empty());
  }
}

// ---- Damage and wrong keys ----

TEST(EncryptedStream, EveryFlippedBitOfCiphertextOrCodeFails) {
  const auto plain = RandomBytes(37, 5);
  for (int mode : {1, 3}) {
    const auto stream = Encrypt("flip", mode, plain, 16);
    TEncryption dec("flip", mode, 16);  // reused: the salt repeats, so the key is derived once
    ASSERT_TRUE(Decrypt(dec, stream).first);
    const size_t header = SaltLength(mode) + 2;
    for (size_t byte = header; byte < stream.size(); ++byte) {
      for (int bit = 0; bit < 8; ++bit) {
        auto damaged = stream;
        damaged[byte] ^= static_cast<uint8_t>(1u << bit);
        TReadOnlyMemoryStream src(damaged.data(), damaged.size());
        EXPECT_FALSE(dec.DecryptStream(src, nullptr, static_cast<int64_t>(damaged.size()), false))
            << "mode " << mode << " byte " << byte << " bit " << bit;
      }
    }
  }
}

TEST(EncryptedStream, WrongPasswordOrModeFails) {
  const auto plain = RandomBytes(100, 6);
  const auto stream = Encrypt("right", 3, plain);
  EXPECT_FALSE(Decrypt("wrong", 3, stream).first);
  EXPECT_FALSE(Decrypt("right", 1, stream).first);
  EXPECT_FALSE(Decrypt("right", 2, stream).first);
  // A wrong password stops at the verifier, before any data are read or written.
  TEncryption dec("wrong", 3, 4096);
  TProbeSource src(stream);
  TMemoryStream dst;
  EXPECT_FALSE(dec.DecryptStream(src, &dst, static_cast<int64_t>(stream.size()), false));
  EXPECT_EQ(src.Position(), 18u);
  EXPECT_TRUE(dst.Data().empty());
}

TEST(EncryptedStream, WithoutDestinationGivesTheSameAnswer) {
  const auto plain = RandomBytes(3000, 7);
  const auto stream = Encrypt("nodest", 1, plain);
  auto damaged = stream;
  damaged[500] ^= 0x40;
  TEncryption dec("nodest", 1, 1024);
  for (const std::vector<uint8_t>* s : std::vector<const std::vector<uint8_t>*>{&stream, &damaged}) {
    TReadOnlyMemoryStream a(s->data(), s->size());
    TReadOnlyMemoryStream b(s->data(), s->size());
    TMemoryStream out;
    const bool with = dec.DecryptStream(a, &out, static_cast<int64_t>(s->size()), false);
    const bool without = dec.DecryptStream(b, nullptr, static_cast<int64_t>(s->size()), false);
    EXPECT_EQ(with, without);
    EXPECT_EQ(with, s == &stream);
  }
}

// ---- Bounded reading ----

TEST(EncryptedStream, ReadsExactlyItsLengthAndNoMore) {
  const auto plain = RandomBytes(5000, 8);
  auto stream = Encrypt("bounded", 1, plain);
  const size_t length = stream.size();
  stream.insert(stream.end(), 64, 0xEE);  // whatever follows in the container
  TEncryption dec("bounded", 1, 1000);
  TProbeSource src(stream);
  TMemoryStream dst;
  EXPECT_TRUE(dec.DecryptStream(src, &dst, static_cast<int64_t>(length), false));
  EXPECT_EQ(src.Position(), length);
  EXPECT_EQ(dst.Data(), plain);
}

TEST(EncryptedStream, TruncatedSourceFailsWithoutLooping) {
  const auto plain = RandomBytes(5000, 9);
  const auto stream = Encrypt("short", 1, plain);
  for (size_t cut : {size_t{0}, size_t{5}, size_t{10}, size_t{11}, size_t{2500}, stream.size() - 10,
                     stream.size() - 1}) {
    std::vector<uint8_t> truncated(stream.begin(), stream.begin() + static_cast<long>(cut));
    TEncryption dec("short", 1, 1000);
    TProbeSource src(truncated);
    EXPECT_FALSE(dec.DecryptStream(src, nullptr, static_cast<int64_t>(stream.size()), false)) << cut;
    EXPECT_LT(src.Reads, 20) << cut;
  }
  // The length may also claim far more than the source holds.
  TEncryption dec("short", 1, 1000);
  TProbeSource src(stream);
  EXPECT_FALSE(dec.DecryptStream(src, nullptr, int64_t{1} << 40, false));
  EXPECT_LT(src.Reads, 20);
}

TEST(EncryptedStream, LengthBelowHeaderAndTrailerFailsWithoutReading) {
  const auto stream = Encrypt("tiny", 1, {});
  for (int64_t length : {int64_t{-1}, int64_t{0}, int64_t{10}, int64_t{19}, INT64_MIN}) {
    TEncryption dec("tiny", 1, 1000);
    TProbeSource src(stream);
    EXPECT_FALSE(dec.DecryptStream(src, nullptr, length, false)) << length;
    EXPECT_EQ(src.Reads, 0) << length;
  }
  TEncryption dec("tiny", 1, 1000);
  TReadOnlyMemoryStream src(stream.data(), stream.size());
  EXPECT_TRUE(dec.DecryptStream(src, nullptr, 20, false));
}

TEST(EncryptedStream, StreamFailuresGiveFalse) {
  const auto plain = RandomBytes(3000, 10);
  const auto stream = Encrypt("fail", 1, plain);
  TEncryption dec("fail", 1, 1000);
  TProbeSource failingRead(stream, 1500);
  EXPECT_FALSE(dec.DecryptStream(failingRead, nullptr, static_cast<int64_t>(stream.size()), false));

  TReadOnlyMemoryStream src(stream.data(), stream.size());
  TLimitedSink full(1200);
  EXPECT_FALSE(dec.DecryptStream(src, &full, static_cast<int64_t>(stream.size()), false));

  TEncryption enc("fail", 1, 1000);
  TReadOnlyMemoryStream plainSrc(plain.data(), plain.size());
  TLimitedSink tooSmall(plain.size());  // room for the data but not for the code
  EXPECT_FALSE(enc.EncryptStream(plainSrc, tooSmall, false));
  TLimitedSink noRoom(4);
  TReadOnlyMemoryStream plainSrc2(plain.data(), plain.size());
  EXPECT_FALSE(enc.EncryptStream(plainSrc2, noRoom, false));
  TProbeSource badSource(plain, 100);
  TMemoryStream out;
  EXPECT_FALSE(enc.EncryptStream(badSource, out, false));
}

TEST(EncryptedStream, ZeroBufferSizeStillTerminates) {
  const auto plain = RandomBytes(100, 11);
  const auto stream = Encrypt("zero", 1, plain, 0);
  EXPECT_EQ(Decrypt("zero", 1, stream, 0), std::make_pair(true, plain));
}

// ---- Progress ----

struct TReport {
  TFileAction action;
  int64_t count;
  bool speedLimit;
  bool operator==(const TReport&) const = default;
};

TEST(Progress, BothLoopsReportRunningTotalsAndPassSpeedLimit) {
  std::vector<TReport> reports;
  auto record = [&](TFileAction a, int64_t c, bool s) { reports.push_back({a, c, s}); };

  TEncryption enc("progress", 1, 1000);
  enc.SetOnProgress(record);
  const auto plain = RandomBytes(2500, 12);
  TReadOnlyMemoryStream src(plain.data(), plain.size());
  TMemoryStream dst;
  ASSERT_TRUE(enc.EncryptStream(src, dst, true));
  EXPECT_EQ(reports, (std::vector<TReport>{{acEncrypt, 1000, true}, {acEncrypt, 2000, true},
                                           {acEncrypt, 2500, true}}));

  // An exact multiple of the buffer ends with one empty pass.
  reports.clear();
  const auto even = RandomBytes(2000, 13);
  TReadOnlyMemoryStream evenSrc(even.data(), even.size());
  TMemoryStream evenDst;
  ASSERT_TRUE(enc.EncryptStream(evenSrc, evenDst, false));
  EXPECT_EQ(reports, (std::vector<TReport>{{acEncrypt, 1000, false}, {acEncrypt, 2000, false},
                                           {acEncrypt, 2000, false}}));

  reports.clear();
  TEncryption dec("progress", 1, 1000);
  dec.SetOnProgress(record);
  EXPECT_TRUE(static_cast<bool>(dec.OnProgress()));
  TReadOnlyMemoryStream back(dst.Data().data(), dst.Data().size());
  ASSERT_TRUE(dec.DecryptStream(back, nullptr, static_cast<int64_t>(dst.Data().size()), true));
  EXPECT_EQ(reports, (std::vector<TReport>{{acDecrypt, 1000, true}, {acDecrypt, 2000, true},
                                           {acDecrypt, 2500, true}}));
}

// ---- Two-pass reading ----

bool AuthenticatePass(TEncryption& dec, TStream& src, size_t bodyLength, size_t piece) {
  if (!dec.ReadHeader(src)) return false;
  std::vector<uint8_t> buffer(piece);
  for (size_t done = 0; done < bodyLength;) {
    const size_t n = std::min(piece, bodyLength - done);
    if (src.Read(buffer.data(), n) != static_cast<int64_t>(n)) return false;
    dec.AuthenticateBlock(buffer.data(), n);
    done += n;
  }
  return dec.ReadTrailer(src);
}

TEST(TwoPass, AuthenticateThenDecryptGivesThePlaintext) {
  const auto plain = RandomBytes(70000, 14);
  for (int mode = 1; mode <= 3; ++mode) {
    const auto stream = Encrypt("two pass", mode, plain);
    TEncryption dec("two pass", mode, 4096);
    TReadOnlyMemoryStream src(stream.data(), stream.size());
    ASSERT_TRUE(AuthenticatePass(dec, src, plain.size(), 777));

    ASSERT_EQ(src.Seek(0, SEEK_SET), 0);
    ASSERT_TRUE(dec.ReadHeader(src));
    std::vector<uint8_t> body(plain.size());
    ASSERT_EQ(src.Read(body.data(), body.size()), static_cast<int64_t>(body.size()));
    dec.DecryptBlockOnly(body.data(), 3);
    dec.DecryptBlockOnly(body.data() + 3, body.size() - 3);
    EXPECT_EQ(body, plain) << mode;
  }
}

TEST(TwoPass, DamageIsFoundBeforeAnyPlaintextExists) {
  const auto plain = RandomBytes(5000, 15);
  auto stream = Encrypt("two pass", 1, plain);
  stream[2000] ^= 0x01;
  TEncryption dec("two pass", 1, 4096);
  TReadOnlyMemoryStream src(stream.data(), stream.size());
  EXPECT_FALSE(AuthenticatePass(dec, src, plain.size(), 1024));
}

TEST(TwoPass, SecondHeaderAfterAnotherStreamStillDerivesTheRightKey) {
  const auto p1 = RandomBytes(1000, 16);
  const auto p2 = RandomBytes(1000, 17);
  const auto s1 = Encrypt("cache", 1, p1);
  const auto s2 = Encrypt("cache", 1, p2);
  TEncryption dec("cache", 1, 4096);
  TReadOnlyMemoryStream a(s1.data(), s1.size());
  ASSERT_TRUE(AuthenticatePass(dec, a, p1.size(), 100));
  TReadOnlyMemoryStream b(s2.data(), s2.size());
  ASSERT_TRUE(AuthenticatePass(dec, b, p2.size(), 100));  // replaces the cached key
  ASSERT_EQ(a.Seek(0, SEEK_SET), 0);
  ASSERT_TRUE(dec.ReadHeader(a));
  std::vector<uint8_t> body(p1.size());
  a.Read(body.data(), body.size());
  dec.DecryptBlockOnly(body.data(), body.size());
  EXPECT_EQ(body, p1);
}

// A destination that refuses every write.
class TRefusingSink final : public TStream {
 public:
  int64_t Read(void*, size_t) override { return -1; }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t, int) override { return -1; }
  int64_t Size() override { return 0; }
};

TEST(EncryptedStream, FailuresSayWhy) {
  const auto plain = RandomBytes(10000, 12);
  const auto good = Encrypt("why", 1, plain);
  auto flip = [&](size_t at) {
    auto bad = good;
    bad[at] ^= 0x10;
    return bad;
  };
  enum TSink { skMemory, skFull, skRefusing };
  struct TCase {
    const char* Name;
    std::vector<uint8_t> Stream;
    std::string Password;
    int64_t Length;       // -1: the stream's size
    int64_t FailReadAt;   // -1: never
    TSink Sink;
    bool CancelAtFirstBlock;
    TDecryptFailure Expected;
  };
  const int64_t whole = -1;
  const TCase cases[] = {
      {"intact", good, "why", whole, -1, skMemory, false, dfNone},
      {"wrong password", good, "not why", whole, -1, skMemory, false, dfPassword},
      {"flipped ciphertext", flip(5000), "why", whole, -1, skMemory, false, dfCorrupt},
      {"flipped code", flip(good.size() - 3), "why", whole, -1, skMemory, false, dfCorrupt},
      {"shorter than stated", good, "why", static_cast<int64_t>(good.size()) + 100, -1, skMemory, false, dfCorrupt},
      {"shorter than header and code", good, "why", 19, -1, skMemory, false, dfCorrupt},
      {"header cut", std::vector<uint8_t>(good.begin(), good.begin() + 6), "why", whole, -1, skMemory, false, dfCorrupt},
      {"read fails", good, "why", whole, 4000, skMemory, false, dfRead},
      {"medium full", good, "why", whole, -1, skFull, false, dfDiskFull},
      {"write refused", good, "why", whole, -1, skRefusing, false, dfWrite},
      {"cancelled", good, "why", whole, -1, skMemory, true, dfCancelled},
  };
  for (const TCase& c : cases) {
    for (bool overlapped : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (overlapped ? " overlapped" : ""));
      TEncryption dec(c.Password, 1, 1000);
      std::atomic<bool> cancel{false};
      dec.SetCancelFlag(&cancel);
      int reports = 0;
      dec.SetOnProgress([&](TFileAction, int64_t, bool) {
        if (c.CancelAtFirstBlock) cancel = true;
        ++reports;
      });
      TProbeSource src(c.Stream, c.FailReadAt);
      TMemoryStream memory;
      TLimitedSink full(3000);
      TRefusingSink refusing;
      TStream* sink = c.Sink == skFull ? static_cast<TStream*>(&full)
                      : c.Sink == skRefusing ? static_cast<TStream*>(&refusing) : &memory;
      const int64_t length = c.Length < 0 ? static_cast<int64_t>(c.Stream.size()) : c.Length;
      const bool ok = overlapped ? dec.DecryptStreamOverlapped(src, sink, length, false)
                                 : dec.DecryptStream(src, sink, length, false);
      EXPECT_EQ(ok, c.Expected == dfNone);
      EXPECT_EQ(dec.LastFailure(), c.Expected);
      if (c.CancelAtFirstBlock) {
        EXPECT_EQ(reports, 1);
      }
    }
  }
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// Keys asked for ahead, in any pattern (in turn, far ahead, asked twice, skipped, a wrong
// password's), give every stream the same answer and plaintext as deriving on demand.
TEST(KeysAhead, AnyPatternOfRequestsGivesTheSameResults) {
  struct TCase {
    const char* Name;
    int Mode;
    size_t Ahead;     // streams asked for before each one is read
    bool Twice;       // each salt asked for twice
    size_t SkipEvery; // every n-th stream asked for but never read (0: none)
  } cases[] = {
      {"one ahead", 1, 1, false, 0},
      {"more ahead than are kept", 3, 9, false, 0},
      {"asked twice", 2, 3, true, 0},
      {"some never read", 3, 4, false, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string pwd = "ahead password";
    std::vector<std::vector<uint8_t>> plains, streams;
    for (uint32_t i = 0; i < 12; ++i) {
      plains.push_back(test::RandomBytes(100 + i * 37, 700 + i));
      streams.push_back(test::Encrypt(pwd, c.Mode, plains.back()));
    }
    TEncryption dec(pwd, c.Mode, 4096);
    TEncryption wrong("not the password", c.Mode, 4096);
    size_t asked = 0;
    for (size_t i = 0; i < streams.size(); ++i) {
      for (; asked < std::min(streams.size(), i + 1 + c.Ahead); ++asked) {
        for (int n = 0; n < (c.Twice ? 2 : 1); ++n) dec.DeriveAhead(streams[asked].data());
        wrong.DeriveAhead(streams[asked].data());
      }
      if (c.SkipEvery != 0 && i % c.SkipEvery == 1) continue;
      TReadOnlyMemoryStream src(streams[i].data(), streams[i].size());
      TMemoryStream out;
      EXPECT_TRUE(dec.DecryptStream(src, &out, static_cast<int64_t>(streams[i].size()), false)) << i;
      EXPECT_EQ(out.Data(), plains[i]) << i;
      TReadOnlyMemoryStream again(streams[i].data(), streams[i].size());
      EXPECT_FALSE(wrong.DecryptStream(again, nullptr, static_cast<int64_t>(streams[i].size()), false)) << i;
      EXPECT_EQ(wrong.LastFailure(), dfPassword) << i;
    }
  }
}

}  // namespace
}  // namespace qv
