// SPDX-License-Identifier: Apache-2.0
// The Win32 platform layer (see PosixOnWin32.h): descriptor-relative file calls on NtCreateFile
// with the folder's handle as root, so a name below a folder is never looked up as path text.
#include "base/win32/PosixOnWin32.h"

#include <winternl.h>
#include <bcrypt.h>

#include <dirent.h>
#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#undef stat
#undef lstat
#undef fstat
#undef lseek
#undef chmod
#undef mkdir
#undef rmdir
#undef unlink
#undef access
#undef fcntl

#ifndef FILE_OPEN
#define FILE_SUPERSEDE 0
#define FILE_OPEN 1
#define FILE_CREATE 2
#define FILE_OVERWRITE 4
#endif
#ifndef FILE_NON_DIRECTORY_FILE
#define FILE_NON_DIRECTORY_FILE 0x40
#endif
#ifndef FILE_OPEN_FOR_BACKUP_INTENT
#define FILE_OPEN_FOR_BACKUP_INTENT 0x4000
#endif
#ifndef STATUS_OBJECT_NAME_COLLISION
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#endif
#define QV_STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#define QV_STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define QV_STATUS_OBJECT_PATH_NOT_FOUND ((NTSTATUS)0xC000003AL)
#define QV_STATUS_FILE_IS_A_DIRECTORY ((NTSTATUS)0xC00000BAL)
#define QV_STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define QV_STATUS_DIRECTORY_NOT_EMPTY ((NTSTATUS)0xC0000101L)
#define QV_STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define QV_STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define QV_STATUS_CANNOT_DELETE ((NTSTATUS)0xC0000121L)
#define QV_STATUS_NOT_SAME_DEVICE ((NTSTATUS)0xC00000D4L)
#define QV_STATUS_DISK_FULL ((NTSTATUS)0xC000007FL)
#define QV_STATUS_NAME_TOO_LONG ((NTSTATUS)0xC0000106L)
#define QV_STATUS_STOPPED_ON_SYMLINK ((NTSTATUS)0x8000002DL)
#define QV_STATUS_REPARSE_POINT_NOT_RESOLVED ((NTSTATUS)0xC0000280L)
#define QV_STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)

namespace {

constexpr int64_t CUnixEpoch = 116444736000000000LL;  // 1970-01-01 in 100 ns since 1601

struct TRenameInformation {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
};

int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_DELETE_PENDING: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return EEXIST;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW: return ENAMETOOLONG;
    case ERROR_DIRECTORY: return ENOTDIR;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_CANT_RESOLVE_FILENAME:
    case ERROR_CANT_ACCESS_FILE: return ELOOP;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION: return ENOTSUP;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_NO_MORE_FILES: return 0;
    default: return EIO;
  }
}

int ErrnoFromStatus(NTSTATUS status) {
  switch (status) {
    case QV_STATUS_FILE_IS_A_DIRECTORY: return EISDIR;
    case QV_STATUS_NOT_A_DIRECTORY: return ENOTDIR;
    case STATUS_OBJECT_NAME_COLLISION: return EEXIST;
    case QV_STATUS_DIRECTORY_NOT_EMPTY: return ENOTEMPTY;
    case QV_STATUS_OBJECT_NAME_INVALID:
    case QV_STATUS_OBJECT_NAME_NOT_FOUND:
    case QV_STATUS_OBJECT_PATH_NOT_FOUND:
    case QV_STATUS_DELETE_PENDING: return ENOENT;
    case QV_STATUS_ACCESS_DENIED:
    case QV_STATUS_CANNOT_DELETE:
    case QV_STATUS_SHARING_VIOLATION: return EACCES;
    case QV_STATUS_NOT_SAME_DEVICE: return EXDEV;
    case QV_STATUS_DISK_FULL: return ENOSPC;
    case QV_STATUS_NAME_TOO_LONG: return ENAMETOOLONG;
    case QV_STATUS_STOPPED_ON_SYMLINK:
    case QV_STATUS_REPARSE_POINT_NOT_RESOLVED: return ELOOP;
    default: return ErrnoFromWin32(RtlNtStatusToDosError(status));
  }
}

int Fail(int err) {
  errno = err;
  return -1;
}

int FailLast() { return Fail(ErrnoFromWin32(GetLastError())); }

// Why a name is refused: "." and ".." would leave or stay in the folder (EXDEV); any other
// is one Windows cannot hold as it is.
int FailName(const std::string& name) {
  return Fail(name.empty() || name == "." || name == ".." ? EXDEV : ENAMENOTHELD);
}

HANDLE HandleOf(int fd) {
  const intptr_t h = _get_osfhandle(fd);
  return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Folders whose listing starts again at its next read (lseek to 0 on a folder descriptor).
std::mutex GRestartLock;
std::unordered_set<HANDLE> GRestart;

bool IsLinkTag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

// A link or junction opened as itself.
bool HandleIsLink(HANDLE h, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) return true;
  return IsLinkTag(tag.ReparseTag);
}

timespec TimespecFromFileTime(const FILETIME& ft) {
  const int64_t t = (static_cast<int64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) - CUnixEpoch;
  int64_t sec = t / 10000000;
  int64_t rest = t % 10000000;
  if (rest < 0) {
    rest += 10000000;
    --sec;
  }
  return timespec{static_cast<time_t>(sec), static_cast<long>(rest * 100)};
}

int64_t FileTimeFromTimespec(const timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec) * 10000000 + ts.tv_nsec / 100 + CUnixEpoch;
}

