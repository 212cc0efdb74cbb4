// SPDX-License-Identifier: Apache-2.0
#pragma once
// Helpers shared by the encryption tests: hex, random bytes, streams made by our own writer,
// reference AES/HMAC/PBKDF2 from libcrypto, probing sources and size-limited destinations.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "crypto/AesLib.h"

namespace qv::test {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

// The whole of plain as one encrypted stream from enc.
inline std::vector<uint8_t> Encrypt(TEncryption& enc, const std::vector<uint8_t>& plain) {
  TReadOnlyMemoryStream src(plain.data(), plain.size());
  TMemoryStream dst;
  EXPECT_TRUE(enc.EncryptStream(src, dst, false));
  return dst.Data();
}

inline std::vector<uint8_t> Encrypt(const std::string& pwd, int mode, const std::vector<uint8_t>& plain,
                                    int bufSize = 4096) {
  TEncryption enc(pwd, mode, bufSize);
  return Encrypt(enc, plain);
}

// One AES block encrypted by libcrypto directly, as an independent reference.
inline std::vector<uint8_t> ReferenceAesBlock(const std::vector<uint8_t>& key,
                                              const std::vector<uint8_t>& block) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::vector<uint8_t> out(16);
  int len = 0;
  EVP_EncryptUpdate(ctx, out.data(), &len, block.data(), 16);
  EVP_CIPHER_CTX_free(ctx);
  return out;
}

inline std::vector<uint8_t> ReferenceHmac(const std::vector<uint8_t>& key, const uint8_t* data,
                                          size_t length) {
  std::vector<uint8_t> out(20);
  unsigned len = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data, length, out.data(), &len);
  return out;
}

// PBKDF2-HMAC-SHA1 computed by libcrypto, as an independent reference.
inline std::vector<uint8_t> LibraryPbkdf2(const std::vector<uint8_t>& pwd, const std::vector<uint8_t>& salt,
                                          uint32_t iterations, size_t length) {
  std::vector<uint8_t> out(length);
  PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(pwd.data()), static_cast<int>(pwd.size()),
                         salt.data(), static_cast<int>(salt.size()), static_cast<int>(iterations),
                         static_cast<int>(length), out.data());
  return out;
}

// A source over a copy of data that counts its reads and fails from offset failAt on.
class TProbeSource final : public TStream {
 public:
  explicit TProbeSource(std::vector<uint8_t> data, int64_t failAt = -1)
      : FData(std::move(data)), FFailAt(failAt) {}
  int64_t Read(void* buffer, size_t count) override {
    ++Reads;
    if (FFailAt >= 0 && static_cast<int64_t>(FPos) >= FFailAt) return -1;
    const size_t n = std::min(count, FData.size() - FPos);
    if (n > 0) std::memcpy(buffer, FData.data() + FPos, n);
    FPos += n;
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t, int) override { return -1; }
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }
  size_t Position() const { return FPos; }
  int Reads = 0;

 private:
  std::vector<uint8_t> FData;
  int64_t FFailAt;
  size_t FPos = 0;
};

// A destination that keeps at most limit bytes, then reports a full disk.
class TLimitedSink final : public TStream {
 public:
  explicit TLimitedSink(size_t limit) : FLimit(limit) {}
  int64_t Read(void*, size_t) override { return -1; }
  int64_t Write(const void* buffer, size_t count) override {
    const size_t n = std::min(count, FLimit - Data.size());
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    Data.insert(Data.end(), bytes, bytes + n);
    return static_cast<int64_t>(n);
  }
  int64_t Seek(int64_t, int) override { return -1; }
  int64_t Size() override { return static_cast<int64_t>(Data.size()); }
  std::vector<uint8_t> Data;

 private:
  size_t FLimit;
};

}  // namespace qv::test
