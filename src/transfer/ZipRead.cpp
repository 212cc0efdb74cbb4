// SPDX-License-Identifier: Apache-2.0
#include "transfer/ZipRead.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "base/FileUtils.h"
#include "base/TargetFile.h"
#include "base/TimeUtils.h"
#include "base/Translation.h"
#include "crypto/AesLib.h"
#include "transfer/EncryptedBody.h"
#include "transfer/Inflater.h"
#include "transfer/ZipCompareThread.h"

namespace qv {
namespace {

constexpr int32_t DefaultBufferSize = 524288;
constexpr int64_t EndRecordSize = 22;
constexpr int64_t MaxCommentLength = 65535;
constexpr int64_t Zip64LocatorSize = 20;
constexpr int64_t Zip64EndRecordSize = 56;
constexpr size_t CentralHeaderSize = 46;
constexpr int64_t LocalHeaderSize = 30;
constexpr uint32_t Saturated32 = 0xFFFFFFFF;

// A small entry needs a block no larger than itself.
int32_t SmallEntryBlock(const TPkHeader& AHeader, int32_t ABufferSize) {
  return static_cast<int32_t>(std::min<int64_t>(ABufferSize, std::max(AHeader.USize, AHeader.CSize) + 1));
}

// Context of a failure: what was being read, and where.
std::string AtOffset(const std::string& AWhat, int64_t AOffset) {
  return AWhat + " at offset " + std::to_string(AOffset);
}

// Sequential reads of the directory through a window of the archive, so that a directory of
// many entries costs few system calls.
class TDirectoryReader {
 public:
  TDirectoryReader(TFileStream& AFile, int64_t AStart, int64_t AEnd)
      : FFile(AFile), FPosition(AStart), FEnd(AEnd) {}

  // Copies the next ACount bytes into AOut; false when the directory region ends first.
  bool Read(void* AOut, size_t ACount) {
    auto* out = static_cast<uint8_t*>(AOut);
    while (ACount > 0) {
      if (FWindowPos >= FWindow.size() && !Refill()) return false;
      const size_t n = std::min(ACount, FWindow.size() - FWindowPos);
      std::memcpy(out, FWindow.data() + FWindowPos, n);
      FWindowPos += n;
      out += n;
      ACount -= n;
    }
    return true;
  }
  // Offset of the next byte Read gives.
  int64_t Position() const {
    return FPosition - static_cast<int64_t>(FWindow.size()) + static_cast<int64_t>(FWindowPos);
  }
  bool Skip(size_t ACount) {
    while (ACount > 0) {
      if (FWindowPos >= FWindow.size() && !Refill()) return false;
      const size_t n = std::min(ACount, FWindow.size() - FWindowPos);
      FWindowPos += n;
      ACount -= n;
    }
    return true;
  }

 private:
  bool Refill() {
    const int64_t left = FEnd - FPosition;
    if (left <= 0) return false;
    const size_t size = static_cast<size_t>(std::min<int64_t>(left, 1 << 20));
    FWindow.resize(size);
    if (FFile.ReadAt(FWindow.data(), size, FPosition) != static_cast<int64_t>(size)) return false;
    FPosition += static_cast<int64_t>(size);
    FWindowPos = 0;
    return true;
  }

