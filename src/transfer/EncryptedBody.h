// SPDX-License-Identifier: Apache-2.0
#pragma once
// Authenticated plaintext of an encrypted body (salt, verifier, ciphertext, code), for
// inflating or copying it. Nothing of the plaintext is handed out before the whole body's
// authentication code has been checked, and no plaintext is written to disk:
// - small bodies are decrypted into memory and checked there;
// - larger ones are first authenticated in a read-only pass over the ciphertext, then the
//   returned stream decrypts on the fly while it is read (a second pass over the source).
// Independent of the container: gzip members and zip entries use it alike.
#include <atomic>
#include <cstdint>
#include <memory>

#include "base/FtGlobal.h"
#include "base/Stream.h"
#include "crypto/AesLib.h"

namespace qv {

// The result code (without operation mark) of a failed decryption: only a verifier mismatch
// reads as a wrong password (0x10B), which makes the session ask again; a damaged or cut body
// is 0x109, and the medium and a stop keep their own codes.
constexpr TErrorCode DecryptFailureCode(TDecryptFailure AFailure) {
  switch (AFailure) {
    case dfPassword: return {sevError, errDecrypt};
    case dfRead: return {sevError, errReadFile};
    case dfWrite: return {sevError, errWriteFile};
    case dfDiskFull: return {sevError, errDiskFull};
    case dfCancelled: return {sevInfo, errUserBreak};
    case dfNone:
    case dfCorrupt: break;
  }
  return {sevError, errCorrupt};
}

// Lends a worker's cancel flag to a decryptor for one job.
class TCancelFlagLoan {
 public:
  TCancelFlagLoan(TEncryption& AEncryption, const std::atomic<bool>* AFlag) : FEncryption(AEncryption) {
    FEncryption.SetCancelFlag(AFlag);
  }
  ~TCancelFlagLoan() { FEncryption.SetCancelFlag(nullptr); }
  TCancelFlagLoan(const TCancelFlagLoan&) = delete;
  TCancelFlagLoan& operator=(const TCancelFlagLoan&) = delete;

 private:
  TEncryption& FEncryption;
};

// Plaintext whose authentication code may be checked only once it has all been read: Finish
// reads what the reader left and checks the code (0 when it matches, or when it was checked
// before anything was handed out). Its codes are those of OpenEncryptedBody.
class TUncheckedPlain : public TStream {
 public:
  virtual TErrorCode Finish() = 0;
};

// Bodies up to this many bytes are decrypted in memory.
inline constexpr int64_t InMemoryBodyLimit = 1048576;

// Opens the body of ALength bytes (header and trailer included) that starts at the current
// position of ASource. AInMemory chooses the in-memory way. On 0, APlain is the plaintext at
// position 0 (Size() is the plaintext length). Result codes without operation mark:
//   0x10B wrong password (verifier mismatch);
//   0x109 authentication failure, body shorter than header and trailer or than ALength
//         announces;
//   0x104 the source could not be read;
//   0x080 ACancel was set during the authentication pass.
// The decryptor reports progress (acDecrypt, running total of encrypted bytes read,
// ASpeedLimit) through its own OnProgress. For the on-the-fly way, AEncryption and ASource
// must outlive APlain and must not be used by anything else meanwhile.
TErrorCode OpenEncryptedBody(TEncryption& AEncryption, TStream& ASource, int64_t ALength, bool AInMemory,
                             bool ASpeedLimit, std::unique_ptr<TStream>& APlain,
                             const std::atomic<bool>* ACancel = nullptr);

// The same, choosing the in-memory way for ALength up to InMemoryBodyLimit.
inline TErrorCode OpenEncryptedBody(TEncryption& AEncryption, TStream& ASource, int64_t ALength,
                                    bool ASpeedLimit, std::unique_ptr<TStream>& APlain,
                                    const std::atomic<bool>* ACancel = nullptr) {
  return OpenEncryptedBody(AEncryption, ASource, ALength, ALength <= InMemoryBodyLimit, ASpeedLimit,
                           APlain, ACancel);
}

// One pass, for a reader whose output may hold unauthenticated plaintext until the end (its own
// temporary target, a test): the body is authenticated while it is decrypted, and nothing the
// reader made counts before APlain->Finish() has answered 0. A wrong password is found here.
TErrorCode OpenEncryptedBodyInOnePass(TEncryption& AEncryption, TStream& ASource, int64_t ALength,
                                      std::unique_ptr<TUncheckedPlain>& APlain,
                                      const std::atomic<bool>* ACancel = nullptr);

// The result of a reader of APlain that ended with AReadResult: unless it was stopped, a code
// that does not match (or a body cut short) outweighs what the reader found, as if the body
// had been checked first.
TErrorCode CheckedReadResult(TUncheckedPlain& APlain, TErrorCode AReadResult);

}  // namespace qv
