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
#include "restore/RestoreText.h"
#include "restore/VersionList.h"
#include "transfer/CopyThread.h"
#include "transfer/ZipRead.h"

namespace qv {

TRestoreSession::TRestoreSession(IRestoreView& view)
    : FView(view),
      FTransfers({.WhileWaiting = [this] { KeepResponsive(); },
                  .Retired =
                      [this](TItemOutcome& item) {
                        // A pooled transfer sends no reports: the file's bar shows it done, as
                        // one run here would.
                        if (item.Result == rrCopied) FView.SetProgress(100);
                        NoteWorkerResult(item.Result);
                      }}) {}

TRestoreSession::~TRestoreSession() {
  // A worker still running (a window closed mid-run) is cancelled before it is joined.
  if (FCopyThread && !FCopyThread->Done()) FCopyThread->CancelThread();
  FCopyThread.reset();
  FArchive.Cancel();
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
  FCounts.Reset();
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
  FArchive.Cancel();
  FTransfers.CancelAll();
  FView.SetRunning(false);
  SetRestoring(false);
}

void TRestoreSession::PauseContinue() {
  FPaused = !FPaused;
  // Small transfers on the pool cannot be held; they end first, so that a pause holds the run
  // between items as it does for a small job run here.
  if (FPaused) FTransfers.WaitIdle();
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
  FLastRun.Started = true;
  FFilter = TPathFilter(FOptions.Include, FOptions.Exclude);
  FCounts.Reset();
  FDecider.Begin(FOptions, FTarget);
  FTransfers.Begin(TransferJobs(FOptions.Jobs), FOptions.Kind != rkDryRun);
  FLastMessages = {};  // a run sees pending events before its first file
}

void TRestoreSession::EndRun() {
  FTransfers.End();
  FArchive.Close();
  FinishDestination(FTarget);
  FCryptPwd.clear();
  FView.SetStatusVisible(false);
  FView.SetPauseEnabled(false);
}

void TRestoreSession::RunWorker(TItemOutcome& item, bool withProgress, int64_t jobSize) {
  if (!FCopyThread) return;
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
  item.Code = FCopyThread->Error();
  item.Result = item.Code ? rrFailed : rrCopied;
  item.Written = FCopyThread->CommittedSize();
  FCopyThread.reset();
  if (runInline)
    KeepResponsive();
  else
    FLastMessages = std::chrono::steady_clock::now();
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
  if (ACount > 0) PublishProgress(FCounts.WithinItem(ACount, FSize));
}

void TRestoreSession::PublishProgress(const TRunProgress& progress) {
  FView.RunProgress(FCounts.Publishable(progress));
}

void TRestoreSession::ShowRunSummary() {
  ReportRun(FormatText(MsgFilesCopied(FCounts.Copied), {std::to_string(FCounts.Copied)}));
  EndRun();
}

void TRestoreSession::ReportRun(const std::string& copiedText) {
  const auto number = [](uint32_t n) { return std::to_string(n); };
  const uint32_t copied = FCounts.Copied, errors = FCounts.Errors;
  std::string text = copiedText;
  if (Verifying()) text += FormatText(MsgVerified(), {number(FCounts.Verified)});
  if (errors != 0) text += " - " + FormatText(MsgErrors(errors), {number(errors)});
  if (FOptions.Kind == rkDryRun)
    text = FormatText(MsgDryRunSummary(), {number(copied), number(FCounts.New), number(FCounts.Replaced), number(FCounts.Skipped),
                                           number(errors)});
  else if (FOptions.Kind == rkTest)
    text = FormatText(MsgFilesTested(copied), {number(copied)}) + " - " + FormatText(MsgErrors(errors), {number(errors)});
  // A dry run has reported every item, failures too, one by one.
  if (errors == 0 || FOptions.Kind == rkDryRun)
    FView.ShowInfo(text);
  else
    FView.ShowDetailInfo(Caption(), text, FErrorList, diError);
  FLastRun.Copied = copied;
  FLastRun.Verified = FCounts.Verified;
  FLastRun.New = FCounts.New;
  FLastRun.Replaced = FCounts.Replaced;
  FLastRun.Skipped = FCounts.Skipped;
  FLastRun.Stopped = FStopped;
  FLastRun.Errors += errors;
  const TRunProgress& progress = FCounts.Progress();
  if (FLastRun.Cancelled || FStopped)
    FLastRun.LeftOut = progress.FilesTotal > progress.FilesDone ? progress.FilesTotal - progress.FilesDone : 0;
}

void TRestoreSession::ReportItem(const TItemOutcome& item, const std::string& source, const std::string& set,
                                 int64_t bytes) {
  TItemReport report;
  report.Source = source;
  report.Target = item.Target;
  report.Set = set;
  switch (item.Result) {
    case rrCopied:
      if (FOptions.Kind == rkDryRun) {
        report.Action = item.Replaces ? iaReplace : iaNew;
        ++(item.Replaces ? FCounts.Replaced : FCounts.New);
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
      if (bytes < 0) bytes = item.Written;
      report.Bytes = bytes >= 0 || item.Target.empty() ? bytes : static_cast<int64_t>(GetFileSize64(item.Target));
      break;
    case rrSkipped:
      report.Action = FOptions.Kind == rkDryRun ? iaSkip : iaSkipped;
      report.Reason = item.SkipReason;
      report.Message = item.SkipTimes;
      ++FCounts.Skipped;
      break;
    case rrFailed:
    case rrBadHeader:
      report.Action = iaFailed;
      report.Code = item.Code.Code;
      report.Message = item.Code.Message();
      report.Detail = item.Code.Context;
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
  FCounts.StartItem(name, share);
  PublishProgress(FCounts.Progress());
}

void TRestoreSession::ItemFinished(int64_t share) {
  FCounts.FinishItem(share);
  PublishProgress(FCounts.Progress());
}

int64_t TRestoreSession::ProgressShare(const std::string& name, int64_t backupSize) {
  // The same estimate on both sides of the progress, whatever password comes later.
  if (backupSize <= 0) return 0;
  if (BackupKind(name, false) != bkEncrypted) return backupSize;
  return std::max<int64_t>(backupSize - CShortestEncOverhead, 0);
}

void TRestoreSession::ShowFile(const std::string& text) { FView.SetFileLabel(text); }

bool TRestoreSession::MayPool(bool encrypted, int64_t jobSize) const {
  // A paused run starts nothing new; a password item waits for its answer on this thread.
  return FTransfers.Pooling() && !FPaused && !encrypted && jobSize >= 0 && jobSize <= CInlineJobLimit;
}

bool TRestoreSession::Settle(TItemOutcome item, TItemFinish finish) {
  item.Share = FCounts.ItemShare();
  // Nothing between the item's decision and here handles events: no pause can have come
  // meanwhile (MayPool held none), and a Stop before starts nothing new.
  if (item.Result == rrPending && FStopped) item.Worker->CancelThread();
  return FTransfers.Add(std::move(item), std::move(finish));
}

}  // namespace qv
