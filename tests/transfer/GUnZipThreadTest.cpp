// SPDX-License-Identifier: Apache-2.0
// The unpack worker end to end on real files: members made by gzip and pigz, members made
// by a test-side writer of the suite's format (size subfield, encrypted bodies), and the
// failures that must leave an existing target alone.
#include "transfer/GUnZipThread.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "crypto/AesLib.h"
#include "transfer/GzipFile.h"
#include "transfer/Inflater.h"
#include "transfer/TestUtil.h"

namespace qv {
namespace {

using test::ReadFile;
using test::TProgressLog;
using test::TTempDir;
using test::WriteFile;

constexpr int kBuf = 524288;

std::string RawDeflate(const std::string& in, int level = 6) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

void PutLe(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The suite's writer side, as far as the tests need it.
struct TSuiteMember {
  bool SizeField = true;
  int64_t StatedUSize = -1;  // -1: the true size
  std::string Password;      // non-empty: encrypted body (.gze)
  size_t Padding = 0;        // extra-field bytes after the size subfield
  int Level = 6;
  std::string Name = "data.bin";
  // Damage inside what an encrypted body authenticates, or in the trailer.
  size_t DeflateCut = 0;    // bytes dropped from the end of the deflate data
  std::string AfterDeflate; // bytes after the end of the deflate data
  uint32_t CrcXor = 0;
  uint32_t IsizeDelta = 0;
};

std::string BuildMember(const std::string& data, const TSuiteMember& m) {
  std::string body = RawDeflate(data, m.Level);
  body.resize(body.size() - m.DeflateCut);
  body += m.AfterDeflate;
  if (!m.Password.empty()) {
    TEncryption enc(m.Password, 0, kBuf);
    TReadOnlyMemoryStream src(body.data(), body.size());
    TMemoryStream dst;
    EXPECT_TRUE(enc.EncryptStream(src, dst, false));
    body.assign(dst.Data().begin(), dst.Data().end());
  }
  const int64_t usize = m.StatedUSize >= 0 ? m.StatedUSize : static_cast<int64_t>(data.size());
  uint8_t flags = gzfName | (m.Password.empty() ? 0 : gzfEncrypted);
  std::string extra;
  if (m.SizeField) {
    flags |= gzfExtra;
    PutLe(extra, 1, 2);
    PutLe(extra, 16, 2);
    PutLe(extra, body.size(), 8);
    PutLe(extra, static_cast<uint64_t>(usize), 8);
    extra.append(m.Padding, 'p');
  }
  std::string out = "\x1f\x8b\x08";
  out.push_back(static_cast<char>(flags));
  PutLe(out, 1600000000, 4);
  out += '\0';
  out += '\x03';
  if (m.SizeField) {
    PutLe(out, extra.size(), 2);
    out += extra;
  }
  out += m.Name + '\0';
  out += body;
  PutLe(out, Crc(data) ^ m.CrcXor, 4);
  PutLe(out, static_cast<uint32_t>(data.size()) + m.IsizeDelta, 4);
  return out;
}

// What a real tool makes of data (command reads stdin, writes stdout).
std::string ToolOutput(const TTempDir& dir, const std::string& command, const std::string& data) {
  EXPECT_TRUE(WriteFile(dir / "tool.in", data));
  EXPECT_TRUE(test::Run(command + " < '" + (dir / "tool.in") + "' > '" + (dir / "tool.out") + "'"));
  return ReadFile(dir / "tool.out");
}

struct TResult {
  int Code = -1;
  uint32_t Crc = 0;
  TProgressLog Log;
  int64_t MaxUnCompress() const {
    int64_t max = 0;
    for (const auto& r : Log.Reports)
      if (r.Action == acUnCompress) max = std::max(max, r.Count);
    return max;
  }
  bool Inflated() const { return MaxUnCompress() > 0; }
};

// Runs the worker; ACancelAt > 0 cancels at the first report of ACancelOn of at least that count.
TResult Unpack(const std::string& src, const std::string& dst, TEncryption* enc, int64_t ACancelAt = 0,
               TFileAction ACancelOn = acUnCompress) {
  TResult r;
  TGUnZipThread worker(src, dst, enc, true, kBuf, tpNormal);
  TProgressEvent log = r.Log.Handler();
  worker.SetOnProgress([&](TFileAction a, int64_t c, bool s) {
    log(a, c, s);
    if (ACancelAt > 0 && a == ACancelOn && c >= ACancelAt) worker.CancelThread();
  });
  EXPECT_TRUE(test::RunToEnd(worker));
  r.Code = worker.ErrorCode().Value();
  r.Crc = worker.Crc();
  EXPECT_FALSE(r.Log.OffMainThread);
  return r;
}

int64_t MTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_mtime) : -1;
}

TEST(GUnZipThread, RestoresMembersOfGzipAndPigz) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string data = test::RandomBytes(1300000, 11);
  ASSERT_TRUE(WriteFile(dir / "orig.bin", data));
  for (std::string tool : {"gzip -c", "gzip -n -c", "pigz -c", "pigz -n -c", "gzip -1 -c"}) {
    SCOPED_TRACE(tool);
    const std::string gz = dir / "orig.bin.gz";
    const std::string out = dir / "restored.bin";
    ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && " + tool + " orig.bin > orig.bin.gz"));
    ASSERT_TRUE(test::Run("touch -d @1500000000 '" + gz + "'"));
    TResult r = Unpack(gz, out, nullptr);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(ReadFile(out), data);
    EXPECT_EQ(r.Crc, Crc(data));
    EXPECT_EQ(MTime(out), 1500000000);  // the .gz file's time, not MTIME
    ASSERT_FALSE(r.Log.Reports.empty());
    EXPECT_EQ(r.Log.Reports.front(), (test::TProgressReport{acUnCompress, -static_cast<int64_t>(data.size()), true}));
    EXPECT_EQ(r.Log.Reports.back().Count, static_cast<int64_t>(data.size()));
    EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
  }
  // An empty file.
  ASSERT_TRUE(WriteFile(dir / "empty", ""));
  ASSERT_TRUE(test::Run("cd '" + dir.Path() + "' && gzip -c empty > empty.gz"));
  TResult r = Unpack(dir / "empty.gz", dir / "empty.out", nullptr);
  EXPECT_EQ(r.Code, 0);
  EXPECT_TRUE(test::FileExists(dir / "empty.out"));
  EXPECT_EQ(ReadFile(dir / "empty.out"), "");
}

