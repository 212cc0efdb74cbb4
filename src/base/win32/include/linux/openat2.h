// SPDX-License-Identifier: Apache-2.0
// Windows build: no openat2; the core then resolves component by component.
#pragma once
#include <stdint.h>
struct open_how {
  uint64_t flags;
  uint64_t mode;
  uint64_t resolve;
};
#define RESOLVE_NO_XDEV 0x01
#define RESOLVE_NO_MAGICLINKS 0x02
#define RESOLVE_NO_SYMLINKS 0x04
#define RESOLVE_BENEATH 0x08
