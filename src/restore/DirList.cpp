#include "restore/DirList.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

TDirHandle OpenFolder(int parent, const std::string& name) {
  constexpr int CFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  return TDirHandle(::openat(parent < 0 ? AT_FDCWD : parent, name.empty() ? "." : name.c_str(), CFlags));
}

TDirHandle OpenOrMakeFolder(int parent, const std::string& name) {
  TDirHandle folder = OpenFolder(parent, name);
  if (folder.Valid() || errno != ENOENT) return folder;
  if (::mkdirat(parent < 0 ? AT_FDCWD : parent, name.c_str(), 0777) != 0 && errno != EEXIST) return folder;
  return OpenFolder(parent, name);
}

namespace {

TDirEntry::TType TypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TDirEntry::deFile;
  if (S_ISDIR(mode)) return TDirEntry::deFolder;
  if (S_ISLNK(mode)) return TDirEntry::deLink;
  return TDirEntry::deOther;
}

// Lists the stream; it owns its handle and closes it.
TDirListing ListStream(DIR* dir, bool withTimes) {
  TDirListing result;
  const int fd = ::dirfd(dir);
  while (const dirent* d = ::readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    TDirEntry entry;
    entry.Name = name;
    switch (d->d_type) {
      case DT_REG: entry.Type = TDirEntry::deFile; break;
      case DT_DIR: entry.Type = TDirEntry::deFolder; break;
      case DT_LNK: entry.Type = TDirEntry::deLink; break;
      default: entry.Type = TDirEntry::deOther; break;
    }
    const bool needStat = d->d_type == DT_UNKNOWN || entry.Type == TDirEntry::deFolder ||
                          (withTimes && entry.Type == TDirEntry::deFile);
    if (needStat) {
      struct stat st {};
      if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      entry.Type = TypeOfMode(st.st_mode);
      entry.UnixTime = RoundedUnixSeconds(st.st_mtim);
      entry.Device = st.st_dev;
      entry.Inode = st.st_ino;
    }
    if (entry.Type == TDirEntry::deLink) {
      struct stat st {};
      if (::fstatat(fd, d->d_name, &st, 0) != 0) {
        entry.Dangling = true;
      } else {
        entry.LinkTarget = TypeOfMode(st.st_mode);
        entry.UnixTime = RoundedUnixSeconds(st.st_mtim);
      }
    }
    result.push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(result.begin(), result.end(),
            [](const TDirEntry& a, const TDirEntry& b) { return a.Name < b.Name; });
  return result;
}

}  // namespace

TDirListing ListDirectory(const std::string& folder, bool withTimes, bool* ok) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (ok != nullptr) *ok = dir != nullptr;
  if (dir == nullptr) return {};
  return ListStream(dir, withTimes);
}

TDirListing ListDirectory(const TDirHandle& folder, bool withTimes, bool* ok) {
  // The stream takes a handle of its own: the caller's stays open for openat.
  const int fd = folder.Valid() ? ::fcntl(folder.Fd(), F_DUPFD_CLOEXEC, 0) : -1;
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr && fd >= 0) ::close(fd);
  if (ok != nullptr) *ok = dir != nullptr;
  if (dir == nullptr) return {};
  ::rewinddir(dir);
  return ListStream(dir, withTimes);
}

std::vector<std::string> MatchingFolders(const std::string& parent, const std::string& pattern, bool* ok) {
  std::vector<std::string> names;
  for (const TDirEntry& e : ListDirectory(parent, false, ok)) {
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
