// SPDX-License-Identifier: Apache-2.0
#include "transfer/GzipFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/CodePage.h"
#include "base/FileUtils.h"
#include "base/FormatUtils.h"
#include "base/PathUtils.h"
#include "transfer/LittleEndian.h"

namespace qv {

namespace {

// Lower-cased extension of the last path component, without the dot; empty when none.
std::string LowerExtension(const std::string& FileName) {
  std::string ext = GetExtension(FileName);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

// Names longer than this are still consumed but not kept: no file system takes them, and a
// damaged header must not make us hold the whole file as a name.
constexpr size_t kMaxStoredName = 32768;

// Buffered reading of the header; Finish puts the stream on the first unread byte.
class THeaderReader {
 public:
  explicit THeaderReader(TStream& AStream) : FStream(AStream) {}

  bool Start() {
    FStart = FStream.Position();
    return FStart >= 0;
  }
  // Exactly count bytes, or false.
  bool Read(void* out, size_t count) {
    auto* dst = static_cast<uint8_t*>(out);
    while (count > 0) {
      if (FPos == FFill && !Refill()) return false;
      size_t n = std::min(count, FFill - FPos);
      std::memcpy(dst, FBuf + FPos, n);
      FPos += n;
      dst += n;
      count -= n;
    }
    return true;
  }
  // Up to count bytes; the number read, -1 on a stream failure.
  int64_t ReadSome(void* out, size_t count) {
    auto* dst = static_cast<uint8_t*>(out);
    size_t done = 0;
    while (done < count) {
      if (FPos == FFill && !Refill()) break;
      size_t n = std::min(count - done, FFill - FPos);
      std::memcpy(dst + done, FBuf + FPos, n);
      FPos += n;
      done += n;
    }
    return FFailed ? -1 : static_cast<int64_t>(done);
  }
  // Bytes up to a zero byte (consumed, not stored) or the end of the stream.
  bool ReadZeroTerminated(std::string* text) {
    for (;;) {
      if (FPos == FFill && !Refill()) return !FFailed;
      const uint8_t* begin = FBuf + FPos;
      const void* zero = std::memchr(begin, 0, FFill - FPos);
      size_t n = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - begin) : FFill - FPos;
      if (text && text->size() < kMaxStoredName)
        text->append(reinterpret_cast<const char*>(begin), std::min(n, kMaxStoredName - text->size()));
      FPos += n;
      if (zero) {
        ++FPos;
        return true;
      }
    }
  }
  uint64_t Offset() const { return FConsumed + FPos; }  // bytes consumed since Start
  int64_t Position() const { return FStart + static_cast<int64_t>(Offset()); }
  // Places the stream on the first byte not consumed.
  bool Finish() { return FStream.Seek(Position(), SEEK_SET) == Position(); }

 private:
  bool Refill() {
    if (FFailed || FEnd) return false;
    FConsumed += FFill;
    FPos = FFill = 0;
    int64_t n = FStream.Read(FBuf, sizeof FBuf);
    if (n < 0) FFailed = true;
    if (n <= 0) {
      FEnd = true;
      return false;
    }
    FFill = static_cast<size_t>(n);
    return true;
  }

  TStream& FStream;
  uint8_t FBuf[4096];
  size_t FPos = 0;
  size_t FFill = 0;
  uint64_t FConsumed = 0;
  int64_t FStart = 0;
  bool FFailed = false;
  bool FEnd = false;
};

}  // namespace

bool IsGzFile(const std::string& FileName) { return LowerExtension(FileName) == "gz"; }
bool IsGzeFile(const std::string& FileName) { return LowerExtension(FileName) == "gze"; }
bool IsEncFile(const std::string& FileName) { return LowerExtension(FileName) == "enc"; }

int ReadGzHeader(TStream& AStream, std::string& Filename, uint32_t& UnixTime, bool& Encrypted,
                 int64_t& CSize, int64_t& USize, bool* AHasSizeField) {
  Filename.clear();
  UnixTime = 0;
  if (AHasSizeField) *AHasSizeField = false;
  THeaderReader rd(AStream);
  if (!rd.Start()) return gzhReadError;

  uint8_t fixed[10];
  int64_t got = rd.ReadSome(fixed, sizeof fixed);
  if (got < 0) return gzhReadError;
  if (got >= 2 && GetLe16(fixed) != 0x8B1F) return gzhBadMagic;
  if (got < static_cast<int64_t>(sizeof fixed)) return gzhReadError;

  const uint8_t flags = fixed[3];
  const uint8_t os = fixed[9];
  UnixTime = GetLe32(fixed + 4);
  CSize = 0;
  USize = 0;

  if (flags & gzfExtra) {
    uint8_t lenBytes[2];
    if (!rd.Read(lenBytes, 2)) return gzhReadError;
    int64_t xlen = GetLe16(lenBytes);
    if (xlen >= 20) {
      uint8_t id[2];
      if (!rd.Read(id, 2)) return gzhReadError;
      xlen -= 2;
      if (GetLe16(id) == 1) {
        uint8_t sizes[18];
        if (!rd.Read(sizes, sizeof sizes)) return gzhReadError;
        CSize = static_cast<int64_t>(GetLe64(sizes + 2));
        USize = static_cast<int64_t>(GetLe64(sizes + 10));
        xlen -= 18;
      }
    }
    // The rest of the extra field; it must lie inside the stream.
    uint8_t sink[256];
    while (xlen > 0) {
      size_t n = static_cast<size_t>(std::min<int64_t>(xlen, sizeof sink));
      if (!rd.Read(sink, n)) return gzhReadError;
      xlen -= static_cast<int64_t>(n);
    }
  }
  std::string rawName;
  if ((flags & gzfName) && !rd.ReadZeroTerminated(&rawName)) return gzhReadError;
  if ((flags & gzfComment) && !rd.ReadZeroTerminated(nullptr)) return gzhReadError;
  if (flags & gzfHeaderCrc) {
    uint8_t hcrc[2];
    if (!rd.Read(hcrc, 2)) return gzhReadError;
  }
  Encrypted = (flags & gzfEncrypted) != 0;
  // OS 0: written on a system whose names are in its 8-bit code page; else UTF-8.
  Filename = os == 0 ? AnsiToUtf8(rawName) : rawName;

  if (!rd.Finish()) return gzhReadError;
  const int64_t bodyStart = rd.Position();
  const int64_t size = AStream.Size();
  if (size < 0) return gzhReadError;
  if (AHasSizeField) *AHasSizeField = USize != 0;
  if (CSize == 0) CSize = size - bodyStart - GzTrailerSize;
  if (USize == 0) {
    uint8_t isize[4];
    if (size < 4 || AStream.Seek(size - 4, SEEK_SET) != size - 4 || AStream.Read(isize, 4) != 4 ||
        AStream.Seek(bodyStart, SEEK_SET) != bodyStart)
      return gzhReadError;
    USize = GetLe32(isize);
  }
  return gzhOk;
}

bool GetGzFileInfo(const std::string& FileName, TGzFileInfo& Info) {
  Info = TGzFileInfo{};
  std::unique_ptr<TFileStream> file = TFileStream::Open(FileName, TOpenMode::Read);
  if (!file) return false;
  int rc = ReadGzHeader(*file, Info.Filename, Info.UnixTime, Info.Encrypted, Info.CSize, Info.USize);
  file.reset();
  if (rc != gzhOk) return false;
  int attr = LongFileGetAttr(FileName);
  Info.Attr = attr < 0 ? 0 : static_cast<uint16_t>(attr & 0xFFFF);
  return true;
}

std::string GzCrcMismatch(uint32_t AStored, uint32_t AComputed) {
  return "CRC-32 " + Hex32(AStored) + " in the trailer, " + Hex32(AComputed) + " computed";
}

std::string GzSizeMismatch(uint32_t AIsize, int64_t AUnpacked) {
  return "size " + std::to_string(AIsize) + " (modulo 4 GiB) in the trailer, " + std::to_string(AUnpacked) +
         " bytes unpacked";
}

}  // namespace qv
