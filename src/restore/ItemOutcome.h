// SPDX-License-Identifier: Apache-2.0
#pragma once
// What became of one item of a run: the pipeline returns it, the transfer queue carries it
// until the items before it are reported, and the report is made from it alone.
#include <cstdint>
#include <memory>
#include <string>

#include "base/FtGlobal.h"

namespace qv {

class TCopyThread;

enum class TRestoreResult : uint8_t {
  rrCopied,
  rrSkipped,
  rrFailed,      // the error code tells why
  rrCancelRun,   // Cancel in the password prompt, or Stop before it began
  rrBadHeader,   // the gz header could not be read; the mode decides what that means
  rrPending,     // a small transfer for the pool (Worker); its result comes when it ends
};
using enum TRestoreResult;

struct TItemOutcome {
  TRestoreResult Result = rrFailed;
  TRestoreError Code;          // why it failed
  std::string Target;          // the file it writes (after "keep both"); empty before one is known
  std::string SkipReason;      // why it was passed over
  std::string SkipTimes;       // a dry run's skip for not being older: the two times
  bool Replaces = false;       // a dry run's item would replace its target
  bool InputProblem = false;   // Files mode: it failed before any transfer (missing, unreadable)
  bool TargetAbsent = false;   // nothing was found at the target's place
  int64_t Written = -1;        // the size of the committed target, when the worker knows it
  int64_t Share = 0;           // its bytes in the run's progress total
  std::unique_ptr<TCopyThread> Worker;  // rrPending: the transfer that will tell the result

  // Out of line: a worker is destroyed where its type is known.
  TItemOutcome();
  explicit TItemOutcome(TRestoreResult result, TRestoreError code = {});
  TItemOutcome(TItemOutcome&&) noexcept;
  TItemOutcome& operator=(TItemOutcome&&) noexcept;
  ~TItemOutcome();
};

}  // namespace qv