int FillStat(HANDLE h, bool openedLink, struct qv_stat* st) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return FailLast();
  std::memset(st, 0, sizeof *st);
  const DWORD a = info.dwFileAttributes;
  mode_t mode;
  if (openedLink && HandleIsLink(h, a)) {
    mode = S_IFLNK | 0777;
  } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
    mode = S_IFDIR | 0755;
  } else if (GetFileType(h) == FILE_TYPE_CHAR) {
    mode = S_IFCHR | 0666;
  } else if (GetFileType(h) == FILE_TYPE_PIPE) {
    mode = _S_IFIFO | 0666;
  } else {
    mode = S_IFREG | ((a & FILE_ATTRIBUTE_READONLY) ? 0444 : 0644);
  }
  st->st_mode = mode;
  st->st_dev = info.dwVolumeSerialNumber;
  st->st_ino = static_cast<qv_ino_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  st->st_nlink = info.nNumberOfLinks;
  st->st_size = (a & FILE_ATTRIBUTE_DIRECTORY) ? 0 : static_cast<long long>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
  st->st_blksize = 4096;
  st->st_blocks = (st->st_size + 511) / 512;
  st->st_atim = TimespecFromFileTime(info.ftLastAccessTime);
  st->st_mtim = TimespecFromFileTime(info.ftLastWriteTime);
  st->st_ctim = st->st_mtim;
  st->st_birthtim = TimespecFromFileTime(info.ftCreationTime);
  st->st_attributes = a;
  return 0;
}

// The NT name of a path for a root-less open: \??\C:\... or \??\UNC\server\share\...
bool NtPathOf(const std::string& path, std::wstring& out) {
  std::wstring full = qv_wide_path(path);
  if (full.empty()) return false;
  if (full.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    out = L"\\??\\UNC\\" + full.substr(8);
  } else if (full.compare(0, 4, L"\\\\?\\") == 0) {
    out = L"\\??\\" + full.substr(4);
  } else {
    out = full;
  }
  return true;
}

// The folder path of an open handle, for the few calls that take none (links, "..").
std::wstring FinalPath(HANDLE h) {
  std::wstring buffer(1024, L'\0');
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (n == 0) return {};
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(n + 1);
  }
}

// Splits "/proc/self/fd/N/rest" (a walk's handle path) into the handle and the rest.
bool HandlePathOf(const char* name, HANDLE& root, std::string& rest) {
  static const char prefix[] = "/proc/self/fd/";
  if (std::strncmp(name, prefix, sizeof prefix - 1) != 0) return false;
  const char* p = name + sizeof prefix - 1;
  char* end = nullptr;
  const long fd = std::strtol(p, &end, 10);
  if (end == p) return false;
  root = HandleOf(static_cast<int>(fd));
  rest = *end == '/' ? end + 1 : end;
  return true;
}

bool IsAbsolute(const char* name) {
  return IsSeparator(static_cast<wchar_t>(name[0])) ||
         (std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':');
}

struct TOpenRequest {
  ACCESS_MASK Access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  ULONG Disposition = FILE_OPEN;
  ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT;
  ULONG Attributes = FILE_ATTRIBUTE_NORMAL;
  bool Creates = false;
};

// A handle closed when it goes out of scope.
struct TOwnedHandle {
  HANDLE Handle = INVALID_HANDLE_VALUE;
  TOwnedHandle() = default;
  TOwnedHandle(const TOwnedHandle&) = delete;
  TOwnedHandle& operator=(const TOwnedHandle&) = delete;
  ~TOwnedHandle() {
    if (Handle != INVALID_HANDLE_VALUE && Handle != nullptr) CloseHandle(Handle);
  }
};

// Where a relative open looked: the folder's handle and the name below it.
struct TLookup {
  HANDLE Root = nullptr;
  std::string Relative;
};

