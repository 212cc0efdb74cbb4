// Dry runs, test runs and verified restores: the parts of the session that decide, check or
// count without (or besides) writing a target.
#include <sys/stat.h>

#include <ctime>
#include <optional>

#include "base/TimeUtils.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"

namespace qv {

namespace {

std::string UtcText(int64_t unixSeconds) {
  const std::time_t t = static_cast<std::time_t>(unixSeconds);
  std::tm tm {};
  char text[32] = "?";
  if (::gmtime_r(&t, &tm) != nullptr) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

}  // namespace

TTargetDecision TRestoreSession::DecideTarget(const std::string& targetPath, int32_t sourceTime,
                                              std::optional<int64_t>& targetTime) {
  // One stat answers every rule; a folder at the target does not count as a file.
  struct stat st {};
  const bool isFile = ::stat(targetPath.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
  targetTime.reset();
  if (!isFile) return tdNew;
  targetTime = FileTimeToUnixSeconds(FileTimeFromTimespec(st.st_mtim));
  switch (FView.OverwriteMode()) {
    case omAlways: return tdReplace;
    case omOlder:
      return SourceIsNewer(sourceTime, static_cast<int32_t>(*targetTime)) ? tdReplace : tdSkipNotOlder;
    case omKeepBoth: return tdNew;  // written beside the existing one
    case omNever: break;
  }
  return tdSkipExists;
}

void TRestoreSession::BeginRunKind() {
  FRunKind = FView.RunKind();
  FVerifying = FRunKind == rkRestore && FView.VerifyRestored();
  FCounts = TRunOutcome{};
  FItemSet.clear();
}

void TRestoreSession::ReportItem(TItemAction action, const std::string& source,
                                 const std::string& targetPath, uint32_t code) {
  TItemReport report;
  report.Action = action;
  report.Source = source;
  report.Target = targetPath;
  report.Set = FItemSet;
  report.Code = code;
  if (code != 0) report.Message = GetErrorMessage(code);
  FView.ItemDone(report);
}

TRestoreResult TRestoreSession::PreviewItem(const std::string& source, const std::string& targetPath,
                                            int32_t sourceTime) {
  std::optional<int64_t> targetTime;
  const TTargetDecision decision = DecideTarget(targetPath, sourceTime, targetTime);
  TItemReport report;
  report.Source = source;
  report.Target = targetPath;
  report.Set = FItemSet;
  switch (decision) {
    case tdNew:
      report.Action = iaNew;
      ++FCounts.New;
      break;
    case tdReplace:
      report.Action = iaReplace;
      ++FCounts.Replaced;
      break;
    case tdSkipExists:
      report.Action = iaSkip;
      report.Reason = MsgReasonExists();
      ++FCounts.Skipped;
      break;
    case tdSkipNotOlder:
      report.Action = iaSkip;
      report.Reason = MsgReasonNotOlder();
      report.Message = FormatText(MsgBothTimes(), {UtcText(sourceTime), UtcText(targetTime.value_or(0))});
      ++FCounts.Skipped;
      break;
  }
  FView.ItemDone(report);
  return report.Action == iaSkip ? rrSkipped : rrCopied;
}

void TRestoreSession::NoteWorkerResult(TRestoreResult result, const std::string& source) {
  if (result != rrCopied) return;
  if (FRunKind == rkTest) ReportItem(iaTested, source, std::string());
  if (FVerifying) ++FCounts.Verified;
}

std::string TRestoreSession::SetFolderOf(const std::string& fullPath) const {
  // Source is the selected folder with its delimiter; the set folder is the next component.
  if (Source.empty() || fullPath.compare(0, Source.size(), Source) != 0) return {};
  const std::string rest = fullPath.substr(Source.size());
  return rest.substr(0, rest.find('/'));
}

}  // namespace qv
