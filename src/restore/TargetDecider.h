// SPDX-License-Identifier: Apache-2.0
#pragma once
// The overwrite rule applied to each target of a run, and what the run has decided so far:
// the target folders a walk made (in which only what it wrote can be, so their names need no
// look), the numbers "keep both" has taken, and the targets a dry run would write.
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/FtGlobal.h"
#include "base/TargetFile.h"
#include "restore/RestoreView.h"

namespace qv {

// What the overwrite rule makes of one target, decided without touching anything.
enum class TTargetDecision : uint8_t { tdNew, tdReplace, tdSkipExists, tdSkipNotOlder };
using enum TTargetDecision;

class TTargetDecider {
 public:
  // A new run under these options, writing below destination.
  void Begin(const TRestoreOptions& options, const std::string& destination);

  // "Keep both": a free name beside an existing target (or beside one a dry run plans);
  // otherwise the target itself.
  std::string TargetFor(const std::string& targetPath);
  // The rule for targetPath. targetTime receives the existing target's last write (Unix
  // seconds) when a file is there, and stays empty otherwise; found: what is at its place.
  TTargetDecision Decide(const std::string& targetPath, int32_t sourceTime, std::optional<int64_t>& targetTime,
                         TTargetState& found);
  // The rule against an existing file of this last write (Unix seconds).
  TTargetDecision DecideAgainst(int64_t targetTime, int32_t sourceTime) const;

  // A dry run's targets so far, with the time each will have: what later items will find.
  std::optional<int64_t> Planned(const std::string& targetPath) const;
  void Plan(const std::string& targetPath, int64_t time) { FPlanned[targetPath] = time; }

  // A walk's level begins or ends: what was fresh is forgotten.
  void ForgetFreshFolders();
  void MarkFresh(const std::string& folder) { FFreshFolders.insert(folder); }
  // Makes an entry's folder below the destination; one the walk made is fresh.
  TErrorCode MakeEntryFolder(const std::string& folder);

 private:
  // True (and the target noted) when targetPath is the first of its name in a fresh folder.
  bool FirstInFreshFolder(const std::string& targetPath);

  TOverwriteMode FOverwrite = omNever;
  int32_t FTolerance = 2;
  bool FIgnoreDst = false;
  std::string FDestination;
  std::unordered_set<std::string> FFreshFolders;
  std::unordered_set<std::string> FFreshTargets;  // decided in them so far, case folded
  std::unordered_set<std::string> FEntryFolders;  // an archive walk's, made sure of so far
  // Per target of this run, the number its last "keep both" name took: ten thousand twins
  // each take the number after the last one's, not a search from 1.
  std::unordered_map<std::string, unsigned> FKeepBothFrom;
  std::unordered_map<std::string, int64_t> FPlanned;
};

// Nothing at all stands at a target's place (no file, no folder, its folder reachable).
inline bool NothingThere(const TTargetState& found) { return found.Detail == 0 && !found.Exists && !found.IsFolder; }

}  // namespace qv
