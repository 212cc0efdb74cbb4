// SPDX-License-Identifier: Apache-2.0
#include "crypto/CipherPrimitives.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>

#include "crypto/CryptoTestUtil.h"

namespace qv {
namespace {

using test::Bytes;
using test::FromHex;
using test::LibraryPbkdf2;
using test::RandomBytes;

// ---- PBKDF2 (the RFC 6070 vectors run on both derivation paths with the SHA lanes tests) ----

TEST(DeriveKeyMaterial, MatchesLibraryForLongPasswordsAndAllModeLengths) {
  // Passwords beyond one SHA-1 block are hashed first; check against libcrypto's PBKDF2.
  for (size_t pwdLength : {0u, 1u, 63u, 64u, 65u, 128u}) {
    const auto pwd = RandomBytes(pwdLength, 7 + pwdLength);
    const auto salt = RandomBytes(16, 99);
    for (int mode = 1; mode <= 3; ++mode) {
      const size_t length = DerivedLength(mode);
      const std::vector<uint8_t> modeSalt(salt.begin(), salt.begin() + SaltLength(mode));
      EXPECT_EQ(DeriveKeyMaterial(pwd.data(), pwd.size(), modeSalt.data(), modeSalt.size(), 1000, length),
                LibraryPbkdf2(pwd, modeSalt, 1000, length))
          << "password length " << pwdLength << ", mode " << mode;
    }
  }
}

// ---- AES through our binding: FIPS-197 Appendix C ----

TEST(AesBinding, ReproducesFips197Vectors) {
  const auto plain = FromHex("00112233445566778899aabbccddeeff");
  const struct {
    std::string key;
    std::string cipher;
  } vectors[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const auto& v : vectors) {
    const auto key = FromHex(v.key);
    TAesSchedule byBytes;
    TAesSchedule byBits;
    ASSERT_TRUE(AesExpandKey(key.data(), key.size(), byBytes));
    ASSERT_TRUE(AesExpandKey(key.data(), key.size() * 8, byBits));
    std::vector<uint8_t> out(16);
    AesEncryptBlock(byBytes, plain.data(), out.data());
    EXPECT_EQ(out, FromHex(v.cipher)) << v.key;
    std::fill(out.begin(), out.end(), 0);
    AesEncryptBlock(byBits, plain.data(), out.data());
    EXPECT_EQ(out, FromHex(v.cipher)) << v.key;
  }
}

TEST(AesBinding, RejectsOtherKeyLengths) {
  const auto key = RandomBytes(64, 1);
  TAesSchedule schedule;
  for (size_t length : {0u, 8u, 15u, 17u, 20u, 64u, 127u, 512u}) {
    EXPECT_FALSE(AesExpandKey(key.data(), length, schedule)) << length;
    EXPECT_FALSE(schedule.Ready());
  }
}

TEST(AesBinding, ManyBlocksEqualSingleBlocks) {
  const auto key = RandomBytes(32, 2);
  const auto in = RandomBytes(16 * 37, 3);
  TAesSchedule schedule;
  ASSERT_TRUE(schedule.Expand(key.data(), key.size()));
  std::vector<uint8_t> batch(in.size());
  schedule.EncryptBlocks(in.data(), batch.data(), 37);
  for (size_t b = 0; b < 37; ++b) {
    std::vector<uint8_t> block(in.begin() + 16 * b, in.begin() + 16 * b + 16);
    EXPECT_EQ(std::vector<uint8_t>(batch.begin() + 16 * b, batch.begin() + 16 * b + 16),
              test::ReferenceAesBlock(key, block));
  }
}

// ---- SHA-1 compression and HMAC ----

TEST(Sha1Compress, OneBlockOfPaddedMessageGivesTheDigest) {
  for (const std::string& msg : {std::string(), std::string("abc"), std::string(55, 'x')}) {
    uint8_t block[64] = {};
    std::memcpy(block, msg.data(), msg.size());
    block[msg.size()] = 0x80;
    const uint64_t bits = msg.size() * 8;
    for (int i = 0; i < 8; ++i) block[63 - i] = static_cast<uint8_t>(bits >> (8 * i));
    uint32_t state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    Sha1Compress(state, block);
    uint8_t expected[20];
    SHA1(reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), expected);
    for (int w = 0; w < 5; ++w) {
      const uint32_t e = static_cast<uint32_t>(expected[4 * w]) << 24 | expected[4 * w + 1] << 16 |
                         expected[4 * w + 2] << 8 | expected[4 * w + 3];
      EXPECT_EQ(state[w], e) << "'" << msg << "' word " << w;
    }
  }
}

TEST(StreamingHmac, EqualsOneShotHmacForKeysInPiecesAndDataInPieces) {
  const auto data = RandomBytes(1000, 5);
  for (size_t keyLength : {0u, 16u, 32u, 64u, 65u, 100u, 200u}) {
    const auto key = RandomBytes(keyLength, 11 + keyLength);
    const auto expected = test::ReferenceHmac(key, data.data(), data.size());
    for (size_t cut : {size_t{0}, keyLength / 3, keyLength}) {
      THmacSha1 mac;
      MacBegin(mac);
      EXPECT_EQ(MacKey(mac, key.data(), cut), 0);
      EXPECT_EQ(MacKey(mac, key.data() + cut, keyLength - cut), 0);
      MacUpdate(mac, data.data(), 1);
      MacUpdate(mac, data.data() + 1, 499);
      MacUpdate(mac, data.data() + 500, 500);
      std::vector<uint8_t> out(20);
      MacEnd(mac, out.data(), out.size());
      EXPECT_EQ(out, expected) << "key " << keyLength << " cut " << cut;
    }
  }
}

TEST(StreamingHmac, KeyAfterDataIsRefusedAndTruncationKeepsPrefix) {
  const auto key = RandomBytes(20, 8);
  const auto data = RandomBytes(50, 9);
  THmacSha1 mac;
  MacBegin(mac);
  MacKey(mac, key.data(), key.size());
  MacUpdate(mac, data.data(), data.size());
  EXPECT_EQ(MacKey(mac, key.data(), key.size()), -1);
  uint8_t out[10];
  MacEnd(mac, out, sizeof(out));
  const auto expected = test::ReferenceHmac(key, data.data(), data.size());
  EXPECT_EQ(std::vector<uint8_t>(out, out + 10), std::vector<uint8_t>(expected.begin(), expected.begin() + 10));
}

// ---- Per-stream context ----

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t length) {
  return {v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + length)};
}