// Opens name below the folder dirfd (or a path) as asked; INVALID_HANDLE_VALUE with errno set.
HANDLE OpenRelative(int dirfd, const char* name, const TOpenRequest& request, TLookup* lookup = nullptr) {
  HANDLE root = nullptr;
  std::string relative;
  std::wstring ntName;
  TOwnedHandle parent;  // the folder of a path whose leaf is opened below it
  if (HandlePathOf(name, root, relative)) {
    if (root == INVALID_HANDLE_VALUE) return Fail(EBADF), INVALID_HANDLE_VALUE;
  } else if (dirfd == AT_FDCWD || IsAbsolute(name)) {
    const std::string path = *name ? name : ".";
    // A path's components are checked as any name below a folder: nothing Windows would
    // take for a device or trim.
    const char* leaf = path.c_str();
    for (const char* p = leaf; *p; ++p)
      if (*p == '/' || *p == '\\') leaf = p + 1;
    const bool drive = leaf == path.c_str() + 2 || (path.size() == 2 && path[1] == ':');  // "C:" or "C:/"
    const bool held = !*leaf || (drive && path[1] == ':') || qv_name_allowed(leaf);
    if (!held && request.Creates) return FailName(leaf), INVALID_HANDLE_VALUE;
    if (!held && std::strcmp(leaf, ".") != 0 && std::strcmp(leaf, "..") != 0 && leaf > path.c_str()) {
      // An existing item of such a name (on a share, or a Unix folder under Wine) is read by
      // its exact name below its folder: a path would take "CON" for the console, and lose
      // a trailing dot or space.
      TOpenRequest folder;
      folder.Options |= FILE_DIRECTORY_FILE;
      const std::string above(path.c_str(), leaf - 1 == path.c_str() ? leaf : leaf - 1);
      parent.Handle = OpenRelative(AT_FDCWD, above.c_str(), folder);
      if (parent.Handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
      root = parent.Handle;
      relative = leaf;
      lookup = nullptr;  // the folder is closed on return
    } else if (!NtPathOf(path, ntName)) {
      return Fail(ENOENT), INVALID_HANDLE_VALUE;
    }
  } else {
    root = HandleOf(dirfd);
    if (root == INVALID_HANDLE_VALUE) return Fail(EBADF), INVALID_HANDLE_VALUE;
    relative = name;
  }
  if (root != nullptr) {
    if (relative == "." ) relative.clear();
    if (relative == ".." || relative.rfind("../", 0) == 0) {
      // NT names below a root have no "..": the parent is found by the folder's own path.
      std::wstring self = FinalPath(root);
      if (self.empty()) return FailLast(), INVALID_HANDLE_VALUE;
      const size_t cut = self.find_last_of(L'\\');
      if (cut == std::wstring::npos || cut < 7) return Fail(ENOENT), INVALID_HANDLE_VALUE;
      std::string parent = qv_utf8(self.substr(0, cut));
      if (relative.size() > 3) parent += "/" + relative.substr(3);
      return OpenRelative(AT_FDCWD, parent.c_str(), request);
    }
    // Every component of a relative name must be one Windows holds as it is.
    size_t pos = 0;
    while (pos < relative.size()) {
      size_t end = relative.find('/', pos);
      if (end == std::string::npos) end = relative.size();
      const std::string part = relative.substr(pos, end - pos);
      // An existing item is opened by its name as it is (no device or trimming below a
      // folder's handle); a new one only under a name Windows holds.
      const bool readable = !part.empty() && part != "." && part != ".." && part.find('\\') == std::string::npos;
      if (!qv_name_allowed(part) && (request.Creates || !readable))
        return (request.Creates ? FailName(part) : Fail(ENOENT)), INVALID_HANDLE_VALUE;
      pos = end + 1;
    }
    ntName = qv_wide(relative);
    if (ntName.empty() && !relative.empty()) return Fail(ENOENT), INVALID_HANDLE_VALUE;
    std::replace(ntName.begin(), ntName.end(), L'/', L'\\');
  }
  UNICODE_STRING us;
  us.Buffer = ntName.data();
  us.Length = static_cast<USHORT>(ntName.size() * sizeof(wchar_t));
  us.MaximumLength = us.Length;
  if (ntName.size() * sizeof(wchar_t) > 0xFFF0) return Fail(ENAMETOOLONG), INVALID_HANDLE_VALUE;
  if (lookup) {
    lookup->Root = root;
    lookup->Relative = relative;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE, root, nullptr);
  IO_STATUS_BLOCK io{};
  HANDLE h = INVALID_HANDLE_VALUE;
  const NTSTATUS status =
      NtCreateFile(&h, request.Access, &attributes, &io, nullptr, request.Attributes,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, request.Disposition,
                   request.Options | FILE_OPEN_FOR_BACKUP_INTENT, nullptr, 0);
  if (status < 0) return Fail(ErrnoFromStatus(status)), INVALID_HANDLE_VALUE;
  return h;
}

// True when the item h, opened as one name below a folder, is not that folder's entry but
// what a link leads to: a link the system does not report as a reparse point (Wine shows a
// Unix symbolic link as the folder or file it leads to), told by the final paths.
bool Redirected(const TLookup& lookup, HANDLE h) {
  if (lookup.Root == nullptr || lookup.Relative.empty() || lookup.Relative.find('/') != std::string::npos)
    return false;
  const std::wstring parent = FinalPath(lookup.Root);
  const std::wstring self = FinalPath(h);
  if (parent.empty() || self.empty()) return false;
  const std::wstring expected = parent + (parent.back() == L'\\' ? L"" : L"\\") + qv_wide(lookup.Relative);
  return CompareStringOrdinal(expected.c_str(), static_cast<int>(expected.size()), self.c_str(),
                              static_cast<int>(self.size()), TRUE) != CSTR_EQUAL;
}

int AdoptHandle(HANDLE h, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), (flags & (O_WRONLY | O_RDWR | O_APPEND)) | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return Fail(EMFILE);
  }
  return fd;
}

int StatAt(int dirfd, const char* name, struct qv_stat* st, bool follow) {
  if (name == nullptr || *name == '\0') return Fail(ENOENT);
  TOpenRequest request;
  if (!follow) request.Options |= FILE_OPEN_REPARSE_POINT;
  TLookup lookup;
  HANDLE h = OpenRelative(dirfd, name, request, &lookup);
  if (h == INVALID_HANDLE_VALUE) return -1;
  const int rc = FillStat(h, !follow, st);
  if (rc == 0 && !follow && !S_ISLNK(st->st_mode) && Redirected(lookup, h)) st->st_mode = S_IFLNK | 0777;
  CloseHandle(h);
  return rc;
}

int SetBasicInfo(HANDLE h, const FILE_BASIC_INFO& info) {
  FILE_BASIC_INFO copy = info;
  return SetFileInformationByHandle(h, FileBasicInfo, &copy, sizeof copy) ? 0 : FailLast();
}

int SetReadOnly(HANDLE h, bool readOnly) {
  FILE_BASIC_INFO info{};
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info)) return FailLast();
  if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;  // no write protection for folders here
  DWORD a = info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  a = readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  if (a == (info.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL))) return 0;
  FILE_BASIC_INFO set{};
  set.FileAttributes = a == 0 ? FILE_ATTRIBUTE_NORMAL : a;
  return SetBasicInfo(h, set);
}

LARGE_INTEGER TimeValue(const timespec& ts) {
  LARGE_INTEGER v;
  if (ts.tv_nsec == UTIME_OMIT) {
    v.QuadPart = 0;
  } else if (ts.tv_nsec == UTIME_NOW) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    v.QuadPart = static_cast<int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  } else {
    v.QuadPart = FileTimeFromTimespec(ts);
  }
  return v;
}

int SetTimes(HANDLE h, const timespec* times, int count) {
  FILE_BASIC_INFO info{};
  if (times == nullptr) {
    const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    return SetTimes(h, now, 2);
  }
  info.LastAccessTime = TimeValue(times[0]);
  info.LastWriteTime = TimeValue(times[1]);
  if (count > 2) info.CreationTime = TimeValue(times[2]);
  return SetBasicInfo(h, info);
}

