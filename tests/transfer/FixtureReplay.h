// SPDX-License-Identifier: Apache-2.0
#pragma once
// Fixtures made by Linux tools, replayed where those tools cannot run (the Windows build
// under Wine). On Linux, with QV_FIXTURE_RECORD=<folder>, every shell command a test runs is
// recorded as what it changed in the test's temporary folders (folders made, files written
// with their bytes, times and write bit, entries removed, the times of the files it read) and
// its exit status, in a file named by the test and the command's place in it. The Windows
// tests, given QV_FIXTURE_DIR, apply that record instead of running the command; "cmp -s" and
// "rm -rf" act on what this system made and are answered on the spot. Without either
// variable nothing changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace qv::test::fixture {

// The temporary folders alive now, in the order they were made: a command's paths are
// recorded relative to them (@0@, @1@, ...), so the same command matches on both systems.
inline std::vector<std::string>& LiveFolders() {
  static std::vector<std::string> folders;
  return folders;
}
inline void FolderMade(const std::string& path) { LiveFolders().push_back(path); }
inline void FolderGone(const std::string& path) {
  auto& folders = LiveFolders();
  folders.erase(std::remove(folders.begin(), folders.end(), path), folders.end());
}

inline std::string Normalized(std::string text) {
  const auto& folders = LiveFolders();
  std::vector<size_t> order(folders.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  // Longer paths first: one folder's path may begin with another's.
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return folders[a].size() > folders[b].size(); });
  for (size_t i : order) {
    const std::string tag = "@" + std::to_string(i) + "@";
    for (size_t at = text.find(folders[i]); at != std::string::npos; at = text.find(folders[i], at + tag.size()))
      text.replace(at, folders[i].size(), tag);
  }
  return text;
}

inline std::string Expanded(const std::string& tagged) {
  if (tagged.size() < 3 || tagged[0] != '@') return tagged;
  const size_t close = tagged.find('@', 1);
  if (close == std::string::npos) return tagged;
  const size_t index = std::strtoul(tagged.substr(1, close - 1).c_str(), nullptr, 10);
  if (index >= LiveFolders().size()) return tagged;
  return LiveFolders()[index] + tagged.substr(close + 1);
}

// "Suite.Name/3-2": the test and the number of the command within it.
inline std::string NextKey() {
  static std::string lastTest;
  static int count = 0;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string test = info ? std::string(info->test_suite_name()) + "." + info->name() : "global";
  if (test != lastTest) {
    lastTest = test;
    count = 0;
  }
  std::string key = test + "-" + std::to_string(++count);
  for (char& c : key)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
  return key;
}

