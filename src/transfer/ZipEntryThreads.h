// SPDX-License-Identifier: Apache-2.0
#pragma once
// The entry worker of the zip reader: reads one entry's local header from the archive
// (positioned there by the reader) and writes the entry's data, decrypted and inflated, to a
// target file or a stream. TZipCompareThread (transfer/ZipCompareThread.h) builds on it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "transfer/GUnZipThread.h"
#include "transfer/ZipTypes.h"

namespace qv {

class TZipReadThread : public TGUnZipThread {
 public:
  // Target file AFileName (written through a temporary file renamed on success).
  // ZStream is the archive at the entry's local header (for a small entry, the entry's bytes
  // read into memory by the reader); it is not owned. The thread starts with Start() (or
  // Resume()) or runs with RunInline(), never from the constructor.
  TZipReadThread(const std::string& AFileName, TEncryption* AEncryption, TStream& ZStream,
                 bool ASuspend, bool ASpeedLimit, int ABufSize, TThreadPriority APriority,
                 TProgressEvent AOnProgress);
  // Target stream ADest, not owned; it stays open for the caller.
  TZipReadThread(TStream& ADest, TEncryption* AEncryption, TStream& ZStream, bool ASuspend,
                 bool ASpeedLimit, int ABufSize, TThreadPriority APriority,
                 TProgressEvent AOnProgress);

  // CRC and sizes of the central directory, for entries written with a data descriptor
  // (their local header holds zeros).
  void SetDirectoryEntry(const TPkHeader& AHeader);
  // How many bytes from the local header on belong to this entry (up to the next entry or
  // the directory): data running beyond overlap another entry's and are refused as corrupt.
  void SetEntrySpan(int64_t ASpan) { FEntrySpan = ASpan; }

 protected:
  void Execute() override;

  // Reads the local header; false when the signature is missing or the header is cut short.
  // The archive then stands on the entry's first data byte.
  bool ReadLocalHeader(TZipFileInfo& Info);
  // Decrypts and decompresses the entry data into sOut; a result code.
  TErrorCode ExtractData(const TZipFileInfo& Info, TStream& sOut);
  TErrorCode DoExtract();
  // The local header, with the directory's CRC and sizes where a data descriptor holds them;
  // checks that the data fit the entry's span. A result code; ADataStart is where they begin.
  TErrorCode ReadEntryInfo(TZipFileInfo& Info, int64_t& ADataStart);
  // ExtractData, then the data descriptor's agreement with the directory.
  TErrorCode ExtractChecked(const TZipFileInfo& Info, int64_t ADataStart, TStream& sOut);

  // Speed-limit flag of every report and of the decryptor.
  bool FSpeedLimit;
  TStream& FArchive;
  TStream* FTargetStream = nullptr;

 private:
  TErrorCode ExtractEncrypted(const TZipFileInfo& Info, TStream& sOut);
  // A large stored AES entry decrypted straight into sOut, the code computed beside it on the
  // second core; sOut holds unauthenticated plaintext when this fails.
  TErrorCode InflateInOnePass(const TZipFileInfo& Info, TStream& sOut);
  TErrorCode DecryptStoredInOnePass(const TZipFileInfo& Info, TStream& sOut);
  // The actual method of an encrypted entry, or -1 when it cannot be decoded.
  static int EncryptedMethod(const TZipFileInfo& Info);
  TErrorCode ExtractPlain(const TZipFileInfo& Info, uint16_t AMethod, TStream& sIn, int64_t ALength,
                   TStream& sOut, bool ACheckCrc);
  // Decrypted stored data of another length than the directory states (the field is not
  // authenticated).
  TErrorCode PlainSizeDiffers(int64_t APlain, int64_t AStated) {
    return Fail(TErrorCode(sevError, errCorrupt),
                "a stored body of " + std::to_string(APlain) + " bytes that states " + std::to_string(AStated));
  }
  // 0 when the descriptor at AAt repeats the entry's CRC and sizes (32- or 64-bit form).
  TErrorCode CheckDataDescriptor(const TZipFileInfo& Info, int64_t AAt);
  std::optional<TPkHeader> FDirEntry;
  int64_t FEntrySpan = -1;
  // The target may take plaintext before its code is checked: a temporary file that is
  // deleted on failure and renamed only after, or a test's sink. Anything else (a caller's
  // stream, a comparison) gets authenticated plaintext only.
  bool FUnverifiedTargetOk = false;
};

// What an extracted file gets: its modification time, and permission bits when the entry was
// made on Unix (else the DOS attributes).
struct TZipEntryProperties {
  int64_t UnixTime = 0;  // 0: the entry's time could not be converted
  uint32_t UnixMode = 0;
  uint32_t Attr = 0;
  bool TimeSet = false;  // the worker set them on the open target before its rename
  bool ModeSet = false;
};

// Sets by name on the renamed target what the worker could not set on the open file; 0, or
// the warning that says which could not be set.
TErrorCode SetEntryPropertiesByName(const TZipEntryProperties& AProperties, const std::string& DestFilename);

// The bytes of a detached entry, owned by it: a base of its own, so that they exist before the
// worker that reads them.
struct TZipEntryBytes {
  explicit TZipEntryBytes(std::span<const uint8_t> ABytes);
  std::vector<uint8_t> Bytes;
  TReadOnlyMemoryStream Source;
  TNullStream Sink;  // a test's
};

// A small unencrypted entry taken out of the reader (TZipRead::DetachSmallEntry): it holds its
// local header and data, extracts them into its target (or tests them, without one) and sets
// the target's properties, on whatever thread runs it, while the reader goes on. Its result
// code is the one the reader's own extraction raises for the entry.
class TZipEntryJob : private TZipEntryBytes, public TZipReadThread {
 public:
  // AFileName empty: a test, which reads the entry to its end and keeps nothing.
  TZipEntryJob(std::span<const uint8_t> ABytes, const std::string& AFileName, int ABufSize,
               const TZipEntryProperties& AProperties);
  // Which entry this is, put before the reason of a failure as the reader does.
  void SetPlace(std::string APlace) { FPlace = std::move(APlace); }

 protected:
  void Execute() override;

 private:
  TZipEntryProperties FProperties;
  std::string FPlace;
};

}  // namespace qv
