// SPDX-License-Identifier: Apache-2.0
#include "restore/VersionList.h"

#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "base/FtGlobal.h"
#include "base/PathUtils.h"
#include "restore/DirList.h"
#include "restore/RestoreText.h"
#include "transfer/GzipFile.h"

namespace qv {

std::string FoldKey(const std::string& key) { return FoldCase(key); }

std::string_view TVersionList::FoldedKey(size_t index) const {
  const size_t start = index == 0 ? 0 : FFoldedEnds[index - 1];
  return std::string_view(FFolded).substr(start, FFoldedEnds[index] - start);
}

size_t TVersionList::SlotOf(std::string_view folded, uint64_t hash) const {
  const size_t mask = FSlots.size() - 1;
  size_t slot = hash & mask;
  while (FSlots[slot] != 0) {
    const size_t index = FSlots[slot] - 1;
    if (FHashes[index] == hash && FoldedKey(index) == folded) break;
    slot = (slot + 1) & mask;
  }
  return slot;
}

void TVersionList::Grow() {
  FSlots.assign(FSlots.empty() ? 1024 : FSlots.size() * 2, 0);
  for (size_t index = 0; index < FItems.size(); ++index)
    FSlots[SlotOf(FoldedKey(index), FHashes[index])] = static_cast<uint32_t>(index + 1);
}

void TVersionList::Offer(const std::string& key, const std::string& fullPath, int64_t timeStamp,
                         const std::string& set) {
  if ((FItems.size() + 1) * 2 > FSlots.size()) Grow();
  const std::string folded = FoldKey(key);
  const uint64_t hash = std::hash<std::string_view>{}(folded);
  const size_t slot = SlotOf(folded, hash);
  if (FSlots[slot] == 0) {
    FSlots[slot] = static_cast<uint32_t>(FItems.size() + 1);
    FItems.push_back(TItem{key, TFileInfo(fullPath, timeStamp), set});
    FFolded.append(folded);
    FFoldedEnds.push_back(FFolded.size());
    FHashes.push_back(hash);
    return;
  }
  TItem& item = FItems[FSlots[slot] - 1];
  if (item.Info.TimeStamp < timeStamp) {
    item.Key = key;
    item.Info.FullPath = fullPath;
    item.Info.TimeStamp = timeStamp;
    item.Set = set;
  }
}

void TVersionList::Clear() {
  FItems.clear();
  FFolded.clear();
  FFoldedEnds.clear();
  FHashes.clear();
  FSlots.clear();
}

const char* VersionKindName(TVersionKind kind) {
  switch (kind) {
    case vkGz: return "gz";
    case vkGze: return "gze";
    case vkEnc: return "enc";
    default: return "plain";
  }
}

namespace {

std::vector<std::string> SplitRelPath(const std::string& relPath) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relPath.size()) {
    const size_t slash = relPath.find('/', start);
    const std::string part = relPath.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

TVersionEntry DescribeVersion(const std::string& path, const std::string& set, bool unpackGz) {
  TVersionEntry v;
  v.Path = path;
  v.Set = set;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    v.UnixTime = RoundedUnixSeconds(st.st_mtim);
    v.Size = static_cast<int64_t>(st.st_size);
  }
  switch (BackupKind(path, unpackGz)) {
    case bkCompressed: {
      TGzFileInfo info;
      const bool header = GetGzFileInfo(path, info);
      v.Kind = header && info.Encrypted ? vkGze : (LowerAscii(GetExtension(path)) == "gze" ? vkGze : vkGz);
      v.Size = header ? static_cast<int64_t>(info.USize) : -1;
      break;
    }
    case bkEncrypted:
      v.Kind = vkEnc;
      v.Size = -1;  // the header length follows from the password
      break;
    default: break;
  }
  return v;
}

// Appends the versions below folder that the relative path names (each folder component
// matched without regard to case, so differently spelled folders all count).
struct TVersionSearch {
  const std::vector<std::string>& Parts;
  const std::string& Set;
  bool UnpackGz;
  std::vector<TVersionEntry>& Out;
  std::vector<std::string>* Unlisted;
};

void FindBelow(const std::string& folder, size_t index, const TVersionSearch& search) {
  const std::string wanted = FoldCase(search.Parts[index]);
  const bool last = index + 1 == search.Parts.size();
  bool listed = false;
  const TDirListing listing = ListDirectory(folder, 0u, &listed);
  // A folder that cannot be listed may hold versions: the caller says so.
  if (!listed && search.Unlisted != nullptr) search.Unlisted->push_back(folder);
  const bool unpackGz = search.UnpackGz;
  std::vector<TVersionEntry>& out = search.Out;
  for (const TDirEntry& e : listing) {
    const std::string path = AddPathDelimiter(folder) + e.Name;
    if (!last) {
      if (e.Type == TDirEntry::deFolder && FoldCase(e.Name) == wanted) FindBelow(path, index + 1, search);
      continue;
    }
    const bool file = e.Type == TDirEntry::deFile ||
                      (e.Type == TDirEntry::deLink && e.LinkTarget == TDirEntry::deFile);
    if (file && FoldCase(RestoredName(e.Name, unpackGz)) == wanted)
      out.push_back(DescribeVersion(path, search.Set, unpackGz));
  }
}

}  // namespace

