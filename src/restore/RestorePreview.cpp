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

TTargetDecision TRestoreSession::DecideTarget(const std::string& targetPath, int32_t sourceTime,
                                              std::optional<int64_t>& targetTime, TTargetState* inspected) {
  // Looked at below the destination; a folder at the target does not count as a file. A
  // target that cannot be reached is left to the worker, which says why.
  // In a folder this walk made, only what it wrote there can be there.
  const TTargetState target = FirstInFreshFolder(targetPath) ? TTargetState{} : InspectTarget(FTarget, targetPath);
  if (inspected != nullptr) *inspected = target;
  targetTime.reset();
  FItem.TargetAbsent = target.Detail == 0 && !target.Exists && !target.IsFolder;
  if (target.Detail != 0 || !target.Exists) return tdNew;
  targetTime = FileTimeToUnixSeconds(FileTimeFromTimespec(target.LastWrite));
  return DecideAgainst(*targetTime, sourceTime);
}

bool TRestoreSession::FirstInFreshFolder(const std::string& targetPath) {
  if (FFreshFolders.empty()) return false;
  const size_t slash = targetPath.rfind('/');
  if (slash == std::string::npos || !FFreshFolders.contains(targetPath.substr(0, slash))) return false;
  // Folded: a file system that ignores case takes two such names as one.
  return FFreshTargets.insert(FoldCase(targetPath)).second;
}

void TRestoreSession::ForgetFreshFolders() {
  FFreshFolders.clear();
  FFreshTargets.clear();
  FEntryFolders.clear();
}

void TRestoreSession::BeginRunKind() {
  FNew = FReplaced = FVerified = 0;
  FItem.Replaces = false;
  FItem.SkipTimes.clear();
}

TRestoreResult TRestoreSession::PreviewItem(const std::string& targetPath, int32_t sourceTime, uint32_t operation,
                                            TRestoreError& code) {
  std::optional<int64_t> targetTime;
  FItem.Target = targetPath;
  TTargetDecision decision;
  if (const auto planned = FPlanned.find(targetPath); planned != FPlanned.end()) {
    // An earlier item of this run writes it: decided as the run will find it then.
    decision = DecideAgainst(planned->second, sourceTime);
    targetTime = planned->second;
  } else {
    TTargetState target;
    decision = DecideTarget(targetPath, sourceTime, targetTime, &target);
    // What the worker would refuse before it writes: the target's folder cannot be reached, a
    // folder stands at its name, or a write-protected file that may not be replaced.
    int refused = target.Detail;
    if (refused == 0 && decision != tdSkipExists && decision != tdSkipNotOlder &&
        (target.IsFolder || (decision == tdReplace && target.ReadOnly && !FOptions.Protected)))
      refused = errCreateFile;
    if (refused != 0) {
      code = TErrorCode(sevError, static_cast<uint32_t>(refused), operation);
      return rrFailed;
    }
  }
  FItem.Replaces = decision == tdReplace;
  switch (decision) {
    case tdNew:
    case tdReplace:
      FPlanned[targetPath] = sourceTime;
      return rrCopied;
    case tdSkipExists: FItem.SkipReason = MsgReasonExists(); break;
    case tdSkipNotOlder:
      FItem.SkipReason = MsgReasonNotOlder();
      FItem.SkipTimes = FormatText(MsgBothTimes(), {UtcText(sourceTime), UtcText(targetTime.value_or(0))});
      break;
  }
  return rrSkipped;
}

TTargetDecision TRestoreSession::DecideAgainst(int64_t targetTime, int32_t sourceTime) const {
  switch (FOptions.Overwrite) {
    case omAlways: return tdReplace;
    case omOlder:
      return SourceIsNewer(sourceTime, static_cast<int32_t>(targetTime), FOptions.Tolerance, FOptions.IgnoreDst)
                 ? tdReplace
                 : tdSkipNotOlder;
    case omKeepBoth: return tdNew;  // written beside the existing one
    case omNever: break;
  }
  return tdSkipExists;
}

void TRestoreSession::NoteWorkerResult(TRestoreResult result) {
  if (result == rrCopied && Verifying()) ++FVerified;
}

}  // namespace qv
