// SPDX-License-Identifier: Apache-2.0
// Extracts every entry of arbitrary archive bytes into a private folder and checks that
// nothing appears outside that folder, that every entry reported as restored holds what an
// independent decoder (zlib, on the entry's own headers) makes of it, and that comparing the
// entry with what was restored finds no difference.
//
// A run stays cheap: the sandbox lives on a memory file system where there is one (/dev/shm), is made once,
// and only the destination is emptied between runs: creating and removing folder trees on
// a disk for every input cost more than the reader itself.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transfer/LittleEndian.h"
#include "transfer/ZipRead.h"

namespace {

std::string Base() {
  const char* base = std::getenv("TMPDIR");
  struct stat st {};
  const std::string root = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/dev/shm", W_OK) == 0
                               ? "/dev/shm"
                               : std::string(base && *base ? base : "/tmp");
  return root + "/fuzz_zip_extract." + std::to_string(::getpid());
}

void RemoveTree(const std::string& path, bool keepSelf = false) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    if (DIR* dir = ::opendir(path.c_str())) {
      while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      ::closedir(dir);
    }
    if (!keepSelf) ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

// Items in the sandbox outside the destination folder, besides the archive and the folders
// that lead to the destination.
int Strays(const std::string& folder, const std::string& dest) {
  int count = 0;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name == "." || name == ".." || name == "a.zip") continue;
      const std::string path = folder + "/" + name;
      if (path == dest) continue;
      if (dest.compare(0, path.size() + 1, path + "/") == 0) count += Strays(path, dest);
      else ++count;
    }
    ::closedir(dir);
  }
  return count;
}

std::string ReadAll(const std::string& path) {
  std::string data;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) data.append(buffer, n);
    std::fclose(f);
  }
  return data;
}

// What zlib makes of the entry at AHeader.Offset, read from its own local header (sizes and
// CRC from the directory when a data descriptor holds them). False when the entry is not one
// zlib can check (encrypted) or does not decode completely with a matching CRC.
bool IndependentDecode(const uint8_t* data, size_t size, const qv::TPkHeader& AHeader, std::string& AOut,
                       bool& AEncrypted) {
  const auto offset = static_cast<uint64_t>(AHeader.Offset);
  if (offset > size || size - offset < 30 || qv::GetLe32(data + offset) != qv::ZipLocalHeaderSig) return false;
  const uint8_t* h = data + offset;
  const uint16_t flag = qv::GetLe16(h + 6);
  const uint16_t method = qv::GetLe16(h + 8);
  uint32_t crc = qv::GetLe32(h + 14);
  uint64_t csize = qv::GetLe32(h + 18);
  uint64_t usize = qv::GetLe32(h + 22);
  const uint64_t start = offset + 30 + qv::GetLe16(h + 26) + qv::GetLe16(h + 28);
  if (start > size) return false;
  // Zip64 sizes: the ID-1 block holds the saturated ones, uncompressed size first.
  const uint8_t* extra = h + 30 + qv::GetLe16(h + 26);
  for (size_t pos = 0, length = qv::GetLe16(h + 28); pos + 4 <= length;) {
    const uint16_t id = qv::GetLe16(extra + pos), blockSize = qv::GetLe16(extra + pos + 2);
    if (pos + 4 + blockSize > length) break;
    size_t at = pos + 4;
    if (id == 1) {
      if (usize == 0xFFFFFFFF && at + 8 <= pos + 4 + blockSize) { usize = qv::GetLe64(extra + at); at += 8; }
      if (csize == 0xFFFFFFFF && at + 8 <= pos + 4 + blockSize) csize = qv::GetLe64(extra + at);
    }
    pos += 4u + blockSize;
  }
  if (flag & qv::ZipFlagDataDescriptor) {
    crc = AHeader.CRC;
    csize = static_cast<uint64_t>(AHeader.CSize);
    usize = static_cast<uint64_t>(AHeader.USize);
  }
  AEncrypted = (flag & qv::ZipFlagEncrypted) != 0;
  if (AEncrypted || usize > (64u << 20)) return false;
  if (csize > size - start) return false;
  if (method == 0) {
    if (csize != usize) return false;
    AOut.assign(reinterpret_cast<const char*>(data + start), usize);
  } else if (method == 8) {
    z_stream z {};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    AOut.assign(usize + 1, '\0');
    z.next_in = const_cast<Bytef*>(data + start);
    z.avail_in = static_cast<uInt>(csize);
    z.next_out = reinterpret_cast<Bytef*>(AOut.data());
    z.avail_out = static_cast<uInt>(AOut.size());
    const int rc = inflate(&z, Z_FINISH);
    const uint64_t produced = z.total_out;
    inflateEnd(&z);
    // A stream cut short but complete in size and CRC still decodes to the same bytes.
    if ((rc != Z_STREAM_END && rc != Z_BUF_ERROR) || produced != usize) return false;
    AOut.resize(usize);
  } else {
    return false;
  }
  return crc32(0, reinterpret_cast<const Bytef*>(AOut.data()), static_cast<uInt>(AOut.size())) == crc;
}

