#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The read-only mount beside its peers, on the same files in /dev/shm: cat of the 1 GiB .gz
# through the mount against igzip -dc, of the 1 GiB .enc against our own files restore, of a
# 1 GiB plain file against cat of the original; find on the 200,000-file, 30-set tree with
# --date against find on the raw tree, and the daemon's memory there; 1,000 random 4 KiB reads
# in the .gz against as many in the plain file, both through the mount.
# Best of three runs each (QV_BENCH_RUNS); skipped where /dev/fuse is missing.
set -euo pipefail
build=$1
cli=$build/quorvex-restore-cli
tool=$build/bench_gunzip
[ -x "$tool" ] || { echo "bench_gunzip not built (release build without sanitizers needed)"; exit 0; }
[ -c /dev/fuse ] || { echo "mount: no /dev/fuse here, skipped"; exit 0; }
runs=${QV_BENCH_RUNS:-3}
work=$(mktemp -d /dev/shm/qv-bench-mount.XXXXXX)
pids=()
cleanup() {
  while read -r point; do
    umount "$point" 2>/dev/null || fusermount3 -u "$point" 2>/dev/null || umount -l "$point" 2>/dev/null || true
  done < <(awk -v w="$work" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo)
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
password="bench-password-of-some-length"
export QUORVEX_PASSWORD=$password

mkdir -p "$work/b/big" "$work/m" "$work/t"
python3 "$(dirname "$0")/mixed-data.py" "$work/data"
pigz -6 -c "$work/data" > "$work/b/big/data.gz"
"$tool" encrypt "$work/data" "$work/b/big/sealed.enc" "$password"
cp "$work/data" "$work/b/big/plain.bin"

# mount_fg POINT OPTIONS... FOLDER: a foreground mount, its id kept for the clean-up.
mount_fg() {
  local point=$1; shift
  "$cli" mount --foreground "$@" "$point" 2>"$work/mount.log" &
  pids+=("$!")
  mountpid=$!
  for _ in $(seq 600); do mountpoint -q "$point" && return 0; sleep 0.05; done
  echo "mount failed: $(cat "$work/mount.log")"
  exit 1
}
end_fg() {
  kill -TERM "$mountpid"
  wait "$mountpid" || true
}

# best_of NAME COMMAND...: best wall time of the command.
declare -A best
best_of() {
  local name=$1; shift
  local b=1e9
  for _ in $(seq "$runs"); do
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    b=$(python3 -c "print(min($b, $end - $start))")
  done
  best[$name]=$b
}
ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }

best_of igzip sh -c "igzip -dc '$work/b/big/data.gz' > /dev/null"
best_of files sh -c "rm -rf '$work/r' && '$cli' -q -y files --to '$work/r' '$work/b/big/sealed.enc' >/dev/null"
rm -rf "$work/r"
best_of cat sh -c "cat '$work/data' > /dev/null"

mount_fg "$work/m" "$work/b"
cmp -s "$work/data" "$work/m/big/data" || { echo "the mounted .gz differs"; exit 1; }
cmp -s "$work/data" "$work/m/big/sealed" || { echo "the mounted .enc differs"; exit 1; }
# Each run reads through the daemon, not the kernel's cache of an earlier run: the file's
# pages are dropped first (that file's only).
evict="python3 -c 'import os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)'"
best_of mgz sh -c "$evict '$work/m/big/data'; cat '$work/m/big/data' > /dev/null"
best_of menc sh -c "$evict '$work/m/big/sealed'; cat '$work/m/big/sealed' > /dev/null"
best_of mplain sh -c "$evict '$work/m/big/plain.bin'; cat '$work/m/big/plain.bin' > /dev/null"

# 1,000 random 4 KiB reads at the same offsets, in the .gz and in the plain file.
cat > "$work/random.py" <<'PY'
import os, random, sys
path, size = sys.argv[1], int(sys.argv[2])
r = random.Random(1)
fd = os.open(path, os.O_RDONLY)
for _ in range(1000):
    at = r.randrange(0, size - 4096) // 4096 * 4096
    os.posix_fadvise(fd, at, 4096, os.POSIX_FADV_DONTNEED)
    if len(os.pread(fd, 4096, at)) != 4096:
        sys.exit("short read")
os.close(fd)
PY
size=$(stat -c %s "$work/data")
best_of rgz python3 "$work/random.py" "$work/m/big/data" "$size"
best_of rplain python3 "$work/random.py" "$work/m/big/plain.bin" "$size"
end_fg

python3 "$(dirname "$0")/schedule-tree.py" "$work/t"
best_of findraw sh -c "find '$work/t' -type f | wc -l > /dev/null"
mkdir -p "$work/d"
mount_fg "$work/d" --date 2099-12-31 "$work/t"
files=$(find "$work/d" -type f | wc -l)
best_of findmount sh -c "find '$work/d' -type f | wc -l > /dev/null"
memory=$(awk '/VmHWM/ { print int($2 / 1024) }' "/proc/$mountpid/status")
end_fg

echo "mount"
printf '  cat of the 1 GiB .gz: mount %.2f s, igzip -dc %.2f s, ratio %s (goal >= 0.8)\n' \
  "${best[mgz]}" "${best[igzip]}" "$(ratio "${best[igzip]}" "${best[mgz]}")"
printf '  cat of the 1 GiB .enc: mount %.2f s, files restore %.2f s, ratio %s (goal >= 0.8)\n' \
  "${best[menc]}" "${best[files]}" "$(ratio "${best[files]}" "${best[menc]}")"
printf '  cat of the 1 GiB plain file: mount %.2f s, cat %.2f s, ratio %s (goal >= 0.5)\n' \
  "${best[mplain]}" "${best[cat]}" "$(ratio "${best[cat]}" "${best[mplain]}")"
printf '  find of %s files with --date: mount %.2f s, raw tree %.2f s, ratio %s (goal >= 0.5); daemon memory %s MB (goal <= 100)\n' \
  "$files" "${best[findmount]}" "${best[findraw]}" "$(ratio "${best[findraw]}" "${best[findmount]}")" "$memory"
printf '  1000 random 4 KiB reads: .gz %.2f s, plain %.2f s, cost ratio %s (goal <= 20)\n' \
  "${best[rgz]}" "${best[rplain]}" "$(ratio "${best[rgz]}" "${best[rplain]}")"
