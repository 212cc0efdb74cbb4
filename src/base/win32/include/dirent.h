// SPDX-License-Identifier: Apache-2.0
// Windows build: folder listings on FILE_ID_BOTH_DIR_INFO through the folder's handle.
#pragma once
#include <sys/types.h>
#include <stdint.h>
#define DT_UNKNOWN 0
#define DT_FIFO 1
#define DT_CHR 2
#define DT_DIR 4
#define DT_BLK 6
#define DT_REG 8
#define DT_LNK 10
#define DT_SOCK 12
struct dirent {
  unsigned long long d_ino;
  long long d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1024];  // UTF-8 of up to 255 UTF-16 units
};
#define dirent64 dirent
typedef struct qv_dir DIR;
DIR* opendir(const char* path);
DIR* fdopendir(int fd);
struct dirent* readdir(DIR* dir);
int closedir(DIR* dir);
void rewinddir(DIR* dir);
int dirfd(DIR* dir);
// Records of struct dirent (d_reclen each) from the folder's current position; 0 at the end.
long getdents64(int fd, void* buffer, size_t size);
