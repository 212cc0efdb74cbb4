// SPDX-License-Identifier: Apache-2.0
#include "restore/ArchiveIndex.h"

#include <functional>

#include "restore/RestoreText.h"
#include "transfer/ZipRead.h"

namespace qv {
namespace {

uint64_t FoldedHash(const std::string& AFolded) { return std::hash<std::string>{}(AFolded); }

}  // namespace

TArchiveIndex::TArchiveIndex(const TZipFileList& AList) {
  size_t capacity = 16;
  while (capacity < static_cast<size_t>(AList.Count()) * 2) capacity *= 2;
  FSlots.assign(capacity, 0);
  FHashes.assign(capacity, 0);
  for (int e = 0; e < AList.Count(); ++e) {
    if (AList.Objects(e).IsDir) continue;
    const uint64_t hash = FoldedHash(FoldCase(AList.Name(e)));
    size_t slot = hash & (capacity - 1);
    while (FSlots[slot] != 0) slot = (slot + 1) & (capacity - 1);
    FSlots[slot] = static_cast<uint32_t>(e + 1);
    FHashes[slot] = hash;
  }
}

int TArchiveIndex::Find(const TZipFileList& AList, const std::string& AName) const {
  const std::string folded = FoldCase(AName);
  const uint64_t hash = FoldedHash(folded);
  const size_t mask = FSlots.size() - 1;
  int exact = -1, alike = -1, alikeCount = 0;
  // Every entry of the same folded name lies in this run of occupied slots.
  for (size_t slot = hash & mask; FSlots[slot] != 0; slot = (slot + 1) & mask) {
    if (FHashes[slot] != hash) continue;
    const int e = static_cast<int>(FSlots[slot]) - 1;
    if (AList.Name(e) == AName) {
      if (exact < 0 || e < exact) exact = e;
    } else if (FoldCase(AList.Name(e)) == folded) {
      alike = e;
      ++alikeCount;
    }
  }
  if (exact >= 0) return exact;
  // Several names that differ only in case: none of them is the one meant.
  return alikeCount == 1 ? alike : -1;
}

}  // namespace qv
