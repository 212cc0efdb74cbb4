// SPDX-License-Identifier: Apache-2.0
// Windows tests: the POSIX calls some shared test files make that Windows has no equivalent
// for (FIFOs, file size limits, fork). They fail as "not supported", and the rows that use
// them are left out on Windows (tests/win32/unit-filters.cmake); this lets their files build.
#pragma once
#include <errno.h>
#include <signal.h>
#include <sys/wait.h>

#ifndef SIGXFSZ
#define SIGXFSZ 25
#endif
#include <sys/resource.h>
#ifndef RLIMIT_FSIZE
#define RLIMIT_FSIZE 1
#endif
#ifndef RLIMIT_STACK
#define RLIMIT_STACK 3
#endif
typedef unsigned long long rlim_t;
inline int mkfifo(const char*, unsigned) {
  errno = ENOSYS;
  return -1;
}
