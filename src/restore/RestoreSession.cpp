// The restore session: start/stop/pause, waiting for workers, progress and the run summary.
#include "restore/RestoreSession.h"

#include <cmath>

#include "base/FileUtils.h"
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
  if (!FView.Confirm(MsgDestNotFound(), true)) return false;
  LongForceDirectories(Target);
  return true;
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
  FLastRun.Started = true;
  FLastMessages = {};  // a run sees pending events before its first file
}

void TRestoreSession::EndRun() {
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
  const uint32_t code = static_cast<uint32_t>(CopyThread->ErrorCode());
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
}

void TRestoreSession::ShowRunSummary(uint32_t copied, uint32_t errors) {
  ReportRun(FormatText(MsgFilesCopied(), {std::to_string(copied)}), copied, errors);
  EndRun();
}

void TRestoreSession::ReportRun(const std::string& restoredText, uint32_t copied, uint32_t errors) {
  const auto number = [](uint32_t n) { return std::to_string(n); };
  std::string copiedText = restoredText;
  if (FVerifying) copiedText += FormatText(MsgVerified(), {number(FCounts.Verified)});
  if (FRunKind == rkDryRun) {
    // Every item, failures too, was reported one by one.
    FView.ShowInfo(FormatText(MsgDryRunSummary(), {number(copied), number(FCounts.New), number(FCounts.Replaced),
                                                   number(FCounts.Skipped), number(errors)}));
  } else if (FRunKind == rkTest) {
    const std::string text = FormatText(MsgTestedSummary(), {number(copied), number(errors)});
    if (errors == 0)
      FView.ShowInfo(text);
    else
      FView.ShowDetailInfo(Caption(), text, ErrorList, diError);
  } else if (errors == 0) {
    FView.ShowInfo(copiedText);
  } else {
    FView.ShowDetailInfo(Caption(), copiedText + " - " + FormatText(MsgErrors(), {number(errors)}), ErrorList,
                         diError);
  }
  FLastRun.Verified = FCounts.Verified;
  FLastRun.New = FCounts.New;
  FLastRun.Replaced = FCounts.Replaced;
  FLastRun.Skipped = FCounts.Skipped;
  FLastRun.Copied = copied;
  FLastRun.Errors += errors;
}

void TRestoreSession::WaitWhilePaused() {
  while (Paused) {
    TThread::CheckSynchronize(100);
    FView.ProcessMessages();
  }
}

void TRestoreSession::AddErrorLines(const std::string& source, uint32_t code) {
  ErrorList.push_back(MsgErrorRestoring() + source);
  ErrorList.push_back("   " + GetErrorMessage(code));
  if (WritesNothing()) ReportItem(iaFailed, source, std::string(), code);
}

void TRestoreSession::ShowFile(const std::string& text) {
  const int width = FView.FileLabelWidth();
  FView.SetFileLabel(
      FitPathToWidth(text, width, [this](const std::string& t) { return FView.TextWidth(t); }));
}

}  // namespace qv