// Renames the open item h to newname below newdirfd.
int RenameHandle(HANDLE h, int newdirfd, const char* newname, bool replace) {
  HANDLE root = nullptr;
  std::wstring target;
  std::string rest;
  if (HandlePathOf(newname, root, rest)) {
    if (!qv_name_allowed(rest)) return FailName(rest);
    target = qv_wide(rest);
  } else if (newdirfd == AT_FDCWD || IsAbsolute(newname)) {
    if (!NtPathOf(newname, target)) return Fail(ENOENT);
  } else {
    root = HandleOf(newdirfd);
    if (!qv_name_allowed(newname)) return FailName(newname);
    target = qv_wide(newname);
  }
  if (target.empty()) return Fail(ENOENT);
  std::vector<uint8_t> buffer(sizeof(TRenameInformation) + target.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<TRenameInformation*>(buffer.data());
  info->ReplaceIfExists = replace ? TRUE : FALSE;
  info->RootDirectory = root;
  info->FileNameLength = static_cast<ULONG>(target.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, target.data(), info->FileNameLength);
  IO_STATUS_BLOCK io{};
  const NTSTATUS status = NtSetInformationFile(h, &io, info, static_cast<ULONG>(buffer.size()),
                                               FileRenameInformation);
  if (status < 0) return Fail(ErrnoFromStatus(status));
  return 0;
}

int RenameAt(int olddirfd, const char* oldname, int newdirfd, const char* newname, bool replace) {
  TOpenRequest request;
  request.Access = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  request.Options |= FILE_OPEN_REPARSE_POINT;
  HANDLE h = OpenRelative(olddirfd, oldname, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int rc = RenameHandle(h, newdirfd, newname, replace);
  if (rc != 0 && replace && errno == EACCES) {
    // A write-protected or a folder target: the caller has decided that a protected file may
    // be replaced (the core refuses it before otherwise); a folder never is.
    TOpenRequest over;
    over.Access = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
    over.Options |= FILE_OPEN_REPARSE_POINT;
    HANDLE t = OpenRelative(newdirfd, newname, over);
    if (t != INVALID_HANDLE_VALUE) {
      BY_HANDLE_FILE_INFORMATION info{};
      if (GetFileInformationByHandle(t, &info)) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          errno = EISDIR;
        } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && SetReadOnly(t, false) == 0) {
          CloseHandle(t);
          t = INVALID_HANDLE_VALUE;
          rc = RenameHandle(h, newdirfd, newname, replace);
        }
      }
      if (t != INVALID_HANDLE_VALUE) CloseHandle(t);
      if (rc != 0 && errno == EACCES) errno = EACCES;
    }
  }
  CloseHandle(h);
  return rc;
}

struct TDirStream {
  int Fd = -1;
  std::vector<char> Records;
  size_t Position = 0;
  size_t Filled = 0;
};

}  // namespace

// ---- names ----

std::wstring qv_wide(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string qv_utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

bool qv_name_allowed(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr) return false;
  }
  if (name.back() == '.' || name.back() == ' ') return false;
  // Device names, with or without an extension, in any case.
  std::string base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (auto& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const reserved[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* r : reserved)
    if (base == r) return false;
  if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      base[3] >= '0' && base[3] <= '9')
    return false;
  // COM¹..COM³ and LPT¹..LPT³ (superscript digits in UTF-8) are devices too.
  if (base.size() == 5 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
      static_cast<unsigned char>(base[3]) == 0xC2 &&
      (static_cast<unsigned char>(base[4]) == 0xB9 || static_cast<unsigned char>(base[4]) == 0xB2 ||
       static_cast<unsigned char>(base[4]) == 0xB3))
    return false;
  return qv_wide(name).size() <= NAME_MAX;
}

std::wstring qv_wide_path(const std::string& path) {
  std::wstring wide = qv_wide(path);
  if (wide.empty()) return {};
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  if (wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
  const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::wstring full(n, L'\0');
  const DWORD m = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (m == 0 || m >= n) return {};
  full.resize(m);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

void* qv_handle(int fd) { return HandleOf(fd); }

long qv_file_attributes(int fd) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(HandleOf(fd), &info)) return FailLast();
  return static_cast<long>(info.dwFileAttributes);
}

long qv_path_attributes(const char* path) {
  TOpenRequest request;
  request.Options |= FILE_OPEN_REPARSE_POINT;
  HANDLE h = OpenRelative(AT_FDCWD, path, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  return ok ? static_cast<long>(info.dwFileAttributes) : FailLast();
}

int qv_set_path_attributes(const char* path, unsigned long attributes) {
  TOpenRequest request;
  request.Access |= FILE_WRITE_ATTRIBUTES;
  request.Options |= FILE_OPEN_REPARSE_POINT;
  HANDLE h = OpenRelative(AT_FDCWD, path, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  FILE_BASIC_INFO info{};
  const DWORD keep = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE |
                     FILE_ATTRIBUTE_TEMPORARY;
  info.FileAttributes = attributes & keep;
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  const int rc = SetBasicInfo(h, info);
  CloseHandle(h);
  return rc;
}

// ---- opening ----

int openat(int dirfd, const char* name, int flags, ...) {
  mode_t mode = 0666;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  if ((flags & O_TMPFILE) == O_TMPFILE) return Fail(EOPNOTSUPP);
  TOpenRequest request;
  const int access = flags & (O_WRONLY | O_RDWR);
  if (flags & O_DIRECTORY) {
    request.Access |= FILE_LIST_DIRECTORY | FILE_TRAVERSE;
    request.Options |= FILE_DIRECTORY_FILE;
  } else if (!(flags & O_PATH)) {
    if (access == O_RDONLY) request.Access |= FILE_GENERIC_READ;
    if (access == O_WRONLY) request.Access |= FILE_GENERIC_WRITE;
    if (access == O_RDWR) request.Access |= FILE_GENERIC_READ | FILE_GENERIC_WRITE;
  }
  if (flags & O_NOFOLLOW) request.Options |= FILE_OPEN_REPARSE_POINT;
  if ((flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL)) {
    request.Disposition = FILE_CREATE;
  } else if ((flags & (O_CREAT | O_TRUNC)) == (O_CREAT | O_TRUNC)) {
    request.Disposition = FILE_OVERWRITE_IF;
  } else if (flags & O_CREAT) {
    request.Disposition = FILE_OPEN_IF;
  } else if (flags & O_TRUNC) {
    request.Disposition = FILE_OVERWRITE;
  }
  request.Creates = (flags & O_CREAT) != 0;
  if ((flags & O_CREAT) && !(mode & S_IWUSR)) request.Attributes = FILE_ATTRIBUTE_READONLY;
  TLookup lookup;
  HANDLE h = OpenRelative(dirfd, name, request, &lookup);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (flags & O_NOFOLLOW) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if ((GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(tag.ReparseTag)) ||
        Redirected(lookup, h)) {
      CloseHandle(h);
      return Fail(ELOOP);  // a link or junction is never entered nor read through
    }
  }
  return AdoptHandle(h, flags);
}

extern "C" int open(const char* path, int flags, ...) {
  int mode = 0666;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, int);
    va_end(args);
  }
  return openat(AT_FDCWD, path, flags, mode);
}

