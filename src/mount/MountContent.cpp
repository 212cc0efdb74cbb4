// SPDX-License-Identifier: Apache-2.0
#include "mount/MountContent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include <openssl/crypto.h>

#include "base/Stream.h"
#include "base/Translation.h"
#include "crypto/CipherPrimitives.h"
#include "restore/RestoreText.h"
#include "transfer/Crc32.h"
#include "transfer/GzipFile.h"
#include "transfer/LittleEndian.h"

#ifdef QV_USE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

namespace qv {

namespace {

// Decoded pieces: a read of the kernel (128 KiB) is one of them.
constexpr int64_t CChunk = 128 * 1024;
constexpr size_t CInputBlock = 256 * 1024;
// Checkpoints lie at least this far apart, further in large files (the per-file budget).
constexpr int64_t CMinInterval = 1024 * 1024;
// gzip files without the size subfield up to this size are unpacked once to learn their size
// (a few milliseconds each, when a folder is listed).
constexpr int64_t CMeasureLimit = 2 * 1024 * 1024;

// ---- Raw deflate with a state that can be copied at any point. ----

#ifdef QV_USE_ISAL
class TEngine {
 public:
  TEngine() : FState(std::make_unique<inflate_state>()) { Reset(); }
  void Reset() {
    isal_inflate_init(FState.get());
    FState->crc_flag = ISAL_DEFLATE;
    FState->hist_bits = 0;
  }
  // Decodes from in into out; false on corrupt data. ended: the final block is done.
  bool Step(const uint8_t* in, size_t inLen, size_t& consumed, uint8_t* out, size_t outLen, size_t& made,
            bool& ended) {
    inflate_state& s = *FState;
    s.next_in = const_cast<uint8_t*>(in);
    s.avail_in = static_cast<uint32_t>(std::min<size_t>(inLen, 1u << 30));
    s.next_out = out;
    s.avail_out = static_cast<uint32_t>(std::min<size_t>(outLen, 1u << 30));
    const uint32_t inBefore = s.avail_in, outBefore = s.avail_out;
    const int rc = isal_inflate(&s);
    consumed = inBefore - s.avail_in;
    made = outBefore - s.avail_out;
    ended = s.block_state == ISAL_BLOCK_FINISH;
    return rc >= 0;
  }
  // Bytes taken from the input but not part of the stream, after its end.
  size_t UnusedAtEnd() const { return FState->read_in_length > 0 ? static_cast<size_t>(FState->read_in_length) / 8 : 0; }
  struct TSnapshot {
    inflate_state State;
  };
  std::unique_ptr<TSnapshot> Snapshot() const {
    auto copy = std::make_unique<TSnapshot>();
    std::memcpy(&copy->State, FState.get(), sizeof(inflate_state));
    return copy;
  }
  void Restore(const TSnapshot& snapshot) { std::memcpy(FState.get(), &snapshot.State, sizeof(inflate_state)); }
  static size_t SnapshotBytes() { return sizeof(inflate_state); }

 private:
  std::unique_ptr<inflate_state> FState;
};
#else
class TEngine {
 public:
  TEngine() { FReady = inflateInit2(&FZ, -15) == Z_OK; }
  ~TEngine() {
    if (FReady) inflateEnd(&FZ);
  }
  TEngine(const TEngine&) = delete;
  TEngine& operator=(const TEngine&) = delete;
  void Reset() {
    if (FReady) FReady = inflateReset(&FZ) == Z_OK;
  }
  bool Step(const uint8_t* in, size_t inLen, size_t& consumed, uint8_t* out, size_t outLen, size_t& made,
            bool& ended) {
    if (!FReady) return false;
    FZ.next_in = const_cast<Bytef*>(in);
    FZ.avail_in = static_cast<uInt>(std::min<size_t>(inLen, 1u << 30));
    FZ.next_out = out;
    FZ.avail_out = static_cast<uInt>(std::min<size_t>(outLen, 1u << 30));
    const uInt inBefore = FZ.avail_in, outBefore = FZ.avail_out;
    const int rc = inflate(&FZ, Z_NO_FLUSH);
    consumed = inBefore - FZ.avail_in;
    made = outBefore - FZ.avail_out;
    ended = rc == Z_STREAM_END;
    return rc == Z_OK || rc == Z_STREAM_END || rc == Z_BUF_ERROR;
  }
  size_t UnusedAtEnd() const { return 0; }
  struct TSnapshot {
    z_stream Z{};
    bool Ready = false;
    ~TSnapshot() {
      if (Ready) inflateEnd(&Z);
    }
  };
  std::unique_ptr<TSnapshot> Snapshot() {
    auto copy = std::make_unique<TSnapshot>();
    copy->Ready = FReady && inflateCopy(&copy->Z, &FZ) == Z_OK;
    return copy;
  }
  void Restore(TSnapshot& snapshot) {
    if (FReady) inflateEnd(&FZ);
    FReady = snapshot.Ready && inflateCopy(&FZ, &snapshot.Z) == Z_OK;
  }
  static size_t SnapshotBytes() { return sizeof(z_stream) + 7 * 1024 + 32 * 1024; }

