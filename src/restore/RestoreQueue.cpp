// SPDX-License-Identifier: Apache-2.0
// Transfers side by side: small transfers on the pool, reports in walk order.
#include <chrono>

#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "transfer/CopyThread.h"

namespace qv {

bool TRestoreSession::MayPool(bool encrypted, int64_t jobSize) const {
  // A paused run starts nothing new; a password item waits for its answer on this thread.
  return FPool && !FPaused && !encrypted && jobSize >= 0 && jobSize <= CInlineJobLimit;
}

void TRestoreSession::CancelQueued() {
  for (const TQueuedItem& item : FQueue)
    if (item.Worker) item.Worker->CancelThread();
}

int TRestoreSession::RunningTransfers() const {
  int running = 0;
  for (const TQueuedItem& item : FQueue) running += item.Worker && !item.Worker->Finished() ? 1 : 0;
  return running;
}

bool TRestoreSession::InFlight(const std::string& target) const {
  if (FQueue.empty()) return false;
  // Folded: on a disk that ignores case (USB, SMB) "a.TXT" is the file "a.txt" being written.
  // Elsewhere a twin only waits for the other to end, which changes no outcome.
  const std::string key = FoldCase(target);
  for (const TQueuedItem& item : FQueue)
    if (item.Worker && item.TargetKey == key) return true;
  return false;
}

bool TRestoreSession::Settle(TRestoreResult result, TRestoreError code, TItemFinish finish) {
  if (result != rrPending && FQueue.empty()) return finish(result, code);
  TQueuedItem item;
  item.Result = result;
  item.Code = code;
  item.State = FItem;
  item.Finish = std::move(finish);
  if (result == rrPending) {
    WaitWhilePaused();  // a pause pressed meanwhile holds this transfer, too
    item.Worker = std::move(FPooledWorker);
    item.TargetKey = FoldCase(FItem.Target);
    // A Stop during the wait (or before) starts nothing new; the transfer never begins.
    if (FStopped) item.Worker->CancelThread();
    // This thread is one of the transfers: with the pool's threads busy and a few jobs queued
    // for each (so that they never wait for the next), it runs this one itself rather than
    // wait. A hand-off costs about as much as a small transfer.
    if (RunningTransfers() >= CQueuedPerPoolThread * (FJobs - 1))
      item.Worker->RunQueued();
    else
      FPool->Submit([worker = item.Worker.get()] { worker->RunQueued(); });
  }
  FQueue.push_back(std::move(item));
  RetireReady();
  return !FWalkEnded;
}

bool TRestoreSession::RetireHead(bool wait) {
  if (FQueue.empty()) return false;
  if (TCopyThread* worker = FQueue.front().Worker.get()) {
    if (!worker->Finished() && !wait) return false;
    while (!worker->Finished()) {
      FPool->WaitForJob(std::chrono::milliseconds(10));
      KeepResponsive();
    }
  }
  TQueuedItem item = std::move(FQueue.front());
  FQueue.pop_front();
  if (item.Worker) {
    item.Code = item.Worker->Error();
    item.Result = item.Code ? rrFailed : rrCopied;
    // Stopped before its turn: not started, so not reported, as with one transfer at a time.
    if (item.Worker->EndedUnrun()) item.Result = rrCancelRun;
    item.State.Written = item.Worker->CommittedSize();
    item.Worker.reset();
    // A pooled transfer sends no reports: the file's bar shows it done, as one run here would.
    if (item.Result == rrCopied) FView.SetProgress(100);
    NoteWorkerResult(item.Result);
  }
  FItem = std::move(item.State);
  if (!item.Finish(item.Result, item.Code)) FWalkEnded = true;
  return true;
}

void TRestoreSession::RetireReady() {
  while (RetireHead(false)) {
  }
}

void TRestoreSession::Drain() {
  if (FQueue.empty()) return;
  TItemState current = FItem;
  while (RetireHead(true)) {
  }
  FItem = std::move(current);
}

}  // namespace qv
