// SPDX-License-Identifier: Apache-2.0
#include "transfer/EncryptedBody.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/FtGlobal.h"
#include "base/HelperThread.h"
#include "base/ReadBuffer.h"
#include "crypto/AesLib.h"

namespace qv {

namespace {

constexpr TErrorCode kCorrupt{sevError, errCorrupt};
constexpr TErrorCode kReadFailed{sevError, errReadFile};
constexpr TErrorCode kCancelled{sevInfo, errUserBreak};
constexpr int64_t kWindow = 4194304;

// Forwards to a source and remembers whether a read failed, so that a failure of the
// medium is told apart from a wrong password or a damaged body.
class TReadWatch final : public TStream {
 public:
  explicit TReadWatch(TStream& ASource) : FSource(ASource) {}
  int64_t Read(void* buffer, size_t count) override {
    int64_t n = FSource.Read(buffer, count);
    if (n < 0) FFailed = true;
    return n;
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t offset, int whence) override { return FSource.Seek(offset, whence); }
  int64_t Size() override { return FSource.Size(); }
  bool Failed() const { return FFailed; }

 private:
  TStream& FSource;
  bool FFailed = false;
};

// A source read in windows, the next one on a helper thread while the caller works on the
// current one: for the authentication pass as read, for the second pass (the code checked)
// decrypted as well, for one pass authenticated and decrypted. While it lives, the helper
// alone uses the source and the decryptor. Without a thread to be had, the windows are filled
// on demand.
class TWindowReader {
 public:
  TWindowReader(TStream& ASource, int64_t ALength, TEncryption* ADecryptor, bool AAuthenticate = false)
      : FSource(ASource), FDecryptor(ADecryptor), FAuthenticate(AAuthenticate), FLength(ALength), FHelper(2) {
    const auto size = static_cast<size_t>(std::min<int64_t>(kWindow, std::max<int64_t>(ALength, 1)));
    const int64_t start = ASource.Position();
    for (auto& w : FWindows) {
      w.Data = TReadBuffer(size);
      w.Data.Place(start);
    }
    FHelper.Start();
  }
  TWindowReader(const TWindowReader&) = delete;
  TWindowReader& operator=(const TWindowReader&) = delete;

  // Gives the current window back and takes the next one; false when the source failed.
  // Only while bytes of ALength are left.
  bool Next() {
    if (FCurrent < 0) {
      HandOver(0);
      HandOver(1);
    } else {
      HandOver(FCurrent);  // refilled with the window after the next
    }
    const int next = FCurrent < 0 ? 0 : 1 - FCurrent;
    TWindow& w = FWindows[next];
    FHelper.Wait(w.Ticket);
    if (w.Failed) return false;
    FCurrent = next;
    return true;
  }
  // The current window: its offset in the source range, its bytes.
  bool AtEnd() const { return Start() + Length() >= FLength; }
  int64_t Start() const { return FCurrent < 0 ? 0 : FWindows[FCurrent].Start; }
  int64_t Length() const { return FCurrent < 0 ? 0 : FWindows[FCurrent].Length; }
  uint8_t* Data() { return FWindows[FCurrent < 0 ? 0 : FCurrent].Data.Data(); }

 private:
  struct TWindow {
    TReadBuffer Data;
    int64_t Start = 0;
    int64_t Length = 0;
    bool Failed = false;
    uint64_t Ticket = 0;  // of the fill last handed over
  };

  // The window gets the next range of the source; the helper reads (and decrypts) it. After a
  // failure nothing more is read.
  void HandOver(int AIndex) {
    if (FNextStart >= FLength || FFailedAhead) return;
    TWindow& w = FWindows[AIndex];
    w.Start = FNextStart;
    w.Length = std::min<int64_t>(static_cast<int64_t>(w.Data.Size()), FLength - FNextStart);
    FNextStart += w.Length;
    w.Ticket = FHelper.Post([this, &w] { Fill(w); });
  }

  void Fill(TWindow& w) {
    const auto len = static_cast<size_t>(w.Length);
    w.Failed = FFailedAhead || !w.Data.Valid() || FSource.Read(w.Data.Data(), len) != static_cast<int64_t>(len);
    if (w.Failed) FFailedAhead = true;
    if (w.Failed || !FDecryptor) return;
    if (FAuthenticate) FDecryptor->AuthenticateBlock(w.Data.Data(), len);
    FDecryptor->DecryptBlockOnly(w.Data.Data(), len);
  }

