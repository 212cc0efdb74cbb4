// SPDX-License-Identifier: Apache-2.0
// Windows build: the machine's kind (only 64-bit x86 builds exist).
#pragma once
#include <string.h>
struct utsname {
  char sysname[65];
  char nodename[65];
  char release[65];
  char version[65];
  char machine[65];
};
inline int uname(utsname* name) {
  memset(name, 0, sizeof *name);
  strcpy(name->sysname, "Windows");
  strcpy(name->machine, "x86_64");
  return 0;
}
