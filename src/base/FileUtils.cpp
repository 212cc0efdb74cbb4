// SPDX-License-Identifier: Apache-2.0
#include "base/FileUtils.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <vector>

#include "base/PathUtils.h"

namespace qv {
namespace {

// The last name of a path; a trailing "/" does not count.
std::string BaseName(const std::string& path) {
  return ExtractFileName(ExcludeTrailingDelimiter(path));
}

bool QueryStat(const std::string& path, bool followLink, struct stat& st) {
  if (path.empty()) return false;
  return (followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) == 0;
}

uint32_t AttributesOf(const std::string& path, mode_t mode) {
#ifdef _WIN32
  // Windows keeps the attribute word itself (hidden, system, archive as the file has them).
  if (const long own = qv_path_attributes(path.c_str()); own >= 0) {
    uint32_t attr = static_cast<uint32_t>(own) & 0xFFFF;
    if (S_ISLNK(mode)) attr |= faSymLink;
    return attr == 0 ? faNormal : attr;
  }
#endif
  uint32_t attr = 0;
  if (S_ISDIR(mode)) attr |= faDirectory;
  if (S_ISLNK(mode)) attr |= faSymLink;
  if (S_ISREG(mode)) attr |= faArchive;
  if (!S_ISLNK(mode) && (mode & S_IWUSR) == 0) attr |= faReadOnly;
  const std::string name = BaseName(path);
  if (name.size() > 1 && name[0] == '.' && name != "..") attr |= faHidden;
  return attr == 0 ? faNormal : attr;
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos < path.size()) {
    const size_t next = path.find('/', pos);
    const size_t end = (next == std::string::npos) ? path.size() : next;
    if (end > pos) parts.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

}  // namespace

bool LongForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string current = (path[0] == '/') ? "/" : "";
  for (const std::string& part : SplitComponents(path)) {
    current += part;
    if (::mkdir(current.c_str(), 0777) != 0 && errno != EEXIST) return false;
    current += '/';
  }
  return LongDirectoryExists(path);
}

bool LongDirectoryExists(const std::string& path, bool followLink) {
  struct stat st{};
  return QueryStat(path, followLink, st) && S_ISDIR(st.st_mode);
}

bool LongFileExists(const std::string& path, bool followLink) {
  struct stat st{};
  return QueryStat(path, followLink, st) && !S_ISDIR(st.st_mode);
}

uint32_t FileAttributes(const std::string& path, unsigned mode) {
  return AttributesOf(path, static_cast<mode_t>(mode));
}

int LongFileGetAttr(const std::string& path, bool followLink) {
  struct stat st{};
  if (!QueryStat(path, followLink, st)) return -1;
  return static_cast<int>(AttributesOf(path, st.st_mode));
}

int LongFileSetAttr(const std::string& path, int attributes, bool followLink) {
  struct stat st{};
  if (!QueryStat(path, followLink, st)) return errno ? errno : ENOENT;
#ifdef _WIN32
  // The word as given: read-only, hidden, system, archive (links keep theirs).
  if (S_ISLNK(st.st_mode)) return 0;
  return qv_set_path_attributes(path.c_str(), static_cast<unsigned long>(attributes)) == 0 ? 0 : errno;
#endif
  // A link has no permissions of its own; the bits are accepted without effect.
  if (S_ISLNK(st.st_mode)) return 0;
  mode_t mode = st.st_mode & 07777;
  if (attributes & faReadOnly)
    mode &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    mode |= S_IWUSR;
  if (mode == (st.st_mode & 07777)) return 0;
  return ::chmod(path.c_str(), mode) == 0 ? 0 : errno;
}

bool FindFileOnly(const std::string& path, TSearchRec& findData) {
  if (path.empty()) return false;
  struct statx stx{};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
    return false;
  if (S_ISDIR(stx.stx_mode)) return false;
  findData.Name = BaseName(path);
  findData.Size = stx.stx_size;
  findData.Attr = AttributesOf(path, stx.stx_mode);
  auto toFileTime = [](const statx_timestamp& t) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t.tv_sec);
    ts.tv_nsec = static_cast<long>(t.tv_nsec);
    return FileTimeFromTimespec(ts);
  };
  findData.CreationTime = (stx.stx_mask & STATX_BTIME) ? toFileTime(stx.stx_btime) : 0;
  findData.LastAccessTime = toFileTime(stx.stx_atime);
  findData.LastWriteTime = toFileTime(stx.stx_mtime);
  return true;
}

