#pragma once
// Helpers shared by the encryption tests: hex, random bytes, reference AES/HMAC from libcrypto.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

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

}  // namespace qv::test
