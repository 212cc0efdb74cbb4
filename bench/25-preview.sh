#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Preview, test and verify beside peer tools, in /dev/shm, best of three runs each:
#  - --test of a 1 GiB gzip member vs igzip -t
#  - --test of a 1 GiB AES-256 deflated zip entry vs 7zz t
#  - a restore of a 1 GiB plain file with --verify vs without
#  - --dry-run of the 200,000-file schedule tree vs find -printf
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/quorvex-restore-cli")
runs=${QV_BENCH_RUNS:-3}
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/qvbench-preview-XXXXXX")
trap 'rm -rf "$work"' EXIT
password="bench-password-of-some-length"
printf '%s\n' "$password" > "$work/pw"

mkdir "$work/data"
python3 "$(dirname "$0")/mixed-data.py" "$work/data/data"
python3 "$(dirname "$0")/schedule-tree.py" "$work/sched"
size=$(stat -c %s "$work/data/data")
pigz -1 -c "$work/data/data" > "$work/data.gz"
(cd "$work/data" && 7zz a -bd -bso0 -bsp0 -tzip -mx=1 -mem=AES256 -p"$password" ../data.zip data)

# best NAME COMMAND...: the shortest wall time of the command; $out is removed before each run.
declare -A best
out=$work/none
best_of() {
  local name=$1; shift
  local b=1e9
  for _ in $(seq "$runs"); do
    rm -rf "$out"
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    b=$(python3 -c "print(min($b, $end - $start))")
  done
  best[$name]=$b
}
best_of igzip_t igzip -t "$work/data.gz"
best_of qv_test_gz "$cli" -q --test files "$work/data.gz"
best_of 7zz_t 7zz t -bd -bso0 -bsp0 -p"$password" "$work/data.zip"
best_of qv_test_zip "$cli" -q --test --password-file "$work/pw" files "$work/data.zip/data"
out=$work/restored
best_of qv_copy "$cli" -q -y files --to "$out" "$work/data/data"
best_of qv_verify "$cli" -q -y --verify files --to "$out" "$work/data/data"
rm -rf "$out"
"$cli" -q -y --verify files --to "$out" "$work/data/data" | grep -qx "1 files copied, 1 verified"
cmp -s "$work/data/data" "$out/data"
out=$work/none
best_of find_printf find "$work/sched" -printf '%T@ %p\n'
best_of qv_dry_run "$cli" -q --dry-run schedule --to "$work/none" --date 2099-12-31 "$work/sched"
[ "$("$cli" -q --dry-run schedule --to "$work/none" --date 2099-12-31 "$work/sched" | grep -c '^new ')" -ge 6667 ]

python3 - "$size" "${best[igzip_t]}" "${best[qv_test_gz]}" "${best[7zz_t]}" "${best[qv_test_zip]}" \
  "${best[qv_copy]}" "${best[qv_verify]}" "${best[find_printf]}" "${best[qv_dry_run]}" <<'PY'
import sys
size = int(sys.argv[1])
ig, qg, sz, qz, cp, vf, fd, dr = map(float, sys.argv[2:])
def row(name, t): print(f"{name:<34} {t:7.3f} s  {size / t / 1e6:8.1f} MB/s")
print(f"{size / 2**20:.0f} MiB mixed data")
row("igzip -t", ig); row("--test (gzip member)", qg)
print(f"ratio --test / igzip -t             {ig / qg:.2f}  (target >= 1.00)")
row("7zz t (AES-256, deflated)", sz); row("--test (AES-256 zip entry)", qz)
print(f"ratio --test / 7zz t                {sz / qz:.2f}  (target >= 1.50)")
row("restore (plain copy)", cp); row("restore --verify", vf)
print(f"cost --verify / restore             {vf / cp:.2f}  (target <= 1.30)")
print(f"{'find -printf (200,000 files)':<34} {fd:7.3f} s")
print(f"{'--dry-run schedule (200,000 files)':<34} {dr:7.3f} s")
print(f"cost --dry-run / find -printf       {dr / fd:.2f}  (target <= 1.50)")
PY
