#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Timing helpers of the disk benchmarks, sourced by them (not a benchmark of its own).
now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2-$1:.3f}')"; }
ratio() { python3 -c "print(f'{$1/$2:.2f}')"; }
tries=${QV_BENCH_TRIES:-3}
best() {  # best OUT command...: the shortest wall time of $tries runs; OUT is removed before each
  local out=$1 b="" t0 t1 s
  shift
  for _ in $(seq "$tries"); do
    rm -rf "$out"
    sync
    t0=$(now); "$@" >/dev/null; t1=$(now); s=$(secs $t0 $t1)
    if [ -z "$b" ] || python3 -c "import sys; sys.exit(0 if $s < $b else 1)"; then b=$s; fi
  done
  echo "$b"
}
row() {  # row NAME OURS PEER PEER_NAME
  echo "$1: quorvex ${2}s, $4 ${3}s, speed ratio $(ratio "$3" "$2")x"
}
# mount_ext4 DISK SIZE LABEL: an ext4 image of SIZE in DISK, mounted on DISK/mnt; the script ends
# (as a skip) when the loop mount fails.
mount_ext4() {
  truncate -s "$2" "$1/ext4.img"
  mkfs.ext4 -q -F "$1/ext4.img"
  mkdir -p "$1/mnt"
  if ! mount -o loop "$1/ext4.img" "$1/mnt" 2>/dev/null; then
    echo "$3 skipped: the loop mount failed"
    exit 0
  fi
}
