// SPDX-License-Identifier: Apache-2.0
#include "base/HelperThread.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace qv {

THelperThread::THelperThread(size_t ACapacity) : FQueue(std::max<size_t>(ACapacity, 1)) {}

THelperThread::~THelperThread() { Abort(); }

bool THelperThread::Start() {
  if (Running()) return true;
  FClosing = false;
  FDropping = false;
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

uint64_t THelperThread::Post(TJob AJob) {
  if (!Running()) {
    AJob();
    std::lock_guard lock(FLock);
    FDone = ++FPosted;
    return FPosted;
  }
  uint64_t ticket;
  {
    std::unique_lock lock(FLock);
    FChanged.wait(lock, [this] { return FPosted - FDone < FQueue.size(); });
    FQueue[FPosted % FQueue.size()] = std::move(AJob);
    ticket = ++FPosted;
  }
  FChanged.notify_all();
  return ticket;
}

void THelperThread::Wait(uint64_t ATicket) {
  std::unique_lock lock(FLock);
  FChanged.wait(lock, [&] { return FDone >= ATicket || FDropping; });
}

void THelperThread::Finish() { Stop(true); }

void THelperThread::Abort() { Stop(false); }

void THelperThread::Stop(bool ADrain) {
  if (!Running()) return;
  {
    std::lock_guard lock(FLock);
    FClosing = true;
    FDropping = !ADrain;
  }
  FChanged.notify_all();
  FThread.join();
  std::lock_guard lock(FLock);
  // Dropped jobs count as done, so that no one waits for them; their captures go now.
  for (; FDone < FPosted; ++FDone) FQueue[FDone % FQueue.size()] = nullptr;
}

void THelperThread::Run() {
  for (;;) {
    TJob job;
    {
      std::unique_lock lock(FLock);
      FChanged.wait(lock, [this] { return FDropping || FDone < FPosted || FClosing; });
      if (FDropping || FDone == FPosted) return;
      job = std::move(FQueue[FDone % FQueue.size()]);
    }
    job();
    {
      std::lock_guard lock(FLock);
      ++FDone;
    }
    FChanged.notify_all();
  }
}

}  // namespace qv