// A source the owner opened and read: its bytes serve when they are the whole file; else the
// file is read again from its start, also when it has grown past the small size since.
TEST(GUnZipThread, SourceOpenedByTheOwner) {
  TTempDir dir("qvgzopened");
  const std::string small = "opened by the owner\n";
  const std::string large = test::RandomBytes(200000, 17);
  const struct {
    const char* Name;
    size_t ReadBytes;     // bytes the owner read from the first file
    bool GrowsToLarge;    // the file is replaced by the large one after the owner opened it
  } rows[] = {
      {"all of it", SIZE_MAX, false},
      {"nothing", 0, false},
      {"a part", 5, false},
      {"grown since", SIZE_MAX, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    const std::string gz = ToolOutput(dir, "gzip -n -c", small);
    ASSERT_TRUE(WriteFile(dir / "f.gz", gz));
    TOpenedSource opened{TFd(::open((dir / "f.gz").c_str(), O_RDWR | O_CLOEXEC)), {}};
    ASSERT_TRUE(opened.File.Valid());
    const size_t n = std::min(row.ReadBytes, gz.size());
    opened.Content.resize(n);
    ASSERT_EQ(::read(opened.File.Get(), opened.Content.data(), n), static_cast<ssize_t>(n));
    if (row.GrowsToLarge) {
      const std::string grown = ToolOutput(dir, "gzip -1 -n -c", large);
      ASSERT_EQ(::pwrite(opened.File.Get(), grown.data(), grown.size(), 0), static_cast<ssize_t>(grown.size()));
    }
    ::unlink((dir / "out").c_str());
    TGUnZipThread worker(dir / "f.gz", dir / "out", nullptr, true, kBuf, tpNormal);
    worker.SetSourceFile(std::move(opened));
    ASSERT_TRUE(test::RunToEnd(worker));
    EXPECT_EQ(worker.ErrorCode().Value(), 0u);
    EXPECT_EQ(ReadFile(dir / "out"), row.GrowsToLarge ? large : small);
    EXPECT_EQ(worker.CommittedSize(), static_cast<int64_t>((row.GrowsToLarge ? large : small).size()));
  }
}

TEST(GUnZipThread, RestoresTheSuitesPlainAndEncryptedMembers) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TEncryption enc("correct horse", 0, kBuf);
  for (size_t size : {size_t{0}, size_t{1}, size_t{100000}, size_t{2500000}}) {
    const std::string data = test::RandomBytes(size, static_cast<uint32_t>(size));
    for (bool encrypted : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (encrypted ? " gze" : " gz"));
      TSuiteMember m;
      if (encrypted) m.Password = "correct horse";
      const std::string src = dir / (encrypted ? "f.gze" : "f.gz");
      ASSERT_TRUE(WriteFile(src, BuildMember(data, m)));
      TResult r = Unpack(src, dir / "f", encrypted ? &enc : nullptr);
      EXPECT_EQ(r.Code, 0);
      EXPECT_EQ(ReadFile(dir / "f"), data);
      if (encrypted) {
        // The decryption is announced with the file size first, then the unpacking.
        ASSERT_FALSE(r.Log.Reports.empty());
        EXPECT_EQ(r.Log.Reports.front().Action, acDecrypt);
        EXPECT_LT(r.Log.Reports.front().Count, 0);
      }
    }
  }
  // A member without the size subfield is checked against ISIZE.
  const std::string data = test::RandomBytes(70000, 3);
  TSuiteMember m;
  m.SizeField = false;
  ASSERT_TRUE(WriteFile(dir / "n.gz", BuildMember(data, m)));
  EXPECT_EQ(Unpack(dir / "n.gz", dir / "n", nullptr).Code, 0);
  EXPECT_EQ(ReadFile(dir / "n"), data);
}

