// SPDX-License-Identifier: Apache-2.0
#pragma once
// Reader of zip archives (Zip64, AES-encrypted entries). It parses the central directory
// on the main thread and extracts or compares one entry at a time with an entry worker,
// processing messages while it waits; a small plain entry may instead be detached as a job
// of its own (DetachSmallEntry). Every failure is raised as EZipError.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/FtGlobal.h"
#include "base/Stream.h"
#include "base/TargetFile.h"
#include "transfer/Thread.h"
#include "transfer/ZipEntryThreads.h"
#include "transfer/ZipTypes.h"

namespace qv {

class TEncryption;
class TInflater;

// One entry of the directory as the list hands it out: a view of its name and its header,
// valid while the list is unchanged.
struct TZipListItem {
  std::string_view Name;  // decoded, "/" as delimiter
  const TPkHeader& Header;
};

// The directory: names in central-directory order, each with its header. The names lie one
// after another in one buffer and the lookups are built on first use, so that an archive of
// many entries costs little more than its headers.
class TZipFileList {
 public:
  class const_iterator {
   public:
    const_iterator(const TZipFileList& AList, int AIndex) : FList(&AList), FIndex(AIndex) {}
    TZipListItem operator*() const { return (*FList)[FIndex]; }
    const_iterator& operator++() {
      ++FIndex;
      return *this;
    }
    bool operator==(const const_iterator& AOther) const { return FIndex == AOther.FIndex; }

   private:
    const TZipFileList* FList;
    int FIndex;
  };

  int Count() const { return static_cast<int>(FHeaders.size()); }
  bool Empty() const { return FHeaders.empty(); }
  // The decoded name at AIndex, as a view and as a string of its own.
  std::string_view Name(int AIndex) const;
  std::string Strings(int AIndex) const { return std::string(Name(AIndex)); }
  // The name bytes exactly as stored.
  std::string_view RawName(int AIndex) const;
  const TPkHeader& Objects(int AIndex) const { return FHeaders[static_cast<size_t>(AIndex)]; }
  TZipListItem operator[](int AIndex) const { return {Name(AIndex), Objects(AIndex)}; }
  // Case-insensitive (ASCII) lookup; -1 when absent. The first of equal names wins.
  int IndexOf(std::string_view AName) const;
  // Index of the entry whose local header lies at AOffset (the first of several); -1 when none.
  int IndexOfOffset(int64_t AOffset) const;
  // Bytes from AOffset to the next entry's local header or to AEnd, whichever comes first
  // (0 when AOffset is not below AEnd); -1 when another entry starts at AOffset too.
  int64_t SpanAt(int64_t AOffset, int64_t AEnd) const;

  const_iterator begin() const { return {*this, 0}; }
  const_iterator end() const { return {*this, Count()}; }

  void Add(std::string_view AName, std::string_view ARawName, const TPkHeader& AHeader);
  void Clear();
  // Room for ACount more entries whose names take about ANameBytes together.
  void Reserve(size_t ACount, size_t ANameBytes);

 private:
  // Entries ranked by offset: the rank is the index itself while they were added in order.
  int IndexAtRank(size_t ARank) const;
  int64_t OffsetAtRank(size_t ARank) const { return Objects(IndexAtRank(ARank)).Offset; }
  size_t FirstRankAtOrAfter(int64_t AOffset) const;
  void SortByOffset() const;
  void BuildNameSlots() const;

  std::vector<TPkHeader> FHeaders;
  std::string FNames;                 // every decoded name, one after the other
  std::vector<size_t> FNameEnds;      // where each name ends in FNames
  std::unordered_map<int, std::string> FRawNames;  // stored bytes that differ from the name
  // Open addressing by folded name: entry indices, -1 for a free slot. Built on first use.
  mutable std::vector<int32_t> FNameSlots;
  bool FInOffsetOrder = true;
  // Indices in ascending offset order (equal offsets by index), when not FInOffsetOrder.
  mutable std::vector<int32_t> FByOffset;
  // The last offset looked up: one extraction asks for the same entry several times.
  mutable int64_t FLastOffset = -1;
  mutable int FLastIndex = -1;
};

// The archive as a read-only file with the decryptor built from a password.
class TZip {
 public:
  // Raises EZipError (MsgErrorOpening over ZipName, 0x102) when the archive cannot be opened.
  TZip(const std::string& ZipName, const std::string& Password, int AKeyMode, int ABufSize);
  virtual ~TZip();
  TZip(const TZip&) = delete;
  TZip& operator=(const TZip&) = delete;

  // Replaces the decryptor; an empty password leaves none. Password: 8-bit bytes.
  void InitEncryption(const std::string& Password, int AKeyMode);

  // Copies SLength bytes from the archive's position to AStream; raises on failure.
  void CopyToStream(TStream& AStream, int64_t SLength);

