// SPDX-License-Identifier: Apache-2.0
#pragma once
// The Win32 platform layer: the descriptor-relative file calls the core is written against
// (openat, fstatat, renameat, ...), implemented on the NT handle-relative opens, with UTF-8
// names turned into UTF-16 at the API. Included first into every file of the Windows build,
// so the session, pipeline, workers and zip reader do not know which platform runs.
//
// What it guarantees where POSIX and Windows differ:
// - A name below a folder handle is opened relative to that handle (no path text is rebuilt),
//   and with O_NOFOLLOW or AT_SYMLINK_NOFOLLOW a symbolic link or junction is opened itself
//   (FILE_FLAG_OPEN_REPARSE_POINT) and reported as S_IFLNK, never entered.
// - Write permission is the read-only attribute: fchmod without S_IWUSR sets it, with S_IWUSR
//   clears it; the other bits have no equivalent. A read-only file reads as mode 0444.
// - Times are FILETIMEs; st_birthtim carries the creation time, and utimensat/futimens given
//   three times (the third is ours: the creation time) set it too.
// - A name Windows cannot hold (reserved device names, trailing dot or space, < > : " | ? *
//   and control characters) is refused with ENAMENOTHELD, never made under another name.
#ifndef _WIN32
#error "PosixOnWin32.h is for the Windows build only"
#endif

// Everything the system and C++ headers declare under the names below, before they are
// redirected: a later include of these headers is then a no-op.
#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // localtime_r, gmtime_r
#endif
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <limits.h>
#include <locale.h>
#include <pthread.h>
#include <process.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <wchar.h>
#include <wctype.h>

#ifdef __cplusplus
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#endif

// windows.h's macros that collide with names of the core.
#undef min
#undef max
#undef ERROR
#undef GetCurrentTime
#undef CreateFile
#undef DeleteFile
#undef MoveFile
#undef CopyFile
#undef GetFileAttributes
#undef SetFileAttributes
#undef FindFirstFile
#undef FindNextFile
#undef GetUserName
#undef GetComputerName
#undef LoadString
#undef GetObject
#undef SendMessage
#undef PostMessage
#undef Yield
#undef CreateDirectory
#undef RemoveDirectory
#undef GetTempPath
#undef FormatMessage
#undef GetMessage
#undef DispatchMessage
#undef interface
#undef small
#undef near
#undef far

#ifndef LC_MESSAGES
#define LC_MESSAGES 6  // no message catalogues through the C locale here
#endif

#undef PATH_MAX
#define PATH_MAX 32767  // \\?\ paths
#ifndef NAME_MAX
#define NAME_MAX 255
#endif

#ifndef ENOTSUP
#define ENOTSUP 129
#endif
#ifndef EDQUOT
#define EDQUOT 1133
#endif
// A name Windows cannot hold (a device name, a trailing dot or space, a reserved character):
// its own error, so it is not taken for a name that leads out of its folder.
#define ENAMENOTHELD 2001
#ifndef ESRCH
#define ESRCH 3
#endif

// File open flags beyond the CRT's.
#define O_DIRECTORY 0x01000000
#define O_NOFOLLOW 0x02000000
#define O_PATH 0x04000000
#define O_TMPFILE (0x08000000 | O_DIRECTORY)
#define O_NONBLOCK 0x10000000
#define O_CLOEXEC 0
#define O_NOATIME 0
#define O_NOCTTY 0
#define O_LARGEFILE 0

#define AT_FDCWD (-100)
#define AT_SYMLINK_NOFOLLOW 0x100
#define AT_REMOVEDIR 0x200
#define AT_SYMLINK_FOLLOW 0x400
#define AT_EMPTY_PATH 0x1000
#define AT_STATX_SYNC_AS_STAT 0
#define RENAME_NOREPLACE 1

#define F_GETFD 1
#define F_SETFD 2
#define F_GETFL 3
#define F_SETFL 4
#define F_DUPFD_CLOEXEC 1030
#define FD_CLOEXEC 1

#define UTIME_NOW ((1L << 30) - 1L)
#define UTIME_OMIT ((1L << 30) - 2L)

