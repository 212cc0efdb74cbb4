// SPDX-License-Identifier: Apache-2.0
#include "base/TargetFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <random>
#include <string_view>
#include <vector>

#include "base/FtGlobal.h"
#include "base/FileUtils.h"
#include "base/PathUtils.h"

#ifndef ENAMENOTHELD
#define ENAMENOTHELD (-1)  // POSIX holds every plain name: never set here
#endif

namespace qv {

namespace {

constexpr const char* kTempSuffix = ".qvpart";
constexpr size_t kRandomDigits = 16;
// The target's name in a temporary name is cut so that the whole stays within NAME_MAX.
constexpr size_t kMaxTempBase = 200;
constexpr int kTempAttempts = 16;
constexpr int kRetries = 8;  // openat2 answers EAGAIN when a rename raced the lookup

std::atomic<bool> gForcePortable{false};
// How an unnamed temporary file (O_TMPFILE) gets its name: by its descriptor (AT_EMPTY_PATH,
// which kernels before 6.10 allow only to privileged processes) or through /proc; found out
// with the first one.
enum class TLinkWay { Unknown, Descriptor, Proc, None };
std::atomic<TLinkWay> gLinkWay{TLinkWay::Unknown};
std::atomic<TTemporaryFiles> gTemporaryFiles{TTemporaryFiles::Auto};

// The flush before replacing a file and the file system's at the end of a run; only a
// benchmark turns them off (QV_BENCH_NO_SYNC=1), to show what they cost.
bool Durable() {
  static const bool durable = [] {
    const char* off = std::getenv("QV_BENCH_NO_SYNC");
    return off == nullptr || *off == '\0' || std::string_view(off) == "0";
  }();
  return durable;
}

std::vector<std::string> SplitComponents(const std::string& path) {
  std::vector<std::string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) parts.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

std::string JoinComponents(const std::vector<std::string>& parts, size_t count) {
  std::string path;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) path += '/';
    path += parts[i];
  }
  return path;
}

