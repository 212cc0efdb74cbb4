// The vector AES counter path against libcrypto's block cipher and against the portable path.
#include "crypto/AesVector.h"

#include <gtest/gtest.h>

#include <cstring>

#include "crypto/CipherPrimitives.h"
#include "crypto/CryptoTestUtil.h"

namespace qv {
namespace {

using test::FromHex;
using test::RandomBytes;
using test::ReferenceAesBlock;

class TVectorSetting {
 public:
  explicit TVectorSetting(bool enabled) : FPrevious(SetAesVectorEnabled(enabled)) {}
  ~TVectorSetting() { SetAesVectorEnabled(FPrevious); }
  TVectorSetting(const TVectorSetting&) = delete;
  TVectorSetting& operator=(const TVectorSetting&) = delete;

 private:
  bool FPrevious;
};

// The counter block for a count: 8 bytes little-endian, then the fixed high bytes.
std::vector<uint8_t> CounterBlock(uint64_t count, uint64_t high) {
  std::vector<uint8_t> block(16);
  for (int b = 0; b < 8; ++b) {
    block[b] = static_cast<uint8_t>(count >> (8 * b));
    block[8 + b] = static_cast<uint8_t>(high >> (8 * b));
  }
  return block;
}

TEST(AesVector, ExpandedKeysGiveTheFips197Ciphertexts) {
  if (!AesVectorActive()) GTEST_SKIP() << "no vector AES on this CPU";
  // One block through the counter path with an all-zero input is the block's encryption.
  const struct {
    std::string key;
    std::string cipher;
  } vectors[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
  };
  const auto plain = FromHex("00112233445566778899aabbccddeeff");
  uint64_t count = 0;
  uint64_t high = 0;
  std::memcpy(&count, plain.data(), 8);
  std::memcpy(&high, plain.data() + 8, 8);
  for (const auto& v : vectors) {
    const auto key = FromHex(v.key);
    TAesVectorKey expanded;
    ASSERT_TRUE(AesVectorExpand(key.data(), key.size(), expanded));
    EXPECT_EQ(expanded.FRounds, static_cast<int>(key.size() / 4 + 6));
    std::vector<uint8_t> out(16, 0);
    // The block encrypted is count + 1, so start one below the FIPS plaintext.
    EXPECT_EQ(AesVectorCtr(expanded, count - 1, high, out.data(), out.data(), 1), count);
    EXPECT_EQ(out, FromHex(v.cipher)) << v.key;
  }
}

TEST(AesVector, RejectsOtherKeyLengths) {
  const auto key = RandomBytes(32, 1);
  TAesVectorKey expanded;
  for (size_t length : {0u, 15u, 20u, 31u, 33u}) {
    EXPECT_FALSE(AesVectorExpand(key.data(), length, expanded)) << length;
    EXPECT_EQ(expanded.FRounds, 0);
  }
}

TEST(AesVector, KeystreamEqualsLibraryBlocksForEveryCountAndStart) {
  if (!AesVectorActive()) GTEST_SKIP() << "no vector AES on this CPU";
  // Block counts around the four-pair stride; starts where byte 0, 4 bytes and 8 bytes wrap.
  const size_t counts[] = {1, 2, 3, 7, 8, 9, 15, 16, 17, 40};
  const uint64_t starts[] = {0, 250, 0xFFFFFFFEull, 0xFFFFFFFFFFFFFFFBull};
  for (size_t keyLength : {16u, 24u, 32u}) {
    const auto key = RandomBytes(keyLength, static_cast<uint32_t>(keyLength));
    TAesVectorKey expanded;
    ASSERT_TRUE(AesVectorExpand(key.data(), key.size(), expanded));
    for (uint64_t start : starts) {
      for (size_t blocks : counts) {
        const uint64_t high = start == 0 ? 0 : 0x0123456789ABCDEFull;
        const auto in = RandomBytes(blocks * 16, static_cast<uint32_t>(blocks + start));
        std::vector<uint8_t> out(in.size());
        EXPECT_EQ(AesVectorCtr(expanded, start, high, in.data(), out.data(), blocks), start + blocks);
        for (size_t b = 0; b < blocks; ++b) {
          const auto keystream = ReferenceAesBlock(key, CounterBlock(start + 1 + b, high));
          for (size_t j = 0; j < 16; ++j) {
            ASSERT_EQ(out[b * 16 + j], in[b * 16 + j] ^ keystream[j])
                << "key " << keyLength << ", start " << start << ", blocks " << blocks << ", block " << b;
          }
        }
      }
    }
  }
}

TEST(AesVector, StreamTransformInPiecesEqualsThePortablePath) {
  if (!AesVectorActive()) GTEST_SKIP() << "no vector AES on this CPU";
  // Pieces of odd sizes cross keystream blocks, batches and the 256-block carry.
  const auto data = RandomBytes(300 * 16 + 5, 9);
  for (int mode = 1; mode <= 3; ++mode) {
    const auto material = RandomBytes(DerivedLength(mode), static_cast<uint32_t>(mode));
    std::vector<uint8_t> results[2];
    for (int path = 0; path < 2; ++path) {
      TVectorSetting setting(path == 0);
      TFCryptContext context;
      uint8_t verifier[CVerifierLength];
      ASSERT_EQ(InitCryptContextFromKey(mode, 8, material.data(), context, verifier), 0);
      results[path] = data;
      size_t done = 0;
      for (size_t piece = 1; done < data.size(); piece = piece * 3 + 1) {
        const size_t n = std::min(piece % 2000 + 1, data.size() - done);
        EncryptData(results[path].data() + done, n, context);
        done += n;
      }
      const auto code = FinishMac(context);
      results[path].insert(results[path].end(), code.begin(), code.end());
    }
    EXPECT_EQ(results[0], results[1]) << "mode " << mode;
  }
}

}  // namespace
}  // namespace qv
