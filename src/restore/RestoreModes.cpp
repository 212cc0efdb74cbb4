// The Files and Directory modes.
#include <sys/stat.h>

#include "base/FileUtils.h"
#include "base/PathUtils.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "transfer/ZipRead.h"

namespace qv {

bool TRestoreSession::OpenArchive(const std::string& archive, uint32_t& code) {
  code = 0;
  try {
    RZip = std::make_unique<TZipRead>(archive, std::string(), 0, 524288);
    RZip->SetOnProcessMessages([this] { FView.ProcessMessages(); });
    RZip->SetVerifyTargets(FVerifying);
    if (!CryptPwd.empty()) RZip->InitEncryption(CryptPwd, 0);
    RZip->ReadDirectory();
    return true;
  } catch (const EZipError& e) {
    code = static_cast<uint32_t>(e.ZipError);
    RZip.reset();
    return false;
  }
}

void TRestoreSession::CloseArchive() { RZip.reset(); }

bool TRestoreSession::LeadsIntoArchive(std::string& path, std::string& subPath) const {
  std::string archive = path;
  std::string sub;
  if (!SplitZipPath(archive, sub)) return false;
  // A real folder whose name ends in ".zip" is a folder, not an archive.
  struct stat st {};
  if (::stat(archive.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  path = archive;
  subPath = sub;
  return true;
}

void TRestoreSession::RestoreSelectedFiles() {
  if (!CheckTargetFolder()) return;
  BeginRun();
  uint32_t copied = 0, errors = 0;
  bool cancel = false;
  if (FView.SelectedCount() == 0) {
    FView.ShowError(MsgNoFilesSelected());
    FLastRun.NothingToDo = true;
    EndRun();
    return;
  }
  // The selection is read item by item: the list may change while the run goes on.
  for (int i = 0; i < FView.ItemCount(); ++i) {
    if (!FView.ItemSelected(i)) continue;
    std::string source = FView.ItemPath(i);
    ShowFile(source);
    uint32_t code = 0;
    std::string archive = source, subPath;
    if (LeadsIntoArchive(archive, subPath)) {
      if (!OpenArchive(archive, code)) {
        source = archive;
      } else {
        const TZipFileList& list = RZip->Directory();
        for (int e = 0; e < list.Count() && !cancel; ++e) {
          const TPkHeader& entry = list.Objects(e);
          const std::string& name = list.Strings(e);
          if (entry.IsDir || subPath.empty() || !SameText(name, subPath)) continue;
          uint32_t entryCode = 0;
          const TRestoreResult r =
              RestoreZipEntry(entry, AddPathDelimiter(Target) + subPath, subPath, entryCode);
          if (r == rrCancelRun) { cancel = true; break; }
          if (r == rrSkipped) continue;
          source = archive + ":" + subPath;
          code = entryCode;
          if (r == rrCopied) ++copied;
        }
        CloseArchive();
      }
    } else if (LongFileExists(source)) {
      const TRestoreResult r = RestoreFile(source, Target, true, code);
      if (r == rrCopied) ++copied;
      if (r == rrCancelRun) cancel = true;
      // Passed over silently by a restore; a preview or a test says what a restore cannot do.
      if (r == rrBadHeader) code = WritesNothing() ? ResultCode(sevError, errGzipHeader) | opGunzip : 0;
    } else if (WritesNothing()) {
      code = ResultCode(sevError, errFileNotFound) | opCopy;
    }
    if (cancel || !Restoring) {
      FLastRun.Cancelled = true;
      break;
    }
    if (code != 0) {
      if (FView.SelectedCount() < 2 && FRunKind == rkRestore) {
        FView.ShowError(GetErrorMessage(code));
        ++FLastRun.Errors;
      } else {
        ++errors;
        AddErrorLines(source, code);
      }
    }
  }
  ShowRunSummary(copied, errors);
}

void TRestoreSession::RestoreDirectory() {
  if (!CheckTargetFolder()) return;
  if (!ConfirmNonEmptyTarget()) return;
  BeginRun();
  uint32_t copied = 0, errors = 0;
  std::string source = FView.SelectedFolder();
  if (source.empty()) {
    FView.ShowError(MsgNoSourceFolder());
    FLastRun.NothingToDo = true;
    EndRun();
    return;
  }
  struct stat targetStat {};
  if (::stat(Target.c_str(), &targetStat) == 0) {
    FTargetDevice = targetStat.st_dev;
    FTargetInode = targetStat.st_ino;
  }
  std::string subPath;
  if (LeadsIntoArchive(source, subPath)) {
    RestoreArchiveFolder(source, subPath, Target, copied, errors);
  } else {
    bool cancelRun = false;
    RestoreFolder(source, Target, std::string(), copied, errors, cancelRun);
    if (cancelRun) FLastRun.Cancelled = true;
  }
  if (!Restoring) FLastRun.Cancelled = true;
  ShowRunSummary(copied, errors);
}

void TRestoreSession::RestoreFolder(const std::string& base, const std::string& target,
                                    const std::string& sub, uint32_t& copied, uint32_t& errors,
                                    bool& cancelRun) {
  const std::string folder = AddPathDelimiter(base) + sub;
  if (IsLinkLoop(ExcludeTrailingDelimiter(folder), false)) return;
  const std::string targetFolder = AddPathDelimiter(target) + sub;
  if (!WritesNothing() && !LongDirectoryExists(targetFolder)) LongForceDirectories(targetFolder);
  const TDirListing listing = ListDirectory(folder);
  bool cancelled = false;
  for (const TDirEntry& entry : listing) {
    KeepResponsive();
    if (!Restoring) break;
    WaitWhilePaused();
    if (entry.Type != TDirEntry::deFile) continue;  // folders, links, devices, pipes
    const std::string sourcePath = AddPathDelimiter(folder) + entry.Name;
    ShowFile(sourcePath);
    uint32_t code = 0;
    const TRestoreResult r = RestoreFile(sourcePath, targetFolder, true, code);
    switch (r) {
      case rrCopied: ++copied; break;
      case rrSkipped: break;
      case rrBadHeader:
        ++errors;
        ErrorList.push_back(MsgErrorGzHeader() + sourcePath);
        if (WritesNothing()) ReportItem(iaFailed, sourcePath, std::string(), ResultCode(sevError, errGzipHeader) | opGunzip);
        break;
      case rrFailed:
        ++errors;
        AddErrorLines(sourcePath, code);
        break;
      case rrCancelRun: cancelled = true; break;
    }
    if (cancelled) break;
  }
  if (cancelled) {
    // Cancel ends this folder level; at the top level it ends the whole walk.
    if (sub.empty()) cancelRun = true;
    return;
  }
  if (!Restoring) return;
  for (const TDirEntry& entry : listing) {
    if (!Restoring) break;
    if (entry.Type != TDirEntry::deFolder) continue;
    // A destination inside the source is not walked into: it would restore itself forever.
    if (entry.Device == FTargetDevice && entry.Inode == FTargetInode) continue;
    RestoreFolder(base, target, sub.empty() ? entry.Name : sub + "/" + entry.Name, copied, errors,
                  cancelRun);
  }
}

void TRestoreSession::RestoreArchiveFolder(const std::string& archive, const std::string& subPath,
                                           const std::string& target, uint32_t& copied,
                                           uint32_t& errors) {
  uint32_t code = 0;
  if (!OpenArchive(archive, code)) {
    // An archive that cannot be read ends this walk with its error line.
    ++errors;
    AddErrorLines(archive, code);
    return;
  }
  const TZipFileList& list = RZip->Directory();
  for (int e = 0; e < list.Count(); ++e) {
    KeepResponsive();
    WaitWhilePaused();
    const TPkHeader& entry = list.Objects(e);
    if (entry.IsDir) continue;
    const std::string& name = list.Strings(e);
    ShowFile(name);
    if (!subPath.empty() && !StartsWithText(name, subPath)) continue;
    uint32_t entryCode = 0;
    const TRestoreResult r = RestoreZipEntry(entry, AddPathDelimiter(target) + name, name, entryCode);
    if (r == rrCopied) ++copied;
    if (r == rrCancelRun) {
      FLastRun.Cancelled = true;
      break;
    }
    if (!Restoring) break;
    if (r == rrFailed) {
      ++errors;
      AddErrorLines(archive + ":" + name, entryCode);
    }
  }
  CloseArchive();
}

}  // namespace qv