std::vector<uint8_t> CounterBlock(uint64_t value) {
  std::vector<uint8_t> block(16, 0);
  for (int i = 0; i < 8; ++i) block[i] = static_cast<uint8_t>(value >> (8 * i));
  return block;
}

class CryptContextSplit : public ::testing::TestWithParam<int> {};

TEST_P(CryptContextSplit, KeyMaterialIsAesKeyThenMacKeyThenVerifier) {
  const int mode = GetParam();
  const size_t k = KeyLength(mode);
  const auto pwd = Bytes("correct horse battery");
  const auto salt = RandomBytes(SaltLength(mode), 40 + mode);
  const auto material = DeriveKeyMaterial(pwd.data(), pwd.size(), salt.data(), salt.size(), 1000,
                                          DerivedLength(mode));
  ASSERT_EQ(material.size(), 2 * k + 2);

  TFCryptContext ctx;
  uint8_t verifier[2] = {};
  ASSERT_EQ(InitCryptContext(mode, pwd.data(), pwd.size(), salt.data(), ctx, verifier), 0);
  EXPECT_EQ(verifier[0], material[2 * k]);
  EXPECT_EQ(verifier[1], material[2 * k + 1]);

  // Encrypting zeros exposes the keystream: AES under bytes 0..K-1 of counters 1, 2.
  std::vector<uint8_t> data(32, 0);
  EncryptData(data.data(), data.size(), ctx);
  const auto aesKey = Slice(material, 0, k);
  EXPECT_EQ(Slice(data, 0, 16), test::ReferenceAesBlock(aesKey, CounterBlock(1)));
  EXPECT_EQ(Slice(data, 16, 16), test::ReferenceAesBlock(aesKey, CounterBlock(2)));

  // The code is HMAC under bytes K..2K-1 over the ciphertext, cut to 10 bytes.
  const auto code = FinishMac(ctx);
  const auto expected = test::ReferenceHmac(Slice(material, k, k), data.data(), data.size());
  EXPECT_EQ(std::vector<uint8_t>(code.begin(), code.end()), Slice(expected, 0, 10));
}

