// SPDX-License-Identifier: Apache-2.0
#pragma once
// The counts of a run as its reports come in, and its progress in files and bytes: totals
// counted before the walk, each item started with its share of the bytes (an estimate by the
// backup file's size), resized when its restored size is learnt (a .gz header), and done.
#include <cstdint>
#include <string>

#include "restore/RestoreView.h"

namespace qv {

class TRunCounters {
 public:
  uint32_t Copied = 0;
  uint32_t Errors = 0;   // error lines of the summary
  uint32_t Skipped = 0;
  uint32_t New = 0, Replaced = 0;  // a dry run's restores split
  uint32_t Verified = 0;
  int64_t CopiedBytes = 0, ListedBytes = 0;  // the schedule mode's sizes

  // Everything back to zero, for a new run.
  void Reset() { *this = TRunCounters{}; }
  const TRunProgress& Progress() const { return FProgress; }
  // One more item of this share for the totals.
  void AddToTotal(int64_t share) {
    ++FProgress.FilesTotal;
    FProgress.BytesTotal += share;
  }
  void StartItem(const std::string& name, int64_t share);
  void ResizeItem(int64_t restoredSize);
  // The share of the item started last, which a queued item keeps until it is done.
  int64_t ItemShare() const { return FItemShare; }
  void FinishItem(int64_t share);
  // The progress with count of the current item's size bytes done (a worker's report).
  TRunProgress WithinItem(int64_t count, int64_t size) const;
  // What a view is given: done never beyond the total, never back.
  TRunProgress Publishable(TRunProgress progress);

 private:
  TRunProgress FProgress;
  int64_t FItemShare = 0;
  int64_t FPublishedBytes = 0;
};

}  // namespace qv
