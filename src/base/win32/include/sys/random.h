// SPDX-License-Identifier: Apache-2.0
// Windows build: random bytes from the system's generator (BCryptGenRandom).
#pragma once
#include <sys/types.h>
long getrandom(void* buffer, size_t count, unsigned flags);
