// SPDX-License-Identifier: Apache-2.0
// Windows build: file details are no extended attributes here.
#pragma once
#include <errno.h>
#include <sys/types.h>
#define XATTR_CREATE 1
#define XATTR_REPLACE 2
inline long getxattr(const char*, const char*, void*, size_t) { errno = ENOTSUP; return -1; }
inline long lgetxattr(const char*, const char*, void*, size_t) { errno = ENOTSUP; return -1; }
inline long fgetxattr(int, const char*, void*, size_t) { errno = ENOTSUP; return -1; }
inline long listxattr(const char*, char*, size_t) { errno = ENOTSUP; return -1; }
inline long llistxattr(const char*, char*, size_t) { errno = ENOTSUP; return -1; }
inline long flistxattr(int, char*, size_t) { errno = ENOTSUP; return -1; }
inline int setxattr(const char*, const char*, const void*, size_t, int) { errno = ENOTSUP; return -1; }
inline int lsetxattr(const char*, const char*, const void*, size_t, int) { errno = ENOTSUP; return -1; }
inline int fsetxattr(int, const char*, const void*, size_t, int) { errno = ENOTSUP; return -1; }