TFileTime GetFileLastWrite(const std::string& path) {
  TSearchRec rec;
  return FindFileOnly(path, rec) ? rec.LastWriteTime : 0;
}

uint64_t GetFileSize64(const std::string& path) {
  TSearchRec rec;
  return FindFileOnly(path, rec) ? rec.Size : 0;
}

std::string GetSymLinkTarget(const std::string& path) {
  if (path.empty()) return {};
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                         &std::free);
  return resolved ? std::string(resolved.get()) : std::string();
}

bool IsLinkLoop(const std::string& path, bool followLink) {
  struct stat st{};
  if (!QueryStat(path, false, st) || !S_ISLNK(st.st_mode)) return false;
  if (!followLink) return true;
  const std::string target = GetSymLinkTarget(path);
  if (target.empty()) return true;  // dangling or circular: never to be entered
  // Where the link itself lives, with the folders above it resolved.
  const std::string parent = ExtractFilePath(ExcludeTrailingDelimiter(path));
  const std::string parentReal = GetSymLinkTarget(parent.empty() ? "." : parent);
  if (parentReal.empty()) return true;
  const auto linkParts = SplitComponents(parentReal + "/" + BaseName(path));
  const auto targetParts = SplitComponents(target);
  if (targetParts.size() > linkParts.size()) return false;
  for (size_t i = 0; i < targetParts.size(); ++i)
    if (targetParts[i] != linkParts[i]) return false;
  return true;
}

bool NotDotEntry(const std::string& name) { return name != "." && name != ".."; }

bool IsEmptyDirectory(const std::string& dir) {
  DirHandle d(::opendir(dir.c_str()));
  if (!d) return false;
  while (const dirent* e = ::readdir(d.get()))
    if (NotDotEntry(e->d_name)) return false;
  return true;
}

void DeleteDirectoryTree(const std::string& base, const std::string& sub, int& dirCount,
                         int& errorCount, int& fileCount) {
  const std::string folder = sub.empty() ? base : AddPathDelimiter(base) + sub;
  if (!LongDirectoryExists(folder, false)) return;
  const std::string prefix = AddPathDelimiter(folder);
  // A write-protected folder would keep its entries on this platform.
  LongFileSetAttr(folder, 0, false);

  std::vector<std::string> folders, files;
  {
    DirHandle d(::opendir(folder.c_str()));
    if (!d) {
      ++errorCount;
      return;
    }
    while (const dirent* e = ::readdir(d.get())) {
      if (!NotDotEntry(e->d_name)) continue;
      (LongDirectoryExists(prefix + e->d_name, false) ? folders : files).push_back(e->d_name);
    }
  }
  for (const std::string& name : folders)
    DeleteDirectoryTree(base, AddPathDelimiter(sub) + name, dirCount, errorCount, fileCount);
  bool allFilesGone = true;
  for (const std::string& name : files) {
    const std::string file = prefix + name;
    LongFileSetAttr(file, faArchive, false);
    if (::unlink(file.c_str()) == 0) {
      ++fileCount;
    } else {
      ++errorCount;
      allFilesGone = false;
    }
  }
  if (!allFilesGone) return;
  if (::rmdir(folder.c_str()) == 0)
    ++dirCount;
  else
    ++errorCount;
}

}  // namespace qv
