// SPDX-License-Identifier: Apache-2.0
// Windows build: no resource limits to ask.
#pragma once
struct rlimit { unsigned long long rlim_cur, rlim_max; };
#define RLIMIT_NOFILE 7
#define RLIM_INFINITY (~0ull)
inline int getrlimit(int, rlimit* limit) { limit->rlim_cur = limit->rlim_max = 8192; return 0; }
inline int setrlimit(int, const rlimit*) { return 0; }
