// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipTypes.h"

#include <algorithm>
#include <array>
#include <vector>

#include "base/CodePage.h"
#include "base/Stream.h"

namespace qv {
namespace {

// Code page 437 (0x80..0xFF) to Windows-1252. Characters that Windows-1252 lacks become a
// blank, except the few that have a look-alike there.
constexpr std::array<uint8_t, 128> OemToAnsiTable = {
    // 0x80
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    // 0x90
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xA2, 0xA3, 0xA5, 0x20, 0x20,
    // 0xA0
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0x61, 0x6F, 0xBF, 0x20, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    // 0xB0: box drawing, except the vertical line
    0x20, 0x20, 0x20, 0xA6, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    // 0xC0: box drawing, except the horizontal line
    0x20, 0x20, 0x20, 0x20, 0xAD, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    // 0xD0
    0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    // 0xE0: Greek and mathematical characters
    0x20, 0xDF, 0xB6, 0x20, 0x20, 0x20, 0xB5, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
    // 0xF0
    0x20, 0xB1, 0x20, 0x20, 0x20, 0x20, 0xF7, 0x20, 0xB0, 0x20, 0xB7, 0x20, 0xB3, 0xB2, 0x20, 0x20,
};

bool IsDelimiter(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string OemToAnsiName(std::string_view AName) {
  std::string result(AName);
  for (char& c : result) {
    const auto b = static_cast<uint8_t>(c);
    if (b >= 0x80) c = static_cast<char>(OemToAnsiTable[b - 0x80]);
    else if (b == 0x15) c = static_cast<char>(0xA7);  // section sign
  }
  return result;
}

std::string DecodeZipName(std::string_view ARaw, uint16_t AFlag) {
  // Plain ASCII comes out of both code-page steps unchanged (0x15 is the one exception), so
  // most names need no conversion.
  const bool plain = std::all_of(ARaw.begin(), ARaw.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80 && c != '\x15';
  });
  std::string name = (AFlag & ZipFlagUtf8) || plain ? std::string(ARaw) : AnsiToUtf8(OemToAnsiName(ARaw));
  for (char& c : name)
    if (c == '\\') c = '/';
  return name;
}

bool IsSafeEntryName(std::string_view AName) {
  if (AName.empty() || IsDelimiter(AName.front())) return false;
  if (AName.find('\0') != std::string_view::npos) return false;
  if (AName.size() >= 2 && AName[1] == ':') return false;  // drive-qualified
  size_t start = 0;
  while (start <= AName.size()) {
    size_t end = start;
    while (end < AName.size() && !IsDelimiter(AName[end])) ++end;
    if (AName.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string ZipMethodName(uint16_t AMethod) {
  switch (AMethod) {
    case 0: return "stored";
    case 1: return "shrink";
    case 6: return "implode";
    case 8: return "deflate";
    case 9: return "Deflate64";
    case 12: return "bzip2";
    case 14: return "LZMA";
    case 93: return "Zstandard";
    case 95: return "xz";
    case 96: return "JPEG";
    case 97: return "WavPack";
    case 98: return "PPMd";
    case 99: return "AES";
    default: return "method " + std::to_string(AMethod);
  }
}

bool LinkTargetStaysInside(std::string_view ATarget, int AFolderDepth) {
  if (ATarget.empty() || ATarget.front() == '/') return false;
  if (ATarget.find('\0') != std::string_view::npos) return false;
  int depth = AFolderDepth;
  bool named = false;
  size_t start = 0;
  while (start <= ATarget.size()) {
    size_t end = ATarget.find('/', start);
    if (end == std::string_view::npos) end = ATarget.size();
    const std::string_view part = ATarget.substr(start, end - start);
    if (part == "..") {
      if (named || --depth < 0) return false;
    } else if (!part.empty() && part != ".") {
      named = true;
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

bool IsDirectoryEntry(std::string_view AName, uint32_t AAttr) {
  return (!AName.empty() && IsDelimiter(AName.back())) || (AAttr & 0x10) != 0;
}

bool IsPlausibleLinkTarget(std::string_view ATarget) {
  return std::none_of(ATarget.begin(), ATarget.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
  });
}

bool ReadZipLocalHeader(TStream& AStream, TZipFileInfo& Info) {
  uint8_t h[30];
  if (AStream.Read(h, sizeof h) != static_cast<int64_t>(sizeof h)) return false;
  if (GetLe32(h) != ZipLocalHeaderSig) return false;
  Info = TZipFileInfo{};
  Info.Flag = GetLe16(h + 6);
  Info.Method = GetLe16(h + 8);
  Info.TimeStamp = GetLe32(h + 10);
  Info.Crc = GetLe32(h + 14);
  const uint32_t csize32 = GetLe32(h + 18);
  const uint32_t usize32 = GetLe32(h + 22);
  Info.CSize = csize32;
  Info.USize = usize32;
  const size_t nameLength = GetLe16(h + 26);
  const size_t extraLength = GetLe16(h + 28);
  std::vector<uint8_t> tail(nameLength + extraLength);
  if (!tail.empty() &&
      AStream.Read(tail.data(), tail.size()) != static_cast<int64_t>(tail.size()))
    return false;
  Info.Filename = DecodeZipName(
      std::string_view(reinterpret_cast<const char*>(tail.data()), nameLength), Info.Flag);
  WalkZipExtra(tail.data() + nameLength, extraLength,
               [&](uint16_t id, const uint8_t* data, size_t size) {
                 if (id == ZipExtraZip64) {
                   TZip64Extra zip64(data, size);
                   zip64.Take(usize32, Info.USize);
                   zip64.Take(csize32, Info.CSize);
                 } else if (id == ZipExtraAes && size >= 7) {
                   const TZipAesExtra aes = ParseZipAesExtra(data);
                   Info.EncVers = aes.Version;
                   Info.EncMode = aes.Mode;
                   Info.EncMeth = aes.Method;
                 }
               });
  return Info.CSize >= 0 && Info.USize >= 0;
}

}  // namespace qv