#ifndef S_IFLNK
#define S_IFLNK 0120000
#endif
#ifndef S_IFSOCK
#define S_IFSOCK 0140000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
#ifndef S_ISSOCK
#define S_ISSOCK(m) (((m) & S_IFMT) == S_IFSOCK)
#endif
#ifndef S_ISFIFO
#define S_ISFIFO(m) (((m) & S_IFMT) == _S_IFIFO)
#endif
#ifndef S_ISCHR
#define S_ISCHR(m) (((m) & S_IFMT) == S_IFCHR)
#endif
#ifndef S_ISBLK
#define S_ISBLK(m) 0
#endif
#ifndef S_IRGRP
#define S_IRGRP 0040
#define S_IWGRP 0020
#define S_IXGRP 0010
#define S_IRWXG 0070
#define S_IROTH 0004
#define S_IWOTH 0002
#define S_IXOTH 0001
#define S_IRWXO 0007
#endif
#ifndef S_ISUID
#define S_ISUID 04000
#define S_ISGID 02000
#define S_ISVTX 01000
#endif
#define ACCESSPERMS 0777
#define ALLPERMS 07777

typedef unsigned long long qv_ino_t;
#define ino_t qv_ino_t
typedef unsigned int uid_t;
typedef unsigned int gid_t;
typedef unsigned long nlink_t;
typedef long long blkcnt_t;
typedef long blksize_t;

// The file status, with nanosecond times and 64-bit file ids.
struct qv_stat {
  dev_t st_dev;
  qv_ino_t st_ino;
  mode_t st_mode;
  nlink_t st_nlink;
  uid_t st_uid;
  gid_t st_gid;
  dev_t st_rdev;
  long long st_size;
  blksize_t st_blksize;
  blkcnt_t st_blocks;
  struct timespec st_atim;
  struct timespec st_mtim;
  struct timespec st_ctim;
  struct timespec st_birthtim;
  unsigned long st_attributes;  // the Windows attribute word
};
#undef stat
#undef lstat
#undef fstat
#undef lseek
#define stat qv_stat
#define lstat qv_lstat
#define fstat qv_fstat
#define st_mtime st_mtim.tv_sec
#define st_atime st_atim.tv_sec
#define st_ctime st_ctim.tv_sec

#define lseek qv_lseek
#define chmod qv_chmod
#define mkdir qv_mkdir
#define rmdir qv_rmdir
#define unlink qv_unlink
#define access qv_access
#define fcntl qv_fcntl

#ifdef __cplusplus
extern "C++" {
#endif

int qv_stat(const char* path, struct qv_stat* st);
int qv_lstat(const char* path, struct qv_stat* st);
int qv_fstat(int fd, struct qv_stat* st);
int fstatat(int dirfd, const char* name, struct qv_stat* st, int flags);
long long qv_lseek(int fd, long long offset, int whence);
int qv_chmod(const char* path, mode_t mode);
int fchmod(int fd, mode_t mode);
int fchmodat(int dirfd, const char* name, mode_t mode, int flags);
int qv_mkdir(const char* path, mode_t mode = 0777);
int qv_rmdir(const char* path);
int qv_unlink(const char* path);
int qv_access(const char* path, int mode);
int qv_fcntl(int fd, int cmd, ...);
int openat(int dirfd, const char* name, int flags, ...);
int mkdirat(int dirfd, const char* name, mode_t mode);
int unlinkat(int dirfd, const char* name, int flags);
int renameat(int olddirfd, const char* oldname, int newdirfd, const char* newname);
int renameat2(int olddirfd, const char* oldname, int newdirfd, const char* newname, unsigned flags);
int linkat(int olddirfd, const char* oldname, int newdirfd, const char* newname, int flags);
int symlinkat(const char* target, int dirfd, const char* name);
int symlink(const char* target, const char* name);
long readlinkat(int dirfd, const char* name, char* buffer, size_t size);
long readlink(const char* path, char* buffer, size_t size);
char* realpath(const char* path, char* resolved);
// times[0] access, times[1] last write; a third element, when the caller passes one, is the
// creation time (flags | AT_SYMLINK_FOLLOW... see qv_utimens3).
int futimens(int fd, const struct timespec times[2]);
int utimensat(int dirfd, const char* name, const struct timespec times[2], int flags);
// The same with the creation time too (times[2]).
int qv_futimens3(int fd, const struct timespec times[3]);
int fsync(int fd);
int fdatasync(int fd);
int syncfs(int fd);
long pread(int fd, void* buffer, size_t count, long long offset);
long pwrite(int fd, const void* buffer, size_t count, long long offset);
int kill(int pid, int sig);
int pipe2(int fds[2], int flags);
char* mkdtemp(char* pattern);
int getuid();
int geteuid();
int fchownat(int, const char*, uid_t, gid_t, int);

// The Windows attribute word of an open file, or of a name (links not followed): -1 on failure.
long qv_file_attributes(int fd);
long qv_path_attributes(const char* path);
int qv_set_path_attributes(const char* path, unsigned long attributes);
// The UTF-16 form of a path for the API (\\?\ for absolute ones); empty for invalid UTF-8.
std::wstring qv_wide_path(const std::string& path);
std::wstring qv_wide(const std::string& text);
std::string qv_utf8(const std::wstring& text);
// True when Windows can hold the name as one path component.
bool qv_name_allowed(const std::string& name);
// The handle behind a descriptor.
void* qv_handle(int fd);


// statx, on the same query as fstatat; the birth time is the creation time.
struct statx_timestamp {
  long long tv_sec;
  unsigned tv_nsec;
  int __reserved;
};
struct statx {
  unsigned stx_mask;
  unsigned stx_blksize;
  unsigned long long stx_attributes;
  unsigned stx_nlink;
  unsigned stx_uid;
  unsigned stx_gid;
  unsigned short stx_mode;
  unsigned long long stx_ino;
  unsigned long long stx_size;
  unsigned long long stx_blocks;
  struct statx_timestamp stx_atime;
  struct statx_timestamp stx_btime;
  struct statx_timestamp stx_ctime;
  struct statx_timestamp stx_mtime;
  unsigned stx_dev_major;
  unsigned stx_dev_minor;
};
#define STATX_TYPE 0x1u
#define STATX_MODE 0x2u
#define STATX_NLINK 0x4u
#define STATX_UID 0x8u
#define STATX_GID 0x10u
#define STATX_ATIME 0x20u
#define STATX_MTIME 0x40u
#define STATX_CTIME 0x80u
#define STATX_INO 0x100u
#define STATX_SIZE 0x200u
#define STATX_BLOCKS 0x400u
#define STATX_BASIC_STATS 0x7ffu
#define STATX_BTIME 0x800u
int statx(int dirfd, const char* name, int flags, unsigned mask, struct statx* st);
// No in-kernel copy: callers fall back to reading and writing.
long copy_file_range(int, long long*, int, long long*, size_t, unsigned);

#ifdef __cplusplus
}
#endif

