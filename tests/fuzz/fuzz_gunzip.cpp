// SPDX-License-Identifier: Apache-2.0
// The unpack worker against an independent decoder: zlib's raw inflate and crc32 under the
// container rules written out here (members one after another, size subfield of a member
// bounding it, zero bytes after the last member). The worker must succeed exactly when the
// reference does and then produce the same bytes; when it fails nothing may be left behind.
//
// Byte 0 chooses the input:
//   bit 0 clear: the other bytes are the ".gz" file, unpacked without a decryptor;
//   bit 0 set:   a ".gze" member is built around them (see BuildEncrypted) and unpacked with
//                the decryptor, so the checks after authentication are reached too;
//   bit 3:       small worker blocks; with bit 2 also the two ways of decrypting a body compared.
//
// Each run is one pass of the worker on the calling thread (as the session runs small jobs)
// over files in a tmpfs where there is one; no existing target, so no flush is due.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "crypto/AesLib.h"
#include "crypto/CipherPrimitives.h"
#include "crypto/Sha1Lanes.h"
#include "transfer/EncryptedBody.h"
#include "transfer/GUnZipThread.h"

namespace {

using Bytes = std::vector<uint8_t>;

const std::string CPassword = "fuzz";
constexpr int CMode = 1;  // automatic mode for a 4-byte password
const uint8_t CSalt[8] = {1, 2, 3, 4, 5, 6, 7, 8};

std::string Folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string root = base && *base ? base : "";
    struct stat st {};
    if (root.empty()) root = ::stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    std::string path = root + "/fuzz_gunzip.XXXXXX";
    if (!::mkdtemp(path.data())) std::abort();
    return path;
  }();
  // The folder goes when the fuzzer ends normally (a finding leaves it for a look).
  static const bool cleanup = std::atexit([] {
    ::unlink((Folder() + "/in.gz").c_str());
    ::rmdir(Folder().c_str());
  }) == 0;
  (void)cleanup;
  return folder;
}

bool WriteFile(const std::string& path, const Bytes& data) {
  std::unique_ptr<qv::TFileStream> f = qv::TFileStream::Open(path, qv::TOpenMode::Create);
  return f && f->Write(data.data(), data.size()) == static_cast<int64_t>(data.size());
}

std::optional<Bytes> ReadFile(const std::string& path) {
  std::unique_ptr<qv::TFileStream> f = qv::TFileStream::Open(path, qv::TOpenMode::Read);
  if (!f) return std::nullopt;
  Bytes data(static_cast<size_t>(f->Size()));
  if (f->Read(data.data(), data.size()) != static_cast<int64_t>(data.size())) std::abort();
  return data;
}

int CountEntries(const std::string& folder) {
  int count = 0;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") ++count;
    }
    ::closedir(dir);
  }
  return count;
}

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t Le64(const uint8_t* p) { return Le32(p) | static_cast<uint64_t>(Le32(p + 4)) << 32; }
void PutLe(Bytes& out, uint64_t v, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Raw deflate of in[0..size) with zlib: the output, and where the stream ended (nullopt when
// it is corrupt or does not end within the range). A bound caps the output.
struct TInflated {
  Bytes Out;
  size_t Used = 0;
};
std::optional<TInflated> ZlibInflate(const uint8_t* in, size_t size, int64_t bound) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) std::abort();
  TInflated r;
  z.next_in = const_cast<Bytef*>(in);
  z.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  uint8_t chunk[16384];
  while (rc == Z_OK) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    r.Out.insert(r.Out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    if (bound >= 0 && static_cast<int64_t>(r.Out.size()) > bound) rc = Z_DATA_ERROR;
    if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // cut short
  }
  r.Used = size - z.avail_in;
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return std::nullopt;
  return r;
}

