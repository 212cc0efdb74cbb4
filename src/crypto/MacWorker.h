// SPDX-License-Identifier: Apache-2.0
#pragma once
// Feeds an HMAC on a helper thread with the blocks that another thread reads, so that
// authenticating a stream runs beside decrypting the same ciphertext. The blocks live in a
// ring of slots lent by the caller; a slot is handed out again only after the helper has
// consumed it. The reading thread never touches the MAC while the helper runs.
#include <cstddef>
#include <cstdint>

#include "base/HelperThread.h"
#include "crypto/CipherPrimitives.h"

namespace qv {

class TMacWorker {
 public:
  // ASlots holds ASlotCount slots of ASlotSize bytes each; both it and AMac must outlive
  // the worker.
  TMacWorker(THmacSha1& AMac, uint8_t* ASlots, size_t ASlotSize, size_t ASlotCount);
  TMacWorker(const TMacWorker&) = delete;
  TMacWorker& operator=(const TMacWorker&) = delete;

  // Starts the helper; false when no thread could be started (the MAC is untouched then).
  bool Start() { return FHelper.Start(); }
  // The slot for the next block; waits while the helper still consumes it.
  uint8_t* NextSlot();
  // Hands the slot from NextSlot, now holding length bytes, to the helper.
  void Submit(size_t length);
  // Waits until every submitted block is in the MAC, then ends the helper.
  void Finish() { FHelper.Finish(); }
  // Ends the helper at once; blocks not yet consumed are dropped, the MAC is incomplete.
  // The destructor does the same.
  void Abort() { FHelper.Abort(); }

 private:
  static constexpr size_t CMaxSlots = 8;
  THmacSha1& FMac;
  uint8_t* FSlots;
  size_t FSlotSize;
  size_t FSlotCount;
  uint64_t FSubmitted = 0;
  uint64_t FTicket[CMaxSlots] = {};  // of the job that last used each slot
  THelperThread FHelper;             // last: its jobs use the members above
};

}  // namespace qv
