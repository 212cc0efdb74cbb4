// SPDX-License-Identifier: Apache-2.0
#include "restore/TargetDecider.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/FileUtils.h"
#include "base/TimeUtils.h"
#include "restore/RestoreSession.h"
#include "restore/RestoreText.h"

namespace qv {

void TTargetDecider::Begin(const TRestoreOptions& options, const std::string& destination) {
  FOverwrite = options.Overwrite;
  FTolerance = options.Tolerance;
  FIgnoreDst = options.IgnoreDst;
  FDestination = destination;
  FKeepBothFrom.clear();
  FPlanned.clear();
  ForgetFreshFolders();
}

std::string TTargetDecider::TargetFor(const std::string& targetPath) {
  if (FOverwrite != omKeepBoth) return targetPath;
  // A dry run writes nothing: the names its earlier items would take count as taken.
  const auto planned = [this](const std::string& name) { return FPlanned.contains(name); };
  struct stat st {};
  if (::lstat(targetPath.c_str(), &st) != 0 && !planned(targetPath)) return targetPath;
  return KeepBothName(targetPath, FKeepBothFrom.try_emplace(targetPath, 1).first->second, planned);
}

TTargetDecision TTargetDecider::Decide(const std::string& targetPath, int32_t sourceTime,
                                       std::optional<int64_t>& targetTime, TTargetState& found) {
  // Looked at below the destination; a folder at the target does not count as a file. A
  // target that cannot be reached is left to the worker, which says why.
  found = FirstInFreshFolder(targetPath) ? TTargetState{} : InspectTarget(FDestination, targetPath);
  targetTime.reset();
  if (found.Detail != 0 || !found.Exists) return tdNew;
  targetTime = FileTimeToUnixSeconds(FileTimeFromTimespec(found.LastWrite));
  return DecideAgainst(*targetTime, sourceTime);
}

TTargetDecision TTargetDecider::DecideAgainst(int64_t targetTime, int32_t sourceTime) const {
  switch (FOverwrite) {
    case omAlways: return tdReplace;
    case omOlder:
      return SourceIsNewer(sourceTime, static_cast<int32_t>(targetTime), FTolerance, FIgnoreDst) ? tdReplace
                                                                                                : tdSkipNotOlder;
    case omKeepBoth: return tdNew;  // written beside the existing one
    case omNever: break;
  }
  return tdSkipExists;
}

std::optional<int64_t> TTargetDecider::Planned(const std::string& targetPath) const {
  const auto planned = FPlanned.find(targetPath);
  if (planned == FPlanned.end()) return std::nullopt;
  return planned->second;
}

bool TTargetDecider::FirstInFreshFolder(const std::string& targetPath) {
  if (FFreshFolders.empty()) return false;
  const size_t slash = targetPath.rfind('/');
  if (slash == std::string::npos || !FFreshFolders.contains(targetPath.substr(0, slash))) return false;
  // Folded: a file system that ignores case takes two such names as one.
  return FFreshTargets.insert(FoldCase(targetPath)).second;
}

void TTargetDecider::ForgetFreshFolders() {
  FFreshFolders.clear();
  FFreshTargets.clear();
  FEntryFolders.clear();
}

TErrorCode TTargetDecider::MakeEntryFolder(const std::string& folder) {
  // Asked once per folder whether it was there: a folder this walk made holds only what the
  // walk wrote into it, so its targets need no look.
  const bool first = FEntryFolders.insert(folder).second;
  struct stat st {};
  const bool absent = first && ::lstat(folder.c_str(), &st) != 0 && errno == ENOENT;
  const int detail = ForceDirectoriesBeneath(FDestination, folder);
  if (detail != 0) return TErrorCode(sevError, static_cast<uint32_t>(detail), opZip);
  if (absent) FFreshFolders.insert(folder);
  return {};
}

}  // namespace qv