TEST(GUnZipThread, FailuresLeaveAnExistingTargetAsItWas) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string data = test::RandomBytes(600000, 5);
  TSuiteMember plain;
  TSuiteMember secret;
  secret.Password = "right password";
  const std::string good = BuildMember(data, plain);
  const std::string goodEnc = BuildMember(data, secret);
  TEncryption rightKey("right password", 0, kBuf);
  TEncryption wrongKey("wrong password", 0, kBuf);

  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x40;
  std::string flippedEnc = goodEnc;
  flippedEnc[goodEnc.size() / 2] ^= 0x01;
  std::string truncated = good.substr(0, good.size() - 1000);
  std::string flippedCode = goodEnc;
  flippedCode[goodEnc.size() - 8 - 4] ^= 0x20;  // inside the 10-byte code before the trailer

  struct TCase {
    std::string Name;
    std::string Bytes;
    TEncryption* Key;
    std::vector<int> Codes;
  };
  const TCase cases[] = {
      {"bad magic", "This is not compressed at all, just text.", nullptr, {0x3008}},
      {"flipped body byte", flipped, nullptr, {0x3104, 0x3109}},
      {"truncated", truncated, nullptr, {0x3104, 0x3109}},
      {"wrong password", goodEnc, &wrongKey, {0x310B}},
      {"no password", goodEnc, nullptr, {0x310B}},
      {"flipped ciphertext", flippedEnc, &rightKey, {0x3109}},
      {"flipped code", flippedCode, &rightKey, {0x3109}},
  };
  const std::string target = dir / "target.bin";
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(WriteFile(target, "existing content"));
    const std::string src = dir / "src.gz";
    ASSERT_TRUE(WriteFile(src, c.Bytes));
    TResult r = Unpack(src, target, c.Key);
    EXPECT_NE(std::find(c.Codes.begin(), c.Codes.end(), r.Code), c.Codes.end()) << std::hex << r.Code;
    EXPECT_EQ(ReadFile(target), "existing content");
    EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
    if (c.Key || c.Name == "no password") {
      EXPECT_FALSE(r.Inflated()) << "inflated before authentication";
    }
  }
  // A wrong password creates nothing where no target was.
  const std::string fresh = dir / "fresh.bin";
  ASSERT_TRUE(WriteFile(dir / "src.gze", goodEnc));
  EXPECT_EQ(Unpack(dir / "src.gze", fresh, &wrongKey).Code, 0x310B);
  EXPECT_FALSE(test::FileExists(fresh));
  // Missing source, empty target name.
  EXPECT_EQ(Unpack(dir / "missing.gz", fresh, nullptr).Code, 0x310E);
  EXPECT_EQ(Unpack(dir / "src.gze", "", &rightKey).Code, 0x3101);
}

