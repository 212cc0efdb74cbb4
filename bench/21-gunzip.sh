#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The unpack worker against gzip -dc, pigz -dc and igzip -dc, and the decrypt worker and the
# zip reader's AES-256 stored entry against 7zz x of that entry, on the same 1 GiB of mixed data
# in /dev/shm.
# Best of three runs each; every tool writes to a file in /dev/shm.
set -euo pipefail
build=$1
tool=$build/bench_gunzip
[ -x "$tool" ] || { echo "bench_gunzip not built (release build without sanitizers needed)"; exit 0; }
runs=${QV_BENCH_RUNS:-3}
work=$(mktemp -d /dev/shm/qv-bench-gunzip.XXXXXX)
trap 'rm -rf "$work"' EXIT
password="bench-password-of-some-length"

# Mixed data, made once and used by every tool: text-like and random parts in 1 MiB pieces.
python3 "$(dirname "$0")/mixed-data.py" "$work/data"
size=$(stat -c %s "$work/data")
pigz -6 -c "$work/data" > "$work/data.gz"
"$tool" encrypt "$work/data" "$work/data.enc" "$password"
(cd "$work" && 7zz a -bd -bso0 -bsp0 -tzip -mx=0 -mem=AES256 -p"$password" data.zip data)

# best_of NAME COMMAND...: best wall time of the command, output removed after each run.
declare -A best
best_of() {
  local name=$1; shift
  local b=1e9
  for _ in $(seq "$runs"); do
    rm -rf "$work/out" "$work/7out"
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    b=$(python3 -c "print(min($b, $end - $start))")
  done
  best[$name]=$b
}
best_of gzip  sh -c "gzip -dc '$work/data.gz' > '$work/out'"
cmp -s "$work/data" "$work/out"
best_of pigz  sh -c "pigz -dc '$work/data.gz' > '$work/out'"
cmp -s "$work/data" "$work/out"
best_of igzip sh -c "igzip -dc '$work/data.gz' > '$work/out'"
cmp -s "$work/data" "$work/out"
best_of 7zz   7zz x -bd -bso0 -bsp0 -y -p"$password" -o"$work/7out" "$work/data.zip"
cmp -s "$work/data" "$work/7out/data"
rm -rf "$work/out" "$work/7out"

read -r qv_gz _ engine < <("$tool" gunzip "$work/data.gz" "$work/out" "$runs")
cmp -s "$work/data" "$work/out"
rm -f "$work/out"
read -r qv_dec _ _ < <("$tool" decrypt "$work/data.enc" "$work/out" "$password" "$runs")
cmp -s "$work/data" "$work/out"
rm -f "$work/out"
zip_tool=$build/bench_zip
if [ -x "$zip_tool" ]; then
  best_of qvzip sh -c "mkdir -p '$work/out' && '$zip_tool' '$work/data.zip' '$work/out' '$password' >/dev/null"
  mkdir -p "$work/out" && "$zip_tool" "$work/data.zip" "$work/out" "$password" >/dev/null
  cmp -s "$work/data" "$work/out/data"
  rm -rf "$work/out"
else
  best[qvzip]=0
fi

python3 - "$size" "$engine" "${best[gzip]}" "${best[pigz]}" "${best[igzip]}" "$qv_gz" "${best[7zz]}" "$qv_dec" "${best[qvzip]}" <<'PY'
import sys
size = int(sys.argv[1]); engine = sys.argv[2]
gz, pz, ig, qg, sz, qd, qz = map(float, sys.argv[3:])
def row(name, t): print(f"{name:<26} {t:7.3f} s  {size / t / 1e6:8.1f} MB/s")
print(f"{size / 2**20:.0f} MiB mixed data; unpack engine {engine}")
row("gzip -dc", gz); row("pigz -dc", pz); row("igzip -dc", ig); row("unpack worker", qg)
print(f"ratio unpack worker / igzip -dc  {ig / qg:.2f}  (target >= 1.20)")
print(f"ratio unpack worker / gzip -dc   {gz / qg:.2f}")
print(f"ratio unpack worker / pigz -dc   {pz / qg:.2f}")
row("7zz x (AES-256, stored)", sz); row("decrypt worker (.enc)", qd)
print(f"ratio decrypt worker / 7zz x     {sz / qd:.2f}  (target >= 1.50)")
if qz > 0:
    row("zip AES-256 stored entry", qz)
    print(f"ratio zip entry / 7zz x          {sz / qz:.2f}  (target >= 1.50)")
PY
