// SPDX-License-Identifier: Apache-2.0
#include "restore/TransferPool.h"

#include <algorithm>

namespace qv {

int TransferJobs(int asked) {
  // Not asked: one per core. Small files keep the kernel busy with their calls; the session's
  // thread runs transfers too, so hand-offs are few.
  const int cores = static_cast<int>(std::thread::hardware_concurrency());
  return std::clamp(asked > 0 ? asked : cores, 1, 4);
}

TTransferPool::TTransferPool(int threads) {
  for (int i = 0; i < threads; ++i) FThreads.emplace_back([this] { Work(); });
}

TTransferPool::~TTransferPool() {
  {
    std::lock_guard lock(FMutex);
    FQuit = true;
  }
  FWork.notify_all();
  for (std::thread& t : FThreads) t.join();
}

void TTransferPool::Submit(std::function<void()> job) {
  {
    std::lock_guard lock(FMutex);
    FJobs.push_back(std::move(job));
  }
  FWork.notify_one();
}

void TTransferPool::WaitForJob(std::chrono::milliseconds timeout) {
  std::unique_lock lock(FMutex);
  const unsigned ended = FEnded;
  FDone.wait_for(lock, timeout, [&] { return FEnded != ended || (FJobs.empty() && FBusy == 0); });
}

void TTransferPool::WaitIdle() {
  std::unique_lock lock(FMutex);
  FDone.wait(lock, [this] { return FJobs.empty() && FBusy == 0; });
}

void TTransferPool::Work() {
  std::unique_lock lock(FMutex);
  for (;;) {
    FWork.wait(lock, [this] { return FQuit || !FJobs.empty(); });
    // Queued jobs are run even when quitting: their owners wait for their results.
    if (FJobs.empty()) return;
    std::function<void()> job = std::move(FJobs.front());
    FJobs.pop_front();
    ++FBusy;
    lock.unlock();
    job();
    lock.lock();
    --FBusy;
    ++FEnded;
    FDone.notify_all();
  }
}

}  // namespace qv
