// SPDX-License-Identifier: Apache-2.0
// The schedule mode: the latest version of every file before the end of a chosen day.
#include <unistd.h>

#include <cmath>

#include "base/FileUtils.h"
#include "base/FormatUtils.h"
#include "base/PathUtils.h"
#include "base/TimeUtils.h"
#include "crypto/AesLib.h"
#include "restore/DirList.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"
#include "restore/VersionList.h"
#include "transfer/GzipFile.h"

namespace qv {

void TRestoreSession::AddSearchError(const std::string& path, uint32_t code) {
  ++FSearchErrors;
  AddErrorLines(path, TErrorCode::FromValue(code));
  FItem.Target.clear();
  ReportItem(rrFailed, path, TErrorCode::FromValue(code));
}

void TRestoreSession::RestoreFromSchedule() {
  if (!CheckTargetFolder()) return;
  if (!ConfirmNonEmptyTarget()) return;
  BeginRun();
  FVersions = std::make_unique<TVersionList>();
  FBound = ScheduleDayBound(FOptions.Date);
  FView.SetFileLabel(MsgSearching());
  FView.SetProgressMarquee(true);
  if (!FOptions.Folder.empty()) {
    TScheduleSearch search;
    search.Folder = FOptions.Folder;
    search.SetMask = FOptions.SubDirMask;
    search.DriveMask = FOptions.DriveMask;
    search.Bound = FBound;
    search.Unpack = FOptions.Unpack;
    search.Filter = &FFilter;
    search.OnError = [this](const std::string& path, uint32_t code) { AddSearchError(path, code); };
    search.KeepGoing = [this] {
      KeepResponsive();  // the search repaints and sees Stop and Pause
      return FRestoring;
    };
    search.NextFolder = [this] {
      WaitWhilePaused();
      return FRestoring;
    };
    CollectScheduleVersions(search, *FVersions);
  }
  FView.SetProgressMarquee(false);

  const size_t n = FVersions->Count();
  if (!FRestoring) {
    FLastRun.Cancelled = true;
    ReportRun(FormatText(MsgScheduleCopied(static_cast<uint32_t>(n)), {"0", std::to_string(n), SizeToStr(0), SizeToStr(0)}), 0,
              FSearchErrors);
  } else if (n == 0) {
    FView.ShowError(MsgNoFilesFound());
    // A folder that could not be read is an error, not an empty backup.
    if (FSearchErrors != 0)
      ReportRun(FormatText(MsgScheduleCopied(0), {"0", "0", SizeToStr(0), SizeToStr(0)}), 0, FSearchErrors);
    else
      FLastRun.NothingToDo = true;
  } else if (!WritesNothing() && !FView.Confirm(FormatText(MsgFilesFound(static_cast<uint32_t>(n)), {std::to_string(n)}), true)) {
    FLastRun.NothingToDo = true;
  } else {
    FProgress.FilesTotal = static_cast<uint32_t>(n);
    for (size_t i = 0; i < n; ++i)
      FProgress.BytesTotal += ProgressShare((*FVersions)[i].Info.FullPath,
                                            static_cast<int64_t>(GetFileSize64((*FVersions)[i].Info.FullPath)));
    RestoreVersions();
  }
  FVersions.reset();
  EndRun();
  // The search runs after the destination was made: a run that found nothing leaves no
  // empty folder of its own behind.
  if (FLastRun.NothingToDo && !FTargetExisted && !WritesNothing()) ::rmdir(FTarget.c_str());
}

int64_t TRestoreSession::EncryptedContentSize(int64_t fileSize) const {
  const int64_t overhead =
      FDecryption ? FDecryption->GetHeaderSize() + FDecryption->GetTrailerSize() : CShortestEncOverhead;
  return fileSize > overhead ? fileSize - overhead : 0;
}

void TRestoreSession::RestoreVersions() {
  const size_t n = FVersions->Count();
  uint32_t copied = 0, errors = FSearchErrors;
  int64_t copiedBytes = 0, totalBytes = 0;
  const bool unpack = FOptions.Unpack;
  for (size_t i = 0; i < n; ++i) {
    const std::string key = (*FVersions)[i].Key;
    const std::string source = (*FVersions)[i].Info.FullPath;
    const std::string set = (*FVersions)[i].Set;
    ShowFile(key);
    const int64_t backupSize = static_cast<int64_t>(GetFileSize64(source));
    ItemStarted(key, ProgressShare(source, backupSize));
    const TBackupKind kind = BackupKind(source, unpack);
    bool encrypted = false;
    int64_t size = 0;
    bool headerRead = true;
    if (kind == bkCompressed) {
      TGzFileInfo info;
      headerRead = GetGzFileInfo(source, info);
      if (headerRead) {
        encrypted = info.Encrypted;
        size = info.USize;
        ItemResized(size);
      }
    } else {
      size = static_cast<int64_t>(GetFileSize64(source));
      encrypted = kind == bkEncrypted;
    }
    TRestoreError code;
    TRestoreResult r = rrFailed;
    FItem.Target.clear();
    if (!headerRead) {
      code = TErrorCode(sevInfo, errReadFile, opGzip);
    } else if (const TSourceFacts facts = SourceFacts(source); (code = facts.Problem)) {
      // Gone or replaced by something that is no file since the search.
    } else {
      const int position = static_cast<int>(std::lround(100.0 * static_cast<double>(i) / static_cast<double>(n) - 1.0));
      FView.SetProgress(position < 0 ? 0 : position);
      r = RunPipeline(source, AddPathDelimiter(FTarget) + key, kind, encrypted, false, true, code,
                      kind == bkCompressed ? size : 0, &facts);
    }
    // An encrypted file's content is its length without the header and the code, whose
    // length follows from the password.
    if (kind == bkEncrypted && encrypted) size = EncryptedContentSize(size);
    // Between this item and the next, also when its report waits for those before it.
    KeepResponsive();
    WaitWhilePaused();
    const bool goOn = Settle(r, code, [&, source, set, size](TRestoreResult result, const TRestoreError& failure) {
      totalBytes += size;
      if (result == rrCopied) {
        ++copied;
        copiedBytes += size;
      }
      if (result == rrCancelRun || !FRestoring) {
        FLastRun.Cancelled = true;
        return false;
      }
      ReportItem(result, source, failure, set, size);
      ItemFinished();
      if (result == rrFailed) {
        ++errors;
        AddErrorLines(source, failure);
      }
      return true;
    });
    if (!goOn) break;
  }
  Drain();
  FView.SetProgress(101);

  const std::string text = FormatText(MsgScheduleCopied(static_cast<uint32_t>(n)), {std::to_string(copied), std::to_string(n),
                                                          SizeToStr(copiedBytes), SizeToStr(totalBytes)});
  ReportRun(text, copied, errors);
  FLastRun.Total = static_cast<uint32_t>(n);
}

}  // namespace qv
