// SPDX-License-Identifier: Apache-2.0
// Windows build: no system calls by number: each answers ENOSYS.
#pragma once
#include <errno.h>
#define SYS_openat2 437
inline long syscall(long, ...) {
  errno = ENOSYS;
  return -1;
}
