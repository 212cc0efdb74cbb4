// SPDX-License-Identifier: Apache-2.0
// Windows tests: the reference HMAC-SHA1 and PBKDF2 from CNG, independent of our own SHA-1.
#pragma once
#include <bcrypt.h>

#include <openssl/evp.h>

struct evp_md_st;
typedef struct evp_md_st EVP_MD;
inline const EVP_MD* EVP_sha1() { return nullptr; }

inline unsigned char* HMAC(const EVP_MD*, const void* key, int keyLength, const unsigned char* data, size_t length,
                           unsigned char* out, unsigned int* outLength) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG);
  BCryptCreateHash(alg, &hash, nullptr, 0, static_cast<PUCHAR>(const_cast<void*>(key)), static_cast<ULONG>(keyLength), 0);
  BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(length), 0);
  BCryptFinishHash(hash, out, 20, 0);
  BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(alg, 0);
  if (outLength) *outLength = 20;
  return out;
}

inline int PKCS5_PBKDF2_HMAC_SHA1(const char* password, int passwordLength, const unsigned char* salt, int saltLength,
                                  int iterations, int keyLength, unsigned char* out) {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG) < 0) return 0;
  const NTSTATUS status = BCryptDeriveKeyPBKDF2(alg, reinterpret_cast<PUCHAR>(const_cast<char*>(password)),
                                                static_cast<ULONG>(passwordLength), const_cast<PUCHAR>(salt),
                                                static_cast<ULONG>(saltLength), static_cast<ULONGLONG>(iterations), out,
                                                static_cast<ULONG>(keyLength), 0);
  BCryptCloseAlgorithmProvider(alg, 0);
  return status >= 0 ? 1 : 0;
}
