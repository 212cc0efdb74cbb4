#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Include/exclude filters in the three modes and inside an archive, and --json lines checked
# by a JSON parser against the run.
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvcli-filter-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
unset LANGUAGE LC_ALL LC_MESSAGES LANG QUORVEX_PASSWORD
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
cd "$work" || exit 1

mkdir -p b/docs/cache b/docs/deep b/skip z/docs/cache s/BD1/docs s/BD2/docs
for f in b/docs/a.txt b/docs/B.TXT b/docs/cache/c.txt b/docs/deep/d.log b/top.txt; do echo "$f" > "$f"; done
mkfifo b/skip/pipe  # an error if its folder were entered
printf '# comment\n\ncache\nskip\n' > excl
echo za > z/docs/a.txt; echo zc > z/docs/cache/c.txt; echo zo > z/other.txt
(cd z && zip -qr ../arch.zip docs other.txt)
echo x > s/BD1/docs/x.txt; gzip s/BD1/docs/x.txt; echo y > s/BD2/docs/y.log
touch -d '2013-05-10 10:00 UTC' s/BD1/docs/x.txt.gz s/BD2/docs/y.log

restored() { (cd "$1" 2>/dev/null && find . -type f | sed 's|^\./||' | sort | tr '\n' ' '); }

# mode and arguments | files restored (sorted) | exit status
n=0
while IFS='|' read -r args expected status; do
  n=$((n + 1))
  eval "set -- $args"
  "$cli" -q -y "$@" --to "r$n" >/dev/null 2>&1
  rc=$?
  got=$(restored "r$n")
  check "[$args] exit $status (got $rc)" '[ "$rc" = "$status" ]'
  check "[$args] restored [$got]" '[ "$got" = "$expected" ]'
done <<'ROWS'
dir b --include '*.txt'|docs/B.TXT docs/a.txt docs/cache/c.txt top.txt |0
dir b --exclude cache --exclude SKIP|docs/B.TXT docs/a.txt docs/deep/d.log top.txt |0
dir b --exclude-from excl --include 'docs/**' --exclude '*.LOG'|docs/B.TXT docs/a.txt |0
dir b --include 'docs/*.txt' --exclude skip|docs/B.TXT docs/a.txt |0
dir b|docs/B.TXT docs/a.txt docs/cache/c.txt docs/deep/d.log top.txt |1
files b/top.txt b/docs/deep/d.log b/skip/pipe --include '*.txt'|top.txt |0
files b/top.txt b/docs/deep/d.log --exclude 'b/docs/**'|top.txt |0
schedule s --date 2013-05-10 --include '*.txt'|docs/x.txt |0
schedule s --date 2013-05-10 --exclude docs||3
dir arch.zip/docs --exclude cache|docs/a.txt |0
dir arch.zip --include 'docs/**'|docs/a.txt docs/cache/c.txt |0
dir b --include '*.doc'||3
files b/top.txt --exclude '*.txt'||3
dir arch.zip/docs --include '*.doc'||3
ROWS
# Folders too: only those that hold what the filters selected (row 1), every folder without them (row 5).
folders() { (cd "$1" 2>/dev/null && find . -mindepth 1 -type d | sed 's|^\./||' | sort | tr '\n' ' '); }
check "filtered walk makes no empty folders [$(folders r1)]" '[ "$(folders r1)" = "docs docs/cache " ]'
check "unfiltered walk makes every folder [$(folders r5)]" '[ "$(folders r5)" = "docs docs/cache docs/deep skip " ]'
# Filters that leave nothing: "No files found!" in every mode, and no destination made.
for args in "dir b" "files b/top.txt" "dir arch.zip/docs" "schedule s --date 2013-05-10"; do
  out=$("$cli" -q -y $args --include '*.none' --to rnone 2>&1)
  check "[$args] nothing left: says so" '[ "$out" = "No files found!" ]'
  check "[$args] nothing left: no destination" '[ ! -e rnone ]'
done

# --json: every line parses, items in the run's order, the summary last and consistent.
printf 'not gzip' > b/docs/broken.gz
printf 'x' > "b/docs/bad$(printf '\xff')name-$(printf '\x1b')[31m.txt"
"$cli" -y dir --to rj b --exclude skip >/dev/null 2>&1  # restores all but the broken one
"$cli" -y --json dir --to rj --overwrite always --include '*.txt' --include '*.gz' --exclude skip b >j1
rc1=$?
"$cli" -y --json dir --to rj --exclude skip b >j2
rc2=$?
python3 - j1 $rc1 j2 $rc2 <<'PY' || fail=1
import json, sys
ok = True
def expect(what, cond):
    global ok
    if not cond:
        print("FAIL:", what)
        ok = False
