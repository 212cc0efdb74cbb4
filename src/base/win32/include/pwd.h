// SPDX-License-Identifier: Apache-2.0
// Windows build: the user's name and profile folder from the environment.
#pragma once
#include <stdlib.h>
#include <sys/types.h>
struct passwd {
  char* pw_name;
  char* pw_dir;
  char* pw_shell;
  char* pw_gecos;
};
#define _SC_GETPW_R_SIZE_MAX 70
inline long sysconf(int) { return 16384; }
inline int getpwuid_r(unsigned, passwd* pw, char*, size_t, passwd** result) {
  pw->pw_name = getenv("USERNAME");
  pw->pw_dir = getenv("USERPROFILE");
  pw->pw_shell = nullptr;
  pw->pw_gecos = pw->pw_name;
  *result = pw;
  return 0;
}
