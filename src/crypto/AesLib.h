// SPDX-License-Identifier: Apache-2.0
#pragma once
// Encrypted stream: salt, 2-byte password verifier, AES in counter mode, 10-byte
// HMAC-SHA1 code over the ciphertext (the zip AE-1/AE-2 entry layout).
//
//   offset 0      S bytes  salt (8, 12, 16 for key modes 1, 2, 3)
//   offset S      2 bytes  password verifier
//   offset S+2    L bytes  ciphertext
//   offset S+2+L 10 bytes  authentication code
//
// No method raises; every failure is the Boolean result. One object serves any number
// of streams in sequence; it is not thread-safe (one worker at a time).
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/FtGlobal.h"
#include "base/ReadBuffer.h"
#include "base/Stream.h"
#include "crypto/CipherPrimitives.h"
#include "crypto/SaltPool.h"

namespace qv {

class TMacWorker;

// Why the last operation of the reading side failed. Only a verifier mismatch says that the
// password is wrong; everything after a matching verifier is damage, a medium or a stop.
enum class TDecryptFailure : uint8_t {
  dfNone,
  dfPassword,   // verifier mismatch
  dfCorrupt,    // code mismatch, or the stream is shorter than stated
  dfRead,       // the source could not be read
  dfWrite,      // the destination refused data
  dfDiskFull,   // the destination took fewer bytes than handed (medium full)
  dfCancelled,  // the cancel flag was set between blocks
};
using enum TDecryptFailure;

class TCrypt {
 public:
  // Password: 8-bit bytes, only the first 128 are kept. AMode 1..3 fixes the key mode,
  // any other value chooses by password length (<32: 1, 32..47: 2, >=48: 3).
  TCrypt(const std::string& Password, int AMode, int ABufSize);
  virtual ~TCrypt();
  TCrypt(const TCrypt&) = delete;
  TCrypt& operator=(const TCrypt&) = delete;

  int KeyMode() const { return FMode; }
  int GetHeaderSize() const;   // salt + verifier: 10, 14 or 18
  int GetTrailerSize() const;  // always 10

 protected:
  int32_t FMode;
  TFCryptContext FCryptCtx;
  std::string FPwd;
  int32_t CBufSize;
  // Written from and read into: on a 64-byte line, which the kernel copies fastest.
  TReadBuffer CBuffer;
};

class TEncryption : public TCrypt {
 public:
  TEncryption(const std::string& Password, int AMode, int ABufSize);
  ~TEncryption() override;

  // Writing side.
  bool WriteHeader(TStream& sDest);
  void EncryptBlock(uint8_t* Buffer, size_t BLen);
  bool WriteTrailer(TStream& sDest);
  // Header, the whole rest of sSource encrypted, trailer.
  bool EncryptStream(TStream& sSource, TStream& sDest, bool SpeedLimit);

  // Reading side. ReadHeader answers false for a wrong password (verifier mismatch).
  bool ReadHeader(TStream& sSource);
  void DecryptBlock(uint8_t* Buffer, size_t BLen);
  bool ReadTrailer(TStream& sSource);
  // SLength: the whole encrypted part (header and trailer included) from the current
  // position of sSource. sDest may be null (authenticate only). Plaintext is written
  // before the code is checked: on false the caller discards sDest. A source shorter
  // than SLength, or SLength below header + trailer, gives false.
  bool DecryptStream(TStream& sSource, TStream* sDest, int64_t SLength, bool SpeedLimit);
  // DecryptStream with the same writes, reports and result, for a thread that has a core to
  // spare: on long streams with a destination the code is computed on a helper thread from
  // the same ciphertext blocks while this thread decrypts and writes them. A file source is
  // read ahead on the helper too (also without a destination); other sources see the same
  // reads as with DecryptStream.
  bool DecryptStreamOverlapped(TStream& sSource, TStream* sDest, int64_t SLength, bool SpeedLimit);

  // Two-pass reading, so nothing is used before it is authenticated and no plaintext
  // is kept on disk:
  //   pass 1: ReadHeader, AuthenticateBlock over all ciphertext, ReadTrailer;
  //   pass 2 (caller seeks back): ReadHeader, DecryptBlockOnly over the ciphertext.
  // The second ReadHeader with the same salt reuses the key material of the first.
  void AuthenticateBlock(const uint8_t* Buffer, size_t BLen);
  void DecryptBlockOnly(uint8_t* Buffer, size_t BLen);

  const TProgressEvent& OnProgress() const { return FOnProgress; }
  void SetOnProgress(TProgressEvent AEvent) { FOnProgress = std::move(AEvent); }

  // Set by ReadHeader, ReadTrailer and the decrypting stream methods; dfNone after success.
  TDecryptFailure LastFailure() const { return FFailure; }
  // A flag (not owned, null for none) that the decrypting loops test after each block; a set
  // flag ends them with false and dfCancelled. The worker that lends it clears it again.
  void SetCancelFlag(const std::atomic<bool>* ACancel) { FCancel = ACancel; }
  const std::atomic<bool>* CancelFlag() const { return FCancel; }

  // Derives the key material for the salt of a stream still to come on a helper thread, so
  // that its ReadHeader finds it ready (many zip entries, one password, a salt each). Ignored
  // while a few are pending or when no thread can be had. Salt: SaltLength of the key mode.
  void DeriveAhead(const uint8_t* salt);

 private:
  struct TKeyAhead;
  std::vector<uint8_t> DeriveKeyFor(const std::vector<uint8_t>& ASalt) const;
  // Moves key material derived ahead for salt into the cache; false when none was asked for
  // or its derivation has not begun (deriving here is then sooner).
  bool TakeDerived(const uint8_t* salt, size_t saltLength);
  // Initialises FCryptCtx for salt, reusing the last derivation when the salt repeats.
  void InitStream(const uint8_t* salt, uint8_t verifier[CVerifierLength]);
  void Report(TFileAction AAction, int64_t ACount, bool SpeedLimit);
  // The ciphertext loop and trailer check after the header. AMac, when given and started,
  // feeds the MAC on its helper thread instead of this thread.
  bool DecryptRest(TStream& sSource, TStream* sDest, int64_t ACipherLength, bool SpeedLimit,
                   TMacWorker* AMac = nullptr);
  // The same for a file, whose blocks a helper reads ahead: with a destination it also feeds
  // them to the MAC while this thread decrypts and writes. After a failure the helper may
  // have read a block or two further than DecryptRest would.
  bool DecryptRestAhead(TFileStream& sSource, TStream* sDest, int64_t ACipherLength, bool SpeedLimit);

  bool Fail(TDecryptFailure AFailure) {
    FFailure = AFailure;
    return AFailure == dfNone;
  }
  bool Cancelled() const { return FCancel != nullptr && FCancel->load(std::memory_order_acquire); }

  TPrngContext FPrngCtx;
  TProgressEvent FOnProgress;
  TDecryptFailure FFailure = dfNone;
  const std::atomic<bool>* FCancel = nullptr;
  std::vector<uint8_t> FCachedSalt;
  std::vector<uint8_t> FCachedKey;
  // Ciphertext slots shared with the authenticating helper; kept for the next stream.
  TReadBuffer FMacSlots;
  std::unique_ptr<TKeyAhead> FKeyAhead;
};

}  // namespace qv