// No fork here: nothing to run in a child.
#undef pthread_atfork
inline int pthread_atfork(void (*)(void), void (*)(void), void (*)(void)) { return 0; }

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Locale objects: the C runtime's current locale stands for the user's.
typedef void* locale_t;
#define LC_CTYPE_MASK 1
#define LC_NUMERIC_MASK 2
#define LC_TIME_MASK 4
#define LC_COLLATE_MASK 8
#define LC_MONETARY_MASK 16
#define LC_MESSAGES_MASK 32
#define LC_ALL_MASK 63
inline locale_t newlocale(int, const char*, locale_t) { return reinterpret_cast<locale_t>(1); }
inline void freelocale(locale_t) {}
inline size_t strftime_l(char* buffer, size_t size, const char* format, const struct tm* t, locale_t) {
  return strftime(buffer, size, format, t);
}

// The system's Unicode case mapping: the C runtime's towlower maps ASCII only in the "C"
// locale, so "Äpfel" and "äpfel" would differ.
inline uint32_t qv_map_case(uint32_t c, DWORD how) {
  wchar_t in[2], out[2];
  int n = 1;
  if (c > 0xFFFF) {
    if (c > 0x10FFFF) return c;
    in[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
    in[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    n = 2;
  } else {
    in[0] = static_cast<wchar_t>(c);
  }
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, how, in, n, out, n, nullptr, nullptr, 0) != n) return c;
  if (n == 1) return out[0];
  return 0x10000 + ((static_cast<uint32_t>(out[0]) - 0xD800) << 10) + (static_cast<uint32_t>(out[1]) - 0xDC00);
}
inline wint_t towlower_l(wint_t c, locale_t) { return static_cast<wint_t>(qv_map_case(c, LCMAP_LOWERCASE)); }
inline wint_t towupper_l(wint_t c, locale_t) { return static_cast<wint_t>(qv_map_case(c, LCMAP_UPPERCASE)); }
inline time_t timegm(struct tm* t) { return _mkgmtime(t); }

// zlib's 64-bit length form (z_off_t is 32 bits here).
extern "C" unsigned long crc32_combine64(unsigned long crc1, unsigned long crc2, long long length2);

// No sparse files to skip: all of a file is data.
#define SEEK_DATA 3
#define SEEK_HOLE 4