  bool IsTemp() const { return FIsTemp; }
  void SetIsTemp(bool AValue) { FIsTemp = AValue; }
  // Where extracted files may be written (the destination they may not leave) and whether a
  // write-protected target may be replaced.
  void SetTargetRules(TTargetRules ARules) { FTargetRules = std::move(ARules); }
  bool ErrorFlag() const { return FErrorFlag; }
  TThreadPriority ThreadPriority() const { return FPriority; }
  void SetThreadPriority(TThreadPriority APriority) { FPriority = APriority; }
  const TProgressEvent& OnProgress() const { return FOnProgress; }
  void SetOnProgress(TProgressEvent AEvent);
  const TTimeOutEvent& OnTimeout() const { return FOnTimeout; }
  void SetOnTimeout(TTimeOutEvent AEvent) { FOnTimeout = std::move(AEvent); }
  const std::string& ArchiveName() const { return ZName; }
  int64_t ArchiveSize() const { return FArchiveSize; }

 protected:
  // The decryptor for an entry's key mode: the password's own one for 0 or its mode,
  // else one built on demand with the same password. Null without a password.
  TEncryption* EncryptionFor(int AKeyMode);
  TFileStream& Archive() { return *FStream; }

  int32_t FBufferSize;
  bool FIsTemp = false;
  bool FEncrypt = false;
  bool FErrorFlag = false;
  std::unique_ptr<TEncryption> FEncryption;
  TProgressEvent FOnProgress;
  TTimeOutEvent FOnTimeout;
  TThreadPriority FPriority = tpNormal;
  TTargetRules FTargetRules;
  std::string ZName;
  TZipFileList FileList;
  uint64_t FPasswordGeneration = 0;  // counts the passwords set: a decryptor's address may repeat

 private:
  std::unique_ptr<TFileStream> FStream;
  int64_t FArchiveSize = 0;
  std::string FPassword;
  int FKeyMode = 0;
  // Decryptors for the key modes that entries name and the password's mode is not.
  std::unique_ptr<TEncryption> FModeEncryption[4];
};

class TZipRead : public TZip {
 public:
  TZipRead(const std::string& ZipName, const std::string& Password = {}, int AKeyMode = 0,
           int ABufSize = 0);
  ~TZipRead() override;

  // Fills the directory. Raises EZipError (MsgErrorReading over the archive, 0x120) for an
  // archive whose records cannot be found or read.
  void ReadDirectory();

  const TZipFileList& Directory() const { return FileList; }
  int64_t DirectoryOffset() const { return bod; }

  // Name at AIndex, empty when out of range.
  std::string Filename(int AIndex) const;
  // Flag bit 0 of the entry; false when out of range.
  bool IsEncrypted(int AIndex) const;

  // Extracts the entry whose local header is at Offset into DestFilename (written through a
  // temporary file renamed on success), then sets its timestamp and attributes. An entry
  // whose name would leave the destination is refused (0x125) and nothing is written. A
  // symbolic-link entry becomes a link when its target is relative and stays inside the
  // destination (the folder of DestFilename without the entry name's folders, else that
  // folder itself); otherwise it is refused (0x125) as well.
  void ExtractToFile(int64_t Offset, uint32_t TimeStamp, uint32_t Attr,
                     const std::string& DestFilename);
  void ExtractToFile(int AIndex, const std::string& DestFilename);
  // Extracts the named entry into sDest without a decryptor and rewinds sDest.
  // False when the name is not in the directory.
  bool ExtractToStream(const std::string& AFilename, TStream& sDest);
  // Reads the entry at Offset to its end with every check of an extraction (CRC-32, sizes,
  // authentication code) and keeps nothing; raises as ExtractToFile would.
  void TestEntry(int64_t Offset);
  // The entry at Offset as a job of its own that may run on any thread while the reader goes
  // on: extracted into DestFilename as ExtractToFile would (its code is the one that raises),
  // or tested as TestEntry would when DestFilename is empty. Only a small unencrypted file
  // entry whose bytes can be read in one piece is detached; null for any other (extract it
  // with the reader). Raises as ExtractToFile for a name that leaves the destination.
  std::unique_ptr<TZipEntryJob> DetachSmallEntry(int64_t Offset, uint32_t TimeStamp, uint32_t Attr,
                                                 const std::string& DestFilename);
  // Whether DetachSmallEntry may take the entry: a small unencrypted file entry, no folder,
  // no link, no conflict of its type bits. Links, keys and large entries stay with the reader.
  static bool Detachable(const TPkHeader& AHeader);
  // Extracted targets are read back after their rename and compared with what was written.
  void SetVerifyTargets(bool AValue) { FVerifyTargets = AValue; }
  // Compares the entry at Offset with RefFilename; raises on a difference or failure.
  void CompareToFile(int64_t Offset, const std::string& RefFilename);

  // Asks a running entry worker to stop; safe from a handler nested in the wait.
  void Cancel();
  // Holds a running entry worker between blocks, and lets it go on.
  void Pause();
  void Continue();

  // Runs while an entry worker is waited for (front-end events, pause), at least every 10 ms.
  void SetOnProcessMessages(std::function<void()> AHook) { FOnProcessMessages = std::move(AHook); }

