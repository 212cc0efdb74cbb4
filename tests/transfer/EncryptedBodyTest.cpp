// SPDX-License-Identifier: Apache-2.0
// Authenticated plaintext of encrypted bodies, in memory, in two passes and in one.
#include "transfer/EncryptedBody.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/AesLib.h"
#include "transfer/TestUtil.h"

namespace qv {
namespace {

constexpr int kBuf = 524288;

std::string Encrypt(const std::string& plain, const std::string& password) {
  TEncryption enc(password, 0, kBuf);
  TReadOnlyMemoryStream src(plain.data(), plain.size());
  TMemoryStream dst;
  EXPECT_TRUE(enc.EncryptStream(src, dst, false));
  return std::string(dst.Data().begin(), dst.Data().end());
}

std::string ReadAll(TStream& s) {
  std::string out;
  char buf[70000];  // not a divisor of anything the body uses
  for (;;) {
    int64_t n = s.Read(buf, sizeof buf);
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// A source whose reads fail once they reach beyond its first failAfter bytes.
class TFailingStream final : public TStream {
 public:
  TFailingStream(const std::string& data, int64_t failAfter) : FData(data), FFailAfter(failAfter) {}
  int64_t Read(void* buffer, size_t count) override {
    size_t n = std::min(count, FData.size() - static_cast<size_t>(FPos));
    if (FPos + static_cast<int64_t>(n) > FFailAfter) return -1;
    std::memcpy(buffer, FData.data() + FPos, n);
    FPos += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t offset, int whence) override {
    if (whence == SEEK_SET) FPos = offset;
    else if (whence == SEEK_CUR) FPos += offset;
    else FPos = static_cast<int64_t>(FData.size()) + offset;
    return FPos;
  }
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }

 private:
  const std::string& FData;
  int64_t FFailAfter;
  int64_t FPos = 0;
};

TEST(EncryptedBody, BothWaysGiveThePlaintextAndLeaveTheSourceAlone) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{300000}, size_t{1300000}}) {
    const std::string plain = test::RandomBytes(size, static_cast<uint32_t>(size + 1));
    // Something before and after the body, as in a container.
    const std::string file = "HEADER" + Encrypt(plain, "pw") + "TRAILER!";
    const int64_t length = static_cast<int64_t>(file.size()) - 6 - 8;
    for (bool inMemory : {true, false}) {
      SCOPED_TRACE(std::to_string(size) + (inMemory ? " memory" : " two passes"));
      TEncryption enc("pw", 0, kBuf);
      std::vector<int64_t> counts;
      enc.SetOnProgress([&](TFileAction a, int64_t c, bool s) {
        EXPECT_EQ(a, acDecrypt);
        EXPECT_TRUE(s);
        counts.push_back(c);
      });
      TReadOnlyMemoryStream src(file.data(), file.size());
      src.Seek(6, SEEK_SET);
      std::unique_ptr<TStream> body;
      ASSERT_EQ(OpenEncryptedBody(enc, src, length, inMemory, true, body).Value(), 0);
      ASSERT_TRUE(body);
      EXPECT_EQ(body->Size(), static_cast<int64_t>(size));
      EXPECT_EQ(ReadAll(*body), plain);
      // The reports count ciphertext bytes up to the whole.
      if (size > 0) {
        ASSERT_FALSE(counts.empty());
        EXPECT_EQ(counts.back(), static_cast<int64_t>(size));
      }
    }
  }
}

TEST(EncryptedBody, WrongPasswordDamageAndShortBodies) {
  const std::string plain = test::RandomBytes(1200000, 77);
  const std::string good = Encrypt(plain, "secret");
  for (bool inMemory : {true, false}) {
    SCOPED_TRACE(inMemory ? "memory" : "two passes");
    std::unique_ptr<TStream> body;
    {
      TEncryption wrong("not the secret", 0, kBuf);
      bool reported = false;
      wrong.SetOnProgress([&](TFileAction, int64_t, bool) { reported = true; });
      TReadOnlyMemoryStream src(good.data(), good.size());
      EXPECT_EQ(OpenEncryptedBody(wrong, src, static_cast<int64_t>(good.size()), inMemory, false, body).Value(), 0x10B);
      EXPECT_FALSE(body);
      EXPECT_FALSE(reported);  // the verifier fails before any data
    }
    TEncryption enc("secret", 0, kBuf);
    for (size_t at : {good.size() / 2, good.size() - 1, good.size() - 10}) {
      std::string bad = good;
      bad[at] ^= 0x04;
      TReadOnlyMemoryStream src(bad.data(), bad.size());
      // The verifier matches: damage, not a wrong password.
      EXPECT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(bad.size()), inMemory, false, body).Value(), 0x109) << at;
      EXPECT_FALSE(body);
    }
    // Shorter than header and trailer; longer than the source holds.
    TReadOnlyMemoryStream src(good.data(), good.size());
    EXPECT_EQ(OpenEncryptedBody(enc, src, 19, inMemory, false, body).Value(), 0x109);
    EXPECT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()) + 1, inMemory, false, body).Value(), 0x109);
    // A cut body fails authentication.
    EXPECT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()) - 1, inMemory, false, body).Value(), 0x109);
  }
}

