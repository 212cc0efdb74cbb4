#!/usr/bin/env bash
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
  echo "== $name (${seconds}s)"
  if ! "$target" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=4096 \
       -print_final_stats=1 "$corpus" 2>"$build/$name.log"; then
    echo "FAILED: $name (see $build/$name.log)"; tail -40 "$build/$name.log"; status=1
  else
    grep -E 'stat::number_of_executed_units' "$build/$name.log" || true
  fi
done
exit $status