TEST(GUnZipThread, InMemoryDecryptionBoundaryAtOneMebibyte) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TEncryption key("boundary", 0, kBuf);
  // Incompressible data stored uncompressed, so the file size is set by the padding.
  const std::string data = test::RandomBytes(1000000, 9);
  TSuiteMember m;
  m.Password = "boundary";
  m.Level = 0;
  const size_t base = BuildMember(data, m).size();
  ASSERT_LT(base, size_t{1048576} - 1);
  for (int64_t delta : {-1, 0, 1}) {
    const size_t fileSize = static_cast<size_t>(1048576 + delta);
    SCOPED_TRACE(fileSize);
    m.Padding = fileSize - base;
    std::string bytes = BuildMember(data, m);
    ASSERT_EQ(bytes.size(), fileSize);
    const std::string src = dir / "b.gze";
    ASSERT_TRUE(WriteFile(src, bytes));
    TResult ok = Unpack(src, dir / "b", &key);
    EXPECT_EQ(ok.Code, 0);
    EXPECT_EQ(ReadFile(dir / "b"), data);

    // A damaged authentication code: nothing is written. A body in memory is checked before
    // it is inflated; a larger one is inflated into the temporary target, which goes.
    bytes[bytes.size() - 9] ^= 0x80;
    ASSERT_TRUE(WriteFile(src, bytes));
    TResult bad = Unpack(src, dir / "c", &key);
    EXPECT_EQ(bad.Code, 0x3109);
    EXPECT_EQ(bad.Inflated(), fileSize > 1048576);
    EXPECT_FALSE(test::FileExists(dir / "c"));
    EXPECT_TRUE(test::ListDir(dir.Path()).size() == 2u);  // b.gze and b: no buffer file anywhere here
  }
}

TEST(GUnZipThread, OutputIsBoundedByTheStatedSize) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TEncryption key("bound", 0, kBuf);
  const std::string data(3 * 1048576, 'z');  // inflates far beyond what is stated
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted);
    TSuiteMember m;
    m.StatedUSize = 1048576;
    if (encrypted) m.Password = "bound";
    ASSERT_TRUE(WriteFile(dir / "z.gz", BuildMember(data, m)));
    ASSERT_TRUE(WriteFile(dir / "z", "old"));
    TResult r = Unpack(dir / "z.gz", dir / "z", encrypted ? &key : nullptr);
    EXPECT_EQ(r.Code, 0x3109);
    EXPECT_LE(r.MaxUnCompress(), 1048576);
    EXPECT_EQ(ReadFile(dir / "z"), "old");
  }
  // Exactly the stated size is fine; one byte fewer stated is not.
  TSuiteMember exact;
  const std::string small = test::RandomBytes(kBuf * 2, 4);
  ASSERT_TRUE(WriteFile(dir / "e.gz", BuildMember(small, exact)));
  EXPECT_EQ(Unpack(dir / "e.gz", dir / "e", nullptr).Code, 0);
  exact.StatedUSize = static_cast<int64_t>(small.size()) - 1;
  ASSERT_TRUE(WriteFile(dir / "e.gz", BuildMember(small, exact)));
  EXPECT_EQ(Unpack(dir / "e.gz", dir / "e2", nullptr).Code, 0x3109);
}

