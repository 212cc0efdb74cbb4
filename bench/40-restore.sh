#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Restore throughput beside peer tools, in /dev/shm:
#  - schedule scan of 200,000 files in 30 sets vs find -printf '%T@ %p'
#  - versions of one file over the same tree vs the same lookup by a shell pattern and stat
#  - Directory mode on 20,000 small plain files vs cp -a
#  - Directory mode on 20,000 small .gz files vs cp -r then gzip -dr
set -euo pipefail
build=${1:-build}
cli=$(realpath "$build/quorvex-restore-cli")
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/qvbench-restore-XXXXXX")
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2-$1:.3f}')"; }

python3 "$(dirname "$0")/schedule-tree.py" "$work/sched"
python3 - "$work" <<'PY'
import os, sys, gzip
w = sys.argv[1]
for kind in ("plain", "gz"):
    for i in range(20000):
        d = f"{w}/{kind}/d{i // 500}"
        if i % 500 == 0: os.makedirs(d, exist_ok=True)
        data = (b"small file %d\n" % i) * 8
        if kind == "plain":
            open(f"{d}/f{i}.txt", "wb").write(data)
        else:
            with gzip.GzipFile(f"{d}/f{i}.txt.gz", "wb", mtime=0) as g: g.write(data)
PY

# Best of three rounds each: the machine may be shared, and the first round warms caches.
best() {  # best: command... ; prints the shortest wall time of three runs; $out is removed before each
  local b=""
  for _ in 1 2 3; do
    rm -rf "$out"
    local t0 t1 s
    t0=$(now); "$@" >/dev/null; t1=$(now); s=$(secs $t0 $t1)
    if [ -z "$b" ] || python3 -c "import sys; sys.exit(0 if $s < $b else 1)"; then b=$s; fi
  done
  echo "$b"
}
ratio() { python3 -c "print(f'{$1/$2:.2f}')"; }

out=$work/none
mkdir -p "$work/out-sched"  # empty: only the count question, answered No
find_s=$(best find "$work/sched" -printf '%T@ %p\n')
# Not interactive, the count question is answered No: exit 3 after the whole search.
scan_s=$(best sh -c '"$1" -q schedule --to "$2" --date 2099-12-31 "$3" </dev/null 2>/dev/null || [ $? -eq 3 ]' \
  sh "$cli" "$work/out-sched" "$work/sched")
echo "schedule scan 200k files: quorvex ${scan_s}s, find -printf ${find_s}s, ratio $(ratio $scan_s $find_s)x (target <= 1.2x)"
# The versions command looks only into the folders the path names, in every set: its peer is
# the same lookup by a case-ignoring shell pattern, not a walk of the whole tree.
ver_s=$(best "$cli" versions "$work/sched" dir33/f3333.txt)
glob_s=$(best bash -c 'shopt -s nocaseglob nullglob; stat -c "%Y %s %n" "$1"/*/dir33/f3333.txt*' sh "$work/sched")
echo "versions of one file in 30 sets: quorvex ${ver_s}s, shell pattern + stat ${glob_s}s, ratio $(ratio $ver_s $glob_s)x (target <= 1.5x)"
[ "$("$cli" versions "$work/sched" dir33/f3333.txt | wc -l)" -eq 30 ] || { echo "versions row found no 30 versions"; exit 1; }

out=$work/cp-plain; cp_s=$(best cp -a "$work/plain" "$out")
out=$work/out-plain; qv_s=$(best "$cli" -q -y dir --to "$out" "$work/plain")
echo "dir restore 20k plain: quorvex ${qv_s}s ($(python3 -c "print(int(20000/$qv_s))") files/s), cp -a ${cp_s}s, speed ratio $(python3 -c "print(f'{$cp_s/$qv_s:.2f}')")x (target >= 0.5x)"
out=$work/out-plain; qv1_s=$(best "$cli" -q -y --jobs 1 dir --to "$out" "$work/plain")
echo "dir restore 20k plain, --jobs 1: quorvex ${qv1_s}s ($(python3 -c "print(int(20000/$qv1_s))") files/s), cp -a ${cp_s}s, speed ratio $(python3 -c "print(f'{$cp_s/$qv1_s:.2f}')")x"

# The progress line costs nothing: stderr on an 80-column pseudo-terminal against -q. The CPU
# time (user + system) of the CLI, best of five alternating rounds: wall time on a shared
# machine varies by more than the 2 % this row checks.
python3 - "$cli" "$work/plain" "$work/out-plain" <<'PY'
import fcntl, os, pty, select, shutil, struct, subprocess, sys, termios
cli, source, out = sys.argv[1:4]
def cpu(args):
    shutil.rmtree(out, ignore_errors=True)
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    p = subprocess.Popen([cli] + args + ["-y", "dir", "--to", out, source],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    drawn = 0
    while True:
        if select.select([master], [], [], 0.05)[0]:
            try:
                drawn += len(os.read(master, 65536))
            except OSError:
                pass
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid:
            break
    os.close(master)
    return usage.ru_utime + usage.ru_stime, drawn
shown, quiet = [], []
for _ in range(5):
    shown.append(cpu([]))
    quiet.append(cpu(["-q"]))
s, q = min(t for t, _ in shown), min(t for t, _ in quiet)
print(f"progress line, dir restore 20k plain: CPU with progress {s:.3f}s ({max(d for _, d in shown)} bytes drawn), "
      f"-q {q:.3f}s, cost {(s / q - 1) * 100:+.1f} % (target <= 2 %)")
PY

out=$work/cp-gz; gz_s=$(best sh -c 'cp -r "$1" "$2" && gzip -dr "$2"' sh "$work/gz" "$out")
out=$work/out-gz; qv_s=$(best "$cli" -q -y dir --to "$out" "$work/gz")
echo "dir restore 20k .gz: quorvex ${qv_s}s ($(python3 -c "print(int(20000/$qv_s))") files/s), cp -r + gzip -dr ${gz_s}s, speed ratio $(python3 -c "print(f'{$gz_s/$qv_s:.2f}')")x (target >= 1.0x)"
out=$work/out-gz; qv1_s=$(best "$cli" -q -y --jobs 1 dir --to "$out" "$work/gz")
echo "dir restore 20k .gz, --jobs 1: quorvex ${qv1_s}s ($(python3 -c "print(int(20000/$qv1_s))") files/s), cp -r + gzip -dr ${gz_s}s, speed ratio $(python3 -c "print(f'{$gz_s/$qv1_s:.2f}')")x"
cmp -s "$work/cp-gz/d0/f0.txt" "$work/out-gz/d0/f0.txt" || { echo "restored bytes differ"; exit 1; }
