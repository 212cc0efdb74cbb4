#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Onto a disk that ignores case (a FUSE file system that folds it, as vfat or SMB do), several
# transfers at once end exactly as one at a time: twins "a.txt"/"a.TXT" are one file there.
set -u
cli=$1
fs=${QV_BUILD_DIR:-}/casefold_fs
# 77: ctest reports the test as skipped, not passed.
skip() { echo "SKIP: $1"; exit 77; }
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
[ -x "$fs" ] || skip "casefold_fs not built (libfuse3-dev missing)"
command -v fusermount3 >/dev/null || skip "fusermount3 missing (package fuse3)"

work=$(mktemp -d "${TMPDIR:-/tmp}/qvfold-XXXXXX")
mnt=$work/mnt
mkdir -p "$work/backing" "$mnt" "$work/src/sub"
cleanup() {
  fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt" 2>/dev/null
  [ -n "${fspid:-}" ] && wait "$fspid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
"$fs" "$work/backing" "$mnt" -f 2>"$work/fs.log" &
fspid=$!
for _ in $(seq 50); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || skip "the folding file system did not mount: $(head -c 200 "$work/fs.log")"
touch "$mnt/probe" && [ -e "$mnt/PROBE" ] || { echo "FAIL: the test file system does not fold case"; exit 1; }
rm -f "$mnt/probe"

# 150 twins at the top (a folder that exists) and 150 in a folder the walk makes.
for i in $(seq 150); do
  for d in "$work/src" "$work/src/sub"; do
    printf 'lower %s\n' "$i" > "$d/f$i.txt"
    printf 'UPPER %s\n' "$i" > "$d/f$i.TXT"
  done
done

fail=0
for mode in never always; do
  for jobs in 1 4; do
    out=$mnt/$mode-$jobs
    mkdir "$out"
    "$cli" -q -y --overwrite "$mode" --jobs "$jobs" dir --to "$out" "$work/src" >"$work/$mode-$jobs.txt" 2>&1
    echo "exit $?" >>"$work/$mode-$jobs.txt"
    (cd "$work/backing/$mode-$jobs" && find . -type f -print0 | sort -z | xargs -0 md5sum) >"$work/$mode-$jobs.sums"
  done
  files=$(wc -l <"$work/$mode-1.sums")
  [ "$files" -eq 300 ] || { echo "FAIL: $mode with one transfer left $files files, not 300"; fail=1; }
  for what in txt sums; do
    if ! cmp -s "$work/$mode-1.$what" "$work/$mode-4.$what"; then
      echo "FAIL: $mode: four transfers differ from one ($what)"
      diff "$work/$mode-1.$what" "$work/$mode-4.$what" | head -10
      fail=1
    fi
  done
done
# Never keeps the first twin the walk met, Always the last: the two runs hold opposite contents.
cmp -s "$work/never-1.sums" "$work/always-1.sums" && { echo "FAIL: never and always wrote the same"; fail=1; }
exit $fail
