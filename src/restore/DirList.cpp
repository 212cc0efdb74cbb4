#include "restore/DirList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "base/TimeUtils.h"

namespace qv {

int64_t RoundedUnixSeconds(const struct timespec& ts) {
  return FileTimeToUnixSeconds(FileTimeFromTimespec(ts));
}

namespace {

TDirEntry::TType TypeOfMode(mode_t mode) {
  if (S_ISREG(mode)) return TDirEntry::deFile;
  if (S_ISDIR(mode)) return TDirEntry::deFolder;
  if (S_ISLNK(mode)) return TDirEntry::deLink;
  return TDirEntry::deOther;
}

}  // namespace

TDirListing ListDirectory(const std::string& folder, bool withTimes) {
  TDirListing result;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return result;
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
    result.push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(result.begin(), result.end(),
            [](const TDirEntry& a, const TDirEntry& b) { return a.Name < b.Name; });
  return result;
}

}  // namespace qv