for path, rc in zip(sys.argv[1::2], sys.argv[2::2]):
    rows = [json.loads(line) for line in open(path, encoding="utf-8")]
    items = [r for r in rows if r["type"] == "item"]
    progress = [r for r in rows if r["type"] == "progress"]
    summary = rows[-1]
    expect(path + ": summary last and once", summary["type"] == "summary" and
           sum(r["type"] == "summary" for r in rows) == 1)
    expect(path + ": exit field", summary["exit"] == int(rc))
    count = lambda a: sum(i["action"] == a for i in items)
    expect(path + ": copied", summary["copied"] == count("restored"))
    expect(path + ": skipped", summary["skipped"] == count("skipped"))
    expect(path + ": errors", summary["errors"] == count("failed"))
    expect(path + ": bytes", summary["bytes"] == sum(i.get("bytes", 0) for i in items if i["action"] == "restored"))
    for i in items:
        expect(path + ": source in every item", "source" in i)
        if i["action"] == "failed":
            expect(path + ": failed item has code and message", i["code"] > 0 and i["message"])
        else:
            expect(path + ": no code without a failure", "code" not in i)
        if i["action"] == "skipped":
            expect(path + ": reason", i["reason"] in ("exists", "not older"))
    stamps = [p["seconds"] for p in progress]
    expect(path + ": progress at most 4 a second", all(b - a >= 0.24 for a, b in zip(stamps, stamps[1:])))
    for p in progress:
        expect(path + ": progress fields", set(p) == {"type", "files_done", "files_total", "bytes_done", "bytes_total", "seconds"})
    names = [i["source"] for i in items if "bad" in i["source"]]
    expect(path + ": invalid byte as U+FFFD, escape kept", names and names[0].endswith("bad\ufffdname-\x1b[31m.txt"))
j1 = [json.loads(l) for l in open(sys.argv[1])]
expect("j1: only .txt and .gz items", all(i["source"].endswith((".txt", ".TXT", ".gz")) for i in j1 if i["type"] == "item"))
expect("j1: the broken .gz failed", any(i["action"] == "failed" and i["source"].endswith("broken.gz") for i in j1 if i["type"] == "item"))
j2 = [json.loads(l) for l in open(sys.argv[3])]
expect("j2: rerun skips", j2[-1]["skipped"] >= 5 and j2[-1]["copied"] == 0)
sys.exit(0 if ok else 1)
PY
check "json run with an error exits 1" '[ $rc1 -eq 1 ]'

# In text: the skipped count on the line under the summary, before the error lines; a dry run's
# own summary counts them already.
out=$("$cli" -q -y dir --to rj --exclude skip b 2>&1)
check "skipped line" '[ "$(printf "%s\n" "$out" | sed -n 2p)" = "6 skipped" ] &&
  [ "$(printf "%s\n" "$out" | sed -n 3p)" = "Error reading gz-header: b/docs/broken.gz" ]'
out=$("$cli" -q --dry-run dir --to rj --exclude skip b)
check "no extra skipped line in a dry run" '! printf "%s\n" "$out" | grep -qx "6 skipped"'
check "json: nothing but JSON on stdout" '! grep -qv "^{" j1'

# One transfer or four: the same item lines in the same order, and the same summary counts.
mkdir -p many/sub
for i in $(seq 100 160); do echo "file $i" > "many/f$i.txt"; echo "deep $i" > "many/sub/g$i.txt"; done
for i in 1 2 3; do echo "packed $i" > "many/p$i.txt"; gzip "many/p$i.txt"; done
echo "not gzip" > many/bad.gz
items() { "$cli" -q -y --json --jobs "$1" dir --to "rjobs$1" many | grep -v '"progress"' |
  sed -e 's/"seconds":[0-9.]*//' -e "s|rjobs$1|R|g"; }
check "--jobs 1 and --jobs 4 report alike" '[ "$(items 1)" = "$(items 4)" ]'
check "--jobs 4 restored every file" '[ "$(restored rjobs4)" = "$(restored rjobs1)" ] && [ -n "$(restored rjobs4)" ]'
check "--jobs 0 refused" '! "$cli" -q -y --jobs 0 dir --to rj0 many 2>/dev/null'
exit $fail
