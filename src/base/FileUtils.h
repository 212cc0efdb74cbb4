// SPDX-License-Identifier: Apache-2.0
#pragma once
// File operations and queries on the POSIX platform layer.
// Attributes follow the 16-bit attribute word of the backup format; see the mapping below.
#include <cstdint>
#include <string>

#include "base/TimeUtils.h"

namespace qv {

// Attribute bits. Read: faDirectory for folders, faSymLink for symbolic links (not followed),
// faReadOnly when the owner has no write permission, faHidden when the name begins with ".",
// faArchive for every regular file. Write: faReadOnly removes every write permission, its
// absence gives the owner write permission back; the other bits are accepted silently.
inline constexpr uint32_t faReadOnly = 0x01;
inline constexpr uint32_t faHidden = 0x02;
inline constexpr uint32_t faSysFile = 0x04;
inline constexpr uint32_t faDirectory = 0x10;
inline constexpr uint32_t faArchive = 0x20;
inline constexpr uint32_t faNormal = 0x80;
inline constexpr uint32_t faSymLink = 0x400;  // reparse point

bool LongForceDirectories(const std::string& path);
bool LongDirectoryExists(const std::string& path, bool followLink = true);
bool LongFileExists(const std::string& path, bool followLink = true);
// The attribute word, or -1 when the path cannot be queried.
int LongFileGetAttr(const std::string& path, bool followLink = true);
// The attribute word of path from a mode already queried (links not followed for a link).
uint32_t FileAttributes(const std::string& path, unsigned mode);
// 0 on success, else the errno value.
int LongFileSetAttr(const std::string& path, int attributes, bool followLink = true);

// What a directory search reports about one item. Times are 0 when unknown (the creation
// time needs statx and a file system that records it).
struct TSearchRec {
  std::string Name;  // the last path component
  uint64_t Size = 0;
  uint32_t Attr = 0;
  TFileTime CreationTime = 0;
  TFileTime LastAccessTime = 0;
  TFileTime LastWriteTime = 0;
};

// Symbolic links are followed by the three queries below; a dangling link counts as missing.
// True when the path exists and is no directory; fills findData.
bool FindFileOnly(const std::string& path, TSearchRec& findData);
// Last-write time; 0 when the path does not exist or is a directory.
TFileTime GetFileLastWrite(const std::string& path);
// Size; 0 when the path does not exist or is a directory.
uint64_t GetFileSize64(const std::string& path);

// False when the path cannot be queried or is no symbolic link. For a link: true when
// followLink is false; otherwise true when the link resolves to the folder that holds it or
// to one of its ancestors (compared component by component), or cannot be resolved at all.
bool IsLinkLoop(const std::string& path, bool followLink);
// The absolute path with every symbolic link resolved; empty when it cannot be resolved.
std::string GetSymLinkTarget(const std::string& path);

// False for "." and "..".
bool NotDotEntry(const std::string& name);
// True when the folder holds no entry at all (hidden ones count); false when it cannot be
// read, so that callers ask rather than assume.
bool IsEmptyDirectory(const std::string& dir);
// Removes base/sub (base alone when sub is empty) depth first: subfolders, then the files,
// then the folder itself when all its files went. Never stops at an error; counts removed
// folders, failures and deleted files. A symbolic link inside is removed, not followed.
void DeleteDirectoryTree(const std::string& base, const std::string& sub, int& dirCount,
                         int& errorCount, int& fileCount);

}  // namespace qv
