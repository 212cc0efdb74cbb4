// SPDX-License-Identifier: Apache-2.0
#include "restore/TransferQueue.h"

#include <chrono>

#include "restore/RestoreText.h"
#include "transfer/CopyThread.h"

namespace qv {

TItemOutcome::TItemOutcome() = default;
TItemOutcome::TItemOutcome(TRestoreResult result, TRestoreError code) : Result(result), Code(std::move(code)) {}
TItemOutcome::TItemOutcome(TItemOutcome&&) noexcept = default;
TItemOutcome& TItemOutcome::operator=(TItemOutcome&&) noexcept = default;
TItemOutcome::~TItemOutcome() = default;

TTransferQueue::TTransferQueue(THooks hooks) : FHooks(std::move(hooks)) {}

TTransferQueue::~TTransferQueue() {
  // A window closed mid-run: nothing is reported any more, the transfers end at their next block.
  CancelAll();
  FPool.reset();
}

void TTransferQueue::Begin(int jobs, bool pooled) {
  FJobs = jobs;
  FEnded = false;
  // This thread runs transfers too: the pool has one thread fewer than the transfers at once.
  if (pooled && jobs > 1) FPool = std::make_unique<TTransferPool>(jobs - 1);
}

void TTransferQueue::End() {
  Drain();
  FPool.reset();
}

void TTransferQueue::CancelAll() {
  for (const TQueued& item : FQueue)
    if (item.Outcome.Worker) item.Outcome.Worker->CancelThread();
}

void TTransferQueue::WaitIdle() {
  if (FPool) FPool->WaitIdle();
}

int TTransferQueue::RunningTransfers() const {
  int running = 0;
  for (const TQueued& item : FQueue) running += item.Outcome.Worker && !item.Outcome.Worker->Finished() ? 1 : 0;
  return running;
}

bool TTransferQueue::InFlight(const std::string& target) const {
  if (FQueue.empty()) return false;
  // Elsewhere than on a disk that ignores case a twin only waits for the other to end, which
  // changes no outcome.
  const std::string key = FoldCase(target);
  for (const TQueued& item : FQueue)
    if (item.Outcome.Worker && item.TargetKey == key) return true;
  return false;
}

bool TTransferQueue::Add(TItemOutcome outcome, TFinish finish) {
  if (outcome.Result != rrPending && FQueue.empty()) {
    if (!finish(outcome)) FEnded = true;
    return !FEnded;
  }
  TQueued item{std::move(outcome), {}, std::move(finish)};
  if (TCopyThread* worker = item.Outcome.Worker.get()) {
    item.TargetKey = FoldCase(item.Outcome.Target);
    // With the pool's threads busy and a few jobs queued for each (so that they never wait for
    // the next), this thread runs the transfer itself rather than wait: a hand-off costs about
    // as much as a small transfer.
    if (!FPool || RunningTransfers() >= CQueuedPerPoolThread * (FJobs - 1))
      worker->RunQueued();
    else
      FPool->Submit([worker] { worker->RunQueued(); });
  }
  FQueue.push_back(std::move(item));
  RetireReady();
  return !FEnded;
}

bool TTransferQueue::RetireHead(bool wait) {
  if (FQueue.empty()) return false;
  if (TCopyThread* worker = FQueue.front().Outcome.Worker.get()) {
    if (!worker->Finished() && !wait) return false;
    while (!worker->Finished()) {
      FPool->WaitForJob(std::chrono::milliseconds(10));
      if (FHooks.WhileWaiting) FHooks.WhileWaiting();
    }
  }
  TQueued item = std::move(FQueue.front());
  FQueue.pop_front();
  TItemOutcome& outcome = item.Outcome;
  if (outcome.Worker) {
    outcome.Code = outcome.Worker->Error();
    outcome.Result = outcome.Code ? rrFailed : rrCopied;
    // Stopped before its turn: not started, so not reported, as with one transfer at a time.
    if (outcome.Worker->EndedUnrun()) outcome.Result = rrCancelRun;
    outcome.Written = outcome.Worker->CommittedSize();
    outcome.Worker.reset();
    if (FHooks.Retired) FHooks.Retired(outcome);
  }
  if (!item.Finish(outcome)) FEnded = true;
  return true;
}

void TTransferQueue::RetireReady() {
  while (RetireHead(false)) {
  }
}

void TTransferQueue::Drain() {
  while (RetireHead(true)) {
  }
}

}  // namespace qv
