#include "restore/VersionList.h"

namespace qv {

std::string FoldKey(const std::string& key) {
  std::string folded;
  folded.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(key[i]);
    if (c >= 'A' && c <= 'Z') {
      folded += static_cast<char>(c + 32);
    } else if (c == 0xC3 && i + 1 < key.size()) {
      // U+00C0..U+00DE (except U+00D7) fold to U+00E0..U+00FE.
      unsigned char next = static_cast<unsigned char>(key[i + 1]);
      if (next >= 0x80 && next <= 0x9E && next != 0x97) next = static_cast<unsigned char>(next + 0x20);
      folded += static_cast<char>(c);
      folded += static_cast<char>(next);
      ++i;
    } else if (c == 0xC4 || c == 0xC5) {
      // U+0100..U+017F: pairs of upper and lower case, upper case even (mostly).
      if (i + 1 < key.size()) {
        const unsigned cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(key[i + 1]) & 0x3Fu);
        unsigned lower = cp;
        if ((cp >= 0x100 && cp <= 0x137) || (cp >= 0x14A && cp <= 0x177)) lower = cp | 1u;
        else if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) lower = (cp & 1u) ? cp + 1 : cp;
        folded += static_cast<char>(0xC0 | (lower >> 6));
        folded += static_cast<char>(0x80 | (lower & 0x3F));
        ++i;
      } else {
        folded += static_cast<char>(c);
      }
    } else {
      folded += static_cast<char>(c);
    }
  }
  return folded;
}

void TVersionList::Offer(const std::string& key, const std::string& fullPath, uint32_t timeStamp) {
  auto [it, inserted] = FIndex.try_emplace(FoldKey(key), FItems.size());
  if (inserted) {
    FItems.push_back(TItem{key, TFileInfo(fullPath, timeStamp)});
    return;
  }
  TItem& item = FItems[it->second];
  if (item.Info.TimeStamp < timeStamp) {
    item.Key = key;
    item.Info.FullPath = fullPath;
    item.Info.TimeStamp = timeStamp;
  }
}

void TVersionList::Clear() {
  FItems.clear();
  FIndex.clear();
}

}  // namespace qv
