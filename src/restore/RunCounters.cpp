// SPDX-License-Identifier: Apache-2.0
#include "restore/RunCounters.h"

#include <algorithm>

namespace qv {

void TRunCounters::StartItem(const std::string& name, int64_t share) {
  FProgress.Current = name;
  FItemShare = std::max<int64_t>(share, 0);
}

void TRunCounters::ResizeItem(int64_t restoredSize) {
  if (restoredSize < 0) return;
  FProgress.BytesTotal += restoredSize - FItemShare;
  FItemShare = restoredSize;
}

void TRunCounters::FinishItem(int64_t share) {
  ++FProgress.FilesDone;
  FProgress.BytesDone += share;
}

TRunProgress TRunCounters::WithinItem(int64_t count, int64_t size) const {
  // The worker counts its own bytes (a .gz its unpacked ones): its share of the item's.
  TRunProgress within = FProgress;
  const double part = size > 0 ? std::min(1.0, static_cast<double>(count) / static_cast<double>(size)) : 1.0;
  within.BytesDone += size > 0 ? static_cast<int64_t>(part * static_cast<double>(FItemShare))
                               : std::min(count, FItemShare);
  return within;
}

TRunProgress TRunCounters::Publishable(TRunProgress progress) {
  progress.BytesDone = std::clamp(progress.BytesDone, FPublishedBytes, std::max(progress.BytesTotal, FPublishedBytes));
  FPublishedBytes = progress.BytesDone;
  return progress;
}

}  // namespace qv