INSTANTIATE_TEST_SUITE_P(Modes, CryptContextSplit, ::testing::Values(1, 2, 3));

TEST(CryptContext, RejectsLongPasswordAndBadModeWithoutTouchingTheContext) {
  const auto pwd128 = RandomBytes(128, 1);
  const auto pwd129 = RandomBytes(129, 1);
  const auto salt = RandomBytes(16, 2);
  TFCryptContext ctx;
  uint8_t verifier[2] = {0xAA, 0xBB};
  EXPECT_EQ(InitCryptContext(1, pwd128.data(), pwd128.size(), salt.data(), ctx, verifier), 0);
  EXPECT_EQ(ctx.FPasswordLength, 128u);

  TFCryptContext untouched;
  untouched.FPosition = 7;
  uint8_t kept[2] = {0xAA, 0xBB};
  EXPECT_EQ(InitCryptContext(1, pwd129.data(), pwd129.size(), salt.data(), untouched, kept), CPasswordTooLong);
  EXPECT_EQ(InitCryptContext(0, pwd128.data(), 10, salt.data(), untouched, kept), CBadMode);
  EXPECT_EQ(InitCryptContext(4, pwd128.data(), 10, salt.data(), untouched, kept), CBadMode);
  EXPECT_EQ(untouched.FPosition, 7u);
  EXPECT_EQ(untouched.FMode, 0u);
  EXPECT_EQ(kept[0], 0xAA);
  EXPECT_EQ(kept[1], 0xBB);
}

TFCryptContext& FreshContext(TFCryptContext& ctx, int mode, uint8_t verifier[2]) {
  const auto pwd = Bytes("pieces");
  const auto salt = RandomBytes(SaltLength(mode), 77);
  InitCryptContext(mode, pwd.data(), pwd.size(), salt.data(), ctx, verifier);
  return ctx;
}

TEST(CryptContext, PiecesGiveTheSameBytesAndCodeAsOneBlock) {
  const auto plain = RandomBytes(200000, 12);
  for (int mode = 1; mode <= 3; ++mode) {
    uint8_t v[2];
    TFCryptContext whole;
    FreshContext(whole, mode, v);
    auto one = plain;
    EncryptData(one.data(), one.size(), whole);
    const auto wholeCode = FinishMac(whole);

    // 1 + 31 bytes against 32 bytes.
    TFCryptContext small;
    FreshContext(small, mode, v);
    auto split = Slice(plain, 0, 32);
    EncryptData(split.data(), 1, small);
    EncryptData(split.data() + 1, 31, small);
    EXPECT_EQ(split, Slice(one, 0, 32));

    // Odd piece sizes across the rest, crossing batch and chunk boundaries.
    TFCryptContext pieces;
    FreshContext(pieces, mode, v);
    auto cut = plain;
    size_t at = 0;
    const size_t sizes[] = {1, 31, 0, 17, 15, 16, 8191, 65537, 3, 100000};
    for (size_t s : sizes) {
      const size_t n = std::min(s, cut.size() - at);
      EncryptData(cut.data() + at, n, pieces);
      at += n;
    }
    EncryptData(cut.data() + at, cut.size() - at, pieces);
    EXPECT_EQ(cut, one) << "mode " << mode;
    EXPECT_EQ(FinishMac(pieces), wholeCode) << "mode " << mode;

    // Decrypting in other pieces restores the plaintext with the same code.
    TFCryptContext back;
    FreshContext(back, mode, v);
    DecryptData(one.data(), 5, back);
    DecryptData(one.data() + 5, one.size() - 5, back);
    EXPECT_EQ(one, plain);
    EXPECT_EQ(FinishMac(back), wholeCode);
  }
}

