// SPDX-License-Identifier: Apache-2.0
// The mount's reading layer without FUSE: a file's restored bytes read from start to end in
// pieces, or at random offsets, through TContent. Prints seconds and MB/s.
//   bench_mount seq KIND FILE [PASSWORD]      KIND: plain, gz, enc
//   bench_mount random KIND FILE COUNT [PASSWORD]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef QV_HAVE_MOUNT
#include "mount/MountContent.h"
#endif

int main(int argc, char** argv) {
#ifndef QV_HAVE_MOUNT
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "built without the mount (libfuse3)\n");
  return 2;
#else
  using namespace qv;
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_mount seq|random KIND FILE [COUNT] [PASSWORD]\n");
    return 2;
  }
  const std::string mode = argv[1], kind = argv[2];
  const bool random = mode == "random";
  const int count = random && argc > 4 ? std::atoi(argv[4]) : 0;
  const int pwArg = random ? 5 : 4;
  auto ctx = std::make_shared<TContentContext>();
  if (argc > pwArg) {
    ctx->Password = argv[pwArg];
    ctx->HasPassword = true;
  }
  ctx->Cache = std::make_shared<TChunkCache>(32u << 20);
  ctx->CheckpointBudget = 16u << 20;
  TContentOrigin origin;
  origin.Kind = kind == "gz" ? ckGzip : kind == "enc" ? ckEncrypted : ckPlain;
  origin.Path = argv[3];
  TContent content(origin, ctx);
  if (content.Open() != 0) {
    std::fprintf(stderr, "%s\n", content.Reason().c_str());
    return 1;
  }
  std::vector<char> buffer(131072);
  const auto start = std::chrono::steady_clock::now();
  int64_t total = 0;
  if (random) {
    std::mt19937_64 rng(1);
    for (int i = 0; i < count; ++i) {
      const int64_t at = static_cast<int64_t>(rng() % static_cast<uint64_t>(content.Size() - 4096));
      if (content.Read(buffer.data(), 4096, at) != 4096) return 1;
      total += 4096;
    }
  } else {
    for (;;) {
      const ssize_t n = content.Read(buffer.data(), buffer.size(), total);
      if (n < 0) {
        std::fprintf(stderr, "%s\n", content.Reason().c_str());
        return 1;
      }
      if (n == 0) break;
      total += n;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.3f s %.1f MB/s\n", seconds, static_cast<double>(total) / seconds / 1e6);
  return 0;
#endif
}
