#pragma once
// Feeds an HMAC on a helper thread with the blocks that another thread reads, so that
// authenticating a stream runs beside decrypting the same ciphertext. The blocks live in a
// ring of slots lent by the caller; a slot is handed out again only after the helper has
// consumed it. The reading thread never touches the MAC while the helper runs.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "crypto/CipherPrimitives.h"

namespace qv {

class TMacWorker {
 public:
  // ASlots holds ASlotCount slots of ASlotSize bytes each; both it and AMac must outlive
  // the worker.
  TMacWorker(THmacSha1& AMac, uint8_t* ASlots, size_t ASlotSize, size_t ASlotCount);
  // Stops the helper if it still runs (blocks not yet consumed are dropped).
  ~TMacWorker();
  TMacWorker(const TMacWorker&) = delete;
  TMacWorker& operator=(const TMacWorker&) = delete;

  // Starts the helper; false when no thread could be started (the MAC is untouched then).
  bool Start();
  // The slot for the next block; waits while the helper still consumes it.
  uint8_t* NextSlot();
  // Hands the slot from NextSlot, now holding length bytes, to the helper.
  void Submit(size_t length);
  // Waits until every submitted block is in the MAC, then ends the helper.
  void Finish();
  // Ends the helper at once; blocks not yet consumed are dropped, the MAC is incomplete.
  void Abort();

 private:
  void Run();
  void Stop(bool drain);

  THmacSha1& FMac;
  uint8_t* FSlots;
  size_t FSlotSize;
  size_t FSlotCount;
  std::mutex FLock;
  std::condition_variable FChanged;
  uint64_t FSubmitted = 0;  // blocks handed over
  uint64_t FConsumed = 0;   // blocks fed into the MAC
  bool FClosing = false;    // no more blocks come
  bool FDropping = false;   // stop without feeding the rest
  static constexpr size_t CMaxSlots = 8;
  size_t FLength[CMaxSlots] = {};
  std::thread FThread;
};

}  // namespace qv
