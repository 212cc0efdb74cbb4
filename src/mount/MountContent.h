// SPDX-License-Identifier: Apache-2.0
#pragma once
// The restored bytes of one mounted file, read at any offset: plain files pass through, the
// AES counter mode is entered at any block, and deflate data are inflated from the nearest
// checkpoint (the decoder's whole state, taken at intervals) with the decoded pieces kept in
// a bounded cache. A read that reaches the end of a file also completes its checks (CRC-32,
// sizes, authentication code): when they fail, that read fails with EIO. No FUSE in here.
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "transfer/ZipTypes.h"

namespace qv {

// How the bytes of a mounted file are stored.
enum class TContentKind : uint8_t {
  ckPlain,     // the file itself
  ckGzip,      // a .gz/.gze file unpacked: gzip member(s), the body possibly encrypted
  ckEncrypted, // an .enc file: salt, verifier, ciphertext, code
  ckZipEntry,  // an entry of a zip archive (stored or deflated, possibly AES)
};
using enum TContentKind;

struct TContentOrigin {
  TContentKind Kind = ckPlain;
  std::string Path;      // the backup file or the archive
  std::string Name;      // what messages call it
  TPkHeader Entry{};     // ckZipEntry: the directory's record
  int64_t ShownSize = -1;  // ckGzip: the size the tree shows (GzipShownSize); -1: learn it
};

// Decoded pieces of every file, least recently used dropped first, within a byte budget.
class TChunkCache {
 public:
  explicit TChunkCache(size_t ABudget) : FBudget(ABudget) {}
  using TChunk = std::shared_ptr<const std::vector<uint8_t>>;
  TChunk Find(uint64_t AOwner, int64_t AIndex);
  void Put(uint64_t AOwner, int64_t AIndex, TChunk AChunk);
  void Forget(uint64_t AOwner);
  size_t Budget() const { return FBudget; }
  size_t Used() const;

 private:
  struct TKey {
    uint64_t Owner;
    int64_t Index;
    bool operator==(const TKey&) const = default;
  };
  struct TKeyHash {
    size_t operator()(const TKey& k) const noexcept {
      return std::hash<uint64_t>()(k.Owner * 0x9E3779B97F4A7C15ull ^ static_cast<uint64_t>(k.Index));
    }
  };
  struct TSlot {
    TKey Key;
    TChunk Chunk;
  };
  mutable std::mutex FLock;
  size_t FBudget;
  size_t FUsed = 0;
  std::list<TSlot> FOrder;  // most recent first
  std::unordered_map<TKey, std::list<TSlot>::iterator, TKeyHash> FIndex;
};

class TContent;

// Decodes ahead of a reader that reads a packed file in order, on a thread of its own, so that
// unpacking and the kernel's copy of the previous piece overlap. The thread starts with the
// first request (after a daemon has forked) and ends with the object.
class TReadAhead {
 public:
  TReadAhead() = default;
  ~TReadAhead();
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;
  // Asks for the file to be decoded up to AUpTo (restored bytes).
  void Request(const std::shared_ptr<TContent>& AContent, int64_t AUpTo);
  // Ends the thread. Its owner calls this while it still holds the context, so that the
  // thread never drops the last reference to this object itself.
  void Stop();

 private:
  void Run();
  std::mutex FLock;
  std::condition_variable FWake;
  std::thread FThread;
  bool FStop = false;
  std::weak_ptr<TContent> FContent;
  int64_t FUpTo = 0;
};

// What every file of one mount shares.
struct TContentContext {
  std::string Password;  // 8-bit bytes (the code page's), empty: none
  bool HasPassword = false;
  std::shared_ptr<TChunkCache> Cache;
  std::shared_ptr<TReadAhead> ReadAhead;  // none: no decoding ahead
  size_t CheckpointBudget = 32u << 20;  // per file
  // Where the reasons of failed reads go (stderr or the log); may be empty.
  std::function<void(const std::string&)> Log;
};

// The restored size a gzip file shows before it is read: the size subfield; without it, the
// unpacked size of a file up to 2 MiB (unpacked once), else ISIZE of the last member; 0 when
// the header cannot be read. A large file of several members without the subfield thus
// shows its last member's size, and reading it to the end fails with EIO (the data run on).
int64_t GzipShownSize(const std::string& APath);

// One file's restored bytes. Thread-safe: reads of one file are served one at a time.
class TContent : public std::enable_shared_from_this<TContent> {
 public:
  TContent(TContentOrigin AOrigin, std::shared_ptr<const TContentContext> AContext);
  ~TContent();
  TContent(const TContent&) = delete;
  TContent& operator=(const TContent&) = delete;

  // Opens the source and learns the layout; 0 or a negative errno (EIO damaged or unreadable,
  // EACCES the password does not open it). Done by the first Read when not called before.
  int Open();
  // The restored size (after a successful Open); -1 before.
  int64_t Size() const { return FSize; }
  // Up to ALength bytes at AOffset; the count (0 at or past the end) or a negative errno.
  // The read that reaches the end fails with EIO when the file's checks fail.
  ssize_t Read(void* ABuffer, size_t ALength, int64_t AOffset);
  // A plain file without checks is read from its own descriptor (valid while this object
  // lives): true with the descriptor and the file's size; false for every other kind.
  bool PlainSource(int& AFd, int64_t& ASize);
  // Why the last failure happened ("" when none).
  std::string Reason() const;
  // Memory the file holds beside the cache: checkpoints and buffers.
  size_t HeldBytes() const { return FHeld.load(std::memory_order_relaxed); }
  size_t CheckpointCount() const;
  // Decodes the next piece when the decoder is still short of AUpTo; false when nothing is left
  // to do (for TReadAhead).
  bool DecodeAhead(int64_t AUpTo);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  int64_t FSize = -1;
  std::atomic<size_t> FHeld{0};
};

}  // namespace qv
