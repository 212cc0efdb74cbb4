// SPDX-License-Identifier: Apache-2.0
// Dry runs, test runs and verified restores: the parts of the session that decide, check or
// count without (or besides) writing a target.
#include <ctime>
#include <optional>

#include "base/TargetFile.h"
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

TItemOutcome TRestoreSession::PreviewItem(const std::string& targetPath, int32_t sourceTime, uint32_t operation) {
  TItemOutcome item(rrCopied);
  item.Target = targetPath;
  std::optional<int64_t> targetTime = FDecider.Planned(targetPath);
  TTargetDecision decision;
  if (targetTime) {
    // An earlier item of this run writes it: decided as the run will find it then.
    decision = FDecider.DecideAgainst(*targetTime, sourceTime);
  } else {
    TTargetState target;
    decision = FDecider.Decide(targetPath, sourceTime, targetTime, target);
    // What the worker would refuse before it writes: the target's folder cannot be reached, a
    // folder stands at its name, or a write-protected file that may not be replaced.
    int refused = target.Detail;
    if (refused == 0 && decision != tdSkipExists && decision != tdSkipNotOlder &&
        (target.IsFolder || (decision == tdReplace && target.ReadOnly && !FOptions.Protected)))
      refused = errCreateFile;
    if (refused != 0) {
      item.Result = rrFailed;
      item.Code = TErrorCode(sevError, static_cast<uint32_t>(refused), operation);
      return item;
    }
  }
  item.Replaces = decision == tdReplace;
  switch (decision) {
    case tdNew:
    case tdReplace: FDecider.Plan(targetPath, sourceTime); return item;
    case tdSkipExists: item.SkipReason = MsgReasonExists(); break;
    case tdSkipNotOlder:
      item.SkipReason = MsgReasonNotOlder();
      item.SkipTimes = FormatText(MsgBothTimes(), {UtcText(sourceTime), UtcText(targetTime.value_or(0))});
      break;
  }
  item.Result = rrSkipped;
  return item;
}

void TRestoreSession::NoteWorkerResult(TRestoreResult result) {
  if (result == rrCopied && Verifying()) ++FCounts.Verified;
}

}  // namespace qv
