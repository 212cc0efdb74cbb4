#pragma once
// File operations and queries on the POSIX platform layer.
// Attributes follow the 16-bit attribute word of the backup format; see the mapping below.
#include <cstdint>
#include <string>

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
// 0 on success, else the errno value.
int LongFileSetAttr(const std::string& path, int attributes, bool followLink = true);

}  // namespace qv
