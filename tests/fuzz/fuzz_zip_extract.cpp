// Extracts every entry of arbitrary archive bytes into a private folder, with and without a
// password, and checks that nothing appears outside that folder.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "transfer/ZipRead.h"

namespace {

std::string Base() {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/fuzz_zip_extract." + std::to_string(::getpid());
}

void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      ::closedir(dir);
    }
    ::rmdir(path.c_str());
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

void ExtractAll(const std::string& archive, const std::string& dest, const std::string& password) {
  try {
    qv::TZipRead zip(archive, password, 0, 65536);
    zip.ReadDirectory();
    const int count = std::min(zip.Directory().Count(), 64);
    for (int i = 0; i < count; ++i) {
      const auto& item = zip.Directory()[i];
      if (item.Header.IsDir) continue;
      // Joined as a naive caller would: the reader must refuse names that leave dest.
      try {
        zip.ExtractToFile(i, dest + "/" + item.Name);
      } catch (const qv::EZipError&) {
      }
      try {
        zip.CompareToFile(item.Header.Offset, archive);
      } catch (const qv::EZipError&) {
      }
    }
  } catch (const qv::EZipError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string sandbox = Base();
  // The destination lies a few levels down, so that "../" names would land inside the sandbox.
  const std::string dest = sandbox + "/1/2/3/dest";
  RemoveTree(sandbox);
  for (const char* sub : {"", "/1", "/1/2", "/1/2/3", "/1/2/3/dest"})
    ::mkdir((sandbox + sub).c_str(), 0700);
  const std::string archive = sandbox + "/a.zip";
  if (FILE* f = std::fopen(archive.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  ExtractAll(archive, dest, "");
  ExtractAll(archive, dest, "password");
  if (Strays(sandbox, dest) != 0) std::abort();
  RemoveTree(sandbox);
  return 0;
}
