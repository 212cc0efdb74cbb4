// The Files and Directory modes.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>

#include "base/FileUtils.h"
#include "base/PathUtils.h"
#include "restore/ArchiveIndex.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "transfer/ZipRead.h"

namespace qv {

namespace {

constexpr TErrorCode CNotFound(sevError, errFileNotFound);
constexpr TErrorCode CFolderUnreadable(sevError, errReadFolder);

// An entry of an archive folder: the folder itself or below it, never a name that only
// begins with the same text ("docs2").
bool InArchiveFolder(const std::string& foldedName, const std::string& foldedFolder) {
  if (foldedFolder.empty()) return true;
  if (foldedName.compare(0, foldedFolder.size(), foldedFolder) != 0) return false;
  return foldedName.size() == foldedFolder.size() || foldedName[foldedFolder.size()] == '/';
}

}  // namespace

bool TRestoreSession::OpenArchive(const std::string& archive, TErrorCode& code) {
  code = {};
  if (FRZip && FArchiveName == archive) return true;
  CloseArchive();
  try {
    FRZip = std::make_unique<TZipRead>(archive, std::string(), 0, 524288);
    FRZip->SetOnProcessMessages([this] { FView.ProcessMessages(); });
    FRZip->SetVerifyTargets(Verifying());
    if (!FCryptPwd.empty()) FRZip->InitEncryption(FCryptPwd, 0);
    FArchivePwd = FCryptPwd;
    FRZip->ReadDirectory();
    FArchiveName = archive;
    return true;
  } catch (const EZipError& e) {
    code = AsErrorCode(e.ZipError);
    FRZip.reset();
    return false;
  }
}

void TRestoreSession::CloseArchive() {
  FRZip.reset();
  FArchiveName.clear();
  FArchivePwd.clear();
  FArchiveIndex.reset();
}

int TRestoreSession::FindArchiveEntry(const std::string& subPath) {
  if (!FArchiveIndex) FArchiveIndex = std::make_unique<TArchiveIndex>(FRZip->Directory());
  return FArchiveIndex->Find(FRZip->Directory(), subPath);
}

TRestoreResult TRestoreSession::RestoreSelectedEntry(const std::string& archive, const std::string& subPath,
                                                     std::string& source, TErrorCode& code) {
  FLastTarget.clear();
  FInputProblem = true;
  if (!OpenArchive(archive, code)) {
    source = archive;
    return rrFailed;
  }
  source = archive + ":" + subPath;
  if (subPath.empty()) {
    code = TErrorCode(sevError, errArchiveAsFile);
    source = archive;
    return rrFailed;
  }
  const int index = FindArchiveEntry(subPath);
  if (index < 0) {
    code = TErrorCode(sevError, errFileNotFound, opZip);
    return rrFailed;
  }
  const TPkHeader& entry = FRZip->Directory().Objects(index);
  const std::string& name = FRZip->Directory().Strings(index);
  // The entry's own spelling: it is what the archive restores.
  source = archive + ":" + name;
  FInputProblem = false;
  return RestoreZipEntry(entry, AddPathDelimiter(FTarget) + name, name, code);
}

TRestoreResult TRestoreSession::RestoreSelectedPath(const std::string& source, TErrorCode& code) {
  const TRestoreResult r = RestoreFile(source, FTarget, true, code);
  // The header of a .gz that cannot be read: the item is not restored, which is an error.
  if (r == rrBadHeader) {
    code = TErrorCode(sevError, errReadFile, opGzip);
    FInputProblem = true;
  }
  return r;
}

void TRestoreSession::RestoreSelectedFiles() {
  if (!CheckTargetFolder()) return;
  BeginRun();
  uint32_t copied = 0, errors = 0;
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
    ++FProgress.FilesTotal;
    sizes[i] = static_cast<int64_t>(GetFileSize64(items[i]));
    FProgress.BytesTotal += sizes[i];
  }
  for (size_t i = 0; i < items.size(); ++i) {
    std::string source = items[i];
    if (!FFilter.Accepts(source)) continue;
    ShowFile(source);
    ItemStarted(source);
    TErrorCode code;
    std::string archive = source, subPath;
    const TRestoreResult r = SplitZipPath(archive, subPath)
                                 ? RestoreSelectedEntry(archive, subPath, source, code)
                                 : RestoreSelectedPath(source, code);
    const bool goOn = Settle(r, code, [&, source, size = sizes[i]](TRestoreResult result, TErrorCode failure) {
      if (result == rrCopied) ++copied;
      if (result == rrCancelRun || !FRestoring) {
        FLastRun.Cancelled = true;
        return false;
      }
      ReportItem(result, source, failure);
      ItemFinished(size);
      if (failure && result != rrCopied && result != rrSkipped) {
        // A transfer failure of the only selected item is shown at once; an input that is not
        // there or cannot be read is always listed with its path.
        if (items.size() < 2 && !FInputProblem && FOptions.Kind == rkRestore) {
          FView.ShowError(failure.Message());
          ++FLastRun.Errors;
        } else {
          ++errors;
          AddErrorLines(source, failure);
        }
      }
      KeepResponsive();
      return true;
    });
    if (!goOn) break;
  }
  Drain();
  ShowRunSummary(copied, errors);
}

