// SPDX-License-Identifier: Apache-2.0
#pragma once
// The suite's gzip container as the restore side reads it: one member (RFC 1952) with an
// extra subfield carrying 64-bit compressed and uncompressed sizes (ID 1, first subfield of
// an extra field of at least 20 bytes) and FLG bit 5 marking an encrypted deflate body.
#include <cstdint>
#include <string>

#include "base/Stream.h"

namespace qv {

// Header flag bits.
inline constexpr uint8_t gzfHeaderCrc = 0x02;
inline constexpr uint8_t gzfExtra = 0x04;
inline constexpr uint8_t gzfName = 0x08;
inline constexpr uint8_t gzfComment = 0x10;
inline constexpr uint8_t gzfEncrypted = 0x20;

// Length of the CRC32 + ISIZE trailer.
inline constexpr int64_t GzTrailerSize = 8;

struct TGzFileInfo {
  std::string Filename;   // name stored in the header (UTF-8), empty when none
  uint32_t UnixTime = 0;  // MTIME
  uint16_t Attr = 0;      // attributes of the .gz file itself
  int64_t CSize = 0;
  int64_t USize = 0;
  bool Encrypted = false;
};

// Extension tests on the name only (last "." of the last path component, case-insensitive).
bool IsGzFile(const std::string& FileName);
bool IsGzeFile(const std::string& FileName);
bool IsEncFile(const std::string& FileName);

// Result codes of ReadGzHeader (no severity class).
inline constexpr int gzhOk = 0;
inline constexpr int gzhReadError = 4;  // errReadFile
inline constexpr int gzhBadMagic = 8;   // errGzipHeader

// Reads the member header from the current position of AStream and leaves the position at
// the first body byte. Sizes that the header does not give (no size subfield, or 0) default
// to CSize = stream size - body start - 8 and USize = ISIZE (last 4 bytes).
// AHasSizeField (optional) tells whether USize came from the size subfield, i.e. is exact
// rather than ISIZE modulo 2^32.
int ReadGzHeader(TStream& AStream, std::string& Filename, uint32_t& UnixTime, bool& Encrypted,
                 int64_t& CSize, int64_t& USize, bool* AHasSizeField = nullptr);

// The uncompressed size that a member without the size subfield states: the one whose low
// 32 bits are AIsize and whose high bits are those of AWritten, so that a member of 4 GiB or
// more checks out when what was written matches ISIZE modulo 2^32.
inline int64_t SizeFromIsize(int64_t AWritten, uint32_t AIsize) {
  return static_cast<int64_t>((static_cast<uint64_t>(AWritten) & ~uint64_t{0xFFFFFFFF}) | AIsize);
}

// Reads the header of FileName into Info; true when it was read. False also when the file
// cannot be opened (Info then stays cleared).
// Why a member's trailer refuses what was unpacked.
std::string GzCrcMismatch(uint32_t AStored, uint32_t AComputed);
std::string GzSizeMismatch(uint32_t AIsize, int64_t AUnpacked);

bool GetGzFileInfo(const std::string& FileName, TGzFileInfo& Info);

}  // namespace qv