uint32_t ZlibCrc(const Bytes& data) {
  return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

// A member header under the container's rules; nullopt when it cannot be read.
struct THeader {
  size_t BodyStart = 0;
  bool Encrypted = false;
  int64_t USize = 0;
  bool Exact = false;
};
std::optional<THeader> ParseHeader(const Bytes& f, size_t pos) {
  if (f.size() - pos < 10 || f[pos] != 0x1F || f[pos + 1] != 0x8B) return std::nullopt;
  const uint8_t flags = f[pos + 3];
  THeader h;
  size_t p = pos + 10;
  if (flags & 0x04) {
    if (f.size() - p < 2) return std::nullopt;
    const size_t xlen = f[p] | f[p + 1] << 8;
    p += 2;
    if (f.size() - p < xlen) return std::nullopt;
    if (xlen >= 20 && f[p] == 1 && f[p + 1] == 0) h.USize = static_cast<int64_t>(Le64(&f[p + 12]));
    p += xlen;
  }
  for (uint8_t bit : {uint8_t{0x08}, uint8_t{0x10}}) {  // name, comment: up to a zero byte or the end
    if (!(flags & bit)) continue;
    while (p < f.size() && f[p] != 0) ++p;
    if (p < f.size()) ++p;
  }
  if (flags & 0x02) {
    if (f.size() - p < 2) return std::nullopt;
    p += 2;
  }
  h.BodyStart = p;
  h.Encrypted = (flags & 0x20) != 0;
  h.Exact = h.USize != 0;
  return h;
}

// The trailer after a member that produced out; false when it does not match.
bool TrailerMatches(const uint8_t* trailer, const Bytes& out, const THeader& h) {
  if (Le32(trailer) != ZlibCrc(out) || Le32(trailer + 4) != static_cast<uint32_t>(out.size())) return false;
  return !h.Exact || static_cast<int64_t>(out.size()) == h.USize;
}

// What `gzip -d` under the container's rules makes of a plain file; nullopt for a failure.
std::optional<Bytes> ReferenceGunzip(const Bytes& f) {
  Bytes all;
  size_t pos = 0;
  for (bool first = true;; first = false) {
    if (!first) {
      if (pos == f.size()) return all;
      if (f.size() - pos < 2 || f[pos] != 0x1F || f[pos + 1] != 0x8B) {
        for (size_t i = pos; i < f.size(); ++i)
          if (f[i] != 0) return std::nullopt;
        return all;
      }
    }
    const auto h = ParseHeader(f, pos);
    if (!h || h->Encrypted || f.size() < h->BodyStart + 8 + 1) return std::nullopt;
    const int64_t bound = h->Exact ? std::max<int64_t>(h->USize, 0) : -1;
    auto member = ZlibInflate(&f[h->BodyStart], f.size() - 8 - h->BodyStart, bound);
    if (!member) return std::nullopt;
    const size_t trailer = h->BodyStart + member->Used;
    if (!TrailerMatches(&f[trailer], member->Out, *h)) return std::nullopt;
    all.insert(all.end(), member->Out.begin(), member->Out.end());
    pos = trailer + 8;
  }
}

// Key material for the fixed salt, derived once: the decryptor keeps it too, so no run pays
// for a key derivation.
const Bytes& KeyMaterial() {
  static const Bytes key = qv::DeriveKeyMaterial(reinterpret_cast<const uint8_t*>(CPassword.data()),
                                                 CPassword.size(), CSalt, sizeof CSalt, qv::CKeyIterations,
                                                 qv::DerivedLength(CMode));
  return key;
}

Bytes EncryptWithFixedSalt(Bytes plain) {
  qv::TFCryptContext ctx;
  uint8_t verifier[qv::CVerifierLength];
  if (qv::InitCryptContextFromKey(CMode, CPassword.size(), KeyMaterial().data(), ctx, verifier) != 0) std::abort();
  qv::EncryptData(plain.data(), plain.size(), ctx);
  const auto code = qv::FinishMac(ctx);
  Bytes out(CSalt, CSalt + sizeof CSalt);
  out.insert(out.end(), verifier, verifier + sizeof verifier);
  out.insert(out.end(), plain.begin(), plain.end());
  out.insert(out.end(), code.begin(), code.end());
  return out;
}

// A ".gze" member around data[1..]: byte 1 chooses the damage, the rest is the content.
// Bit 1 of the selector: the content is deflated by zlib, else it stands as deflate data itself.
// Sizes and trailer describe the deflated content unless the damage byte changes them.
// The expected result is computed from the plaintext deflate data by the reference.
struct TEncryptedCase {
  Bytes File;
  std::optional<Bytes> Expected;
  Bytes Deflated;  // the plaintext of the body
  Bytes Body;      // the encrypted body
};
TEncryptedCase BuildEncrypted(uint8_t selector, const uint8_t* data, size_t size) {
  const uint8_t damage = size > 0 ? data[0] : 0;
  const Bytes content(data + (size > 0 ? 1 : 0), data + size);
  Bytes deflated;
  if (selector & 0x02) {
    z_stream z{};
    deflateInit2(&z, (selector >> 4) & 7, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    deflated.resize(deflateBound(&z, content.size()) + 16);
    z.next_in = const_cast<Bytef*>(content.data());
    z.avail_in = static_cast<uInt>(content.size());
    z.next_out = deflated.data();
    z.avail_out = static_cast<uInt>(deflated.size());
    deflate(&z, Z_FINISH);
    deflated.resize(z.total_out);
    deflateEnd(&z);
  } else {
    deflated = content;
  }
  // Damage: cut deflate data, bytes after them, CRC, ISIZE or size subfield off by one.
  const int kind = damage & 7;
  if (kind == 1 && !deflated.empty()) deflated.resize(deflated.size() - 1 - (damage >> 3) % deflated.size());
  if (kind == 2) deflated.push_back(damage);
  const auto plain = ZlibInflate(deflated.data(), deflated.size(), -1);
  const Bytes out = plain ? plain->Out : content;
  uint32_t crc = ZlibCrc(out);
  uint32_t isize = static_cast<uint32_t>(out.size());
  int64_t usize = static_cast<int64_t>(out.size());
  if (kind == 3) crc ^= 1u << (damage >> 3);
  if (kind == 4) isize += 1;
  if (kind == 5) usize += (damage & 0x80) ? 1 : -1;
  const bool sizeField = kind != 6;

  const Bytes body = EncryptWithFixedSalt(deflated);
  TEncryptedCase c;
  c.File = {0x1F, 0x8B, 0x08, static_cast<uint8_t>(0x20 | (sizeField ? 0x04 : 0)), 0, 0, 0, 0, 0, 3};
  if (sizeField) {
    PutLe(c.File, 20, 2);
    PutLe(c.File, 1, 2);
    PutLe(c.File, 16, 2);
    PutLe(c.File, body.size(), 8);
    PutLe(c.File, static_cast<uint64_t>(usize), 8);
  }
  c.File.insert(c.File.end(), body.begin(), body.end());
  PutLe(c.File, crc, 4);
  PutLe(c.File, isize, 4);

  c.Deflated = deflated;
  c.Body = body;
  THeader h;
  h.USize = sizeField ? usize : isize;
  h.Exact = sizeField && usize != 0;
  const uint8_t* trailer = &c.File[c.File.size() - 8];
  if (plain && plain->Used == deflated.size() && TrailerMatches(trailer, plain->Out, h) &&
      (!h.Exact || usize >= 0))
    c.Expected = plain->Out;
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The key derivation's SHA lanes are unit tested against the library; the portable path
  // keeps the one derivation of this program cheap in an unoptimised build.
  static const bool portable = (qv::SetSha1LanesEnabled(false), true);
  (void)portable;
  static qv::TEncryption key(CPassword, 0, 65536);
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  const bool encrypted = (selector & 0x01) != 0;
  Bytes file;
  std::optional<Bytes> expected;
  Bytes deflateData, encryptedBody;
  if (encrypted) {
    TEncryptedCase c = BuildEncrypted(selector, data + 1, size - 1);
    file = std::move(c.File);
    expected = std::move(c.Expected);
    deflateData = std::move(c.Deflated);
    encryptedBody = std::move(c.Body);
  } else {
    file.assign(data + 1, data + size);
    expected = ReferenceGunzip(file);
  }

  const std::string folder = Folder();
  const std::string source = folder + "/in.gz";
  const std::string target = folder + "/out";
  if (!WriteFile(source, file)) std::abort();
  int code;
  {
    // Small blocks reach the loops' block edges; neither needs a large allocation per run.
    const int bufSize = (selector & 0x08) != 0 ? 1024 : 16384;
    qv::TGUnZipThread worker(source, target, encrypted ? &key : nullptr, true, bufSize, qv::tpNormal);
    worker.SetOnProgress([](qv::TFileAction, int64_t, bool) {});
    worker.RunInline();
    code = worker.ErrorCode().Value();
  }
  const std::optional<Bytes> restored = ReadFile(target);
  if ((code == 0) != expected.has_value()) std::abort();     // accepted what is broken, or the reverse
  if (code == 0 && restored != expected) std::abort();          // a wrong or missing byte
  if (code != 0 && restored) std::abort();                      // a failure left a target
  if (CountEntries(folder) != (code == 0 ? 2 : 1)) std::abort();  // a temporary file left
  ::unlink(target.c_str());

  // The two ways to an authenticated body (in memory, two passes) give the same plaintext.
  if (encrypted && (selector & 0x0C) == 0x0C) {
    Bytes plains[2];
    for (int way = 0; way < 2; ++way) {
      qv::TReadOnlyMemoryStream body(encryptedBody.data(), encryptedBody.size());
      std::unique_ptr<qv::TStream> plain;
      const auto length = static_cast<int64_t>(encryptedBody.size());
      if (qv::OpenEncryptedBody(key, body, length, way == 0, false, plain)) std::abort();
      plains[way].resize(static_cast<size_t>(plain->Size()));
      if (plain->Read(plains[way].data(), plains[way].size()) != plain->Size()) std::abort();
    }
    if (plains[0] != deflateData || plains[1] != deflateData) std::abort();
  }
  return 0;
}
