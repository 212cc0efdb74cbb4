#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The read-only mount against restores of the same backup: the folder's view, --no-unpack and a
# day's view (--date) equal a dir/schedule restore in names, contents, sizes and times; damaged
# files fail with EIO at the end, a wrong password with EACCES, random reads match the plain
# bytes, every change fails with EROFS, SIGTERM and umount end the mount, and no mount or
# process is left behind.
set -u
cli=$1
build=${QV_BUILD_DIR:-$(dirname "$cli")}
# 77: ctest reports the test as skipped, not passed.
skip() { echo "SKIP: $1"; exit 77; }
[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
[ -x "$build/bench_restore" ] || skip "bench_restore (the writer of .enc files) not built"
command -v zip >/dev/null || skip "zip missing"

work=$(mktemp -d "${TMPDIR:-/tmp}/qvmount-XXXXXX")
pids=()
cleanup() {
  # Every mount below the work folder, then the servers this test started, by their ids.
  while read -r point; do
    umount "$point" 2>/dev/null || fusermount3 -u "$point" 2>/dev/null || umount -l "$point" 2>/dev/null
  done < <(awk -v w="$work" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo)
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
password=mount-test-pw

# ---- The backup: two sets of a schedule, each kind of file, and a zip archive.
b=$work/backup
mkdir -p "$b/2026-01-01/docs" "$b/2026-02-01/docs" "$b/loose/sub"
python3 - "$work/big.txt" <<'PY'
import random, sys
r = random.Random(4)
words = ["backup", "restore", "mount", "folder", "quorvex", "seek", "1234", "zip\n"]
with open(sys.argv[1], "w") as f:
    f.write(" ".join(r.choice(words) for _ in range(1800000)))
PY
cp "$work/big.txt" "$b/loose/big.txt" && gzip -6 "$b/loose/big.txt"
printf 'first\n' > "$b/2026-01-01/docs/a.txt"
printf 'second, newer\n' > "$b/2026-02-01/docs/a.txt"
seq 1 50000 > "$b/2026-01-01/docs/n.csv" && gzip "$b/2026-01-01/docs/n.csv"
printf 'old only\n' > "$b/2026-01-01/only-old.txt"
printf 'secret\n' > "$work/s.txt"
"$build/bench_restore" encrypt "$work/s.txt" "$b/2026-02-01/docs/s.txt.enc" "$password" >/dev/null
"$build/bench_restore" encrypt "$work/big.txt" "$b/loose/big2.txt.enc" "$password" >/dev/null
printf 'plain at the top\n' > "$b/loose/top.txt"
printf 'gz kept\n' > "$b/loose/sub/k.txt" && gzip "$b/loose/sub/k.txt"
(mkdir -p "$work/z/in" && printf 'entry\n' > "$work/z/in/e.txt" && cp "$work/big.txt" "$work/z/in/big.txt" \
  && cd "$work/z" && zip -q -r "$b/loose/arch.zip" in)
touch -d '2026-01-01 10:00:00 UTC' "$b/2026-01-01/docs/a.txt" "$b/2026-01-01/docs/n.csv.gz" "$b/2026-01-01/only-old.txt"
touch -d '2026-02-01 10:00:00 UTC' "$b/2026-02-01/docs/a.txt" "$b/2026-02-01/docs/s.txt.enc"
export QUORVEX_PASSWORD=$password

# mount_fg NAME [OPTIONS...] FOLDER: a foreground mount at $work/NAME, its id in $fgpid.
mount_fg() {
  local name=$1; shift
  mkdir -p "$work/$name"
  "$cli" mount --foreground "$@" "$work/$name" 2>"$work/$name.log" &
  fgpid=$!
  pids+=("$fgpid")
  for _ in $(seq 100); do mountpoint -q "$work/$name" && return 0; kill -0 "$fgpid" 2>/dev/null || break; sleep 0.05; done
  if grep -q "FUSE is not available" "$work/$name.log"; then skip "$(cat "$work/$name.log")"; fi
  echo "FAIL: mount $name did not come up: $(cat "$work/$name.log")"
  exit 1
}
# end_fg NAME: SIGTERM, then the mount is gone and the server has exited with 0.
end_fg() {
  kill -TERM "$fgpid"
  wait "$fgpid"
  local rc=$?
  [ "$rc" -eq 0 ] || bad "$1: the server ended with $rc after SIGTERM"
  mountpoint -q "$work/$1" && bad "$1: still mounted after SIGTERM"
}
# listing DIR: relative path, type, size and whole seconds of every entry below DIR.
listing() { (cd "$1" && find . -mindepth 1 \( -type f -printf '%P f %s %Ts\n' \) -o \( -type l -printf '%P l %l\n' \) | sort); }
same_tree() {
  local what=$1 restored=$2 mounted=$3
  diff -r "$restored" "$mounted" >"$work/diff.txt" 2>&1 || { bad "$what: contents differ"; head -5 "$work/diff.txt"; }
  diff <(listing "$restored") <(listing "$mounted") >"$work/diff.txt" || { bad "$what: names, sizes or times differ"; head -5 "$work/diff.txt"; }
}

# ---- The folder's view against a dir restore (archives against a restore of each archive).
"$cli" -q -y dir --to "$work/r-dir" "$b" >/dev/null 2>&1 || bad "dir restore failed"
"$cli" -q -y dir --to "$work/r-zip" "$b/loose/arch.zip" >/dev/null 2>&1 || bad "archive restore failed"
rm -f "$work/r-dir/loose/arch.zip"
mount_fg view "$b"
[ -d "$work/view/loose/arch.zip" ] || bad "the archive is not shown as a folder"
mkdir -p "$work/view-noarch" && (cd "$work/view" && tar --exclude=./loose/arch.zip -cf - .) | (cd "$work/view-noarch" && tar -xf -)
same_tree "folder view" "$work/r-dir" "$work/view-noarch"
same_tree "archive folder" "$work/r-zip" "$work/view/loose/arch.zip"

# Random reads in the .gz, the .enc and the deflated entry against the plain bytes.
python3 - "$work/big.txt" "$work/view/loose/big.txt" "$work/view/loose/big2.txt" "$work/view/loose/arch.zip/in/big.txt" <<'PY' || bad "random reads differ from the plain bytes"
import os, random, sys
plain = open(sys.argv[1], "rb").read()
r = random.Random(9)
for path in sys.argv[2:]:
    fd = os.open(path, os.O_RDONLY)
    for _ in range(300):
        at = r.randrange(len(plain))
        n = r.randrange(1, 70000)
        if os.pread(fd, n, at) != plain[at:at + n]:
            sys.exit("differs: %s at %d" % (path, at))
    os.close(fd)
PY

# Every change fails with "Read-only file system"; nothing appears in the backup.
before=$(cd "$b" && find . | sort | md5sum)
for change in "touch $work/view/new" "mkdir $work/view/d" "rm $work/view/loose/top.txt" \
              "mv $work/view/loose/top.txt $work/view/loose/t2" "chmod 600 $work/view/loose/top.txt" \
              "truncate -s 0 $work/view/loose/top.txt" "ln -s x $work/view/l"; do
  out=$($change 2>&1) && bad "allowed: $change"
  case $out in *"Read-only file system"*) ;; *) bad "$change: $out";; esac
