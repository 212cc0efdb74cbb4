// SPDX-License-Identifier: Apache-2.0
#pragma once
// Building blocks of the encrypted stream: PBKDF2-HMAC-SHA1 key derivation, AES in our
// counter layout, the truncated HMAC-SHA1 code. AES and the SHA-1 compression come from
// OpenSSL's libcrypto; the conventions that tie them together are ours.
#include <openssl/sha.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct evp_cipher_ctx_st;

namespace qv {

inline constexpr size_t CAesBlockSize = 16;
inline constexpr size_t CSha1DigestSize = 20;
inline constexpr size_t CSha1BlockSize = 64;
inline constexpr size_t CMacLength = 10;        // stored authentication code
inline constexpr size_t CVerifierLength = 2;    // stored password verifier
inline constexpr size_t CMaxPasswordLength = 128;
inline constexpr uint32_t CKeyIterations = 1000;

// Status values of InitCryptContext.
inline constexpr int CPasswordTooLong = -100;
inline constexpr int CBadMode = -101;

// Sizes per key mode 1..3.
constexpr size_t KeyLength(int mode) { return 8 * static_cast<size_t>(mode) + 8; }
constexpr size_t SaltLength(int mode) { return 4 * static_cast<size_t>(mode) + 4; }
constexpr size_t DerivedLength(int mode) { return 2 * KeyLength(mode) + 2; }

// The SHA-1 compression function alone: one 64-byte block (big-endian message words)
// into the five chaining words.
void Sha1Compress(uint32_t state[5], const uint8_t block[64]);

// AES encryption key schedule (only the encryption direction is needed for counter mode).
class TAesSchedule {
 public:
  TAesSchedule();
  ~TAesSchedule();
  TAesSchedule(const TAesSchedule&) = delete;
  TAesSchedule& operator=(const TAesSchedule&) = delete;

  // keyLength in bytes (16, 24, 32) or bits (128, 192, 256); false for any other length.
  bool Expand(const uint8_t* key, size_t keyLength);
  bool Ready() const { return FReady; }
  // Encrypts count consecutive 16-byte blocks (in may equal out). Needs Expand first.
  void EncryptBlocks(const uint8_t* in, uint8_t* out, size_t count);
  void EncryptBlock(const uint8_t in[16], uint8_t out[16]) { EncryptBlocks(in, out, 1); }

 private:
  struct TCtxFree {
    void operator()(evp_cipher_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_cipher_ctx_st, TCtxFree> FCtx;
  bool FReady = false;
};

// AesExpandKey / AesEncryptBlock in free-function form.
bool AesExpandKey(const uint8_t* key, size_t keyLength, TAesSchedule& schedule);
void AesEncryptBlock(TAesSchedule& schedule, const uint8_t in[16], uint8_t out[16]);

// Streaming HMAC-SHA1: MacBegin, MacKey (any number of pieces), MacUpdate, MacEnd.
struct THmacSha1 {
  std::array<uint8_t, CSha1BlockSize> FKey{};
  SHA_CTX FSha{};
  int FKeyLength = 0;  // -1: the key is complete and data input has begun
};

void MacBegin(THmacSha1& mac);
// Adds key bytes; does nothing and answers -1 once data input has begun, else 0.
int MacKey(THmacSha1& mac, const uint8_t* key, size_t length);
void MacUpdate(THmacSha1& mac, const uint8_t* data, size_t length);
// Writes the first length (at most 20) bytes of the HMAC value.
void MacEnd(THmacSha1& mac, uint8_t* out, size_t length);

// PBKDF2 with HMAC-SHA1 (pad states computed once per derivation).
std::vector<uint8_t> DeriveKeyMaterial(const uint8_t* password, size_t passwordLength,
                                       const uint8_t* salt, size_t saltLength,
                                       uint32_t iterations, size_t length);

// Per-stream crypt state.
struct TFCryptContext {
  std::array<uint8_t, CAesBlockSize> FCounter{};
  std::array<uint8_t, CAesBlockSize> FKeystream{};
  TAesSchedule FAes;
  THmacSha1 FMac;
  uint32_t FPosition = CAesBlockSize;  // 16: keystream block used up
  uint32_t FPasswordLength = 0;
  uint32_t FMode = 0;
  // Scratch for batches of counter blocks, so the cipher runs over many blocks per call.
  std::vector<uint8_t> FBatch;
};

// Initialises context from key material already derived for (password, mode, salt);
// lets a caller reuse a derivation. keyMaterial holds DerivedLength(mode) bytes.
int InitCryptContextFromKey(int mode, size_t passwordLength, const uint8_t* keyMaterial,
                            TFCryptContext& context, uint8_t verifier[CVerifierLength]);
// Derives the key material and initialises the context. 0, CPasswordTooLong or CBadMode
// (the context is left unchanged then).
int InitCryptContext(int mode, const uint8_t* password, size_t passwordLength,
                     const uint8_t* salt, TFCryptContext& context,
                     uint8_t verifier[CVerifierLength]);

// Counter-mode keystream XOR in place; the keystream position carries over between calls.
void CtrTransform(uint8_t* data, size_t length, TFCryptContext& context);
// The same from in to out (in may equal out); the authentication state is not touched, so
// another thread may feed the MAC meanwhile.
void CtrTransformTo(const uint8_t* in, uint8_t* out, size_t length, TFCryptContext& context);
// Encrypt then authenticate the ciphertext.
void EncryptData(uint8_t* data, size_t length, TFCryptContext& context);
// Authenticate the ciphertext, then decrypt it.
void DecryptData(uint8_t* data, size_t length, TFCryptContext& context);
// The first 10 bytes of the HMAC over all data fed since the context was initialised.
std::array<uint8_t, CMacLength> FinishMac(TFCryptContext& context);

// Overwrites bytes so the compiler cannot drop the store.
void SecureWipe(void* data, size_t length);

}  // namespace qv