int qv_fcntl(int fd, int cmd, ...) {
  if (cmd == F_DUPFD_CLOEXEC) {
    // A file gets a handle of its own: a duplicate would share the file position, which
    // pread moves and puts back, so a second thread reading at offsets would move the
    // first one's sequential reads.
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(HandleOf(fd), &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      HANDLE own = ReOpenFile(HandleOf(fd), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
      if (own != INVALID_HANDLE_VALUE) return AdoptHandle(own, O_RDONLY);
    }
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), HandleOf(fd), GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
      return FailLast();
    return AdoptHandle(copy, O_RDONLY);
  }
  return 0;
}

long long qv_lseek(int fd, long long offset, int whence) {
  HANDLE h = HandleOf(fd);
  FILE_BASIC_INFO info{};
  if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info) &&
      (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (offset != 0 || whence != SEEK_SET) return Fail(EINVAL);
    std::lock_guard lock(GRestartLock);
    GRestart.insert(h);
    return 0;
  }
  if (whence == SEEK_DATA || whence == SEEK_HOLE) {
    const long long size = _filelengthi64(fd);
    if (size < 0) return -1;
    if (offset >= size) return Fail(ENXIO);
    return whence == SEEK_DATA ? offset : size;
  }
  return _lseeki64(fd, offset, whence);
}

// ---- status ----

int qv_fstat(int fd, struct qv_stat* st) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  if (GetFileType(h) != FILE_TYPE_DISK) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = GetFileType(h) == FILE_TYPE_CHAR ? S_IFCHR | 0666 : _S_IFIFO | 0666;
    return 0;
  }
  return FillStat(h, true, st);
}

int fstatat(int dirfd, const char* name, struct qv_stat* st, int flags) {
  if ((flags & AT_EMPTY_PATH) && (name == nullptr || *name == '\0')) return qv_fstat(dirfd, st);
  return StatAt(dirfd, name, st, (flags & AT_SYMLINK_NOFOLLOW) == 0);
}

int qv_stat(const char* path, struct qv_stat* st) { return StatAt(AT_FDCWD, path, st, true); }
int qv_lstat(const char* path, struct qv_stat* st) { return StatAt(AT_FDCWD, path, st, false); }

int statx(int dirfd, const char* name, int flags, unsigned, struct statx* stx) {
  struct qv_stat st {};
  if (fstatat(dirfd, name, &st, flags) != 0) return -1;
  std::memset(stx, 0, sizeof *stx);
  stx->stx_mask = STATX_BASIC_STATS | STATX_BTIME;
  stx->stx_mode = st.st_mode;
  stx->stx_nlink = static_cast<unsigned>(st.st_nlink);
  stx->stx_ino = st.st_ino;
  stx->stx_size = static_cast<unsigned long long>(st.st_size);
  stx->stx_blocks = static_cast<unsigned long long>(st.st_blocks);
  stx->stx_blksize = 4096;
  auto put = [](statx_timestamp& t, const timespec& ts) {
    t.tv_sec = ts.tv_sec;
    t.tv_nsec = static_cast<unsigned>(ts.tv_nsec);
  };
  put(stx->stx_atime, st.st_atim);
  put(stx->stx_mtime, st.st_mtim);
  put(stx->stx_ctime, st.st_ctim);
  put(stx->stx_btime, st.st_birthtim);
  stx->stx_dev_minor = st.st_dev;
  return 0;
}

int qv_access(const char* path, int mode) {
  struct qv_stat st {};
  if (qv_stat(path, &st) != 0) return -1;
  if ((mode & W_OK) && S_ISREG(st.st_mode) && (st.st_attributes & FILE_ATTRIBUTE_READONLY)) return Fail(EACCES);
  return 0;
}

// ---- changing ----

int fchmod(int fd, mode_t mode) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  return SetReadOnly(h, (mode & S_IWUSR) == 0);
}

int fchmodat(int dirfd, const char* name, mode_t mode, int flags) {
  TOpenRequest request;
  request.Access |= FILE_WRITE_ATTRIBUTES;
  if (flags & AT_SYMLINK_NOFOLLOW) request.Options |= FILE_OPEN_REPARSE_POINT;
  HANDLE h = OpenRelative(dirfd, name, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  int rc = 0;
  if ((flags & AT_SYMLINK_NOFOLLOW) && HandleIsLink(h, static_cast<DWORD>(GetFileAttributesW(FinalPath(h).c_str())))) {
    rc = Fail(EOPNOTSUPP);  // a link has no protection of its own to change
  } else {
    rc = SetReadOnly(h, (mode & S_IWUSR) == 0);
  }
  CloseHandle(h);
  return rc;
}

int qv_chmod(const char* path, mode_t mode) { return fchmodat(AT_FDCWD, path, mode, 0); }

int futimens(int fd, const struct timespec times[2]) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  return SetTimes(h, times, 2);
}

