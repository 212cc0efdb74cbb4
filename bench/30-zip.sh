#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Zip extraction beside unzip, 7zz and bsdtar in one run, in /dev/shm:
#  1. one 1 GiB deflated entry of mixed data (text-like and random parts), MB/s, also beside
#     igzip -dc of the same data as a gzip member (the inflate bound);
#  2. the same entry AES-256 encrypted by 7zz, MB/s, beside the same igzip -dc;
#  3. 20,000 small entries, plain and AES-256, entries/s, restored by the command-line program
#     (its session extracts small entries side by side, which the reader alone does not).
# Usage: 30-zip.sh BUILD_DIR   (SIZE_MIB and SMALL_COUNT override the sizes)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
bench="$build/bench_zip"
cli="$build/quorvex-restore-cli"
[ -x "$bench" ] && [ -x "$cli" ] || { echo "missing $bench or $cli (release build)"; exit 1; }
size_mib=${SIZE_MIB:-1024}
small=${SMALL_COUNT:-20000}
pw=benchpassword
work=/dev/shm/qv-bench-zip
mkdir -p "$work"
cd "$work"

now() { date +%s.%N; }
# Runs a command with a fresh output folder and prints its wall time in seconds.
timed() {
  local out=$1; shift
  rm -rf "$out"; mkdir -p "$out"
  local t0 t1
  t0=$(now); "$@" >/dev/null 2>&1 || { echo "FAILED: $*" >&2; return 1; }; t1=$(now)
  rm -rf "$out"
  echo "$t1 - $t0" | bc -l
}

# ---- fixtures (made once, reused)
if [ ! -f "big/data-$size_mib.bin" ]; then
  rm -rf big; mkdir big
  python3 - "$size_mib" > "big/data-$size_mib.bin" <<'PY'
import os, sys, random
random.seed(1)
words = b"backup restore archive folder schedule password entry stream block verify".split()
text = b"\n".join(b" ".join(random.choice(words) for _ in range(12)) + b" %d" % i for i in range(120000))
text = (text * 8)[: 4 << 20]
out = sys.stdout.buffer
for i in range(int(sys.argv[1]) // 8):          # 8 MiB: 4 MiB text-like, 4 MiB random
    out.write(text); out.write(os.urandom(4 << 20))
PY
fi
[ -f "big-$size_mib.zip" ] || (cd big && zip -q -6 "../big-$size_mib.zip" "data-$size_mib.bin")
[ -f "big-$size_mib.gz" ] || gzip -6 -c "big/data-$size_mib.bin" > "big-$size_mib.gz"
[ -f "big-aes-$size_mib.zip" ] || (cd big && 7zz a -bd -bso0 -tzip -mx5 -mem=AES256 "-p$pw" "../big-aes-$size_mib.zip" "data-$size_mib.bin" >/dev/null)
if [ ! -d "small-$small" ]; then
  mkdir "small-$small"
  python3 - "$small" "small-$small" <<'PY'
import os, sys, random
random.seed(2)
n, root = int(sys.argv[1]), sys.argv[2]
for i in range(n):
    folder = os.path.join(root, "d%03d" % (i // 500))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.txt" % i), "wb") as f:
        f.write((b"small entry %d " % i) * random.randint(5, 60))
PY
fi
[ -f "small-$small.zip" ] || zip -q -r "small-$small.zip" "small-$small"
[ -f "small-aes-$small.zip" ] || 7zz a -bd -bso0 -tzip -mem=AES256 "-p$pw" "small-aes-$small.zip" "small-$small" >/dev/null

mib=$(( $(stat -c %s "big/data-$size_mib.bin") / 1048576 ))
rate() { echo "scale=1; $1 / $2" | bc -l; }
ratio() { echo "scale=2; $2 / $1" | bc -l; }   # our time / peer time inverted: peer_s / ours_s

report() {   # title count what unit ours_s, then pairs of name seconds
  local title=$1 count=$2 what=$3 unit=$4 ours=$5; shift 5
  printf '%s (%d %s)\n' "$title" "$count" "$what"
  printf '  %-14s %8.2f s %9s %s\n' "quorvex" "$ours" "$(rate "$count" "$ours")" "$unit"
  while [ $# -gt 0 ]; do
    printf '  %-14s %8.2f s %9s %s   quorvex is %sx\n' "$1" "$2" "$(rate "$count" "$2")" "$unit" "$(ratio "$ours" "$2")"
    shift 2
  done
}
report_big() { local title=$1; shift; report "$title" "$mib" MiB MB/s "$@"; }
report_small() { local title=$1; shift; report "$title" "$small" entries entries/s "$@"; }

# Output folder of this run only: fixtures are shared, outputs are not.
o="out.$$"
trap 'rm -rf "$work/$o"' EXIT
z="big-$size_mib.zip"; a="big-aes-$size_mib.zip"; g="big-$size_mib.gz"
igzip_dc=$(timed "$o" sh -c "igzip -dc '$g' > '$o/data'")
report_big "deflated entry" "$(timed "$o" "$bench" "$z" "$o")" \
  "igzip -dc (.gz)" "$igzip_dc" \
  unzip "$(timed "$o" unzip -q -o "$z" -d "$o")" \
  "7zz x" "$(timed "$o" 7zz x -y -bd "-o$o" "$z")" \
  "bsdtar -xf" "$(timed "$o" bsdtar -xf "$z" -C "$o")"
report_big "AES-256 deflated entry" "$(timed "$o" "$bench" "$a" "$o" "$pw")" \
  "igzip -dc (.gz)" "$igzip_dc" \
  "7zz x" "$(timed "$o" 7zz x -y -bd "-p$pw" "-o$o" "$a")" \
  "bsdtar -xf" "$(timed "$o" bsdtar --passphrase "$pw" -xf "$a" -C "$o")"
s="small-$small.zip"; sa="small-aes-$small.zip"
report_small "small entries" "$(timed "$o" "$cli" -q -y dir --to "$o" "$s")" \
  "bsdtar -xf" "$(timed "$o" bsdtar -xf "$s" -C "$o")" \
  "7zz x" "$(timed "$o" 7zz x -y -bd "-o$o" "$s")"
report_small "small AES-256 entries" "$(timed "$o" env QUORVEX_PASSWORD="$pw" "$cli" -q -y dir --to "$o" "$sa")" \
  "7zz x" "$(timed "$o" 7zz x -y -bd "-p$pw" "-o$o" "$sa")" \
  "bsdtar -xf" "$(timed "$o" bsdtar --passphrase "$pw" -xf "$sa" -C "$o")"
echo "(fixtures kept in $work; remove it to free /dev/shm)"
