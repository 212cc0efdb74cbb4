// SPDX-License-Identifier: Apache-2.0
#include "crypto/MacWorker.h"

#include <algorithm>

namespace qv {

TMacWorker::TMacWorker(THmacSha1& AMac, uint8_t* ASlots, size_t ASlotSize, size_t ASlotCount)
    : FMac(AMac),
      FSlots(ASlots),
      FSlotSize(ASlotSize),
      FSlotCount(std::clamp<size_t>(ASlotCount, 1, CMaxSlots)),
      FHelper(FSlotCount) {}

uint8_t* TMacWorker::NextSlot() {
  const size_t slot = FSubmitted % FSlotCount;
  FHelper.Wait(FTicket[slot]);
  return FSlots + slot * FSlotSize;
}

void TMacWorker::Submit(size_t length) {
  const size_t slot = FSubmitted % FSlotCount;
  const uint8_t* block = FSlots + slot * FSlotSize;
  length = std::min(length, FSlotSize);
  FTicket[slot] = FHelper.Post([this, block, length] { MacUpdate(FMac, block, length); });
  ++FSubmitted;
}

}  // namespace qv
