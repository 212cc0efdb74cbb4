#pragma once
// The schedule mode's version list: keys in the order of first discovery, each with the
// chosen version. A case-insensitive hash index beside the list finds a key in constant
// time, so a scan of a large tree stays linear.
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "restore/RestoreSession.h"

namespace qv {

class TVersionList {
 public:
  struct TItem {
    std::string Key;
    TFileInfo Info;
  };

  // Offers one version: a new key is appended; a known key takes this version (and its
  // spelling) only when it is strictly newer, so of equal times the first found stays.
  void Offer(const std::string& key, const std::string& fullPath, uint32_t timeStamp);

  size_t Count() const { return FItems.size(); }
  bool Empty() const { return FItems.empty(); }
  const TItem& operator[](size_t index) const { return FItems[index]; }
  void Clear();

 private:
  std::vector<TItem> FItems;
  std::unordered_map<std::string, size_t> FIndex;  // folded key -> position in FItems
};

// Folds a key for the case-insensitive comparison (ASCII letters and the Latin-1 and
// Latin Extended-A letters of UTF-8 text).
std::string FoldKey(const std::string& key);

}  // namespace qv
