#include "transfer/ZipRead.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include "base/FileUtils.h"
#include "base/TimeUtils.h"
#include "base/Translation.h"
#include "crypto/AesLib.h"
#include "transfer/EncryptedBody.h"
#include "transfer/FilePropUtils.h"
#include "transfer/Inflater.h"
#include "transfer/ZipEntryThreads.h"

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

void TZipFileList::Add(std::string AName, TPkHeader AHeader) {
  const int index = Count();
  FByName.emplace(FoldName(AName), index);
  FByOffset.emplace(AHeader.Offset, index);
  FLastOffset = -1;
  FItems.push_back({std::move(AName), std::move(AHeader)});
}

void TZipFileList::Clear() {
  FLastOffset = -1;
  FLastIndex = -1;
  FItems.clear();
  FByName.clear();
  FByOffset.clear();
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

void TZipRead::RaiseReading(int32_t ACode) const {
  throw EZipError(FormatMsg(MsgErrorReading(), ZName), ACode);
}

void TZipRead::RaiseWorkerError(uint32_t ALowByte) {
  const uint32_t code = sevError | ALowByte;
  throw EZipError(GetErrorMessage(code), static_cast<int32_t>(code));
}

void TZipRead::ReadDirectory() {
  const int64_t size = ArchiveSize();
  if (size < EndRecordSize) RaiseReading();

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
  if (endPos < 0) RaiseReading();
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
        RaiseReading();
      count = GetLe64(record + 32) & 0xFFFFFFFF;
      dirSize = GetLe64(record + 40);
      dirOffset = GetLe64(record + 48);
    } else if (dirOffset == Saturated32 || dirSize == Saturated32) {
      RaiseReading();
    }
    // Without a locator, 0xFFFF is simply the number of entries.
  }
  // Nothing from the archive is trusted beyond what the file can hold.
  if (dirOffset > static_cast<uint64_t>(endOffset)) RaiseReading();
  if (count > (static_cast<uint64_t>(endOffset) - dirOffset) / CentralHeaderSize) RaiseReading();

  bod = static_cast<int64_t>(dirOffset);
  TDirectoryReader reader(Archive(), bod, endOffset);
  FileList.Reserve(FileList.Count() + static_cast<size_t>(count));
  std::vector<uint8_t> variable;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t h[CentralHeaderSize];
    if (!reader.Read(h, sizeof h) || GetLe32(h) != ZipCentralHeaderSig) RaiseReading();
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
    if (!variable.empty() && !reader.Read(variable.data(), variable.size())) RaiseReading();
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
    if (header.Offset < 0 || header.CSize < 0 || header.USize < 0) RaiseReading();
    if (!reader.Skip(commentLength)) RaiseReading();

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

void TZipRead::CheckEntryName(int64_t AOffset) {
  // The destination is built from the directory's name; an offset outside the directory is
  // judged by its local header's name.
  std::string name;
  const int index = FileList.IndexOfOffset(AOffset);
  if (index >= 0) {
    name = FileList.Strings(index);
  } else {
    TZipFileInfo local;
    if (Archive().Seek(AOffset, SEEK_SET) != AOffset || !ReadZipLocalHeader(Archive(), local)) return;
    name = local.Filename;
  }
  if (IsSafeEntryName(name)) return;
  throw EZipError(FormatMsg(TrUnits("Entry \"%s\" refused: its path leads outside the destination"),
                            name),
                  ResultCode(sevError, errZipExtract));
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
  return LocalHeaderSize + GetLe16(h + 26) + GetLe16(h + 28) + data <= want;
}

uint32_t TZipRead::RunEntryWorker(TJob AJob, int64_t AOffset, const std::string& AFileName,
                                  TStream* AStream) {
  if (ZipThread) RaiseReading();  // one entry at a time; nested calls are refused
  if (AOffset < 0 || AOffset >= ArchiveSize()) return errReadFile;
  const int index = FileList.IndexOfOffset(AOffset);
  const TPkHeader* header = index >= 0 ? &FileList.Objects(index) : nullptr;

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
      ZipThread = std::make_unique<TZipReadThread>(*AStream, encryption, source, false, speedLimit,
                                                   block, FPriority, FOnProgress);
      break;
    case TJob::ExtractStream:
      ZipThread = std::make_unique<TZipReadThread>(*AStream, nullptr, source, false, speedLimit,
                                                   block, FPriority, FOnProgress);
      break;
    case TJob::Compare:
      ZipThread = std::make_unique<TZipCompareThread>(AFileName, encryption, source, false,
                                                      speedLimit, block, FPriority, FOnProgress);
      break;
  }
  if (header) ZipThread->SetDirectoryEntry(*header);
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
  const uint32_t code = static_cast<uint32_t>(ZipThread->ErrorCode());
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
  const uint32_t low = RunEntryWorker(TJob::Extract, Offset, DestFilename, nullptr);
  if (low != 0) {
    FErrorFlag = low == errWriteFile || low == errDiskFull;
    RaiseWorkerError(low);
  }
  ApplyFileProperties(Offset, TimeStamp, Attr, DestFilename);
}

void TZipRead::ExtractToFile(int AIndex, const std::string& DestFilename) {
  if (AIndex < 0 || AIndex >= FileList.Count()) return;
  const TPkHeader& header = FileList.Objects(AIndex);
  if (header.Encrypted() && !FEncrypt) RaiseReading(ResultCode(sevError, errDecrypt));
  ExtractToFile(header.Offset, header.TimeStamp, header.Attr, DestFilename);
}

bool TZipRead::ExtractToStream(const std::string& AFilename, TStream& sDest) {
  const int index = FileList.IndexOf(AFilename);
  if (index < 0) return false;
  const uint32_t low = RunEntryWorker(TJob::ExtractStream, FileList.Objects(index).Offset, {}, &sDest);
  sDest.Seek(0, SEEK_SET);
  if (low != 0) RaiseWorkerError(low);
  return true;
}

void TZipRead::TestEntry(int64_t Offset) {
  CheckEntryName(Offset);
  TNullStream sink;
  const uint32_t low = RunEntryWorker(TJob::Test, Offset, {}, &sink);
  if (low != 0) RaiseWorkerError(low);
}

void TZipRead::CompareToFile(int64_t Offset, const std::string& RefFilename) {
  const uint32_t low = RunEntryWorker(TJob::Compare, Offset, RefFilename, nullptr);
  if (low != 0) {
    FErrorFlag = low == errVerify;
    RaiseWorkerError(low);
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
