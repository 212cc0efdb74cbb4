// SPDX-License-Identifier: Apache-2.0
#include "transfer/FilePropUtils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <cerrno>
#include <ctime>

#include "base/FileUtils.h"
#include "base/TimeUtils.h"

namespace qv {

namespace {

constexpr int64_t kOneDay = 86'400 * FileTimeTicksPerSecond;
constexpr const char* kUserPrefix = "user.";
// Identifies the one property set that carries the "user." extended attributes.
constexpr std::array<uint8_t, 16> kUserAttributesSet = {0x71, 0x76, 0x2d, 0x75, 0x73, 0x65,
                                                        0x72, 0x2d, 0x78, 0x61, 0x74, 0x74,
                                                        0x72, 0x00, 0x00, 0x01};

TFileTime StatxToFileTime(const struct statx_timestamp& t) {
  return FileTimeFromTimespec(timespec{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)});
}

TFileTime NowFileTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return FileTimeFromTimespec(now);
}

int SetTimes(const std::string& FileName, const timespec times[2], bool AFollowLink) {
  const int flags = AFollowLink ? 0 : AT_SYMLINK_NOFOLLOW;
  return utimensat(AT_FDCWD, FileName.c_str(), times, flags) == 0 ? 0 : errno;
}

// Reads one attribute's value; false when it vanished or cannot be read.
bool ReadAttribute(const std::string& FileName, const std::string& Name, std::string& Value) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = getxattr(FileName.c_str(), Name.c_str(), nullptr, 0);
    if (size < 0) return false;
    Value.resize(static_cast<size_t>(size));
    const ssize_t got = getxattr(FileName.c_str(), Name.c_str(), Value.data(), Value.size());
    if (got >= 0) {
      Value.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;  // ERANGE: it grew meanwhile, ask again
  }
  return false;
}

bool ListAttributes(const std::string& FileName, std::string& Names) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = listxattr(FileName.c_str(), nullptr, 0);
    if (size < 0) return false;
    Names.resize(static_cast<size_t>(size));
    const ssize_t got = listxattr(FileName.c_str(), Names.data(), Names.size());
    if (got >= 0) {
      Names.resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE) return false;
  }
  return false;
}

// The access and modification times to set, after the guard against future times.
void TimesToSet(const TFileTimestamps& Times, bool ACheckTime, bool ASetAll, timespec times[2]) {
  // The guard compares true UTC instants and substitutes the true current time, so a
  // restored file never receives a time shifted by the local zone offset.
  const TFileTime now = NowFileTime();
  TFileTime access = now;
  TFileTime write = now;
  if (Times.Valid) {
    access = Times.LastAccessTime;
    write = Times.LastWriteTime;
    if (ACheckTime) {
      if (access > now + kOneDay) access = now;
      if (write > now + kOneDay) write = now;
    }
  }
  if (ASetAll) {
    times[0] = TimespecFromFileTime(access);
  } else {
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
  }
  times[1] = TimespecFromFileTime(write);
}

}  // namespace

