// The restore session: start/stop/pause, waiting for workers, progress and the run summary.
#include "restore/RestoreSession.h"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "base/FileUtils.h"
#include "base/TargetFile.h"
#include "crypto/AesLib.h"
#include "restore/RestoreText.h"
#include "restore/VersionList.h"
#include "transfer/CopyThread.h"
#include "transfer/ZipRead.h"

namespace qv {

TRestoreSession::TRestoreSession(IRestoreView& view) : FView(view) {}

TRestoreSession::~TRestoreSession() {
  // A worker still running (a window closed mid-run) is cancelled before it is joined.
  if (CopyThread && !CopyThread->Done()) CopyThread->CancelThread();
  CopyThread.reset();
  if (RZip) RZip->Cancel();
}

std::string TRestoreSession::Caption() const { return MsgMainCaption(); }

void TRestoreSession::ApplySettings(const TRestoreSettings& settings) {
  Source = settings.Source;
  Target = settings.Target;
  DeltaTime = settings.Timespan;
  DstIgnore = settings.IgnoreDst;
}

void TRestoreSession::StartStop() {
  if (Restoring) {
    Restoring = false;
    Stopped = true;
    if (CopyThread && !CopyThread->Done()) CopyThread->CancelThread();
    if (RZip) RZip->Cancel();
  } else if (!FRunActive) {
    // A click while a stopped run is still unwinding must not start a second, nested run.
    FView.SetRunning(true);
    FRunActive = true;
    FLastRun = TRunOutcome{};
    BeginRunKind();
    switch (FView.RestoreMode()) {
      case rmFiles: RestoreSelectedFiles(); break;
      case rmDirectory: RestoreDirectory(); break;
      default: RestoreFromSchedule(); break;
    }
    FRunActive = false;
  } else {
    return;
  }
  FView.SetRunning(false);
  SetRestoring(false);
}

void TRestoreSession::PauseContinue() {
  Paused = !Paused;
  FView.SetPauseCaption(Paused);
  if (CopyThread && !CopyThread->Done()) {
    if (Paused)
      CopyThread->Suspend();
    else
      CopyThread->Resume();
  }
}

bool TRestoreSession::CheckTargetFolder() {
  const std::string text = FView.TargetText();
  if (!SameText(text, Target)) Target = text;
  FTargetExisted = LongDirectoryExists(Target);
  // A test needs no destination; a dry run asks nothing and creates nothing.
  if (FTargetExisted || WritesNothing()) return true;
  // The folder first: a front-end may put its answer keys after the question.
  if (!FView.Confirm(Target + "\n" + MsgDestNotFound(), true)) return false;
  if (LongForceDirectories(Target)) return true;
  // Said once here, instead of once per file as every copy fails.
  const int reason = errno;
  FView.ShowError(FormatText(MsgDestNotCreated(), {Target, std::strerror(reason)}));
  ++FLastRun.Errors;
  return false;
}

bool TRestoreSession::ConfirmNonEmptyTarget() {
  if (!FTargetExisted || WritesNothing() || IsEmptyDirectory(Target)) return true;
  return FView.Confirm(MsgDestNotEmpty(), true);
}

void TRestoreSession::SetRestoring(bool on) {
  Restoring = on;
  Paused = false;
  FView.SetPauseCaption(false);
  FView.SetPauseEnabled(on);
}

void TRestoreSession::BeginRun() {
  SetRestoring(true);
  FView.SetStatusVisible(true);
  ErrorList.clear();
  Stopped = false;
  FSkipped = 0;
  FSearchErrors = 0;
  FLastRun.Started = true;
  FFilter = TPathFilter(FView.IncludePatterns(), FView.ExcludePatterns());
  FProgress = TRunProgress{};
  FLastMessages = {};  // a run sees pending events before its first file
}

void TRestoreSession::EndRun() {
  CloseArchive();
  FinishDestination(Target);
  CryptPwd.clear();
  FView.SetStatusVisible(false);
  FView.SetPauseEnabled(false);
}

uint32_t TRestoreSession::RunWorker(bool withProgress, int64_t jobSize) {
  if (!CopyThread) return 0;
  if (withProgress) {
    FSize = 0;
    CopyThread->SetOnProgress(
        [this](TFileAction a, int64_t count, bool limit) { ShowProgress(a, count, limit); });
  }
  const bool runInline = !Paused && jobSize >= 0 && jobSize <= CInlineJobLimit;
  if (runInline) {
    // Over before any Stop or Pause could reach it; its reports run directly.
    CopyThread->RunInline();
  } else {
    if (Paused) {
      // Paused between files: the new worker waits at its first gate until Continue.
      CopyThread->Suspend();
      CopyThread->Start();
    } else {
      CopyThread->Resume();
    }
    // Wait for the worker's end or a queued call, whichever comes first; never longer than
    // 10 ms, so that front-end events (Stop, Pause) are seen promptly.
    while (!CopyThread->Done()) {
      TThread::CheckSynchronize(10);
      FView.ProcessMessages();
    }
    CopyThread->WaitFor();
    TThread::CheckSynchronize(0);
  }
  const uint32_t code = CopyThread->ErrorCode().Value();
  CopyThread.reset();
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
    TRunProgress within = FProgress;
    within.BytesDone += ACount;
    FView.RunProgress(within);
  }
}