// The part of APath below ARoot; nothing when APath does not lie below it.
std::optional<std::string> RelativeBelow(const std::string& ARoot, const std::string& APath) {
  std::string root = ARoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (APath == root) return std::string();
  const std::string prefix = root == "/" ? root : root + "/";
  if (APath.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return APath.substr(prefix.size());
}

long OpenBeneath(int ARootFd, const std::string& APath) {
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long fd = -1;
  for (int attempt = 0; attempt < kRetries; ++attempt) {
    fd = syscall(SYS_openat2, ARootFd, APath.c_str(), &how, sizeof how);
    if (fd >= 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return fd;
}

bool UseKernel() { return !gForcePortable.load() && KernelResolvesBeneath(); }

// One folder component, entered without following a link (kernels without openat2).
int OpenComponent(int AFolder, const std::string& AName, TFd& AOut) {
  const int fd = ::openat(AFolder, AName.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    AOut.Reset(fd);
    return 0;
  }
  const int err = errno;
  struct stat st {};
  if (::fstatat(AFolder, AName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
    return ELOOP;
  return err;
}

// Opens the folders AParts below ARootFd: 0 or an errno value (EXDEV for a name that would
// climb out, ELOOP for a link that may not be entered).
int ResolveFolder(int ARootFd, const std::vector<std::string>& AParts, bool ACreate, TFd& AOut) {
  for (const std::string& part : AParts)
    if (!IsPlainName(part)) return NameRefusal(part) == errNameNotHeld ? ENAMENOTHELD : EXDEV;
  if (AParts.empty()) {
    const int fd = ::fcntl(ARootFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) return errno;
    AOut.Reset(fd);
    return 0;
  }
  if (UseKernel()) {
    const long whole = OpenBeneath(ARootFd, JoinComponents(AParts, AParts.size()));
    if (whole >= 0) {
      AOut.Reset(static_cast<int>(whole));
      return 0;
    }
    if (errno != ENOENT || !ACreate) return errno;
  }
  TFd current;
  for (size_t i = 0; i < AParts.size(); ++i) {
    const int parent = i == 0 ? ARootFd : current.Get();
    TFd next;
    int err = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (UseKernel()) {
        const long fd = OpenBeneath(ARootFd, JoinComponents(AParts, i + 1));
        err = fd >= 0 ? 0 : errno;
        if (fd >= 0) next.Reset(static_cast<int>(fd));
      } else {
        err = OpenComponent(parent, AParts[i], next);
      }
      if (err != ENOENT || !ACreate || attempt > 0) break;
      if (::mkdirat(parent, AParts[i].c_str(), 0777) != 0 && errno != EEXIST) return errno;
    }
    if (err != 0) return err;
    current = std::move(next);
  }
  AOut = std::move(current);
  return 0;
}

int ResolutionDetail(int AErrno) {
  switch (AErrno) {
    case 0: return 0;
    case EXDEV:
    case ELOOP: return errNameRefused;
    case ENAMENOTHELD: return errNameNotHeld;
    case ENAMETOOLONG: return errPathTooLong;
    default: return errCreateFile;
  }
}

// The destinations of the run, each opened once: every target of a run is resolved from its
// destination's handle, and a run writes thousands of them. The boundary check is unchanged,
// as every folder below is still resolved beneath the handle for each target. Dropped at the
// end of the run (FinishDestination).
class TRootCache {
 public:
  // The handle of ARoot, shared with the cache; nullptr with errno set when it cannot be opened.
  // AKeep false: a folder that is no destination (a target named without one) is opened for
  // this target only.
  std::shared_ptr<const TFd> Open(const std::string& ARoot, bool AKeep) {
    std::lock_guard lock(FMutex);
    for (const auto& [root, fd] : FRoots)
      if (root == ARoot) return fd;
    const int fd = ::open(ARoot.empty() ? "." : ARoot.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto handle = std::make_shared<const TFd>(fd);
    // "." stands for the working folder, which may change between runs; it is never kept.
    if (!AKeep || ARoot.empty() || ARoot == ".") return handle;
    if (FRoots.size() >= kKept) FRoots.erase(FRoots.begin());
    FRoots.emplace_back(ARoot, handle);
    return handle;
  }
  void Forget() {
    std::lock_guard lock(FMutex);
    FRoots.clear();
  }

 private:
  static constexpr size_t kKept = 8;
  std::mutex FMutex;
  std::vector<std::pair<std::string, std::shared_ptr<const TFd>>> FRoots;
};

TRootCache& Roots() {
  static TRootCache roots;
  return roots;
}

// The folders below the destinations of the run, each resolved once for all the targets in it
// (a walk writes a folder's files one after another). A kept handle still refers to the folder
// that was checked beneath the destination; one that was removed meanwhile is resolved again
// (TTargetFile::Create). Dropped with the destinations.
class TFolderCache {
 public:
  std::shared_ptr<const TFd> Find(const std::string& AKey) {
    std::lock_guard lock(FMutex);
    for (auto it = FFolders.rbegin(); it != FFolders.rend(); ++it)
      if (it->first == AKey) return it->second;
    return nullptr;
  }
  void Keep(std::string AKey, std::shared_ptr<const TFd> AFolder) {
    std::lock_guard lock(FMutex);
    Erase(AKey);
    if (FFolders.size() >= kKept) FFolders.erase(FFolders.begin());
    FFolders.emplace_back(std::move(AKey), std::move(AFolder));
  }
  void Drop(const std::string& AKey) {
    std::lock_guard lock(FMutex);
    Erase(AKey);
  }
  void Forget() {
    std::lock_guard lock(FMutex);
    FFolders.clear();
  }

 private:
  void Erase(const std::string& AKey) {
    std::erase_if(FFolders, [&](const auto& entry) { return entry.first == AKey; });
  }
  static constexpr size_t kKept = 16;
  std::mutex FMutex;
  std::vector<std::pair<std::string, std::shared_ptr<const TFd>>> FFolders;  // the newest last
};

TFolderCache& Folders() {
  static TFolderCache folders;
  return folders;
}

// Resolves the folders AParts below ARoot into AOut: 0 or an errno value.
int OpenPlaceFolder(const std::string& ARoot, const std::vector<std::string>& AParts, bool ACreate,
                    TFd& AOut, bool AKeepRoot = true) {
  const std::shared_ptr<const TFd> root = Roots().Open(ARoot, AKeepRoot);
  if (!root) return errno;
  return ResolveFolder(root->Get(), AParts, ACreate, AOut);
}

// The process id in temporary names, asked once (a child after fork asks again).
pid_t OwnPid() {
  static std::atomic<pid_t> pid{0};
  static const bool registered = [] {
    ::pthread_atfork(nullptr, nullptr, [] { pid.store(0); });
    return true;
  }();
  (void)registered;
  pid_t own = pid.load(std::memory_order_relaxed);
  if (own == 0) {
    own = ::getpid();
    pid.store(own, std::memory_order_relaxed);
  }
  return own;
}

// Where a target lies: the root to resolve from, the folders below it and the file's name.
struct TTargetPlace {
  std::string Root;
  std::vector<std::string> Folders;
  std::string Leaf;
  bool Create = false;
};

// A folder reached through an open handle by a walk that entered no link.
bool IsHandlePath(const std::string& APath) {
  static const std::string prefix = "/proc/self/fd/";
  return APath.compare(0, prefix.size(), prefix) == 0;
}

int PlaceOf(const std::string& ARoot, const std::string& ADestName, TTargetPlace& APlace) {
  std::vector<std::string> parts;
  // Past the system's path limit the walk hands over its folder's handle instead of a path
  // below the root; that folder is the boundary then.
  if (ARoot.empty() || (!RelativeBelow(ARoot, ADestName) && IsHandlePath(ADestName))) {
    const size_t slash = ADestName.rfind('/');
    APlace.Root = slash == std::string::npos ? std::string(".") : ADestName.substr(0, slash + 1);
    APlace.Leaf = slash == std::string::npos ? ADestName : ADestName.substr(slash + 1);
  } else {
    const std::optional<std::string> relative = RelativeBelow(ARoot, ADestName);
    if (!relative) return errNameRefused;
    parts = SplitComponents(*relative);
    if (parts.empty()) return errNameRefused;
    APlace.Root = ARoot;
    APlace.Leaf = parts.back();
    parts.pop_back();
    APlace.Create = true;
  }
  APlace.Folders = std::move(parts);
  if (!IsPlainName(APlace.Leaf)) return NameRefusal(APlace.Leaf);
  if (APlace.Leaf.size() > NAME_MAX) return errPathTooLong;
  return 0;
}

// The key of a target's folder in the folder cache; empty for a folder that is not kept
// (no destination, or one reached through a walk's handle).
std::string FolderKey(const TTargetPlace& APlace) {
  if (!APlace.Create) return std::string();
  return APlace.Root + '\0' + JoinComponents(APlace.Folders, APlace.Folders.size());
}

// The folder of a target, from the cache or resolved (and then kept): 0 or an errno value.
int PlaceFolder(const TTargetPlace& APlace, bool ACreate, std::shared_ptr<const TFd>& AFolder) {
  const std::string key = FolderKey(APlace);
  if (!key.empty()) {
    AFolder = Folders().Find(key);
    if (AFolder) return 0;
  }
  TFd folder;
  if (const int err = OpenPlaceFolder(APlace.Root, APlace.Folders, ACreate, folder, APlace.Create); err != 0)
    return err;
  AFolder = std::make_shared<const TFd>(std::move(folder));
  if (!key.empty()) Folders().Keep(key, AFolder);
  return 0;
}

std::string CutName(const std::string& AName, size_t AMax) {
  if (AName.size() <= AMax) return AName;
  size_t cut = AMax;
  while (cut > 0 && (static_cast<unsigned char>(AName[cut]) & 0xC0) == 0x80) --cut;
  return AName.substr(0, cut);
}

std::string RandomDigits() {
  static std::atomic<uint64_t> counter{0};
  static const uint64_t seed = [] {
    std::random_device rd;
    return (static_cast<uint64_t>(rd()) << 32) ^ rd();
  }();
  uint64_t x = seed ^ ++counter * 0x9E3779B97F4A7C15ull;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  std::string text(kRandomDigits, '0');
  for (size_t i = kRandomDigits; i-- > 0; x >>= 4) text[i] = "0123456789abcdef"[x & 15];
  return text;
}

std::string TempPrefix(const std::string& ALeaf) { return "." + CutName(ALeaf, kMaxTempBase) + "."; }

// The owner's process id of a temporary name made by TempPrefix + "<pid>-<random>.qvpart";
// nothing for any other name.
std::optional<pid_t> TempOwner(const std::string& AName) {
  const size_t suffix = std::char_traits<char>::length(kTempSuffix);
  if (AName.size() < 2 + suffix + kRandomDigits + 3 || AName[0] != '.') return std::nullopt;
  if (AName.compare(AName.size() - suffix, suffix, kTempSuffix) != 0) return std::nullopt;
  const size_t randomStart = AName.size() - suffix - kRandomDigits;
  for (size_t i = randomStart; i < randomStart + kRandomDigits; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(AName[i]))) return std::nullopt;
  if (AName[randomStart - 1] != '-') return std::nullopt;
  size_t pidStart = randomStart - 1;
  while (pidStart > 0 && std::isdigit(static_cast<unsigned char>(AName[pidStart - 1]))) --pidStart;
  const size_t digits = randomStart - 1 - pidStart;
  if (digits == 0 || digits > 9 || pidStart < 2 || AName[pidStart - 1] != '.') return std::nullopt;
  return static_cast<pid_t>(std::stol(AName.substr(pidStart, digits)));
}

// A folder at the target's place is never replaced.
int RenameDetail(int AErrno) {
  return AErrno == EISDIR || AErrno == ENOTEMPTY || AErrno == EEXIST ? static_cast<int>(errCreateFile)
                                                                     : DetailFromErrno(AErrno, errWriteFile);
}

bool OwnerIsGone(pid_t APid) {
  if (APid <= 0 || APid == OwnPid()) return false;
  return ::kill(APid, 0) != 0 && errno == ESRCH;
}

// Leftovers of killed runs, per folder, found by one listing the first time a run writes
// into the folder; each is removed when a run restores its target.
class TLeftovers {
 public:
  // AKey names the folder for the run: its path below the destination, or empty to take its
  // identity from the file system.
  void RemoveFor(int AFolder, std::string AKey, const std::string& ALeaf) {
    if (AKey.empty()) {
      struct stat st {};
      if (::fstat(AFolder, &st) != 0) return;
      AKey = std::string(1, '\0') + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    }
    std::lock_guard lock(FMutex);
    auto [it, fresh] = FFolders.try_emplace(std::move(AKey));
    if (fresh) it->second = List(AFolder);
    const std::string prefix = TempPrefix(ALeaf);
    std::vector<std::string>& names = it->second;
    for (auto name = names.begin(); name != names.end();) {
      const auto owner = TempOwner(*name);
      if (name->compare(0, prefix.size(), prefix) == 0 && owner &&
          name->size() == prefix.size() + std::to_string(*owner).size() + 1 + kRandomDigits +
                              std::char_traits<char>::length(kTempSuffix)) {
        ::unlinkat(AFolder, name->c_str(), 0);
        name = names.erase(name);
      } else {
        ++name;
      }
    }
  }
  void Forget() {
    std::lock_guard lock(FMutex);
    FFolders.clear();
  }

 private:
  static std::vector<std::string> List(int AFolder) {
    std::vector<std::string> names;
    const int fd = ::openat(AFolder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
      ::close(fd);
      return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      const auto owner = TempOwner(name);
      if (owner && OwnerIsGone(*owner)) names.push_back(name);
    }
    ::closedir(dir);
    return names;
  }

  std::mutex FMutex;
  std::map<std::string, std::vector<std::string>, std::less<>> FFolders;
};

TLeftovers& Leftovers() {
  static TLeftovers leftovers;
  return leftovers;
}

}  // namespace

void TFd::Reset(int fd) {
  if (FFd >= 0) ::close(FFd);
  FFd = fd;
}

int DetailFromErrno(int AErrno, int AFallback) {
  switch (AErrno) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return errDiskFull;
    case ENAMETOOLONG: return errPathTooLong;
    case ENAMENOTHELD: return errNameNotHeld;
    default: return AFallback;
  }
}

bool KernelResolvesBeneath() {
  static const bool available = [] {
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH;
    const long fd = syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
    if (fd >= 0) ::close(static_cast<int>(fd));
    return fd >= 0 || errno != ENOSYS;
  }();
  return available;
}

void ForceTemporaryFiles(TTemporaryFiles AKind) {
  gTemporaryFiles = AKind;
  gLinkWay = TLinkWay::Unknown;
}

void ForcePortableResolution(bool AOn) {
  gForcePortable = AOn;
  Folders().Forget();  // resolved the other way
}

bool IsPlainName(const std::string& AName) {
#ifdef _WIN32
  // Nor a name that Windows would take for a device, trim or split: never another file.
  if (!qv_name_allowed(AName)) return false;
#endif
  return !AName.empty() && AName != "." && AName != ".." && AName.find('/') == std::string::npos;
}

int NameRefusal(const std::string& AName) {
  const bool posixPlain = !AName.empty() && AName != "." && AName != ".." && AName.find('/') == std::string::npos;
  return posixPlain && !IsPlainName(AName) ? errNameNotHeld : errNameRefused;
}

int OpenFolderBeneath(const std::string& ARoot, const std::string& ARelative, bool ACreate, TFd& AFolder) {
  return ResolutionDetail(OpenPlaceFolder(ARoot, SplitComponents(ARelative), ACreate, AFolder));
}

int ForceDirectoriesBeneath(const std::string& ARoot, const std::string& APath) {
  if (ARoot.empty()) return LongForceDirectories(APath) ? 0 : static_cast<int>(errCreateFile);  // no boundary known
  const std::optional<std::string> relative = RelativeBelow(ARoot, APath);
  if (!relative) return errNameRefused;
  // Kept for the targets that follow in the same folder.
  TTargetPlace place;
  place.Root = ARoot;
  place.Folders = SplitComponents(*relative);
  place.Create = true;
  std::shared_ptr<const TFd> folder;
  return ResolutionDetail(PlaceFolder(place, true, folder));
}

TTargetState InspectTarget(const std::string& ARoot, const std::string& ADestName) {
  TTargetState state;
  TTargetPlace place;
  state.Detail = PlaceOf(ARoot, ADestName, place);
  if (state.Detail != 0) return state;
  std::shared_ptr<const TFd> folder;
  const int err = PlaceFolder(place, false, folder);
  if (err == ENOENT) return state;  // no folder yet, so no target either
  state.Detail = ResolutionDetail(err);
  if (state.Detail != 0) return state;
  struct stat st {};
  if (::fstatat(folder->Get(), place.Leaf.c_str(), &st, 0) != 0) {
    if (errno == ENAMETOOLONG) state.Detail = errPathTooLong;
    return state;  // missing, or a dangling link: nothing to replace that counts
  }
  state.IsFolder = S_ISDIR(st.st_mode);
  state.Exists = !state.IsFolder;
  state.LastWrite = st.st_mtim;
  struct stat own {};
  if (::fstatat(folder->Get(), place.Leaf.c_str(), &own, AT_SYMLINK_NOFOLLOW) == 0)
    state.ReadOnly = S_ISREG(own.st_mode) && (own.st_mode & S_IWUSR) == 0;
  return state;
}

namespace {

// What may not be replaced: a folder, and a write-protected file unless the rules allow it.
// 0 when the target's place is free (AFree then true, when asked) or may be taken.
int RefusedTarget(int AFolder, const std::string& ALeaf, bool AReplaceProtected, bool* AFree = nullptr) {
  struct stat st {};
  if (::fstatat(AFolder, ALeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (AFree) *AFree = errno == ENOENT;
    return 0;
  }
  if (S_ISDIR(st.st_mode)) return errCreateFile;
  // Refused explicitly: a process running as root would otherwise replace it.
  if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0 && !AReplaceProtected) return errCreateFile;
  return 0;
}

std::string TempName(const std::string& ALeaf) {
  return TempPrefix(ALeaf) + std::to_string(OwnPid()) + "-" + RandomDigits() + kTempSuffix;
}

int LinkUnnamedBy(TLinkWay AWay, int AFd, int AFolder, const std::string& AName) {
  if (AWay == TLinkWay::Descriptor)
    return ::linkat(AFd, "", AFolder, AName.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
  const std::string self = "/proc/self/fd/" + std::to_string(AFd);
  return ::linkat(AT_FDCWD, self.c_str(), AFolder, AName.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
}

// The way unnamed files get their names here, tried once with a file of its own (a file that
// had a name cannot be linked again): linked under a temporary name and unlinked at once.
TLinkWay UnnamedLinkWay(int AFolder, const std::string& ALeaf) {
  const TTemporaryFiles kind = gTemporaryFiles.load(std::memory_order_relaxed);
  if (kind == TTemporaryFiles::Named) return TLinkWay::None;
  TLinkWay way = gLinkWay.load(std::memory_order_relaxed);
  if (way != TLinkWay::Unknown) return way;
  way = TLinkWay::None;
  TFd probe(::openat(AFolder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!probe.Valid()) return way;  // this file system may have none; another may
  for (const TLinkWay candidate : {TLinkWay::Descriptor, TLinkWay::Proc}) {
    if (candidate == TLinkWay::Descriptor && kind == TTemporaryFiles::LinkedByProc) continue;
    const std::string name = TempName(ALeaf);
    if (LinkUnnamedBy(candidate, probe.Get(), AFolder, name) == 0) {
      ::unlinkat(AFolder, name.c_str(), 0);
      way = candidate;
      break;
    }
  }
  gLinkWay.store(way, std::memory_order_relaxed);
  return way;
}

}  // namespace

int TTargetFile::Create(const TTargetRules& ARules, const std::string& ADestName,
                        std::unique_ptr<TFileStream>& AStream) {
  Discard();
  TTargetPlace place;
  if (const int detail = PlaceOf(ARules.Root, ADestName, place); detail != 0) return detail;
  std::shared_ptr<const TFd> folder;
  for (int attempt = 0;; ++attempt) {
    if (const int err = PlaceFolder(place, place.Create, folder); err != 0) return ResolutionDetail(err);
    // A target just found missing needs no second look: Commit takes a new name only while it
    // is free, and looks at what appeared meanwhile.
    bool free = ARules.KnownAbsent;
    if (const int detail = free ? 0 : RefusedTarget(folder->Get(), place.Leaf, ARules.ReplaceProtected, &free);
        detail != 0)
      return detail;
    // Below a destination the folder's path names it for the whole run.
    const std::string folderKey = FolderKey(place);
    Leftovers().RemoveFor(folder->Get(), folderKey, place.Leaf);
    const auto take = [&](int AFd, std::string ATempName) {
      AStream = TFileStream::Adopt(AFd);
      FFolder = std::move(folder);
      FLeaf = std::move(place.Leaf);
      FUnnamed = ATempName.empty();
      FTempName = std::move(ATempName);
      FReplaceProtected = ARules.ReplaceProtected;
      return 0;
    };
    // A new file needs no name until it is complete: nothing is left behind if the run dies.
    if (free && UnnamedLinkWay(folder->Get(), place.Leaf) != TLinkWay::None) {
      const int fd = ::openat(folder->Get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
      if (fd >= 0) return take(fd, std::string());
      // Any failure (a file system without them, a removed folder) is met again below.
    }
    int err = EEXIST;
    for (int tries = 0; tries < kTempAttempts && err == EEXIST; ++tries) {
      std::string name = TempName(place.Leaf);
      const int fd = ::openat(folder->Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) return take(fd, std::move(name));
      err = errno;
    }
    // A kept folder that was removed meanwhile: resolved once more, as any new folder.
    if (err == ENOENT && !folderKey.empty() && attempt == 0) {
      Folders().Drop(folderKey);
      continue;
    }
    return err == EEXIST ? static_cast<int>(errCreateFile) : DetailFromErrno(err, errCreateFile);
  }
}

// Links the unnamed file under a name in the target's folder; errno on failure.
int TTargetFile::LinkUnnamed(int AFd, const std::string& AName) {
  return LinkUnnamedBy(gLinkWay.load(std::memory_order_relaxed), AFd, FFolder->Get(), AName);
}

// An unnamed file takes the target's name only while it is free; a file that appeared there
// meanwhile is replaced as Create would have allowed, through a temporary name.
int TTargetFile::CommitUnnamed(std::unique_ptr<TFileStream> AStream) {
  FUnnamed = false;
  if (!AStream) {
    FFolder.reset();
    return errWriteFile;
  }
  int err = LinkUnnamed(AStream->Handle(), FLeaf);
  if (err == 0) {
    if (!AStream->Close()) {
      const int detail = DetailFromErrno(errno, errWriteFile);
      ::unlinkat(FFolder->Get(), FLeaf.c_str(), 0);  // the name does not point at bad data
      FFolder.reset();
      return detail;
    }
    FFolder.reset();
    return 0;
  }
  int detail = err == EEXIST ? RefusedTarget(FFolder->Get(), FLeaf, FReplaceProtected) : RenameDetail(err);
  if (detail == 0) {
    std::string name = TempName(FLeaf);
    err = LinkUnnamed(AStream->Handle(), name);
    if (err == 0) {
      FTempName = std::move(name);
      return Commit(std::move(AStream));
    }
    detail = RenameDetail(err);
  }
  FFolder.reset();
  return detail;
}

int TTargetFile::Commit(std::unique_ptr<TFileStream> AStream) {
  if (FUnnamed) return CommitUnnamed(std::move(AStream));
  if (!Pending()) return 0;
  int detail = 0;
  if (AStream) {
    // Old or new, never half: the data are on disk before the name points at an existing
    // file's place. A new name is taken without the flush, in the same call that finds it free.
    bool renamed = false;
    bool replaces = true;
    if (::renameat2(FFolder->Get(), FTempName.c_str(), FFolder->Get(), FLeaf.c_str(), RENAME_NOREPLACE) == 0) {
      renamed = true;
    } else if (errno == EINVAL || errno == ENOSYS) {  // a file system without the flag
      struct stat st {};
      replaces = ::fstatat(FFolder->Get(), FLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    } else if (errno != EEXIST) {
      detail = RenameDetail(errno);
    } else {
      // Something took the name meanwhile: replaced only as Create would have allowed.
      detail = RefusedTarget(FFolder->Get(), FLeaf, FReplaceProtected);
    }
    if (!renamed && detail == 0 && replaces && Durable() && ::fdatasync(AStream->Handle()) != 0)
      detail = DetailFromErrno(errno, errWriteFile);
    if (!AStream->Close() && detail == 0) detail = DetailFromErrno(errno, errWriteFile);
    AStream.reset();
    if (renamed) {
      if (detail != 0) {
        // The data did not close cleanly: the new name goes again rather than point at them.
        ::unlinkat(FFolder->Get(), FLeaf.c_str(), 0);
        FTempName.clear();
        FFolder.reset();
        return detail;
      }
      FTempName.clear();
      FFolder.reset();
      return 0;
    }
  }
  if (detail == 0 && ::renameat(FFolder->Get(), FTempName.c_str(), FFolder->Get(), FLeaf.c_str()) != 0)
    detail = RenameDetail(errno);
  if (detail != 0) {
    Discard();
    return detail;
  }
  FTempName.clear();
  FFolder.reset();
  return 0;
}

void TTargetFile::Discard() {
  // An unnamed file goes with its last descriptor.
  if (!FTempName.empty()) ::unlinkat(FFolder->Get(), FTempName.c_str(), 0);
  FUnnamed = false;
  FTempName.clear();
  FFolder.reset();
}

mode_t DefaultFileMode() {
  static const mode_t mode = [] {
    // Read without changing it: umask() would set it for every thread for a moment.
    mode_t mask = 022;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Umask:", 0) == 0) {
        mask = static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
        break;
      }
    }
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return mode;
}

void FinishDestination(const std::string& ARoot) {
  Leftovers().Forget();
  Folders().Forget();
  Roots().Forget();
  if (ARoot.empty() || !Durable()) return;
  TFd root(::open(ARoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (root.Valid()) ::syncfs(root.Get());
}

}  // namespace qv
