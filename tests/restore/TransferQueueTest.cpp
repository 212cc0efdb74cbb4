// SPDX-License-Identifier: Apache-2.0
// The queue that lets small transfers run beside the walk: whatever order they end in, every
// item is finished in the order it was added, with the outcome its transfer told; a transfer
// stopped before its turn is never reported as done; a finish that ends the walk ends it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "restore/TransferQueue.h"
#include "transfer/CopyThread.h"
#include "transfer/TestUtil.h"

namespace qv::test {
namespace {

// One item to add: a transfer of Size bytes (a copy of a file that is, or is not, there), or
// an outcome known at once.
struct TQueueItem {
  TRestoreResult Known;  // rrPending: a transfer
  int Size = 0;
  bool SourceMissing = false;
  bool CancelledBefore = false;  // Stop before its turn
};

struct TQueueRow {
  const char* Name;
  int Jobs;
  std::vector<TQueueItem> Items;
  int EndAt = -1;  // the finish of this item ends the walk
  std::vector<TRestoreResult> Expected;
};

class TQueueRun {
 public:
  explicit TQueueRun(int jobs) : FQueue({.WhileWaiting = {}, .Retired = [this](TItemOutcome&) { ++FRetired; }}) {
    FQueue.Begin(jobs, jobs > 1);
  }
  // Adds every item of the row; the finishes record the order and the outcome.
  void AddAll(const TQueueRow& row) {
    for (size_t i = 0; i < row.Items.size(); ++i) {
      const TQueueItem& want = row.Items[i];
      TItemOutcome item(want.Known);
      item.Target = FDir.Path() + "/t" + std::to_string(i);
      if (want.Known == rrPending) {
        const std::string source = FDir.Path() + "/s" + std::to_string(i);
        if (!want.SourceMissing) {
          ASSERT_TRUE(WriteFile(source, std::string(static_cast<size_t>(want.Size), 'x')));
        }
        item.Worker = std::make_unique<TCopyThread>(source, item.Target, true, 65536, tpNormal);
        if (want.CancelledBefore) item.Worker->CancelThread();
      }
      const bool goOn = FQueue.Add(std::move(item), [this, i, &row](const TItemOutcome& done) {
        FOrder.push_back(static_cast<int>(i));
        FResults.push_back(done.Result);
        if (done.Result == rrCopied && row.Items[i].Known == rrPending) FWritten.push_back(done.Written);
        return static_cast<int>(i) != row.EndAt;
      });
      if (!goOn && FStoppedAt < 0) FStoppedAt = static_cast<int>(i);
    }
    FQueue.Drain();
  }
  TTempDir FDir{"qvqueue"};
  TTransferQueue FQueue;
  std::vector<int> FOrder;
  std::vector<TRestoreResult> FResults;
  std::vector<int64_t> FWritten;
  int FRetired = 0;
  int FStoppedAt = -1;
};

const TQueueRow kRows[] = {
    {"reports keep the order items came in", 4,
     {{rrPending, 4 << 20}, {rrSkipped}, {rrPending, 10}, {rrPending, 200000}, {rrFailed}, {rrPending, 1}},
     -1,
     {rrCopied, rrSkipped, rrCopied, rrCopied, rrFailed, rrCopied}},
    {"one transfer at a time runs each here", 1,
     {{rrPending, 100}, {rrSkipped}, {rrPending, 5}},
     -1,
     {rrCopied, rrSkipped, rrCopied}},
    {"a missing source fails, the next goes on", 3,
     {{rrPending, 10, true}, {rrPending, 10}},
     -1,
     {rrFailed, rrCopied}},
    {"stopped before its turn: never reported as done", 3,
     {{rrPending, 10}, {rrPending, 10, false, true}, {rrPending, 10}},
     -1,
     {rrCopied, rrCancelRun, rrCopied}},
    {"a finish that ends the walk ends it", 1,
     {{rrPending, 10}, {rrSkipped}, {rrPending, 10}},
     1,
     {rrCopied, rrSkipped, rrCopied}},
};

TEST(TransferQueue, FinishesInOrderWithTheOutcomeTheTransferTold) {
  for (const TQueueRow& row : kRows) {
    SCOPED_TRACE(row.Name);
    TQueueRun run(row.Jobs);
    run.AddAll(row);
    std::vector<int> inOrder(row.Items.size());
    for (size_t i = 0; i < inOrder.size(); ++i) inOrder[i] = static_cast<int>(i);
    EXPECT_EQ(run.FOrder, inOrder);
    EXPECT_EQ(run.FResults, row.Expected);
    // Each transfer that ran tells what it wrote, and only transfers pass the retire hook.
    int transfers = 0;
    std::vector<int64_t> sizes;
    for (size_t i = 0; i < row.Items.size(); ++i) {
      if (row.Items[i].Known != rrPending) continue;
      ++transfers;
      if (row.Expected[i] == rrCopied) sizes.push_back(row.Items[i].Size);
    }
    EXPECT_EQ(run.FWritten, sizes);
    EXPECT_EQ(run.FRetired, transfers);
    // One transfer at a time: the walk is told at once that it ended.
    EXPECT_EQ(run.FQueue.Ended(), row.EndAt >= 0);
    EXPECT_EQ(run.FStoppedAt, row.EndAt);
    // The stopped transfer touched nothing.
    for (size_t i = 0; i < row.Items.size(); ++i)
      if (row.Items[i].CancelledBefore) {
        EXPECT_FALSE(FileExists(run.FDir.Path() + "/t" + std::to_string(i)));
      }
  }
}

}  // namespace
}  // namespace qv::test
