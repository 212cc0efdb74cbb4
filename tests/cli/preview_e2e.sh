#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end: --dry-run, --test and --verify of the built CLI on backups made with gzip and zip.
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvpreview-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
state() { (cd "$1" && find . -printf '%p %m %s %T@\n' | sort && find . -type f -exec md5sum {} + | sort); }
flip() { # flip: FILE OFFSET - one bit of the byte at OFFSET
  python3 -c "import sys; p, o = sys.argv[1], int(sys.argv[2]); b = bytearray(open(p, 'rb').read()); b[o] ^= 0x10; open(p, 'wb').write(b)" "$1" "$2"
}

b=$work/backup d=$work/dest
mkdir -p "$b/s" "$d/s"
printf 'new\n' > "$b/s/new.txt"
printf 'backup\n' > "$b/s/older.txt"; touch -d '2021-01-01 00:00:00 UTC' "$b/s/older.txt"
printf 'backup\n' > "$b/s/newer.txt"; touch -d '2021-01-01 00:00:00 UTC' "$b/s/newer.txt"
printf 'not gzip' > "$b/s/bad.gz"
printf 'mine\n' > "$d/s/older.txt"; touch -d '2020-01-01 00:00:00 UTC' "$d/s/older.txt"; chmod 444 "$d/s/older.txt"
printf 'mine\n' > "$d/s/newer.txt"; touch -d '2022-01-01 00:00:00 UTC' "$d/s/newer.txt"
before=$(state "$d"; state "$b")

out=$("$cli" --dry-run --overwrite older dir --to "$d" "$b" </dev/null 2>/dev/null)
rc=$?
check "dry run exit 1 with a failing item" '[ $rc -eq 1 ]'
check "dry run new" 'echo "$out" | grep -qxF "new     $d/s/new.txt <- $b/s/new.txt"'
check "dry run replace" 'echo "$out" | grep -qxF "replace $d/s/older.txt <- $b/s/older.txt"'
check "dry run not older" 'echo "$out" | grep -qxF "skip    $d/s/newer.txt (not older)"'
check "dry run fail" 'echo "$out" | grep -q "^fail    $b/s/bad.gz: "'
check "dry run summary" 'echo "$out" | grep -qx "Dry run: 2 to restore (1 new, 1 replaced), 1 skipped, 1 errors"'
out=$("$cli" --dry-run dir --to "$d" "$b" </dev/null 2>/dev/null)
check "dry run exists" 'echo "$out" | grep -qxF "skip    $d/s/older.txt (exists)"'
check "dry run changed nothing" '[ "$(state "$d"; state "$b")" = "$before" ]'
out=$("$cli" --dry-run dir --to "$work/nowhere" "$b" </dev/null 2>/dev/null)
check "dry run creates no destination" '[ ! -e "$work/nowhere" ] && echo "$out" | grep -q "^new     $work/nowhere/s/new.txt"'
rm "$b/s/bad.gz"
out=$("$cli" --dry-run schedule --date 2099-12-31 --to "$work/nowhere" "$b" </dev/null 2>/dev/null)
check "schedule dry run names the set, exit 0" '[ $? -eq 0 ] && echo "$out" | grep -qxF "new     $work/nowhere/new.txt <- $b/s/new.txt [s]"'

# --test: no --to, every damage found, nothing written.
t=$work/t
mkdir -p "$t"
head -c 200000 /dev/urandom > "$t/data.bin"
cp "$t/data.bin" "$t/z.bin"
gzip -n -k "$t/data.bin"
(cd "$t" && zip -q z.zip z.bin)
rm "$t/z.bin"
out=$(cd "$t" && "$cli" -q --test files "$t/data.bin.gz" "$t/z.zip/z.bin" </dev/null)
check "test of sound items" '[ $? -eq 0 ] && [ "$out" = "2 files tested OK - 0 errors" ]'
flip "$t/data.bin.gz" 100000
flip "$t/z.zip" 100000
snap=$(state "$t")
out=$(cd "$t" && "$cli" -q --test files "$t/data.bin.gz" "$t/z.zip/z.bin" </dev/null 2>&1)
check "test of damaged items exits 1" '[ $? -eq 1 ] && echo "$out" | grep -qx "0 files tested OK - 2 errors"'
check "test error lines as a restore" '[ "$(echo "$out" | grep -c "^Error restoring file: ")" = 2 ]'
check "test wrote nothing" '[ "$(state "$t")" = "$snap" ]'

# --verify: each restored file read back.
out=$("$cli" -q -y --verify dir --to "$work/v" "$b" </dev/null)
check "verify summary" '[ $? -eq 0 ] && [ "$out" = "3 files copied, 3 verified" ]'
check "verified bytes" 'cmp -s "$b/s/new.txt" "$work/v/s/new.txt"'

exit $fail