 private:
  z_stream FZ{};
  bool FReady = false;
};
#endif

// What went wrong, as the errno a read gives and the reason logged.
struct TFailure {
  int Errno = 0;
  std::string Reason;
};

}  // namespace

// ---- The chunk cache. ----

TChunkCache::TChunk TChunkCache::Find(uint64_t AOwner, int64_t AIndex) {
  std::lock_guard lock(FLock);
  const auto it = FIndex.find({AOwner, AIndex});
  if (it == FIndex.end()) return nullptr;
  FOrder.splice(FOrder.begin(), FOrder, it->second);
  return it->second->Chunk;
}

void TChunkCache::Put(uint64_t AOwner, int64_t AIndex, TChunk AChunk) {
  if (!AChunk || AChunk->size() > FBudget) return;
  std::lock_guard lock(FLock);
  const TKey key{AOwner, AIndex};
  if (const auto it = FIndex.find(key); it != FIndex.end()) {
    FUsed -= it->second->Chunk->size();
    FOrder.erase(it->second);
    FIndex.erase(it);
  }
  FUsed += AChunk->size();
  FOrder.push_front({key, std::move(AChunk)});
  FIndex[key] = FOrder.begin();
  while (FUsed > FBudget && !FOrder.empty()) {
    FUsed -= FOrder.back().Chunk->size();
    FIndex.erase(FOrder.back().Key);
    FOrder.pop_back();
  }
}

void TChunkCache::Forget(uint64_t AOwner) {
  std::lock_guard lock(FLock);
  for (auto it = FOrder.begin(); it != FOrder.end();) {
    if (it->Key.Owner == AOwner) {
      FUsed -= it->Chunk->size();
      FIndex.erase(it->Key);
      it = FOrder.erase(it);
    } else {
      ++it;
    }
  }
}

size_t TChunkCache::Used() const {
  std::lock_guard lock(FLock);
  return FUsed;
}

// ---- Decoding ahead. ----

namespace {
// How far ahead of a reader in order the decoder runs.
constexpr int64_t CReadAhead = 4 * 1024 * 1024;
}  // namespace

TReadAhead::~TReadAhead() { Stop(); }

void TReadAhead::Stop() {
  {
    std::lock_guard lock(FLock);
    FStop = true;
  }
  FWake.notify_all();
  if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TReadAhead::Request(const std::shared_ptr<TContent>& AContent, int64_t AUpTo) {
  {
    std::lock_guard lock(FLock);
    if (FStop) return;
    FContent = AContent;
    FUpTo = AUpTo;
    if (!FThread.joinable()) FThread = std::thread([this] { Run(); });
  }
  FWake.notify_one();
}

void TReadAhead::Run() {
  std::unique_lock lock(FLock);
  for (;;) {
    FWake.wait(lock, [this] { return FStop || !FContent.expired(); });
    if (FStop) return;
    std::shared_ptr<TContent> content = FContent.lock();
    FContent.reset();
    const int64_t upTo = FUpTo;
    lock.unlock();
    // One piece at a time: a reader waits for the decoder one piece at most.
    while (content && content->DecodeAhead(upTo)) {
      std::lock_guard check(FLock);
      if (FStop || !FContent.expired()) break;  // stopping, or a newer request
    }
    content.reset();
    lock.lock();
  }
}

// ---- One file. ----

namespace {

std::atomic<uint64_t> GNextOwner{1};

// The region of the file that the decoder reads: decrypted on the way (counter mode entered
// at any block) and fed to the authentication code in order, each byte once.
struct TInput {
  int Fd = -1;
  int64_t End = 0;  // where the decoder's input ends
  // Encryption: plaintext byte i of the ciphertext region is at file offset CipherBegin + i.
  bool Cipher = false;
  int64_t CipherBegin = 0, CipherEnd = 0;
  TFCryptContext* Crypt = nullptr;
  THmacSha1 Mac{};
  int64_t MacAt = 0;  // ciphertext fed to the code up to this file offset
  std::vector<uint8_t> Buf;
  int64_t BufAt = 0;
  size_t BufLen = 0;

  void Drop() { BufLen = 0; }

  // The bytes at at up to the end of the block; empty at End; nullopt when unreadable.
  std::optional<std::pair<const uint8_t*, size_t>> Get(int64_t at) {
    if (at >= End) return std::pair<const uint8_t*, size_t>(nullptr, 0);
    if (at < BufAt || at >= BufAt + static_cast<int64_t>(BufLen)) {
      if (Buf.size() < CInputBlock) Buf.resize(CInputBlock);
      const size_t want = static_cast<size_t>(std::min<int64_t>(CInputBlock, End - at));
      const int64_t n = ReadFileAt(Fd, Buf.data(), want, at);
      if (n != static_cast<int64_t>(want)) return std::nullopt;
      BufAt = at;
      BufLen = want;
      if (Cipher) Decrypt(Buf.data(), want, at);
    }
    const size_t skip = static_cast<size_t>(at - BufAt);
    return std::pair<const uint8_t*, size_t>(Buf.data() + skip, BufLen - skip);
  }

  // Feeds the code with what it has not seen of [at, at + length) and decrypts in place.
  void Decrypt(uint8_t* data, size_t length, int64_t at) {
    const int64_t end = at + static_cast<int64_t>(length);
    if (at <= MacAt && end > MacAt) {
      MacUpdate(Mac, data + (MacAt - at), static_cast<size_t>(end - MacAt));
      MacAt = end;
    }
    SeekCounter(*Crypt, at - CipherBegin);
    CtrTransform(data, length, *Crypt);
  }

  static void SeekCounter(TFCryptContext& ctx, int64_t index) {
    const uint64_t block = static_cast<uint64_t>(index) / CAesBlockSize;
    ctx.FCounter.fill(0);
    for (int b = 0; b < 8; ++b) ctx.FCounter[static_cast<size_t>(b)] = static_cast<uint8_t>(block >> (8 * b));
    ctx.FPosition = CAesBlockSize;
    uint8_t skip[CAesBlockSize];
    const size_t within = static_cast<size_t>(static_cast<uint64_t>(index) % CAesBlockSize);
    if (within > 0) CtrTransform(skip, within, ctx);
  }
};

}  // namespace

struct TContent::TImpl {
  TContentOrigin Origin;
  std::shared_ptr<const TContentContext> Ctx;
  uint64_t Owner = GNextOwner.fetch_add(1);
  std::mutex Lock;
  bool Opened = false;
  TFailure OpenFailure;
  TFailure Last;
  int Fd = -1;
  int64_t FileSize = 0;
  int64_t Size = 0;

  // Layout.
  bool Deflated = false;
  bool Encrypted = false;
  int KeyMode = 0;
  int64_t DataBegin = 0;  // plain: first restored byte; deflated: first input byte
  int64_t CipherBegin = 0, CipherEnd = 0;  // encrypted: the ciphertext (salt/verifier before, code after)
  bool CheckCrc = false;
  uint32_t Crc = 0;  // zip: the stated CRC-32
  bool Gzip = false;
  bool GzEncrypted = false;
  int64_t FirstMemberUSize = 0;
  bool FirstMemberExact = false;
  std::unique_ptr<TFCryptContext> Crypt;
  THmacSha1 MacStart{};

  // The verdict of the checks at the end: unknown until a read reaches it.
  enum class TVerdict { vUnknown, vGood, vBad } Verdict = TVerdict::vUnknown;
  TFailure Bad;

  // Plain and counter-mode files: the checks fed in order as the reads pass.
  int64_t FrontAt = 0;
  uint32_t FrontCrc = 0;
  THmacSha1 FrontMac{};
  std::vector<uint8_t> Scratch;

  // Deflated files: the decoder.
  struct TCursor {
    TEngine Engine;
    TInput Input;
    int64_t In = 0;   // next input byte for the engine (file offset)
    int64_t Out = 0;  // restored bytes made
    uint32_t Crc = 0; // of the current member (gzip) or of everything (zip)
    int64_t MemberOut = 0;
    int64_t MemberUSize = 0;
    bool MemberExact = false;
    bool StreamEnded = false;  // the current deflate stream has ended
    bool Done = false;         // everything after the last stream is checked too
  };
  struct TCheckpoint {
    int64_t Out = 0, In = 0, MemberOut = 0, MemberUSize = 0, MacAt = 0;
    uint32_t Crc = 0;
    bool MemberExact = false;
    THmacSha1 Mac{};
    std::unique_ptr<TEngine::TSnapshot> Engine;
  };
  std::unique_ptr<TCursor> Cursor;
  bool ReadAheadWanted = false;
  int64_t LastReadEnd = 0;
  std::map<int64_t, TCheckpoint> Checkpoints;  // by output offset
  int64_t Interval = CMinInterval;

  ~TImpl() {
    if (Fd >= 0) ::close(Fd);
    if (Ctx && Ctx->Cache) Ctx->Cache->Forget(Owner);
  }

  TFailure Fail(int err, std::string reason) {
    TFailure f{err, Origin.Name + ": " + std::move(reason)};
    return f;
  }
  // Each reason is logged once, not at every read that fails for it.
  void Report(const TFailure& f) {
    if (f.Reason == Last.Reason) return;
    Last = f;
    if (Ctx->Log) Ctx->Log(f.Reason);
  }

  // ---- Opening: the layout of each kind. ----

  TFailure OpenLayout() {
    Fd = ::open(Origin.Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) return Fail(EIO, FormatText(Tr("cannot open: %s"), {std::strerror(errno)}));
    struct stat st {};
    if (::fstat(Fd, &st) != 0) return Fail(EIO, std::strerror(errno));
    FileSize = st.st_size;
    switch (Origin.Kind) {
      case ckPlain:
        Size = FileSize;
        return {};
      case ckEncrypted:
        Encrypted = true;
        KeyMode = 0;
        return SetUpCipher(0, FileSize);
      case ckGzip:
        return OpenGzip();
      case ckZipEntry:
        return OpenZipEntry();
    }
    return {};
  }

  TFailure OpenGzip() {
    auto stream = TFileStream::Adopt(::dup(Fd));
    if (!stream) return Fail(EIO, std::strerror(errno));
    std::string name;
    uint32_t time = 0;
    bool encrypted = false, exact = false;
    int64_t csize = 0, usize = 0;
    if (ReadGzHeader(*stream, name, time, encrypted, csize, usize, &exact) != gzhOk)
      return Fail(EIO, Tr("the gzip header cannot be read"));
    const int64_t body = stream->Position();
    Gzip = true;
    Deflated = true;
    FirstMemberUSize = usize;
    FirstMemberExact = exact;
    Size = usize;
    DataBegin = body;
    if (!encrypted) {
      if (Origin.ShownSize >= 0) {
        Size = Origin.ShownSize;
      } else if (!exact && FileSize <= CMeasureLimit) {
        // Without the size subfield only ISIZE of the last member is known: a small file is
        // unpacked once to learn its size (several members, padding).
        return Measure();
      }
      return {};
    }
    GzEncrypted = true;
    Encrypted = true;
    KeyMode = 0;
    // The encrypted body reaches up to the trailer at the end of the file.
    return SetUpCipher(body, FileSize - GzTrailerSize - body);
  }

  TFailure Measure() {
    ResetCursor();
    std::vector<uint8_t> scratch(CInputBlock);
    for (size_t produced = scratch.size(); produced == scratch.size();) {
      if (TFailure f = Produce(scratch.data(), scratch.size(), produced); f.Errno != 0) {
        Cursor.reset();
        return f;
      }
    }
    Size = Cursor->Out;
    Cursor.reset();
    return {};
  }

  TFailure OpenZipEntry() {
    const TPkHeader& h = Origin.Entry;
    if (h.TypeConflict) return Fail(EIO, Tr("flagged a folder or link against its data, name or type bits"));
    if (h.UnsupportedEncryption()) return Fail(EIO, Tr("encrypted with a method other than AES"));
    auto stream = TFileStream::Adopt(::dup(Fd));
    if (!stream || stream->Seek(h.Offset, SEEK_SET) != h.Offset) return Fail(EIO, Tr("the local header cannot be read"));
    TZipFileInfo local;
    if (!ReadZipLocalHeader(*stream, local)) return Fail(EIO, Tr("the local header cannot be read"));
    if (local.Method != h.CompMethode) return Fail(EIO, Tr("the local header states another method"));
    const int64_t data = stream->Position();
    if (data < 0 || h.CSize < 0 || h.CSize > FileSize - data) return Fail(EIO, Tr("the entry's data run past the end of the archive"));
    uint16_t method = h.CompMethode;
    Size = h.USize;
    if (h.Encrypted()) {
      method = h.EncMeth != 0 || h.Tag == ZipExtraAes ? h.EncMeth : local.EncMeth;
      KeyMode = h.EncMode != 0 ? h.EncMode : local.EncMode;
      if (KeyMode < 1 || KeyMode > 3) return Fail(EIO, Tr("an AES entry without a valid key strength"));
      Encrypted = true;
      // AE-1 entries keep their CRC; AE-2 entries store 0 and rely on the authentication code.
      const bool ae1 = (h.EncVers != 0 ? h.EncVers : local.EncVers) == 1;
      CheckCrc = ae1;
      Crc = h.CRC;
      if (TFailure f = SetUpCipher(data, h.CSize); f.Errno != 0) return f;
    } else {
      CheckCrc = true;
      Crc = h.CRC;
      DataBegin = data;
      CipherEnd = data + h.CSize;  // the end of the entry's data
    }
    if (method == ZipMethodDeflated) {
      Deflated = true;
      if (!Encrypted) DataBegin = data;
    } else if (method == ZipMethodStored) {
      const int64_t stored = Encrypted ? CipherEnd - CipherBegin : h.CSize;
      if (stored != h.USize)
        return Fail(EIO, FormatText(Tr("a stored entry of %s bytes that states %s"), {std::to_string(stored), std::to_string(h.USize)}));
    } else {
      return Fail(EIO, FormatText(Tr("compressed with %s, which is not supported"), {ZipMethodName(method)}));
    }
    return {};
  }

  // The encrypted stream of length bytes at begin: key from the password and the salt, the
  // verifier compared (EACCES on a mismatch).
  TFailure SetUpCipher(int64_t begin, int64_t length) {
    if (KeyMode == 0) {
      const size_t n = std::min(Ctx->Password.size(), CMaxPasswordLength);
      KeyMode = n < 32 ? 1 : n < 48 ? 2 : 3;
    }
    const int64_t salt = static_cast<int64_t>(SaltLength(KeyMode));
    const int64_t frame = salt + static_cast<int64_t>(CVerifierLength + CMacLength);
    if (length < frame || begin + length > FileSize) return Fail(EIO, Tr("the encrypted data are cut short"));
    CipherBegin = begin + salt + static_cast<int64_t>(CVerifierLength);
    CipherEnd = begin + length - static_cast<int64_t>(CMacLength);
    if (!Deflated && !Gzip && Origin.Kind == ckEncrypted) Size = CipherEnd - CipherBegin;
    if (!Ctx->HasPassword) return Fail(EACCES, Tr("encrypted, and no password was given"));
    uint8_t header[32];
    if (ReadFileAt(Fd, header, static_cast<size_t>(salt) + CVerifierLength, begin) != salt + 2)
      return Fail(EIO, Tr("the encrypted data cannot be read"));
    const std::string& pwd = Ctx->Password;
    const size_t pwdLength = std::min(pwd.size(), CMaxPasswordLength);
    std::vector<uint8_t> material = DeriveKeyMaterial(reinterpret_cast<const uint8_t*>(pwd.data()), pwdLength,
                                                      header, static_cast<size_t>(salt), CKeyIterations,
                                                      DerivedLength(KeyMode));
    Crypt = std::make_unique<TFCryptContext>();
    uint8_t verifier[CVerifierLength];
    InitCryptContextFromKey(KeyMode, pwdLength, material.data(), *Crypt, verifier);
    SecureWipe(material.data(), material.size());
    if (std::memcmp(verifier, header + salt, CVerifierLength) != 0)
      return Fail(EACCES, Tr("the password does not open it"));
    MacStart = Crypt->FMac;
    FrontMac = MacStart;
    DataBegin = CipherBegin;
    return {};
  }

  int EnsureOpen() {
    if (!Opened) {
      Opened = true;
      OpenFailure = OpenLayout();
      if (OpenFailure.Errno == 0 && Deflated) {
        // As many checkpoints as the per-file budget holds, at least a megabyte apart.
        const int64_t count = std::max<int64_t>(1, static_cast<int64_t>(Ctx->CheckpointBudget / TEngine::SnapshotBytes()));
        Interval = std::max<int64_t>(CMinInterval, (Size / count + CChunk - 1) / CChunk * CChunk);
      }
    }
    return OpenFailure.Errno;
  }

  // ---- Files read in place (plain, counter mode). ----

  bool HasChecks() const { return Encrypted || CheckCrc; }

  // The restored bytes [at, at + length) into out (length within Size).
  bool ReadPlace(uint8_t* out, size_t length, int64_t at) {
    if (ReadFileAt(Fd, out, length, DataBegin + at) != static_cast<int64_t>(length)) return false;
    if (!HasChecks()) return true;
    const int64_t end = at + static_cast<int64_t>(length);
    const bool feeds = at <= FrontAt && end > FrontAt;
    const size_t skip = feeds ? static_cast<size_t>(FrontAt - at) : 0;
    if (feeds && Encrypted) MacUpdate(FrontMac, out + skip, length - skip);
    if (Encrypted) {
      TInput::SeekCounter(*Crypt, at);
      CtrTransform(out, length, *Crypt);
    }
    if (feeds) {
      if (CheckCrc) FrontCrc = Crc32Update(FrontCrc, out + skip, length - skip);
      FrontAt = end;
    }
    return true;
  }

  TFailure FinishPlace() {
    // What the reads skipped is read now, in order, for the checks.
    if (Scratch.size() < CInputBlock) Scratch.resize(CInputBlock);
    while (FrontAt < Size) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(CInputBlock, Size - FrontAt));
      if (!ReadPlace(Scratch.data(), n, FrontAt)) return Fail(EIO, Tr("cannot be read"));
    }
    if (Encrypted) {
      uint8_t code[CMacLength], stored[CMacLength];
      THmacSha1 mac = FrontMac;
      MacEnd(mac, code, sizeof code);
      if (ReadFileAt(Fd, stored, sizeof stored, CipherEnd) != static_cast<int64_t>(sizeof stored))
        return Fail(EIO, Tr("the authentication code cannot be read"));
      if (CRYPTO_memcmp(code, stored, sizeof stored) != 0)
        return Fail(EIO, Tr("the authentication code does not match: the data are damaged"));
    }
    if (CheckCrc && FrontCrc != Crc) return Fail(EIO, Tr("CRC-32 mismatch: the data are damaged"));
    return {};
  }

