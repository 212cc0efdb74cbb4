// SPDX-License-Identifier: Apache-2.0
// ReadDirectory over arbitrary bytes: it either fills the directory or raises EZipError.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "transfer/ZipRead.h"

namespace {

std::string TempArchive() {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/fuzz_zip_directory." +
         std::to_string(::getpid()) + ".zip";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempArchive();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (size > 0) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  try {
    qv::TZipRead zip(path);
    zip.ReadDirectory();
    for (const auto& item : zip.Directory()) {
      if (item.Header.Offset < 0 || item.Header.CSize < 0 || item.Header.USize < 0) std::abort();
      if (zip.Directory().IndexOf(item.Name) < 0) std::abort();
    }
    (void)zip.Filename(zip.Directory().Count());
  } catch (const qv::EZipError& e) {
    if (e.Context.empty() || !e.ZipError) std::abort();  // a failure that says nothing of itself
  }
  return 0;
}
