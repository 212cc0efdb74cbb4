// SPDX-License-Identifier: Apache-2.0
// Runs the unpack worker or the decrypt worker as the restore session does (512 KiB blocks,
// a progress report per block served on the main thread) and prints the best time and the
// MB/s of the restored bytes. Also makes the ".enc" input with the project's own writer.
// Usage: bench_gunzip gunzip SOURCE.gz TARGET [RUNS]
//        bench_gunzip decrypt SOURCE.enc TARGET PASSWORD [RUNS]
//        bench_gunzip encrypt SOURCE TARGET.enc PASSWORD
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BenchWorker.h"
#include "crypto/AesLib.h"
#include "transfer/DecryptThread.h"
#include "transfer/GUnZipThread.h"
#include "transfer/Inflater.h"

namespace {

constexpr int kBuf = 524288;

int Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s gunzip SOURCE.gz TARGET [RUNS]\n"
               "       %s decrypt SOURCE.enc TARGET PASSWORD [RUNS]\n"
               "       %s encrypt SOURCE TARGET.enc PASSWORD\n",
               self, self, self);
  return 2;
}

int Encrypt(const std::string& source, const std::string& target, const std::string& password) {
  auto in = qv::TFileStream::Open(source, qv::TOpenMode::Read);
  auto out = qv::TFileStream::Open(target, qv::TOpenMode::Create, 0644);
  if (!in || !out) return 1;
  qv::TEncryption enc(password, 0, kBuf);
  return enc.EncryptStream(*in, *out, false) && out->Close() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage(argv[0]);
  const std::string mode = argv[1];
  if (mode == "encrypt") return argc < 5 ? Usage(argv[0]) : Encrypt(argv[2], argv[3], argv[4]);
  const bool decrypt = mode == "decrypt";
  if (!decrypt && mode != "gunzip") return Usage(argv[0]);
  if (decrypt && argc < 5) return Usage(argv[0]);
  const int runsArg = decrypt ? 5 : 4;
  const int runs = argc > runsArg ? std::max(1, std::atoi(argv[runsArg])) : 3;
  std::unique_ptr<qv::TEncryption> key;
  if (decrypt) key = std::make_unique<qv::TEncryption>(argv[4], 0, kBuf);

  double best = 1e30;
  int64_t restored = 0;
  for (int run = 0; run < runs; ++run) {
    // Like the peer tools' runs, each starts without a target: freeing the previous one's
    // pages is not part of the job.
    std::remove(argv[3]);
    std::unique_ptr<qv::TCopyThread> worker;
    if (decrypt)
      worker = std::make_unique<qv::TDecryptThread>(argv[2], argv[3], key.get(), true, kBuf, qv::tpNormal);
    else
      worker = std::make_unique<qv::TGUnZipThread>(argv[2], argv[3], nullptr, true, kBuf, qv::tpNormal);
    const double seconds = RunWorker(*worker, argv[3], restored);
    if (seconds < 0) return 1;
    best = std::min(best, seconds);
  }
  // For decryption the reports count encrypted bytes, which differ from the plaintext only
  // by header and code.
  std::printf("%.4f %.1f %s\n", best, static_cast<double>(restored) / best / 1e6,
              decrypt ? "aes" : qv::TInflater::EngineName());
  return 0;
}
