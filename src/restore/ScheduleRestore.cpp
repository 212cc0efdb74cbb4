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
#include "transfer/CopyThread.h"
#include "transfer/GzipFile.h"

namespace qv {

void TRestoreSession::AddSearchError(const std::string& path, const TErrorCode& code) {
  ++FCounts.Errors;
  AddErrorLines(path, code);
  ReportItem(TItemOutcome(rrFailed, code), path);
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
    search.OnError = [this](const std::string& path, const TErrorCode& code) { AddSearchError(path, code); };
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
    ReportRun(FormatText(MsgScheduleCopied(static_cast<uint32_t>(n)), {"0", std::to_string(n), SizeToStr(0), SizeToStr(0)}));
  } else if (n == 0) {
    FView.ShowError(MsgNoFilesFound());
    // A folder that could not be read is an error, not an empty backup.
    if (FCounts.Errors != 0)
      ReportRun(FormatText(MsgScheduleCopied(0), {"0", "0", SizeToStr(0), SizeToStr(0)}));
    else
      FLastRun.NothingToDo = true;
  } else if (!WritesNothing() && !FView.Confirm(FormatText(MsgFilesFound(static_cast<uint32_t>(n)), {std::to_string(n)}), true)) {
    FLastRun.NothingToDo = true;
  } else {
    for (size_t i = 0; i < n; ++i)
      FCounts.AddToTotal(ProgressShare((*FVersions)[i].Info.FullPath,
                                       static_cast<int64_t>(GetFileSize64((*FVersions)[i].Info.FullPath))));
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

TItemOutcome TRestoreSession::RestoreVersion(const std::string& source, const std::string& key, int64_t& size) {
  const int64_t backupSize = static_cast<int64_t>(GetFileSize64(source));
  ItemStarted(key, ProgressShare(source, backupSize));
  TFileJob job;
  job.Source = source;
  job.TargetPath = AddPathDelimiter(FTarget) + key;
  job.Kind = BackupKind(source, FOptions.Unpack);
  job.CreateFolder = true;
  size = backupSize;
  job.Encrypted = job.Kind == bkEncrypted;
  if (job.Kind == bkCompressed) {
    TGzFileInfo info;
    if (!GetGzFileInfo(source, info)) {
      size = 0;
      return TItemOutcome(rrFailed, TErrorCode(sevInfo, errReadFile, opGzip));
    }
    job.Encrypted = info.Encrypted;
    job.ExpandedSize = size = info.USize;
    FCounts.ResizeItem(size);
  }
  const bool encryptedFile = job.Kind == bkEncrypted;
  TItemOutcome item(rrFailed);
  // Gone or replaced by something that is no file since the search.
  if (job.Facts = SourceFacts(source); job.Facts->Problem)
    item.Code = job.Facts->Problem;
  else
    item = RunPipeline(std::move(job));
  // An encrypted file's content is its length without the header and the code, whose
  // length follows from the password.
  if (encryptedFile) size = EncryptedContentSize(size);
  return item;
}

void TRestoreSession::RestoreVersions() {
  const size_t n = FVersions->Count();
  for (size_t i = 0; i < n; ++i) {
    // Between one item and the next, before this one is decided.
    KeepResponsive();
    WaitWhilePaused();
    const std::string key = (*FVersions)[i].Key;
    const std::string source = (*FVersions)[i].Info.FullPath;
    const std::string set = (*FVersions)[i].Set;
    ShowFile(key);
    const int position = static_cast<int>(std::lround(100.0 * static_cast<double>(i) / static_cast<double>(n) - 1.0));
    FView.SetProgress(position < 0 ? 0 : position);
    int64_t size = 0;
    TItemOutcome item = RestoreVersion(source, key, size);
    const bool goOn = Settle(std::move(item), [this, source, set, size](const TItemOutcome& done) {
      FCounts.ListedBytes += size;
      if (done.Result == rrCopied) {
        ++FCounts.Copied;
        FCounts.CopiedBytes += size;
      }
      if (done.Result == rrCancelRun || !FRestoring) {
        FLastRun.Cancelled = true;
        return false;
      }
      ReportItem(done, source, set, size);
      ItemFinished(done.Share);
      if (done.Result == rrFailed) {
        ++FCounts.Errors;
        AddErrorLines(source, done.Code);
      }
      return true;
    });
    if (!goOn) break;
  }
  Drain();
  FView.SetProgress(101);

  const std::string text = FormatText(MsgScheduleCopied(static_cast<uint32_t>(n)),
                                      {std::to_string(FCounts.Copied), std::to_string(n),
                                       SizeToStr(FCounts.CopiedBytes), SizeToStr(FCounts.ListedBytes)});
  ReportRun(text);
  FLastRun.Total = static_cast<uint32_t>(n);
}

}  // namespace qv
