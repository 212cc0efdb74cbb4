// SPDX-License-Identifier: Apache-2.0
// The FUSE side of the mount: the file system's calls answered from the tree, the lifecycle
// of a mount (foreground, daemon, thread of a program) and the umount command.
#define FUSE_USE_VERSION 35
#include <fuse3/fuse.h>
#include <fuse3/fuse_lowlevel.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/FormatUtils.h"
#include "base/Translation.h"
#include "mount/Mount.h"
#include "restore/DirList.h"
#include "restore/RestoreText.h"

extern char** environ;

namespace qv {

namespace {

constexpr const char* CSubtype = "quorvex-restore";

// What the file system's calls share.
struct TServer {
  std::unique_ptr<TMountTree> Tree;
  std::mutex HandlesLock;
  std::unordered_map<uint64_t, std::shared_ptr<TContent>> Handles;
  uint64_t NextHandle = 1;
};

TServer& Server() { return *static_cast<TServer*>(fuse_get_context()->private_data); }

TMountNode* Lookup(const char* APath, int& AError) { return Server().Tree->Find(APath, AError); }

int OpGetAttr(const char* path, struct stat* st, fuse_file_info*) {
  int err = 0;
  TMountNode* node = Lookup(path, err);
  if (node == nullptr) return err;
  return Server().Tree->Stat(*node, *st);
}

int OpReadLink(const char* path, char* buf, size_t size) {
  int err = 0;
  TMountNode* node = Lookup(path, err);
  if (node == nullptr) return err;
  std::string target;
  if (const int rc = Server().Tree->ReadLink(*node, target); rc != 0) return rc;
  if (size == 0) return -EINVAL;
  const size_t n = std::min(size - 1, target.size());
  std::memcpy(buf, target.data(), n);
  buf[n] = '\0';
  return 0;
}

int OpReadDir(const char* path, void* buf, fuse_fill_dir_t filler, off_t, fuse_file_info*, fuse_readdir_flags) {
  int err = 0;
  TMountNode* node = Lookup(path, err);
  if (node == nullptr) return err;
  std::vector<std::pair<std::string, mode_t>> children;
  if (const int rc = Server().Tree->List(*node, children); rc != 0) return rc;
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  struct stat st {};
  for (const auto& [name, type] : children) {
    st.st_mode = type;
    if (filler(buf, name.c_str(), &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
  }
  return 0;
}

int OpOpen(const char* path, fuse_file_info* fi) {
  if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & (O_TRUNC | O_CREAT | O_APPEND)) != 0) return -EROFS;
  int err = 0;
  TMountNode* node = Lookup(path, err);
  if (node == nullptr) return err;
  if (node->Type == TMountNode::ntFolder) return -EISDIR;
  if (node->Type == TMountNode::ntLink) return -ELOOP;
  TServer& server = Server();
  std::shared_ptr<TContent> content = server.Tree->ContentOf(*node);
  std::lock_guard lock(server.HandlesLock);
  fi->fh = server.NextHandle++;
  server.Handles.emplace(fi->fh, std::move(content));
  // The backup does not change under the mount: what the kernel cached stays valid.
  fi->keep_cache = 1;
  return 0;
}

std::shared_ptr<TContent> HandleContent(uint64_t handle) {
  TServer& server = Server();
  std::lock_guard lock(server.HandlesLock);
  const auto it = server.Handles.find(handle);
  return it == server.Handles.end() ? nullptr : it->second;
}

// The reply of a read as libfuse takes it: a vector that it frees with free(), pointing either
// at the plain file itself (spliced by the kernel, no copy here) or at malloc'ed memory.
int OpReadBuf(const char*, fuse_bufvec** bufp, size_t size, off_t offset, fuse_file_info* fi) {
  const std::shared_ptr<TContent> content = HandleContent(fi->fh);
  if (!content) return -EBADF;
  auto* vec = static_cast<fuse_bufvec*>(std::malloc(sizeof(fuse_bufvec)));
  if (vec == nullptr) return -ENOMEM;
  *vec = FUSE_BUFVEC_INIT(0);
  int fd = -1;
  int64_t fileSize = 0;
  if (content->PlainSource(fd, fileSize)) {
    vec->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    vec->buf[0].fd = fd;
    vec->buf[0].pos = offset;
    vec->buf[0].size = offset >= fileSize ? 0 : static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), fileSize - offset));
    *bufp = vec;
    return 0;
  }
  void* mem = std::malloc(size > 0 ? size : 1);
  if (mem == nullptr) {
    std::free(vec);
    return -ENOMEM;
  }
  const ssize_t n = content->Read(mem, size, offset);
  if (n < 0) {
    std::free(mem);
    std::free(vec);
    return static_cast<int>(n);
  }
  vec->buf[0].mem = mem;
  vec->buf[0].size = static_cast<size_t>(n);
  *bufp = vec;
  return 0;
}