  // ---- Deflated files. ----

  void ResetCursor() {
    if (!Cursor) Cursor = std::make_unique<TCursor>();
    TCursor& c = *Cursor;
    c.Engine.Reset();
    c.Input.Fd = Fd;
    c.Input.End = Gzip && !GzEncrypted ? FileSize : CipherEnd;
    c.Input.Cipher = Encrypted;
    c.Input.CipherBegin = CipherBegin;
    c.Input.CipherEnd = CipherEnd;
    c.Input.Crypt = Crypt.get();
    c.Input.Mac = MacStart;
    c.Input.MacAt = CipherBegin;
    c.Input.Drop();
    c.In = DataBegin;
    c.Out = 0;
    c.Crc = 0;
    c.MemberOut = 0;
    c.MemberUSize = FirstMemberUSize;
    c.MemberExact = FirstMemberExact;
    c.StreamEnded = false;
    c.Done = false;
  }

  void RestoreCursor(const TCheckpoint& cp) {
    ResetCursor();
    TCursor& c = *Cursor;
    c.Engine.Restore(*cp.Engine);
    c.In = cp.In;
    c.Out = cp.Out;
    c.Crc = cp.Crc;
    c.MemberOut = cp.MemberOut;
    c.MemberUSize = cp.MemberUSize;
    c.MemberExact = cp.MemberExact;
    c.Input.Mac = cp.Mac;
    c.Input.MacAt = cp.MacAt;
  }

