// SPDX-License-Identifier: Apache-2.0
#include "crypto/Sha1Lanes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "crypto/CipherPrimitives.h"
#include "crypto/CryptoTestUtil.h"

namespace qv {
namespace {

using test::Bytes;
using test::FromHex;
using test::LibraryPbkdf2;
using test::RandomBytes;

// Switches the SHA instruction lanes on or off for one scope.
class TLanesSetting {
 public:
  explicit TLanesSetting(bool enabled) : FPrevious(SetSha1LanesEnabled(enabled)) {}
  ~TLanesSetting() { SetSha1LanesEnabled(FPrevious); }
  TLanesSetting(const TLanesSetting&) = delete;
  TLanesSetting& operator=(const TLanesSetting&) = delete;

 private:
  bool FPrevious;
};

std::vector<uint8_t> Derive(const std::vector<uint8_t>& pwd, const std::vector<uint8_t>& salt,
                            uint32_t iterations, size_t length) {
  return DeriveKeyMaterial(pwd.data(), pwd.size(), salt.data(), salt.size(), iterations, length);
}

TEST(Sha1LanesSetting, SwitchingOffForcesThePortablePathAndReportsThePreviousSetting) {
  const bool hardware = Sha1LanesActive();
  {
    TLanesSetting off(false);
    EXPECT_FALSE(Sha1LanesActive());
    EXPECT_FALSE(SetSha1LanesEnabled(false));  // already off
  }
  EXPECT_EQ(Sha1LanesActive(), hardware);
}

// Every case runs once on the lanes (when the CPU has them) and once on the portable path.
class DeriveKeyMaterialPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !Sha1LanesActive()) GTEST_SKIP() << "no SHA instructions on this CPU";
  }
  TLanesSetting FSetting{GetParam()};
};

TEST_P(DeriveKeyMaterialPaths, ReproducesRfc6070Vectors) {
  const struct {
    std::string password;
    std::string salt;
    uint32_t iterations;
    std::string expected;
  } vectors[] = {
      {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
      {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
      {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
      {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
       "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
      {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(Derive(Bytes(v.password), Bytes(v.salt), v.iterations, FromHex(v.expected).size()),
              FromHex(v.expected))
        << v.password << " / " << v.iterations;
  }
}

TEST_P(DeriveKeyMaterialPaths, EqualsLibraryForRandomPasswordsSaltsAndEveryBlockCount) {
  // Lengths from one byte to six blocks, so every lane count and a second pass of lanes
  // occur, with partial last blocks; passwords up to beyond one SHA-1 block.
  std::mt19937 gen(20240517);
  const size_t lengths[] = {1, 19, 20, 21, 34, 40, 41, 50, 60, 66, 80, 81, 100, 120};
  for (int round = 0; round < 60; ++round) {
    const auto pwd = RandomBytes(gen() % 140, gen());
    const auto salt = RandomBytes(gen() % 33, gen());
    const size_t length = lengths[round % std::size(lengths)];
    const uint32_t iterations = 1 + gen() % 40;
    EXPECT_EQ(Derive(pwd, salt, iterations, length), LibraryPbkdf2(pwd, salt, iterations, length))
        << "password " << pwd.size() << " bytes, salt " << salt.size() << ", length " << length
        << ", iterations " << iterations;
  }
}

TEST_P(DeriveKeyMaterialPaths, EqualsLibraryForTheKeyModesAtTheStreamIterationCount) {
  for (int mode = 1; mode <= 3; ++mode) {
    for (uint32_t seed : {1u, 2u, 3u}) {
      const auto pwd = RandomBytes(8 + seed * 13, seed * 101 + static_cast<uint32_t>(mode));
      const auto salt = RandomBytes(SaltLength(mode), seed * 7 + static_cast<uint32_t>(mode));
      EXPECT_EQ(Derive(pwd, salt, CKeyIterations, DerivedLength(mode)),
                LibraryPbkdf2(pwd, salt, CKeyIterations, DerivedLength(mode)))
          << "mode " << mode << ", seed " << seed;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(LanesAndPortable, DeriveKeyMaterialPaths, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Lanes" : "Portable"; });

TEST(Sha1Lanes, ChainsInOneCallEqualChainsRunAlone) {
  if (!Sha1LanesActive()) GTEST_SKIP() << "no SHA instructions on this CPU";
  // Lanes must not leak into each other: each lane of a full call equals that chain alone.
  const auto pads = RandomBytes(40, 5);
  uint32_t inner[5];
  uint32_t outer[5];
  std::memcpy(inner, pads.data(), 20);
  std::memcpy(outer, pads.data() + 20, 20);
  uint8_t u1[CMaxSha1Lanes][20];
  for (size_t l = 0; l < CMaxSha1Lanes; ++l) {
    const auto u = RandomBytes(20, 50 + static_cast<uint32_t>(l));
    std::memcpy(u1[l], u.data(), 20);
  }
  for (size_t count = 1; count <= CMaxSha1Lanes; ++count) {
    uint8_t together[CMaxSha1Lanes][20];
    Pbkdf2Sha1Lanes(inner, outer, u1, together, count, 7);
    for (size_t l = 0; l < count; ++l) {
      uint8_t alone[1][20];
      Pbkdf2Sha1Lanes(inner, outer, &u1[l], alone, 1, 7);
      EXPECT_EQ(0, std::memcmp(alone[0], together[l], 20)) << "lane " << l << " of " << count;
    }
  }
}

TEST(Sha1Lanes, StreamsWrittenOnOnePathDecryptOnTheOther) {
  // A writer and a reader on different machines may take different paths.
  const std::string password(50, 'p');  // mode 3: four chains per derivation
  const auto plain = RandomBytes(3000, 77);
  TMemoryStream encrypted;
  {
    TLanesSetting lanes(true);
    TEncryption writer(password, 0, 1024);
    TReadOnlyMemoryStream source(plain.data(), plain.size());
    ASSERT_TRUE(writer.EncryptStream(source, encrypted, false));
  }
  TLanesSetting portable(false);
  TEncryption reader(password, 0, 1024);
  TReadOnlyMemoryStream source(encrypted.Data().data(), encrypted.Data().size());
  TMemoryStream decrypted;
  ASSERT_TRUE(reader.DecryptStream(source, &decrypted, static_cast<int64_t>(encrypted.Data().size()), false));
  EXPECT_EQ(decrypted.Data(), plain);
}

}  // namespace
}  // namespace qv