  TFileStream& FFile;
  int64_t FPosition;
  int64_t FEnd;
  std::vector<uint8_t> FWindow;
  size_t FWindowPos = 0;
};

std::string FolderOf(const std::string& APath) {
  const size_t slash = APath.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : APath.substr(0, slash);
}

std::string RealPath(const std::string& APath) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(APath.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

// The folder an open descriptor stands for, as the kernel resolved it.
std::string RealPathOf(const TFd& AFolder) {
  char buffer[PATH_MAX];
  const std::string proc = "/proc/self/fd/" + std::to_string(AFolder.Get());
  const ssize_t n = ::readlink(proc.c_str(), buffer, sizeof buffer);
  return n > 0 && static_cast<size_t>(n) < sizeof buffer ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Without a destination given: the link's folder without the entry name's folders when it
// ends so (the name's own last part may differ: "keep both" renames it), else that folder.
std::string InferredRoot(const std::string& ALinkPath, const std::string& AEntryName) {
  const std::string folder = FolderOf(ALinkPath);
  const size_t slash = AEntryName.rfind('/');
  const std::string suffix = slash == std::string::npos ? std::string() : "/" + AEntryName.substr(0, slash);
  const bool mirrored = folder.size() > suffix.size() &&
                        folder.compare(folder.size() - suffix.size(), suffix.size(), suffix) == 0;
  return mirrored ? folder.substr(0, folder.size() - suffix.size()) : folder;
}

// How many folders ARealFolder lies below ARealRoot; -1 when it is not inside.
int FolderDepth(const std::string& ARealFolder, const std::string& ARealRoot) {
  if (ARealRoot.empty() || ARealFolder.empty()) return -1;
  if (ARealFolder == ARealRoot) return 0;
  const std::string prefix = ARealRoot == "/" ? ARealRoot : ARealRoot + "/";
  if (ARealFolder.compare(0, prefix.size(), prefix) != 0) return -1;
  return static_cast<int>(std::count(ARealFolder.begin() + static_cast<std::ptrdiff_t>(prefix.size()),
                                     ARealFolder.end(), '/')) + 1;
}

// Opens the folder a link entry goes to, below the destination as files are, and tells how
// deep below the destination it really lies (a folder on the way may itself be a link).
// A detail code; errNameRefused when the folder is not inside.
uint32_t OpenLinkFolder(const TTargetRules& ARules, const std::string& ALinkPath,
                        const std::string& AEntryName, TFd& AFolder, int& ADepth) {
  std::string root = ARules.Root;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::string relative;
  if (!root.empty()) {
    const std::string prefix = root == "/" ? root : root + "/";
    if (ALinkPath.compare(0, prefix.size(), prefix) != 0) return errNameRefused;
    relative = FolderOf(ALinkPath.substr(prefix.size()));
    if (relative == ".") relative.clear();
  } else {
    root = InferredRoot(ALinkPath, AEntryName);
    const std::string folder = FolderOf(ALinkPath);
    relative = folder.size() > root.size() ? folder.substr(root.size() + 1) : std::string();
  }
  if (const int rc = OpenFolderBeneath(root, relative, false, AFolder); rc != 0) return static_cast<uint32_t>(rc);
  ADepth = FolderDepth(RealPathOf(AFolder), RealPath(root));
  return ADepth < 0 ? uint32_t{errNameRefused} : 0u;
}

// Puts a symbolic link to ATarget at ABase in AFolder through a temporary name, so that an
// existing file is replaced in one step or not at all. A folder there is refused, and a
// write-protected file unless AReplaceProtected, as for a restored file. A detail code.
uint32_t CreateLinkReplacing(const std::string& ATarget, const TFd& AFolder, const std::string& ABase,
                             bool AReplaceProtected) {
  struct stat st {};
  if (::fstatat(AFolder.Get(), ABase.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      (S_ISDIR(st.st_mode) || (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0 && !AReplaceProtected)))
    return errCreateFile;
  std::random_device seed;
  std::mt19937_64 rng(seed());
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string temp = "." + ABase.substr(0, 100) + "." + std::to_string(::getpid()) + "-" +
                             std::to_string(rng() % 1000000000000ULL) + ".qvpart";
    if (::symlinkat(ATarget.c_str(), AFolder.Get(), temp.c_str()) != 0) {
      if (errno == EEXIST) continue;
      return static_cast<uint32_t>(DetailFromErrno(errno, errCreateFile));
    }
    if (::renameat(AFolder.Get(), temp.c_str(), AFolder.Get(), ABase.c_str()) == 0) return 0;
    ::unlinkat(AFolder.Get(), temp.c_str(), 0);
    return errCreateFile;
  }
  return errCreateFile;
}

}  // namespace

// ---------------------------------------------------------------------------- TZipFileList

namespace {

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// FNV-1a over the folded bytes: no folded copy of the name is made.
uint64_t FoldedHash(std::string_view AName) {
  uint64_t hash = 0xCBF29CE484222325ULL;
  for (const char c : AName) {
    hash ^= static_cast<unsigned char>(FoldAscii(c));
    hash *= 0x100000001B3ULL;
  }
  return hash;
}

bool FoldedEqual(std::string_view A, std::string_view B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

}  // namespace

std::string_view TZipFileList::Name(int AIndex) const {
  const auto i = static_cast<size_t>(AIndex);
  const size_t start = i == 0 ? 0 : FNameEnds[i - 1];
  return std::string_view(FNames).substr(start, FNameEnds[i] - start);
}

std::string_view TZipFileList::RawName(int AIndex) const {
  const auto raw = FRawNames.find(AIndex);
  return raw == FRawNames.end() ? Name(AIndex) : std::string_view(raw->second);
}

void TZipFileList::BuildNameSlots() const {
  size_t capacity = 16;
  while (capacity < FHeaders.size() * 2) capacity *= 2;
  FNameSlots.assign(capacity, -1);
  for (int index = 0; index < Count(); ++index) {
    const std::string_view name = Name(index);
    size_t slot = FoldedHash(name) & (capacity - 1);
    // The first of equal names keeps the slot.
    while (FNameSlots[slot] >= 0 && !FoldedEqual(Name(FNameSlots[slot]), name)) slot = (slot + 1) & (capacity - 1);
    if (FNameSlots[slot] < 0) FNameSlots[slot] = index;
  }
}

int TZipFileList::IndexOf(std::string_view AName) const {
  if (Empty()) return -1;
  if (FNameSlots.empty()) BuildNameSlots();
  const size_t mask = FNameSlots.size() - 1;
  for (size_t slot = FoldedHash(AName) & mask; FNameSlots[slot] >= 0; slot = (slot + 1) & mask)
    if (FoldedEqual(Name(FNameSlots[slot]), AName)) return FNameSlots[slot];
  return -1;
}

void TZipFileList::SortByOffset() const {
  FByOffset.resize(FHeaders.size());
  for (size_t i = 0; i < FByOffset.size(); ++i) FByOffset[i] = static_cast<int32_t>(i);
  std::stable_sort(FByOffset.begin(), FByOffset.end(),
                   [this](int32_t a, int32_t b) { return Objects(a).Offset < Objects(b).Offset; });
}

int TZipFileList::IndexAtRank(size_t ARank) const {
  if (FInOffsetOrder) return static_cast<int>(ARank);
  if (FByOffset.size() != FHeaders.size()) SortByOffset();
  return FByOffset[ARank];
}

size_t TZipFileList::FirstRankAtOrAfter(int64_t AOffset) const {
  size_t low = 0, high = FHeaders.size();
  while (low < high) {
    const size_t mid = low + (high - low) / 2;
    if (OffsetAtRank(mid) < AOffset) low = mid + 1;
    else high = mid;
  }
  return low;
}

int TZipFileList::IndexOfOffset(int64_t AOffset) const {
  if (AOffset == FLastOffset) return FLastIndex;
  const size_t rank = FirstRankAtOrAfter(AOffset);
  FLastOffset = AOffset;
  FLastIndex = rank < FHeaders.size() && OffsetAtRank(rank) == AOffset ? IndexAtRank(rank) : -1;
  return FLastIndex;
}

int64_t TZipFileList::SpanAt(int64_t AOffset, int64_t AEnd) const {
  const size_t first = FirstRankAtOrAfter(AOffset);
  size_t next = first;
  while (next < FHeaders.size() && OffsetAtRank(next) == AOffset) {
    if (++next - first > 1) return -1;
  }
  const int64_t end = next == FHeaders.size() ? AEnd : std::min(OffsetAtRank(next), AEnd);
  return std::max<int64_t>(end - AOffset, 0);
}

void TZipFileList::Add(std::string_view AName, std::string_view ARawName, const TPkHeader& AHeader) {
  const int index = Count();
  FInOffsetOrder = FInOffsetOrder && (FHeaders.empty() || FHeaders.back().Offset <= AHeader.Offset);
  FHeaders.push_back(AHeader);
  FNames.append(AName);
  FNameEnds.push_back(FNames.size());
  if (ARawName != AName) FRawNames.emplace(index, ARawName);
  FNameSlots.clear();
  FByOffset.clear();
  FLastOffset = -1;
}

void TZipFileList::Clear() {
  FHeaders.clear();
  FNames.clear();
  FNameEnds.clear();
  FRawNames.clear();
  FNameSlots.clear();
  FByOffset.clear();
  FInOffsetOrder = true;
  FLastOffset = -1;
  FLastIndex = -1;
}

void TZipFileList::Reserve(size_t ACount, size_t ANameBytes) {
  FHeaders.reserve(FHeaders.size() + ACount);
  FNameEnds.reserve(FNameEnds.size() + ACount);
  FNames.reserve(FNames.size() + ANameBytes);
}

// ---------------------------------------------------------------------------- TZip

TZip::TZip(const std::string& ZipName, const std::string& Password, int AKeyMode, int ABufSize)
    : FBufferSize(ABufSize < 1 ? DefaultBufferSize : ABufSize), ZName(ZipName) {
  FStream = TFileStream::Open(ZipName, TOpenMode::Read);
  struct stat st {};
  const bool opened = FStream && ::fstat(FStream->Handle(), &st) == 0;
  if (!opened || !S_ISREG(st.st_mode))
    throw EZipError(FormatMsg(MsgErrorOpening(), ZipName), TErrorCode(sevError, errOpenFile),
                    opened ? "not a regular file" : std::strerror(errno));
  FArchiveSize = st.st_size;
  InitEncryption(Password, AKeyMode);
}

TZip::~TZip() = default;

void TZip::InitEncryption(const std::string& Password, int AKeyMode) {
  FEncryption.reset();
  for (auto& e : FModeEncryption) e.reset();
  FEncrypt = !Password.empty();
  FPassword = Password;
  ++FPasswordGeneration;
  FKeyMode = AKeyMode;
  if (!FEncrypt) return;
  FEncryption = std::make_unique<TEncryption>(Password, AKeyMode, FBufferSize);
}

// The decryptor's reports reach the handler through each entry worker, which routes them to
// the main thread; the reader never binds the handler to the decryptor directly.
void TZip::SetOnProgress(TProgressEvent AEvent) { FOnProgress = std::move(AEvent); }

TEncryption* TZip::EncryptionFor(int AKeyMode) {
  if (!FEncrypt) return nullptr;
  if (AKeyMode < 1 || AKeyMode > 3 || AKeyMode == FEncryption->KeyMode()) return FEncryption.get();
  auto& slot = FModeEncryption[AKeyMode];
  if (!slot) slot = std::make_unique<TEncryption>(FPassword, AKeyMode, FBufferSize);
  return slot.get();
}

void TZip::CopyToStream(TStream& AStream, int64_t SLength) {
  std::vector<uint8_t> buffer(static_cast<size_t>(FBufferSize));
  int64_t position = FStream->Position();
  while (SLength > 0) {
    const size_t request = static_cast<size_t>(std::min<int64_t>(SLength, FBufferSize));
    uint32_t detail = 0;
    const int64_t n = FStream->Read(buffer.data(), request);
    if (n != static_cast<int64_t>(request)) {
      detail = errReadFile;
    } else {
      const int64_t written = AStream.Write(buffer.data(), request);
      if (written < 0) detail = errWriteFile;
      else if (written != n) detail = errDiskFull;
    }
    if (detail != 0) {
      const TErrorCode code(sevError, detail);
      throw EZipError(code.Message(), code, AtOffset("a copy of " + std::to_string(request) + " bytes", position));
    }
    SLength -= n;
    position += n;
  }
}

// ---------------------------------------------------------------------------- TZipRead

TZipRead::TZipRead(const std::string& ZipName, const std::string& Password, int AKeyMode,
                   int ABufSize)
    : TZip(ZipName, Password, AKeyMode, ABufSize) {}

TZipRead::~TZipRead() {
  if (ZipThread) {
    ZipThread->CancelThread();
    ZipThread.reset();  // waits, serving its pending calls
  }
}

void TZipRead::RaiseReading(TErrorCode ACode, const std::string& AWhat, std::string AContext) const {
  std::string message = FormatMsg(MsgErrorReading(), ZName);
  if (!AWhat.empty()) message += ": " + AWhat;
  throw EZipError(message, ACode, std::move(AContext));
}

void TZipRead::RaiseWorkerError(const TRestoreError& AFailure, const TPkHeader* AHeader, std::string AContext) {
  const TErrorCode code = ReaderError(AFailure.Code);
  std::string message = code.Message();
  if (!AFailure.Context.empty()) AContext += (AContext.empty() ? "" : ": ") + AFailure.Context;
  if (code.Is(errUnsupportedMethod) && AHeader) {
    const bool aes = AHeader->CompMethode == ZipMethodAes && AHeader->EncVers != 0;
    message += " (" + ZipMethodName(aes ? AHeader->EncMeth : AHeader->CompMethode) + ")";
  }
  throw EZipError(message, code, std::move(AContext));
}

std::string TZipRead::EntryContext(int64_t AOffset) const {
  const int index = FileList.IndexOfOffset(AOffset);
  const std::string entry = index >= 0 ? "entry \"" + FileList.Strings(index) + "\"" : std::string("local header");
  return AtOffset(entry, AOffset);
}

const TPkHeader* TZipRead::HeaderAt(int64_t AOffset) const {
  const int index = FileList.IndexOfOffset(AOffset);
  return index >= 0 ? &FileList.Objects(index) : nullptr;
}

void TZipRead::ReadDirectory() {
  TDirectoryBounds bounds = FindEndRecord();
  ReadZip64EndRecord(bounds);
  CheckDirectoryBounds(bounds);
  bod = static_cast<int64_t>(bounds.Offset);
  ReadCentralHeaders(bounds);
}

TZipRead::TDirectoryBounds TZipRead::FindEndRecord() {
  const int64_t size = ArchiveSize();
  const TErrorCode notZip(sevError, errZipSignature);
  if (size < EndRecordSize)
    RaiseReading(notZip, TrUnits("too short for a zip archive"), "an archive of " + std::to_string(size) + " bytes");

  // Searched backwards over the longest possible comment. A record whose comment reaches
  // exactly to the end of the file wins over one followed by other bytes.
  const int64_t tailLength = std::min(size, EndRecordSize + MaxCommentLength);
  const int64_t tailStart = size - tailLength;
  const std::string searched = AtOffset("the last " + std::to_string(tailLength) + " bytes", tailStart);
  std::vector<uint8_t> tail(static_cast<size_t>(tailLength));
  if (Archive().ReadAt(tail.data(), tail.size(), tailStart) != tailLength) RaiseReading(notZip, {}, searched);
  int64_t endPos = -1;
  for (int64_t pos = tailLength - EndRecordSize; pos >= 0; --pos) {
    const uint8_t* rec = tail.data() + pos;
    if (GetLe32(rec) != ZipEndRecordSig) continue;
    const int64_t recordEnd = pos + EndRecordSize + GetLe16(rec + 20);
    if (recordEnd == tailLength) {
      endPos = pos;
      break;
    }
    if (recordEnd < tailLength && endPos < 0) endPos = pos;
  }
  if (endPos < 0) RaiseReading(notZip, TrUnits("no end of central directory record"), searched);
  const uint8_t* end = tail.data() + endPos;
  const int64_t endOffset = tailStart + endPos;
  return {endOffset, endOffset, GetLe16(end + 10), GetLe32(end + 12), GetLe32(end + 16)};
}

void TZipRead::ReadZip64EndRecord(TDirectoryBounds& ABounds) {
  if (ABounds.Offset != Saturated32 && ABounds.Size != Saturated32 && ABounds.Count != 0xFFFF) return;
  const TErrorCode notZip(sevError, errZipSignature);
  const int64_t locatorOffset = ABounds.EndOffset - Zip64LocatorSize;
  uint8_t locator[Zip64LocatorSize];
  const bool hasLocator = locatorOffset >= 0 &&
                          Archive().ReadAt(locator, sizeof locator, locatorOffset) == Zip64LocatorSize &&
                          GetLe32(locator) == Zip64LocatorSig;
  if (!hasLocator) {
    // Without a locator, 0xFFFF is simply the number of entries.
    if (ABounds.Offset == Saturated32 || ABounds.Size == Saturated32)
      RaiseReading(notZip, TrUnits("Zip64 end of central directory locator"),
                   AtOffset("the Zip64 locator before the end record", std::max<int64_t>(locatorOffset, 0)));
    return;
  }
  const uint64_t recordOffset = GetLe64(locator + 8);
  uint8_t record[Zip64EndRecordSize];
  if (recordOffset > static_cast<uint64_t>(ArchiveSize() - Zip64EndRecordSize) ||
      Archive().ReadAt(record, sizeof record, static_cast<int64_t>(recordOffset)) != Zip64EndRecordSize ||
      GetLe32(record) != Zip64EndRecordSig)
    RaiseReading(notZip, TrUnits("Zip64 end of central directory record"),
                 "the Zip64 end record at offset " + std::to_string(recordOffset));
  ABounds.Limit = static_cast<int64_t>(recordOffset);
  ABounds.Count = GetLe64(record + 32);
  ABounds.Size = GetLe64(record + 40);
  ABounds.Offset = GetLe64(record + 48);
}

void TZipRead::CheckDirectoryBounds(const TDirectoryBounds& ABounds) const {
  // Nothing from the archive is trusted beyond what the file can hold. These are damaged
  // records, not wrong signatures.
  const TErrorCode damaged(sevError, errCorrupt);
  const std::string record = AtOffset("the end record", ABounds.EndOffset);
  if (ABounds.Offset > static_cast<uint64_t>(ABounds.Limit))
    RaiseReading(damaged,
                 FormatMsg(TrUnits("the central directory offset %s lies beyond the end record"),
                           std::to_string(ABounds.Offset)),
                 record);
  if (ABounds.Size > static_cast<uint64_t>(ABounds.Limit) - ABounds.Offset)
    RaiseReading(damaged,
                 FormatMsg(TrUnits("the central directory of %s bytes runs into the end record"),
                           std::to_string(ABounds.Size)),
                 record);
  if (ABounds.Count > ABounds.Size / CentralHeaderSize)
    RaiseReading(damaged,
                 FormatMsg(TrUnits("the directory counts %s entries, more than the archive can hold"),
                           std::to_string(ABounds.Count)),
                 record);
}

namespace {

// The fixed part of a central header; the name and extra field follow it.
TPkHeader ParseCentralHeader(const uint8_t* h) {
  TPkHeader header;
  const uint16_t versionMadeBy = GetLe16(h + 4);
  header.GpFlag = GetLe16(h + 8);
  header.CompMethode = GetLe16(h + 10);
  header.TimeStamp = GetLe32(h + 12);
  header.CRC = GetLe32(h + 16);
  header.CSize = GetLe32(h + 20);
  header.USize = GetLe32(h + 24);
  header.ExternalAttr = GetLe32(h + 38);
  header.Offset = GetLe32(h + 42);
  header.HostSystem = static_cast<uint8_t>(versionMadeBy >> 8);
  header.Attr = static_cast<uint16_t>(header.ExternalAttr & 0xFFFF);
  header.DirLength = static_cast<uint16_t>(CentralHeaderSize + GetLe16(h + 28) + GetLe16(h + 30));
  return header;
}

// The Zip64 sizes and offset and the AES field; the saturated 32-bit values are still in
// the header when this runs.
void ApplyExtraFields(TPkHeader& AHeader, const uint8_t* AExtra, size_t ALength) {
  const auto csize32 = static_cast<uint32_t>(AHeader.CSize);
  const auto usize32 = static_cast<uint32_t>(AHeader.USize);
  const auto offset32 = static_cast<uint32_t>(AHeader.Offset);
  WalkZipExtra(AExtra, ALength, [&](uint16_t id, const uint8_t* data, size_t blockSize) {
    if (id == ZipExtraZip64) {
      TZip64Extra zip64(data, blockSize);
      zip64.Take(usize32, AHeader.USize);
      zip64.Take(csize32, AHeader.CSize);
      zip64.Take(offset32, AHeader.Offset);
    } else if (id == ZipExtraAes && blockSize >= 7) {
      const TZipAesExtra aes = ParseZipAesExtra(data);
      AHeader.Tag = ZipExtraAes;
      AHeader.EncVers = aes.Version;
      AHeader.EncMode = aes.Mode;
      AHeader.EncMeth = aes.Method;
      AHeader.IsAE2 = aes.Version == 2;
    }
  });
}

// Whether an entry holds data: Java and Python write a folder as an empty deflate stream,
// which takes a few bytes (5 as a stored block).
bool CarriesData(const TPkHeader& AHeader) {
  constexpr int64_t EmptyDeflateStream = 5;
  const int64_t empty = AHeader.CompMethode == ZipMethodDeflated ? EmptyDeflateStream : 0;
  return AHeader.USize > 0 || AHeader.CSize > empty;
}

void ClassifyEntry(TPkHeader& AHeader, std::string_view AName) {
  constexpr int64_t Limit32 = int64_t{1} << 32;
  AHeader.Zip64 = AHeader.Offset >= Limit32 || AHeader.CSize >= Limit32 || AHeader.USize >= Limit32;
  // The Unix type, where the entry was made on Unix and has one (0: none).
  const uint32_t unixType = AHeader.HostSystem == ZipHostUnix ? (AHeader.ExternalAttr >> 16) & 0170000 : 0;
  const bool folder = IsDirectoryEntry(AName, AHeader.Attr) || unixType == 0040000;
  // Name, DOS bit and Unix type name one kind, and a folder holds no data: one bit flipped
  // in them would otherwise drop a file as a folder or make a link of its content.
  const bool otherType = unixType != 0 && unixType != 0040000;
  AHeader.TypeConflict = folder && (otherType || CarriesData(AHeader));
  AHeader.IsDir = folder && !AHeader.TypeConflict;
}

}  // namespace

void TZipRead::ReadCentralHeaders(const TDirectoryBounds& ABounds) {
  const TErrorCode notZip(sevError, errZipSignature);
  // The headers take exactly the size the end record states, no more and no less.
  const int64_t end = bod + static_cast<int64_t>(ABounds.Size);
  TDirectoryReader reader(Archive(), bod, end);
  // Names take at most what the directory holds beyond its fixed parts.
  FileList.Reserve(static_cast<size_t>(ABounds.Count),
                   static_cast<size_t>(std::min<uint64_t>(ABounds.Size, static_cast<uint64_t>(ABounds.EndOffset) - bod) -
                                       std::min<uint64_t>(ABounds.Size, ABounds.Count * CentralHeaderSize)));
  std::vector<uint8_t> variable;
  for (uint64_t i = 0; i < ABounds.Count; ++i) {
    const int64_t at = reader.Position();
    const auto raise = [&] {
      const std::string which = std::to_string(i + 1) + "/" + std::to_string(ABounds.Count);
      RaiseReading(notZip, FormatMsg(TrUnits("central directory header %s"), which),
                   AtOffset("central directory header " + which, at));
    };
    // A header that runs past the stated size: the size or the count is wrong.
    const auto overrun = [&](int64_t length) {
      if (at + length <= end) return;
      const std::string which = std::to_string(i + 1) + "/" + std::to_string(ABounds.Count);
      RaiseReading(TErrorCode(sevError, errCorrupt),
                   FormatMsg(TrUnits("central directory header %s runs past the directory's stated size"), which),
                   AtOffset("central directory header " + which, at));
    };
    overrun(CentralHeaderSize);
    uint8_t h[CentralHeaderSize];
    if (!reader.Read(h, sizeof h) || GetLe32(h) != ZipCentralHeaderSig) raise();
    TPkHeader header = ParseCentralHeader(h);
    const size_t nameLength = GetLe16(h + 28);
    const size_t extraLength = GetLe16(h + 30);
    overrun(static_cast<int64_t>(CentralHeaderSize + nameLength + extraLength + GetLe16(h + 32)));
    variable.resize(nameLength + extraLength);
    if (!variable.empty() && !reader.Read(variable.data(), variable.size())) raise();
    ApplyExtraFields(header, variable.data() + nameLength, extraLength);
    if (header.Offset < 0 || header.CSize < 0 || header.USize < 0) raise();
    if (!reader.Skip(GetLe16(h + 32))) raise();
    const std::string_view raw(reinterpret_cast<const char*>(variable.data()), nameLength);
    const std::string name = DecodeZipName(raw, header.GpFlag);
    ClassifyEntry(header, name);
    FileList.Add(name, raw, header);
  }
  if (reader.Position() != end)
    RaiseReading(TErrorCode(sevError, errCorrupt),
                 FormatMsg(TrUnits("the central directory holds %s bytes beyond its stated entries"),
                           std::to_string(end - reader.Position())),
                 AtOffset("the central directory of " + std::to_string(ABounds.Size) + " bytes", bod));
}

std::string TZipRead::Filename(int AIndex) const {
  return AIndex >= 0 && AIndex < FileList.Count() ? FileList.Strings(AIndex) : std::string();
}

bool TZipRead::IsEncrypted(int AIndex) const {
  return AIndex >= 0 && AIndex < FileList.Count() && FileList.Objects(AIndex).Encrypted();
}

std::optional<std::string> TZipRead::EntryNameAt(int64_t AOffset) {
  // The destination is built from the directory's name; an offset outside the directory is
  // judged by its local header's name (none when it cannot be read: the worker fails then).
  const int index = FileList.IndexOfOffset(AOffset);
  if (index >= 0) return FileList.Strings(index);
  TZipFileInfo local;
  if (Archive().Seek(AOffset, SEEK_SET) != AOffset || !ReadZipLocalHeader(Archive(), local)) return std::nullopt;
  return local.Filename;
}

void TZipRead::RaiseRefused(const std::string& AName, int64_t AOffset) const {
  throw EZipError(FormatMsg(TrUnits("Entry \"%s\" refused: its path leads outside the destination"),
                            AName),
                  TErrorCode(sevError, errNameRefused), EntryContext(AOffset));
}

void TZipRead::CheckEntryType(int64_t AOffset) const {
  const TPkHeader* header = HeaderAt(AOffset);
  if (header && header->TypeConflict)
    RaiseWorkerError({TErrorCode(sevError, errCorrupt), "flagged a folder or link against its data, name or type bits"},
                     header, EntryContext(AOffset));
}

void TZipRead::CheckEntryName(int64_t AOffset) {
  const std::optional<std::string> name = EntryNameAt(AOffset);
  if (name && !IsSafeEntryName(*name)) RaiseRefused(*name, AOffset);
}

std::span<const uint8_t> TZipRead::ReadSmallEntry(const TPkHeader& AHeader) {
  // The local header usually repeats the directory's name and extra field; a little more
  // covers an extra field that differs.
  constexpr int64_t Slack = 256;
  const int64_t available = ArchiveSize() - AHeader.Offset;
  const int64_t nameAndExtra = std::max<int64_t>(AHeader.DirLength - static_cast<int64_t>(CentralHeaderSize), 0);
  const int64_t want =
      std::min<int64_t>(available, LocalHeaderSize + nameAndExtra + AHeader.CSize + Slack);
  if (want < LocalHeaderSize) return {};
  // Small entries lie one after another: one read serves all that lie within its piece.
  constexpr int64_t ReadAhead = 256 * 1024;
  const int64_t windowEnd = FEntryWindowStart + static_cast<int64_t>(FEntryWindow.size());
  if (AHeader.Offset < FEntryWindowStart || AHeader.Offset + want > windowEnd) {
    const int64_t size = std::min(available, std::max(want, ReadAhead));
    FEntryWindow.resize(static_cast<size_t>(size));
    if (Archive().ReadAt(FEntryWindow.data(), FEntryWindow.size(), AHeader.Offset) != size) {
      FEntryWindow.clear();
      return {};
    }
    FEntryWindowStart = AHeader.Offset;
  }
  const uint8_t* h = FEntryWindow.data() + (AHeader.Offset - FEntryWindowStart);
  // Everything the worker will read must lie in the bytes read: header, name, extra field
  // and the data of the larger of the two stated compressed sizes.
  const uint32_t localSize = GetLe32(h + 18);
  if (localSize == Saturated32) return {};
  const int64_t data = std::max<int64_t>(localSize, AHeader.CSize);
  // A data descriptor after the data is read too (at most 24 bytes).
  const int64_t descriptor = (GetLe16(h + 6) & ZipFlagDataDescriptor) ? 24 : 0;
  if (LocalHeaderSize + GetLe16(h + 26) + GetLe16(h + 28) + data + descriptor > want) return {};
  return {h, static_cast<size_t>(want)};
}

bool TZipRead::ReadArchiveAt(void* AData, size_t ALength, int64_t AOffset) {
  const int64_t end = FEntryWindowStart + static_cast<int64_t>(FEntryWindow.size());
  if (AOffset >= FEntryWindowStart && AOffset + static_cast<int64_t>(ALength) <= end) {
    std::memcpy(AData, FEntryWindow.data() + (AOffset - FEntryWindowStart), ALength);
    return true;
  }
  return Archive().ReadAt(AData, ALength, AOffset) == static_cast<int64_t>(ALength);
}

void TZipRead::DeriveKeysAhead(int64_t AOffset) {
  constexpr int KeysAhead = 4;  // fewer than the decryptor keeps, so that none pushes out another
  const int index = FileList.IndexOfOffset(AOffset);
  if (!FEncrypt || index < 0) return;
  if (FKeysAheadFor != FPasswordGeneration) {  // a new password: nothing asked for yet
    FKeysAheadFor = FPasswordGeneration;
    FKeysAheadFrom = 0;
  }
  const int last = std::min(FileList.Count() - 1, index + KeysAhead);
  for (int i = std::max(index + 1, FKeysAheadFrom); i <= last; ++i) {
    const TPkHeader& header = FileList.Objects(i);
    if (!header.Encrypted() || header.EncMode == 0 || header.UnsupportedEncryption()) continue;
    TEncryption* encryption = EncryptionFor(header.EncMode);
    uint8_t local[LocalHeaderSize];
    if (!ReadArchiveAt(local, sizeof local, header.Offset) || GetLe32(local) != ZipLocalHeaderSig) continue;
    // The salt opens the entry's data; the entry's own read checks everything else.
    uint8_t salt[32];
    const auto saltLength = static_cast<size_t>(encryption->GetHeaderSize()) - CVerifierLength;
    const int64_t at = header.Offset + LocalHeaderSize + GetLe16(local + 26) + GetLe16(local + 28);
    if (ReadArchiveAt(salt, saltLength, at)) encryption->DeriveAhead(salt);
  }
  FKeysAheadFrom = std::max(FKeysAheadFrom, last + 1);
}

bool TZipRead::IsSmallEntry(const TPkHeader& AHeader) {
  // Extracted without a thread, from one read of header and data.
  return AHeader.CSize <= CSmallJobLimit && AHeader.USize <= CSmallJobLimit;
}

void TZipRead::SetUpEntryWorker(TZipReadThread& AWorker, const TPkHeader* AHeader, int64_t ASpan, bool AToFile,
                                const TZipEntryProperties* AProperties) const {
  if (AHeader) AWorker.SetDirectoryEntry(*AHeader);
  AWorker.SetEntrySpan(ASpan);
  if (!AToFile) return;
  AWorker.SetVerifyTarget(FVerifyTargets);
  AWorker.SetDestinationRoot(FTargetRules.Root);
  AWorker.SetOverwrite(FTargetRules.ReplaceProtected);
  AWorker.SetTargetAbsent(FTargetRules.KnownAbsent);
  // On the open temporary file rather than by name after the rename: fewer calls, and no
  // link put in the target's place meanwhile is followed.
  if (AProperties) {
    AWorker.SetTargetTime(AProperties->UnixTime);
    if (AProperties->UnixMode != 0) AWorker.SetTargetMode(AProperties->UnixMode);
  }
}

bool TZipRead::Detachable(const TPkHeader& AHeader) {
  return !AHeader.IsDir && !AHeader.TypeConflict && !AHeader.IsSymLink() && !AHeader.Encrypted() &&
         IsSmallEntry(AHeader);
}

std::unique_ptr<TZipEntryJob> TZipRead::DetachSmallEntry(int64_t Offset, uint32_t TimeStamp, uint32_t Attr,
                                                         const std::string& DestFilename) {
  const TPkHeader* header = HeaderAt(Offset);
  if (!header || !Detachable(*header)) return nullptr;
  CheckEntryName(Offset);
  const int64_t span = FileList.SpanAt(Offset, Offset < bod ? bod : ArchiveSize());
  const std::span<const uint8_t> bytes = span < 0 ? std::span<const uint8_t>() : ReadSmallEntry(*header);
  if (bytes.empty()) return nullptr;  // the reader's own run reports why
  const bool toFile = !DestFilename.empty();
  const TZipEntryProperties properties = toFile ? PropertiesOf(Offset, TimeStamp, Attr) : TZipEntryProperties();
  auto job = std::make_unique<TZipEntryJob>(bytes, DestFilename, SmallEntryBlock(*header, FBufferSize),
                                            properties);
  SetUpEntryWorker(*job, header, span, toFile, &properties);
  job->SetPlace(EntryContext(Offset));
  return job;
}

TRestoreError TZipRead::RunEntryWorker(TJob AJob, int64_t AOffset, const std::string& AFileName,
                                  TStream* AStream, TZipEntryProperties* AProperties) {
  // One entry at a time; nested calls are refused.
  if (ZipThread) RaiseReading(TErrorCode(sevError, errZipSignature), {}, EntryContext(AOffset) + " while another is read");
  if (AOffset < 0 || AOffset >= ArchiveSize()) return TErrorCode(sevError, errReadFile);
  const TPkHeader* header = HeaderAt(AOffset);
  if (header && header->TypeConflict) return TErrorCode(sevError, errCorrupt);
  // An entry owns the bytes up to the next local header or the directory; entries that share
  // their data with another one would multiply what a small archive writes.
  const int64_t span = FileList.SpanAt(AOffset, AOffset < bod ? bod : ArchiveSize());
  if (span < 0) return {TErrorCode(sevError, errCorrupt), "its data overlap another entry's"};

  // A small entry is read with one call, header and data, and worked on in memory.
  const bool small = header && IsSmallEntry(*header);
  std::optional<TReadOnlyMemoryStream> inMemory;
  if (const std::span<const uint8_t> bytes = small ? ReadSmallEntry(*header) : std::span<const uint8_t>(); !bytes.empty())
    inMemory.emplace(bytes.data(), bytes.size());
  TStream& source = inMemory ? static_cast<TStream&>(*inMemory) : Archive();

  // The key strength of an AES entry: the directory's AES field, else the local header's.
  int keyMode = header ? header->EncMode : 0;
  const bool mayBeEncrypted = !header || header->Encrypted();
  const bool withKey = AJob != TJob::ExtractStream;
  if (keyMode == 0 && mayBeEncrypted && FEncrypt && withKey) {
    TZipFileInfo local;
    const int64_t at = inMemory ? 0 : AOffset;
    if (source.Seek(at, SEEK_SET) == at && ReadZipLocalHeader(source, local)) keyMode = local.EncMode;
  }
  TEncryption* encryption = withKey ? EncryptionFor(keyMode) : nullptr;
  if (encryption) DeriveKeysAhead(AOffset);
  const int64_t start = inMemory ? 0 : AOffset;
  if (source.Seek(start, SEEK_SET) != start) return TErrorCode(sevError, errReadFile);

  const bool speedLimit = !FIsTemp;
  // A small entry needs a block no larger than itself.
  const int32_t block = small ? SmallEntryBlock(*header, FBufferSize) : FBufferSize;
  switch (AJob) {
    case TJob::Extract:
      ZipThread = std::make_unique<TZipReadThread>(AFileName, encryption, source, false, speedLimit,
                                                   block, FPriority, FOnProgress);
      break;
    case TJob::Test:
    case TJob::ExtractStream:
    case TJob::ExtractLink:
      ZipThread = std::make_unique<TZipReadThread>(*AStream, encryption, source, false, speedLimit,
                                                   block, FPriority, FOnProgress);
      ZipThread->SetTestOnly(AJob == TJob::Test);
      break;
    case TJob::Compare:
      ZipThread = std::make_unique<TZipCompareThread>(AFileName, encryption, source, false,
                                                      speedLimit, block, FPriority, FOnProgress);
      break;
  }
  SetUpEntryWorker(*ZipThread, header, span, AJob == TJob::Extract, AProperties);
  if (!FInflater) FInflater = std::make_unique<TInflater>();
  ZipThread->SetInflater(FInflater.get());
  // A small entry takes microseconds, less than starting a thread and waking this one again;
  // it runs here, and messages are still served at least every 10 ms. Only on the main thread:
  // elsewhere its progress reports would wait for a main thread that is not serving them.
  if (small && TThread::IsMainThread()) {
    ZipThread->RunInline();
    ProcessMessagesIfDue();
  } else {
    ZipThread->Start();
    WaitForWorker();
  }
  const TRestoreError failure = ZipThread->Error();
  if (AProperties) {
    AProperties->TimeSet = ZipThread->TargetTimeSet();
    AProperties->ModeSet = ZipThread->TargetModeSet();
  }
  ZipThread.reset();
  if (!failure) return {};
  return {ReaderError(failure.Code), failure.Context};
}

void TZipRead::ProcessMessagesIfDue() {
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastMessages < std::chrono::milliseconds(10)) return;
  FLastMessages = now;
  TThread::CheckSynchronize(0);
  if (FOnProcessMessages) FOnProcessMessages();
}

void TZipRead::WaitForWorker() {
  // No fixed sleep: CheckSynchronize returns as soon as the worker queues a call or ends.
  bool gaveUp = false;
  while (!ZipThread->Done()) {
    TThread::CheckSynchronize(10);
    FLastMessages = std::chrono::steady_clock::now();
    if (FOnProcessMessages) FOnProcessMessages();
    if (!gaveUp && FOnTimeout && FOnTimeout()) {
      // Stop the worker rather than leave it blocked in a report nobody serves.
      gaveUp = true;
      ZipThread->CancelThread();
    }
  }
}

TZipEntryProperties TZipRead::PropertiesOf(int64_t AOffset, uint32_t TimeStamp, uint32_t Attr) {
  // Entries of one archive mostly share their times, and each conversion asks the zone rules
  // again; the last one is kept.
  if (TimeStamp != FLastDosTime || FLastUnixTime == 0) {
    FLastDosTime = TimeStamp;
    FLastUnixTime = DosTimeToUnixSeconds(TimeStamp);
  }
  const int index = FileList.IndexOfOffset(AOffset);
  // Entries made on Unix carry permission bits; set-id and sticky bits are not restored.
  const uint32_t unixMode = index >= 0 ? FileList.Objects(index).UnixMode() & 0777 : 0;
  return {FLastUnixTime, unixMode, Attr};
}

void TZipRead::ApplyFileProperties(int64_t AOffset, const TZipEntryProperties& AProperties,
                                   const std::string& DestFilename) {
  const TErrorCode code = SetEntryPropertiesByName(AProperties, DestFilename);
  if (code)
    throw EZipError(FormatMsg(code.Is(errSetTimestamp) ? MsgErrorSetTime() : MsgErrorSetAttr(), DestFilename),
                    code, EntryContext(AOffset));
}

void TZipRead::ExtractToFile(int64_t Offset, uint32_t TimeStamp, uint32_t Attr,
                             const std::string& DestFilename) {
  CheckEntryName(Offset);
  CheckEntryType(Offset);
  const TPkHeader* header = HeaderAt(Offset);
  if (header && header->IsSymLink()) {
    ExtractLink(Offset, *header, TimeStamp, DestFilename);
    return;
  }
  TZipEntryProperties properties = PropertiesOf(Offset, TimeStamp, Attr);
  if (const TRestoreError failure = RunEntryWorker(TJob::Extract, Offset, DestFilename, nullptr, &properties)) {
    FErrorFlag = failure.Is(errWriteFile) || failure.Is(errDiskFull);
    RaiseWorkerError(failure, header, EntryContext(Offset));
  }
  ApplyFileProperties(Offset, properties, DestFilename);
}

void TZipRead::ExtractLink(int64_t AOffset, const TPkHeader& AHeader, uint32_t TimeStamp,
                           const std::string& DestFilename) {
  const std::string name = EntryNameAt(AOffset).value_or(std::string());
  const std::string target = ReadLinkTarget(AOffset, AHeader, name);
  TFd folder;
  int depth = -1;
  const uint32_t place = OpenLinkFolder(FTargetRules, DestFilename, name, folder, depth);
  if (place == errNameRefused || (place == 0 && !LinkTargetStaysInside(target, depth))) RaiseRefused(name, AOffset);
  if (place != 0) RaiseWorkerError(TErrorCode(sevError, place), nullptr, EntryContext(AOffset) + ", the link's folder");
  const std::string base = DestFilename.substr(DestFilename.rfind('/') + 1);
  if (const uint32_t detail = CreateLinkReplacing(target, folder, base, FTargetRules.ReplaceProtected); detail != 0)
    RaiseWorkerError(TErrorCode(sevError, detail), nullptr, EntryContext(AOffset) + ", the link");
  // The link's own time; a link has no permission bits of its own on Linux.
  const int64_t seconds = DosTimeToUnixSeconds(TimeStamp);
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  if (seconds == 0 || ::utimensat(folder.Get(), base.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw EZipError(FormatMsg(MsgErrorSetTime(), DestFilename), TErrorCode(sevWarning, errSetTimestamp),
                    EntryContext(AOffset) + ", the link");
}

std::string TZipRead::ReadLinkTarget(int64_t AOffset, const TPkHeader& AHeader, const std::string& AName) {
  if (AHeader.USize > ZipMaxLinkTarget) RaiseRefused(AName, AOffset);
  TMemoryStream text;
  if (const TRestoreError failure = RunEntryWorker(TJob::ExtractLink, AOffset, {}, &text)) {
    FErrorFlag = failure.Is(errWriteFile) || failure.Is(errDiskFull);
    RaiseWorkerError(failure, &AHeader, EntryContext(AOffset));
  }
  std::string target(text.Data().begin(), text.Data().end());
  if (!IsPlausibleLinkTarget(target))
    RaiseWorkerError({TErrorCode(sevError, errCorrupt), "a link whose target is no path"}, &AHeader, EntryContext(AOffset));
  return target;
}

void TZipRead::ExtractToFile(int AIndex, const std::string& DestFilename) {
  if (AIndex < 0 || AIndex >= FileList.Count()) return;
  const TPkHeader& header = FileList.Objects(AIndex);
  if (header.UnsupportedEncryption())
    RaiseWorkerError(TErrorCode(sevError, errUnsupportedEncryption), nullptr, EntryContext(header.Offset));
  if (header.Encrypted() && !FEncrypt) RaiseReading(TErrorCode(sevError, errDecrypt), {}, EntryContext(header.Offset));
  ExtractToFile(header.Offset, header.TimeStamp, header.Attr, DestFilename);
}

bool TZipRead::ExtractToStream(const std::string& AFilename, TStream& sDest) {
  const int index = FileList.IndexOf(AFilename);
  if (index < 0) return false;
  const TRestoreError failure = RunEntryWorker(TJob::ExtractStream, FileList.Objects(index).Offset, {}, &sDest);
  sDest.Seek(0, SEEK_SET);
  if (failure) RaiseWorkerError(failure, &FileList.Objects(index), EntryContext(FileList.Objects(index).Offset));
  return true;
}

void TZipRead::TestEntry(int64_t Offset) {
  CheckEntryName(Offset);
  CheckEntryType(Offset);
  // A link is tested as its extraction reads it: its target must be one.
  if (const TPkHeader* header = HeaderAt(Offset); header && header->IsSymLink()) {
    ReadLinkTarget(Offset, *header, EntryNameAt(Offset).value_or(std::string()));
    return;
  }
  TNullStream sink;
  if (const TRestoreError failure = RunEntryWorker(TJob::Test, Offset, {}, &sink))
    RaiseWorkerError(failure, HeaderAt(Offset), EntryContext(Offset));
}

void TZipRead::CompareToFile(int64_t Offset, const std::string& RefFilename) {
  if (const TRestoreError failure = RunEntryWorker(TJob::Compare, Offset, RefFilename, nullptr)) {
    FErrorFlag = failure.Is(errVerify);
    RaiseWorkerError(failure, HeaderAt(Offset), EntryContext(Offset) + " compared with " + RefFilename);
  }
}

void TZipRead::Cancel() {
  if (ZipThread && !ZipThread->Done()) ZipThread->CancelThread();
}

void TZipRead::Pause() {
  if (ZipThread && !ZipThread->Done()) ZipThread->Suspend();
}

void TZipRead::Continue() {
  if (ZipThread) ZipThread->Resume();
}

}  // namespace qv
