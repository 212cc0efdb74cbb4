// SPDX-License-Identifier: Apache-2.0
#pragma once
// Restored files are created below a destination folder that no path may leave.
//
// Every folder below the destination is entered without following a symbolic link out of it
// (the kernel's RESOLVE_BENEATH where it has it; otherwise no link is entered at all), missing
// folders are made inside it, and a file is written as a hidden temporary file in its folder
// and renamed over the target only when it is complete. Nothing is ever changed through a
// link: a link at the target's place is replaced by the new file, not written through.
//
// Results are detail codes of base/FtGlobal.h (0 = success).
#include <sys/types.h>

#include <memory>
#include <string>

#include "base/Stream.h"

namespace qv {

// An owned descriptor.
class TFd {
 public:
  TFd() = default;
  explicit TFd(int fd) : FFd(fd) {}
  ~TFd() { Reset(); }
  TFd(TFd&& other) noexcept : FFd(other.Release()) {}
  TFd& operator=(TFd&& other) noexcept {
    if (this != &other) {
      Reset();
      FFd = other.Release();
    }
    return *this;
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;

  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  int Release() {
    const int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int FFd = -1;
};

// The detail code for an errno value met while writing a target: a full disk or quota and a
// file too large read as errDiskFull, a name too long as errPathTooLong, else AFallback.
int DetailFromErrno(int AErrno, int AFallback);

// True when the kernel can resolve a path beneath a folder itself (openat2, Linux 5.6).
bool KernelResolvesBeneath();
// Tests only: resolve component by component as on kernels without it.
void ForcePortableResolution(bool AOn);
// Tests only: named temporary files even for new targets (as on file systems without unnamed
// ones), or unnamed ones linked through /proc (as on kernels that refuse AT_EMPTY_PATH).
enum class TTemporaryFiles { Auto, Named, LinkedByProc };
void ForceTemporaryFiles(TTemporaryFiles AKind);

// False for an empty name, "." and "..", and on Windows for a name it cannot hold as it is.
bool IsPlainName(const std::string& AName);
// Why a name that is not plain is refused: errNameNotHeld for one that only Windows cannot
// hold, errNameRefused otherwise.
int NameRefusal(const std::string& AName);

// Opens the folder ARelative ("/"-separated, may be empty) below the folder ARoot, making
// missing folders when ACreate. ARoot itself is entered following links (the user chose it).
// errNameRefused for a "." or ".." component or a link that leads out of ARoot (without
// kernel support: any link); errPathTooLong; errCreateFile when it cannot be made or entered.
int OpenFolderBeneath(const std::string& ARoot, const std::string& ARelative, bool ACreate, TFd& AFolder);
// The same for a path that lies below ARoot (errNameRefused when it does not); an empty ARoot
// sets no boundary.
int ForceDirectoriesBeneath(const std::string& ARoot, const std::string& APath);

// What lies at a target's place.
struct TTargetState {
  int Detail = 0;        // 0, or why the target's folder cannot be reached
  bool Exists = false;   // something other than a folder is there (a dangling link is not)
  bool IsFolder = false;
  bool ReadOnly = false; // a regular file without write permission for its owner
  struct timespec LastWrite {};
};
// Looks at ADestName (below ARoot; an empty ARoot means the folder of ADestName) without
// changing anything. A link at the target's place is followed for its time, as the target
// that would be replaced; the folders above it are resolved as OpenFolderBeneath does.
TTargetState InspectTarget(const std::string& ARoot, const std::string& ADestName);

// The rules a worker writes its target by.
struct TTargetRules {
  std::string Root;               // the destination; empty: the folder of the target
  bool ReplaceProtected = false;  // a write-protected file may be replaced (it is never changed)
  bool KnownAbsent = false;       // the caller has just found nothing at the target's place
};

// One restored file on its way: a temporary file ".NAME.<pid>-<random>.qvpart" in the
// target's folder, renamed over the target by Commit, or for a target found absent an unnamed
// one (O_TMPFILE) that Commit links under the target's name. An uncommitted one is removed.
class TTargetFile {
 public:
  TTargetFile() = default;
  ~TTargetFile() { Discard(); }
  TTargetFile(const TTargetFile&) = delete;
  TTargetFile& operator=(const TTargetFile&) = delete;

  // Resolves the target's folder (making missing ones when a root is given), refuses a folder
  // at the target's place and a write-protected file unless the rules allow it, removes
  // leftovers of killed runs for the same target and creates the temporary file (mode 0600).
  int Create(const TTargetRules& ARules, const std::string& ADestName,
             std::unique_ptr<TFileStream>& AStream);
  bool Pending() const { return FUnnamed || !FTempName.empty(); }
  // Flushes the data when the file replaces an existing one, closes it and renames it over
  // the target (mode, times and other properties go on through the stream before). On
  // failure the temporary file is removed.
  int Commit(std::unique_ptr<TFileStream> AStream);
  void Discard();

 private:
  int LinkUnnamed(int AFd, const std::string& AName);
  int CommitUnnamed(std::unique_ptr<TFileStream> AStream);

  std::shared_ptr<const TFd> FFolder;  // shared with the run's kept folders
  std::string FLeaf;
  std::string FTempName;
  bool FUnnamed = false;
  bool FReplaceProtected = false;
};

// The permission bits a file gets when its backup carries none (0666 less the umask).
mode_t DefaultFileMode();

// The end of a run into ARoot: its file system is flushed once (the files that replaced
// existing ones were flushed each), and the record of scanned folders is dropped.
void FinishDestination(const std::string& ARoot);

}  // namespace qv