  void TakeCheckpoint() {
    TCursor& c = *Cursor;
    if (c.StreamEnded || c.Out % Interval != 0 || c.Out == 0 || Checkpoints.count(c.Out) != 0) return;
    if ((Checkpoints.size() + 1) * TEngine::SnapshotBytes() > Ctx->CheckpointBudget + TEngine::SnapshotBytes()) return;
    TCheckpoint cp;
    cp.Out = c.Out;
    cp.In = c.In;
    cp.Crc = c.Crc;
    cp.MemberOut = c.MemberOut;
    cp.MemberUSize = c.MemberUSize;
    cp.MemberExact = c.MemberExact;
    cp.Mac = c.Input.Mac;
    cp.MacAt = c.Input.MacAt;
    cp.Engine = c.Engine.Snapshot();
    Checkpoints.emplace(c.Out, std::move(cp));
    FHeldAdd(TEngine::SnapshotBytes());
  }
  std::function<void(size_t)> FHeldAdd;

  // The checks after a deflate stream ended: the member's trailer (and the next member), or
  // the entry's CRC and code. Sets Done when nothing follows.
  TFailure EndStream() {
    TCursor& c = *Cursor;
    c.In -= static_cast<int64_t>(c.Engine.UnusedAtEnd());
    if (Gzip) {
      int64_t trailerAt = c.In;
      if (GzEncrypted) {
        if (c.In != CipherEnd) return Fail(EIO, Tr("data follow the compressed stream inside the encrypted body"));
        if (TFailure f = CheckCode(c.Input); f.Errno != 0) return f;
        trailerAt = FileSize - GzTrailerSize;
      }
      uint8_t trailer[GzTrailerSize];
      if (ReadFileAt(Fd, trailer, sizeof trailer, trailerAt) != GzTrailerSize) return Fail(EIO, Tr("the gzip trailer is missing"));
      if (GetLe32(trailer) != c.Crc) return Fail(EIO, Tr("CRC-32 mismatch: the data are damaged"));
      if (GetLe32(trailer + 4) != static_cast<uint32_t>(c.MemberOut) || (c.MemberExact && c.MemberOut != c.MemberUSize))
        return Fail(EIO, Tr("the size does not match the gzip trailer"));
      if (GzEncrypted) {
        c.Done = true;
        return {};
      }
      return NextMember(trailerAt + GzTrailerSize);
    }
    if (c.Out != Size) return Fail(EIO, Tr("the size does not match the directory"));
    if (CheckCrc && c.Crc != Crc) return Fail(EIO, Tr("CRC-32 mismatch: the data are damaged"));
    if (Encrypted) {
      if (TFailure f = CheckCode(c.Input); f.Errno != 0) return f;
    }
    c.Done = true;
    return {};
  }