inline std::string Hex(const std::string& text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

inline std::string Unhex(const std::string& hex) {
  std::string out;
  if (hex == "-") return out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

// A UTF-8 path as the streams of the C++ library take it: on Windows as UTF-16, through the
// platform layer, so names beyond the ANSI code page reach the same file as the core's calls.
#ifdef _WIN32
inline std::filesystem::path NativePath(const std::string& path) { return std::filesystem::path(qv_wide_path(path)); }
#else
inline const std::string& NativePath(const std::string& path) { return path; }
#endif

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(NativePath(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "cmp -s 'a' 'b'" compares what this test made: it is answered here, never replayed.
inline bool IsCompare(const std::string& command, std::string& a, std::string& b) {
  if (command.rfind("cmp -s '", 0) != 0) return false;
  const size_t aEnd = command.find('\'', 8);
  if (aEnd == std::string::npos || command.compare(aEnd, 3, "' '") != 0) return false;
  const size_t bEnd = command.find('\'', aEnd + 3);
  if (bEnd == std::string::npos || bEnd + 1 != command.size()) return false;
  a = command.substr(8, aEnd - 8);
  b = command.substr(aEnd + 3, bEnd - aEnd - 3);
  return true;
}

// "rm -rf 'a' 'b'": removes what this test made, as many times as this system's run asks
// for it; answered here, never replayed. Empty when the command is another.
inline std::vector<std::string> RemovedPaths(const std::string& command) {
  std::vector<std::string> paths;
  if (command.rfind("rm -rf '", 0) != 0) return paths;
  size_t at = 6;
  while (at < command.size()) {
    if (command[at] != '\'') return {};
    const size_t end = command.find('\'', at + 1);
    if (end == std::string::npos) return {};
    paths.push_back(command.substr(at + 1, end - at - 1));
    at = end + 1;
    if (at < command.size() && command[at] != ' ') return {};
    ++at;
  }
  return paths;
}

#ifndef _WIN32
struct TEntry {
  char Kind;  // d folder, f file, o anything else
  struct stat St;
};
using TSnapshot = std::map<std::string, TEntry>;  // tagged path -> entry

inline void Walk(const std::string& path, const std::string& tagged, TSnapshot& out) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  const char kind = S_ISDIR(st.st_mode) ? 'd' : S_ISREG(st.st_mode) ? 'f' : 'o';
  out[tagged] = {kind, st};
  if (kind != 'd') return;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") Walk(path + "/" + name, tagged + "/" + name, out);
    }
    ::closedir(dir);
  }
}

inline TSnapshot Snapshot() {
  TSnapshot out;
  const auto& folders = LiveFolders();
  for (size_t i = 0; i < folders.size(); ++i) Walk(folders[i], "@" + std::to_string(i) + "@", out);
  return out;
}

inline bool Changed(const struct stat& a, const struct stat& b) {
  return a.st_ino != b.st_ino || a.st_size != b.st_size || a.st_mode != b.st_mode ||
         a.st_mtim.tv_sec != b.st_mtim.tv_sec || a.st_mtim.tv_nsec != b.st_mtim.tv_nsec ||
         a.st_ctim.tv_sec != b.st_ctim.tv_sec || a.st_ctim.tv_nsec != b.st_ctim.tv_nsec;
}

inline std::string TimeText(const struct stat& st) {
  return std::to_string(static_cast<long long>(st.st_mtim.tv_sec)) + " " + std::to_string(st.st_mtim.tv_nsec) + " " +
         std::to_string(st.st_mode & 07777);
}

// Runs the command and, when asked to, records what it did.
inline bool RunAndRecord(const std::string& command) {
  const char* folder = std::getenv("QV_FIXTURE_RECORD");
  if (folder == nullptr || *folder == '\0') return std::system(command.c_str()) == 0;
  const std::string key = NextKey();
  const TSnapshot before = Snapshot();
  const bool ok = std::system(command.c_str()) == 0;
  std::string a, b;
  if (IsCompare(command, a, b)) return ok;
  const TSnapshot after = Snapshot();
  std::ostringstream out;
  out << "qvfixture 1\ncommand " << Hex(Normalized(command)) << "\nstatus " << (ok ? 0 : 1) << "\n";
  for (const auto& [path, entry] : before) {
    if (after.count(path)) continue;
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && !after.count(path.substr(0, slash)) && before.count(path.substr(0, slash)))
      continue;  // its folder went with it
    out << "remove " << Hex(path) << "\n";
  }
  // The times of the files the command found: what it made from them (a zip's entry times)
  // then agrees with them on the other system too.
  for (const auto& [path, entry] : before) {
    const auto now = after.find(path);
    if (entry.Kind == 'f' && now != after.end() && now->second.Kind == 'f' && !Changed(entry.St, now->second.St))
      out << "stamp " << Hex(path) << " " << TimeText(entry.St) << "\n";
  }
  std::vector<std::string> folderTimes;
  for (const auto& [path, entry] : after) {
    const auto old = before.find(path);
    if (old != before.end() && old->second.Kind == entry.Kind && !Changed(old->second.St, entry.St)) continue;
    if (entry.Kind == 'd') {
      out << "folder " << Hex(path) << "\n";
      folderTimes.push_back("times " + Hex(path) + " " + TimeText(entry.St) + "\n");
    } else if (entry.Kind == 'f') {
      const std::string data = ReadAll(Expanded(path));
      out << "file " << Hex(path) << " " << TimeText(entry.St) << " " << data.size() << "\n";
      out.write(data.data(), static_cast<std::streamsize>(data.size()));
      out << "\n";
    } else {
      out << "other " << Hex(path) << "\n";  // a link, FIFO or device: not made elsewhere
    }
  }
  // Folder times last and deepest first: what is made inside a folder changes its time.
  for (auto it = folderTimes.rbegin(); it != folderTimes.rend(); ++it) out << *it;
  std::ofstream file(std::string(folder) + "/" + key + ".fix", std::ios::binary | std::ios::trunc);
  file << out.str();
  return ok;
}
#else
inline void RemoveAll(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  ::chmod(path.c_str(), 0700);
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      std::vector<std::string> names;
      while (dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
      for (const auto& name : names) RemoveAll(path + "/" + name);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

inline bool SetTimeAndMode(const std::string& path, long long sec, long nsec, unsigned mode, bool isFolder) {
  struct timespec times[2] = {{static_cast<time_t>(sec), nsec}, {static_cast<time_t>(sec), nsec}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return false;
  return isFolder || (mode & S_IWUSR) || ::chmod(path.c_str(), 0444) == 0;
}

// Applies the record of the command (made on Linux) to this test's temporary folders.
inline bool Replay(const std::string& command) {
  if (const auto paths = RemovedPaths(command); !paths.empty()) {
    NextKey();
    for (const auto& path : paths) RemoveAll(path);
    return true;
  }
  std::string a, b;
  if (IsCompare(command, a, b)) {
    NextKey();
    const std::string x = ReadAll(a), y = ReadAll(b);
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && x == y;
  }
  const char* folder = std::getenv("QV_FIXTURE_DIR");
  const std::string key = NextKey();
  if (folder == nullptr || *folder == '\0') {
    ADD_FAILURE() << "QV_FIXTURE_DIR is not set: no fixture for \"" << command << "\"";
    return false;
  }
  std::ifstream in(std::string(folder) + "/" + key + ".fix", std::ios::binary);
  std::string word, value;
  if (!(in >> word >> value) || word != "qvfixture") {
    ADD_FAILURE() << "no fixture " << key << " recorded for \"" << command << "\"";
    return false;
  }
  in >> word >> value;
  if (word != "command" || Unhex(value) != Normalized(command)) {
    ADD_FAILURE() << "fixture " << key << " was recorded for \"" << Unhex(value) << "\", not \""
                  << Normalized(command) << "\"";
    return false;
  }
  int status = 1;
  in >> word >> status;
  while (in >> word >> value) {
    const std::string path = Expanded(Unhex(value));
    if (word == "remove") {
      RemoveAll(path);
    } else if (word == "stamp") {
      long long sec = 0;
      long nsec = 0;
      unsigned mode = 0;
      in >> sec >> nsec >> mode;
      struct timespec times[2] = {{static_cast<time_t>(sec), nsec}, {static_cast<time_t>(sec), nsec}};
      ::utimensat(AT_FDCWD, path.c_str(), times, 0);  // a file the test has removed since: none
    } else if (word == "folder") {
      ::mkdir(path.c_str(), 0755);
    } else if (word == "file" || word == "times") {
      long long sec = 0;
      long nsec = 0;
      unsigned mode = 0;
      in >> sec >> nsec >> mode;
      if (word == "file") {
        size_t size = 0;
        in >> size;
        in.get();
        std::string data(size, '\0');
        in.read(data.data(), static_cast<std::streamsize>(size));
        ::chmod(path.c_str(), 0644);
        // Through the platform layer: UTF-8 names reach Windows as they are.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0644);
        const bool written = fd >= 0 && ::write(fd, data.data(), static_cast<unsigned>(size)) == static_cast<int>(size);
        if (fd >= 0) ::close(fd);
        if (!written) {
          ADD_FAILURE() << "fixture " << key << ": cannot write " << path;
          return false;
        }
      }
      if (!SetTimeAndMode(path, sec, nsec, mode, word == "times")) {
        ADD_FAILURE() << "fixture " << key << ": cannot set the time of " << path;
        return false;
      }
    } else {
      ADD_FAILURE() << "fixture " << key << " holds a link or FIFO (" << path << "), which Windows cannot make";
      return false;
    }
  }
  return status == 0;
}
#endif

}  // namespace qv::test::fixture
