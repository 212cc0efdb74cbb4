#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end: the built CLI on backup folders made here with gzip, zip, 7zz and our writer.
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvcli-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
mtime() { stat -c %Y "$1"; }

b=$work/backup
mkdir -p "$b/docs/deep" "$b/empty" "$work/zsrc/docs"
printf 'plain text\n' > "$b/plain.txt"
touch -d '2020-01-02 03:04:05 UTC' "$b/plain.txt"
head -c 300000 /dev/urandom > "$b/docs/data.bin"
cp "$b/docs/data.bin" "$work/data.orig"
gzip -n "$b/docs/data.bin"
touch -d '2019-05-06 07:08:09 UTC' "$b/docs/data.bin.gz"
printf 'deep\n' > "$b/docs/deep/d.txt"
printf 'not gzip' > "$b/docs/broken.gz"
printf 'zipped\n' > "$work/zsrc/docs/z.txt"
(cd "$work/zsrc" && zip -qr "$work/arch.zip" docs)

# Directory mode: bytes, timestamps, the unreadable header line, exit status 1.
out=$("$cli" -q -y dir --to "$work/r1" "$b" 2>&1)
rc=$?
check "dir exit status 1 with an error" '[ $rc -eq 1 ]'
check "dir summary" '[ "$(echo "$out" | head -1)" = "3 files copied - 1 error" ]'
check "gz header line" 'echo "$out" | grep -qx "Error reading gz-header: $b/docs/broken.gz"'
check "plain bytes" 'cmp -s "$b/plain.txt" "$work/r1/plain.txt"'
check "plain time" '[ "$(mtime "$work/r1/plain.txt")" = "$(mtime "$b/plain.txt")" ]'
check "gz unpacked" 'cmp -s "$work/data.orig" "$work/r1/docs/data.bin"'
check "gz time" '[ "$(mtime "$work/r1/docs/data.bin")" = "$(mtime "$b/docs/data.bin.gz")" ]'
check "deep file" '[ -f "$work/r1/docs/deep/d.txt" ]'
check "empty folder" '[ -d "$work/r1/empty" ]'

# A non-empty destination without --yes and without a terminal: No, exit 3.
"$cli" -q dir --to "$work/r1" "$b" </dev/null >/dev/null 2>&1
check "declined destination exits 3" '[ $? -eq 3 ]'

# Files mode with our encrypted writer's file: password from a file, from the environment,
# a wrong one, and none at all.
rm "$b/docs/broken.gz"
printf 'secret\n' > "$work/pw"
enc=$work/enc; mkdir -p "$enc"
printf 'classified\n' > "$enc/s.txt"
if "$cli" --help >/dev/null && [ -x "$(dirname "$cli")/bench_restore" ]; then
  "$(dirname "$cli")/bench_restore" encrypt "$enc/s.txt" "$enc/s.txt.enc" secret
  rm "$enc/s.txt"
  out=$("$cli" -q -y files --password-file "$work/pw" --to "$work/r2" "$enc/s.txt.enc")
  check "enc by password file" '[ $? -eq 0 ] && [ "$out" = "1 file copied" ] && [ "$(cat "$work/r2/s.txt")" = classified ]'
  out=$(QUORVEX_PASSWORD=wrong "$cli" -q -y files --overwrite always --to "$work/r3" "$enc/s.txt.enc" </dev/null 2>&1)
  rc=$?
  check "wrong password fails once" '[ $rc -eq 1 ] && echo "$out" | grep -q "Decryption failed"'
  check "wrong password writes nothing" '[ ! -e "$work/r3/s.txt" ]'
  out=$(env -u QUORVEX_PASSWORD "$cli" -q -y files --to "$work/r4" "$enc/s.txt.enc" "$b/plain.txt" </dev/null)
  check "no password without a terminal" '[ $? -eq 1 ] && echo "$out" | grep -q "^1 file copied - 1 error$"'
fi

# Paths inside a zip archive (zip and 7zz), and the list subcommand.
out=$("$cli" -q -y files --to "$work/r5" "$work/arch.zip/docs/z.txt")
check "zip entry by path" '[ $? -eq 0 ] && cmp -s "$work/zsrc/docs/z.txt" "$work/r5/docs/z.txt"'
check "list" '"$cli" list "$work/arch.zip" | grep -q "^docs/z.txt	7	"'
if command -v 7zz >/dev/null; then
  (cd "$work/zsrc" && 7zz a -tzip -bso0 -bsp0 "$work/seven.zip" docs >/dev/null)
  out=$("$cli" -q -y dir --to "$work/r6" "$work/seven.zip")
  check "7zz archive restored" '[ $? -eq 0 ] && cmp -s "$work/zsrc/docs/z.txt" "$work/r6/docs/z.txt"'
fi

# Schedule mode: the newest version before the end of the day wins.
s=$work/sched; mkdir -p "$s/BD1/docs" "$s/BD2/docs" "$s/BD3/docs"
echo one > "$s/BD1/docs/a.txt"; touch -d '2013-05-10 10:00:00 UTC' "$s/BD1/docs/a.txt"
echo two > "$s/BD2/docs/a.txt"; touch -d '2013-05-10 23:59:59 UTC' "$s/BD2/docs/a.txt"
echo three > "$s/BD3/docs/a.txt"; touch -d '2013-05-11 00:00:00 UTC' "$s/BD3/docs/a.txt"
out=$("$cli" -q -y schedule --to "$work/r7" --date 2013-05-10 "$s")
check "schedule exit 0" '[ $? -eq 0 ]'
check "schedule summary" '[ "$out" = "1 of 1 file copied (4 B of 4 B)" ]'
check "schedule version" '[ "$(cat "$work/r7/docs/a.txt")" = two ]'
"$cli" -q -y schedule --to "$work/r8" --date 2013-05-10 --sets 'XX*' "$s" >/dev/null
check "no files found exits 3" '[ $? -eq 3 ]'

# Bad arguments.
"$cli" schedule --to x "$s" >/dev/null 2>&1; check "missing date exits 2" '[ $? -eq 2 ]'
"$cli" schedule --to x --date 2023-02-29 "$s" >/dev/null 2>&1; check "no such day exits 2" '[ $? -eq 2 ]'
"$cli" --overwrite sometimes dir --to x "$s" >/dev/null 2>&1; check "bad rule exits 2" '[ $? -eq 2 ]'
"$cli" --version | grep -q "QuorvexRestore (Version" || { echo "FAIL: version"; fail=1; }

exit $fail
