#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The 1 GiB rows restored onto ext4 in a loop image on the machine's disk (page cache and
# journal real), from sources in /dev/shm, by the command-line program beside its peers with
# the same durability (we flush the target's file system at the end, so each peer is followed
# by sync -f on its output, which does the same; a plain sync would flush every file system of
# a shared machine), best of three each:
#  - a plain copy vs cp && sync -f
#  - a .enc file (AES-256) vs 7zz x && sync -f of the same data as a stored AES-256 zip entry
#  - that stored AES-256 zip entry vs 7zz x && sync -f
# and the same three without flushes on either side (QV_BENCH_NO_SYNC=1 vs no sync): the
# difference is what our flush at the end of a run costs. Needs root for the loop mount.
# QV_BENCH_TRIES sets the runs per command (default 3, the best counts).
# The sources are made once and kept in /dev/shm/qvbench-disk; remove it to free memory.
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/quorvex-restore-cli")
tool=$(realpath "$build/bench_gunzip")
if [ "$(id -u)" -ne 0 ] || ! command -v mkfs.ext4 >/dev/null; then
  echo "disk rows skipped: they need root and mkfs.ext4 for a loop mount"
  exit 0
fi
password="bench-password-of-some-length"
work=/dev/shm/qvbench-disk
disk=$(mktemp -d /var/tmp/qvbench-ext4-XXXXXX)
cleanup() {
  mountpoint -q "$disk/mnt" 2>/dev/null && umount "$disk/mnt"
  rm -rf "$disk"
}
trap cleanup EXIT
. "$(dirname "$0")/lib.sh"

# One folder per source, so that a Directory-mode run restores exactly that file.
if [ ! -f "$work/complete" ]; then
  rm -rf "$work"
  mkdir -p "$work/plain" "$work/enc" "$work/zip"
  python3 "$(dirname "$0")/mixed-data.py" "$work/plain/data"
  "$tool" encrypt "$work/plain/data" "$work/enc/data.enc" "$password"
  (cd "$work/plain" && 7zz a -bd -bso0 -bsp0 -tzip -mx=0 -mem=AES256 -p"$password" ../zip/data.zip data)
  touch "$work/complete"
fi

mount_ext4 "$disk" 4G "disk rows"
at=$disk/mnt

check() { cmp -s "$work/plain/data" "$1" || { echo "restored bytes differ: $1"; exit 1; }; }

rows() {  # rows LABEL SYNC [ENV...]
  local label=$1 sync=$2
  shift 2
  local p q shown=${sync:+ && sync -f}
  p=$(best "$at/cp" sh -c "mkdir -p \"\$2\" && cp \"\$1\" \"\$2/\" $sync" sh "$work/plain/data" "$at/cp")
  q=$(best "$at/qv" env "$@" "$cli" -q -y dir --to "$at/qv" "$work/plain")
  check "$at/qv/data"
  row "1 GiB $label, copy" "$q" "$p" "cp$shown"
  ours[$label,copy]=$q
  p=$(best "$at/cp" sh -c "7zz x -bd -bso0 -bsp0 -y -p\"\$3\" -o\"\$2\" \"\$1\" $sync" sh "$work/zip/data.zip" "$at/cp" "$password")
  check "$at/cp/data"
  q=$(best "$at/qv" env QUORVEX_PASSWORD="$password" "$@" "$cli" -q -y dir --to "$at/qv" "$work/enc")
  check "$at/qv/data"
  row "1 GiB $label, .enc (AES-256)" "$q" "$p" "7zz x of a stored AES-256 entry$shown"
  ours[$label,enc]=$q
  q=$(best "$at/qv" env QUORVEX_PASSWORD="$password" "$@" "$cli" -q -y dir --to "$at/qv" "$work/zip/data.zip")
  check "$at/qv/data"
  row "1 GiB $label, stored AES-256 zip entry" "$q" "$p" "7zz x$shown"
  ours[$label,zip]=$q
  rm -rf "$at/cp" "$at/qv"
}

declare -A ours
rows "ext4" " && sync -f \"\$2\""
rows "ext4 without flush" "" QV_BENCH_NO_SYNC=1
for kind in copy enc zip; do
  with=${ours[ext4,$kind]} without=${ours[ext4 without flush,$kind]}
  echo "1 GiB ext4, $kind: flush at the end: with ${with}s, without ${without}s, cost $(python3 -c "print(f'{($with-$without)/$without*100:.0f}')") %"
done
