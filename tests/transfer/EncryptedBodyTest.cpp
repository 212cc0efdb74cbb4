// Authenticated plaintext of encrypted bodies, in memory and in two passes.
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
  const std::string plain = test::RandomBytes(2000000, 6);
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
  EXPECT_EQ(first + rest, plain);
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
  // Sizes around the decryption windows of the second pass.
  for (size_t size : {size_t{1048577}, size_t{2} << 20, (size_t{3} << 20) + 12345}) {
    SCOPED_TRACE(size);
    const std::string plain = test::RandomBytes(size, static_cast<uint32_t>(size));
    const std::string good = Encrypt(plain, "ahead");
    TReadOnlyMemoryStream src(good.data(), good.size());
    std::unique_ptr<TStream> body;
    ASSERT_EQ(OpenEncryptedBody(enc, src, static_cast<int64_t>(good.size()), false, false, body).Value(), 0);
    EXPECT_TRUE(ReadAll(*body) == plain);
  }
  const std::string plain = test::RandomBytes(5 << 20, 77);
  const std::string good = Encrypt(plain, "ahead");
  // A medium failing in the second pass: a read error, after the good bytes before it.
  {
    TSecondPassFailingStream src(good, 3 << 20);
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
    EXPECT_LT(total, 3 << 20);
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

}  // namespace
}  // namespace qv
