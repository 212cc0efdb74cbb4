// SPDX-License-Identifier: Apache-2.0
// The restore session: start/stop/pause, waiting for workers, progress and the run summary.
#include "restore/RestoreSession.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "base/FormatUtils.h"
#include "base/FileUtils.h"
#include "base/TargetFile.h"
#include "crypto/AesLib.h"
#include "restore/ArchiveIndex.h"
#include "restore/RestoreText.h"
#include "restore/VersionList.h"
#include "transfer/CopyThread.h"
#include "transfer/ZipRead.h"

namespace qv {

TRestoreSession::TRestoreSession(IRestoreView& view) : FView(view) {}

TRestoreSession::~TRestoreSession() {
  // A worker still running (a window closed mid-run) is cancelled before it is joined.
  if (FCopyThread && !FCopyThread->Done()) FCopyThread->CancelThread();
  FCopyThread.reset();
  if (FRZip) FRZip->Cancel();
}

std::string TRestoreSession::Caption() const { return MsgMainCaption(); }

void TRestoreSession::Start(const TRestoreOptions& options) {
  // A Start while a run, or a stopped run still unwinding, is on the stack must not start a
  // second, nested run.
  if (FRestoring || FRunActive) return;
  FView.SetRunning(true);
  FRunActive = true;
  FLastRun = TRunOutcome{};
  FOptions = options;
  BeginRunKind();
  switch (FOptions.Mode) {
    case rmFiles: RestoreSelectedFiles(); break;
    case rmDirectory: RestoreDirectory(); break;
    default: RestoreFromSchedule(); break;
  }
  FRunActive = false;
  FView.SetRunning(false);
  SetRestoring(false);
}

void TRestoreSession::Stop() {
  if (!FRestoring) return;
  FRestoring = false;
  FStopped = true;
  if (FCopyThread && !FCopyThread->Done()) FCopyThread->CancelThread();
  if (FRZip) FRZip->Cancel();
  CancelQueued();
  FView.SetRunning(false);
  SetRestoring(false);
}

void TRestoreSession::PauseContinue() {
  FPaused = !FPaused;
  // Small transfers on the pool cannot be held; they end first, so that a pause holds the run
  // between items as it does for a small job run here.
  if (FPaused && FPool) FPool->WaitIdle();
  FView.SetPauseCaption(FPaused);
  if (FCopyThread && !FCopyThread->Done()) {
    if (FPaused)
      FCopyThread->Suspend();
    else
      FCopyThread->Resume();
  }
}

bool TRestoreSession::CheckTargetFolder() {
  FTarget = FOptions.Target;
  FTargetExisted = LongDirectoryExists(FTarget);
  // A test needs no destination; a dry run asks nothing and creates nothing.
  if (FTargetExisted || WritesNothing()) return true;
  // The folder first: a front-end may put its answer keys after the question.
  if (!FView.Confirm(FTarget + "\n" + MsgDestNotFound(), true)) return false;
  if (LongForceDirectories(FTarget)) return true;
  // Said once here, instead of once per file as every copy fails.
  const int reason = errno;
  FView.ShowError(FormatText(MsgDestNotCreated(), {FTarget, std::strerror(reason)}));
  ++FLastRun.Errors;
  return false;
}

bool TRestoreSession::ConfirmNonEmptyTarget() {
  if (!FTargetExisted || WritesNothing() || IsEmptyDirectory(FTarget)) return true;
  return FView.Confirm(MsgDestNotEmpty(), true);
}

void TRestoreSession::SetRestoring(bool on) {
  FRestoring = on;
  FPaused = false;
  FView.SetPauseCaption(false);
  FView.SetPauseEnabled(on);
}

void TRestoreSession::BeginRun() {
  SetRestoring(true);
  FView.SetStatusVisible(true);
  FErrorList.clear();
  FStopped = false;
  FSkipped = 0;
  FSearchErrors = 0;
  FLastRun.Started = true;
  FFilter = TPathFilter(FOptions.Include, FOptions.Exclude);
  FProgress = TRunProgress{};
  FPublishedBytes = 0;
  FItem.Share = 0;
  FJobs = TransferJobs(FOptions.Jobs);
  FWalkEnded = false;
  FKeepBothFrom.clear();
  FPlanned.clear();
  ForgetFreshFolders();
  // This thread runs transfers too: the pool has one thread fewer than the transfers at once.
  if (FJobs > 1 && FOptions.Kind != rkDryRun) FPool = std::make_unique<TTransferPool>(FJobs - 1);
  FLastMessages = {};  // a run sees pending events before its first file
}

void TRestoreSession::EndRun() {
  Drain();
  FPool.reset();
  CloseArchive();
  FinishDestination(FTarget);
  FCryptPwd.clear();
  FView.SetStatusVisible(false);
  FView.SetPauseEnabled(false);
}

TRestoreError TRestoreSession::RunWorker(bool withProgress, int64_t jobSize) {
  if (!FCopyThread) return {};
  if (withProgress) {
    FSize = 0;
    FCopyThread->SetOnProgress(
        [this](TFileAction a, int64_t count, bool limit) { ShowProgress(a, count, limit); });
  }
  const bool runInline = !FPaused && jobSize >= 0 && jobSize <= CInlineJobLimit;
  if (runInline) {
    // Over before any Stop or Pause could reach it; its reports run directly.
    FCopyThread->RunInline();
  } else {
    if (FPaused) {
      // Paused between files: the new worker waits at its first gate until Continue.
      FCopyThread->Suspend();
      FCopyThread->Start();
    } else {
      FCopyThread->Resume();
    }
    // Wait for the worker's end or a queued call, whichever comes first; never longer than
    // 10 ms, so that front-end events (Stop, Pause) are seen promptly.
    while (!FCopyThread->Done()) {
      TThread::CheckSynchronize(10);
      FView.ProcessMessages();
    }
    FCopyThread->WaitFor();
    TThread::CheckSynchronize(0);
  }
  TRestoreError code = FCopyThread->Error();
  FItem.Written = FCopyThread->CommittedSize();
  FCopyThread.reset();
  if (runInline)
    KeepResponsive();
  else
    FLastMessages = std::chrono::steady_clock::now();
  return code;
}

void TRestoreSession::KeepResponsive() {
  // Half the 10 ms of the worker wait: a tiny job or a skip never adds much to it.
  constexpr auto CInterval = std::chrono::milliseconds(5);
  const auto now = std::chrono::steady_clock::now();
  if (now - FLastMessages < CInterval) return;
  FLastMessages = now;
  FView.ProcessMessages();
}

void TRestoreSession::ShowProgress(TFileAction, int64_t ACount, bool) {
  if (ACount < 0) FSize = -ACount;
  int position = 0;
  if (FSize > 0 && ACount > 0)
    position = static_cast<int>(std::lround(static_cast<double>(ACount) / static_cast<double>(FSize) * 100.0));
  FView.SetProgress(position);
  if (ACount > 0) {
    // The worker counts its own bytes (a .gz its unpacked ones): its share of the item's.
    TRunProgress within = FProgress;
    const double part = FSize > 0 ? std::min(1.0, static_cast<double>(ACount) / static_cast<double>(FSize)) : 1.0;
    within.BytesDone += FSize > 0 ? static_cast<int64_t>(part * static_cast<double>(FItem.Share))
                                  : std::min(ACount, FItem.Share);
    PublishProgress(std::move(within));
  }
}

void TRestoreSession::PublishProgress(TRunProgress progress) {
  progress.BytesDone = std::clamp(progress.BytesDone, FPublishedBytes, std::max(progress.BytesTotal, FPublishedBytes));
  FPublishedBytes = progress.BytesDone;
  FView.RunProgress(progress);
}

void TRestoreSession::ShowRunSummary(uint32_t copied, uint32_t errors) {
  ReportRun(FormatText(MsgFilesCopied(copied), {std::to_string(copied)}), copied, errors);
  EndRun();
}

void TRestoreSession::ReportRun(const std::string& copiedText, uint32_t copied, uint32_t errors) {
  const auto number = [](uint32_t n) { return std::to_string(n); };
  std::string text = copiedText;
  if (Verifying()) text += FormatText(MsgVerified(), {number(FVerified)});
  if (errors != 0) text += " - " + FormatText(MsgErrors(errors), {number(errors)});
  if (FOptions.Kind == rkDryRun)
    text = FormatText(MsgDryRunSummary(), {number(copied), number(FNew), number(FReplaced), number(FSkipped),
                                           number(errors)});
  else if (FOptions.Kind == rkTest)
    text = FormatText(MsgFilesTested(copied), {number(copied)}) + " - " + FormatText(MsgErrors(errors), {number(errors)});
  // A dry run has reported every item, failures too, one by one.
  if (errors == 0 || FOptions.Kind == rkDryRun)
    FView.ShowInfo(text);
  else
    FView.ShowDetailInfo(Caption(), text, FErrorList, diError);
  FLastRun.Copied = copied;
  FLastRun.Verified = FVerified;
  FLastRun.New = FNew;
  FLastRun.Replaced = FReplaced;
  FLastRun.Skipped = FSkipped;
  FLastRun.Stopped = FStopped;
  FLastRun.Errors += errors;
  if (FLastRun.Cancelled || FStopped)
    FLastRun.LeftOut = FProgress.FilesTotal > FProgress.FilesDone ? FProgress.FilesTotal - FProgress.FilesDone : 0;
}

void TRestoreSession::ReportItem(TRestoreResult result, const std::string& source, const TRestoreError& code,
                                 const std::string& set, int64_t bytes) {
  TItemReport report;
  report.Source = source;
  report.Target = FItem.Target;
  report.Set = set;
  switch (result) {
    case rrCopied:
      if (FOptions.Kind == rkDryRun) {
        report.Action = FItem.Replaces ? iaReplace : iaNew;
        ++(FItem.Replaces ? FReplaced : FNew);
        break;
      }
      if (FOptions.Kind == rkTest) {
        report.Action = iaTested;
        report.Target.clear();  // nothing was written
        report.Bytes = bytes;
        break;
      }
      report.Action = iaRestored;
      // The worker's count of what it wrote, where it keeps one; else a look at the target.
      if (bytes < 0) bytes = FItem.Written;
      report.Bytes = bytes >= 0 || FItem.Target.empty() ? bytes : static_cast<int64_t>(GetFileSize64(FItem.Target));
      break;
    case rrSkipped:
      report.Action = FOptions.Kind == rkDryRun ? iaSkip : iaSkipped;
      report.Reason = FItem.SkipReason;
      report.Message = std::exchange(FItem.SkipTimes, {});
      ++FSkipped;
      break;
    case rrFailed:
    case rrBadHeader:
      report.Action = iaFailed;
      report.Code = code.Code;
      report.Message = code.Message();
      report.Detail = code.Context;
      break;
    case rrCancelRun:
    case rrPending: return;  // never reported: its transfer's result comes first
  }
  FView.ItemDone(report);
}

void TRestoreSession::WaitWhilePaused() {
  while (FPaused && FRestoring) {
    TThread::CheckSynchronize(100);
    FView.ProcessMessages();
  }
}

void TRestoreSession::ShowFailure(const TRestoreError& failure) {
  if (failure.Context.empty())
    FView.ShowError(failure.Message());
  else
    FView.ShowDetailInfo(Caption(), failure.Message(), {"   " + EscapeControlChars(failure.Context)}, diError);
}

void TRestoreSession::AddErrorLines(const std::string& source, const TRestoreError& code) {
  FErrorList.push_back(MsgErrorRestoring() + source);
  FErrorList.push_back("   " + code.Message());
  if (!code.Context.empty()) FErrorList.push_back("   " + EscapeControlChars(code.Context));
}

void TRestoreSession::ItemStarted(const std::string& name, int64_t share) {
  FProgress.Current = name;
  FItem.Share = std::max<int64_t>(share, 0);
  PublishProgress(FProgress);
}

void TRestoreSession::ItemResized(int64_t restoredSize) {
  if (restoredSize < 0) return;
  FProgress.BytesTotal += restoredSize - FItem.Share;
  FItem.Share = restoredSize;
}

void TRestoreSession::ItemFinished() {
  ++FProgress.FilesDone;
  FProgress.BytesDone += FItem.Share;
  PublishProgress(FProgress);
}

int64_t TRestoreSession::ProgressShare(const std::string& name, int64_t backupSize) {
  // The same estimate on both sides of the progress, whatever password comes later.
  if (backupSize <= 0) return 0;
  if (BackupKind(name, false) != bkEncrypted) return backupSize;
  return std::max<int64_t>(backupSize - CShortestEncOverhead, 0);
}

void TRestoreSession::ShowFile(const std::string& text) { FView.SetFileLabel(text); }

}  // namespace qv
