// SPDX-License-Identifier: Apache-2.0
#pragma once
// The schedule mode's version list: keys in the order of first discovery, each with the
// chosen version. A case-insensitive hash index beside the list finds a key in constant
// time without an allocation per name, so a scan of a large tree stays linear. The same search, for one file, lists every
// version of it (ListVersions).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "restore/PathFilter.h"
#include "restore/RestoreSession.h"

namespace qv {

class TVersionList {
 public:
  struct TItem {
    std::string Key;  // restored relative path: the backup name without .gz/.gze/.enc
    TFileInfo Info;
    std::string Set;  // the set folder the chosen version comes from
  };

  // Offers one version: a new key is appended; a known key takes this version (and its
  // spelling) only when it is strictly newer, so of equal times the first found stays.
  void Offer(const std::string& key, const std::string& fullPath, int64_t timeStamp,
             const std::string& set = {});

  size_t Count() const { return FItems.size(); }
  bool Empty() const { return FItems.empty(); }
  const TItem& operator[](size_t index) const { return FItems[index]; }
  void Clear();

 private:
  // The slot of the folded key: the one holding it, or the free one where it belongs.
  size_t SlotOf(std::string_view folded, uint64_t hash) const;
  std::string_view FoldedKey(size_t index) const;
  void Grow();

  std::vector<TItem> FItems;
  // Each item's folded key, one after another in one buffer (the folded key stays when a
  // newer version brings another spelling), and its hash.
  std::string FFolded;
  std::vector<size_t> FFoldedEnds;
  std::vector<uint64_t> FHashes;
  // Open addressing: position in FItems + 1, 0 for a free slot; at most half full.
  std::vector<uint32_t> FSlots;
};

// The schedule mode's search: which sets, which drive folders, which day, and what the
// caller wants told. Shared by the restore and the mount, so both choose the same versions.
struct TScheduleSearch {
  std::string Folder;  // the backup folder
  std::string SetMask = "*.*";
  std::string DriveMask;  // empty: the sets hold the tree directly
  int64_t Bound = 0;      // versions last written before this Unix time
  bool Unpack = true;
  const TPathFilter* Filter = nullptr;  // none: every key
  // A folder that cannot be listed or an item that is no file (raw error value).
  std::function<void(const std::string& path, const TErrorCode& code)> OnError;
  // Asked before each entry, and before each set or drive folder; false ends the search.
  std::function<bool()> KeepGoing;
  std::function<bool()> NextFolder;
};

// Offers every version the search finds to out (newest of equal keys wins, see Offer).
void CollectScheduleVersions(const TScheduleSearch& search, TVersionList& out);

// The end of a day (number from 1899-12-30) as Unix seconds: 24:00 UTC. 64 bits: days before
// 1970 and after 2106 are bounds like any other.
inline int64_t ScheduleDayBound(int dayNumber) { return (static_cast<int64_t>(dayNumber) + 1 - 25569) * 86400; }

// Folds a key for the case-insensitive comparison (FoldCase).
std::string FoldKey(const std::string& key);

// How a version of a file is stored.
enum class TVersionKind : uint8_t { vkPlain, vkGz, vkGze, vkEnc };
using enum TVersionKind;
const char* VersionKindName(TVersionKind kind);  // "plain", "gz", "gze", "enc"

struct TVersionEntry {
  int64_t UnixTime = 0;  // last write of the backup file, whole seconds UTC
  int64_t Size = -1;     // restored size; -1 when it cannot be known without the password
  TVersionKind Kind = vkPlain;
  std::string Path;      // the backup file
  std::string Set;       // its set folder
};

// Every copy of relPath across the backup sets of folder, found by the schedule mode's
// rules (sets matching setMask, hidden sets left out, drive folders matching driveMask when
// it is not empty) and keyed as it keys (case ignored, .gz/.gze/.enc dropped), newest first;
// equal times keep the order in which the sets are listed. unlisted receives the folders on
// the way that could not be listed.
std::vector<TVersionEntry> FindVersions(const std::string& folder, const std::string& relPath,
                                        const std::string& setMask, const std::string& driveMask,
                                        bool unpackGz = true, std::vector<std::string>* unlisted = nullptr);

}  // namespace qv
