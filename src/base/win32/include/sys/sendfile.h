// SPDX-License-Identifier: Apache-2.0
// Windows build: no in-kernel copy; the copy loop reads and writes.
#pragma once
#include <errno.h>
#include <sys/types.h>
inline long sendfile(int, int, long long*, size_t) {
  errno = ENOSYS;
  return -1;
}
