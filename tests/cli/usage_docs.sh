#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Usage errors (one line and the hint, status 2), the checks of dates and folders, and the man
# pages and completions generated from the option table.
set -u
cli=$1
build=${QV_BUILD_DIR:-$(dirname "$cli")}
work=$(mktemp -d "${TMPDIR:-/tmp}/qvcli-usage-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
unset LANGUAGE LC_ALL LC_MESSAGES LANG
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
mkdir -p "$work/b/sets/BD1"
echo x > "$work/b/a.txt"
echo plain > "$work/plain.txt"
(cd "$work/b" && zip -qr "$work/a.zip" a.txt sets)

# One row per usage error: arguments | the message's text.
while IFS='|' read -r args message; do
  [ -z "$args" ] && continue
  eval "set -- $args"
  err=$("$cli" "$@" 2>&1 >/dev/null)
  rc=$?
  check "[$args] exit 2" '[ $rc -eq 2 ]'
  check "[$args] two lines" '[ "$(printf "%s\n" "$err" | wc -l)" -eq 2 ]'
  check "[$args] message" '[ "$(printf "%s\n" "$err" | head -1)" = "quorvex-restore-cli: $message" ]'
  check "[$args] hint" '[ "$(printf "%s\n" "$err" | tail -1)" = "Try '"'"'quorvex-restore-cli --help'"'"'." ]'
done <<ROWS
files --date 2013-05-10 --to r x|--date does not apply to files
dir --to r --tolerance 5 x|--tolerance applies only to --overwrite older
dir --to r --overwrite always --ignore-dst x|--ignore-dst applies only to --overwrite older
dir --to r --overwrite sometimes x|--overwrite takes never, always, older or keep-both
schedule --to r --date 2013-+5-10 x|--date takes a day YYYY-MM-DD from 1970-01-01 to 9999-12-31, not 2013-+5-10
schedule --to r --date 1969-12-31 x|--date takes a day YYYY-MM-DD from 1970-01-01 to 9999-12-31, not 1969-12-31
schedule --to r --date 2023-02-29 x|--date takes a day YYYY-MM-DD from 1970-01-01 to 9999-12-31, not 2023-02-29
schedule --to r --date 2013-5-10 x|--date takes a day YYYY-MM-DD from 1970-01-01 to 9999-12-31, not 2013-5-10
schedule --to r x|schedule needs --date YYYY-MM-DD
files --test --to r x|--to does not apply to --test: it writes nothing
files --test --dry-run x|--test and --dry-run exclude each other
files --verify --dry-run --to r x|--verify applies only to a restore, not to --dry-run or --test
list --to r a.zip|--to does not apply to list
list a.zip b.zip|list takes one ARCHIVE.zip
versions --date 2013-05-10 f r|--date does not apply to versions
files x|--to DEST is required
dir --to r --yes --yes x|--yes is given more than once
dir --to r --bogus x|unknown option --bogus
dir --to r -z x|unknown option -z
dir --to|option --to needs a value
dir --quiet=1 --to r x|option --quiet takes no value
files --to r --password-command false x|--password-command failed: false
frobnicate|unknown command frobnicate (files, dir, schedule, list, versions, mount or umount)
|no command given (files, dir, schedule, list, versions, mount or umount)
ROWS
"$cli" >/dev/null 2>&1; check "no arguments exit 2" '[ $? -eq 2 ]'

# Values without regard to case; the limits of --date.
"$cli" -q -y --overwrite Always dir --to "$work/r1" "$work/b" >/dev/null
check "--overwrite Always" '[ $? -eq 0 ] && [ -f "$work/r1/a.txt" ]'
"$cli" -q -y --overwrite OLDER --tolerance 4 --ignore-dst dir --to "$work/r1" "$work/b" >/dev/null
check "--overwrite OLDER with tolerance" '[ $? -eq 0 ]'
for d in 1970-01-01 9999-12-31; do
  "$cli" -q -y schedule --to "$work/r2" --date $d "$work/b/sets" >/dev/null
  check "--date $d accepted" '[ $? -eq 3 ]'  # empty sets: "No files found!"
done

# The source folder is checked before anything is created.
while IFS='|' read -r sub folder reason; do
  err=$("$cli" -q -y $sub --to "$work/none" "$folder" 2>&1 >/dev/null)
  rc=$?
  check "$sub $folder exit 2" '[ $rc -eq 2 ]'
  check "$sub $folder reason" '[ "$err" = "quorvex-restore-cli: $folder: $reason" ]'
  check "$sub $folder nothing created" '[ ! -e "$work/none" ]'
done <<ROWS
dir|$work/missing|No such file or directory
dir|$work/plain.txt|Not a directory
dir|$work/missing.zip/docs|No such file or directory
dir|$work/a.zip/no/such|No such folder in the archive
dir|$work/a.zip/a.txt|No such folder in the archive
dir|$work/a.zip/SETS/bd1/x|No such folder in the archive
schedule --date 2013-05-10|$work/missing|No such file or directory
schedule --date 2013-05-10|$work/plain.txt|Not a directory
ROWS

# --help says what the contract asks it to say; --version gives the date as YYYY-MM-DD.
help=$("$cli" --help)
for text in "24:00 UTC" "UTF-8" "--codepage" "Destination directory not found - create?" \
            "An empty line skips the file. Ctrl-D cancels: in dir" "keep-both" "--include-from"; do
  check "help mentions $text" 'printf "%s" "$help" | tr "\n" " " | tr -s " " | grep -qF -- "$text"'
done
# A subcommand's help: its usage and its options only.
while IFS='|' read -r sub has hasnot; do
  sh=$("$cli" $sub --help)
  check "$sub --help usage" 'printf "%s\n" "$sh" | grep -qF "quorvex-restore-cli [OPTIONS] $sub "'
  check "$sub --help has $has" 'printf "%s" "$sh" | grep -qF -- "$has"'
  check "$sub --help lacks $hasnot" '! printf "%s" "$sh" | grep -qF -- "$hasnot"'
done <<ROWS
files|--password-command|--date
schedule|--date|--to DEST PATH
versions|--sets|--overwrite
ROWS
check "version date" '"$cli" --version | grep -Eq " - [0-9]{4}-[0-9]{2}-[0-9]{2}$"'

# -v lists each item as tar -v does; a password can come from a command.
out=$("$cli" -q -y -v --password-command 'printf "%s\n" unused; echo second' dir --to "$work/rv" "$work/b")
check "-v restored line" '[ "$(printf "%s\n" "$out" | head -1)" = "restored $work/rv/a.txt" ]'
out=$("$cli" -q -y -v dir --to "$work/rv" "$work/b")
check "-v skipped line" '[ "$(printf "%s\n" "$out" | head -1)" = "skipped $work/rv/a.txt (exists)" ]'

# list: a header line first, its errors on stderr; names from a backup printed escaped.
mkdir -p "$work/z" && echo z > "$work/z/$(printf 'evil\033[2Jname\nx').txt"
(cd "$work/z" && zip -q "$work/z.zip" ./*.txt)
out=$("$cli" list "$work/z.zip")
check "list header" '[ "$(printf "%s\n" "$out" | head -1)" = "$(printf "NAME\tSIZE\tDATE\tENCRYPTED")" ]'
check "list escapes names" 'printf "%s\n" "$out" | grep -qF "evil\\x1b[2Jname\\nx.txt" && [ "$(printf "%s\n" "$out" | wc -l)" -eq 2 ]'
"$cli" list "$work/plain.txt" >"$work/list.out" 2>"$work/list.err"
check "list error exit 1" '[ $? -eq 1 ]'
check "list error on stderr only" '[ ! -s "$work/list.out" ] && grep -q "^quorvex-restore-cli: $work/plain.txt: " "$work/list.err"'
printf 'x' > "$work/z/$(printf 'bad\033]0;title\007').gz"
out=$("$cli" -q -y files --to "$work/rz" "$work/z/$(printf 'bad\033]0;title\007').gz" "$work/plain.txt" 2>&1)
check "error line escaped" '! printf "%s" "$out" | grep -q "$(printf "\033")" && printf "%s\n" "$out" | grep -qF "bad\\x1b]0;title\\x07.gz"'

# Man pages and completions: built, clean for groff, and listing every option of --help.
for f in doc/quorvex-restore-cli.1 doc/quorvex-restore.1 completions/quorvex-restore-cli.bash \
         completions/_quorvex-restore-cli completions/quorvex-restore-cli.fish; do
  check "$f built" '[ -s "$build/$f" ]'
done
if command -v groff >/dev/null; then
  for f in "$build"/doc/*.1; do
    check "groff clean $f" '[ -z "$(groff -man -ww -z "$f" 2>&1)" ]'
  done
fi
options=$(printf "%s\n" "$help" | grep -oE -- "--[a-z][a-z-]+" | sort -u)
for o in $options; do
  roff=$(printf "%s" "$o" | sed 's/-/\\-/g')
  check "man page has $o" 'grep -qF -- "$roff" "$build/doc/quorvex-restore-cli.1"'
  check "bash completion has $o" 'grep -qw -- "$o" "$build/completions/quorvex-restore-cli.bash"'
  check "fish completion has $o" 'grep -q -- "-l ${o#--}\b" "$build/completions/quorvex-restore-cli.fish"'
done
# bash offers the rule's values and only the options of the subcommand.
words=$(bash -c 'source "$1"; COMP_WORDS=(quorvex-restore-cli dir --overwrite k); COMP_CWORD=3
                 _quorvex_restore_cli; echo "${COMPREPLY[*]}"' _ "$build/completions/quorvex-restore-cli.bash")
check "bash completes keep-both" '[ "$words" = keep-both ]'
words=$(bash -c 'source "$1"; COMP_WORDS=(quorvex-restore-cli files --da); COMP_CWORD=2
                 _quorvex_restore_cli; echo "${COMPREPLY[*]}"' _ "$build/completions/quorvex-restore-cli.bash")
check "bash offers no --date to files" '[ -z "$words" ]'
if command -v zsh >/dev/null; then
  check "zsh completion parses" 'zsh -n "$build/completions/_quorvex-restore-cli"'
fi
if command -v fish >/dev/null; then
  check "fish completion parses" 'fish -n "$build/completions/quorvex-restore-cli.fish"'
fi
exit $fail
