// SPDX-License-Identifier: Apache-2.0
#pragma once
// Shared helpers of the transfer tests: temporary folders, file contents, and running a
// worker to its end on the test's main thread (which serves the worker's Synchronize calls).
#include <sys/stat.h>
#include <dirent.h>
#include <unistd.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <signal.h>
#endif

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "base/FtGlobal.h"
#include "transfer/CopyThread.h"
#include "transfer/FixtureReplay.h"

namespace qv::test {

// Names in a folder, without "." and "..", hidden ones included.
inline std::vector<std::string> ListDir(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it at the end.
class TTempDir {
 public:
  explicit TTempDir(const std::string& tag = "qvtest") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : DefaultBase()) + "/" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) FPath = buffer.data();
    if (!FPath.empty()) fixture::FolderMade(FPath);
  }
  ~TTempDir() {
    if (!FPath.empty()) RemoveTree(FPath);
    fixture::FolderGone(FPath);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  bool Ok() const { return !FPath.empty(); }
  const std::string& Path() const { return FPath; }
  // The path of name inside the folder.
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

  static std::string DefaultBase() {
#ifdef _WIN32
    wchar_t base[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, base);
    std::string path = qv_utf8(std::wstring(base, n));
    for (auto& c : path)
      if (c == '\\') c = '/';
    while (path.size() > 3 && path.back() == '/') path.pop_back();
    return path;
#else
    return "/tmp";
#endif
  }

  static void RemoveTree(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      chmod(path.c_str(), 0700);
      for (const auto& name : ListDir(path)) RemoveTree(path + "/" + name);
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

 private:
  std::string FPath;
};

inline bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(fixture::NativePath(path), std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

inline std::string ReadFile(const std::string& path) { return fixture::ReadAll(path); }

inline bool FileExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// Reproducible bytes: half random, half runs, so both compressible and incompressible data occur.
inline std::string RandomBytes(size_t size, uint32_t seed = 1) {
  std::mt19937 gen(seed);
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i / 4096) % 2 ? 'a' + i % 7 : gen());
  return data;
}

// Runs a shell command; true when it exited with 0. On Windows its recorded effect is
// applied instead (transfer/FixtureReplay.h).
inline bool Run(const std::string& command) {
#ifdef _WIN32
  return fixture::Replay(command);
#else
  return fixture::RunAndRecord(command);
#endif
}

// One progress report as the handler received it.
struct TProgressReport {
  TFileAction Action;
  int64_t Count;
  bool SpeedLimit;
  bool operator==(const TProgressReport&) const = default;
};

// Collects the reports of a worker and checks that they arrive on the main thread.
struct TProgressLog {
  std::vector<TProgressReport> Reports;
  bool OffMainThread = false;

  TProgressEvent Handler() {
    return [this](TFileAction AAction, int64_t ACount, bool ASpeedLimit) {
      if (!TThread::IsMainThread()) OffMainThread = true;
      Reports.push_back({AAction, ACount, ASpeedLimit});
    };
  }
};

// Resumes the worker and serves its Synchronize calls until Done, as the restore session does.
// False when it is not done within the limit (the worker is then cancelled and waited for).
inline bool RunToEnd(TCopyThread& worker, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  worker.Resume();
  while (!worker.Done()) {
    TThread::CheckSynchronize(10);
    if (std::chrono::steady_clock::now() > deadline) {
      worker.CancelThread();
      worker.WaitFor();
      return false;
    }
  }
  return true;
}

// Files in folder whose names look like an uncommitted temporary target.
inline std::vector<std::string> LeftoverTempFiles(const std::string& folder) {
  std::vector<std::string> found;
  for (const auto& name : ListDir(folder))
    if (name.size() > 7 && name.compare(name.size() - 7, 7, ".qvpart") == 0) found.push_back(name);
  return found;
}

#ifndef _WIN32
// Runs AJob in a child process whose files may grow to ALimit bytes at most (a full medium
// without a small file system to fill) and returns AJob's result; -1 when the child failed.
inline int RunWithFileSizeLimit(rlim_t ALimit, const std::function<int()>& AJob) {
  int channel[2];
  if (pipe(channel) != 0) return -1;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    rlimit limit {};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = ALimit;
    int result = setrlimit(RLIMIT_FSIZE, &limit) == 0 ? AJob() : -1;
    const bool sent = write(channel[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    _exit(sent ? 0 : 1);
  }
  close(channel[1]);
  int result = -1;
  if (child < 0 || read(channel[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) result = -1;
  close(channel[0]);
  int status = 0;
  if (child > 0) waitpid(child, &status, 0);
  return result;
}
#else
// Windows puts no file size limit on a process: the rows that need one are left out there.
inline int RunWithFileSizeLimit(unsigned long long, const std::function<int()>&) { return -1; }
#endif

}  // namespace qv::test
