// SPDX-License-Identifier: Apache-2.0
// A test file system that ignores case as vfat, exFAT and SMB shares do: it passes every call
// through to a backing folder, and a name matches an existing entry of another case.
// Usage: casefold_fs BACKING MOUNTPOINT [fuse options]
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

static int backing = -1;

// The backing path of a mounted path: each component takes the spelling of an entry that
// equals it without regard to case, if there is one.
static int Resolve(const char* path, char* out) {
  char rest[PATH_MAX];
  snprintf(rest, sizeof rest, "%s", path);
  strcpy(out, ".");
  char* save = NULL;
  for (char* part = strtok_r(rest, "/", &save); part != NULL; part = strtok_r(NULL, "/", &save)) {
    const size_t used = strlen(out);
    if (used + strlen(part) + 2 >= PATH_MAX) return -ENAMETOOLONG;
    const char* name = part;
    int dirFd = openat(backing, out, O_RDONLY | O_DIRECTORY);
    DIR* dir = dirFd >= 0 ? fdopendir(dirFd) : NULL;
    for (struct dirent* e; dir != NULL && (e = readdir(dir)) != NULL;) {
      if (strcmp(e->d_name, part) == 0) break;
      if (strcasecmp(e->d_name, part) == 0) {
        snprintf(part, strlen(part) + 1, "%s", e->d_name);  // same length: ASCII folding only
        break;
      }
    }
    if (dir != NULL) closedir(dir);
    else if (dirFd >= 0) close(dirFd);
    snprintf(out + used, PATH_MAX - used, "/%s", name);
  }
  return 0;
}

#define RESOLVE(p, name) \
  char name[PATH_MAX];   \
  if (Resolve(p, name) != 0) return -ENAMETOOLONG
#define SYS(call) return (call) == 0 ? 0 : -errno

static int GetAttr(const char* p, struct stat* st, struct fuse_file_info* fi) {
  if (fi != NULL) SYS(fstat((int)fi->fh, st));
  RESOLVE(p, b);
  SYS(fstatat(backing, b, st, AT_SYMLINK_NOFOLLOW));
}

static int ReadDir(const char* p, void* buf, fuse_fill_dir_t fill, off_t off, struct fuse_file_info* fi,
                   enum fuse_readdir_flags flags) {
  (void)off, (void)fi, (void)flags;
  RESOLVE(p, b);
  const int fd = openat(backing, b, O_RDONLY | O_DIRECTORY);
  DIR* dir = fd >= 0 ? fdopendir(fd) : NULL;
  if (dir == NULL) return -errno;
  for (struct dirent* e; (e = readdir(dir)) != NULL;) fill(buf, e->d_name, NULL, 0, 0);
  closedir(dir);
  return 0;
}

static int Open(const char* p, struct fuse_file_info* fi) {
  RESOLVE(p, b);
  const int fd = openat(backing, b, fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int Create(const char* p, mode_t mode, struct fuse_file_info* fi) {
  RESOLVE(p, b);
  const int fd = openat(backing, b, fi->flags | O_CREAT, mode);
  if (fd < 0) return -errno;
  fi->fh = (uint64_t)fd;
  return 0;
}

static int Read(const char* p, char* buf, size_t n, off_t off, struct fuse_file_info* fi) {
  (void)p;
  const ssize_t got = pread((int)fi->fh, buf, n, off);
  return got < 0 ? -errno : (int)got;
}

static int Write(const char* p, const char* buf, size_t n, off_t off, struct fuse_file_info* fi) {
  (void)p;
  const ssize_t put = pwrite((int)fi->fh, buf, n, off);
  return put < 0 ? -errno : (int)put;
}

static int Release(const char* p, struct fuse_file_info* fi) {
  (void)p;
  close((int)fi->fh);
  return 0;
}

static int Fsync(const char* p, int data, struct fuse_file_info* fi) {
  (void)p;
  SYS(data ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}

static int MkDir(const char* p, mode_t mode) {
  RESOLVE(p, b);
  SYS(mkdirat(backing, b, mode));
}

static int Unlink(const char* p) {
  RESOLVE(p, b);
  SYS(unlinkat(backing, b, 0));
}

static int RmDir(const char* p) {
  RESOLVE(p, b);
  SYS(unlinkat(backing, b, AT_REMOVEDIR));
}

static int Rename(const char* from, const char* to, unsigned int flags) {
  RESOLVE(from, a);
  RESOLVE(to, b);
  SYS(renameat2(backing, a, backing, b, flags));
}

static int Utimens(const char* p, const struct timespec tv[2], struct fuse_file_info* fi) {
  if (fi != NULL) SYS(futimens((int)fi->fh, tv));
  RESOLVE(p, b);
  SYS(utimensat(backing, b, tv, AT_SYMLINK_NOFOLLOW));
}

static int ChMod(const char* p, mode_t mode, struct fuse_file_info* fi) {
  if (fi != NULL) SYS(fchmod((int)fi->fh, mode));
  RESOLVE(p, b);
  SYS(fchmodat(backing, b, mode, 0));
}

static int Truncate(const char* p, off_t size, struct fuse_file_info* fi) {
  if (fi != NULL) SYS(ftruncate((int)fi->fh, size));
  RESOLVE(p, b);
  const int fd = openat(backing, b, O_WRONLY);
  if (fd < 0) return -errno;
  const int r = ftruncate(fd, size) == 0 ? 0 : -errno;
  close(fd);
  return r;
}

static void* Init(struct fuse_conn_info* conn, struct fuse_config* cfg) {
  (void)conn;
  // No cached names: the kernel must ask for "A.TXT" after "a.txt" appeared.
  cfg->entry_timeout = cfg->negative_timeout = cfg->attr_timeout = 0;
  return NULL;
}

static const struct fuse_operations kOps = {
    .getattr = GetAttr, .readdir = ReadDir, .open = Open, .create = Create, .read = Read,
    .write = Write, .release = Release, .fsync = Fsync, .mkdir = MkDir, .unlink = Unlink,
    .rmdir = RmDir, .rename = Rename, .utimens = Utimens, .chmod = ChMod, .truncate = Truncate,
    .init = Init,
};

int main(int argc, char* argv[]) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s BACKING MOUNTPOINT [options]\n", argv[0]);
    return 2;
  }
  backing = open(argv[1], O_RDONLY | O_DIRECTORY);
  if (backing < 0) {
    perror(argv[1]);
    return 2;
  }
  argv[1] = argv[0];
  return fuse_main(argc - 1, argv + 1, &kOps, NULL);
}
