// SPDX-License-Identifier: Apache-2.0
// Extracts every file entry of a zip archive with the zip reader, as the restore does:
//   bench_zip ARCHIVE DEST [PASSWORD]
// Prints the entry count, the bytes written and the wall time of the extraction.
#include <chrono>
#include <cstdio>
#include <string>

#include "base/FileUtils.h"
#include "transfer/ZipRead.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s ARCHIVE DEST [PASSWORD]\n", argv[0]);
    return 2;
  }
  const std::string archive = argv[1];
  const std::string dest = argv[2];
  const std::string password = argc > 3 ? argv[3] : "";
  const auto start = std::chrono::steady_clock::now();
  int entries = 0;
  int64_t bytes = 0;
  try {
    qv::TZipRead zip(archive, password);
    // The destination bounds every target, as in a restore.
    zip.SetTargetRules(qv::TTargetRules{dest, false});
    zip.ReadDirectory();
    std::string lastFolder;
    for (int i = 0; i < zip.Directory().Count(); ++i) {
      const auto& item = zip.Directory()[i];
      if (item.Header.IsDir) continue;
      const std::string target = dest + "/" + std::string(item.Name);
      const std::string folder = target.substr(0, target.rfind('/'));
      if (folder != lastFolder && qv::LongForceDirectories(folder)) lastFolder = folder;
      zip.ExtractToFile(i, target);
      ++entries;
      bytes += item.Header.USize;
    }
  } catch (const qv::EZipError& e) {
    std::fprintf(stderr, "bench_zip: %s (%04X)\n", e.what(), static_cast<unsigned>(e.ZipError.Value()));
    return 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("entries %d bytes %lld seconds %.3f\n", entries, static_cast<long long>(bytes), seconds);
  return 0;
}
