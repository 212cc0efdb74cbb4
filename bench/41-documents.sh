#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A tree like a user's documents: 20,000 files of 1 to 20 KiB in 200 folders (about 205 MiB,
# deterministic, about 2.5 : 1 compressible), restored beside the peers, best of three each:
#  - in /dev/shm: plain files vs cp -a, the .gz tree vs cp -r + gzip -dr, one zip vs bsdtar -x
#  - on ext4 in a loop image on the machine's disk (page cache and journal real), each side
#    with the same durability: quorvex (which flushes the file system at the end) vs
#    cp -a ... && sync -f, bsdtar -x ... && sync -f (the same flush of the target's file
#    system; a plain sync would flush every file system of a shared machine). Needs root for
#    the loop mount; skipped otherwise.
#  - on the same ext4 with the durability of neither side (QV_BENCH_NO_SYNC=1 vs no sync): the
#    difference to the rows above is what our flush at the end costs;
#  - on the same ext4 over the tree restored before (--overwrite always, each replaced file
#    flushed before its rename) vs cp -a over it && sync -f, and again without the flushes; on
#    the first tenth of the folders only, as a flush per file takes milliseconds.
# QV_BENCH_FILES sets the number of files (default 20000) for a quick look, QV_BENCH_TRIES the
# runs per command (default 3, the best counts). The tree is made
# once and kept in /dev/shm (qvbench-docs-N) for the runs that follow; remove it to free memory.
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/quorvex-restore-cli")
files=${QV_BENCH_FILES:-20000}
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$base/qvbench-docs-$files
out=$(mktemp -d "$base/qvbench-docs-out-XXXXXX")
disk=$(mktemp -d /var/tmp/qvbench-ext4-XXXXXX)
cleanup() {
  mountpoint -q "$disk/mnt" 2>/dev/null && umount "$disk/mnt"
  rm -rf "$out" "$disk"
}
trap cleanup EXIT
. "$(dirname "$0")/lib.sh"

if [ ! -f "$work/made-v2" ]; then
rm -rf "$work"
python3 - "$work" "$files" <<'PY'
import gzip, os, random, sys
w, n = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261209)
# A vocabulary of 1,000 words used as text uses them (Zipf): about 2.5 : 1 with gzip -6.
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(1000)]
weights = [1 / (k + 1) for k in range(len(words))]
for i in range(n):
    folder = f"d{i % 200:03d}"
    for kind in ("plain", "gz"):
        os.makedirs(f"{w}/{kind}/{folder}", exist_ok=True)
    size = rng.randint(1024, 20480)
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choices(words, weights, k=12)) + b"\n"
    data = bytes(out[:size])
    open(f"{w}/plain/{folder}/f{i}.txt", "wb").write(data)
    with gzip.GzipFile(f"{w}/gz/{folder}/f{i}.txt.gz", "wb", mtime=0) as g:
        g.write(data)
PY
(cd "$work/plain" && zip -qr -X ../docs.zip .)
mkdir -p "$work/part"
for d in "$work"/plain/d00* "$work"/plain/d01*; do cp -a "$d" "$work/part/"; done
touch "$work/made-v2"
fi
echo "documents tree: $files files, $(du -sh "$work/plain" | cut -f1) plain, $(du -sh "$work/gz" | cut -f1) as .gz, zip $(du -h "$work/docs.zip" | cut -f1)"

best_over() {  # best_over command...: as best, but over what the run before left in place
  local b="" t0 t1 s
  for _ in $(seq "$tries"); do
    sync
    t0=$(now); "$@" >/dev/null; t1=$(now); s=$(secs $t0 $t1)
    if [ -z "$b" ] || python3 -c "import sys; sys.exit(0 if $s < $b else 1)"; then b=$s; fi
  done
  echo "$b"
}

rows_in() {  # rows_in FOLDER LABEL SYNC [ENV...]: the three rows with their outputs in FOLDER
  local at=$1 label=$2 sync=$3
  shift 3
  local p q shown=${sync:+ && sync -f}
  mkdir -p "$at"
  p=$(best "$at/cp" sh -c "cp -a \"\$1\" \"\$2\" $sync" sh "$work/plain" "$at/cp")
  q=$(best "$at/qv" env "$@" "$cli" -q -y dir --to "$at/qv" "$work/plain")
  row "documents $label, dir restore of plain files" "$q" "$p" "cp -a$shown"
  p=$(best "$at/cp" sh -c "cp -r \"\$1\" \"\$2\" && gzip -dr \"\$2\" $sync" sh "$work/gz" "$at/cp")
  q=$(best "$at/qv" env "$@" "$cli" -q -y dir --to "$at/qv" "$work/gz")
  row "documents $label, dir restore of .gz files" "$q" "$p" "cp -r + gzip -dr$shown"
  p=$(best "$at/cp" sh -c "mkdir -p \"\$2\" && bsdtar -xf \"\$1\" -C \"\$2\" $sync" sh "$work/docs.zip" "$at/cp")
  q=$(best "$at/qv" env "$@" "$cli" -q -y dir --to "$at/qv" "$work/docs.zip")
  row "documents $label, dir restore of one zip" "$q" "$p" "bsdtar -x$shown"
  cmp -s "$work/plain/d000/f0.txt" "$at/qv/d000/f0.txt" || { echo "restored bytes differ"; exit 1; }
  rm -rf "$at/cp" "$at/qv"
}

# replacing FOLDER LABEL SYNC [ENV...]: a tenth of the plain tree restored over itself, every
# file replaced.
replacing() {
  local at=$1 label=$2 sync=$3
  shift 3
  local p q shown=${sync:+ && sync -f}
  rm -rf "$at/cp" "$at/qv"
  cp -a "$work/part" "$at/cp"
  p=$(best_over sh -c "cp -a \"\$1/.\" \"\$2\" $sync" sh "$work/part" "$at/cp")
  cp -a "$work/part" "$at/qv"
  q=$(best_over env "$@" "$cli" -q -y --overwrite always dir --to "$at/qv" "$work/part")
  row "documents $label, $(find "$work/part" -type f | wc -l) plain files replacing the same" "$q" "$p" "cp -a over it$shown"
  cmp -s "$work/plain/d000/f0.txt" "$at/qv/d000/f0.txt" || { echo "restored bytes differ"; exit 1; }
  rm -rf "$at/cp" "$at/qv"
}

rows_in "$out/out" "tmpfs" ""

# ext4 on a loop image: what the user's disk does with the same work.
if [ "$(id -u)" -ne 0 ] || ! command -v mkfs.ext4 >/dev/null; then
  echo "documents ext4 rows skipped: they need root and mkfs.ext4 for a loop mount"
  exit 0
fi
mount_ext4 "$disk" 2G "documents ext4 rows"
rows_in "$disk/mnt" "ext4" " && sync -f \"\$2\""
rows_in "$disk/mnt" "ext4 without flush" "" QV_BENCH_NO_SYNC=1
replacing "$disk/mnt" "ext4" " && sync -f \"\$2\""
replacing "$disk/mnt" "ext4 without flush" "" QV_BENCH_NO_SYNC=1
