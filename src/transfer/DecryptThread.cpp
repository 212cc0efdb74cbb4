// SPDX-License-Identifier: Apache-2.0
#include "transfer/DecryptThread.h"

#include "crypto/AesLib.h"
#include "transfer/EncryptedBody.h"

namespace qv {

TDecryptThread::TDecryptThread(std::string ASourceName, std::string ADestName,
                               TEncryption* AEncryption, bool ASuspend, int ABufSize,
                               TThreadPriority APriority)
    : TCopyThread(std::move(ASourceName), std::move(ADestName), AEncryption, ASuspend, ABufSize,
                  APriority) {
  if (AEncryption) FErrFlag = opDecrypt;
}

void TDecryptThread::Execute() {
  if (FCrypting)
    FinishThread(DoDecrypt());
  else
    FinishThread(DoCopy());
}

TErrorCode TDecryptThread::DoDecrypt() {
  TFileTimestamps times;
  uint16_t attr = 0;
  TErrorCode result = OpenFiles(times, attr);
  int64_t size = -1;
  if (!result) {
    size = sSource->Size();
    if (size < 0) {
      result = {sevError, errReadFile};
    } else {
      // The total first, so that the running totals of the decryptor mean something; Stop
      // reaches the decryption between blocks.
      DoProgress(acDecrypt, true, -size);
      TCancelFlagLoan cancel(*FCrypting, &FUserBreak);
      // The decryptor checks the code only after writing (computed on a helper thread beside
      // the decryption); on failure the temporary target with its unauthenticated plaintext
      // is deleted by ReleaseStreams, so nothing unauthenticated reaches DestName.
      // A test needs only the authentication code over the ciphertext: nothing is decrypted.
      TStream* out = TestOnly() ? nullptr : sDest.get();
      if (!FCrypting->DecryptStreamOverlapped(*sSource, out, size, true))
        result = AuthenticationResult(DecryptFailureCode(FCrypting->LastFailure()));
    }
  }
  if (!result) {
    result = FinishFile(false, CopyPermissions(), attr, times);
    // The item's report takes the size from here instead of a look at the target.
    if (!result && !TestOnly()) FCommittedSize = size - FCrypting->GetHeaderSize() - FCrypting->GetTrailerSize();
    return result;
  }
  ReleaseStreams();
  return result;
}

}  // namespace qv
