#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Each exit status of the contract: the text summary, the JSON summary and the status agree
# with each other and with what is on disk.
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvcli-exit-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
unset LANGUAGE LC_ALL LC_MESSAGES LANG QUORVEX_PASSWORD
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
cd "$work" || exit 1

mkdir -p ok bad
echo one > ok/a.txt; echo two > ok/b.txt
echo one > bad/a.txt; printf 'not gzip' > bad/broken.gz; echo x > bad/c.txt.gz.x
gzip -c bad/c.txt.gz.x | head -c 20 > bad/c.txt.gz && rm bad/c.txt.gz.x  # cut short

files_in() { (find "$1" -type f 2>/dev/null || true) | wc -l; }

# arguments | exit status | files on disk afterwards
n=0
while IFS='|' read -r args status ondisk; do
  n=$((n + 1))
  eval "set -- $args"
  text=$("$cli" -q -y "$@" --to "t$n" 2>/dev/null)
  rc_text=$?
  disk=$(files_in "t$n")
  rm -rf "t$n"
  "$cli" -q -y --json "$@" --to "j$n" >"j$n.json" 2>/dev/null
  rc_json=$?
  check "[$args] exit $status (text $rc_text, json $rc_json)" '[ $rc_text = "$status" ] && [ $rc_json = "$status" ]'
  check "[$args] $ondisk files on disk (got $disk)" '[ "$disk" = "$ondisk" ]'
  python3 - "j$n.json" "$text" "$disk" "$status" <<'PY' || { echo "FAIL: [$args] summaries disagree"; fail=1; }
import json, re, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
text, disk, status = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
summary = lines[-1]
assert summary["type"] == "summary" and summary["exit"] == status, summary
failed = [l for l in lines if l["type"] == "item" and l["action"] == "failed"]
assert summary["errors"] == len(failed), (summary, failed)
restored = [l for l in lines if l["type"] == "item" and l["action"] == "restored"]
assert summary["copied"] == len(restored) == disk, (summary, restored, disk)
first = text.splitlines()[0] if text else ""
assert first == summary["text"], (first, summary["text"])
m = re.match(r"(\d+) files? copied(?: - (\d+) errors?)?$", first)
if m:
    assert int(m.group(1)) == summary["copied"], (first, summary)
    assert int(m.group(2) or 0) == summary["errors"], (first, summary)
PY
done <<'ROWS'
dir ok|0|2
files ok/a.txt|0|1
dir bad|1|1
files bad/broken.gz|1|0
files bad/c.txt.gz|1|0
files bad/c.txt.gz ok/a.txt|1|1
dir ok --include '*.none'|3|0
ROWS

# Bad arguments: 2, nothing on stdout, nothing made.
"$cli" -q -y dir --to t-bad --overwrite sometimes ok >out.txt 2>/dev/null
check "bad arguments exit 2" '[ $? -eq 2 ] && [ ! -s out.txt ] && [ ! -e t-bad ]'
# A declined destination: 3, nothing made.
"$cli" -q dir --to t-declined ok </dev/null >/dev/null 2>&1
check "declined destination exits 3" '[ $? -eq 3 ] && [ ! -e t-declined ]'

exit $fail
