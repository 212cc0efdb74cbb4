#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The CLI in German (--lang de and -lang:de), and its refusal of an unknown code page.
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvcli-lang-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
# No settings or environment of the caller may choose the language for us.
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
unset LANGUAGE LC_ALL LC_MESSAGES LANG

mkdir -p "$work/b/sub"
printf 'one\n' > "$work/b/a.txt"
printf 'two\n' > "$work/b/sub/b.txt"
printf 'not gzip' > "$work/b/broken.gz"

# The summary and the error lines in German, the exit status unchanged.
out=$("$cli" --lang de -q -y dir --to "$work/r1" "$work/b" 2>&1)
rc=$?
check "German run exits 1 with an error" '[ $rc -eq 1 ]'
check "German summary" '[ "$(echo "$out" | head -1)" = "2 Dateien kopiert - 1 Fehler" ]'
check "German gz-header line" 'echo "$out" | grep -qx "Fehler beim Lesen des gz-Kopfs: $work/b/broken.gz"'
check "files restored" 'cmp -s "$work/b/sub/b.txt" "$work/r1/sub/b.txt"'

# --help in German, every description: no line of the English text is left (option names and
# their values stand alone in the first column and are the same in both).
column() { awk 'substr($0, 1, 30) ~ /^( {30}| +-)/ { print substr($0, 31) }' | grep -E '[a-z]{4}.* ' | sort -u; }
en=$("$cli" --help | column)
de=$("$cli" --lang de --help | column)
left=$(comm -12 <(printf '%s\n' "$en") <(printf '%s\n' "$de"))
check "German --help leaves no English line [$left]" '[ -z "$left" ]'
check "German subcommand help" '"$cli" --lang de files --help | grep -q "^Optionen:"'

# The desktop program's switch form, and English without any switch.
rm "$work/b/broken.gz"
out=$("$cli" -lang:de -q -y dir --to "$work/r2" "$work/b")
check "-lang:de summary" '[ $? -eq 0 ] && [ "$out" = "2 Dateien kopiert" ]'
out=$("$cli" -q -y dir --to "$work/r3" "$work/b")
check "English by default" '[ $? -eq 0 ] && [ "$out" = "2 files copied" ]'

# A question answered No (no terminal) is asked in German too.
err=$("$cli" --lang de -q dir --to "$work/r3" "$work/b" 2>&1 >/dev/null </dev/null)
check "declined in German exits 3" '[ $? -eq 3 ]'
check "German question" 'echo "$err" | grep -q "^Zielverzeichnis .* Nein$"'

# Argument errors are translated even when the language comes after the fault.
err=$("$cli" --overwrite sometimes --lang de dir --to x "$work/b" 2>&1 >/dev/null)
check "bad rule exits 2" '[ $? -eq 2 ]'
check "German argument error" 'echo "$err" | grep -q "erwartet never, always, older oder keep-both"'

# An unknown code page: status 2, a message that names it, nothing restored.
err=$("$cli" --codepage NO-SUCH-PAGE -q -y dir --to "$work/r4" "$work/b" 2>&1 >/dev/null)
check "unknown code page exits 2" '[ $? -eq 2 ]'
check "message names the code page" 'echo "$err" | grep -q "unknown code page NO-SUCH-PAGE"'
check "nothing restored" '[ ! -e "$work/r4" ]'
err=$("$cli" --lang de --codepage NO-SUCH-PAGE --version 2>&1 >/dev/null)
check "unknown code page before --version exits 2" '[ $? -eq 2 ]'
check "German code page message" 'echo "$err" | grep -q "unbekannte Codepage NO-SUCH-PAGE"'
"$cli" --codepage >/dev/null 2>&1
check "missing code page name exits 2" '[ $? -eq 2 ]'
out=$("$cli" --codepage CP1250 -q -y dir --to "$work/r5" "$work/b")
check "known code page accepted" '[ $? -eq 0 ] && [ "$out" = "2 files copied" ]'

exit $fail