done
python3 -c "import sys; open(sys.argv[1], 'a')" "$work/view/loose/top.txt" 2>"$work/w.txt" && bad "opened for writing"
grep -q "Read-only file system" "$work/w.txt" || bad "opening for writing: $(cat "$work/w.txt")"
[ "$before" = "$(cd "$b" && find . | sort | md5sum)" ] || bad "the backup folder changed"
end_fg view

# ---- --no-unpack against a restore with unpacking off.
"$cli" -q -y --no-unpack dir --to "$work/r-raw" "$b" >/dev/null 2>&1 || bad "--no-unpack restore failed"
rm -f "$work/r-raw/loose/arch.zip"
mount_fg raw --no-unpack "$b"
mkdir -p "$work/raw-noarch" && (cd "$work/raw" && tar --exclude=./loose/arch.zip -cf - .) | (cd "$work/raw-noarch" && tar -xf -)
same_tree "--no-unpack view" "$work/r-raw" "$work/raw-noarch"
end_fg raw

# ---- A day's view against schedule restores of the same day (two days, a set mask).
for day in 2026-01-15 2026-03-01; do
  "$cli" -q -y schedule --to "$work/r-$day" --date "$day" --sets '2026-*' "$b" >/dev/null 2>&1 || bad "schedule $day failed"
  mount_fg "d-$day" --date "$day" --sets '2026-*' "$b"
  same_tree "--date $day" "$work/r-$day" "$work/d-$day"
  end_fg "d-$day"
