// SPDX-License-Identifier: Apache-2.0
#pragma once
// Records of a zip archive as the reader and its entry workers see them, the reader's
// exception, and the name rules shared by both (code-page conversion, safe entry names).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "base/FtGlobal.h"
#include "transfer/LittleEndian.h"

namespace qv {

class TStream;

// Signatures (little-endian "PK" records).
inline constexpr uint32_t ZipLocalHeaderSig = 0x04034B50;
inline constexpr uint32_t ZipCentralHeaderSig = 0x02014B50;
inline constexpr uint32_t ZipEndRecordSig = 0x06054B50;
inline constexpr uint32_t Zip64LocatorSig = 0x07064B50;
inline constexpr uint32_t Zip64EndRecordSig = 0x06064B50;

inline constexpr uint16_t ZipExtraZip64 = 0x0001;
inline constexpr uint16_t ZipExtraAes = 0x9901;

inline constexpr uint16_t ZipMethodStored = 0;
inline constexpr uint16_t ZipMethodDeflated = 8;
inline constexpr uint16_t ZipMethodAes = 99;

inline constexpr uint16_t ZipFlagEncrypted = 0x0001;
inline constexpr uint16_t ZipFlagDataDescriptor = 0x0008;
inline constexpr uint16_t ZipFlagStrongEncryption = 0x0040;
inline constexpr uint16_t ZipFlagUtf8 = 0x0800;

inline constexpr uint8_t ZipHostUnix = 3;

inline constexpr uint32_t ZipDescriptorSig = 0x08074B50;
// The longest link target restored; the kernel takes no longer one.
inline constexpr int64_t ZipMaxLinkTarget = 4095;

// One entry of the central directory. Its name lives in the directory (TZipFileList), so
// that a header is a few fixed-size fields; the largest first, to keep it at 64 bytes.
struct TPkHeader {
  int64_t Offset = 0;       // offset of the local header
  int64_t CSize = 0;
  int64_t USize = 0;
  uint32_t TimeStamp = 0;   // DOS time (low 16 bits) and date (high 16 bits)
  uint32_t CRC = 0;
  uint32_t ExternalAttr = 0;
  uint16_t GpFlag = 0;      // bit 0 encrypted, bit 3 data descriptor, bit 11 UTF-8 name
  uint16_t Attr = 0;        // low 16 bits of the external attributes
  uint16_t CompMethode = 0;
  uint16_t Tag = 0;         // 0x9901 when the entry carries the AES extra field
  uint16_t DirLength = 0;   // 46 + name length + extra length
  uint16_t EncVers = 0;     // AES vendor version (1 or 2), 0 without the field
  uint16_t EncMeth = 0;     // actual compression method of an AES entry
  // Beyond the classic record: what Unix archives and AES entries need.
  uint8_t EncMode = 0;      // AES key strength 1..3 from the extra field, 0 without it
  uint8_t HostSystem = 0;   // high byte of "version made by" (3 = Unix)
  bool IsDir = false;
  bool IsAE2 = false;
  bool Zip64 = false;
  // Flagged a folder or a link against its data, its name or its other type bits: not a
  // folder to skip but an entry that fails as corrupt.
  bool TypeConflict = false;

