#pragma once
// A folder listing for the restore walks: names sorted, symbolic links reported as such
// (never followed), and, when asked, each file's last-write time.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct TDirEntry {
  enum TType : uint8_t { deFile, deFolder, deLink, deOther };
  std::string Name;
  TType Type = deOther;
  int64_t UnixTime = 0;  // last write, rounded to whole seconds (only with times)
  dev_t Device = 0;      // folders only
  ino_t Inode = 0;       // folders only
};
using TDirListing = std::vector<TDirEntry>;

// Lists folder without "." and ".."; a folder that cannot be read gives an empty listing.
TDirListing ListDirectory(const std::string& folder, bool withTimes = false);

// Rounds a modification time to whole Unix seconds, as the restore compares times.
int64_t RoundedUnixSeconds(const struct timespec& ts);

}  // namespace qv
