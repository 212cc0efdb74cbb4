// SPDX-License-Identifier: Apache-2.0
#pragma once
// The worker for ".enc" files: the whole file is one encrypted stream whose plaintext is the
// restored file. Without a decryptor it copies the file unchanged.
#include "transfer/CopyThread.h"

namespace qv {

class TDecryptThread : public TCopyThread {
 public:
  TDecryptThread(std::string ASourceName, std::string ADestName, TEncryption* AEncryption,
                 bool ASuspend, int ABufSize, TThreadPriority APriority);

 protected:
  void Execute() override;
  // Decrypts SourceName into the temporary target. Only a wrong password (verifier mismatch)
  // gives 0x10B; a damaged or cut file gives 0x109, a full medium 0x107, Stop 0x080, and none
  // of them leaves anything under DestName. Announces the file size as total (acDecrypt),
  // then the decryptor's running totals.
  TErrorCode DoDecrypt();
};

}  // namespace qv