int qv_futimens3(int fd, const struct timespec times[3]) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  return SetTimes(h, times, 3);
}

int utimensat(int dirfd, const char* name, const struct timespec times[2], int flags) {
  TOpenRequest request;
  request.Access |= FILE_WRITE_ATTRIBUTES;
  if (flags & AT_SYMLINK_NOFOLLOW) request.Options |= FILE_OPEN_REPARSE_POINT;
  HANDLE h = OpenRelative(dirfd, name, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  const int rc = SetTimes(h, times, 2);
  CloseHandle(h);
  return rc;
}

int mkdirat(int dirfd, const char* name, mode_t) {
  TOpenRequest request;
  request.Access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
  request.Disposition = FILE_CREATE;
  request.Options |= FILE_DIRECTORY_FILE;
  request.Creates = true;
  HANDLE h = OpenRelative(dirfd, name, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  CloseHandle(h);
  return 0;
}

int qv_mkdir(const char* path, mode_t mode) { return mkdirat(AT_FDCWD, path, mode); }

int unlinkat(int dirfd, const char* name, int flags) {
  TOpenRequest request;
  request.Access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
  request.Options |= FILE_OPEN_REPARSE_POINT;
  HANDLE h = OpenRelative(dirfd, name, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) {
    const int rc = FailLast();
    CloseHandle(h);
    return rc;
  }
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                      !HandleIsLink(h, info.dwFileAttributes);
  if (folder && !(flags & AT_REMOVEDIR)) {
    CloseHandle(h);
    return Fail(EISDIR);
  }
  if (!folder && (flags & AT_REMOVEDIR)) {
    CloseHandle(h);
    return Fail(ENOTDIR);
  }
  // POSIX removes a file without write permission; Windows wants the protection gone first.
  if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) SetReadOnly(h, false);
  struct {
    BOOLEAN Delete;
  } disposition{TRUE};
  int rc = 0;
  if (!SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition)) {
    rc = GetLastError() == ERROR_DIR_NOT_EMPTY ? Fail(ENOTEMPTY) : FailLast();
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) SetReadOnly(h, true);
  }
  CloseHandle(h);
  return rc;
}

int qv_unlink(const char* path) { return unlinkat(AT_FDCWD, path, 0); }
int qv_rmdir(const char* path) { return unlinkat(AT_FDCWD, path, AT_REMOVEDIR); }

int renameat(int olddirfd, const char* oldname, int newdirfd, const char* newname) {
  return RenameAt(olddirfd, oldname, newdirfd, newname, true);
}

int renameat2(int olddirfd, const char* oldname, int newdirfd, const char* newname, unsigned flags) {
  return RenameAt(olddirfd, oldname, newdirfd, newname, (flags & RENAME_NOREPLACE) == 0);
}

extern "C" int rename(const char* oldname, const char* newname) {
  return RenameAt(AT_FDCWD, oldname, AT_FDCWD, newname, true);
}

int linkat(int, const char*, int, const char*, int) { return Fail(EOPNOTSUPP); }

int symlinkat(const char* target, int dirfd, const char* name) {
  if (!qv_name_allowed(name)) return FailName(name);
  std::wstring folder;
  if (dirfd == AT_FDCWD || IsAbsolute(name)) {
    folder.clear();
  } else {
    folder = FinalPath(HandleOf(dirfd));
    if (folder.empty()) return FailLast();
  }
  const std::wstring link = folder.empty() ? qv_wide_path(name) : folder + L"\\" + qv_wide(name);
  std::wstring to = qv_wide(target);
  if (link.empty() || to.empty()) return Fail(ENOENT);
  std::replace(to.begin(), to.end(), L'/', L'\\');
  // A link to a folder must say so when it is made.
  const std::wstring resolved = folder.empty() ? to : folder + L"\\" + to;
  const DWORD a = GetFileAttributesW(resolved.c_str());
  DWORD kind = (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  if (CreateSymbolicLinkW(link.c_str(), to.c_str(), kind | 0x2 /* unprivileged */)) return 0;
  if (CreateSymbolicLinkW(link.c_str(), to.c_str(), kind)) return 0;
  return FailLast();
}

int symlink(const char* target, const char* name) { return symlinkat(target, AT_FDCWD, name); }

namespace {

std::string PortablePath(std::wstring path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    path = L"\\\\" + path.substr(8);
  } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
    path = path.substr(4);
  }
  std::replace(path.begin(), path.end(), L'\\', L'/');
  return qv_utf8(path);
}

long CopyOut(const std::string& text, char* buffer, size_t size) {
  const size_t n = std::min(text.size(), size);
  std::memcpy(buffer, text.data(), n);
  return static_cast<long>(n);
}

}  // namespace

