// SPDX-License-Identifier: Apache-2.0
#include "restore/DirList.h"

#include <dirent.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#include <cerrno>

#include "base/TimeUtils.h"
#include "restore/RestoreSession.h"

namespace qv {

int64_t RoundedUnixSeconds(const struct timespec& ts) {
  return FileTimeToUnixSeconds(FileTimeFromTimespec(ts));
}

TDirHandle::~TDirHandle() {
  if (FFd >= 0) ::close(FFd);
}

TDirHandle& TDirHandle::operator=(TDirHandle&& other) noexcept {
  if (this != &other) {
    if (FFd >= 0) ::close(FFd);
    FFd = other.FFd;
    other.FFd = -1;
  }
  return *this;
}

TDirHandle DuplicateFolder(const TDirHandle& folder) {
  return TDirHandle(folder.Valid() ? ::fcntl(folder.Fd(), F_DUPFD_CLOEXEC, 0) : -1);
}

bool IdentifyFolder(const TDirHandle& folder, TFolderId& id) {
  struct stat st {};
  if (!folder.Valid() || ::fstat(folder.Fd(), &st) != 0) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

TFolderChain::TFolderChain(TDirHandle top) {
  TLevel level;
  level.Handle = std::move(top);
  level.Known = IdentifyFolder(level.Handle, level.Id);
  if (level.Known) FAbove.insert(level.Id);
  FLevels.push_back(std::move(level));
}

bool TFolderChain::Enter(TDirHandle child, std::string name) {
  TLevel level;
  level.Handle = std::move(child);
  level.Name = std::move(name);
  level.Known = IdentifyFolder(level.Handle, level.Id);
  if (level.Known && !FAbove.insert(level.Id).second) return false;
  FLevels.push_back(std::move(level));
  CloseAboveKept();
  return true;
}

std::optional<TFolderId> TFolderChain::CurrentId() const {
  if (!FLevels.back().Known) return std::nullopt;
  return FLevels.back().Id;
}

// A deep folder is not needed while the walk is in its grandchild: its handle goes. The
// parent stays, so a folder just entered is left again without reopening anything.
void TFolderChain::CloseAboveKept() {
  if (FLevels.size() < 3) return;
  const size_t index = FLevels.size() - 3;
  TLevel& level = FLevels[index];
  if (index < CKeptLevels || !level.Known || !level.Handle.Valid() || !FLevels[index + 1].Handle.Valid()) return;
  level.Handle = TDirHandle();
  level.Closed = true;
}

bool TFolderChain::Leave() {
  if (FLevels.size() < 2) return false;
  const size_t parentIndex = FLevels.size() - 2;
  const bool back = FLevels[parentIndex].Closed ? Reopen(parentIndex) : !FLevels[parentIndex].Lost;
  if (FLevels.back().Known) FAbove.erase(FLevels.back().Id);
  FLevels.pop_back();
  return back;
}

// Through the child's "..": the parent it is in now, taken when that is the folder left.
bool TFolderChain::Reopen(size_t level) {
  TLevel& parent = FLevels[level];
  const TDirHandle& child = FLevels[level + 1].Handle;
  if (child.Valid()) {
    TDirHandle up(::openat(child.Fd(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TFolderId id;
    if (IdentifyFolder(up, id) && id == parent.Id) {
      parent.Handle = std::move(up);
      parent.Closed = false;
      return true;
    }
  }
  // The child was moved away (or lost): the parent may still be where it was.
  return ReopenByName(level);
}

// Down by name from the nearest open folder above, each one checked to be the folder left.
bool TFolderChain::ReopenByName(size_t level) {
  size_t open = level;
  while (open > 0 && !FLevels[open - 1].Handle.Valid()) --open;
  if (open == 0) open = 1;  // the top never closes; an invalid top has nothing closed below it
  TDirHandle folder;
  for (size_t k = open; k <= level; ++k) {
    const TLevel& step = FLevels[k];
    const int base = k == open ? FLevels[k - 1].Handle.Fd() : folder.Fd();
    TDirHandle next = step.Closed && base >= 0 ? OpenFolder(base, step.Name) : TDirHandle();
    TFolderId id;
    if (!IdentifyFolder(next, id) || id != step.Id) {
      for (size_t lost = k; lost <= level; ++lost) {
        FLevels[lost].Handle = TDirHandle();
        FLevels[lost].Closed = false;
        FLevels[lost].Lost = true;
      }
      return false;
    }
    folder = std::move(next);
  }
  FLevels[level].Handle = std::move(folder);
  FLevels[level].Closed = false;
  return true;
}

TDirHandle OpenFolder(int parent, const std::string& name) {
  constexpr int CFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  return TDirHandle(::openat(parent < 0 ? AT_FDCWD : parent, name.empty() ? "." : name.c_str(), CFlags));
}

TDirHandle OpenOrMakeFolder(int parent, const std::string& name, bool* made) {
  if (made != nullptr) *made = false;
  TDirHandle folder = OpenFolder(parent, name);
  if (folder.Valid() || errno != ENOENT) return folder;
  const bool madeHere = ::mkdirat(parent < 0 ? AT_FDCWD : parent, name.c_str(), 0777) == 0;
  if (!madeHere && errno != EEXIST) return folder;
  folder = OpenFolder(parent, name);
  if (made != nullptr) *made = madeHere && folder.Valid();
  return folder;
}

namespace {

TDirEntry::TType TypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TDirEntry::deFile;
  if (S_ISDIR(mode)) return TDirEntry::deFolder;
  if (S_ISLNK(mode)) return TDirEntry::deLink;
  return TDirEntry::deOther;
}

TDirEntry::TType TypeOfDirent(unsigned char type) {
  switch (type) {
    case DT_REG: return TDirEntry::deFile;
    case DT_DIR: return TDirEntry::deFolder;
    case DT_LNK: return TDirEntry::deLink;
    default: return TDirEntry::deOther;
  }
}

int64_t StatxUnixSeconds(const struct statx_timestamp& t) {
  return qv::RoundedUnixSeconds(timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)});
}

// Asks only for what the listing needs: the kernel may then skip the rest.
bool StatEntry(int fd, const char* name, bool follow, unsigned mask, struct statx& st) {
  const int flags = AT_STATX_SYNC_AS_STAT | (follow ? 0 : AT_SYMLINK_NOFOLLOW);
  return ::statx(fd, name, flags, mask | STATX_TYPE, &st) == 0 && (st.stx_mask & STATX_TYPE) != 0;
}

// Completes one entry from its directory record; false when it vanished meanwhile.
bool DescribeEntry(int fd, const char* name, unsigned char direntType, unsigned details, TDirEntry& entry) {
  entry.Type = TypeOfDirent(direntType);
  const bool wantIds = (details & ldFolderIds) != 0 && entry.Type == TDirEntry::deFolder;
  const bool wantTime = (details & (ldFileTimes | ldFileSizes)) != 0 && entry.Type == TDirEntry::deFile;
  const bool wantSize = (details & ldFileSizes) != 0;
  const unsigned sizeMask = wantSize ? STATX_SIZE : 0u;
  if (direntType == DT_UNKNOWN || wantIds || wantTime) {
    struct statx st {};
    if (!StatEntry(fd, name, false, STATX_MTIME | STATX_INO | sizeMask, st)) return false;
    entry.Type = TypeOfMode(st.stx_mode);
    entry.UnixTime = StatxUnixSeconds(st.stx_mtime);
    entry.Device = makedev(st.stx_dev_major, st.stx_dev_minor);
    entry.Inode = st.stx_ino;
    if (wantSize && entry.Type == TDirEntry::deFile) entry.Size = static_cast<int64_t>(st.stx_size);
  }
  if (entry.Type == TDirEntry::deLink) {
    struct statx st {};
    if (!StatEntry(fd, name, true, STATX_MTIME | sizeMask, st)) {
      entry.Dangling = true;
    } else {
      entry.LinkTarget = TypeOfMode(st.stx_mode);
      entry.UnixTime = StatxUnixSeconds(st.stx_mtime);
      if (wantSize && entry.LinkTarget == TDirEntry::deFile) entry.Size = static_cast<int64_t>(st.stx_size);
    }
  }
  return true;
}

// Lists the open folder from its start with large reads of its records. The records land
// in one buffer per thread: a listing is complete before the walk goes deeper.
bool ListFolderFd(int fd, unsigned details, TDirListing& result) {
  constexpr size_t BufferSize = 64 * 1024;
  thread_local std::vector<char> buffer(BufferSize);
  if (::lseek(fd, 0, SEEK_SET) != 0) return false;
  for (;;) {
    const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0) break;
    for (ssize_t pos = 0; pos < n;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buffer.data() + pos);
      pos += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      TDirEntry entry;
      if (!DescribeEntry(fd, name, d->d_type, details, entry)) continue;
      entry.Name = name;
      result.push_back(std::move(entry));
    }
  }
  std::sort(result.begin(), result.end(), [](const TDirEntry& a, const TDirEntry& b) { return a.Name < b.Name; });
  return true;
}

TDirListing Listed(bool listed, TDirListing listing, bool* ok) {
  if (ok != nullptr) *ok = listed;
  if (!listed) listing.clear();
  return listing;
}

// What the two older forms of ListDirectory asked for.
unsigned DetailsOf(bool withTimes) { return withTimes ? ldFileTimes | ldFolderIds : unsigned{ldFolderIds}; }

}  // namespace