void ExtractAll(const uint8_t* data, size_t size, const std::string& archive, const std::string& dest) {
  try {
    qv::TZipRead zip(archive, std::string(), 0, 65536);
    zip.ReadDirectory();
    // A decryptor only where there is something to decrypt: building one seeds a salt pool.
    for (const auto& item : zip.Directory())
      if (item.Header.Encrypted()) {
        zip.InitEncryption("password", 0);
        break;
      }
    const int count = std::min(zip.Directory().Count(), 64);
    for (int i = 0; i < count; ++i) {
      const auto& item = zip.Directory()[i];
      if (item.Header.IsDir) continue;
      // Joined as a naive caller would: the reader must refuse names that leave dest.
      const std::string target = dest + "/" + std::string(item.Name);
      try {
        zip.ExtractToFile(i, target);
      } catch (const qv::EZipError& e) {
        if (e.Context.empty() || !e.ZipError) std::abort();  // a failure that says nothing of itself
        continue;
      }
      struct stat st {};
      if (::lstat(target.c_str(), &st) != 0) std::abort();  // reported restored, but absent
      if (!S_ISREG(st.st_mode)) continue;  // a link entry, checked by the strays walk
      const std::string restored = ReadAll(target);
      std::string expected;
      bool encrypted = false;
      if (IndependentDecode(data, size, item.Header, expected, encrypted)) {
        if (restored != expected) std::abort();  // the reader and zlib disagree
      } else if (!encrypted) {
        std::abort();  // restored what zlib finds undecodable or failing its CRC
      }
      try {
        zip.CompareToFile(item.Header.Offset, target);
      } catch (const qv::EZipError&) {
        std::abort();  // the same entry compared with its own restored copy differs
      }
    }
  } catch (const qv::EZipError& e) {
    if (e.Context.empty() || !e.ZipError) std::abort();
  }
}

}  // namespace

// Entropic scheduling weighs every feature of every run; over the thousands of features an
// extraction touches it cost more than the run itself. Off unless asked for.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  static std::vector<char*> args(*argv, *argv + *argc);
  for (char* arg : args)
    if (std::strncmp(arg, "-entropic=", 10) == 0) return 0;
  static char entropicOff[] = "-entropic=0";
  args.insert(args.begin() + 1, entropicOff);
  args.push_back(nullptr);
  *argc = static_cast<int>(args.size()) - 1;
  *argv = args.data();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string sandbox = Base();
  // The destination lies a few levels down, so that "../" names would land inside the sandbox.
  static const std::string dest = sandbox + "/1/2/3/dest";
  static const bool made = [] {
    RemoveTree(sandbox);
    for (const char* sub : {"", "/1", "/1/2", "/1/2/3", "/1/2/3/dest"})
      ::mkdir((sandbox + sub).c_str(), 0700);
    std::atexit([] { RemoveTree(sandbox); });
    return true;
  }();
  (void)made;
  const std::string archive = sandbox + "/a.zip";
  if (FILE* f = std::fopen(archive.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  ExtractAll(data, size, archive, dest);
  if (Strays(sandbox, dest) != 0) std::abort();
  RemoveTree(dest, true);
  return 0;
}