void TRestoreSession::ShowRunSummary(uint32_t copied, uint32_t errors) {
  ReportRun(FormatText(MsgFilesCopied(), {std::to_string(copied)}), copied, errors);
  EndRun();
}

void TRestoreSession::ReportRun(const std::string& copiedText, uint32_t copied, uint32_t errors) {
  const auto number = [](uint32_t n) { return std::to_string(n); };
  std::string text = copiedText;
  if (FVerifying) text += FormatText(MsgVerified(), {number(FVerified)});
  if (errors != 0) text += " - " + FormatText(MsgErrors(), {number(errors)});
  if (FRunKind == rkDryRun)
    text = FormatText(MsgDryRunSummary(), {number(copied), number(FNew), number(FReplaced), number(FSkipped),
                                           number(errors)});
  else if (FRunKind == rkTest)
    text = FormatText(MsgTestedSummary(), {number(copied), number(errors)});
  // A dry run has reported every item, failures too, one by one.
  if (errors == 0 || FRunKind == rkDryRun)
    FView.ShowInfo(text);
  else
    FView.ShowDetailInfo(Caption(), text, ErrorList, diError);
  FLastRun.Copied = copied;
  FLastRun.Verified = FVerified;
  FLastRun.New = FNew;
  FLastRun.Replaced = FReplaced;
  FLastRun.Skipped = FSkipped;
  FLastRun.Stopped = Stopped;
  FLastRun.Errors += errors;
}

void TRestoreSession::ReportItem(TRestoreResult result, const std::string& source, uint32_t code,
                                 const std::string& set, int64_t bytes) {
  TItemReport report;
  report.Source = source;
  report.Target = FLastTarget;
  report.Set = set;
  switch (result) {
    case rrCopied:
      if (FRunKind == rkDryRun) {
        report.Action = FLastReplaces ? iaReplace : iaNew;
        ++(FLastReplaces ? FReplaced : FNew);
        break;
      }
      if (FRunKind == rkTest) {
        report.Action = iaTested;
        report.Target.clear();  // nothing was written
        report.Bytes = bytes;
        break;
      }
      report.Action = iaRestored;
      report.Bytes = bytes >= 0 || FLastTarget.empty() ? bytes : static_cast<int64_t>(GetFileSize64(FLastTarget));
      break;
    case rrSkipped:
      report.Action = FRunKind == rkDryRun ? iaSkip : iaSkipped;
      report.Reason = FSkipReason;
      report.Message = std::exchange(FSkipTimes, {});
      ++FSkipped;
      break;
    case rrFailed:
    case rrBadHeader:
      report.Action = iaFailed;
      report.Code = code;
      report.Message = GetErrorMessage(code);
      break;
    case rrCancelRun: return;
  }
  FView.ItemDone(report);
}

void TRestoreSession::WaitWhilePaused() {
  while (Paused && Restoring) {
    TThread::CheckSynchronize(100);
    FView.ProcessMessages();
  }
}

void TRestoreSession::AddErrorLines(const std::string& source, uint32_t code) {
  ErrorList.push_back(MsgErrorRestoring() + source);
  ErrorList.push_back("   " + GetErrorMessage(code));
}

void TRestoreSession::ItemStarted(const std::string& name) {
  FProgress.Current = name;
  FView.RunProgress(FProgress);
}

void TRestoreSession::ItemFinished(int64_t bytes) {
  ++FProgress.FilesDone;
  if (bytes > 0) FProgress.BytesDone += bytes;
  FView.RunProgress(FProgress);
}

void TRestoreSession::ShowFile(const std::string& text) {
  const int width = FView.FileLabelWidth();
  FView.SetFileLabel(
      FitPathToWidth(text, width, [this](const std::string& t) { return FView.TextWidth(t); }));
}

}  // namespace qv