int OpRelease(const char*, fuse_file_info* fi) {
  TServer& server = Server();
  std::lock_guard lock(server.HandlesLock);
  server.Handles.erase(fi->fh);
  return 0;
}

int OpStatFs(const char*, struct statvfs* st) {
  *st = {};
  st->f_bsize = 4096;
  st->f_frsize = 4096;
  st->f_namemax = 255;
  st->f_files = Server().Tree->NodeCount() + 1;
  st->f_flag = ST_RDONLY;
  return 0;
}

int OpAccess(const char* path, int mask) {
  int err = 0;
  if (Lookup(path, err) == nullptr) return err;
  return (mask & W_OK) != 0 ? -EROFS : 0;
}

// Everything that would change the tree.
int ReadOnly() { return -EROFS; }
int OpMknod(const char*, mode_t, dev_t) { return ReadOnly(); }
int OpMkdir(const char*, mode_t) { return ReadOnly(); }
int OpUnlink(const char*) { return ReadOnly(); }
int OpRmdir(const char*) { return ReadOnly(); }
int OpSymlink(const char*, const char*) { return ReadOnly(); }
int OpRename(const char*, const char*, unsigned) { return ReadOnly(); }
int OpLink(const char*, const char*) { return ReadOnly(); }
int OpChmod(const char*, mode_t, fuse_file_info*) { return ReadOnly(); }
int OpChown(const char*, uid_t, gid_t, fuse_file_info*) { return ReadOnly(); }
int OpTruncate(const char*, off_t, fuse_file_info*) { return ReadOnly(); }
int OpWrite(const char*, const char*, size_t, off_t, fuse_file_info*) { return ReadOnly(); }
int OpSetXattr(const char*, const char*, const char*, size_t, int) { return ReadOnly(); }
int OpRemoveXattr(const char*, const char*) { return ReadOnly(); }
int OpCreate(const char*, mode_t, fuse_file_info*) { return ReadOnly(); }
int OpUtimens(const char*, const timespec[2], fuse_file_info*) { return ReadOnly(); }
int OpFallocate(const char*, int, off_t, off_t, fuse_file_info*) { return ReadOnly(); }

void* OpInit(fuse_conn_info* conn, fuse_config* cfg) {
  // Plain files go from their own descriptor to the kernel without a copy here.
  conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
  // Nothing under the mount changes: names, attributes and pages stay valid.
  cfg->kernel_cache = 1;
  cfg->entry_timeout = 86400;
  cfg->attr_timeout = 86400;
  cfg->negative_timeout = 60;
  return fuse_get_context()->private_data;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.getattr = OpGetAttr;
  ops.readlink = OpReadLink;
  ops.readdir = OpReadDir;
  ops.open = OpOpen;
  ops.read_buf = OpReadBuf;
  ops.release = OpRelease;
  ops.statfs = OpStatFs;
  ops.access = OpAccess;
  ops.mknod = OpMknod;
  ops.mkdir = OpMkdir;
  ops.unlink = OpUnlink;
  ops.rmdir = OpRmdir;
  ops.symlink = OpSymlink;
  ops.rename = OpRename;
  ops.link = OpLink;
  ops.chmod = OpChmod;
  ops.chown = OpChown;
  ops.truncate = OpTruncate;
  ops.write = OpWrite;
  ops.setxattr = OpSetXattr;
  ops.removexattr = OpRemoveXattr;
  ops.create = OpCreate;
  ops.utimens = OpUtimens;
  ops.fallocate = OpFallocate;
  ops.init = OpInit;
  return ops;
}

std::string Absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

// A FUSE instance mounted at a folder, ended in order.
class TFuseMount {
 public:
  ~TFuseMount() { End(); }
  // The command-line arguments of fuse_new: read-only, and named so that umount finds it.
  bool Create(TServer& server, const std::string& folder, std::string& error) {
    const fuse_operations ops = Operations();
    std::vector<std::string> args = {"quorvex-restore-cli", "-o",
                                     "ro,subtype=" + std::string(CSubtype) + ",fsname=" + EscapeOption(folder)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    FFuse = fuse_new(&fargs, &ops, sizeof ops, &server);
    fuse_opt_free_args(&fargs);
    if (FFuse == nullptr) error = Tr("FUSE could not be set up");
    return FFuse != nullptr;
  }
  bool Mount(const std::string& point) {
    FMounted = FFuse != nullptr && fuse_mount(FFuse, point.c_str()) == 0;
    return FMounted;
  }
  fuse* Get() const { return FFuse; }
  void Unmount() {
    if (FMounted) fuse_unmount(FFuse);
    FMounted = false;
  }
  void End() {
    Unmount();
    if (FFuse != nullptr) fuse_destroy(FFuse);
    FFuse = nullptr;
  }

 private:
  // fsname is one option among commas: those and backslashes escaped as FUSE reads them.
  static std::string EscapeOption(const std::string& text) {
    std::string out;
    for (char c : text) {
      if (c == ',' || c == '\\') out += '\\';
      out += c;
    }
    return out;
  }
  fuse* FFuse = nullptr;
  bool FMounted = false;
};

int Serve(fuse* f) {
  fuse_loop_config config{};
  config.clone_fd = 0;
  config.max_idle_threads = 10;
  return fuse_loop_mt(f, &config);
}

void PrintError(const std::string& text) { std::fprintf(stderr, "quorvex-restore-cli: %s\n", text.c_str()); }

}  // namespace