  // Reads what the code has not seen up to the end of the ciphertext and compares the code.
  TFailure CheckCode(TInput& input) {
    std::vector<uint8_t> block(CInputBlock);
    while (input.MacAt < CipherEnd) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(CInputBlock, CipherEnd - input.MacAt));
      if (ReadFileAt(Fd, block.data(), n, input.MacAt) != static_cast<int64_t>(n)) return Fail(EIO, Tr("cannot be read"));
      MacUpdate(input.Mac, block.data(), n);
      input.MacAt += static_cast<int64_t>(n);
    }
    uint8_t code[CMacLength], stored[CMacLength];
    THmacSha1 mac = input.Mac;
    MacEnd(mac, code, sizeof code);
    if (ReadFileAt(Fd, stored, sizeof stored, CipherEnd) != static_cast<int64_t>(sizeof stored))
      return Fail(EIO, Tr("the authentication code cannot be read"));
    if (CRYPTO_memcmp(code, stored, sizeof stored) != 0)
      return Fail(EIO, Tr("the authentication code does not match: the data are damaged"));
    return {};
  }

  // After a member: another member, zero padding up to the end, or the end.
  TFailure NextMember(int64_t at) {
    TCursor& c = *Cursor;
    if (at >= FileSize) {
      c.Done = true;
      return {};
    }
    uint8_t magic[2] = {0, 0};
    const int64_t got = ReadFileAt(Fd, magic, 2, at);
    if (got < 0) return Fail(EIO, Tr("cannot be read"));
    if (got == 2 && GetLe16(magic) == 0x8B1F) {
      auto stream = TFileStream::Adopt(::dup(Fd));
      if (!stream || stream->Seek(at, SEEK_SET) != at) return Fail(EIO, Tr("cannot be read"));
      std::string name;
      uint32_t time = 0;
      bool encrypted = false;
      int64_t csize = 0;
      if (ReadGzHeader(*stream, name, time, encrypted, csize, c.MemberUSize, &c.MemberExact) != gzhOk || encrypted)
        return Fail(EIO, Tr("a further gzip member is damaged"));
      c.In = stream->Position();
      c.Engine.Reset();
      c.Input.Drop();
      c.Crc = 0;
      c.MemberOut = 0;
      c.StreamEnded = false;
      return {};
    }
    // Zero bytes up to the end are padding; anything else is not ours to drop silently.
    std::vector<uint8_t> block(CInputBlock);
    for (int64_t pos = at; pos < FileSize;) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(CInputBlock, FileSize - pos));
      if (ReadFileAt(Fd, block.data(), n, pos) != static_cast<int64_t>(n)) return Fail(EIO, Tr("cannot be read"));
      if (std::any_of(block.begin(), block.begin() + static_cast<long>(n), [](uint8_t b) { return b != 0; }))
        return Fail(EIO, Tr("data that are no gzip member follow the compressed data"));
      pos += static_cast<int64_t>(n);
    }
    c.Done = true;
    return {};
  }

  // Decodes up to want bytes into out; fewer only when everything has ended (and been checked).
  TFailure Produce(uint8_t* out, size_t want, size_t& produced) {
    TCursor& c = *Cursor;
    produced = 0;
    while (produced < want && !c.Done) {
      if (c.StreamEnded) {
        if (TFailure f = EndStream(); f.Errno != 0) return f;
        continue;
      }
      const auto in = c.Input.Get(c.In);
      if (!in) return Fail(EIO, Tr("cannot be read"));
      size_t consumed = 0, made = 0;
      bool ended = false;
      if (!c.Engine.Step(in->first, in->second, consumed, out + produced, want - produced, made, ended))
        return Fail(EIO, Tr("the compressed data are damaged"));
      if (made > 0) c.Crc = Crc32Update(c.Crc, out + produced, made);
      c.In += static_cast<int64_t>(consumed);
      c.Out += static_cast<int64_t>(made);
      c.MemberOut += static_cast<int64_t>(made);
      produced += made;
      if (ended) {
        c.StreamEnded = true;
      } else if (consumed == 0 && made == 0) {
        if (in->second == 0) return Fail(EIO, Tr("the compressed data are cut short"));
        return Fail(EIO, Tr("the compressed data are damaged"));
      }
    }
    return {};
  }

  // Moves the cursor to out offset at (a chunk boundary), from the nearest point before it.
  TFailure Seek(int64_t at) {
    const TCheckpoint* best = nullptr;
    if (auto it = Checkpoints.upper_bound(at); it != Checkpoints.begin()) best = &std::prev(it)->second;
    const bool cursorUsable = Cursor && Cursor->Out <= at && !Cursor->Done && (best == nullptr || Cursor->Out >= best->Out);
    if (!cursorUsable) {
      if (best != nullptr)
        RestoreCursor(*best);
      else
        ResetCursor();
    }
    while (Cursor->Out < at) {
      if (TFailure f = DecodeChunkAtCursor(); f.Errno != 0) return f;
    }
    return {};
  }

  // Decodes the chunk at the cursor (which is on a chunk boundary) into the cache.
  TFailure DecodeChunkAtCursor(TChunkCache::TChunk* result = nullptr) {
    TCursor& c = *Cursor;
    const int64_t index = c.Out / CChunk;
    const size_t want = static_cast<size_t>(std::min<int64_t>(CChunk, Size - c.Out));
    auto chunk = std::make_shared<std::vector<uint8_t>>(want);
    size_t produced = 0;
    if (TFailure f = Produce(chunk->data(), want, produced); f.Errno != 0) return f;
    if (produced < want) return Fail(EIO, FormatText(Tr("the data end before the stated size of %s bytes"), {std::to_string(Size)}));
    TakeCheckpoint();
    TChunkCache::TChunk shared = std::move(chunk);
    if (Ctx->Cache) Ctx->Cache->Put(Owner, index, shared);
    if (result != nullptr) *result = std::move(shared);
    return {};
  }

  TFailure ChunkAt(int64_t index, TChunkCache::TChunk& chunk) {
    if (Ctx->Cache && (chunk = Ctx->Cache->Find(Owner, index))) return {};
    if (TFailure f = Seek(index * CChunk); f.Errno != 0) return f;
    return DecodeChunkAtCursor(&chunk);
  }

  TFailure FinishDeflated() {
    if (TFailure f = Seek(Size); f.Errno != 0) return f;
    uint8_t extra = 0;
    size_t produced = 0;
    if (TFailure f = Produce(&extra, 1, produced); f.Errno != 0) return f;
    if (produced != 0)
      return Fail(EIO, FormatText(Tr("the data run on past the stated size of %s bytes"), {std::to_string(Size)}) +
                           (Gzip && !FirstMemberExact
                                ? " (" + Tr("several gzip members without a size field: restore the file instead") + ")"
                                : std::string()));
    return {};
  }

  // ---- Reading. ----

  ssize_t Read(uint8_t* out, size_t length, int64_t offset) {
    if (const int err = EnsureOpen(); err != 0) {
      Report(OpenFailure);
      return -err;
    }
    if (offset < 0) return -EINVAL;
    if (offset >= Size) {
      if (length > 0 && Size == 0 && HasEndChecks()) {
        if (const int err = Conclude(); err != 0) return -err;
      }
      return 0;
    }
    const size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), Size - offset));
    if (Deflated) {
      ReadAheadWanted = false;
      size_t done = 0;
      while (done < n) {
        const int64_t at = offset + static_cast<int64_t>(done);
        TChunkCache::TChunk chunk;
        if (TFailure f = ChunkAt(at / CChunk, chunk); f.Errno != 0) return Failed(f);
        const size_t within = static_cast<size_t>(at % CChunk);
        const size_t take = std::min(n - done, chunk->size() - within);
        std::memcpy(out + done, chunk->data() + within, take);
        done += take;
      }
      // A reader in order (this read begins where the last one ended) with the decoder right
      // behind what it read; random reads get no decoding ahead.
      const int64_t end = offset + static_cast<int64_t>(n);
      ReadAheadWanted = offset == LastReadEnd && Cursor && !Cursor->Done && Cursor->Out < Size &&
                        Cursor->Out >= end && Cursor->Out - end < CChunk;
      LastReadEnd = end;
    } else if (!ReadPlace(out, n, offset)) {
      return Failed(Fail(EIO, Tr("cannot be read")));
    }
    if (offset + static_cast<int64_t>(n) >= Size && HasEndChecks()) {
      if (const int err = Conclude(); err != 0) return -err;
    }
    return static_cast<ssize_t>(n);
  }

  bool HasEndChecks() const { return Deflated || HasChecks(); }

  int Conclude() {
    if (Verdict == TVerdict::vUnknown) {
      TFailure f = Deflated ? FinishDeflated() : FinishPlace();
      if (f.Errno != 0) {
        Verdict = TVerdict::vBad;
        Bad = f;
        Cursor.reset();
      } else {
        Verdict = TVerdict::vGood;
      }
    }
    if (Verdict == TVerdict::vBad) {
      Report(Bad);
      return Bad.Errno;
    }
    return 0;
  }

  ssize_t Failed(const TFailure& f) {
    Report(f);
    // The decoder's state is unknown after a failure: start afresh next time.
    Cursor.reset();
    return -f.Errno;
  }
};

