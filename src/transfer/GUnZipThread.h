// SPDX-License-Identifier: Apache-2.0
#pragma once
// The worker for ".gz" and ".gze" files: unpacks every gzip member of the file, one after
// the other as `gzip -d` does (decrypting a body first when its header marks it encrypted),
// into the target, then gives the target the timestamps and attributes of the backup file.
#include <string>

#include "transfer/CopyThread.h"

namespace qv {

class TGUnZipThread : public TCopyThread {
 public:
  // AEncryption (not owned) is needed only for encrypted members. The owner starts the
  // thread with Start() or Resume(), never the constructor.
  TGUnZipThread(std::string ASourceName, std::string ADestName, TEncryption* AEncryption,
                bool ASuspend, int ABufSize, TThreadPriority APriority);

  // CRC-32 of the data written by the last member.
  uint32_t Crc() const { return FCrc; }

 protected:
  void Execute() override;
  TErrorCode DoGUnzip();

 private:
  // What a member header states about the member's size.
  struct TMemberSize {
    int64_t USize = 0;
    bool Exact = false;  // from the size subfield; else USize is ISIZE, the size modulo 2^32
  };
  // The encrypted body from the current position of sSource up to the trailer at the file's
  // end, authenticated, then inflated; the deflate end, the trailer and the sizes checked.
  TErrorCode UnpackEncrypted(int64_t AStart, TMemberSize ASize);
  TErrorCode InflateBody(TStream& APlain, TMemberSize ASize);
  // A plain body and its trailer; sSource ends on the byte after the member.
  TErrorCode UnpackPlain(int64_t AStart, TMemberSize ASize);
  // Reads the trailer after AWritten bytes of a member and checks CRC-32, ISIZE and, when the
  // header stated it exactly, the size.
  TErrorCode CheckMemberTrailer(int64_t AWritten, TMemberSize ASize);
  // What follows a member: the next member's header (0 and AMore), only zero bytes up to the
  // end (0, no more), or anything else (0x109).
  TErrorCode NextMember(bool& AMore, bool& AEncrypted, TMemberSize& ASize);
};

}  // namespace qv
