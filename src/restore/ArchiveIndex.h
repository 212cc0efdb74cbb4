// SPDX-License-Identifier: Apache-2.0
#pragma once
// The file entries of an open archive by name, for a selection of paths inside it: the
// exact spelling first, else the one entry whose name differs only in case. It keeps one
// hash and one position per entry, not copies of the names, so that a large archive costs
// little beyond its directory.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class TZipFileList;

class TArchiveIndex {
 public:
  explicit TArchiveIndex(const TZipFileList& AList);
  // The entry AName selects in AList (the list the index was built on); -1 when none does, or
  // when several differ from it only in case and none is spelled as it is.
  int Find(const TZipFileList& AList, const std::string& AName) const;

 private:
  // Open addressing by the hash of the folded name: position in the list + 1, 0 when free.
  std::vector<uint32_t> FSlots;
  std::vector<uint64_t> FHashes;  // per slot, the hash of the entry it holds
};

}  // namespace qv
