// SPDX-License-Identifier: Apache-2.0
#pragma once
// The tree a mount shows: a backup folder as a restore would write it (restored names, sizes
// and times, zip archives as folders of their entries), or the point-in-time view of the
// schedule mode for one day. Folders are read when first looked at; the day's view is built
// from the schedule's own version choice before the mount starts. No FUSE in here.
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mount/MountContent.h"
#include "transfer/ZipTypes.h"

namespace qv {

// What a mount shows and how it reads.
struct TMountConfig {
  std::string Folder;      // the backup folder
  bool DateView = false;   // the point-in-time view of DayNumber
  int DayNumber = 0;       // from 1899-12-30, as the schedule mode counts
  std::string SetMask = "*.*";
  std::string DriveMask;
  bool Unpack = true;      // .gz/.gze shown unpacked
  std::optional<std::string> Password;  // UTF-8 as given; none: encrypted items fail with EACCES
  size_t CacheSize = size_t{64} << 20;  // decoded data and checkpoints, bytes
};

struct TMountNode;

// The archive behind the nodes of a zip archive shown as a folder.
struct TMountArchive {
  std::string Path;
  std::vector<TPkHeader> Headers;
};

struct TMountNode {
  enum TType : uint8_t { ntFolder, ntFile, ntLink };
  // What a folder still has to read before its children are known.
  enum TLoad : uint8_t { lsDone, lsDisk, lsArchive, lsBroken };
  TType Type = ntFolder;
  TLoad Load = lsDone;
  TContentKind Kind = ckPlain;
  uint16_t Perm = 0;      // permission bits; 0: the default of the type
  int64_t Size = -1;      // restored size; -1 until first asked
  int64_t MTime = 0;      // Unix seconds
  uint32_t MTimeNs = 0;   // and nanoseconds, in the 100 ns steps a restore keeps
  int32_t Entry = -1;     // zip entries: index into the archive's headers
  std::string Source;     // the backup file, the folder on disk, or the archive file
  TMountArchive* Archive = nullptr;
  std::map<std::string, std::unique_ptr<TMountNode>, std::less<>> Children;
};

class TMountTree {
 public:
  using TLog = std::function<void(const std::string&)>;
  TMountTree(TMountConfig AConfig, TLog ALog);
  ~TMountTree();

  // Reads what must be known before the mount starts: the version list of the day's view.
  // False with a reason when FOLDER cannot be read.
  bool Prepare(std::string& AError);
  // Whether the tree is likely to hold encrypted items (the day's view: any .enc/.gze version;
  // the folder's view: such a name within the first folders), to ask for a password only then.
  bool MayHoldEncrypted();
  // The password of the mount (UTF-8), before anything is read.
  void SetPassword(const std::string& APassword);

  // The node of a path ("/", "/a/b"); nullptr with a negative errno.
  TMountNode* Find(std::string_view APath, int& AError);
  int Stat(TMountNode& ANode, struct stat& AStat);
  // The children with their types, in name order; a negative errno when the folder cannot be read.
  int List(TMountNode& ANode, std::vector<std::pair<std::string, mode_t>>& AOut);
  int ReadLink(TMountNode& ANode, std::string& ATarget);
  // The restored bytes of a file node (one object per node while any reader holds it, and a
  // few kept after).
  std::shared_ptr<TContent> ContentOf(TMountNode& ANode);
  const TMountConfig& Config() const { return FConfig; }
  size_t NodeCount() const { return FNodeCount; }

 private:
  void EnsureLoaded(TMountNode& ANode);
  void LoadDisk(TMountNode& ANode);
  void LoadArchive(TMountNode& ANode);
  void BuildDateView();
  TMountNode* AddChild(TMountNode& AParent, std::string_view AName, std::unique_ptr<TMountNode> ANode);
  // A backup file as a node: a zip archive as a folder to read, otherwise a file of its kind.
  std::unique_ptr<TMountNode> FileNode(const std::string& APath, int64_t AMTime, int64_t ASize);
  void SetSize(TMountNode& ANode);
  TContentOrigin OriginOf(const TMountNode& ANode) const;
  std::string ReadLinkEntry(const TMountNode& ANode);

  TMountConfig FConfig;
  TLog FLog;
  std::shared_ptr<TContentContext> FContext;
  std::recursive_mutex FLock;
  TMountNode FRoot;
  int64_t FStartTime = 0;
  size_t FNodeCount = 0;
  bool FEncryptedSeen = false;
  std::vector<std::unique_ptr<TMountArchive>> FArchives;
  std::unordered_map<const TMountNode*, std::string> FLinkTargets;
  // Open contents by node, and the last few kept alive for a reader that comes back.
  std::unordered_map<const TMountNode*, std::weak_ptr<TContent>> FContents;
  std::vector<std::shared_ptr<TContent>> FRecent;
};

}  // namespace qv
