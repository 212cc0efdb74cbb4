// The schedule mode: the latest version of every file before the end of a chosen day.
#include <cmath>

#include "base/FileUtils.h"
#include "base/FormatUtils.h"
#include "base/PathUtils.h"
#include "base/TimeUtils.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "restore/VersionList.h"
#include "transfer/GzipFile.h"

namespace qv {

namespace {

bool IsHiddenName(const std::string& name) { return !name.empty() && name.front() == '.'; }

// Folders directly below parent whose names match the pattern; hidden ones left out.
std::vector<std::string> MatchingFolders(const std::string& parent, const std::string& pattern) {
  std::vector<std::string> names;
  for (const TDirEntry& e : ListDirectory(parent)) {
    if (e.Type != TDirEntry::deFolder || IsHiddenName(e.Name)) continue;
    if (MatchesMask(e.Name, pattern)) names.push_back(e.Name);
  }
  return names;
}

}  // namespace

void TRestoreSession::CollectVersions(const std::string& base, const std::string& sub) {
  const std::string folder = AddPathDelimiter(AddPathDelimiter(base) + sub);
  if (IsLinkLoop(ExcludeTrailingDelimiter(folder), false)) return;
  const TDirListing listing = ListDirectory(folder, true);
  const std::string keyPrefix = sub.empty() ? std::string() : AddPathDelimiter(sub);
  for (const TDirEntry& e : listing) {
    if (!Restoring) break;
    if (e.Type != TDirEntry::deFile) continue;  // folders later; links and devices never
    const uint32_t t = static_cast<uint32_t>(e.UnixTime);
    if (!(t < FBound)) continue;
    FVersions->Offer(keyPrefix + e.Name, folder + e.Name, t);
  }
  for (const TDirEntry& e : listing) {
    if (!Restoring) break;
    if (e.Type == TDirEntry::deFolder) CollectVersions(base, keyPrefix + e.Name);
  }
}

void TRestoreSession::CollectDriveFolders(const std::string& setFolder, const std::string& pattern) {
  for (const std::string& name : MatchingFolders(setFolder, pattern.empty() ? "*.*" : pattern)) {
    if (!Restoring) break;
    WaitWhilePaused();
    CollectVersions(AddPathDelimiter(setFolder) + name, std::string());
  }
}

void TRestoreSession::RestoreFromSchedule() {
  if (!CheckTargetFolder()) return;
  if (!ConfirmNonEmptyTarget()) return;
  BeginRun();
  FVersions = std::make_unique<TVersionList>();
  FBound = static_cast<uint32_t>(DateTimeToUnixSeconds(static_cast<double>(FView.RestoreDate()) + 1.0));
  const std::string selected = FView.SelectedFolder();
  Source = AddPathDelimiter(selected);
  FView.SetFileLabel(MsgSearching());
  FView.SetProgressMarquee(true);
  const std::string driveMask = FView.DriveMask();
  if (!Source.empty()) {
    for (const std::string& set : MatchingFolders(Source, FView.SubDirMask())) {
      WaitWhilePaused();
      if (driveMask.empty())
        CollectVersions(Source + set, std::string());
      else
        CollectDriveFolders(Source + set, driveMask);
    }
  }
  FView.SetProgressMarquee(false);

  const size_t n = FVersions->Count();
  if (n == 0) {
    FView.ShowError(MsgNoFilesFound());
    FLastRun.NothingToDo = true;
  } else if (!WritesNothing() && !FView.Confirm(FormatText(MsgFilesFound(), {std::to_string(n)}), true)) {
    FLastRun.NothingToDo = true;
  } else {
    RestoreVersions();
  }
  FVersions.reset();
  EndRun();
}

void TRestoreSession::RestoreVersions() {
  const size_t n = FVersions->Count();
  uint32_t copied = 0, errors = 0;
  int64_t copiedBytes = 0, totalBytes = 0;
  const bool unpack = FView.UnpackGz();
  for (size_t i = 0; i < n; ++i) {
    std::string key = (*FVersions)[i].Key;
    const std::string source = (*FVersions)[i].Info.FullPath;
    ShowFile(key);
    const TBackupKind kind = BackupKind(key, unpack);
    bool encrypted = false;
    int64_t size = 0;
    bool headerRead = true;
    if (kind == bkCompressed) {
      TGzFileInfo info;
      headerRead = GetGzFileInfo(source, info);
      if (headerRead) {
        encrypted = info.Encrypted;
        size = info.USize;
      }
      key = DeleteExtension(key);
    } else {
      size = static_cast<int64_t>(GetFileSize64(source));
      if (kind == bkEncrypted) {
        key = DeleteExtension(key);
        encrypted = true;
        size -= 30;
      }
    }
    totalBytes += size;
    uint32_t code = 0;
    TRestoreResult r = rrFailed;
    FItemSet = SetFolderOf(source);
    if (!headerRead) {
      code = uint32_t{opGzip} | errReadFile;
    } else {
      const int position = static_cast<int>(std::lround(100.0 * static_cast<double>(i) / static_cast<double>(n) - 1.0));
      FView.SetProgress(position < 0 ? 0 : position);
      r = RunPipeline(source, AddPathDelimiter(Target) + key, kind, encrypted, false, true, code,
                      kind == bkCompressed ? size : 0);
      if (r == rrCopied) {
        ++copied;
        copiedBytes += size;
      }
    }
    KeepResponsive();
    WaitWhilePaused();
    if (r == rrCancelRun || !Restoring) {
      FLastRun.Cancelled = true;
      break;
    }
    if (r == rrFailed) {
      ++errors;
      AddErrorLines(source, code);
    }
  }
  FItemSet.clear();
  FView.SetProgress(101);

  const std::string text = FormatText(MsgScheduleCopied(), {std::to_string(copied), std::to_string(n),
                                                          SizeToStr(copiedBytes), SizeToStr(totalBytes)});
  ReportRun(text, copied, errors);
  FLastRun.Total = static_cast<uint32_t>(n);
}

}  // namespace qv