  TStream& FSource;
  TEncryption* FDecryptor;
  bool FAuthenticate;
  int64_t FLength;
  int64_t FNextStart = 0;
  TWindow FWindows[2];
  int FCurrent = -1;
  std::atomic<bool> FFailedAhead{false};
  THelperThread FHelper;  // last: it ends before everything its jobs use
};

// Plaintext of a body, decrypted while it is read (ahead, on a helper thread), of which the
// code is either already checked or checked along the way, then by Finish. Reading is
// sequential; a seek may go back within the window handed out last (the inflate loop gives
// back what followed the deflate data).
class TDecryptingStream final : public TUncheckedPlain {
 public:
  TDecryptingStream(TEncryption& AEncryption, TStream& ASource, int64_t APlainSize, bool AAuthenticate,
                    const std::atomic<bool>* ACancel)
      : FEncryption(AEncryption),
        FSource(ASource),
        FSize(APlainSize),
        FAuthenticating(AAuthenticate),
        FCancel(ACancel),
        FWindows(FSource, APlainSize, &AEncryption, AAuthenticate) {}

  int64_t Read(void* buffer, size_t count) override {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count && FPos < FSize) {
      const uint8_t* data = nullptr;
      const int64_t n = Lend(data, count - done);
      if (n < 0) return -1;
      std::memcpy(out + done, data, static_cast<size_t>(n));
      done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
  }
  // The decrypted window itself: the inflate loop reads it without a copy.
  bool Lends() const override { return true; }
  int64_t Lend(const uint8_t*& data, size_t count) override {
    if (FPos >= FSize) return 0;
    if (FPos == FWindows.Start() + FWindows.Length() && !NextWindow()) return -1;
    if (FPos < FWindows.Start()) return -1;
    const auto offset = static_cast<size_t>(FPos - FWindows.Start());
    const size_t n = std::min(count, static_cast<size_t>(FWindows.Length()) - offset);
    data = FWindows.Data() + offset;
    FPos += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t offset, int whence) override {
    int64_t target = offset;
    if (whence == SEEK_CUR) target += FPos;
    else if (whence == SEEK_END) target += FSize;
    else if (whence != SEEK_SET) return -1;
    // The keystream runs forward only: reachable are the decrypted window and its end.
    if (target < FWindows.Start() || target > FWindows.Start() + FWindows.Length()) return -1;
    FPos = target;
    return FPos;
  }
  int64_t Size() override { return FSize; }

  TErrorCode Finish() override {
    if (!FAuthenticating) return FChecked;
    while (!FFailed && !FWindows.AtEnd()) {
      if (FCancel && FCancel->load(std::memory_order_acquire)) return kCancelled;
      NextWindow();
    }
    // The code is read once; asked again, the answer stays.
    if (FFailed || !FEncryption.ReadTrailer(FSource)) FChecked = Failure();
    FAuthenticating = false;
    return FChecked;
  }

 private:
  bool NextWindow() {
    if (FFailed || !FWindows.Next()) FFailed = true;
    return !FFailed;
  }
  // A window that came short is a body cut short; everything else the decryptor tells.
  TErrorCode Failure() const {
    if (FSource.Failed()) return kReadFailed;
    const TDecryptFailure failure = FEncryption.LastFailure();
    return failure == dfNone ? kCorrupt : DecryptFailureCode(failure);
  }

