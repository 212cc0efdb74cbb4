// SPDX-License-Identifier: Apache-2.0
// The Files and Directory modes.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <unordered_map>

#include "base/FileUtils.h"
#include "base/PathUtils.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "transfer/ZipRead.h"

namespace qv {

namespace {

constexpr TErrorCode CNotFound(sevError, errFileNotFound);
constexpr TErrorCode CFolderUnreadable(sevError, errReadFolder);

// Error lines name an item deep in a long chain of folders by the walk's top folder and the
// last names of its path.
constexpr size_t CShownPathLength = 240;

std::string ShownPath(const std::string& path, size_t rootLength) {
  if (path.size() <= CShownPathLength) return path;
  const size_t room = CShownPathLength > rootLength + 4 ? CShownPathLength - rootLength - 4 : 0;
  size_t cut = path.size();
  while (cut > rootLength + 1) {
    const size_t slash = path.rfind('/', cut - 1);
    if (slash == std::string::npos || slash <= rootLength || path.size() - slash > room) break;
    cut = slash;
  }
  if (cut == path.size()) return ShortenPath(path, CShownPathLength);
  return path.substr(0, rootLength) + "/..." + path.substr(cut);
}

// An entry of an archive folder: the folder itself or below it, never a name that only
// begins with the same text ("docs2").
bool InArchiveFolder(const std::string& foldedName, const std::string& foldedFolder) {
  if (foldedFolder.empty()) return true;
  if (foldedName.compare(0, foldedFolder.size(), foldedFolder) != 0) return false;
  return foldedName.size() == foldedFolder.size() || foldedName[foldedFolder.size()] == '/';
}

}  // namespace

TRestoreError TRestoreSession::OpenArchive(const std::string& archive) {
  return FArchive.Open(archive, FCryptPwd, Verifying(), [this] { FView.ProcessMessages(); });
}

TItemOutcome TRestoreSession::RestoreSelectedEntry(const std::string& archive, const std::string& subPath,
                                                   std::string& source) {
  // Failures before the entry is found are the input's own.
  const auto inputFailure = [](TRestoreError code) {
    TItemOutcome item(rrFailed, std::move(code));
    item.InputProblem = true;
    return item;
  };
  source = archive;
  if (TRestoreError code = OpenArchive(archive)) return inputFailure(std::move(code));
  if (subPath.empty()) return inputFailure(TErrorCode(sevError, errArchiveAsFile));
  source = archive + ":" + subPath;
  const int index = FArchive.Find(subPath);
  if (index < 0) return inputFailure(TErrorCode(sevError, errFileNotFound, opZip));
  const TPkHeader& entry = FArchive.Directory().Objects(index);
  const std::string& name = FArchive.Directory().Strings(index);
  // The entry's own spelling: it is what the archive restores.
  source = archive + ":" + name;
  return RestoreZipEntry(entry, AddPathDelimiter(FTarget) + name, name);
}

TItemOutcome TRestoreSession::RestoreSelectedPath(const std::string& source) {
  TItemOutcome item = RestoreFile(source, FTarget, true);
  // The header of a .gz that cannot be read: the item is not restored, which is an error.
  if (item.Result == rrBadHeader) {
    item.Code = TErrorCode(sevError, errReadFile, opGzip);
    item.InputProblem = true;
  }
  return item;
}

void TRestoreSession::RestoreSelectedFiles() {
  if (ReportNothingToDo() || !CheckTargetFolder()) return;
  BeginRun();
  const std::vector<std::string>& items = FOptions.Items;
  if (items.empty()) {
    FView.ShowError(MsgNoFilesSelected());
    FLastRun.NothingToDo = true;
    EndRun();
    return;
  }
  // Each item's size, taken once for the totals and its share of the progress.
  std::vector<int64_t> sizes(items.size(), 0);
  for (size_t i = 0; i < items.size(); ++i) {
    if (!FFilter.Accepts(items[i])) continue;
    sizes[i] = ProgressShare(items[i], static_cast<int64_t>(GetFileSize64(items[i])));
    FCounts.AddToTotal(sizes[i]);
  }
  // A transfer failure of the only selected item is shown at once; an input that is not
  // there or cannot be read is always listed with its path.
  const bool showAlone = items.size() < 2 && FOptions.Kind == rkRestore && !FOptions.ListSingleFailure;
  for (size_t i = 0; i < items.size(); ++i) {
    std::string source = items[i];
    if (!FFilter.Accepts(source)) continue;
    ShowFile(source);
    ItemStarted(source, sizes[i]);
    std::string archive = source, subPath;
    TItemOutcome item = SplitZipPath(archive, subPath) ? RestoreSelectedEntry(archive, subPath, source)
                                                       : RestoreSelectedPath(source);
    const bool goOn = Settle(std::move(item), [this, source, showAlone](const TItemOutcome& done) {
      if (done.Result == rrCopied) ++FCounts.Copied;
      if (done.Result == rrCancelRun || !FRestoring) {
        FLastRun.Cancelled = true;
        return false;
      }
      ReportItem(done, source);
      ItemFinished(done.Share);
      if (done.Code && done.Result != rrCopied && done.Result != rrSkipped) {
        if (showAlone && !done.InputProblem) {
          ShowFailure(done.Code);
          ++FLastRun.Errors;
        } else {
          ++FCounts.Errors;
          AddErrorLines(source, done.Code);
        }
      }
      KeepResponsive();
      return true;
    });
    if (!goOn) break;
  }
  Drain();
  ShowRunSummary();
}

struct TRestoreSession::TDirectoryWalk {
  // A folder whose files are done and whose subfolders are being walked.
  struct TLevel {
    TDirListing Listing;
    size_t Next = 0;                      // the next entry to look at for a subfolder
    size_t SourceEnd = 0, TargetEnd = 0;  // where the parent's paths end
    bool Made = false;                    // the walk made its target folder
  };
  TDirectoryWalk(TDirHandle sourceTop, std::string sourcePath, TDirHandle targetTop, std::string targetPath)
      : Source(std::move(sourceTop)), Target(std::move(targetTop)), SourcePath(std::move(sourcePath)),
        TargetPath(std::move(targetPath)), SourceRoot(SourcePath.size()), TargetRoot(TargetPath.size()) {}
  TFolderChain Source, Target;
  std::string SourcePath, TargetPath;  // of the folder the walk is in
  size_t SourceRoot, TargetRoot;       // the length of the top folders' paths
  std::vector<TLevel> Levels;
  bool CancelRun = false;  // Cancel in the top folder ends the whole walk
  std::string ShownSource() const { return ShownPath(SourcePath, SourceRoot); }
  std::string ShownTarget() const { return ShownPath(TargetPath, TargetRoot); }
};

void TRestoreSession::RestoreDirectory() {
  if (ReportNothingToDo() || !CheckTargetFolder()) return;
  if (!ConfirmNonEmptyTarget()) return;
  BeginRun();
  std::string source = FOptions.Folder;
  if (source.empty()) {
    FView.ShowError(MsgNoSourceFolder());
    FLastRun.NothingToDo = true;
    EndRun();
    return;
  }
  struct stat targetStat {};
  if (::stat(FTarget.c_str(), &targetStat) == 0) {
    FTargetDevice = targetStat.st_dev;
    FTargetInode = targetStat.st_ino;
  }
  std::string subPath;
  if (SplitZipPath(source, subPath)) {
    RestoreArchiveFolder(source, subPath, FTarget);
  } else {
    // The selected folder and the destination may be links themselves; below them none is
    // followed.
    TDirHandle sourceDir(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TDirHandle targetDir(::open(FTarget.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A dry run or a test neither needs nor makes the destination.
    if (!sourceDir.Valid() || (!targetDir.Valid() && !WritesNothing())) {
      FolderFailed(sourceDir.Valid() ? FTarget : source, CFolderUnreadable);
    } else {
      FWalkRoot = ExcludeTrailingDelimiter(source);
      CountFolder(sourceDir);
      TDirectoryWalk walk(std::move(sourceDir), FWalkRoot, std::move(targetDir), ExcludeTrailingDelimiter(FTarget));
      WalkFolders(walk);
      if (walk.CancelRun) FLastRun.Cancelled = true;
      FCounted.clear();  // a walk cut short leaves some behind
      FCountedEntries = 0;
    }
  }
  if (!FRestoring) FLastRun.Cancelled = true;
  ShowRunSummary();
}

void TRestoreSession::WalkFolders(TDirectoryWalk& walk) {
  if (!EnterFolder(walk, false, 0, 0)) return;
  while (!walk.Levels.empty() && FRestoring) {
    if (EnterNextSubfolder(walk)) continue;
    const TDirectoryWalk::TLevel& done = walk.Levels.back();
    const size_t sourceEnd = done.SourceEnd, targetEnd = done.TargetEnd;
    // With filters, a folder made for a subtree they leave empty goes again: only what they
    // select is restored, not the folders around what they leave out.
    const bool removeIfEmpty = done.Made && !FFilter.Empty() && !WritesNothing();
    const std::string name = walk.TargetPath.substr(std::min(targetEnd + 1, walk.TargetPath.size()));
    walk.Levels.pop_back();
    if (walk.Levels.empty()) break;
    if (removeIfEmpty) Drain();  // a transfer still queued for it would find it gone
    LeaveFolder(walk, sourceEnd, targetEnd);
    // Removed only while empty: anything restored into it (or below) keeps it.
    if (removeIfEmpty && walk.Target.Current().Valid())
      ::unlinkat(walk.Target.Current().Fd(), name.c_str(), AT_REMOVEDIR);
  }
}

bool TRestoreSession::EnterFolder(TDirectoryWalk& walk, bool fresh, size_t sourceEnd, size_t targetEnd) {
  bool listed = false;
  TDirListing listing = FolderListing(walk.Source.Current(), walk.Source.CurrentId(), listed);
  if (!listed) {
    FolderFailed(walk.ShownSource(), CFolderUnreadable);
    return false;
  }
  // Past the system's path limit the workers reach the folders through their handles.
  const TDirHandle& targetDir = walk.Target.Current();
  const std::string targetFolder = targetDir.Valid() ? FolderAccessPath(targetDir, walk.TargetPath) : walk.TargetPath;
  const bool cancelled = !RestoreFolderFiles(listing, walk.Source.Current(), walk.SourcePath, targetFolder, fresh);
  if (cancelled) {
    // Cancel ends this folder level; at the top level it ends the whole walk. Either way
    // selected items were left out.
    FLastRun.Cancelled = true;
    if (walk.Levels.empty()) walk.CancelRun = true;
    return false;
  }
  walk.Levels.push_back({std::move(listing), 0, sourceEnd, targetEnd, fresh});
  return true;
}

bool TRestoreSession::EnterNextSubfolder(TDirectoryWalk& walk) {
  TDirectoryWalk::TLevel& level = walk.Levels.back();
  while (level.Next < level.Listing.size()) {
    const TDirEntry& entry = level.Listing[level.Next++];
    if (entry.Type != TDirEntry::deFolder) continue;
    // A destination inside the source is not walked into: it would restore itself forever.
    if (entry.Device == FTargetDevice && entry.Inode == FTargetInode) continue;
    const std::string name = entry.Name;  // the level's listing may move when the walk goes down
    const size_t sourceEnd = walk.SourcePath.size(), targetEnd = walk.TargetPath.size();
    walk.SourcePath.append("/").append(name);
    if (!FFilter.Empty() && !FFilter.EntersFolder(WalkRelative(walk.SourcePath))) {
      walk.SourcePath.resize(sourceEnd);
      continue;
    }
    walk.TargetPath.append("/").append(name);
    bool made = false;
    if (!EnterSubfolder(walk, name, made)) {
      walk.SourcePath.resize(sourceEnd);
      walk.TargetPath.resize(targetEnd);
      return true;
    }
    if (!EnterFolder(walk, made, sourceEnd, targetEnd)) LeaveFolder(walk, sourceEnd, targetEnd);
    return true;
  }
  return false;
}

// Opens the subfolder and its target folder (made when the run writes) and goes down into
// both; false, with its error line, when either cannot be had.
bool TRestoreSession::EnterSubfolder(TDirectoryWalk& walk, const std::string& name, bool& made) {
  TDirHandle subDir = OpenFolder(walk.Source.Current().Fd(), name);
  if (!subDir.Valid()) {
    FolderFailed(walk.ShownSource(), CFolderUnreadable);
    return false;
  }
  const TDirHandle& targetDir = walk.Target.Current();
  TDirHandle subTargetDir = !WritesNothing()    ? OpenOrMakeFolder(targetDir.Fd(), name, &made)
                            : targetDir.Valid() ? OpenFolder(targetDir.Fd(), name)
                                                : TDirHandle();
  if (!subTargetDir.Valid() && !WritesNothing()) {
    // A link in the destination is not entered: it could lead out of it.
    struct stat link {};
    const bool isLink =
        ::fstatat(targetDir.Fd(), name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
    FolderFailed(walk.ShownTarget(), TErrorCode(sevError, isLink ? errNameRefused : errCreateFile));
    return false;
  }
  // A folder that is also one above it (a mount of it) would be walked in a circle.
  if (!walk.Source.Enter(std::move(subDir), name)) {
    FolderFailed(walk.ShownSource(), CFolderUnreadable);
    return false;
  }
  if (!walk.Target.Enter(std::move(subTargetDir), name)) {
    walk.Source.Leave();  // just entered: its parent is still open
    FolderFailed(walk.ShownTarget(), TErrorCode(sevError, errNameRefused));
    return false;
  }
  return true;
}

void TRestoreSession::LeaveFolder(TDirectoryWalk& walk, size_t sourceEnd, size_t targetEnd) {
  const bool sourceBack = walk.Source.Leave();
  const bool targetBack = walk.Target.Leave();
  walk.SourcePath.resize(sourceEnd);
  walk.TargetPath.resize(targetEnd);
  if (sourceBack && targetBack) return;
  // The folder was moved or replaced while the walk was below it: its files are done, the
  // subfolders it has left are not walked (they are no longer where the walk came from).
  TDirectoryWalk::TLevel& level = walk.Levels.back();
  const auto rest = level.Listing.begin() + static_cast<std::ptrdiff_t>(level.Next);
  const bool foldersLeft =
      std::any_of(rest, level.Listing.end(), [](const TDirEntry& e) { return e.Type == TDirEntry::deFolder; });
  level.Next = level.Listing.size();
  if (!foldersLeft) return;
  if (!sourceBack)
    FolderFailed(walk.ShownSource(), CFolderUnreadable);
  else
    FolderFailed(walk.ShownTarget(), TErrorCode(sevError, errCreateFile));
}

bool TRestoreSession::RestoreFolderFiles(const TDirListing& listing, const TDirHandle& sourceDir,
                                         const std::string& sourcePath, const std::string& targetFolder,
                                         bool fresh) {
  FDecider.ForgetFreshFolders();
  if (fresh) FDecider.MarkFresh(targetFolder);
  FTransfers.ResetEnded();  // a Cancel in a subfolder ended only that folder
  for (const TDirEntry& entry : listing) {
    KeepResponsive();
    if (!FRestoring) break;
    WaitWhilePaused();
    if (!FRestoring) break;
    const bool file = entry.Type == TDirEntry::deFile ||
                      (entry.Type == TDirEntry::deLink && entry.LinkTarget == TDirEntry::deFile);
    if (entry.Type == TDirEntry::deFolder) continue;
    // A link to a folder is not entered (it could lead anywhere, also in a circle).
    if (entry.Type == TDirEntry::deLink && entry.LinkTarget == TDirEntry::deFolder) continue;
    const std::string displayPath = sourcePath + "/" + entry.Name;
    if (!FFilter.Accepts(WalkRelative(displayPath))) continue;
    ItemStarted(displayPath, file ? ProgressShare(entry.Name, entry.Size) : 0);
    TItemOutcome item(rrFailed);
    if (!file) {
      item.Code = entry.Dangling ? CNotFound : TErrorCode(sevError, errNotRegularFile);
    } else {
      ShowFile(displayPath);
      // The count's look at the file serves the decision; the worker looks at what it opens,
      // through the folder, which stays open until the folder's transfers have ended.
      const TSourceFacts facts{{}, entry.UnixTime, entry.Size};
      item = RestoreFile(AccessPath(sourceDir, displayPath, entry.Name), targetFolder, true,
                         entry.Size >= 0 ? &facts : nullptr, sourceDir.Fd());
      if (item.Result == rrBadHeader) item.Code = TErrorCode(sevError, errGzipHeader, opGzip);
    }
    const std::string shown = ShownPath(displayPath, FWalkRoot.size());
    const bool goOn = Settle(std::move(item), [this, displayPath, shown](const TItemOutcome& done) {
      if (done.Result == rrCancelRun) return false;
      ReportItem(done, displayPath);
      ItemFinished(done.Share);
      switch (done.Result) {
        case rrCopied: ++FCounts.Copied; break;
        case rrBadHeader:
          ++FCounts.Errors;
          FErrorList.push_back(MsgErrorGzHeader() + shown);
          break;
        case rrFailed:
          ++FCounts.Errors;
          AddErrorLines(shown, done.Code);
          break;
        default: break;
      }
      return true;
    });
    if (!goOn) break;
  }
  // The reports of this folder's files before those of its subfolders, as the walk met them.
  Drain();
  FDecider.ForgetFreshFolders();
  return !FTransfers.Ended();
}

std::string TRestoreSession::WalkRelative(const std::string& path) const {
  return path.size() > FWalkRoot.size() ? path.substr(FWalkRoot.size() + 1) : std::string();
}

namespace {

// A folder the count is in: its listing, the next entry to count and where its path ends.
struct TCountLevel {
  TDirListing Listing;
  bool Listed = false;
  size_t Next = 0;
  std::optional<TFolderId> Id;
  size_t ParentEnd = 0;
};

}  // namespace

void TRestoreSession::CountFolder(const TDirHandle& folder) {
  TFolderChain chain(DuplicateFolder(folder));
  std::string relPath;
  std::vector<TCountLevel> levels;
  const auto listCurrent = [&](size_t parentEnd) {
    TCountLevel level;
    level.Listing = ListDirectory(chain.Current(), ldFolderIds | ldFileSizes, &level.Listed);
    level.Id = chain.CurrentId();
    level.ParentEnd = parentEnd;
    levels.push_back(std::move(level));
  };
  listCurrent(0);
  while (!levels.empty()) {
    TCountLevel& level = levels.back();
    if (level.Next == level.Listing.size()) {
      const size_t parentEnd = level.ParentEnd;
      KeepCounted(level.Listed, level.Id, std::move(level.Listing));
      levels.pop_back();
      if (levels.empty()) break;
      relPath.resize(parentEnd);
      // A folder moved meanwhile is counted no further; the walk reports it.
      if (!chain.Leave()) levels.back().Next = levels.back().Listing.size();
      continue;
    }
    const TDirEntry& entry = level.Listing[level.Next++];
    const size_t parentEnd = relPath.size();
    if (!relPath.empty()) relPath += '/';
    relPath += entry.Name;
    if (entry.Type == TDirEntry::deFolder) {
      if ((entry.Device != FTargetDevice || entry.Inode != FTargetInode) && FFilter.EntersFolder(relPath)) {
        TDirHandle sub = OpenFolder(chain.Current().Fd(), entry.Name);
        if (sub.Valid() && chain.Enter(std::move(sub), entry.Name)) {
          listCurrent(parentEnd);
          continue;
        }
      }
    } else if (!(entry.Type == TDirEntry::deLink && entry.LinkTarget == TDirEntry::deFolder) &&
               FFilter.Accepts(relPath)) {
      FCounts.AddToTotal(ProgressShare(entry.Name, entry.Size));
    }
    relPath.resize(parentEnd);
  }
}

void TRestoreSession::KeepCounted(bool listed, std::optional<TFolderId> id, TDirListing listing) {
  // A folder that could not be read is listed again by the walk, which reports it.
  if (!listed || !id || FCountedEntries + listing.size() > CKeptEntries) return;
  FCountedEntries += listing.size();
  FCounted.insert_or_assign(*id, std::move(listing));
}

TDirListing TRestoreSession::FolderListing(const TDirHandle& folder, std::optional<TFolderId> id, bool& listed) {
  if (const auto kept = id ? FCounted.find(*id) : FCounted.end(); kept != FCounted.end()) {
    TDirListing listing = std::move(kept->second);
    FCounted.erase(kept);
    listed = true;
    return listing;
  }
  return ListDirectory(folder, false, &listed);
}

void TRestoreSession::FolderFailed(const std::string& folder, const TRestoreError& code) {
  ++FCounts.Errors;
  AddErrorLines(folder, code);
  // Counted as an error, so it is an item of the run too, with the folder as its source.
  ReportItem(TItemOutcome(rrFailed, code), folder);
}

bool TRestoreSession::ArchiveEntrySelected(int e, const std::string& subPath, const std::string& foldedFolder) const {
  const TZipFileList& list = FArchive.Directory();
  const std::string& name = list.Strings(e);
  if (list.Objects(e).IsDir || !InArchiveFolder(FoldCase(name), foldedFolder)) return false;
  // The filter sees the entry's path below the selected folder.
  const std::string relative = subPath.empty()           ? name
                               : name.size() > subPath.size() ? name.substr(subPath.size() + 1)
                                                              : std::string();
  return FFilter.AcceptsWithFolders(relative);
}

bool TRestoreSession::FiltersLeaveNothing() {
  FFilter = TPathFilter(FOptions.Include, FOptions.Exclude);
  if (FFilter.Empty()) return false;
  if (FOptions.Mode == rmFiles)
    return !FOptions.Items.empty() && std::none_of(FOptions.Items.begin(), FOptions.Items.end(),
                        [&](const std::string& item) { return FFilter.Accepts(item); });
  // What cannot be read is left to the run, which reports it.
  std::string source = FOptions.Folder, subPath;
  if (SplitZipPath(source, subPath)) {
    if (OpenArchive(source)) return false;
    const std::string folder = FoldCase(subPath);
    for (int e = 0; e < FArchive.Directory().Count(); ++e)
      if (ArchiveEntrySelected(e, subPath, folder)) return false;
    return true;
  }
  const TDirHandle sourceDir(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!sourceDir.Valid()) return false;
  FWalkRoot = ExcludeTrailingDelimiter(source);
  FCounts.Reset();
  CountFolder(sourceDir);
  const bool none = FCounts.Progress().FilesTotal == 0;
  FCounted.clear();
  FCountedEntries = 0;
  return none;
}

bool TRestoreSession::ReportNothingToDo() {
  if (!FiltersLeaveNothing()) return false;
  // Nothing to restore: no destination is made, nothing is asked.
  FView.ShowError(MsgNoFilesFound());
  FLastRun.NothingToDo = true;
  FArchive.Close();
  return true;
}

void TRestoreSession::RestoreArchiveFolder(const std::string& archive, const std::string& subPath,
                                           const std::string& target) {
  if (TRestoreError code = OpenArchive(archive)) {
    // An archive that cannot be read ends this walk with its error line.
    FolderFailed(archive, code);
    return;
  }
  const std::string folder = FoldCase(subPath);
  const TZipFileList& list = FArchive.Directory();
  FDecider.ForgetFreshFolders();
  const auto selected = [&](int e) { return ArchiveEntrySelected(e, subPath, folder); };
  for (int e = 0; e < list.Count(); ++e)
    if (selected(e)) FCounts.AddToTotal(list.Objects(e).USize);
  for (int e = 0; e < list.Count(); ++e) {
    KeepResponsive();
    WaitWhilePaused();
    if (!FRestoring) break;
    const TPkHeader& entry = list.Objects(e);
    if (!selected(e)) continue;
    const std::string& name = list.Strings(e);
    ShowFile(name);
    ItemStarted(name, entry.USize);
    TItemOutcome item = RestoreZipEntry(entry, AddPathDelimiter(target) + name, name, true);
    const std::string source = archive + ":" + name;
    const int64_t size = entry.USize;
    const bool goOn = Settle(std::move(item), [this, source, size](const TItemOutcome& done) {
      if (done.Result == rrCopied) ++FCounts.Copied;
      if (done.Result == rrCancelRun) {
        FLastRun.Cancelled = true;
        return false;
      }
      if (!FRestoring) return false;
      ReportItem(done, source, {}, size);
      ItemFinished(done.Share);
      if (done.Result == rrFailed) {
        ++FCounts.Errors;
        AddErrorLines(source, done.Code);
      }
      return true;
    });
    if (!goOn) break;
  }
  Drain();  // the transfers still running read no more of the archive, but report in turn
  FDecider.ForgetFreshFolders();
  FArchive.Close();
}

}  // namespace qv
