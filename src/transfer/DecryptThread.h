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
  // Decrypts SourceName into the temporary target; a wrong password, a damaged or truncated
  // file gives 0x10B and leaves nothing under DestName. Progress comes from the decryptor only.
  int DoDecrypt();
};

}  // namespace qv
