// SPDX-License-Identifier: Apache-2.0
#include "crypto/AesLib.h"

#include "crypto/MacWorker.h"

#include "base/HelperThread.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <cstring>

namespace qv {

namespace {

constexpr int CDefaultBufSize = 0x80000;
// Blocks in flight between reader and authenticating helper.
constexpr size_t CMacSlots = 3;

int AutomaticMode(size_t passwordLength) {
  if (passwordLength < 32) return 1;
  if (passwordLength < 48) return 2;
  return 3;
}

// Reads until count bytes are in or the source ends. Bytes read, or -1 on a read error.
int64_t ReadFull(TStream& source, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const int64_t n = source.Read(buffer + done, count - done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool WriteAll(TStream& dest, const uint8_t* buffer, size_t count) {
  if (count == 0) return true;
  return dest.Write(buffer, count) == static_cast<int64_t>(count);
}

// dfNone when all count bytes went to dest; a refusal and a full medium apart.
TDecryptFailure WriteBlock(TStream& dest, const uint8_t* buffer, size_t count) {
  if (count == 0) return dfNone;
  const int64_t written = dest.Write(buffer, count);
  if (written < 0) return dfWrite;
  return written < static_cast<int64_t>(count) ? dfDiskFull : dfNone;
}

// A read of count bytes: dfNone when all came, dfRead on a failure, dfCorrupt when the
// source ended first.
TDecryptFailure ReadFailure(int64_t got, size_t count) {
  if (got < 0) return dfRead;
  return got == static_cast<int64_t>(count) ? dfNone : dfCorrupt;
}

}  // namespace

// ---- TCrypt ----

TCrypt::TCrypt(const std::string& Password, int AMode, int ABufSize)
    : FPwd(Password.substr(0, std::min(Password.size(), CMaxPasswordLength))),
      // A buffer of no bytes would make the stream loops spin without progress.
      CBufSize(ABufSize > 0 ? ABufSize : CDefaultBufSize),
      CBuffer(static_cast<size_t>(CBufSize)) {
  if (!CBuffer.Valid()) throw std::bad_alloc();  // as a vector of the size would
  FMode = (AMode >= 1 && AMode <= 3) ? AMode : AutomaticMode(FPwd.size());
}

TCrypt::~TCrypt() {
  SecureWipe(FPwd.data(), FPwd.size());
  SecureWipe(CBuffer.Data(), CBuffer.Size());
  SecureWipe(&FCryptCtx.FMac, sizeof(FCryptCtx.FMac));
  SecureWipe(FCryptCtx.FKeystream.data(), FCryptCtx.FKeystream.size());
  SecureWipe(FCryptCtx.FBatch.data(), FCryptCtx.FBatch.size());
}

int TCrypt::GetHeaderSize() const { return static_cast<int>(SaltLength(FMode) + CVerifierLength); }

int TCrypt::GetTrailerSize() const { return static_cast<int>(CMacLength); }

// ---- TEncryption ----

TEncryption::TEncryption(const std::string& Password, int AMode, int ABufSize)
    : TCrypt(Password, AMode, ABufSize) {
  PoolInit(EntropySample, FPrngCtx);
}

// Key material derived on a helper: a few salts, each waiting, being derived or ready. A job
// holds its item, so an item may leave the list while its job still waits.
struct TEncryption::TKeyAhead {
  enum class TState : uint8_t { Waiting, Running, Ready, Dropped };
  struct TItem {
    std::vector<uint8_t> Salt;
    std::vector<uint8_t> Key;
    TState State = TState::Waiting;
  };
  // Room for the entry being read and the few asked for after it, with some to spare for
  // entries that are skipped.
  static constexpr size_t CMaxItems = 8;

  TKeyAhead() { Helper.Start(); }
  ~TKeyAhead() {
    Helper.Abort();
    for (auto& item : Items) SecureWipe(item->Key.data(), item->Key.size());
  }
  std::list<std::shared_ptr<TItem>>::iterator Find(const uint8_t* salt, size_t saltLength) {
    return std::find_if(Items.begin(), Items.end(), [&](const auto& item) {
      return item->Salt.size() == saltLength && std::equal(item->Salt.begin(), item->Salt.end(), salt);
    });
  }

  // Derives a waiting item's key with the lock released meanwhile: the helper does, and so
  // does a caller who would otherwise wait for the helper.
  void Derive(std::unique_lock<std::mutex>& ALock, TItem& AItem, const TEncryption& AOwner) {
    AItem.State = TState::Running;
    ALock.unlock();
    std::vector<uint8_t> key = AOwner.DeriveKeyFor(AItem.Salt);
    ALock.lock();
    AItem.Key = std::move(key);
    AItem.State = TState::Ready;
    Changed.notify_all();
  }

  std::mutex Lock;
  std::condition_variable Changed;
  std::list<std::shared_ptr<TItem>> Items;
  THelperThread Helper{CMaxItems};  // last: its jobs use the members above
};

TEncryption::~TEncryption() {
  FKeyAhead.reset();
  PoolWipe(FPrngCtx);
  SecureWipe(FCachedKey.data(), FCachedKey.size());
}

void TEncryption::DeriveAhead(const uint8_t* salt) {
  if (!FKeyAhead) FKeyAhead = std::make_unique<TKeyAhead>();
  TKeyAhead& ahead = *FKeyAhead;
  if (!ahead.Helper.Running()) return;  // inline it would only delay the caller
  const size_t saltLength = SaltLength(FMode);
  auto item = std::make_shared<TKeyAhead::TItem>();
  {
    std::lock_guard lock(ahead.Lock);
    if (ahead.Find(salt, saltLength) != ahead.Items.end()) return;
    if (ahead.Items.size() >= TKeyAhead::CMaxItems) {
      // Room only by forgetting a finished one that nobody took (an entry skipped).
      auto done = std::find_if(ahead.Items.begin(), ahead.Items.end(),
                               [](const auto& i) { return i->State == TKeyAhead::TState::Ready; });
      if (done == ahead.Items.end()) return;
      SecureWipe((*done)->Key.data(), (*done)->Key.size());
      ahead.Items.erase(done);
    }
    item->Salt.assign(salt, salt + saltLength);
    ahead.Items.push_back(item);
  }
  ahead.Helper.Post([this, &a = ahead, item] {
    std::unique_lock lock(a.Lock);
    if (item->State == TKeyAhead::TState::Waiting) a.Derive(lock, *item, *this);
  });
}

std::vector<uint8_t> TEncryption::DeriveKeyFor(const std::vector<uint8_t>& ASalt) const {
  const auto* pwd = reinterpret_cast<const uint8_t*>(FPwd.data());
  return DeriveKeyMaterial(pwd, FPwd.size(), ASalt.data(), ASalt.size(), CKeyIterations, DerivedLength(FMode));
}

bool TEncryption::TakeDerived(const uint8_t* salt, size_t saltLength) {
  if (!FKeyAhead) return false;
  TKeyAhead& ahead = *FKeyAhead;
  std::unique_lock lock(ahead.Lock);
  const auto found = ahead.Find(salt, saltLength);
  if (found == ahead.Items.end()) return false;
  const std::shared_ptr<TKeyAhead::TItem> item = *found;
  ahead.Items.erase(found);
  if (item->State == TKeyAhead::TState::Waiting) {
    item->State = TKeyAhead::TState::Dropped;  // its job returns at once
    return false;
  }
  // While the helper derives this one, this thread derives one the helper would come to later
  // (the last asked for): both cores work on keys instead of one waiting.
  while (item->State != TKeyAhead::TState::Ready) {
    const auto later = std::find_if(ahead.Items.rbegin(), ahead.Items.rend(),
                                    [](const auto& i) { return i->State == TKeyAhead::TState::Waiting; });
    if (later == ahead.Items.rend()) {
      ahead.Changed.wait(lock, [&] { return item->State == TKeyAhead::TState::Ready; });
      break;
    }
    const std::shared_ptr<TKeyAhead::TItem> other = *later;  // kept while the lock is released
    ahead.Derive(lock, *other, *this);
  }
  SecureWipe(FCachedKey.data(), FCachedKey.size());
  FCachedKey = std::move(item->Key);
  FCachedSalt.assign(salt, salt + saltLength);
  return true;
}

void TEncryption::InitStream(const uint8_t* salt, uint8_t verifier[CVerifierLength]) {
  const size_t saltLength = SaltLength(FMode);
  const bool cached = FCachedKey.size() == DerivedLength(FMode) && FCachedSalt.size() == saltLength &&
                      std::equal(FCachedSalt.begin(), FCachedSalt.end(), salt);
  if (!cached && !TakeDerived(salt, saltLength)) {
    SecureWipe(FCachedKey.data(), FCachedKey.size());
    const auto* pwd = reinterpret_cast<const uint8_t*>(FPwd.data());
    FCachedKey = DeriveKeyMaterial(pwd, FPwd.size(), salt, saltLength, CKeyIterations, DerivedLength(FMode));
    FCachedSalt.assign(salt, salt + saltLength);
  }
  // The password is cut and the mode settled on construction, so this cannot fail.
  InitCryptContextFromKey(FMode, FPwd.size(), FCachedKey.data(), FCryptCtx, verifier);
}

void TEncryption::Report(TFileAction AAction, int64_t ACount, bool SpeedLimit) {
  if (FOnProgress) FOnProgress(AAction, ACount, SpeedLimit);
}

bool TEncryption::WriteHeader(TStream& sDest) {
  uint8_t header[32];
  const size_t saltLength = SaltLength(FMode);
  PoolRead(header, saltLength, FPrngCtx);
  InitStream(header, header + saltLength);
  return WriteAll(sDest, header, saltLength + CVerifierLength);
}

void TEncryption::EncryptBlock(uint8_t* Buffer, size_t BLen) { EncryptData(Buffer, BLen, FCryptCtx); }

bool TEncryption::WriteTrailer(TStream& sDest) {
  const auto code = FinishMac(FCryptCtx);
  return WriteAll(sDest, code.data(), code.size());
}

bool TEncryption::EncryptStream(TStream& sSource, TStream& sDest, bool SpeedLimit) {
  if (!WriteHeader(sDest)) return false;
  int64_t total = 0;
  for (;;) {
    const int64_t n = ReadFull(sSource, CBuffer.Data(), CBuffer.Size());
    if (n < 0) return false;
    total += n;
    Report(acEncrypt, total, SpeedLimit);
    EncryptBlock(CBuffer.Data(), static_cast<size_t>(n));
    if (!WriteAll(sDest, CBuffer.Data(), static_cast<size_t>(n))) return false;
    if (n < CBufSize) break;
  }
  return WriteTrailer(sDest);
}

bool TEncryption::ReadHeader(TStream& sSource) {
  uint8_t header[32];
  const size_t saltLength = SaltLength(FMode);
  const size_t headerLength = saltLength + CVerifierLength;
  if (!Fail(ReadFailure(ReadFull(sSource, header, headerLength), headerLength))) return false;
  uint8_t verifier[CVerifierLength];
  InitStream(header, verifier);
  return Fail(std::memcmp(verifier, header + saltLength, CVerifierLength) == 0 ? dfNone : dfPassword);
}

void TEncryption::DecryptBlock(uint8_t* Buffer, size_t BLen) { DecryptData(Buffer, BLen, FCryptCtx); }

void TEncryption::AuthenticateBlock(const uint8_t* Buffer, size_t BLen) {
  MacUpdate(FCryptCtx.FMac, Buffer, BLen);
}

void TEncryption::DecryptBlockOnly(uint8_t* Buffer, size_t BLen) { CtrTransform(Buffer, BLen, FCryptCtx); }

bool TEncryption::ReadTrailer(TStream& sSource) {
  const auto code = FinishMac(FCryptCtx);
  uint8_t stored[CMacLength];
  if (!Fail(ReadFailure(ReadFull(sSource, stored, sizeof(stored)), sizeof(stored)))) return false;
  return Fail(CRYPTO_memcmp(code.data(), stored, sizeof(stored)) == 0 ? dfNone : dfCorrupt);
}

bool TEncryption::DecryptStream(TStream& sSource, TStream* sDest, int64_t SLength, bool SpeedLimit) {
  const int64_t frame = GetHeaderSize() + GetTrailerSize();
  // Too short to hold even the header: damaged, whatever the password.
  if (SLength < frame) return Fail(dfCorrupt);
  if (!ReadHeader(sSource)) return false;
  return DecryptRest(sSource, sDest, SLength - frame, SpeedLimit);
}

bool TEncryption::DecryptRest(TStream& sSource, TStream* sDest, int64_t ACipherLength, bool SpeedLimit,
                              TMacWorker* AMac) {
  int64_t remaining = ACipherLength;
  int64_t total = 0;
  while (remaining > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(CBufSize, remaining));
    // With a helper the ciphertext goes to its slot and stays there for the MAC; the
    // plaintext then goes to the work buffer.
    uint8_t* block = AMac != nullptr ? AMac->NextSlot() : CBuffer.Data();
    const int64_t n = ReadFull(sSource, block, want);
    // A source shorter than announced is a damaged stream, not a reason to read again.
    if (!Fail(ReadFailure(n, want))) return false;  // a helper drops the rest
    if (AMac != nullptr) AMac->Submit(want);
    total += n;
    Report(acDecrypt, total, SpeedLimit);
    if (AMac != nullptr)
      CtrTransformTo(block, CBuffer.Data(), want, FCryptCtx);
    else
      DecryptBlock(CBuffer.Data(), want);
    if (sDest != nullptr && !Fail(WriteBlock(*sDest, CBuffer.Data(), want))) return false;
    remaining -= n;
    if (Cancelled()) return Fail(dfCancelled);
  }
  if (AMac != nullptr) AMac->Finish();
  return ReadTrailer(sSource);
}

bool TEncryption::DecryptStreamOverlapped(TStream& sSource, TStream* sDest, int64_t SLength,
                                          bool SpeedLimit) {
  const int64_t frame = GetHeaderSize() + GetTrailerSize();
  if (SLength < frame) return Fail(dfCorrupt);
  // Streams of up to two work buffers do not repay a thread; without a destination the MAC
  // is all the work, and only a file's reads can go beside it.
  auto* const file = dynamic_cast<TFileStream*>(&sSource);
  if ((sDest == nullptr && file == nullptr) || SLength - frame <= 2 * static_cast<int64_t>(CBufSize))
    return DecryptStream(sSource, sDest, SLength, SpeedLimit);
  if (!ReadHeader(sSource)) return false;
  const size_t slotSize = CBuffer.Size();
  if (FMacSlots.Size() != CMacSlots * slotSize) FMacSlots = TReadBuffer(CMacSlots * slotSize);
  if (!FMacSlots.Valid()) return DecryptRest(sSource, sDest, SLength - frame, SpeedLimit);
  if (file != nullptr) {
    FMacSlots.Place(file->Position());
    return DecryptRestAhead(*file, sDest, SLength - frame, SpeedLimit);
  }
  TMacWorker mac(FCryptCtx.FMac, FMacSlots.Data(), slotSize, CMacSlots);
  return DecryptRest(sSource, sDest, SLength - frame, SpeedLimit, mac.Start() ? &mac : nullptr);
}

bool TEncryption::DecryptRestAhead(TFileStream& sSource, TStream* sDest, int64_t ACipherLength,
                                   bool SpeedLimit) {
  // A block's slot is read again only after the block is decrypted and in the MAC.
  struct TSlot {
    uint8_t* Data = nullptr;
    size_t Want = 0;
    int64_t Got = 0;
    uint64_t ReadTicket = 0;
  };
  TSlot slots[CMacSlots];
  for (size_t i = 0; i < CMacSlots; ++i) slots[i].Data = FMacSlots.Data() + i * CBuffer.Size();
  // With a destination, the helper reads and authenticates while this thread decrypts and
  // writes; without, the helper only reads.
  const bool macAhead = sDest != nullptr;
  std::atomic<bool> readFailed{false};
  THelperThread helper(2 * CMacSlots);  // after the slots: it ends before them
  if (!helper.Start()) return DecryptRest(sSource, sDest, ACipherLength, SpeedLimit);
  int64_t planned = 0;
  const auto handOver = [&](TSlot& slot) {
    if (planned >= ACipherLength) return;
    slot.Want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(CBuffer.Size()), ACipherLength - planned));
    planned += static_cast<int64_t>(slot.Want);
    const size_t want = slot.Want;
    uint8_t* const data = slot.Data;
    slot.ReadTicket = helper.Post([&sSource, &slot, &readFailed, data, want] {
      // Nothing is read after a block that did not come whole.
      slot.Got = readFailed.load() ? -1 : ReadFull(sSource, data, want);
      if (slot.Got != static_cast<int64_t>(want)) readFailed.store(true);
    });
    // The slot may be handed over again before this runs: it keeps its own length. A block
    // that did not come whole ends the loop anyway.
    if (macAhead) {
      helper.Post([this, &readFailed, data, want] {
        if (!readFailed.load()) MacUpdate(FCryptCtx.FMac, data, want);
      });
    }
  };
  for (TSlot& slot : slots) handOver(slot);

  int64_t total = 0;
  for (size_t k = 0; total < ACipherLength; ++k) {
    TSlot& slot = slots[k % CMacSlots];
    helper.Wait(slot.ReadTicket);
    if (!Fail(ReadFailure(slot.Got, slot.Want))) return false;  // the helper drops the rest
    total += slot.Got;
    Report(acDecrypt, total, SpeedLimit);
    if (!macAhead) AuthenticateBlock(slot.Data, slot.Want);
    if (sDest != nullptr) {
      CtrTransformTo(slot.Data, CBuffer.Data(), slot.Want, FCryptCtx);
      if (!Fail(WriteBlock(*sDest, CBuffer.Data(), slot.Want))) return false;
    }
    if (Cancelled()) return Fail(dfCancelled);
    handOver(slot);
  }
  helper.Finish();
  return ReadTrailer(sSource);
}

}  // namespace qv