TContent::TContent(TContentOrigin AOrigin, std::shared_ptr<const TContentContext> AContext)
    : FImpl(std::make_unique<TImpl>()) {
  FImpl->Origin = std::move(AOrigin);
  if (FImpl->Origin.Name.empty()) FImpl->Origin.Name = FImpl->Origin.Path;
  FImpl->Ctx = std::move(AContext);
  FImpl->FHeldAdd = [this](size_t n) { FHeld.fetch_add(n, std::memory_order_relaxed); };
  FHeld.store(CInputBlock * 2, std::memory_order_relaxed);
}

TContent::~TContent() = default;

int TContent::Open() {
  std::lock_guard lock(FImpl->Lock);
  const int err = FImpl->EnsureOpen();
  if (err == 0) FSize = FImpl->Size;
  return -err;
}

ssize_t TContent::Read(void* ABuffer, size_t ALength, int64_t AOffset) {
  int64_t ahead = -1;
  ssize_t n = 0;
  {
    std::lock_guard lock(FImpl->Lock);
    n = FImpl->Read(static_cast<uint8_t*>(ABuffer), ALength, AOffset);
    if (FImpl->OpenFailure.Errno == 0 && FImpl->Opened) FSize = FImpl->Size;
    if (n > 0 && FImpl->ReadAheadWanted) ahead = FImpl->Cursor->Out + CReadAhead;
  }
  if (ahead >= 0 && FImpl->Ctx->ReadAhead) {
    if (const std::shared_ptr<TContent> self = weak_from_this().lock()) FImpl->Ctx->ReadAhead->Request(self, ahead);
  }
  return n;
}