TEST(CryptContext, CodeOfOneThenThirtyOneBytesEqualsCodeOfThirtyTwo) {
  const auto data = RandomBytes(32, 21);
  uint8_t v[2];
  TFCryptContext a;
  TFCryptContext b;
  FreshContext(a, 1, v);
  FreshContext(b, 1, v);
  auto x = data;
  auto y = data;
  DecryptData(x.data(), 32, a);
  DecryptData(y.data(), 1, b);
  DecryptData(y.data() + 1, 31, b);
  EXPECT_EQ(x, y);
  EXPECT_EQ(FinishMac(a), FinishMac(b));
}

TEST(CounterTransform, BlockTwoHundredFiftySixCarriesIntoByteOne) {
  const auto pwd = Bytes("wrap");
  const auto salt = RandomBytes(8, 3);
  const auto material = DeriveKeyMaterial(pwd.data(), pwd.size(), salt.data(), 8, 1000, 34);
  TFCryptContext ctx;
  uint8_t v[2];
  ASSERT_EQ(InitCryptContext(1, pwd.data(), pwd.size(), salt.data(), ctx, v), 0);
  std::vector<uint8_t> keystream(257 * 16, 0);
  CtrTransform(keystream.data(), keystream.size(), ctx);
  const auto key = Slice(material, 0, 16);
  std::vector<uint8_t> counter255(16, 0);
  counter255[0] = 0xFF;
  std::vector<uint8_t> counter256(16, 0);
  counter256[1] = 0x01;
  std::vector<uint8_t> counter257(16, 0);
  counter257[0] = 0x01;
  counter257[1] = 0x01;
  EXPECT_EQ(Slice(keystream, 254 * 16, 16), test::ReferenceAesBlock(key, counter255));
  EXPECT_EQ(Slice(keystream, 255 * 16, 16), test::ReferenceAesBlock(key, counter256));
  EXPECT_EQ(Slice(keystream, 256 * 16, 16), test::ReferenceAesBlock(key, counter257));
}

TEST(CounterTransform, NeverCarriesIntoByteEight) {
  const auto pwd = Bytes("edge");
  const auto salt = RandomBytes(8, 4);
  const auto material = DeriveKeyMaterial(pwd.data(), pwd.size(), salt.data(), 8, 1000, 34);
  const auto key = Slice(material, 0, 16);
  for (size_t length : {16u, 5u, 48u}) {  // the batch path and the single-block path
    TFCryptContext ctx;
    uint8_t v[2];
    ASSERT_EQ(InitCryptContext(1, pwd.data(), pwd.size(), salt.data(), ctx, v), 0);
    std::fill(ctx.FCounter.begin(), ctx.FCounter.begin() + 8, 0xFF);
    std::vector<uint8_t> keystream(length, 0);
    CtrTransform(keystream.data(), keystream.size(), ctx);
    EXPECT_EQ(Slice(keystream, 0, std::min<size_t>(length, 16)),
              Slice(test::ReferenceAesBlock(key, std::vector<uint8_t>(16, 0)), 0, std::min<size_t>(length, 16)));
    for (size_t i = 8; i < 16; ++i) EXPECT_EQ(ctx.FCounter[i], 0) << i;
  }
}

}  // namespace
}  // namespace qv
