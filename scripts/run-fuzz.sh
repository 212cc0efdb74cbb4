#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every fuzz target of the given build folder for a few seconds each.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-20}
status=0
for target in "$build"/fuzz_*; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  if [ "$name" = fuzz_gunzip ] && [ -z "$(ls -A "$corpus")" ]; then
    # Seeds from the real tools (selector byte 0: the bytes are the file): one member, two
    # members, a zopfli-made member.
    text="restore the files of the backup sets, restore the files of the backup sets"
    { printf '\0'; printf '%s' "$text" | gzip -c; } > "$corpus/seed-gzip"
    { printf '\0'; printf '%s' "$text" | gzip -1 -c; printf 'x' | pigz -c; } > "$corpus/seed-two-members"
    { printf '\0'; printf '%s' "$text" | pigz -11 -c; } > "$corpus/seed-pigz"
  fi
  echo "== $name (${seconds}s)"
  # -entropic=0: with the whole core instrumented, the entropic schedule's per-run feature
  # bookkeeping took over 90 % of the time of the extracting targets (about 250 runs per CPU
  # second instead of about 1,900).
  if ! "$target" -entropic=0 -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
       -print_final_stats=1 "$corpus" 2>"$build/$name.log"; then
    echo "FAILED: $name (see $build/$name.log)"; tail -40 "$build/$name.log"; status=1
  else
    grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$build/$name.log" || true
  fi
done
exit $status