std::string FuseUnavailableReason() {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return FormatText(Tr("FUSE is not available (/dev/fuse: %s)"), {std::strerror(errno)});
  ::close(fd);
  return {};
}

std::string MountPointProblem(const std::string& AMountPoint, const std::string& AFolder) {
  // Inside the backup its own listing would ask the mount, which waits for that listing.
  const std::string point = Absolute(AMountPoint), folder = Absolute(AFolder);
  if (point == folder || point.rfind(folder == "/" ? folder : folder + "/", 0) == 0)
    return Tr("the mount point lies inside the backup folder");
  struct stat st {};
  if (::stat(AMountPoint.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return std::strerror(ENOTDIR);
  bool listed = false;
  const TDirListing listing = ListDirectory(AMountPoint, 0u, &listed);
  if (!listed) return std::strerror(errno != 0 ? errno : EACCES);
  if (!listing.empty()) return Tr("the mount point is not an empty folder");
  return {};
}

int RunMountCommand(const TMountConfig& AConfig, const std::string& AMountPoint, bool AForeground,
                    const std::function<std::optional<std::string>()>& AAskPassword) {
  if (const std::string reason = FuseUnavailableReason(); !reason.empty()) {
    PrintError(reason);
    return 2;
  }
  const std::string point = Absolute(AMountPoint);
  if (const std::string problem = MountPointProblem(point, AConfig.Folder); !problem.empty()) {
    PrintError(EscapeControlChars(AMountPoint) + ": " + problem);
    return 2;
  }
  TMountConfig config = AConfig;
  config.Folder = Absolute(config.Folder);
  // The log: stderr in the foreground, the system log once the daemon has left the terminal.
  static bool toSyslog = false;
  TMountLog log = [](const std::string& line) {
    if (toSyslog)
      ::syslog(LOG_WARNING, "%s", EscapeControlChars(line).c_str());
    else
      std::fprintf(stderr, "quorvex-restore-cli: %s\n", EscapeControlChars(line).c_str());
  };
  TServer server;
  server.Tree = std::make_unique<TMountTree>(config, log);
  std::string error;
  if (!server.Tree->Prepare(error)) {
    PrintError(EscapeControlChars(AConfig.Folder) + ": " + error);
    return 2;
  }
  if (!config.Password && AAskPassword && server.Tree->MayHoldEncrypted()) {
    if (const std::optional<std::string> password = AAskPassword()) server.Tree->SetPassword(*password);
  }
  TFuseMount mount;
  if (!mount.Create(server, config.Folder, error)) {
    PrintError(error);
    return 2;
  }
  if (!mount.Mount(point)) {
    PrintError(EscapeControlChars(AMountPoint) + ": " + Tr("cannot mount here (is FUSE available?)"));
    return 2;
  }
  fuse_session* session = fuse_get_session(mount.Get());
  if (fuse_set_signal_handlers(session) != 0) {
    PrintError(Tr("FUSE could not be set up"));
    return 1;
  }
  if (!AForeground) {
    ::openlog("quorvex-restore-cli", LOG_PID, LOG_USER);
    toSyslog = true;
  }
  // The parent returns here once the mount is ready; the daemon goes on.
  if (fuse_daemonize(AForeground ? 1 : 0) != 0) {
    fuse_remove_signal_handlers(session);
    return 1;
  }
  const int rc = Serve(mount.Get());
  // Ended by an unmount or a signal: a clean end. The loop gives the signal as its result.
  const bool clean = rc == 0 || rc == SIGINT || rc == SIGTERM || rc == SIGHUP || rc == -SIGINT ||
                     rc == -SIGTERM || rc == -SIGHUP;
  if (!clean) PrintError(FormatText(Tr("the mount ended with an error (%s)"), {std::to_string(rc)}));
  fuse_remove_signal_handlers(session);
  mount.End();
  return clean ? 0 : 1;
}

namespace {

// The mount at a path, from the kernel's table: its type ("fuse.quorvex-restore"), or "".
std::string MountTypeAt(const std::string& point) {
  std::ifstream table("/proc/self/mountinfo");
  std::string line, type;
  while (std::getline(table, line)) {
    // ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
    std::istringstream in(line);
    std::string id, parent, dev, root, where;
    in >> id >> parent >> dev >> root >> where;
    // Blanks and backslashes in the path are written as octal escapes.
    std::string decoded;
    for (size_t i = 0; i < where.size(); ++i) {
      if (where[i] == '\\' && i + 3 < where.size()) {
        decoded += static_cast<char>(std::stoi(where.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        decoded += where[i];
      }
    }
    if (decoded != point) continue;
    const size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    rest >> type;  // the last mount at a point is the one seen
  }
  return type;
}

}  // namespace

namespace {

// Unmounts point on the kernel's side; error receives why not. Without privileges the FUSE
// helper unmounts what its user mounted (quiet: its complaints are not shown).
bool UnmountPoint(const std::string& point, bool quiet, std::string& error) {
  if (::geteuid() == 0) {
    if (::umount2(point.c_str(), 0) == 0) return true;
    error = std::strerror(errno);
    return false;
  }
  std::vector<std::string> args = {"fusermount3", "-u", point};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, "fusermount3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    error = Tr("fusermount3 could not be run");
    return false;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int RunUmountCommand(const std::string& AMountPoint) {
  const std::string point = Absolute(AMountPoint);
  const std::string type = MountTypeAt(point);
  if (type != std::string("fuse.") + CSubtype) {
    PrintError(EscapeControlChars(AMountPoint) + ": " + Tr("no backup is mounted here"));
    return 1;
  }
  std::string error;
  if (UnmountPoint(point, false, error)) return 0;
  if (!error.empty()) PrintError(::geteuid() == 0 ? EscapeControlChars(AMountPoint) + ": " + error : error);
  return 1;
}

// ---- A mount on a thread of the calling program. ----

struct TBackupMount::TImpl {
  TServer Server;
  TFuseMount Mount;
  std::thread Loop;
  std::string Point;
  bool Running = false;
};

TBackupMount::TBackupMount() = default;
TBackupMount::~TBackupMount() { Stop(); }

bool TBackupMount::Start(const TMountConfig& AConfig, const std::string& AMountPoint, std::string& AError,
                         TMountLog ALog) {
  Stop();
  if (AError = FuseUnavailableReason(); !AError.empty()) return false;
  // The folder and its parents, private to the user as a runtime folder is.
  for (size_t slash = AMountPoint.find('/', 1); ; slash = AMountPoint.find('/', slash + 1)) {
    const std::string part = AMountPoint.substr(0, slash);
    if (!part.empty()) ::mkdir(part.c_str(), 0700);
    if (slash == std::string::npos) break;
  }
  if (AError = MountPointProblem(AMountPoint, AConfig.Folder); !AError.empty()) return false;
  auto impl = std::make_unique<TImpl>();
  impl->Point = Absolute(AMountPoint);
  TMountConfig config = AConfig;
  config.Folder = Absolute(config.Folder);
  impl->Server.Tree = std::make_unique<TMountTree>(config, ALog ? ALog : TMountLog([](const std::string&) {}));
  if (!impl->Server.Tree->Prepare(AError)) return false;
  if (!impl->Mount.Create(impl->Server, config.Folder, AError)) return false;
  if (!impl->Mount.Mount(impl->Point)) {
    AError = Tr("cannot mount here (is FUSE available?)");
    return false;
  }
  fuse* f = impl->Mount.Get();
  impl->Loop = std::thread([f] { Serve(f); });
  impl->Running = true;
  FImpl = std::move(impl);
  return true;
}

void TBackupMount::Stop() {
  if (!FImpl) return;
  if (FImpl->Running) {
    // The kernel's side goes first: the loop's reads of the device then end, the thread is
    // joined, and only then is the device closed, never under a read. A mount kept busy (a
    // file open in it) cannot go that way; closing the device ends it.
    fuse_session_exit(fuse_get_session(FImpl->Mount.Get()));
    std::string error;
    const bool unmounted = UnmountPoint(FImpl->Point, true, error);
    if (!unmounted) FImpl->Mount.Unmount();
    if (FImpl->Loop.joinable()) FImpl->Loop.join();
    FImpl->Mount.Unmount();
  }
  FImpl.reset();
}

bool TBackupMount::Running() const { return FImpl && FImpl->Running; }

const std::string& TBackupMount::MountPoint() const {
  static const std::string none;
  return FImpl ? FImpl->Point : none;
}

}  // namespace qv