std::vector<TVersionEntry> FindVersions(const std::string& folder, const std::string& relPath,
                                        const std::string& setMask, const std::string& driveMask,
                                        bool unpackGz, std::vector<std::string>* unlisted) {
  std::vector<TVersionEntry> versions;
  const std::vector<std::string> parts = SplitRelPath(relPath);
  if (parts.empty()) return versions;
  for (const std::string& set : MatchingFolders(folder, setMask)) {
    const std::string setPath = AddPathDelimiter(folder) + set;
    const TVersionSearch search{parts, set, unpackGz, versions, unlisted};
    if (driveMask.empty()) {
      FindBelow(setPath, 0, search);
      continue;
    }
    for (const std::string& drive : MatchingFolders(setPath, driveMask))
      FindBelow(AddPathDelimiter(setPath) + drive, 0, search);
  }
  std::stable_sort(versions.begin(), versions.end(),
                   [](const TVersionEntry& a, const TVersionEntry& b) { return a.UnixTime > b.UnixTime; });
  return versions;
}

namespace {

struct TScheduleWalk {
  const TScheduleSearch& Search;
  TVersionList& Out;
  const std::string& Set;

  void Error(const std::string& path, const TErrorCode& code) const {
    if (Search.OnError) Search.OnError(path, code);
  }
  bool KeepGoing() const { return !Search.KeepGoing || Search.KeepGoing(); }

  // folder and keyPrefix end with "/" (keyPrefix is empty at the top of a set).
  void In(const TDirHandle& dir, const std::string& folder, const std::string& keyPrefix) const {
    // Listed through its handle: the depth of the tree is not bounded by the path limit.
    bool listed = false;
    const TDirListing listing = ListDirectory(dir, ldFileTimes, &listed);
    if (!listed) {
      Error(ExcludeTrailingDelimiter(folder), TErrorCode(sevError, errReadFolder));
      return;
    }
    const bool unpack = Search.Unpack;
    bool going = true;
    for (const TDirEntry& e : listing) {
      if (!(going = KeepGoing())) break;
      if (e.Type == TDirEntry::deFolder) continue;  // later
      if (e.Type == TDirEntry::deLink && e.LinkTarget == TDirEntry::deFolder) continue;  // never entered
      const bool file = e.Type == TDirEntry::deFile ||
                        (e.Type == TDirEntry::deLink && e.LinkTarget == TDirEntry::deFile);
      if (!file) {
        // A dangling link or a pipe, device or socket: reported, never opened.
        Error(folder + e.Name, TErrorCode(sevError, e.Dangling ? errFileNotFound : errNotRegularFile));
        continue;
      }
      if (!(e.UnixTime < Search.Bound)) continue;
      // Keyed by the name the file is restored under: a plain copy in one set and a .gz in
      // another are one file, and the newest of them wins.
      const std::string key = keyPrefix + RestoredName(e.Name, unpack);
      if (Search.Filter != nullptr && !Search.Filter->Accepts(key)) continue;
      Out.Offer(key, folder + e.Name, e.UnixTime, Set);
    }
    for (const TDirEntry& e : listing) {
      if (!going) break;
      if (e.Type != TDirEntry::deFolder) continue;
      if (Search.Filter != nullptr && !Search.Filter->EntersFolder(keyPrefix + e.Name)) continue;
      // Never through a link: a folder replaced by one since the listing is not entered.
      const TDirHandle subDir = OpenFolder(dir.Fd(), e.Name);
      if (!subDir.Valid()) {
        Error(folder + e.Name, TErrorCode(sevError, errReadFolder));
        continue;
      }
      In(subDir, folder + e.Name + "/", keyPrefix + e.Name + "/");
      going = KeepGoing();
    }
  }

  void Base(const std::string& base) const {
    // Set and drive folders come from listings that report links as links: none is one.
    const TDirHandle dir = OpenFolder(-1, ExcludeTrailingDelimiter(base));
    if (!dir.Valid()) {
      Error(ExcludeTrailingDelimiter(base), TErrorCode(sevError, errReadFolder));
      return;
    }
    In(dir, AddPathDelimiter(base), std::string());
  }
};

}  // namespace

void CollectScheduleVersions(const TScheduleSearch& search, TVersionList& out) {
  const std::string source = AddPathDelimiter(search.Folder);
  const auto next = [&] { return !search.NextFolder || search.NextFolder(); };
  bool listed = false;
  const std::vector<std::string> sets = MatchingFolders(source, search.SetMask, &listed);
  if (!listed && search.OnError) search.OnError(search.Folder, TErrorCode(sevError, errReadFolder));
  for (const std::string& set : sets) {
    if (!next()) break;
    const TScheduleWalk walk{search, out, set};
    if (search.DriveMask.empty()) {
      walk.Base(source + set);
      continue;
    }
    const std::string setFolder = source + set;
    bool drivesListed = false;
    const std::vector<std::string> drives = MatchingFolders(setFolder, search.DriveMask, &drivesListed);
    if (!drivesListed) walk.Error(setFolder, TErrorCode(sevError, errReadFolder));
    for (const std::string& name : drives) {
      if (!next()) break;
      walk.Base(AddPathDelimiter(setFolder) + name);
    }
  }
}

}  // namespace qv