  bool Encrypted() const { return (GpFlag & ZipFlagEncrypted) != 0; }
  bool HasDataDescriptor() const { return (GpFlag & ZipFlagDataDescriptor) != 0; }
  // Encrypted other than with AES (ZipCrypto, strong encryption): no password opens it here.
  bool UnsupportedEncryption() const {
    return Encrypted() && (CompMethode != ZipMethodAes || (GpFlag & ZipFlagStrongEncryption) != 0);
  }
  // A symbolic link made on Unix: its data are the link target.
  bool IsSymLink() const {
    return HostSystem == ZipHostUnix && ((ExternalAttr >> 16) & 0170000) == 0120000;
  }
  // Permission bits of an entry made on Unix; 0 when there are none.
  uint32_t UnixMode() const {
    return HostSystem == ZipHostUnix ? (ExternalAttr >> 16) & 07777 : 0;
  }
};
static_assert(sizeof(TPkHeader) <= 64);

// An entry as its local header describes it.
struct TZipFileInfo {
  std::string Filename;
  uint16_t Flag = 0;
  uint16_t Method = 0;
  uint32_t TimeStamp = 0;
  uint32_t Crc = 0;
  int64_t CSize = 0;
  int64_t USize = 0;
  // From the AES extra field of the local header (0 when absent).
  uint16_t EncVers = 0;
  uint16_t EncMeth = 0;
  uint8_t EncMode = 0;
};

// The only exception of the transfer engine. ZipError is the code with the zip operation mark;
// Context says what was being read when it failed (record, entry, offset), apart from the
// message users see.
class EZipError : public std::runtime_error {
 public:
  EZipError(const std::string& AMessage, TErrorCode ACode, std::string AContext = {})
      : std::runtime_error(AMessage),
        ZipError(TErrorCode::FromValue(ACode.Value() | opZip)),
        Context(std::move(AContext)) {}
  TErrorCode ZipError;
  std::string Context;
};

// A worker's failure as the reader reports it: an error of its detail, whatever severity the
// worker gave it (a detached entry ends with the same code the reader would raise).
constexpr TErrorCode ReaderError(TErrorCode AWorkerCode) { return TErrorCode(sevError, AWorkerCode.Detail()); }

// Code page 437 to Windows-1252 for names stored without the UTF-8 flag.
std::string OemToAnsiName(std::string_view AName);

// The name as shown and restored: UTF-8 (flag bit 11) or cp437 through the 8-bit code
// page; "\" counts as a folder delimiter and becomes "/".
std::string DecodeZipName(std::string_view ARaw, uint16_t AFlag);

// False for names that would leave the destination: absolute ("/x", "C:x"), or with a
// ".." component. Both delimiters count.
bool IsSafeEntryName(std::string_view AName);

// The common name of a compression method, for messages ("bzip2", "method 77").
std::string ZipMethodName(uint16_t AMethod);

// True when a link whose folder lies AFolderDepth levels below the destination root and
// whose target is ATarget stays inside the root. Only relative targets qualify, and ".."
// only before the first named component: after a component that may itself be a link, the
// kernel's ".." would not be the lexical one.
bool LinkTargetStaysInside(std::string_view ATarget, int AFolderDepth);

// A folder entry: the name ends with a delimiter, or the attributes carry 0x10.
bool IsDirectoryEntry(std::string_view AName, uint32_t AAttr);

// True when a link target read from an entry can be a path at all: a control character
// (NUL, a line break, ...) says the entry's data are a file's content instead.
bool IsPlausibleLinkTarget(std::string_view ATarget);

// The data of an AES extra field block (7 bytes or more).
struct TZipAesExtra {
  uint16_t Version = 0;  // vendor version: 1 (AE-1) or 2 (AE-2)
  uint8_t Mode = 0;      // key strength 1..3, 0 when out of range
  uint16_t Method = 0;   // the actual compression method
};
inline TZipAesExtra ParseZipAesExtra(const uint8_t* AData) {
  const uint8_t mode = AData[4] >= 1 && AData[4] <= 3 ? AData[4] : 0;
  return {GetLe16(AData), mode, GetLe16(AData + 5)};
}

// The data of a Zip64 extra field block: one 64-bit value for each header field saturated at
// 0xFFFFFFFF, in the fixed order uncompressed size, compressed size, offset.
class TZip64Extra {
 public:
  TZip64Extra(const uint8_t* AData, size_t ASize) : FData(AData), FSize(ASize) {}
  // Replaces AValue with the next value when AField32 is saturated and the block holds one.
  void Take(uint32_t AField32, int64_t& AValue) {
    if (AField32 != 0xFFFFFFFF || FPos + 8 > FSize) return;
    AValue = static_cast<int64_t>(GetLe64(FData + FPos));
    FPos += 8;
  }

 private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

// Reads a local header from the stream's position into Info (Zip64 sizes and the AES
// field included) and leaves the stream on the first data byte. False when the signature
// is missing, the header is cut short or a size is out of range.
bool ReadZipLocalHeader(TStream& AStream, TZipFileInfo& Info);

// Walks an extra field block by block; a block running past the end ends the walk.
// AVisit(id, data, size) is called for each whole block.
template <class TVisit>
void WalkZipExtra(const uint8_t* AExtra, size_t ALength, TVisit&& AVisit) {
  size_t pos = 0;
  while (pos + 4 <= ALength) {
    const uint16_t id = GetLe16(AExtra + pos);
    const uint16_t size = GetLe16(AExtra + pos + 2);
    if (pos + 4 + size > ALength) break;
    AVisit(id, AExtra + pos + 4, size);
    pos += 4u + size;
  }
}

}  // namespace qv