long readlinkat(int dirfd, const char* name, char* buffer, size_t size) {
  HANDLE root = nullptr;
  std::string rest;
  if (HandlePathOf(name, root, rest) && rest.empty()) {
    const std::wstring path = FinalPath(root);
    if (path.empty()) return FailLast();
    return CopyOut(PortablePath(path), buffer, size);
  }
  if (std::strcmp(name, "/proc/self/exe") == 0) {
    std::wstring module(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    if (n == 0) return FailLast();
    module.resize(n);
    return CopyOut(PortablePath(module), buffer, size);
  }
  // A link's target as the system resolves it (its own text is not kept by every file system).
  struct qv_stat st {};
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
  if (!S_ISLNK(st.st_mode)) return Fail(EINVAL);
  TOpenRequest request;
  HANDLE h = OpenRelative(dirfd, name, request);
  if (h == INVALID_HANDLE_VALUE) return -1;
  const std::wstring path = FinalPath(h);
  CloseHandle(h);
  if (path.empty()) return Fail(ENOENT);
  return CopyOut(PortablePath(path), buffer, size);
}

long readlink(const char* path, char* buffer, size_t size) { return readlinkat(AT_FDCWD, path, buffer, size); }

char* realpath(const char* path, char* resolved) {
  TOpenRequest request;
  HANDLE h = OpenRelative(AT_FDCWD, path, request);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  const std::wstring full = FinalPath(h);
  CloseHandle(h);
  if (full.empty()) return (void)Fail(ENOENT), nullptr;
  const std::string text = PortablePath(full);
  char* out = resolved ? resolved : static_cast<char*>(std::malloc(text.size() + 1));
  if (!out) return nullptr;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return out;
}

// ---- data ----

int fsync(int fd) { return FlushFileBuffers(HandleOf(fd)) ? 0 : FailLast(); }
int fdatasync(int fd) { return fsync(fd); }
int syncfs(int) { return 0; }  // a volume is flushed only with administrator rights

long pread(int fd, void* buffer, size_t count, long long offset) {
  HANDLE h = HandleOf(fd);
  // The file position stays where it was, as pread promises.
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(h, zero, &position, FILE_CURRENT)) return FailLast();
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(count, 0x40000000));
  const bool ok = ReadFile(h, buffer, want, &got, &at);
  const DWORD error = GetLastError();
  SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
  if (!ok && error != ERROR_HANDLE_EOF) return Fail(ErrnoFromWin32(error));
  return static_cast<long>(got);
}

long pwrite(int fd, const void* buffer, size_t count, long long offset) {
  HANDLE h = HandleOf(fd);
  LARGE_INTEGER zero{};
  LARGE_INTEGER position{};
  if (!SetFilePointerEx(h, zero, &position, FILE_CURRENT)) return FailLast();
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD put = 0;
  const bool ok = WriteFile(h, buffer, static_cast<DWORD>(std::min<size_t>(count, 0x40000000)), &put, &at);
  const DWORD error = GetLastError();
  SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
  if (!ok) return Fail(ErrnoFromWin32(error));
  return static_cast<long>(put);
}

long copy_file_range(int, long long*, int, long long*, size_t, unsigned) { return Fail(ENOSYS); }

// ---- folders ----

long getdents64(int fd, void* buffer, size_t size) {
  HANDLE h = HandleOf(fd);
  if (h == INVALID_HANDLE_VALUE) return Fail(EBADF);
  const size_t slots = size / sizeof(dirent);
  if (slots == 0) return Fail(EINVAL);
  bool restart;
  {
    std::lock_guard lock(GRestartLock);
    restart = GRestart.erase(h) > 0;
  }
  // Small enough that every record it returns has a slot in the caller's buffer.
  const size_t minimum = sizeof(FILE_ID_BOTH_DIR_INFO) + 2 * 256;
  std::vector<uint64_t> query(std::max(minimum, slots * sizeof(FILE_ID_BOTH_DIR_INFO)) / 8 + 1);
  if (!GetFileInformationByHandleEx(h, restart ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo,
                                    query.data(), static_cast<DWORD>(query.size() * 8))) {
    const DWORD error = GetLastError();
    if (error == ERROR_NO_MORE_FILES) return 0;
    return Fail(ErrnoFromWin32(error));
  }
  auto* out = static_cast<char*>(buffer);
  size_t used = 0;
  const auto* p = reinterpret_cast<const uint8_t*>(query.data());
  for (;;) {
    const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(p);
    if (used + sizeof(dirent) > size) break;  // cannot happen with the sizes above
    auto* d = reinterpret_cast<dirent*>(out + used);
    std::memset(d, 0, offsetof(dirent, d_name) + 1);
    const std::string name = qv_utf8(std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t)));
    const size_t n = std::min(name.size(), sizeof d->d_name - 1);
    std::memcpy(d->d_name, name.data(), n);
    d->d_name[n] = '\0';
    d->d_ino = static_cast<unsigned long long>(info->FileId.QuadPart);
    d->d_reclen = sizeof(dirent);
    const DWORD a = info->FileAttributes;
    // For a reparse point the record's EA size holds its tag.
    if ((a & FILE_ATTRIBUTE_REPARSE_POINT) && IsLinkTag(info->EaSize)) {
      d->d_type = DT_LNK;
    } else {
      d->d_type = (a & FILE_ATTRIBUTE_DIRECTORY) ? DT_DIR : DT_REG;
    }
    used += sizeof(dirent);
    if (info->NextEntryOffset == 0) break;
    p += info->NextEntryOffset;
  }
  return static_cast<long>(used);
}

struct qv_dir {
  TDirStream Stream;
  dirent Current;
};

DIR* fdopendir(int fd) {
  struct qv_stat st {};
  if (qv_fstat(fd, &st) != 0) return nullptr;
  if (!S_ISDIR(st.st_mode)) return (void)Fail(ENOTDIR), nullptr;
  auto* dir = new qv_dir;
  dir->Stream.Fd = fd;
  dir->Stream.Records.resize(32 * sizeof(dirent));
  return dir;
}

DIR* opendir(const char* path) {
  const int fd = openat(AT_FDCWD, path, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return nullptr;
  DIR* dir = fdopendir(fd);
  if (!dir) ::close(fd);
  return dir;
}

dirent* readdir(DIR* dir) {
  TDirStream& s = dir->Stream;
  if (s.Position >= s.Filled) {
    const long n = getdents64(s.Fd, s.Records.data(), s.Records.size());
    if (n <= 0) return nullptr;
    s.Filled = static_cast<size_t>(n);
    s.Position = 0;
  }
  std::memcpy(&dir->Current, s.Records.data() + s.Position, sizeof(dirent));
  s.Position += sizeof(dirent);
  return &dir->Current;
}

void rewinddir(DIR* dir) {
  qv_lseek(dir->Stream.Fd, 0, SEEK_SET);
  dir->Stream.Position = dir->Stream.Filled = 0;
}

int dirfd(DIR* dir) { return dir->Stream.Fd; }

int closedir(DIR* dir) {
  const int rc = ::close(dir->Stream.Fd);
  delete dir;
  return rc;
}

// ---- processes and the rest ----

int kill(int pid, int sig) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return Fail(GetLastError() == ERROR_ACCESS_DENIED ? EPERM : ESRCH);
  DWORD code = 0;
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
  CloseHandle(process);
  if (!running) return Fail(ESRCH);
  if (sig != 0) return Fail(EPERM);
  return 0;
}