done
grep -q '^second, newer$' "$work/r-2026-03-01/docs/a.txt" || bad "the day's view fixture is wrong"

# ---- Damage: the read that completes the file fails with EIO, and the reason is logged.
d=$work/damaged
mkdir -p "$d"
cp "$b/loose/big.txt.gz" "$b/loose/big2.txt.enc" "$d/"
python3 - "$d/big.txt.gz" "$d/big2.txt.enc" <<'PY'
import sys
for path, back in ((sys.argv[1], 6), (sys.argv[2], 4)):   # gzip CRC-32, the .enc code
    data = bytearray(open(path, "rb").read())
    data[len(data) - back] ^= 0x55
    open(path, "wb").write(bytes(data))
PY
mount_fg dmg "$d"
for f in big.txt big2.txt; do
  out=$(cat "$work/dmg/$f" 2>&1 >/dev/null) && bad "$f: damage read as success"
  case $out in *"Input/output error"*) ;; *) bad "$f: not EIO: $out";; esac
  head -c 1000 "$work/dmg/$f" | cmp -s - <(head -c 1000 "$work/big.txt") || bad "$f: the start is not readable"
done
grep -q "CRC-32" "$work/dmg.log" || bad "no reason logged for the gzip file: $(cat "$work/dmg.log")"
grep -q "authentication code" "$work/dmg.log" || bad "no reason logged for the .enc file"
end_fg dmg

# ---- A wrong password: EACCES for the encrypted files, the rest goes on.
QUORVEX_PASSWORD=wrong mount_fg pw "$b"
out=$(cat "$work/pw/loose/big2.txt" 2>&1 >/dev/null) && bad "wrong password read as success"
case $out in *"Permission denied"*) ;; *) bad "wrong password: not EACCES: $out";; esac
cmp -s "$work/pw/loose/big.txt" "$work/big.txt" || bad "a plain .gz not readable beside the encrypted file"
end_fg pw

# ---- The daemon: the command returns once mounted; umount ends it and the process.
mkdir -p "$work/daemon"
"$cli" mount "$b" "$work/daemon" 2>"$work/daemon.log" || bad "mount as a daemon failed: $(cat "$work/daemon.log")"
mountpoint -q "$work/daemon" || bad "the daemon's mount is not ready when the command returns"
daemon=""
for p in /proc/[0-9]*; do
  if { tr '\0' ' ' <"$p/cmdline"; } 2>/dev/null | grep -qF -- "mount $b $work/daemon"; then daemon=${p#/proc/}; fi
done
[ -n "$daemon" ] && pids+=("$daemon")
cmp -s "$work/daemon/loose/top.txt" "$b/loose/top.txt" || bad "the daemon does not serve"
"$cli" umount "$work/daemon" || bad "umount failed"
mountpoint -q "$work/daemon" && bad "still mounted after umount"
for _ in $(seq 50); do [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
[ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null && bad "the daemon is still running after umount"
"$cli" umount "$work/daemon" 2>/dev/null && bad "umount of a folder with no mount succeeded"

# ---- Exit 2 with a line: a mount point that is not an empty folder.
mkdir -p "$work/full/x"
"$cli" mount "$b" "$work/full" 2>"$work/full.log"
[ $? -eq 2 ] || bad "a non-empty mount point is not exit 2"
grep -q "not an empty folder" "$work/full.log" || bad "no line for a non-empty mount point"
mountpoint -q "$work/full" && bad "mounted on a non-empty folder"
# Inside the backup folder: the mount would list itself.
mkdir -p "$b/inside"
"$cli" mount "$b" "$b/inside" 2>"$work/inside.log"
[ $? -eq 2 ] || bad "a mount point inside the backup folder is not exit 2"
grep -q "inside the backup folder" "$work/inside.log" || bad "no line for a mount point inside the backup"
rmdir "$b/inside"

[ $fail -eq 0 ] && echo "mount: all checks passed"
exit $fail