void TRestoreSession::RestoreDirectory() {
  if (!CheckTargetFolder()) return;
  if (!ConfirmNonEmptyTarget()) return;
  BeginRun();
  uint32_t copied = 0, errors = 0;
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
    RestoreArchiveFolder(source, subPath, FTarget, copied, errors);
  } else {
    // The selected folder and the destination may be links themselves; below them none is
    // followed.
    const TDirHandle sourceDir(::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const TDirHandle targetDir(::open(FTarget.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool cancelRun = false;
    // A dry run or a test neither needs nor makes the destination.
    if (!sourceDir.Valid() || (!targetDir.Valid() && !WritesNothing())) {
      ++errors;
      AddErrorLines(sourceDir.Valid() ? FTarget : source, CFolderUnreadable);
    } else {
      FWalkRoot = ExcludeTrailingDelimiter(source);
      CountFolder(sourceDir, std::string());
      RestoreFolder(sourceDir, ExcludeTrailingDelimiter(source), targetDir,
                    ExcludeTrailingDelimiter(FTarget), true, copied, errors, cancelRun);
      FCounted.clear();  // a walk cut short leaves some behind
      FCountedEntries = 0;
    }
    if (cancelRun) FLastRun.Cancelled = true;
  }
  if (!FRestoring) FLastRun.Cancelled = true;
  ShowRunSummary(copied, errors);
}

void TRestoreSession::RestoreFolder(const TDirHandle& sourceDir, const std::string& sourcePath,
                                    const TDirHandle& targetDir, const std::string& targetPath,
                                    bool top, uint32_t& copied, uint32_t& errors, bool& cancelRun, bool fresh) {
  bool listed = false;
  const TDirListing listing = FolderListing(sourceDir, WalkRelative(sourcePath), listed);
  if (!listed) {
    ++errors;
    AddErrorLines(sourcePath, CFolderUnreadable);
    return;
  }
  // Past the system's path limit the workers reach the folders through their handles.
  const std::string targetFolder = targetDir.Valid() ? FolderAccessPath(targetDir, targetPath) : targetPath;
  const bool cancelled = !RestoreFolderFiles(listing, sourceDir, sourcePath, targetFolder, fresh, copied, errors);
  // The reports of this folder's files before those of its subfolders, as the walk met them.
  Drain();
  if (cancelled) {
    // Cancel ends this folder level; at the top level it ends the whole walk.
    if (top) cancelRun = true;
    return;
  }
  RestoreSubfolders(listing, sourceDir, sourcePath, targetDir, targetPath, copied, errors, cancelRun);
}

// The folder's files in walk order; false when a password prompt cancelled the run.
bool TRestoreSession::RestoreFolderFiles(const TDirListing& listing, const TDirHandle& sourceDir,
                                         const std::string& sourcePath, const std::string& targetFolder,
                                         bool fresh, uint32_t& copied, uint32_t& errors) {
  bool cancelled = false;
  ForgetFreshFolders();
  if (fresh) FFreshFolders.insert(targetFolder);
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
    ItemStarted(displayPath);
    TErrorCode code;
    TRestoreResult r = rrFailed;
    if (!file) {
      code = entry.Dangling ? CNotFound : TErrorCode(sevError, errNotRegularFile);
      FLastTarget.clear();
    } else {
      ShowFile(displayPath);
      // The count's look at the file serves the decision; the worker looks at what it opens.
      const TSourceFacts facts{{}, entry.UnixTime, entry.Size};
      FSourceFolder = sourceDir.Fd();  // open until the folder's transfers have ended
      r = RestoreFile(AccessPath(sourceDir, displayPath, entry.Name), targetFolder, true, code,
                      entry.Size >= 0 ? &facts : nullptr);
      FSourceFolder = -1;
    }
    const int64_t size = file ? FLastSourceSize : 0;  // taken by RestoreFile's one look at the source
    const bool goOn = Settle(r, code, [&, displayPath, size](TRestoreResult result, TErrorCode failure) {
      if (result == rrCancelRun) {
        cancelled = true;
        return false;
      }
      ReportItem(result, displayPath,
                 result == rrBadHeader ? TErrorCode(sevError, errGzipHeader, opGzip) : failure);
      ItemFinished(size);
      switch (result) {
        case rrCopied: ++copied; break;
        case rrBadHeader:
          ++errors;
          FErrorList.push_back(MsgErrorGzHeader() + displayPath);
          break;
        case rrFailed:
          ++errors;
          AddErrorLines(displayPath, failure);
          break;
        default: break;
      }
      return true;
    });
    if (!goOn) break;
  }
  ForgetFreshFolders();
  return !cancelled;
}

void TRestoreSession::RestoreSubfolders(const TDirListing& listing, const TDirHandle& sourceDir,
                                        const std::string& sourcePath, const TDirHandle& targetDir,
                                        const std::string& targetPath, uint32_t& copied, uint32_t& errors,
                                        bool& cancelRun) {
  for (const TDirEntry& entry : listing) {
    if (!FRestoring) break;
    if (entry.Type != TDirEntry::deFolder) continue;
    // A destination inside the source is not walked into: it would restore itself forever.
    if (entry.Device == FTargetDevice && entry.Inode == FTargetInode) continue;
    const std::string subSource = sourcePath + "/" + entry.Name;
    if (!FFilter.EntersFolder(WalkRelative(subSource))) continue;
    const TDirHandle subDir = OpenFolder(sourceDir.Fd(), entry.Name);
    if (!subDir.Valid()) {
      ++errors;
      AddErrorLines(subSource, CFolderUnreadable);
      continue;
    }
    const std::string subTarget = targetPath + "/" + entry.Name;
    bool made = false;
    const TDirHandle subTargetDir = !WritesNothing()     ? OpenOrMakeFolder(targetDir.Fd(), entry.Name, &made)
                                    : targetDir.Valid() ? OpenFolder(targetDir.Fd(), entry.Name)
                                                        : TDirHandle();
    if (!subTargetDir.Valid() && !WritesNothing()) {
      // A link in the destination is not entered: it could lead out of it.
      struct stat link {};
      const bool isLink = ::fstatat(targetDir.Fd(), entry.Name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISLNK(link.st_mode);
      const uint32_t detail = isLink ? errNameRefused : errCreateFile;
      ++errors;
      AddErrorLines(subTarget, TErrorCode(sevError, detail));
      continue;
    }
    RestoreFolder(subDir, subSource, subTargetDir, subTarget, false, copied, errors, cancelRun, made);
  }
}

std::string TRestoreSession::WalkRelative(const std::string& path) const {
  return path.size() > FWalkRoot.size() ? path.substr(FWalkRoot.size() + 1) : std::string();
}

void TRestoreSession::CountFolder(const TDirHandle& folder, const std::string& relPath) {
  bool listed = false;
  TDirListing listing = ListDirectory(folder, ldFolderIds | ldFileSizes, &listed);
  for (const TDirEntry& entry : listing) {
    const std::string rel = relPath.empty() ? entry.Name : relPath + "/" + entry.Name;
    if (entry.Type == TDirEntry::deFolder) {
      if (entry.Device == FTargetDevice && entry.Inode == FTargetInode) continue;
      if (!FFilter.EntersFolder(rel)) continue;
      const TDirHandle sub = OpenFolder(folder.Fd(), entry.Name);
      if (sub.Valid()) CountFolder(sub, rel);
    } else if (!(entry.Type == TDirEntry::deLink && entry.LinkTarget == TDirEntry::deFolder) &&
               FFilter.Accepts(rel)) {
      ++FProgress.FilesTotal;
      FProgress.BytesTotal += std::max<int64_t>(entry.Size, 0);
    }
  }
  // A folder that could not be read is listed again by the walk, which reports it.
  if (!listed || FCountedEntries + listing.size() > CKeptEntries) return;
  FCountedEntries += listing.size();
  FCounted.insert_or_assign(relPath, std::move(listing));
}

TDirListing TRestoreSession::FolderListing(const TDirHandle& folder, const std::string& relPath, bool& listed) {
  if (const auto kept = FCounted.find(relPath); kept != FCounted.end()) {
    TDirListing listing = std::move(kept->second);
    FCounted.erase(kept);
    listed = true;
    return listing;
  }
  return ListDirectory(folder, false, &listed);
}

void TRestoreSession::RestoreArchiveFolder(const std::string& archive, const std::string& subPath,
                                           const std::string& target, uint32_t& copied,
                                           uint32_t& errors) {
  TErrorCode code;
  if (!OpenArchive(archive, code)) {
    // An archive that cannot be read ends this walk with its error line.
    ++errors;
    AddErrorLines(archive, code);
    return;
  }
  const std::string folder = FoldCase(subPath);
  const TZipFileList& list = FRZip->Directory();
  ForgetFreshFolders();
  // The entry's path below the selected folder, for the filter.
  const auto relative = [&](const std::string& name) {
    if (subPath.empty()) return name;
    return name.size() > subPath.size() ? name.substr(subPath.size() + 1) : std::string();
  };
  const auto selected = [&](int e) {
    const std::string& name = list.Strings(e);
    return !list.Objects(e).IsDir && InArchiveFolder(FoldCase(name), folder) &&
           FFilter.AcceptsWithFolders(relative(name));
  };
  for (int e = 0; e < list.Count(); ++e) {
    if (!selected(e)) continue;
    ++FProgress.FilesTotal;
    FProgress.BytesTotal += list.Objects(e).USize;
  }
  for (int e = 0; e < list.Count(); ++e) {
    KeepResponsive();
    WaitWhilePaused();
    if (!FRestoring) break;
    const TPkHeader& entry = list.Objects(e);
    if (!selected(e)) continue;
    const std::string& name = list.Strings(e);
    ShowFile(name);
    ItemStarted(name);
    TErrorCode entryCode;
    const TRestoreResult r = RestoreZipEntry(entry, AddPathDelimiter(target) + name, name, entryCode, true);
    const int64_t size = entry.USize;
    const bool goOn = Settle(r, entryCode, [&, name, size](TRestoreResult result, TErrorCode failure) {
      if (result == rrCopied) ++copied;
      if (result == rrCancelRun) {
        FLastRun.Cancelled = true;
        return false;
      }
      if (!FRestoring) return false;
      ReportItem(result, archive + ":" + name, failure, {}, size);
      ItemFinished(size);
      if (result == rrFailed) {
        ++errors;
        AddErrorLines(archive + ":" + name, failure);
      }
      return true;
    });
    if (!goOn) break;
  }
  Drain();  // the transfers still running read no more of the archive, but report in turn
  ForgetFreshFolders();
  CloseArchive();
}

}  // namespace qv
