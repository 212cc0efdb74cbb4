// SPDX-License-Identifier: Apache-2.0
#pragma once
// Transfer of timestamps, permissions and file details to restored files.
// File times are 100-ns intervals since 1601-01-01 UTC, as the backup formats store them.
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct TFileTimestamps {
  bool Valid = false;
  int64_t CreationTime = 0;
  int64_t LastAccessTime = 0;
  int64_t LastWriteTime = 0;
};

// Reads the three times of FileName. Valid is false (and the times zero) when the item is
// missing or is a folder where a file was expected (ADirectory false) or the reverse.
// Linux keeps the birth time only on some file systems; without one, CreationTime is the
// last status-change time.
void GetFileTimestamps(const std::string& FileName, bool AFollowLink, TFileTimestamps& Times,
                       bool ADirectory = false);
TFileTimestamps GetFileTimestamps(const std::string& FileName, bool AFollowLink,
                                  bool ADirectory = false);

// What a transfer needs of its source in one query, links not followed: the attribute word
// (base/FileUtils.h; -1 when the item cannot be queried) and, for anything but a folder, its
// times as GetFileTimestamps gives them.
int GetFileAttrTimestamps(const std::string& FileName, TFileTimestamps& Times);
// The same for the open file AHandle (named FileName), with its status into AStat: one query
// of what was opened.
int GetFileAttrTimestamps(int AHandle, const std::string& FileName, TFileTimestamps& Times,
                          struct stat& AStat);

// Sets the times of FileName; 0 or an errno value. Invalid Times set the current time.
// ACheckTime replaces a time later than now plus one day by now. ASetAll sets access and
// modification time (Linux cannot set a birth time); otherwise the last-write time only.
int SetFileTimestamps(const std::string& FileName, const TFileTimestamps& Times, bool ACheckTime,
                      bool ASetAll, bool AFollowLink);
// The same on an open file (a restored file gets its times before it takes its name).
int SetFileTimestamps(int AHandle, const TFileTimestamps& Times, bool ACheckTime, bool ASetAll);

// Sets the last-write time from a DOS date (high word) and time (low word) in local time.
int SetFileDosTime(const std::string& FileName, uint32_t ADosTime, bool AFollowLink);

// Gives DestName the permission bits of SourceName (never through a link at DestName); 0 or
// an errno value.
int CopyFilePermissions(const std::string& SourceName, const std::string& DestName);

// File details: the extended attributes of the "user." namespace. One property set holds
// them all; every property is one attribute (name and raw value).
struct TFileProperty {
  uint32_t PropId = 0;
  std::string Name;
  std::string Value;
};
using TFilePropertyArray = std::vector<TFileProperty>;

struct TFilePropertySet {
  std::array<uint8_t, 16> FormatId{};
  TFilePropertyArray PropArray;
};
using TFileSummary = std::vector<TFilePropertySet>;

// False when the file cannot be read or its file system keeps no extended attributes.
bool ReadFileSummary(const std::string& FileName, TFileSummary& Summary);
// An empty summary succeeds without touching the file. A link at FileName is not followed.
bool WriteFileSummary(const std::string& FileName, const TFileSummary& Summary);

}  // namespace qv