int pipe2(int fds[2], int) { return _pipe(fds, 65536, _O_BINARY | _O_NOINHERIT); }

char* mkdtemp(char* pattern) {
  const size_t length = std::strlen(pattern);
  if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0) return (void)Fail(EINVAL), nullptr;
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint8_t random[6];
    BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    for (int i = 0; i < 6; ++i) pattern[length - 6 + i] = "abcdefghijklmnopqrstuvwxyz0123456789"[random[i] % 36];
    if (mkdirat(AT_FDCWD, pattern, 0700) == 0) return pattern;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

long getrandom(void* buffer, size_t count, unsigned) {
  const ULONG n = static_cast<ULONG>(std::min<size_t>(count, 1 << 20));
  if (BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), n, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) return Fail(EIO);
  return static_cast<long>(n);
}

int getuid() { return 1000; }
int geteuid() { return 1000; }
int fchownat(int, const char*, uid_t, gid_t, int) { return 0; }

// ---- code pages (iconv) ----

struct qv_iconv {
  UINT From;
  UINT To;
};

namespace {

UINT CodePageOf(std::string name) {
  for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (const size_t slash = name.find("//"); slash != std::string::npos) name.resize(slash);
  if (name == "UTF-8" || name == "UTF8") return CP_UTF8;
  if (name == "ASCII" || name == "US-ASCII") return 20127;
  if (name == "LATIN1" || name == "LATIN-1") return 28591;
  unsigned number = 0;
  for (const char* prefix : {"WINDOWS-", "CP", "IBM", "MS-"}) {
    const size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) == 0 && name.size() > n) {
      const std::string digits = name.substr(n);
      if (digits.find_first_not_of("0123456789") == std::string::npos) number = std::stoul(digits);
    }
  }
  if (name.compare(0, 9, "ISO-8859-") == 0 || name.compare(0, 8, "ISO8859-") == 0) {
    const std::string digits = name.substr(name.rfind('-') + 1);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos) number = 28590 + std::stoul(digits);
  }
  if (number == 0 || number > 65535 || !IsValidCodePage(number)) return 0;
  return number;
}

// Length of the next character of a UTF-8 text, 0 when it is invalid, -1 when cut short.
int Utf8Length(const unsigned char* p, size_t left) {
  int n = p[0] < 0x80 ? 1 : p[0] >= 0xC2 && p[0] <= 0xDF ? 2 : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
          : p[0] >= 0xF0 && p[0] <= 0xF4 ? 4 : 0;
  if (n == 0) return 0;
  if (static_cast<size_t>(n) > left) return -1;
  for (int i = 1; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

iconv_t iconv_open(const char* to, const char* from) {
  const UINT t = CodePageOf(to);
  const UINT f = CodePageOf(from);
  if (t == 0 || f == 0) return Fail(EINVAL), reinterpret_cast<iconv_t>(-1);
  return new qv_iconv{f, t};
}

int iconv_close(iconv_t cd) {
  delete cd;
  return 0;
}

// One character at a time: one from the source, through UTF-16, into the target.
size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft) {
  if (in == nullptr || *in == nullptr) return 0;  // no shift states in these code pages
  while (*inLeft > 0) {
    const auto* p = reinterpret_cast<const unsigned char*>(*in);
    int n = 1;
    if (cd->From == CP_UTF8) {
      n = Utf8Length(p, *inLeft);
      if (n == 0) return Fail(EILSEQ), static_cast<size_t>(-1);
      if (n < 0) return Fail(EINVAL), static_cast<size_t>(-1);
    } else if (IsDBCSLeadByteEx(cd->From, p[0])) {
      if (*inLeft < 2) return Fail(EINVAL), static_cast<size_t>(-1);
      n = 2;
    }
    wchar_t wide[4];
    const int w = MultiByteToWideChar(cd->From, MB_ERR_INVALID_CHARS, *in, n, wide, 4);
    if (w <= 0) return Fail(EILSEQ), static_cast<size_t>(-1);
    // The Windows-125x pages leave a few bytes of 0x80..0x9F undefined; Windows passes them
    // on as C1 controls, but they are no characters of the page.
    if (n == 1 && p[0] >= 0x80 && p[0] <= 0x9F && wide[0] == p[0] &&
        ((cd->From >= 1250 && cd->From <= 1258) || cd->From == 874))
      return Fail(EILSEQ), static_cast<size_t>(-1);
    char encoded[16];
    int m;
    if (cd->To == CP_UTF8) {
      m = WideCharToMultiByte(CP_UTF8, 0, wide, w, encoded, sizeof encoded, nullptr, nullptr);
    } else {
      BOOL lossy = FALSE;
      m = WideCharToMultiByte(cd->To, WC_NO_BEST_FIT_CHARS, wide, w, encoded, sizeof encoded, nullptr, &lossy);
      if (lossy) m = 0;
    }
    if (m <= 0) return Fail(EILSEQ), static_cast<size_t>(-1);
    if (static_cast<size_t>(m) > *outLeft) return Fail(E2BIG), static_cast<size_t>(-1);
    std::memcpy(*out, encoded, static_cast<size_t>(m));
    *out += m;
    *outLeft -= static_cast<size_t>(m);
    *in += n;
    *inLeft -= static_cast<size_t>(n);
  }
  return 0;
}