TDirListing ListDirectory(const std::string& folder, bool withTimes, bool* ok) {
  return ListDirectory(folder, DetailsOf(withTimes), ok);
}

TDirListing ListDirectory(const std::string& folder, unsigned details, bool* ok) {
  // A path given follows a final link, as opening it by name always did.
  const TDirHandle dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return ListDirectory(dir, details, ok);
}

TDirListing ListDirectory(const TDirHandle& folder, bool withTimes, bool* ok) {
  return ListDirectory(folder, DetailsOf(withTimes), ok);
}

TDirListing ListDirectory(const TDirHandle& folder, unsigned details, bool* ok) {
  TDirListing listing;
  const bool listed = folder.Valid() && ListFolderFd(folder.Fd(), details, listing);
  return Listed(listed, std::move(listing), ok);
}

std::vector<std::string> MatchingFolders(const std::string& parent, const std::string& pattern, bool* ok) {
  std::vector<std::string> names;
  for (const TDirEntry& e : ListDirectory(parent, 0u, ok)) {
    if (e.Type != TDirEntry::deFolder || e.Name.front() == '.') continue;
    if (MatchesMask(e.Name, pattern)) names.push_back(e.Name);
  }
  return names;
}

namespace {

// Room for the temporary name a worker puts beside its target.
constexpr size_t CRoom = 64;

std::string HandlePath(const TDirHandle& folder) { return "/proc/self/fd/" + std::to_string(folder.Fd()); }

}  // namespace

std::string AccessPath(const TDirHandle& folder, const std::string& fullPath, const std::string& name) {
  if (fullPath.size() + CRoom < PATH_MAX || !folder.Valid()) return fullPath;
  return HandlePath(folder) + "/" + name;
}

std::string FolderAccessPath(const TDirHandle& folder, const std::string& fullPath) {
  if (fullPath.size() + 256 + CRoom < PATH_MAX || !folder.Valid()) return fullPath;
  return HandlePath(folder);
}

}  // namespace qv
