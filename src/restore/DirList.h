#pragma once
// A folder listing for the restore walks: names sorted, symbolic links reported as such
// (never entered; what they point to is noted), and, when asked, each file's last-write time.
// The walks list a folder through its open handle, so their depth is not bounded by the
// length of a path.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct TDirEntry {
  enum TType : uint8_t { deFile, deFolder, deLink, deOther };
  std::string Name;
  TType Type = deOther;
  TType LinkTarget = deOther;  // links: the kind of what it leads to
  bool Dangling = false;       // links: leads nowhere
  int64_t UnixTime = 0;  // last write, rounded to whole seconds (only with times; links: the target's)
  int64_t Size = -1;     // regular files (and links to one) with ldFileSizes; -1 not known
  dev_t Device = 0;      // folders only
  ino_t Inode = 0;       // folders only
};
using TDirListing = std::vector<TDirEntry>;

// An open folder handle, closed with the object.
class TDirHandle {
 public:
  TDirHandle() = default;
  explicit TDirHandle(int fd) : FFd(fd) {}
  ~TDirHandle();
  TDirHandle(TDirHandle&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  TDirHandle& operator=(TDirHandle&& other) noexcept;
  TDirHandle(const TDirHandle&) = delete;
  TDirHandle& operator=(const TDirHandle&) = delete;
  int Fd() const { return FFd; }
  bool Valid() const { return FFd >= 0; }

 private:
  int FFd = -1;
};

// Opens a folder (parent -1: a path) without following a final symbolic link.
TDirHandle OpenFolder(int parent, const std::string& name);
// Opens the folder name below parent, creating it first when it is missing; made (when given)
// tells whether this call made it.
TDirHandle OpenOrMakeFolder(int parent, const std::string& name, bool* made = nullptr);

// What a listing finds out beyond names and kinds; each costs a system call per entry.
enum TListDetails : unsigned {
  ldFileTimes = 1,  // files: their last-write time
  ldFolderIds = 2,  // folders: their device and inode (and time)
  ldFileSizes = 4,  // files and the files links lead to: their size and last-write time
};

// Lists folder without "." and ".."; a folder that cannot be read gives an empty listing
// and, when ok is given, false in it. withTimes adds the files' times to the folders' ids.
TDirListing ListDirectory(const std::string& folder, bool withTimes = false, bool* ok = nullptr);
TDirListing ListDirectory(const TDirHandle& folder, bool withTimes = false, bool* ok = nullptr);
// The same with the details (TListDetails) that the caller needs; 0 for names and kinds only.
TDirListing ListDirectory(const TDirHandle& folder, unsigned details, bool* ok);
TDirListing ListDirectory(const std::string& folder, unsigned details, bool* ok);

// Folders directly below parent whose names match the pattern (MatchesMask); hidden ones
// (names beginning with ".") left out. Sorted by name.
std::vector<std::string> MatchingFolders(const std::string& parent, const std::string& pattern,
                                         bool* ok = nullptr);

// A path by which the file name inside the open folder can be reached: the full path as it
// is while it fits the system's limit, else one through the folder's handle.
std::string AccessPath(const TDirHandle& folder, const std::string& fullPath, const std::string& name);

// The same for a folder into which names of up to 255 bytes are written.
std::string FolderAccessPath(const TDirHandle& folder, const std::string& fullPath);

// Rounds a modification time to whole Unix seconds, as the restore compares times.
int64_t RoundedUnixSeconds(const struct timespec& ts);

}  // namespace qv