 private:
  enum class TJob { Extract, ExtractStream, ExtractLink, Compare, Test };
  // Starts the worker on the entry at AOffset, waits for it, and returns its failure as the
  // reader raises it (ReaderError), with the worker's reason. An extraction's AProperties are
  // set on the target by the worker where it can.
  TRestoreError RunEntryWorker(TJob AJob, int64_t AOffset, const std::string& AFileName,
                          TStream* AStream, TZipEntryProperties* AProperties = nullptr);
  // What every extraction of the entry shares: its directory record, span and target rules.
  void SetUpEntryWorker(TZipReadThread& AWorker, const TPkHeader* AHeader, int64_t ASpan, bool AToFile,
                        const TZipEntryProperties* AProperties) const;
  static bool IsSmallEntry(const TPkHeader& AHeader);
  // The small entry's local header and data, read with one call that also covers the entries
  // after it; empty when they cannot be read so or do not fit the length the directory
  // implies. The bytes lie in the reader's piece: valid until its next read, never kept.
  std::span<const uint8_t> ReadSmallEntry(const TPkHeader& AHeader);
  // ALength bytes of the archive at AOffset, from the small entries' piece when they lie in
  // it; false when they cannot be read whole.
  bool ReadArchiveAt(void* AData, size_t ALength, int64_t AOffset);
  // Asks for the keys of the AES entries that follow the entry at AOffset in the directory to
  // be derived on a second core while this one is worked on (a restore takes them in turn).
  void DeriveKeysAhead(int64_t AOffset);
  void WaitForWorker();
  // Runs the front-end's message processing when it has not run for 10 ms.
  void ProcessMessagesIfDue();
  // Where the directory lies, from the end record (and the Zip64 one).
  struct TDirectoryBounds {
    int64_t EndOffset = 0;  // the end record's offset
    int64_t Limit = 0;      // where the directory ends at most: the (Zip64) end record
    uint64_t Count = 0;
    uint64_t Size = 0;
    uint64_t Offset = 0;
  };
  // The steps of ReadDirectory.
  TDirectoryBounds FindEndRecord();
  void ReadZip64EndRecord(TDirectoryBounds& ABounds);
  void CheckDirectoryBounds(const TDirectoryBounds& ABounds) const;
  void ReadCentralHeaders(const TDirectoryBounds& ABounds);
  // Raises for an entry flagged a folder or link against its data or name.
  void CheckEntryType(int64_t AOffset) const;
  // The target of the link entry at AOffset, read with every check of an extraction; raises
  // for one too long or one that is no path.
  std::string ReadLinkTarget(int64_t AOffset, const TPkHeader& AHeader, const std::string& AName);

  // MsgErrorReading over the archive, and what was being read when there is a word for it;
  // AContext says which record at which offset.
  [[noreturn]] void RaiseReading(TErrorCode ACode, const std::string& AWhat = {},
                                 std::string AContext = {}) const;
  // A worker's failure; AHeader (when known) names an unsupported method. AContext says
  // where, the failure's own context why.
  [[noreturn]] static void RaiseWorkerError(const TRestoreError& AFailure, const TPkHeader* AHeader = nullptr,
                                            std::string AContext = {});
  // Which entry the reader was at: its name and local header offset.
  std::string EntryContext(int64_t AOffset) const;
  const TPkHeader* HeaderAt(int64_t AOffset) const;
  // The name the entry at AOffset is restored under.
  std::optional<std::string> EntryNameAt(int64_t AOffset);
  void CheckEntryName(int64_t AOffset);
  [[noreturn]] void RaiseRefused(const std::string& AName, int64_t AOffset) const;
  void ExtractLink(int64_t AOffset, const TPkHeader& AHeader, uint32_t TimeStamp,
                   const std::string& DestFilename);
  TZipEntryProperties PropertiesOf(int64_t AOffset, uint32_t TimeStamp, uint32_t Attr);
  // Sets by name what the worker could not set.
  void ApplyFileProperties(int64_t AOffset, const TZipEntryProperties& AProperties,
                           const std::string& DestFilename);

  // One decoder and one entry buffer serve every extraction in turn; they outlive the worker.
  std::unique_ptr<TInflater> FInflater;
  std::vector<uint8_t> FEntryWindow;  // archive bytes from FEntryWindowStart
  int64_t FEntryWindowStart = 0;
  std::unique_ptr<TZipReadThread> ZipThread;
  uint32_t FLastDosTime = 0;   // the last entry time converted, and its Unix seconds (0: none)
  int64_t FLastUnixTime = 0;
  int64_t bod = 0;
  bool FVerifyTargets = false;
  // Entries before this index have had their keys asked for, with the password of this
  // generation.
  int FKeysAheadFrom = 0;
  uint64_t FKeysAheadFor = 0;
  std::function<void()> FOnProcessMessages;
  std::chrono::steady_clock::time_point FLastMessages = std::chrono::steady_clock::now();
};

}  // namespace qv