// Without a birth time, the last status change stands in for it.
static void FillTimestamps(const struct statx& stx, TFileTimestamps& Times) {
  Times.Valid = true;
  Times.CreationTime = StatxToFileTime((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime);
  Times.LastAccessTime = StatxToFileTime(stx.stx_atime);
  Times.LastWriteTime = StatxToFileTime(stx.stx_mtime);
}

void GetFileTimestamps(const std::string& FileName, bool AFollowLink, TFileTimestamps& Times,
                       bool ADirectory) {
  Times = TFileTimestamps{};
  struct statx stx {};
  const int flags = AFollowLink ? 0 : AT_SYMLINK_NOFOLLOW;
  if (statx(AT_FDCWD, FileName.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) return;
  if (S_ISDIR(stx.stx_mode) != ADirectory) return;
  FillTimestamps(stx, Times);
}

int GetFileAttrTimestamps(const std::string& FileName, TFileTimestamps& Times) {
  Times = TFileTimestamps{};
  struct statx stx {};
  if (FileName.empty() ||
      statx(AT_FDCWD, FileName.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
    return -1;
  if (!S_ISDIR(stx.stx_mode)) FillTimestamps(stx, Times);
  return static_cast<int>(FileAttributes(FileName, stx.stx_mode));
}

int GetFileAttrTimestamps(int AHandle, const std::string& FileName, TFileTimestamps& Times,
                          struct stat& AStat) {
  Times = TFileTimestamps{};
  struct statx stx {};
  if (statx(AHandle, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) return -1;
  if (!S_ISDIR(stx.stx_mode)) FillTimestamps(stx, Times);
  AStat = {};
  AStat.st_dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  AStat.st_ino = stx.stx_ino;
  AStat.st_mode = stx.stx_mode;
  AStat.st_nlink = stx.stx_nlink;
  AStat.st_uid = stx.stx_uid;
  AStat.st_gid = stx.stx_gid;
  AStat.st_size = static_cast<off_t>(stx.stx_size);
  AStat.st_blksize = static_cast<blksize_t>(stx.stx_blksize);
  AStat.st_blocks = static_cast<blkcnt_t>(stx.stx_blocks);
  AStat.st_mtim = {static_cast<time_t>(stx.stx_mtime.tv_sec), static_cast<long>(stx.stx_mtime.tv_nsec)};
  return static_cast<int>(FileAttributes(FileName, stx.stx_mode));
}

TFileTimestamps GetFileTimestamps(const std::string& FileName, bool AFollowLink, bool ADirectory) {
  TFileTimestamps times;
  GetFileTimestamps(FileName, AFollowLink, times, ADirectory);
  return times;
}

int SetFileTimestamps(const std::string& FileName, const TFileTimestamps& Times, bool ACheckTime,
                      bool ASetAll, bool AFollowLink) {
  timespec times[2];
  TimesToSet(Times, ACheckTime, ASetAll, times);
  return SetTimes(FileName, times, AFollowLink);
}

int SetFileTimestamps(int AHandle, const TFileTimestamps& Times, bool ACheckTime, bool ASetAll) {
  timespec times[2];
  TimesToSet(Times, ACheckTime, ASetAll, times);
#ifdef _WIN32
  // Windows can set the creation time too: "all three" are all three there.
  if (ASetAll && Times.Valid && Times.CreationTime != 0) {
    const timespec all[3] = {times[0], times[1], TimespecFromFileTime(Times.CreationTime)};
    return qv_futimens3(AHandle, all) == 0 ? 0 : errno;
  }
#endif
  return ::futimens(AHandle, times) == 0 ? 0 : errno;
}

int SetFileDosTime(const std::string& FileName, uint32_t ADosTime, bool AFollowLink) {
  const int64_t seconds = DosTimeToUnixSeconds(ADosTime);
  if (seconds == 0) return EINVAL;  // fields out of range, or a local time that does not exist
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = 0;
  return SetTimes(FileName, times, AFollowLink);
}

int CopyFilePermissions(const std::string& SourceName, const std::string& DestName) {
  struct stat st {};
  if (stat(SourceName.c_str(), &st) != 0) return errno;
  if (fchmodat(AT_FDCWD, DestName.c_str(), st.st_mode & 07777, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  return 0;
}

bool ReadFileSummary(const std::string& FileName, TFileSummary& Summary) {
  Summary.clear();
  std::string names;
  if (!ListAttributes(FileName, names)) return false;
  TFilePropertySet set;
  set.FormatId = kUserAttributesSet;
  uint32_t nextId = 2;  // identifiers of named properties start at 2
  for (size_t pos = 0; pos < names.size();) {
    const size_t end = names.find('\0', pos);
    const std::string name = names.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? names.size() : end + 1;
    if (name.rfind(kUserPrefix, 0) != 0) continue;
    TFileProperty prop;
    prop.PropId = nextId++;
    prop.Name = name;
    if (!ReadAttribute(FileName, name, prop.Value)) prop.Value.clear();  // stored as empty
    set.PropArray.push_back(std::move(prop));
  }
  if (!set.PropArray.empty()) Summary.push_back(std::move(set));
  return true;
}

bool WriteFileSummary(const std::string& FileName, const TFileSummary& Summary) {
  if (Summary.empty()) return true;
  bool lastOutcome = false;
  for (const auto& set : Summary) {
    bool ok = true;
    for (const auto& prop : set.PropArray) {
      // Only user attributes are ever written; anything else would need privileges or
      // change the file's security.
      if (prop.Name.rfind(kUserPrefix, 0) != 0) {
        ok = false;
        continue;
      }
      if (lsetxattr(FileName.c_str(), prop.Name.c_str(), prop.Value.data(), prop.Value.size(), 0) != 0)
        ok = false;
    }
    lastOutcome = ok;
  }
  return lastOutcome;
}

}  // namespace qv