TEST(EncryptedBody, ReadFailuresAndCancel) {
  const std::string plain = test::RandomBytes(1500000, 5);
  const std::string good = Encrypt(plain, "secret");
  TEncryption enc("secret", 0, kBuf);
  std::unique_ptr<TStream> body;
  for (bool inMemory : {true, false}) {
    for (int64_t failAfter : {int64_t{0}, int64_t{600000}}) {
      TFailingStream src(good, failAfter);
      EXPECT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), inMemory, false, body).Value(), 0x104)
          << inMemory << " " << failAfter;
    }
  }
  std::atomic<bool> cancel{true};
  TReadOnlyMemoryStream src(good.data(), good.size());
  EXPECT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), false, false, body, &cancel).Value(), 0x080);
  EXPECT_FALSE(body);
}

TEST(EncryptedBody, TwoPassStreamSeeksBackOnlyWithinWhatItHandedOut) {
  const std::string plain = test::RandomBytes(10000000, 6);  // more than one window
  const std::string good = Encrypt(plain, "k");
  TEncryption enc("k", 0, kBuf);
  TReadOnlyMemoryStream src(good.data(), good.size());
  std::unique_ptr<TStream> body;
  ASSERT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), false, false, body).Value(), 0);
  std::string first(131072, '\0');
  ASSERT_EQ(body->Read(first.data(), first.size()), 131072);
  EXPECT_EQ(first, plain.substr(0, 131072));
  // Give back 1000 bytes and read them again.
  EXPECT_EQ(body->Seek(-1000, SEEK_CUR), 131072 - 1000);
  std::string again(1000, '\0');
  ASSERT_EQ(body->Read(again.data(), again.size()), 1000);
  EXPECT_EQ(again, plain.substr(131072 - 1000, 1000));
  // Far back or ahead cannot be reached by a forward key stream.
  EXPECT_EQ(body->Seek(0, SEEK_END), -1);
  EXPECT_EQ(body->Write("x", 1), -1);
  // Reading on continues seamlessly to the end.
  std::string rest = ReadAll(*body);
  EXPECT_TRUE(first + rest == plain);
}

// Reads well on the authentication pass; on the second pass (after the seek back to the
// body's start) reads beyond failAfter fail.
class TSecondPassFailingStream final : public TStream {
 public:
  TSecondPassFailingStream(const std::string& data, int64_t failAfter) : FData(data), FFailAfter(failAfter) {}
  int64_t Read(void* buffer, size_t count) override {
    size_t n = std::min(count, FData.size() - static_cast<size_t>(FPos));
    if (FSecondPass && FPos + static_cast<int64_t>(n) > FFailAfter) return -1;
    std::memcpy(buffer, FData.data() + FPos, n);
    FPos += static_cast<int64_t>(n);
    return static_cast<int64_t>(n);
  }
  int64_t Write(const void*, size_t) override { return -1; }
  int64_t Seek(int64_t offset, int whence) override {
    if (whence == SEEK_SET) {
      if (offset < FPos) FSecondPass = true;
      FPos = offset;
    } else if (whence == SEEK_END) {
      FPos = static_cast<int64_t>(FData.size()) + offset;
    } else {
      FPos += offset;
    }
    return FPos;
  }
  int64_t Size() override { return static_cast<int64_t>(FData.size()); }

 private:
  const std::string& FData;
  int64_t FFailAfter;
  int64_t FPos = 0;
  bool FSecondPass = false;
};

TEST(EncryptedBody, SecondPassDecryptsAheadAcrossWindowEdgesFailsCleanlyAndStopsEarly) {
  TEncryption enc("ahead", 0, kBuf);
  // Sizes around the decryption windows (4 MiB) of the second pass.
  for (size_t size : {size_t{1048577}, size_t{4} << 20, (size_t{4} << 20) + 1, (size_t{9} << 20) + 12345}) {
    SCOPED_TRACE(size);
    const std::string plain = test::RandomBytes(size, static_cast<uint32_t>(size));
    const std::string good = Encrypt(plain, "ahead");
    TReadOnlyMemoryStream src(good.data(), good.size());
    std::unique_ptr<TStream> body;
    ASSERT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), false, false, body).Value(), 0);
    EXPECT_TRUE(ReadAll(*body) == plain);
  }
  const std::string plain = test::RandomBytes(10 << 20, 77);
  const std::string good = Encrypt(plain, "ahead");
  // A medium failing in the second pass: a read error, after the good bytes before it.
  {
    TSecondPassFailingStream src(good, 6 << 20);
    std::unique_ptr<TStream> body;
    ASSERT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), false, false, body).Value(), 0);
    std::vector<char> buf(100000);
    int64_t total = 0;
    int64_t n;
    while ((n = body->Read(buf.data(), buf.size())) > 0) {
      ASSERT_EQ(std::memcmp(buf.data(), plain.data() + total, static_cast<size_t>(n)), 0);
      total += n;
    }
    EXPECT_EQ(n, -1);
    EXPECT_GT(total, 0);
    EXPECT_LT(total, 6 << 20);
  }
  // Released after a few bytes, while the helper waits for a window to fill: no hang.
  for (int64_t taken : {int64_t{0}, int64_t{10}, int64_t{1} << 20}) {
    TReadOnlyMemoryStream src(good.data(), good.size());
    std::unique_ptr<TStream> body;
    ASSERT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), false, false, body).Value(), 0);
    std::string some(static_cast<size_t>(taken), '\0');
    ASSERT_EQ(body->Read(some.data(), some.size()), taken);
    EXPECT_EQ(some, plain.substr(0, static_cast<size_t>(taken)));
    body.reset();
  }
}