  TEncryption& FEncryption;
  TReadWatch FSource;
  int64_t FSize;
  int64_t FPos = 0;
  bool FAuthenticating;
  bool FFailed = false;
  TErrorCode FChecked;
  const std::atomic<bool>* FCancel;
  TWindowReader FWindows;
};

TErrorCode DecryptInMemory(TEncryption& AEncryption, TStream& ASource, int64_t ALength, bool ASpeedLimit,
                           std::unique_ptr<TStream>& APlain) {
  std::vector<uint8_t> body;
  try {
    body.resize(static_cast<size_t>(ALength));
  } catch (const std::bad_alloc&) {
    return {sevError, errNoStream};
  }
  int64_t got = ASource.Read(body.data(), body.size());
  if (got < 0) return kReadFailed;
  if (got != ALength) return kCorrupt;
  TReadOnlyMemoryStream cipher(body.data(), body.size());
  auto plain = std::make_unique<TMemoryStream>();
  plain->Data().reserve(body.size());
  if (!AEncryption.DecryptStream(cipher, plain.get(), ALength, ASpeedLimit))
    return DecryptFailureCode(AEncryption.LastFailure());
  plain->Seek(0, SEEK_SET);
  APlain = std::move(plain);
  return {};
}

TErrorCode DecryptInTwoPasses(TEncryption& AEncryption, TStream& ASource, int64_t ALength, bool ASpeedLimit,
                              std::unique_ptr<TStream>& APlain, const std::atomic<bool>* ACancel) {
  const int64_t start = ASource.Position();
  const int64_t plainSize = ALength - AEncryption.GetHeaderSize() - AEncryption.GetTrailerSize();
  TReadWatch source(ASource);
  // A window that came short is a body cut short; everything else the decryptor tells.
  auto failure = [&]() -> TErrorCode {
    if (source.Failed()) return kReadFailed;
    return AEncryption.LastFailure() == dfNone ? kCorrupt : DecryptFailureCode(AEncryption.LastFailure());
  };

  // Pass 1: the code over all ciphertext, nothing decrypted.
  if (!AEncryption.ReadHeader(source)) return failure();
  {
    // The next window is read while this one is hashed.
    TWindowReader windows(source, plainSize, nullptr);
    for (int64_t total = 0; total < plainSize;) {
      if (!windows.Next()) return failure();
      total += windows.Length();
      if (AEncryption.OnProgress()) AEncryption.OnProgress()(acDecrypt, total, ASpeedLimit);
      AEncryption.AuthenticateBlock(windows.Data(), static_cast<size_t>(windows.Length()));
      if (ACancel && ACancel->load(std::memory_order_acquire)) return kCancelled;
    }
  }
  if (!AEncryption.ReadTrailer(source)) return failure();

  // Pass 2 is the returned stream: same salt, so the same key stream from its start.
  if (ASource.Seek(start, SEEK_SET) != start) return kReadFailed;
  if (!AEncryption.ReadHeader(source)) return failure();
  APlain = std::make_unique<TDecryptingStream>(AEncryption, ASource, plainSize, false, nullptr);
  return {};
}

// Lengths come from the container; never believe one that runs past the source.
TErrorCode CheckBodyLength(TEncryption& AEncryption, TStream& ASource, int64_t ALength) {
  const int64_t frame = AEncryption.GetHeaderSize() + AEncryption.GetTrailerSize();
  if (ALength < frame) return kCorrupt;
  const int64_t position = ASource.Position();
  const int64_t size = ASource.Size();
  if (position < 0 || size < 0) return kReadFailed;
  if (ALength > size - position) return kCorrupt;
  return {};
}

}  // namespace

TErrorCode OpenEncryptedBody(TEncryption& AEncryption, TStream& ASource, int64_t ALength, bool AInMemory,
                             bool ASpeedLimit, std::unique_ptr<TStream>& APlain,
                             const std::atomic<bool>* ACancel) {
  APlain.reset();
  if (const TErrorCode rc = CheckBodyLength(AEncryption, ASource, ALength)) return rc;
  if (AInMemory) return DecryptInMemory(AEncryption, ASource, ALength, ASpeedLimit, APlain);
  return DecryptInTwoPasses(AEncryption, ASource, ALength, ASpeedLimit, APlain, ACancel);
}

TErrorCode OpenEncryptedBodyInOnePass(TEncryption& AEncryption, TStream& ASource, int64_t ALength,
                                      std::unique_ptr<TUncheckedPlain>& APlain,
                                      const std::atomic<bool>* ACancel) {
  APlain.reset();
  if (const TErrorCode rc = CheckBodyLength(AEncryption, ASource, ALength)) return rc;
  TReadWatch source(ASource);
  if (!AEncryption.ReadHeader(source)) {
    if (source.Failed()) return kReadFailed;
    return DecryptFailureCode(AEncryption.LastFailure());
  }
  const int64_t plainSize = ALength - AEncryption.GetHeaderSize() - AEncryption.GetTrailerSize();
  APlain = std::make_unique<TDecryptingStream>(AEncryption, ASource, plainSize, true, ACancel);
  return {};
}

TErrorCode CheckedReadResult(TUncheckedPlain& APlain, TErrorCode AReadResult) {
  if (AReadResult.Detail() == errUserBreak) return AReadResult;
  if (const TErrorCode checked = APlain.Finish()) return checked;
  return AReadResult;
}

}  // namespace qv
