// SPDX-License-Identifier: Apache-2.0
// Encryption throughput beside libcrypto's own functions on the same machine and bytes:
// key derivations per second (SHA instruction lanes and the portable path) against
// PKCS5_PBKDF2_HMAC_SHA1, and DecryptStream against
// HMAC-SHA1 and AES-128-CTR (the serial bound is 1/(1/HMAC + 1/CTR)).
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "crypto/Sha1Lanes.h"

namespace {

// Thread CPU time, so that other work on a shared machine does not count against a side.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};

double Seconds(Clock::time_point since) { return Clock::now() - since; }

// One run, in seconds.
template <typename F>
double Time(F&& f) {
  const auto start = Clock::now();
  f();
  return Seconds(start);
}

template <typename F>
double PerSecond(F&& f, double minSeconds) {
  long count = 0;
  const auto start = Clock::now();
  do {
    for (int i = 0; i < 10; ++i) f();
    count += 10;
  } while (Seconds(start) < minSeconds);
  return static_cast<double>(count) / Seconds(start);
}

// Alternating short rounds, best rate of each: fair on a machine shared with other work.
template <typename F, typename G, typename H>
std::tuple<double, double, double> BestRates(F&& f, G&& g, H&& h, int rounds = 6,
                                             double roundSeconds = 0.25) {
  double a = 0;
  double b = 0;
  double c = 0;
  for (int r = 0; r < rounds; ++r) {
    a = std::max(a, PerSecond(f, roundSeconds));
    b = std::max(b, PerSecond(g, roundSeconds));
    c = std::max(c, PerSecond(h, roundSeconds));
  }
  return {a, b, c};
}

void BenchKeyDerivation() {
  const std::string password = "a typical backup password";
  std::vector<uint8_t> salt(16);
  for (size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<uint8_t>(i * 37 + 1);
  std::printf("key derivation (PBKDF2-HMAC-SHA1, 1000 iterations)\n");
  for (int mode : {1, 3}) {
    const size_t saltLength = qv::SaltLength(mode);
    const size_t length = qv::DerivedLength(mode);
    const auto* pwd = reinterpret_cast<const uint8_t*>(password.data());
    std::vector<uint8_t> ours;
    std::vector<uint8_t> portable;
    std::vector<uint8_t> theirs(length);
    auto derive = [&] { return qv::DeriveKeyMaterial(pwd, password.size(), salt.data(), saltLength, 1000, length); };
    const auto [oursRate, portableRate, libRate] = BestRates(
        [&] { ours = derive(); },
        [&] {
          const bool lanes = qv::SetSha1LanesEnabled(false);
          portable = derive();
          qv::SetSha1LanesEnabled(lanes);
        },
        [&] {
          PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt.data(),
                                 static_cast<int>(saltLength), 1000, static_cast<int>(length), theirs.data());
        });
    if (ours != theirs || portable != theirs) {
      std::printf("  MISMATCH in mode %d\n", mode);
      std::exit(1);
    }
    std::printf("  mode %d (%zu bytes): DeriveKeyMaterial %8.0f/s (%s)   portable path %8.0f/s   "
                "PKCS5_PBKDF2_HMAC_SHA1 %8.0f/s   ratio to library %.2fx\n",
                mode, length, oursRate, qv::Sha1LanesActive() ? "SHA lanes" : "portable", portableRate,
                libRate, oursRate / libRate);
  }
}

void BenchStream() {
  constexpr size_t CSize = size_t{256} << 20;
  std::vector<uint8_t> plain(CSize);
  std::mt19937_64 gen(42);
  for (size_t i = 0; i < CSize; i += 8) {
    const uint64_t v = gen();
    std::copy_n(reinterpret_cast<const uint8_t*>(&v), 8, plain.data() + i);
  }
  const std::string password = "stream benchmark";  // mode 1: AES-128
  qv::TEncryption crypt(password, 0, 0x80000);
  qv::TMemoryStream encrypted;
  encrypted.Data().reserve(CSize + 64);
  {
    qv::TReadOnlyMemoryStream src(plain.data(), plain.size());
    if (!crypt.EncryptStream(src, encrypted, false)) std::exit(1);
  }
  const auto& stream = encrypted.Data();
  const double mb = static_cast<double>(CSize) / 1e6;
  constexpr int CRuns = 5;

  std::vector<uint8_t> key(20, 0x5A);
  uint8_t digest[20];
  std::vector<uint8_t> work(plain);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  const uint8_t aesKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  const uint8_t iv[16] = {};
  double tDecrypt = 1e30;
  double tHmac = 1e30;
  double tCtr = 1e30;
  for (int r = 0; r < CRuns; ++r) {
    tDecrypt = std::min(tDecrypt, Time([&] {
      qv::TReadOnlyMemoryStream src(stream.data(), stream.size());
      if (!crypt.DecryptStream(src, nullptr, static_cast<int64_t>(stream.size()), false)) std::exit(1);
    }));
    tHmac = std::min(tHmac, Time([&] {
      unsigned len = 0;
      HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), stream.data() + 10, CSize, digest, &len);
    }));
    tCtr = std::min(tCtr, Time([&] {
      EVP_EncryptInit_ex(ctx, EVP_aes_128_ctr(), nullptr, aesKey, iv);
      int outLength = 0;
      EVP_EncryptUpdate(ctx, work.data(), &outLength, work.data(), static_cast<int>(work.size()));
    }));
  }
  EVP_CIPHER_CTX_free(ctx);

  const double decrypt = mb / tDecrypt;
  const double hmac = mb / tHmac;
  const double ctr = mb / tCtr;
  const double bound = 1.0 / (1.0 / hmac + 1.0 / ctr);
  std::printf("stream of %zu MiB in memory, mode 1 (best of %d, thread CPU time)\n", CSize >> 20, CRuns);
  std::printf("  DecryptStream          %8.0f MB/s\n", decrypt);
  std::printf("  OpenSSL HMAC-SHA1      %8.0f MB/s\n", hmac);
  std::printf("  OpenSSL AES-128-CTR    %8.0f MB/s\n", ctr);
  std::printf("  serial bound           %8.0f MB/s   DecryptStream/bound %.2f\n", bound, decrypt / bound);
}

}  // namespace

int main() {
  BenchKeyDerivation();
  BenchStream();
  return 0;
}