// One pass: the plaintext is handed out before the code is checked, and Finish (or
// CheckedReadResult) must catch every body that two passes would have refused.
TEST(EncryptedBody, OnePassChecksTheCodeWhateverTheReaderLeft) {
  const std::string plain = test::RandomBytes((size_t{9} << 20) + 777, 12);
  const std::string good = "HEAD" + Encrypt(plain, "one") + "TAIL";
  const auto length = static_cast<int64_t>(good.size()) - 8;
  constexpr int64_t kAll = -1;
  struct TCase {
    const char* Name;
    int64_t Damage;    // offset into the file of a flipped bit, or -1
    int64_t Length;    // body length given, 0: the right one
    int64_t FailAfter; // source reads fail beyond this offset, or -1
    int64_t Read;      // plaintext bytes the reader takes before Finish
    bool Cancel;
    uint32_t Open, Finish;
  } cases[] = {
      {"whole, read to the end", -1, 0, -1, kAll, false, 0, 0},
      {"whole, reader stops early", -1, 0, -1, 5000, false, 0, 0},
      {"whole, nothing read", -1, 0, -1, 0, false, 0, 0},
      {"ciphertext damaged where read", 4 + 18 + 100, 0, -1, kAll, false, 0, 0x109},
      {"ciphertext damaged where not read", 4 + 18 + (7 << 20), 0, -1, 5000, false, 0, 0x109},
      {"code damaged", length + 4 - 1, 0, -1, kAll, false, 0, 0x109},
      {"body cut short by the container", -1, length - 1, -1, kAll, false, 0, 0x109},
      {"body longer than the source", -1, length + 5, -1, kAll, false, 0x109, 0},
      {"shorter than header and code", -1, 19, -1, kAll, false, 0x109, 0},
      {"medium fails in the last window", -1, 0, 8 << 20, 5000, false, 0, 0x104},
      {"medium fails at the code", -1, 0, length - 5, kAll, false, 0, 0x104},
      {"stopped", -1, 0, -1, 5000, true, 0, 0x080},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::string file = good;
    if (c.Damage >= 0) file[static_cast<size_t>(c.Damage)] ^= 0x10;
    TFailingStream src(file, c.FailAfter < 0 ? static_cast<int64_t>(file.size()) : c.FailAfter + 4);
    src.Seek(4, SEEK_SET);
    TEncryption enc("one", 0, kBuf);
    std::atomic<bool> cancel{c.Cancel};
    std::unique_ptr<TUncheckedPlain> body;
    ASSERT_EQ(OpenEncryptedBodyInOnePass(enc, src, c.Length ? c.Length : length, body, &cancel).Value(), c.Open);
    if (c.Open) {
      EXPECT_FALSE(body);
      continue;
    }
    if (c.Read == kAll) {
      ReadAll(*body);
    } else {
      std::string some(static_cast<size_t>(c.Read), '\0');
      ASSERT_EQ(body->Read(some.data(), some.size()), c.Read);
      EXPECT_EQ(some, plain.substr(0, some.size()));
    }
    EXPECT_EQ(body->Finish().Value(), c.Finish);
    // What the reader found counts only when the body is sound.
    const TErrorCode readerFound{sevError, errReadFile};
    EXPECT_EQ(CheckedReadResult(*body, readerFound).Value(), c.Finish ? c.Finish : readerFound.Value());
  }
  // A wrong password is told at the open, before any plaintext.
  TReadOnlyMemoryStream src(good.data(), good.size());
  src.Seek(4, SEEK_SET);
  TEncryption wrong("two", 0, kBuf);
  std::unique_ptr<TUncheckedPlain> body;
  EXPECT_EQ(OpenEncryptedBodyInOnePass(wrong, src, length, body).Value(), 0x10B);
  EXPECT_FALSE(body);
}

}  // namespace
}  // namespace qv