TEST(GUnZipThread, CancelKeepsTheOldTarget) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  // Several of the large blocks a long member is inflated in.
  const std::string data = test::RandomBytes(3 * TCopyThread::kInflateBlockBuffers * kBuf, 21);
  ASSERT_TRUE(WriteFile(dir / "d.gz", BuildMember(data, TSuiteMember{})));
  ASSERT_TRUE(WriteFile(dir / "d", "previous"));
  TResult r = Unpack(dir / "d.gz", dir / "d", nullptr, kBuf);
  EXPECT_EQ(r.Code, 0x3080);
  EXPECT_LT(r.MaxUnCompress(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(ReadFile(dir / "d"), "previous");
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
}

// A target that takes only its first ACapacity bytes; then writes come short, or fail.
class TFullTarget final : public TStream {
 public:
  TFullTarget(int64_t ACapacity, bool AFail) : FCapacity(ACapacity), FFail(AFail) {}
  int64_t Read(void*, size_t) override { return -1; }
  int64_t Write(const void*, size_t count) override {
    ++Writes;
    const int64_t room = FCapacity - Taken;
    if (room <= 0 && FFail) return -1;
    const int64_t n = std::min<int64_t>(room, static_cast<int64_t>(count));
    Taken += n;
    return n;
  }
  int64_t Seek(int64_t, int) override { return Taken; }
  int64_t Size() override { return Taken; }
  int64_t Taken = 0;
  int Writes = 0;

 private:
  int64_t FCapacity;
  bool FFail;
};

// The inflate loop itself, driven directly on the test thread.
class TInflateProbe : public TCopyThread {
 public:
  explicit TInflateProbe(int ABufSize) : TCopyThread("", "", true, ABufSize, tpNormal) {}
  uint32_t Inflate(TStream& sIn, TStream* sOut, int64_t ALength, int64_t AMaxOutput = -1) {
    return InflateData(sIn, sOut, false, ALength, AMaxOutput).Value();
  }
  using TCopyThread::SetInflater;
  uint32_t Trailer(TStream& sIn, int64_t USize) { return CheckGzTrailer(sIn, USize).Value(); }
  int64_t Written() const { return UTotal; }
  uint32_t CrcSoFar() const { return FCrc; }
};

TEST(GUnZipThread, InflateLoopStopsAtTheDeflateEndAndHonoursItsInputRange) {
  const std::string data = test::RandomBytes(700000, 8);
  const std::string deflated = RawDeflate(data);
  std::string trailer;
  PutLe(trailer, Crc(data), 4);
  PutLe(trailer, data.size(), 4);
  const std::string all = deflated + trailer + "junk after the member";

  // Small output buffers and an unbounded input range: sIn ends on the trailer.
  for (int bufSize : {1000, 65536, kBuf}) {
    SCOPED_TRACE(bufSize);
    TInflateProbe probe(bufSize);
    TReadOnlyMemoryStream in(all.data(), all.size());
    TMemoryStream out;
    EXPECT_EQ(probe.Inflate(in, &out, 0), 0);
    EXPECT_EQ(in.Position(), static_cast<int64_t>(deflated.size()));
    EXPECT_EQ(std::string(out.Data().begin(), out.Data().end()), data);
    EXPECT_EQ(probe.Written(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(probe.Trailer(in, static_cast<int64_t>(data.size())), 0);
  }
  // A bounded range: no byte beyond it is read.
  {
    TInflateProbe probe(kBuf);
    TReadOnlyMemoryStream in(all.data(), all.size());
    const int64_t half = static_cast<int64_t>(deflated.size() / 2);
    EXPECT_EQ(probe.Inflate(in, nullptr, half), 0);
    EXPECT_EQ(in.Position(), half);
    EXPECT_LT(probe.Written(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(probe.Trailer(in, static_cast<int64_t>(data.size())), 0x109);  // cut short shows here
  }
  // The output bound: one byte short stops as corrupt without writing past it; the exact size
  // passes. Nothing of a bound outlives its call.
  for (int64_t bound : {int64_t{0}, static_cast<int64_t>(data.size()) - 1, static_cast<int64_t>(data.size())}) {
    SCOPED_TRACE(bound);
    TInflateProbe probe(65536);
    TReadOnlyMemoryStream in(all.data(), all.size());
    TMemoryStream out;
    EXPECT_EQ(probe.Inflate(in, &out, 0, bound), bound < static_cast<int64_t>(data.size()) ? 0x109 : 0);
    EXPECT_LE(out.Size(), bound);
    TReadOnlyMemoryStream again(all.data(), all.size());
    EXPECT_EQ(probe.Inflate(again, nullptr, 0), 0);
  }
  // A target that fills up or fails midway, for a short input and an open one (whose blocks are
  // stored on a helper thread while the next one inflates): the first failure is the result,
  // what was written is counted, and no block is written after it.
  for (int64_t length : {static_cast<int64_t>(deflated.size()), int64_t{0}}) {
    for (bool fail : {false, true}) {
      SCOPED_TRACE(std::to_string(length) + (fail ? " fail" : " full"));
      TInflateProbe probe(65536);
      TReadOnlyMemoryStream in(all.data(), all.size());
      const int64_t block = length == 0 ? 65536 * TCopyThread::kInflateBlockBuffers : 65536;
      // Full: two whole blocks and a short write; failing: two whole blocks and a failure.
      const int64_t capacity = fail ? 2 * block : 2 * block + 1000;
      TFullTarget target(capacity, fail);
      EXPECT_EQ(probe.Inflate(in, &target, length), fail ? 0x105 : 0x107);
      EXPECT_EQ(target.Taken, capacity);
      EXPECT_EQ(probe.Written(), capacity);
      EXPECT_EQ(target.Writes, 3);
    }
  }
  // A decoder lent for many inflates starts each one afresh, also after a corrupt stream.
  {
    TInflater shared;
    TInflateProbe probe(65536);
    probe.SetInflater(&shared);
    const std::string bad = "\x07\x00\x00garbage";
    for (int round = 0; round < 3; ++round) {
      TReadOnlyMemoryStream broken(bad.data(), bad.size());
      EXPECT_EQ(probe.Inflate(broken, nullptr, 0), 0x104);
      TReadOnlyMemoryStream in(all.data(), all.size());
      TMemoryStream out;
      EXPECT_EQ(probe.Inflate(in, &out, static_cast<int64_t>(deflated.size())), 0);
      EXPECT_EQ(std::string(out.Data().begin(), out.Data().end()), data);
    }
  }
  // Trailer checks: CRC, ISIZE and the written size each count.
  {
    TInflateProbe probe(kBuf);
    TReadOnlyMemoryStream in(all.data(), all.size());
    ASSERT_EQ(probe.Inflate(in, nullptr, 0), 0);
    const int64_t at = in.Position();
    EXPECT_EQ(probe.Trailer(in, static_cast<int64_t>(data.size()) + 1), 0x109);
    in.Seek(at, SEEK_SET);
    EXPECT_EQ(probe.Trailer(in, static_cast<int64_t>(data.size()) + (int64_t{1} << 32)), 0x109);
    std::string badCrc = trailer;
    badCrc[0] ^= 1;
    TReadOnlyMemoryStream t(badCrc.data(), badCrc.size());
    EXPECT_EQ(probe.Trailer(t, static_cast<int64_t>(data.size())), 0x109);
    TReadOnlyMemoryStream shortTrailer(trailer.data(), 7);
    EXPECT_EQ(probe.Trailer(shortTrailer, static_cast<int64_t>(data.size())), 0x104);
  }
  // Corrupt deflate data is a read error.
  {
    TInflateProbe probe(kBuf);
    const std::string bad = "\x07\x00\x00garbage";
    TReadOnlyMemoryStream in(bad.data(), bad.size());
    EXPECT_EQ(probe.Inflate(in, nullptr, 0), 0x104);
  }
}

TEST(GUnZipThread, EveryMemberIsRestoredAndWhatFollowsIsChecked) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  const std::string a = test::RandomBytes(1300, 1);
  const std::string b = test::RandomBytes(1300, 2);
  const std::string big = test::RandomBytes(1200000, 3);
  const std::string gzA = ToolOutput(dir, "gzip -c", a);
  const std::string pigzB = ToolOutput(dir, "pigz -c", b);
  const std::string gzBig = ToolOutput(dir, "gzip -1 -c", big);
  const std::string gzEmpty = ToolOutput(dir, "gzip -c", "");
  const std::string suiteA = BuildMember(a, TSuiteMember{});
  TSuiteMember understated;
  understated.StatedUSize = static_cast<int64_t>(a.size()) - 1;
  std::string badCrcB = pigzB;
  badCrcB[badCrcB.size() - 8] ^= 1;
  struct TCase {
    const char* Name;
    std::string Bytes;
    int Code;
    std::string Content;  // when the code is 0
  };
  const TCase cases[] = {
      {"gzip then pigz", gzA + pigzB, 0, a + b},
      {"a member of many blocks between", gzA + gzBig + pigzB, 0, a + big + b},
      {"an empty member between", gzA + gzEmpty + pigzB, 0, a + b},
      {"size subfield bounds the first member only", suiteA + pigzB, 0, a + b},
      {"two members with size subfields", suiteA + suiteA, 0, a + a},
      {"zero bytes after the last member", gzA + std::string(1000, '\0'), 0, a},
      {"garbage after the last member", gzA + "garbage", 0x3109, ""},
      {"zeros, then garbage", gzA + std::string(10, '\0') + "x", 0x3109, ""},
      {"a lone magic byte", gzA + "\x1f", 0x3109, ""},
      {"second member's CRC wrong", gzA + badCrcB, 0x3109, ""},
      {"second member cut in its data", gzA + pigzB.substr(0, pigzB.size() - 12), 0x3109, ""},
      {"second member cut in its header", gzA + pigzB.substr(0, 5), 0x3109, ""},
      {"first member larger than its size subfield", BuildMember(a, understated) + pigzB, 0x3109, ""},
  };
  const std::string src = dir / "m.gz";
  const std::string target = dir / "m";
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(WriteFile(src, c.Bytes));
    ASSERT_TRUE(WriteFile(target, "old"));
    TResult r = Unpack(src, target, nullptr);
    EXPECT_EQ(r.Code, c.Code) << std::hex << r.Code;
    EXPECT_EQ(ReadFile(target), c.Code == 0 ? c.Content : "old");
    if (c.Code == 0) {
      EXPECT_EQ(r.MaxUnCompress(), static_cast<int64_t>(c.Content.size()));
    }
    EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
  }
}

TEST(GUnZipThread, EncryptedBodiesAreCheckedAfterAuthentication) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TEncryption key("body check", 0, kBuf);
  // In memory and in two passes (the deflate data of the larger one exceed 1 MiB).
  for (size_t size : {size_t{100000}, size_t{2500000}}) {
    const std::string data = test::RandomBytes(size, 17);
    const size_t deflated = RawDeflate(data).size();
    auto member = [&](auto change) {
      TSuiteMember m;
      m.Password = "body check";
      change(m);
      return BuildMember(data, m);
    };
    struct TCase {
      const char* Name;
      std::string Bytes;
      int Code;
    };
    const TCase cases[] = {
        {"intact", member([](TSuiteMember&) {}), 0},
        {"without size subfield", member([](TSuiteMember& m) { m.SizeField = false; }), 0},
        {"deflate data stop half way", member([&](TSuiteMember& m) { m.DeflateCut = deflated / 2; }), 0x3109},
        {"deflate data lack a byte", member([](TSuiteMember& m) { m.DeflateCut = 1; }), 0x3109},
        {"bytes after the deflate data", member([](TSuiteMember& m) { m.AfterDeflate = "tail"; }), 0x3109},
        {"trailer CRC wrong", member([](TSuiteMember& m) { m.CrcXor = 1; }), 0x3109},
        {"trailer ISIZE wrong", member([](TSuiteMember& m) { m.IsizeDelta = 1; }), 0x3109},
        {"size subfield states more",
         member([&](TSuiteMember& m) { m.StatedUSize = static_cast<int64_t>(size) + 1; }), 0x3109},
        {"size subfield states less",
         member([&](TSuiteMember& m) { m.StatedUSize = static_cast<int64_t>(size) - 1; }), 0x3109},
    };
    for (const TCase& c : cases) {
      SCOPED_TRACE(std::to_string(size) + " " + c.Name);
      ASSERT_TRUE(WriteFile(dir / "f.gze", c.Bytes));
      ASSERT_TRUE(WriteFile(dir / "f", "old"));
      TResult r = Unpack(dir / "f.gze", dir / "f", &key);
      EXPECT_EQ(r.Code, c.Code) << std::hex << r.Code;
      EXPECT_EQ(ReadFile(dir / "f"), c.Code == 0 ? data : "old");
      EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
    }
  }
}

TEST(GUnZipThread, StopDuringALargeEncryptedBody) {
  TTempDir dir;
  ASSERT_TRUE(dir.Ok());
  TEncryption key("stop", 0, kBuf);
  TSuiteMember m;
  m.Password = "stop";
  m.Level = 0;  // 12 MiB stored: several windows of decryption
  ASSERT_TRUE(WriteFile(dir / "s.gze", BuildMember(test::RandomBytes(12 * 1048576, 23), m)));
  ASSERT_TRUE(WriteFile(dir / "s", "previous"));
  TResult r = Unpack(dir / "s.gze", dir / "s", &key, 1, acUnCompress);
  EXPECT_EQ(r.Code, 0x3080);
  EXPECT_EQ(ReadFile(dir / "s"), "previous");
  EXPECT_TRUE(test::LeftoverTempFiles(dir.Path()).empty());
}

}  // namespace
}  // namespace qv
