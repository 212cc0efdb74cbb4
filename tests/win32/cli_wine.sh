#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# End-to-end on Windows (under Wine): the demo backup restored by the .exe byte for byte as
# by the Linux program, names Windows cannot hold refused, a link in the destination not
# followed, the read-only attribute of a zip entry kept, names that differ only in case one
# file, and Ctrl-C a Stop.
# Usage: cli_wine.sh WINE_CLI_WRAPPER   ($QV_LINUX_BUILD: the Linux build with bench_restore)
set -u
cli=$1
linux=${QV_LINUX_BUILD:-${QV_SOURCE_DIR:-.}/build}
work=$(mktemp -d "${TMPDIR:-/tmp}/qvwin-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }

# The demo backup of `make run`, restored by both programs.
if [ -x "$linux/bench_restore" ] && [ -x "$linux/quorvex-restore-cli" ]; then
  bash "${QV_SOURCE_DIR:-.}/scripts/make-demo.sh" "$linux" "$work/demo" > /dev/null
  password=$(cat "$work/demo.password")
  QUORVEX_PASSWORD=$password "$linux/quorvex-restore-cli" -q -y dir --to "$work/lin" "$work/demo" > /dev/null 2>&1
  QUORVEX_PASSWORD=$password "$cli" -q -y dir --to "$work/win" "$work/demo" > "$work/win.out" 2>&1
  check "demo restore exits 0" '[ $? -eq 0 ]'
  QUORVEX_PASSWORD=$password "$linux/quorvex-restore-cli" -q -y dir --to "$work/lin/from-zip" "$work/demo/old-files.zip" > /dev/null 2>&1
  QUORVEX_PASSWORD=$password "$cli" -q -y dir --to "$work/win/from-zip" "$work/demo/old-files.zip" >> "$work/win.out" 2>&1
  check "demo zip restore exits 0" '[ $? -eq 0 ]'
  check "same files" '[ "$(cd "$work/lin" && find . | sort)" = "$(cd "$work/win" && find . | sort)" ]'
  count=0
  while IFS= read -r f; do
    count=$((count + 1))
    check "same bytes: $f" 'cmp -s "$work/lin/$f" "$work/win/$f"'
    check "same time: $f" '[ "$(stat -c %Y "$work/lin/$f")" = "$(stat -c %Y "$work/win/$f")" ]'
  done < <(cd "$work/lin" && find . -type f)
  check "demo has files" '[ $count -ge 6 ]'
  echo "demo: $count files compared with the Linux restore"
else
  echo "SKIP demo comparison: no Linux build at $linux (make build)"
fi

# Names Windows cannot hold: each refused as a name, nothing written under another name.
python3 - "$work/names.zip" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for n in ['CON', 'aux.txt', 'ok.txt', 'bad:name.txt', 'trail.', 'space ', 'd/nul/x.txt', 'q?.txt', 'pipe|.txt']:
        z.writestr(zipfile.ZipInfo(n), n + '\n')
    ro = zipfile.ZipInfo('readonly.txt'); ro.create_system = 0; ro.external_attr = 0x01
    z.writestr(ro, 'protected\n')
PY
out=$("$cli" -y dir --to "$work/names" "$work/names.zip" 2>&1)
rc=$?
check "refused names exit 1" '[ $rc -eq 1 ]'
check "eight refusals" '[ "$(echo "$out" | grep -c "Name refused")" -eq 8 ]'
check "summary" 'echo "$out" | grep -q "^2 files copied - 8 errors"'
check "only the good names" '[ "$(cd "$work/names" && find . | sort | tr "\n" " ")" = ". ./ok.txt ./readonly.txt " ]'
check "good bytes" '[ "$(cat "$work/names/ok.txt")" = "ok.txt" ]'
# Wine keeps the read-only attribute as the missing write permission.
check "read-only attribute" '[ "$(stat -c %a "$work/names/readonly.txt")" = 444 ]'

# A link placed in the destination that leads out of it is not followed (Wine shows a Unix
# link to Windows programs as the folder it leads to; the platform layer tells it by its path).
mkdir -p "$work/src/docs" "$work/dst" "$work/outside"
printf 'inside\n' > "$work/src/docs/a.txt"
printf 'top\n' > "$work/src/top.txt"
ln -s "$work/outside" "$work/dst/docs"
out=$("$cli" -y dir --to "$work/dst" "$work/src" 2>&1)
rc=$?
check "link exit 1" '[ $rc -eq 1 ]'
check "link refused" 'echo "$out" | grep -q "Name refused"'
check "nothing outside" '[ -z "$(ls -A "$work/outside")" ]'
check "the rest restored" '[ "$(cat "$work/dst/top.txt")" = top ]'
check "link left as it was" '[ -L "$work/dst/docs" ]'

# Case: a name that differs only in case is the same file on Windows: it exists for the
# overwrite rule, and a replacement leaves one file.
mkdir -p "$work/case/src" "$work/case/dst"
printf 'new\n' > "$work/case/src/Report.TXT"
printf 'old\n' > "$work/case/dst/report.txt"
out=$("$cli" -y dir --to "$work/case/dst" "$work/case/src" 2>&1)
check "case: existing for the rule never" 'echo "$out" | grep -q "^0 files copied" && [ "$(cat "$work/case/dst/report.txt")" = old ]'
"$cli" -q -y --overwrite always dir --to "$work/case/dst" "$work/case/src" > /dev/null 2>&1
check "case: one file, replaced" '[ "$(ls "$work/case/dst" | wc -l)" -eq 1 ] && [ "$(cat "$work/case/dst/"*)" = new ]'

# Windows paths as typed: drive letters and backslashes, into an archive too.
zsrc=$(printf '%s' "Z:$work/names.zip" | tr / '\\\\')
zdst=$(printf '%s' "Z:$work/typed" | tr / '\\\\')
out=$("$cli" -y files --to "$zdst" "$zsrc\\ok.txt" 2>&1)
check "backslash paths: restored" '[ "$(cat "$work/typed/ok.txt")" = ok.txt ]'
check "backslash paths: printed with /" '! echo "$out" | grep -q "\\\\"'

# Ctrl-C during a run is Stop (Wine turns SIGINT into the console's Ctrl-C event): the run
# ends at once with its summary, exit 3. Sent once the first file is there.
mkdir -p "$work/sig/src"
for i in $(seq 1 3000); do echo "$i" > "$work/sig/src/f$i.txt"; done
"$cli" -q -y dir --to "$work/sig/dst" "$work/sig/src" > "$work/sig.out" 2>&1 &
pid=$!
for _ in $(seq 1 600); do [ -n "$(ls -A "$work/sig/dst" 2>/dev/null)" ] && break; sleep 0.05; done
kill -INT "$pid"
wait "$pid"
rc=$?
done_files=$(ls "$work/sig/dst" | wc -l)
if [ "$done_files" -lt 3000 ]; then
  check "Ctrl-C: exit 3" '[ $rc -eq 3 ]'
  check "Ctrl-C: stopped" 'grep -qx "Stopped by user." "$work/sig.out"'
  check "Ctrl-C: no temporary file left" '[ -z "$(ls -A "$work/sig/dst" | grep qvpart)" ]'
else
  echo "SKIP Ctrl-C: the run ended before the signal"
fi

[ $fail -eq 0 ] && echo "cli_wine: all checks passed"
exit $fail
