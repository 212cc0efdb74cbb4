// SPDX-License-Identifier: Apache-2.0
#pragma once
// A folder listing for the restore walks: names sorted, symbolic links reported as such
// (never entered; what they point to is noted), and, when asked, each file's last-write time.
// The walks list a folder through its open handle, so their depth is not bounded by the
// length of a path.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>
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

// Another handle of the same open folder (invalid when folder is or none is left).
TDirHandle DuplicateFolder(const TDirHandle& folder);

// Which folder a handle refers to.
struct TFolderId {
  dev_t Device = 0;
  ino_t Inode = 0;
  bool operator==(const TFolderId&) const = default;
};
struct TFolderIdHash {
  size_t operator()(const TFolderId& id) const noexcept { return std::hash<ino_t>()(id.Inode) ^ (id.Device << 1); }
};
// false when the handle is invalid or cannot be asked.
bool IdentifyFolder(const TDirHandle& folder, TFolderId& id);

// The open folders of a walk from its top folder down to the one it is in, with a bounded
// number of handles however deep it goes: the upper CKeptLevels stay open, a deeper folder is
// closed while the walk is two levels below it and reopened on the way back through its
// child's ".." (constant per level), taken only when it is still the folder that was left
// (else by name from the nearest open one above, each step checked the same way). A level
// may hold no handle (a target folder that is not there in a dry run); none below it does.
class TFolderChain {
 public:
  static constexpr size_t CKeptLevels = 16;
  explicit TFolderChain(TDirHandle top);
  // Goes down into child, just opened by name below Current(); false (and nothing entered)
  // when it is the current folder or one above it: a circle.
  bool Enter(TDirHandle child, std::string name);
  // Goes back up to the parent; false when the parent cannot be had again as the same folder
  // (it was moved or replaced meanwhile): Current() is invalid then.
  bool Leave();
  const TDirHandle& Current() const { return FLevels.back().Handle; }
  std::optional<TFolderId> CurrentId() const;
  size_t Depth() const { return FLevels.size() - 1; }

 private:
  struct TLevel {
    TDirHandle Handle;
    TFolderId Id;
    std::string Name;
    bool Known = false;   // Id was taken from the open handle
    bool Closed = false;  // closed while below it; Id says what to find again
    bool Lost = false;    // could not be found again
  };
  void CloseAboveKept();
  bool Reopen(size_t level);
  bool ReopenByName(size_t level);
  std::vector<TLevel> FLevels;
  std::unordered_set<TFolderId, TFolderIdHash> FAbove;  // every known level's folder
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
