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
#include "transfer/FilePropUtils.h"
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
// Entries up to this size (compressed and uncompressed) are extracted without a thread.
constexpr int64_t InlineEntryLimit = 65536;

std::string FoldName(std::string_view AName) {
  std::string folded(AName);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
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

int TZipFileList::IndexOf(std::string_view AName) const {
  const auto it = FByName.find(FoldName(AName));
  return it == FByName.end() ? -1 : it->second;
}

int TZipFileList::IndexOfOffset(int64_t AOffset) const {
  if (AOffset == FLastOffset) return FLastIndex;
  const auto it = FByOffset.find(AOffset);
  FLastOffset = AOffset;
  FLastIndex = it == FByOffset.end() ? -1 : it->second;
  return FLastIndex;
}

int64_t TZipFileList::SpanAt(int64_t AOffset, int64_t AEnd) const {
  if (!FOffsetsSorted) {
    std::sort(FOffsets.begin(), FOffsets.end());
    FOffsetsSorted = true;
  }
  const auto first = std::lower_bound(FOffsets.begin(), FOffsets.end(), AOffset);
  const auto next = std::upper_bound(first, FOffsets.end(), AOffset);
  if (next - first > 1) return -1;
  const int64_t end = next == FOffsets.end() ? AEnd : std::min(*next, AEnd);
  return std::max<int64_t>(end - AOffset, 0);
}

void TZipFileList::Add(std::string AName, TPkHeader AHeader) {
  const int index = Count();
  FByName.emplace(FoldName(AName), index);
  FByOffset.emplace(AHeader.Offset, index);
  FOffsets.push_back(AHeader.Offset);
  FOffsetsSorted = FOffsetsSorted && (FOffsets.size() < 2 || FOffsets[FOffsets.size() - 2] <= AHeader.Offset);
  FLastOffset = -1;
  FItems.push_back({std::move(AName), std::move(AHeader)});
}

void TZipFileList::Clear() {
  FLastOffset = -1;
  FLastIndex = -1;
  FItems.clear();
  FByName.clear();
  FByOffset.clear();
  FOffsets.clear();
  FOffsetsSorted = true;
}

// ---------------------------------------------------------------------------- TZip

TZip::TZip(const std::string& ZipName, const std::string& Password, int AKeyMode, int ABufSize)
    : FBufferSize(ABufSize < 1 ? DefaultBufferSize : ABufSize), ZName(ZipName) {
  FStream = TFileStream::Open(ZipName, TOpenMode::Read);
  struct stat st {};
  if (!FStream || ::fstat(FStream->Handle(), &st) != 0 || !S_ISREG(st.st_mode))
    throw EZipError(FormatMsg(MsgErrorOpening(), ZipName), 0x102);
  FArchiveSize = st.st_size;
  InitEncryption(Password, AKeyMode);
}

TZip::~TZip() = default;

void TZip::InitEncryption(const std::string& Password, int AKeyMode) {
  FEncryption.reset();
  for (auto& e : FModeEncryption) e.reset();
  FEncrypt = !Password.empty();
  FPassword = Password;
  FKeyMode = AKeyMode;
  if (!FEncrypt) return;
  FEncryption = std::make_unique<TEncryption>(Password, AKeyMode, FBufferSize);
  PkExtraCrypt.Mode = static_cast<uint8_t>(FEncryption->KeyMode());
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
    if (detail != 0) throw EZipError(GetErrorMessage(sevError | detail), static_cast<int32_t>(sevError | detail));
    SLength -= n;
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

void TZipRead::RaiseReading(int32_t ACode, const std::string& AWhat) const {
  std::string message = FormatMsg(MsgErrorReading(), ZName);
  if (!AWhat.empty()) message += ": " + AWhat;
  throw EZipError(message, ACode);
}

void TZipRead::RaiseWorkerError(uint32_t ALowByte, const TPkHeader* AHeader) {
  const uint32_t code = sevError | ALowByte;
  std::string message = GetErrorMessage(code);
  if (ALowByte == errUnsupportedMethod && AHeader) {
    const bool aes = AHeader->CompMethode == ZipMethodAes && AHeader->EncVers != 0;
    message += " (" + ZipMethodName(aes ? AHeader->EncMeth : AHeader->CompMethode) + ")";
  }
  throw EZipError(message, static_cast<int32_t>(code));
}

const TPkHeader* TZipRead::HeaderAt(int64_t AOffset) const {
  const int index = FileList.IndexOfOffset(AOffset);
  return index >= 0 ? &FileList.Objects(index) : nullptr;
}

void TZipRead::ReadDirectory() {
  const int64_t size = ArchiveSize();
  if (size < EndRecordSize) RaiseReading(0x120, TrUnits("too short for a zip archive"));

  // The end record, searched backwards over the longest possible comment. A record whose
  // comment reaches exactly to the end of the file wins over one followed by other bytes.
  const int64_t tailLength = std::min(size, EndRecordSize + MaxCommentLength);
  const int64_t tailStart = size - tailLength;
  std::vector<uint8_t> tail(static_cast<size_t>(tailLength));
  if (Archive().ReadAt(tail.data(), tail.size(), tailStart) != tailLength) RaiseReading();
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
  if (endPos < 0) RaiseReading(0x120, TrUnits("no end of central directory record"));
  const uint8_t* end = tail.data() + endPos;
  const int64_t endOffset = tailStart + endPos;

  uint64_t count = GetLe16(end + 10);
  uint64_t dirSize = GetLe32(end + 12);
  uint64_t dirOffset = GetLe32(end + 16);
  if (dirOffset == Saturated32 || dirSize == Saturated32 || count == 0xFFFF) {
    uint8_t locator[Zip64LocatorSize];
    const bool hasLocator =
        endOffset >= Zip64LocatorSize &&
        Archive().ReadAt(locator, sizeof locator, endOffset - Zip64LocatorSize) ==
            Zip64LocatorSize &&
        GetLe32(locator) == Zip64LocatorSig;
    if (hasLocator) {
      const uint64_t recordOffset = GetLe64(locator + 8);
      uint8_t record[Zip64EndRecordSize];
      if (recordOffset > static_cast<uint64_t>(size - Zip64EndRecordSize) ||
          Archive().ReadAt(record, sizeof record, static_cast<int64_t>(recordOffset)) !=
              Zip64EndRecordSize ||
          GetLe32(record) != Zip64EndRecordSig)
        RaiseReading(0x120, TrUnits("Zip64 end of central directory record"));
      count = GetLe64(record + 32) & 0xFFFFFFFF;
      dirSize = GetLe64(record + 40);
      dirOffset = GetLe64(record + 48);
    } else if (dirOffset == Saturated32 || dirSize == Saturated32) {
      RaiseReading(0x120, TrUnits("Zip64 end of central directory locator"));
    }
    // Without a locator, 0xFFFF is simply the number of entries.
  }
  // Nothing from the archive is trusted beyond what the file can hold. These are damaged
  // records, not wrong signatures.
  const int32_t damaged = ResultCode(sevError, errCorrupt);
  if (dirOffset > static_cast<uint64_t>(endOffset))
    RaiseReading(damaged, FormatMsg(TrUnits("the central directory offset %s lies beyond the end record"),
                                    std::to_string(dirOffset)));
  if (count > (static_cast<uint64_t>(endOffset) - dirOffset) / CentralHeaderSize)
    RaiseReading(damaged, FormatMsg(TrUnits("the directory counts %s entries, more than the archive can hold"),
                                    std::to_string(count)));
  const auto centralHeader = [count](uint64_t i) {
    return FormatMsg(TrUnits("central directory header %s"),
                     std::to_string(i + 1) + "/" + std::to_string(count));
  };

  bod = static_cast<int64_t>(dirOffset);
  TDirectoryReader reader(Archive(), bod, endOffset);
  FileList.Reserve(FileList.Count() + static_cast<size_t>(count));
  std::vector<uint8_t> variable;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t h[CentralHeaderSize];
    if (!reader.Read(h, sizeof h) || GetLe32(h) != ZipCentralHeaderSig) RaiseReading(0x120, centralHeader(i));
    TPkHeader header;
    const uint16_t versionMadeBy = GetLe16(h + 4);
    const uint16_t versionNeeded = GetLe16(h + 6);
    header.GpFlag = GetLe16(h + 8);
    header.CompMethode = GetLe16(h + 10);
    header.TimeStamp = GetLe32(h + 12);
    header.CRC = GetLe32(h + 16);
    const uint32_t csize32 = GetLe32(h + 20);
    const uint32_t usize32 = GetLe32(h + 24);
    const size_t nameLength = GetLe16(h + 28);
    const size_t extraLength = GetLe16(h + 30);
    const size_t commentLength = GetLe16(h + 32);
    header.ExternalAttr = GetLe32(h + 38);
    const uint32_t offset32 = GetLe32(h + 42);
    header.HostSystem = static_cast<uint8_t>(versionMadeBy >> 8);
    header.Attr = static_cast<uint16_t>(header.ExternalAttr & 0xFFFF);
    if ((versionNeeded != 20 && versionNeeded != 45) ||
        (header.CompMethode != ZipMethodStored && header.CompMethode != ZipMethodDeflated &&
         header.CompMethode != ZipMethodAes))
      header.ErrCode = errFormat;
    header.Offset = offset32;
    header.CSize = csize32;
    header.USize = usize32;
    header.DirLength = static_cast<uint16_t>(CentralHeaderSize + nameLength + extraLength);

    variable.resize(nameLength + extraLength);
    if (!variable.empty() && !reader.Read(variable.data(), variable.size()))
      RaiseReading(0x120, centralHeader(i));
    header.FName.assign(reinterpret_cast<const char*>(variable.data()), nameLength);
    std::string name = DecodeZipName(header.FName, header.GpFlag);

    WalkZipExtra(variable.data() + nameLength, extraLength,
                 [&](uint16_t id, const uint8_t* data, size_t blockSize) {
                   if (id == ZipExtraZip64) {
                     TZip64Extra zip64(data, blockSize);
                     zip64.Take(usize32, header.USize);
                     zip64.Take(csize32, header.CSize);
                     zip64.Take(offset32, header.Offset);
                   } else if (id == ZipExtraAes && blockSize >= 7) {
                     const TZipAesExtra aes = ParseZipAesExtra(data);
                     header.Tag = ZipExtraAes;
                     header.EncVers = aes.Version;
                     header.EncMode = aes.Mode;
                     header.EncMeth = aes.Method;
                     header.IsAE2 = aes.Version == 2;
                   }
                 });
    if (header.Offset < 0 || header.CSize < 0 || header.USize < 0) RaiseReading(0x120, centralHeader(i));
    if (!reader.Skip(commentLength)) RaiseReading(0x120, centralHeader(i));

    constexpr int64_t Limit32 = int64_t{1} << 32;
    header.Zip64 = header.Offset >= Limit32 || header.CSize >= Limit32 || header.USize >= Limit32;
    const bool unixFolder =
        header.HostSystem == ZipHostUnix && ((header.ExternalAttr >> 16) & 0170000) == 0040000;
    header.IsDir = IsDirectoryEntry(name, header.Attr) || unixFolder;
    FileList.Add(std::move(name), std::move(header));
  }
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

void TZipRead::RaiseRefused(const std::string& AName) {
  throw EZipError(FormatMsg(TrUnits("Entry \"%s\" refused: its path leads outside the destination"),
                            AName),
                  ResultCode(sevError, errNameRefused));
}

void TZipRead::CheckEntryName(int64_t AOffset) {
  const std::optional<std::string> name = EntryNameAt(AOffset);
  if (name && !IsSafeEntryName(*name)) RaiseRefused(*name);
}

bool TZipRead::ReadSmallEntry(const TPkHeader& AHeader) {
  // The local header usually repeats the directory's name and extra field; a little more
  // covers an extra field that differs.
  constexpr int64_t Slack = 256;
  const int64_t available = ArchiveSize() - AHeader.Offset;
  const int64_t nameAndExtra = std::max<int64_t>(AHeader.DirLength - static_cast<int64_t>(CentralHeaderSize), 0);
  const int64_t want =
      std::min<int64_t>(available, LocalHeaderSize + nameAndExtra + AHeader.CSize + Slack);
  if (want < LocalHeaderSize) return false;
  FEntryBytes.resize(static_cast<size_t>(want));
  if (Archive().ReadAt(FEntryBytes.data(), FEntryBytes.size(), AHeader.Offset) != want) return false;
  // Everything the worker will read must lie in the bytes read: header, name, extra field
  // and the data of the larger of the two stated compressed sizes.
  const uint8_t* h = FEntryBytes.data();
  const uint32_t localSize = GetLe32(h + 18);
  if (localSize == Saturated32) return false;
  const int64_t data = std::max<int64_t>(localSize, AHeader.CSize);
  // A data descriptor after the data is read too (at most 24 bytes).
  const int64_t descriptor = (GetLe16(h + 6) & ZipFlagDataDescriptor) ? 24 : 0;
  return LocalHeaderSize + GetLe16(h + 26) + GetLe16(h + 28) + data + descriptor <= want;
}

uint32_t TZipRead::RunEntryWorker(TJob AJob, int64_t AOffset, const std::string& AFileName,
                                  TStream* AStream) {
  if (ZipThread) RaiseReading();  // one entry at a time; nested calls are refused
  if (AOffset < 0 || AOffset >= ArchiveSize()) return errReadFile;
  const TPkHeader* header = HeaderAt(AOffset);
  // An entry owns the bytes up to the next local header or the directory; entries that share
  // their data with another one would multiply what a small archive writes.
  const int64_t span = FileList.SpanAt(AOffset, AOffset < bod ? bod : ArchiveSize());
  if (span < 0) return errCorrupt;

  // A small entry is read with one call, header and data, and worked on in memory.
  const bool small = header && header->CSize <= InlineEntryLimit && header->USize <= InlineEntryLimit;
  std::optional<TReadOnlyMemoryStream> inMemory;
  if (small && ReadSmallEntry(*header)) inMemory.emplace(FEntryBytes.data(), FEntryBytes.size());
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
  const int64_t start = inMemory ? 0 : AOffset;
  if (source.Seek(start, SEEK_SET) != start) return errReadFile;

  const bool speedLimit = !FIsTemp;
  // A small entry needs a block no larger than itself.
  int32_t block = FBufferSize;
  if (small) block = static_cast<int32_t>(std::min<int64_t>(block, std::max(header->USize, header->CSize) + 1));
  switch (AJob) {
    case TJob::Extract:
      ZipThread = std::make_unique<TZipReadThread>(AFileName, encryption, source, false, speedLimit,
                                                   block, FPriority, FOnProgress);
      ZipThread->SetVerifyTarget(FVerifyTargets);
      break;
    case TJob::Test:
    case TJob::ExtractStream:
    case TJob::ExtractLink:
      ZipThread = std::make_unique<TZipReadThread>(*AStream, encryption, source, false, speedLimit,
                                                   block, FPriority, FOnProgress);
      break;
    case TJob::Compare:
      ZipThread = std::make_unique<TZipCompareThread>(AFileName, encryption, source, false,
                                                      speedLimit, block, FPriority, FOnProgress);
      break;
  }
  if (header) ZipThread->SetDirectoryEntry(*header);
  ZipThread->SetEntrySpan(span);
  if (AJob == TJob::Extract) {
    ZipThread->SetDestinationRoot(FTargetRules.Root);
    ZipThread->SetOverwrite(FTargetRules.ReplaceProtected);
  }
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
  const uint32_t code = ZipThread->ErrorCode().Value();
  ZipThread.reset();
  return code & 0xFF;
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

void TZipRead::ApplyFileProperties(int64_t AOffset, uint32_t TimeStamp, uint32_t Attr,
                                   const std::string& DestFilename) {
  // Entries of one archive mostly share their times, and each conversion asks the zone rules
  // again; the last one is kept.
  if (TimeStamp != FLastDosTime || FLastUnixTime == 0) {
    FLastDosTime = TimeStamp;
    FLastUnixTime = DosTimeToUnixSeconds(TimeStamp);
  }
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(FLastUnixTime), 0}};
  if (FLastUnixTime == 0 || ::utimensat(AT_FDCWD, DestFilename.c_str(), times, 0) != 0)
    throw EZipError(FormatMsg(MsgErrorSetTime(), DestFilename), ResultCode(sevWarning, errSetTimestamp));
  const int index = FileList.IndexOfOffset(AOffset);
  const uint32_t unixMode = index >= 0 ? FileList.Objects(index).UnixMode() : 0;
  // Entries made on Unix carry permission bits; set-id and sticky bits are not restored.
  const int rc = unixMode != 0 ? (::chmod(DestFilename.c_str(), unixMode & 0777) == 0 ? 0 : errno)
                               : LongFileSetAttr(DestFilename, static_cast<int>(Attr & 0xFFFF), false);
  if (rc != 0) throw EZipError(FormatMsg(MsgErrorSetAttr(), DestFilename), ResultCode(sevWarning, errSetAttr));
}

void TZipRead::ExtractToFile(int64_t Offset, uint32_t TimeStamp, uint32_t Attr,
                             const std::string& DestFilename) {
  CheckEntryName(Offset);
  const TPkHeader* header = HeaderAt(Offset);
  if (header && header->IsSymLink()) {
    ExtractLink(Offset, *header, TimeStamp, DestFilename);
    return;
  }
  const uint32_t low = RunEntryWorker(TJob::Extract, Offset, DestFilename, nullptr);
  if (low != 0) {
    FErrorFlag = low == errWriteFile || low == errDiskFull;
    RaiseWorkerError(low, header);
  }
  ApplyFileProperties(Offset, TimeStamp, Attr, DestFilename);
}

void TZipRead::ExtractLink(int64_t AOffset, const TPkHeader& AHeader, uint32_t TimeStamp,
                           const std::string& DestFilename) {
  const std::string name = EntryNameAt(AOffset).value_or(std::string());
  if (AHeader.USize > ZipMaxLinkTarget) RaiseRefused(name);
  TMemoryStream text;
  const uint32_t low = RunEntryWorker(TJob::ExtractLink, AOffset, {}, &text);
  if (low != 0) {
    FErrorFlag = low == errWriteFile || low == errDiskFull;
    RaiseWorkerError(low, &AHeader);
  }
  const std::string target(text.Data().begin(), text.Data().end());
  TFd folder;
  int depth = -1;
  const uint32_t place = OpenLinkFolder(FTargetRules, DestFilename, name, folder, depth);
  if (place == errNameRefused || (place == 0 && !LinkTargetStaysInside(target, depth))) RaiseRefused(name);
  if (place != 0) RaiseWorkerError(place);
  const std::string base = DestFilename.substr(DestFilename.rfind('/') + 1);
  if (const uint32_t detail = CreateLinkReplacing(target, folder, base, FTargetRules.ReplaceProtected); detail != 0)
    RaiseWorkerError(detail);
  // The link's own time; a link has no permission bits of its own on Linux.
  const int64_t seconds = DosTimeToUnixSeconds(TimeStamp);
  const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(seconds), 0}};
  if (seconds == 0 || ::utimensat(folder.Get(), base.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    throw EZipError(FormatMsg(MsgErrorSetTime(), DestFilename), ResultCode(sevWarning, errSetTimestamp));
}

void TZipRead::ExtractToFile(int AIndex, const std::string& DestFilename) {
  if (AIndex < 0 || AIndex >= FileList.Count()) return;
  const TPkHeader& header = FileList.Objects(AIndex);
  if (header.UnsupportedEncryption()) RaiseWorkerError(errUnsupportedEncryption);
  if (header.Encrypted() && !FEncrypt) RaiseReading(ResultCode(sevError, errDecrypt));
  ExtractToFile(header.Offset, header.TimeStamp, header.Attr, DestFilename);
}

bool TZipRead::ExtractToStream(const std::string& AFilename, TStream& sDest) {
  const int index = FileList.IndexOf(AFilename);
  if (index < 0) return false;
  const uint32_t low = RunEntryWorker(TJob::ExtractStream, FileList.Objects(index).Offset, {}, &sDest);
  sDest.Seek(0, SEEK_SET);
  if (low != 0) RaiseWorkerError(low, &FileList.Objects(index));
  return true;
}

void TZipRead::TestEntry(int64_t Offset) {
  CheckEntryName(Offset);
  TNullStream sink;
  const uint32_t low = RunEntryWorker(TJob::Test, Offset, {}, &sink);
  if (low != 0) RaiseWorkerError(low, HeaderAt(Offset));
}

void TZipRead::CompareToFile(int64_t Offset, const std::string& RefFilename) {
  const uint32_t low = RunEntryWorker(TJob::Compare, Offset, RefFilename, nullptr);
  if (low != 0) {
    FErrorFlag = low == errVerify;
    RaiseWorkerError(low, HeaderAt(Offset));
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
