#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Files mode: 200 entries selected from an archive of 65,536 entries (target <= 0.3 s), the
# Directory walk of a 1,000-level tree with 10 files (linear in the depth), and the peak memory
# of listing and testing a zip of 200,000 entries beside bsdtar and 7-Zip (target <= 40 MB).
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/quorvex-restore-cli")
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/qvbench-select-XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'PY'
import os, sys, zipfile
w = sys.argv[1]
with zipfile.ZipFile(f"{w}/big.zip", "w", zipfile.ZIP_STORED) as z:
    for i in range(65536):
        z.writestr(f"d{i // 256:03d}/f{i:05d}.txt", "x")
with zipfile.ZipFile(f"{w}/200k.zip", "w", zipfile.ZIP_STORED) as z:
    for i in range(200000):
        z.writestr(f"folder{i // 1000:03d}/sub/file_{i:06d}.txt", "x")
# 1,000 levels, a file every 100: deeper than PATH_MAX, so made through folder handles.
top = os.open(w, os.O_RDONLY)
os.mkdir("deep", dir_fd=top)
cur = os.open("deep", os.O_RDONLY, dir_fd=top)
for i in range(1000):
    name = f"level_{i:04d}_abcdefgh"
    os.mkdir(name, dir_fd=cur)
    nxt = os.open(name, os.O_RDONLY, dir_fd=cur)
    if i % 100 == 99:
        fd = os.open(f"file{i}.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=nxt)
        os.write(fd, b"deep\n")
        os.close(fd)
    os.close(cur)
    cur = nxt
PY

paths=$(python3 -c "print(' '.join(f'$work/big.zip/d{(i*327)//256:03d}/f{i*327:05d}.txt' for i in range(200)))")
# Wall time and CPU time (user + system): on a shared machine the second is the steadier one.
TIMEFORMAT='%R s wall, %U s user + %S s system'
measure() { { time "$@" >/dev/null; } 2>&1; }
echo "files mode 200 of 65,536 entries (target <= 0.3 s): $(measure "$cli" -q -y files --to "$work/out-files" $paths)"
echo "dir restore of a 1,000-level tree, 10 files: $(measure "$cli" -q -y dir --to "$work/out-deep" "$work/deep"), $(find "$work/out-deep" -type f | wc -l) files restored"

# Peak resident memory (KB) of one run; the command's output is dropped.
peak() { /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; cat "$work/peak"; }
mb() { python3 -c "print(f'{$1/1024:.1f}')"; }
list_kb=$(peak "$cli" list "$work/200k.zip")
bsdtar_kb=$(peak bsdtar -tf "$work/200k.zip")
test_kb=$(peak "$cli" -q --test dir "$work/200k.zip")
sevenz_kb=$(peak 7zz t "$work/200k.zip")
[ "$("$cli" list "$work/200k.zip" | wc -l)" -eq 200001 ] || { echo "the listing of 200,000 entries is incomplete"; exit 1; }
echo "peak memory, list of a 200,000-entry zip: quorvex $(mb $list_kb) MB, bsdtar -tf $(mb $bsdtar_kb) MB, ratio $(python3 -c "print(f'{$list_kb/$bsdtar_kb:.2f}')")x (target <= 40 MB)"
echo "peak memory, test of a 200,000-entry zip: quorvex $(mb $test_kb) MB, 7zz t $(mb $sevenz_kb) MB, ratio $(python3 -c "print(f'{$test_kb/$sevenz_kb:.2f}')")x (target <= 40 MB)"
