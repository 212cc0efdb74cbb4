// SPDX-License-Identifier: Apache-2.0
#pragma once
// The loop the worker benchmarks share: one worker run as the restore session runs it, its
// per-block progress reports served on the main thread.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "base/FtGlobal.h"
#include "base/Stream.h"
#include "transfer/CopyThread.h"

// Runs the worker to its end; seconds, or a negative value on failure (the message is
// printed). bytes receives the last count reported, or the target's size when no report
// counted any. With QV_BENCH_NO_PROGRESS set, no handler is bound: the difference shows
// what the synchronized per-block report costs.
inline double RunWorker(qv::TCopyThread& worker, const char* target, int64_t& bytes) {
  static const bool noProgress = std::getenv("QV_BENCH_NO_PROGRESS") != nullptr;
  if (!noProgress) {
    worker.SetOnProgress([&](qv::TFileAction, int64_t count, bool) {
      if (count > 0) bytes = count;
    });
  }
  const auto start = std::chrono::steady_clock::now();
  worker.Resume();
  while (!worker.Done()) qv::TThread::CheckSynchronize(10);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (worker.ErrorCode()) {
    std::fprintf(stderr, "%s\n", worker.ErrorCode().Message().c_str());
    return -1;
  }
  if (bytes == 0) {
    auto out = qv::TFileStream::Open(target, qv::TOpenMode::Read);
    bytes = out ? out->Size() : 0;
  }
  return seconds;
}
