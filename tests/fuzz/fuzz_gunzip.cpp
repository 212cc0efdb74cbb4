// Runs the unpack worker over arbitrary bytes written to a temporary ".gz" file, without and
// with a decryptor: it must end (no crash, hang or leak) and, when it fails, leave the
// existing target as it was and no temporary file behind.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "crypto/AesLib.h"
#include "transfer/GUnZipThread.h"

namespace {

std::string Folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string path = std::string(base && *base ? base : "/tmp") + "/fuzz_gunzip.XXXXXX";
    if (!::mkdtemp(path.data())) std::abort();
    return path;
  }();
  return folder;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qv::TEncryption key("fuzz", 0, 65536);
  const std::string folder = Folder();
  const std::string source = folder + "/in.gz";
  const std::string target = folder + "/out";
  WriteFile(source, data, size);
  for (qv::TEncryption* decryptor : {static_cast<qv::TEncryption*>(nullptr), &key}) {
    WriteFile(target, "old", 3);
    {
      qv::TGUnZipThread worker(source, target, decryptor, true, 65536, qv::tpNormal);
      worker.SetOnProgress([](qv::TFileAction, int64_t, bool) {});
      worker.Resume();
      while (!worker.Done()) qv::TThread::CheckSynchronize(10);
      if (worker.ErrorCode() != 0 && ReadFile(target) != "old") std::abort();
    }
    if (CountEntries(folder) != 2) std::abort();  // in.gz and out, no temporary left
  }
  return 0;
}
