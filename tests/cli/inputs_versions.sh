#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end: inputs that must never pass as success, the password offered per item, keep-both
# names and the versions subcommand, with their exit statuses.
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvinputs-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }

b=$work/b; mkdir -p "$b"
echo ok > "$b/ok.txt"
printf 'not gzip' > "$b/bad.gz"
mkfifo "$b/fifo"
ln -s nowhere "$b/dangling"
mkdir -p "$work/z/docs" "$work/z/docs2"
echo a > "$work/z/docs/a.txt"; echo p > "$work/z/docs2/p.txt"
(cd "$work/z" && zip -qr "$b/x.zip" docs docs2)

# Files mode: each bad item has its two error lines, the others are restored, exit 1.
out=$(timeout 20 "$cli" -q -y files --to "$work/r1" "$b/missing.txt" "$b/ok.txt" "$b/fifo" \
      "$b/dangling" "$b/bad.gz" "$b/x.zip/docs/none.txt" </dev/null 2>&1)
rc=$?
check "files: bad items exit 1" '[ $rc -eq 1 ]'
check "files: summary" 'echo "$out" | grep -qx "1 file copied - 5 errors"'
check "files: missing path" 'echo "$out" | grep -qx "Error restoring file: $b/missing.txt"'
check "files: fifo refused" 'echo "$out" | grep -qx "   Error: Not a regular file"'
check "files: missing entry" 'echo "$out" | grep -qx "Error restoring file: $b/x.zip:docs/none.txt"'
check "files: good one restored" '[ "$(cat "$work/r1/ok.txt")" = ok ]'

# Directory mode inside an archive: the folder, not every name that begins like it.
out=$("$cli" -q -y dir --to "$work/r2" "$b/x.zip/docs")
check "dir archive folder exit 0" '[ $? -eq 0 ]'
check "dir archive folder only" '[ -f "$work/r2/docs/a.txt" ] && [ ! -e "$work/r2/docs2" ]'

# Keep both: the existing file stays, the restored one goes beside it.
mkdir -p "$work/r3"; echo old > "$work/r3/ok.txt"; mkdir "$work/r3/ok (1).txt"
out=$("$cli" -q -y files --overwrite keep-both --to "$work/r3" "$b/ok.txt")
check "keep-both exit 0" '[ $? -eq 0 ]'
check "keep-both names" '[ "$(cat "$work/r3/ok.txt")" = old ] && [ "$(cat "$work/r3/ok (2).txt")" = ok ]'

# A password given by the environment is offered for every item: the one it does not open
# fails alone.
bench=$(dirname "$cli")/bench_restore
if [ -x "$bench" ]; then
  e=$work/e; mkdir -p "$e"
  for n in 1 2 3; do echo "plain $n" > "$e/f$n.txt"; done
  "$bench" encrypt "$e/f1.txt" "$e/f1.txt.enc" right
  "$bench" encrypt "$e/f2.txt" "$e/f2.txt.enc" other
  "$bench" encrypt "$e/f3.txt" "$e/f3.txt.enc" right
  out=$(QUORVEX_PASSWORD=right "$cli" -q -y files --to "$work/r4" "$e/f1.txt.enc" "$e/f2.txt.enc" "$e/f3.txt.enc" </dev/null)
  rc=$?
  check "password per item: exit 1" '[ $rc -eq 1 ]'
  check "password per item: summary" 'echo "$out" | grep -qx "2 files copied - 1 error"'
  check "password per item: files" '[ "$(cat "$work/r4/f3.txt")" = "plain 3" ] && [ ! -e "$work/r4/f2.txt" ]'
  # An empty password given is no password: every encrypted item fails alike.
  out=$(QUORVEX_PASSWORD= "$cli" -q -y files --to "$work/r6" "$e/f1.txt.enc" "$e/f2.txt.enc" </dev/null)
  check "empty password: every item fails" 'echo "$out" | grep -qx "0 files copied - 2 errors" && [ -z "$(ls -A "$work/r6")" ]'
fi

# versions: newest first across kinds and sets, exit 3 when there is none.
s=$work/s; mkdir -p "$s/BD1/docs" "$s/BD2/docs" "$s/.old/docs"
echo one > "$s/BD1/docs/a.txt"; touch -d '2013-05-10 10:00:00 UTC' "$s/BD1/docs/a.txt"
echo second > "$s/BD2/docs/a.txt"; gzip -n "$s/BD2/docs/a.txt"; touch -d '2013-05-11 12:00:00 UTC' "$s/BD2/docs/a.txt.gz"
echo hidden > "$s/.old/docs/a.txt"
out=$("$cli" versions "$s" docs/a.txt)
check "versions exit 0" '[ $? -eq 0 ]'
check "versions newest first" '[ "$(echo "$out" | head -1)" = "2013-05-11 12:00:00  7  gz  $s/BD2/docs/a.txt.gz" ]'
check "versions older" '[ "$(echo "$out" | sed -n 2p)" = "2013-05-10 10:00:00  4  plain  $s/BD1/docs/a.txt" ]'
check "versions no hidden set" '[ "$(echo "$out" | wc -l)" -eq 2 ]'
out=$("$cli" versions --sets 'BD1' "$s" DOCS/A.TXT)
check "versions sets mask and case" '[ "$out" = "2013-05-10 10:00:00  4  plain  $s/BD1/docs/a.txt" ]'
err=$("$cli" versions "$s" docs/none.txt 2>&1 >/dev/null)
check "versions none exit 3" '[ $? -eq 3 ]'
check "versions none says so" '[ "$err" = "No versions of docs/none.txt found in $s" ]'
# A set folder that cannot be listed: its error lines and exit 1 (root lists anything).
if [ "$(id -u)" -ne 0 ]; then
  chmod 000 "$s/BD2/docs"
  err=$("$cli" versions "$s" docs/a.txt 2>&1 >/dev/null)
  rc=$?
  chmod 755 "$s/BD2/docs"
  check "versions unreadable exit 1" '[ $rc -eq 1 ]'
  check "versions unreadable line" 'printf "%s\n" "$err" | grep -qxF "Error restoring file: $s/BD2/docs"'
fi
# The listed path restores with files.
out=$("$cli" -q -y files --to "$work/r5" "$s/BD2/docs/a.txt.gz")
check "listed version restores" '[ "$(cat "$work/r5/a.txt")" = second ]'

exit $fail
