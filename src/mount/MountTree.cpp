// SPDX-License-Identifier: Apache-2.0
#include "mount/MountTree.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <deque>

#include "base/CodePage.h"
#include "base/PathUtils.h"
#include "base/TimeUtils.h"
#include "base/Translation.h"
#include "crypto/CipherPrimitives.h"
#include "mount/MountNames.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "restore/VersionList.h"
#include "transfer/GzipFile.h"
#include "transfer/ZipRead.h"

namespace qv {

namespace {

// Contents kept alive after their last reader, so that one who comes back finds the
// checkpoints and the cache still valid.
constexpr size_t CKeptContents = 8;

bool IsZipName(const std::string& name) { return SameText(GetExtension(name), "zip"); }

bool MayBeEncryptedName(const std::string& name) {
  return IsEncFile(name) || IsGzeFile(name) || IsZipName(name);
}

}  // namespace

TMountTree::TMountTree(TMountConfig AConfig, TLog ALog) : FConfig(std::move(AConfig)), FLog(std::move(ALog)) {
  FStartTime = static_cast<int64_t>(::time(nullptr));
  auto context = std::make_shared<TContentContext>();
  if (FConfig.Password) {
    context->Password = Utf8ToAnsi(*FConfig.Password);
    context->HasPassword = !FConfig.Password->empty();
  }
  // A quarter of the budget for the decoded pieces, half for one file's checkpoints (they
  // make seeking cheap); the files kept open together stay within three quarters.
  context->Cache = std::make_shared<TChunkCache>(FConfig.CacheSize / 4);
  context->CheckpointBudget = std::max<size_t>(FConfig.CacheSize / 2, 1);
  context->Log = FLog;
  context->ReadAhead = std::make_shared<TReadAhead>();
  FContext = std::move(context);
  FRoot.Type = TMountNode::ntFolder;
  FRoot.Source = FConfig.Folder;
  FRoot.MTime = FStartTime;
  struct stat st {};
  if (::stat(FConfig.Folder.c_str(), &st) == 0) FRoot.MTime = st.st_mtim.tv_sec;
}

TMountTree::~TMountTree() {
  // The decoder thread first: it may hold the last reference to a file.
  if (FContext->ReadAhead) FContext->ReadAhead->Stop();
}

void TMountTree::SetPassword(const std::string& APassword) {
  std::lock_guard lock(FLock);
  FConfig.Password = APassword;
  FContext->Password = Utf8ToAnsi(APassword);
  FContext->HasPassword = !APassword.empty();
}

bool TMountTree::Prepare(std::string& AError) {
  std::lock_guard lock(FLock);
  bool listed = false;
  (void)ListDirectory(FConfig.Folder, 0u, &listed);
  if (!listed) {
    AError = std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  if (FConfig.DateView) {
    BuildDateView();
  } else {
    FRoot.Load = TMountNode::lsDisk;
  }
  return true;
}

bool TMountTree::MayHoldEncrypted() {
  std::lock_guard lock(FLock);
  if (FConfig.DateView) return FEncryptedSeen;
  // A look at the first folders only: a large tree is not walked before the mount.
  constexpr size_t CLookLimit = 5000;
  size_t looked = 0;
  std::deque<std::string> folders{FConfig.Folder};
  while (!folders.empty() && looked < CLookLimit) {
    const std::string folder = folders.front();
    folders.pop_front();
    for (const TDirEntry& e : ListDirectory(folder, 0u, nullptr)) {
      if (++looked > CLookLimit) break;
      if (e.Type == TDirEntry::deFolder) folders.push_back(AddPathDelimiter(folder) + e.Name);
      else if (MayBeEncryptedName(e.Name)) return true;
    }
  }
  return false;
}

TMountNode* TMountTree::AddChild(TMountNode& AParent, std::string_view AName, std::unique_ptr<TMountNode> ANode) {
  auto [it, added] = AParent.Children.emplace(std::string(AName), std::move(ANode));
  if (added) ++FNodeCount;
  return added ? it->second.get() : nullptr;
}

std::unique_ptr<TMountNode> TMountTree::FileNode(const std::string& APath, int64_t AMTime, int64_t ASize) {
  auto node = std::make_unique<TMountNode>();
  node->Source = APath;
  node->MTime = AMTime;
  const std::string name = ExtractFileName(APath);
  if (IsZipName(name)) {
    node->Type = TMountNode::ntFolder;
    node->Load = TMountNode::lsArchive;
    return node;
  }
  node->Type = TMountNode::ntFile;
  switch (BackupKind(name, FConfig.Unpack)) {
    case bkCompressed: node->Kind = ckGzip; break;
    case bkEncrypted: node->Kind = ckEncrypted; break;
    default:
      node->Kind = ckPlain;
      break;
  }
  // Size and exact time come with the first look at the file (SetSize).
  (void)ASize;
  return node;
}

void TMountTree::BuildDateView() {
  TVersionList versions;
  TScheduleSearch search;
  search.Folder = FConfig.Folder;
  search.SetMask = FConfig.SetMask;
  search.DriveMask = FConfig.DriveMask;
  search.Bound = ScheduleDayBound(FConfig.DayNumber);
  search.Unpack = FConfig.Unpack;
  search.OnError = [this](const std::string& path, const TErrorCode& code) {
    if (FLog) FLog(path + ": " + code.Message());
  };
  CollectScheduleVersions(search, versions);
  for (size_t i = 0; i < versions.Count(); ++i) {
    const TVersionList::TItem& item = versions[i];
    TMountNode* folder = &FRoot;
    size_t start = 0;
    bool placed = true;
    for (size_t slash; (slash = item.Key.find('/', start)) != std::string::npos; start = slash + 1) {
      const std::string_view part = std::string_view(item.Key).substr(start, slash - start);
      auto it = folder->Children.find(part);
      if (it == folder->Children.end()) {
        auto child = std::make_unique<TMountNode>();
        child->MTime = FStartTime;
        folder = AddChild(*folder, part, std::move(child));
      } else if (it->second->Type == TMountNode::ntFolder && it->second->Load != TMountNode::lsArchive) {
        folder = it->second.get();
      } else {
        placed = false;
        break;
      }
    }
    const std::string name = item.Key.substr(start);
    if (!placed || !IsListableName(name) || folder->Children.count(name) != 0) {
      if (FLog) FLog(item.Info.FullPath + ": " + Tr("left out: a folder of the same name is in the way"));
      continue;
    }
    if (MayBeEncryptedName(item.Info.FullPath)) FEncryptedSeen = true;
    AddChild(*folder, name, FileNode(item.Info.FullPath, item.Info.TimeStamp, -1));
  }
  versions.Clear();
  ::malloc_trim(0);
}

void TMountTree::EnsureLoaded(TMountNode& ANode) {
  if (ANode.Type != TMountNode::ntFolder) return;
  if (ANode.Load == TMountNode::lsDisk) LoadDisk(ANode);
  else if (ANode.Load == TMountNode::lsArchive) LoadArchive(ANode);
}

void TMountTree::LoadDisk(TMountNode& ANode) {
  bool listed = false;
  const TDirListing listing = ListDirectory(ANode.Source, ldFileTimes | ldFolderIds | ldFileSizes, &listed);
  if (!listed) {
    ANode.Load = TMountNode::lsBroken;
    if (FLog) FLog(ANode.Source + ": " + GetErrorMessage(TErrorCode(sevError, errReadFolder).Value()));
    return;
  }
  ANode.Load = TMountNode::lsDone;
  const std::string folder = AddPathDelimiter(ANode.Source);
  for (const TDirEntry& e : listing) {
    const std::string path = folder + e.Name;
    if (e.Type == TDirEntry::deFolder) {
      auto child = std::make_unique<TMountNode>();
      child->Load = TMountNode::lsDisk;
      child->Source = path;
      child->MTime = e.UnixTime;
      AddChild(ANode, e.Name, std::move(child));
      continue;
    }
    const bool file = e.Type == TDirEntry::deFile || (e.Type == TDirEntry::deLink && e.LinkTarget == TDirEntry::deFile);
    if (!file) {
      // A link to a folder is never entered, as a restore does not; a pipe or device and a
      // dangling link are no files to show.
      if (!(e.Type == TDirEntry::deLink && e.LinkTarget == TDirEntry::deFolder) && FLog)
        FLog(path + ": " + GetErrorMessage(TErrorCode(sevError, e.Dangling ? errFileNotFound : errNotRegularFile).Value()));
      continue;
    }
    std::unique_ptr<TMountNode> child = FileNode(path, e.UnixTime, e.Size);
    const std::string name = child->Load == TMountNode::lsArchive ? e.Name : RestoredName(e.Name, FConfig.Unpack);
    auto it = ANode.Children.find(name);
    if (it == ANode.Children.end()) {
      AddChild(ANode, name, std::move(child));
    } else if (it->second->Type == TMountNode::ntFile && child->Type == TMountNode::ntFile &&
               child->MTime > it->second->MTime) {
      // "a.txt" and "a.txt.gz" restore to one name: the newer one is shown, as the
      // schedule's version choice would take it.
      it->second = std::move(child);
    }
  }
}

void TMountTree::LoadArchive(TMountNode& ANode) {
  auto archive = std::make_unique<TMountArchive>();
  archive->Path = ANode.Source;
  std::unique_ptr<TZipRead> zip;
  try {
    zip = std::make_unique<TZipRead>(ANode.Source);
    zip->ReadDirectory();
  } catch (const EZipError& e) {
    ANode.Load = TMountNode::lsBroken;
    if (FLog) FLog(ANode.Source + ": " + e.what());
    return;
  }
  ANode.Load = TMountNode::lsDone;
  TMountArchive& arch = *archive;
  FArchives.push_back(std::move(archive));
  const TZipFileList& list = zip->Directory();
  for (int i = 0; i < list.Count(); ++i) {
    const std::string name = list.Strings(i);
    const TPkHeader& header = list.Objects(i);
    const std::optional<std::vector<std::string>> parts = EntryPathParts(name);
    if (!parts) {
      if (FLog) FLog(ANode.Source + ": " + FormatMsg(TrUnits("Entry \"%s\" refused: its path leads outside the destination"), name));
      continue;
    }
    TMountNode* folder = &ANode;
    for (size_t k = 0; folder != nullptr && k + 1 < parts->size(); ++k) {
      auto it = folder->Children.find((*parts)[k]);
      if (it == folder->Children.end()) {
        auto child = std::make_unique<TMountNode>();
        child->MTime = ANode.MTime;
        folder = AddChild(*folder, (*parts)[k], std::move(child));
      } else {
        folder = it->second->Type == TMountNode::ntFolder ? it->second.get() : nullptr;
      }
    }
    if (folder == nullptr) continue;  // a file stands where the entry needs a folder
    const std::string& leaf = parts->back();
    const int64_t time = DosTimeToUnixSeconds(header.TimeStamp);
    auto existing = folder->Children.find(leaf);
    if (header.IsDir && !header.TypeConflict) {
      if (existing == folder->Children.end()) {
        auto child = std::make_unique<TMountNode>();
        child->MTime = time;
        AddChild(*folder, leaf, std::move(child));
      } else if (existing->second->Type == TMountNode::ntFolder) {
        existing->second->MTime = time;
      }
      continue;
    }
    if (existing != folder->Children.end()) continue;  // the first of equal names is shown
    auto child = std::make_unique<TMountNode>();
    child->Type = TMountNode::ntFile;
    child->Kind = ckZipEntry;
    child->Archive = &arch;
    child->Entry = static_cast<int32_t>(arch.Headers.size());
    child->Size = header.USize;
    child->MTime = time;
    child->Perm = static_cast<uint16_t>(header.UnixMode() & 0777);
    child->Source = name;
    arch.Headers.push_back(header);
    if (header.Encrypted()) FEncryptedSeen = true;
    if (header.IsSymLink() && !header.TypeConflict) {
      // A link only where a restore makes one: a relative target that stays inside.
      const std::string target = header.USize <= ZipMaxLinkTarget ? ReadLinkEntry(*child) : std::string();
      if (target.empty() || !IsPlausibleLinkTarget(target) ||
          !LinkTargetStaysInside(target, static_cast<int>(parts->size()) - 1)) {
        if (FLog) FLog(ANode.Source + ": " + FormatMsg(TrUnits("Entry \"%s\" refused: its path leads outside the destination"), name));
        continue;
      }
      child->Type = TMountNode::ntLink;
      child->Size = static_cast<int64_t>(target.size());
      FLinkTargets[child.get()] = target;
    }
    AddChild(*folder, leaf, std::move(child));
  }
}

std::string TMountTree::ReadLinkEntry(const TMountNode& ANode) {
  TContent content(OriginOf(ANode), FContext);
  if (content.Open() != 0 || content.Size() < 0 || content.Size() > ZipMaxLinkTarget) return {};
  std::string target(static_cast<size_t>(content.Size()), '\0');
  if (content.Read(target.data(), target.size(), 0) != static_cast<ssize_t>(target.size())) return {};
  return target;
}

TContentOrigin TMountTree::OriginOf(const TMountNode& ANode) const {
  TContentOrigin origin;
  origin.Kind = ANode.Kind;
  if (ANode.Kind == ckZipEntry && ANode.Archive != nullptr) {
    origin.Path = ANode.Archive->Path;
    origin.Name = ANode.Archive->Path + "/" + ANode.Source;
    origin.Entry = ANode.Archive->Headers[static_cast<size_t>(ANode.Entry)];
  } else {
    origin.Path = ANode.Source;
    origin.Name = ANode.Source;
    origin.ShownSize = ANode.Kind == ckGzip ? ANode.Size : -1;
  }
  return origin;
}

TMountNode* TMountTree::Find(std::string_view APath, int& AError) {
  std::lock_guard lock(FLock);
  TMountNode* node = &FRoot;
  size_t start = 0;
  while (start < APath.size()) {
    size_t end = APath.find('/', start);
    if (end == std::string_view::npos) end = APath.size();
    const std::string_view part = APath.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (node->Type != TMountNode::ntFolder) {
      AError = -ENOTDIR;
      return nullptr;
    }
    EnsureLoaded(*node);
    const auto it = node->Children.find(part);
    if (it == node->Children.end()) {
      AError = node->Load == TMountNode::lsBroken ? -EIO : -ENOENT;
      return nullptr;
    }
    node = it->second.get();
  }
  AError = 0;
  return node;
}

void TMountTree::SetSize(TMountNode& ANode) {
  struct stat st {};
  if (ANode.Kind != ckZipEntry && ::stat(ANode.Source.c_str(), &st) == 0) {
    // A restore gives the file the backup file's time in 100 ns steps.
    ANode.MTime = st.st_mtim.tv_sec;
    ANode.MTimeNs = static_cast<uint32_t>(st.st_mtim.tv_nsec / 100 * 100);
  }
  switch (ANode.Kind) {
    case ckPlain:
      ANode.Size = ::stat(ANode.Source.c_str(), &st) == 0 ? st.st_size : 0;
      break;
    case ckGzip: ANode.Size = GzipShownSize(ANode.Source); break;
    case ckEncrypted: {
      // The header's length follows from the password, as a restore counts it.
      const size_t n = std::min(FContext->Password.size(), CMaxPasswordLength);
      const int mode = n < 32 ? 1 : n < 48 ? 2 : 3;
      const int64_t frame = static_cast<int64_t>(SaltLength(mode) + CVerifierLength + CMacLength);
      ANode.Size = ::stat(ANode.Source.c_str(), &st) == 0 && st.st_size > frame ? st.st_size - frame : 0;
      break;
    }
    case ckZipEntry: ANode.Size = 0; break;
  }
}

int TMountTree::Stat(TMountNode& ANode, struct stat& AStat) {
  std::lock_guard lock(FLock);
  AStat = {};
  AStat.st_uid = ::getuid();
  AStat.st_gid = ::getgid();
  if (ANode.Type == TMountNode::ntFile && ANode.Size < 0) SetSize(ANode);
  AStat.st_mtim.tv_sec = static_cast<time_t>(ANode.MTime);
  AStat.st_mtim.tv_nsec = static_cast<long>(ANode.MTimeNs);
  AStat.st_atim = AStat.st_mtim;
  AStat.st_ctim = AStat.st_mtim;
  AStat.st_blksize = 128 * 1024;
  switch (ANode.Type) {
    case TMountNode::ntFolder:
      AStat.st_mode = S_IFDIR | 0555;
      AStat.st_nlink = 2;
      break;
    case TMountNode::ntLink:
      AStat.st_mode = S_IFLNK | 0777;
      AStat.st_nlink = 1;
      AStat.st_size = ANode.Size;
      break;
    case TMountNode::ntFile:
      // Read-only whatever the entry says; the execute bits are kept.
      AStat.st_mode = S_IFREG | (ANode.Perm != 0 ? ((ANode.Perm & 0555) | 0444) : 0444);
      AStat.st_nlink = 1;
      AStat.st_size = ANode.Size;
      AStat.st_blocks = (ANode.Size + 511) / 512;
      break;
  }
  return 0;
}

int TMountTree::List(TMountNode& ANode, std::vector<std::pair<std::string, mode_t>>& AOut) {
  std::lock_guard lock(FLock);
  if (ANode.Type != TMountNode::ntFolder) return -ENOTDIR;
  EnsureLoaded(ANode);
  if (ANode.Load == TMountNode::lsBroken) return -EIO;
  AOut.reserve(ANode.Children.size());
  for (const auto& [name, child] : ANode.Children) {
    const mode_t type = child->Type == TMountNode::ntFolder ? S_IFDIR : child->Type == TMountNode::ntLink ? S_IFLNK : S_IFREG;
    AOut.emplace_back(name, type);
  }
  return 0;
}

int TMountTree::ReadLink(TMountNode& ANode, std::string& ATarget) {
  std::lock_guard lock(FLock);
  if (ANode.Type != TMountNode::ntLink) return -EINVAL;
  const auto it = FLinkTargets.find(&ANode);
  if (it == FLinkTargets.end()) return -EIO;
  ATarget = it->second;
  return 0;
}

std::shared_ptr<TContent> TMountTree::ContentOf(TMountNode& ANode) {
  std::lock_guard lock(FLock);
  if (ANode.Type == TMountNode::ntFile && ANode.Size < 0) SetSize(ANode);
  std::shared_ptr<TContent> content = FContents[&ANode].lock();
  if (!content) {
    content = std::make_shared<TContent>(OriginOf(ANode), FContext);
    FContents[&ANode] = content;
  }
  // Most recent first; the held memory of the kept ones stays within the budget.
  std::erase(FRecent, content);
  FRecent.insert(FRecent.begin(), content);
  size_t held = 0;
  for (size_t i = 0; i < FRecent.size(); ++i) {
    held += FRecent[i]->HeldBytes();
    if (i > 0 && (i >= CKeptContents || held > FConfig.CacheSize / 4 * 3)) {
      FRecent.resize(i);
      break;
    }
  }
  std::erase_if(FContents, [](const auto& entry) { return entry.second.expired(); });
  return content;
}

}  // namespace qv
