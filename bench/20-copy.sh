#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The copy worker against cp on 1 GiB of mixed data in /dev/shm: best of three runs each, once
# into a new target and once replacing an existing one (the worker then flushes its data before
# the rename; cp does not flush).
set -euo pipefail
build=$1
tool=$build/bench_copy
[ -x "$tool" ] || { echo "bench_copy not built (release build without sanitizers needed)"; exit 0; }
work=$(mktemp -d /dev/shm/qv-bench-copy.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Half random, half text-like, in 1 MiB pieces.
python3 - "$work/src" <<'PY'
import os, sys
with open(sys.argv[1], "wb") as f:
    text = (b"The quick brown fox jumps over the lazy dog. 0123456789\n" * 20000)[:1 << 20]
    for i in range(1024):
        f.write(os.urandom(1 << 20) if i % 2 else text)
PY
size=$(stat -c %s "$work/src")
best_cp=1e9
for run in 1 2 3; do
  rm -f "$work/cp"
  start=$(date +%s.%N)
  cp "$work/src" "$work/cp"
  end=$(date +%s.%N)
  best_cp=$(python3 -c "print(min($best_cp, $end - $start))")
done
cmp "$work/src" "$work/cp"
read -r best_qv mbs_qv < <("$tool" "$work/src" "$work/qv" 3)
cmp "$work/src" "$work/qv"
best_cp_over=1e9
for run in 1 2 3; do
  start=$(date +%s.%N)
  cp "$work/src" "$work/cp"
  end=$(date +%s.%N)
  best_cp_over=$(python3 -c "print(min($best_cp_over, $end - $start))")
done
read -r best_qv_over mbs_qv_over < <("$tool" "$work/src" "$work/qv" 3 replace)
cmp "$work/src" "$work/qv"
python3 - "$size" "$best_cp" "$best_qv" "$best_cp_over" "$best_qv_over" <<'PY'
import sys
size = int(sys.argv[1])
cp, qv, cp_over, qv_over = map(float, sys.argv[2:6])
print(f"cp          {cp:7.3f} s  {size / cp / 1e6:8.1f} MB/s  (new target)")
print(f"copy worker {qv:7.3f} s  {size / qv / 1e6:8.1f} MB/s  (new target)")
print(f"cp          {cp_over:7.3f} s  {size / cp_over / 1e6:8.1f} MB/s  (existing target)")
print(f"copy worker {qv_over:7.3f} s  {size / qv_over / 1e6:8.1f} MB/s  (existing target, flushed)")
print(f"ratio (worker/cp) {cp / qv:.2f} new, {cp_over / qv_over:.2f} existing  (target >= 0.80)")
PY
