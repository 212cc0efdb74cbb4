#include "crypto/MacWorker.h"

#include <algorithm>
#include <system_error>

namespace qv {

TMacWorker::TMacWorker(THmacSha1& AMac, uint8_t* ASlots, size_t ASlotSize, size_t ASlotCount)
    : FMac(AMac), FSlots(ASlots), FSlotSize(ASlotSize), FSlotCount(std::clamp<size_t>(ASlotCount, 1, CMaxSlots)) {}

TMacWorker::~TMacWorker() { Abort(); }

bool TMacWorker::Start() {
  try {
    FThread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

uint8_t* TMacWorker::NextSlot() {
  std::unique_lock lock(FLock);
  // The slot of block n was last used by block n - FSlotCount.
  FChanged.wait(lock, [this] { return FSubmitted - FConsumed < FSlotCount; });
  return FSlots + (FSubmitted % FSlotCount) * FSlotSize;
}

void TMacWorker::Submit(size_t length) {
  {
    std::lock_guard lock(FLock);
    FLength[FSubmitted % FSlotCount] = std::min(length, FSlotSize);
    ++FSubmitted;
  }
  FChanged.notify_all();
}

void TMacWorker::Finish() { Stop(true); }

void TMacWorker::Abort() { Stop(false); }

void TMacWorker::Stop(bool drain) {
  if (!FThread.joinable()) return;
  {
    std::lock_guard lock(FLock);
    FClosing = true;
    FDropping = !drain;
  }
  FChanged.notify_all();
  FThread.join();
}

void TMacWorker::Run() {
  for (;;) {
    const uint8_t* block;
    size_t length;
    {
      std::unique_lock lock(FLock);
      FChanged.wait(lock, [this] { return FDropping || FConsumed < FSubmitted || FClosing; });
      if (FDropping || FConsumed == FSubmitted) return;
      block = FSlots + (FConsumed % FSlotCount) * FSlotSize;
      length = FLength[FConsumed % FSlotCount];
    }
    MacUpdate(FMac, block, length);
    {
      std::lock_guard lock(FLock);
      ++FConsumed;
    }
    FChanged.notify_all();
  }
}

}  // namespace qv