bool TContent::DecodeAhead(int64_t AUpTo) {
  std::lock_guard lock(FImpl->Lock);
  TImpl& im = *FImpl;
  if (!im.Deflated || !im.Cursor || im.Cursor->Done || im.Cursor->Out >= std::min(AUpTo, im.Size)) return false;
  const int64_t index = im.Cursor->Out / CChunk;
  if (im.Ctx->Cache && im.Ctx->Cache->Find(im.Owner, index)) {
    // Already there: decoding it again would only move the decoder, which the reader does.
    return false;
  }
  if (im.DecodeChunkAtCursor().Errno == 0) return true;
  // The reader meets the failure itself and reports it; the decoder starts afresh.
  im.Cursor.reset();
  return false;
}

bool TContent::PlainSource(int& AFd, int64_t& ASize) {
  std::lock_guard lock(FImpl->Lock);
  if (FImpl->Origin.Kind != ckPlain || FImpl->EnsureOpen() != 0) return false;
  AFd = FImpl->Fd;
  ASize = FImpl->Size;
  return true;
}

std::string TContent::Reason() const {
  std::lock_guard lock(FImpl->Lock);
  return FImpl->Last.Reason;
}

size_t TContent::CheckpointCount() const {
  std::lock_guard lock(FImpl->Lock);
  return FImpl->Checkpoints.size();
}

int64_t GzipShownSize(const std::string& APath) {
  auto stream = TFileStream::Open(APath, TOpenMode::Read);
  if (!stream) return 0;
  std::string name;
  uint32_t time = 0;
  bool encrypted = false, exact = false;
  int64_t csize = 0, usize = 0;
  if (ReadGzHeader(*stream, name, time, encrypted, csize, usize, &exact) != gzhOk) return 0;
  if (exact || encrypted) return usize;
  TContentOrigin origin;
  origin.Kind = ckGzip;
  origin.Path = APath;
  TContent content(origin, std::make_shared<TContentContext>());
  return content.Open() == 0 ? content.Size() : usize;
}

}  // namespace qv
