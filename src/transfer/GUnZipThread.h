#pragma once
// The worker for ".gz" and ".gze" files: unpacks the single gzip member (decrypting its body
// first when the header marks it encrypted) into the target, then gives the target the
// timestamps and attributes of the backup file itself.
#include <string>

#include "transfer/CopyThread.h"

namespace qv {

class TGUnZipThread : public TCopyThread {
 public:
  // AEncryption (not owned) is needed only for encrypted members. The owner starts the
  // thread with Start() or Resume(), never the constructor.
  TGUnZipThread(std::string ASourceName, std::string ADestName, TEncryption* AEncryption,
                bool ASuspend, int ABufSize, TThreadPriority APriority);

  // CRC-32 of the data written (0 for a zip entry whose CRC is not checked).
  uint32_t Crc() const { return FCrc; }

 protected:
  void Execute() override;
  int DoGUnzip();

 private:
  // The encrypted body from the current position of sSource, authenticated, then inflated.
  int UnpackEncrypted(int64_t AStart, int64_t USize, bool AExactSize);
  // AExactSize: USize came from the size subfield (else it is ISIZE, the size modulo 2^32).
  // The plain body and the trailer.
  int UnpackPlain(int64_t AStart, int64_t USize, bool AExactSize);
};

}  // namespace qv
