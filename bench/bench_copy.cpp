// SPDX-License-Identifier: Apache-2.0
// Copies one file with the copy worker as the restore session runs it (512 KiB blocks,
// a progress report per block served on the main thread) and prints the time and MB/s.
// With "replace", every run replaces the target of the run before (its data are then flushed
// before the rename, as for any existing target).
// Usage: bench_copy SOURCE TARGET [RUNS] [replace]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BenchWorker.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SOURCE TARGET [RUNS] [replace]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  const bool replace = argc > 4 && std::strcmp(argv[4], "replace") == 0;
  double best = 1e30;
  int64_t bytes = 0;
  for (int run = 0; run < runs; ++run) {
    // As for cp: no earlier target whose pages the run would have to free.
    if (!replace) std::remove(argv[2]);
    qv::TCopyThread worker(argv[1], argv[2], true, 524288, qv::tpNormal);
    const double seconds = RunWorker(worker, argv[2], bytes);
    if (seconds < 0) return 1;
    best = std::min(best, seconds);
  }
  std::printf("%.4f %.1f\n", best, static_cast<double>(bytes) / best / 1e6);
  return 0;
}
