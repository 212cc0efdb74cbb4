// SPDX-License-Identifier: Apache-2.0
#pragma once
// Transfers side by side. Items are decided on the session's thread in walk order; a small
// transfer may run on the pool while the walk goes on, and every item's report waits here
// until those before it are reported, so that reports, counts and questions keep walk order.
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "restore/ItemOutcome.h"
#include "restore/TransferPool.h"

namespace qv {

class TTransferQueue {
 public:
  // The rest of an item's handling (report, counts, error lines); false ends the walk.
  using TFinish = std::function<bool(const TItemOutcome&)>;
  struct THooks {
    std::function<void()> WhileWaiting;           // between looks at a running transfer
    std::function<void(TItemOutcome&)> Retired;   // a pooled transfer has told its outcome
  };
  // Small transfers handed to each pool thread before this thread runs one itself; Pause and
  // Stop wait for those (a few milliseconds at most).
  static constexpr int CQueuedPerPoolThread = 4;

  explicit TTransferQueue(THooks hooks);
  ~TTransferQueue();
  TTransferQueue(const TTransferQueue&) = delete;
  TTransferQueue& operator=(const TTransferQueue&) = delete;

  // A run with jobs transfers at once (this thread is one of them); pooled: a pool is made.
  void Begin(int jobs, bool pooled);
  // Finishes every item and joins the pool.
  void End();
  bool Pooling() const { return FPool != nullptr; }

  // The item's outcome, finished at once when nothing waits before it, else in its turn. A
  // pending outcome's transfer starts here, on the pool or on this thread. false when the walk
  // ends (this or an earlier finish said so).
  bool Add(TItemOutcome outcome, TFinish finish);
  // Finishes every queued item, in order, waiting for their transfers.
  void Drain();
  // A queued transfer writes this target (case folded: on a disk that ignores case, USB or
  // SMB, "a.TXT" is the file "a.txt" being written).
  bool InFlight(const std::string& target) const;
  // Stop: every queued transfer ends at its next block, or before it begins.
  void CancelAll();
  // Pause: the pool's transfers cannot be held; they end first.
  void WaitIdle();
  // A finish ended the walk; a new walk level starts afresh.
  bool Ended() const { return FEnded; }
  void ResetEnded() { FEnded = false; }

 private:
  struct TQueued {
    TItemOutcome Outcome;
    std::string TargetKey;  // of a pending transfer, case folded
    TFinish Finish;
  };
  // Finishes the first queued item; waits for its transfer when wait is set. false when it
  // still runs (and wait is not set) or nothing is queued.
  bool RetireHead(bool wait);
  void RetireReady();
  int RunningTransfers() const;

  THooks FHooks;
  int FJobs = 1;
  bool FEnded = false;
  std::deque<TQueued> FQueue;
  std::unique_ptr<TTransferPool> FPool;  // after FQueue: joined before the workers go
};

}  // namespace qv
