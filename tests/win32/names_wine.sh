#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Names Windows cannot hold, restored by the .exe under Wine from plain files, .gz files and
# zip entries (the sources made on the Linux side, where such names exist): each is refused
# with its own reason in the error lines and in JSON, none is skipped in silence, and nothing
# is written under another name.
# Usage: names_wine.sh WINE_CLI_WRAPPER
set -u
cli=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/qvwinnames-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
reason="Name refused: Windows cannot hold this name"

# kind|source name|restored name ("" when refused)
rows=(
  "plain|aux.txt|"
  "plain|CON|"
  "plain|com1.log|"
  "plain|trail.|"
  "plain|space |"
  "plain|ok.txt|ok.txt"
  "plain|console.txt|console.txt"
  "gz|trail..gz|"
  "gz|sp .gz|"
  "gz|Nul.gz|"
  "gz|aux.txt.gz|"
  "gz|fine.txt.gz|fine.txt"
  "zip|CON|"
  "zip|aux.txt|"
  "zip|trail.|"
  "zip|space |"
  "zip|d/nul/x.txt|"
  "zip|q?.txt|"
  "zip|file.txt:stream|"
  "zip|pipe|.txt|"
  "zip|lpt9.doc|"
  "zip|good.txt|good.txt"
)

mkdir -p "$work/plain" "$work/gz" "$work/zip"
zipnames=()
for row in "${rows[@]}"; do
  kind=${row%%|*}
  rest=${row#*|}
  name=${rest%|*}
  case $kind in
    plain) printf '%s\n' "$name" > "$work/plain/$name" ;;
    gz) printf '%s\n' "$name" | gzip -n > "$work/gz/$name" ;;
    zip) zipnames+=("$name") ;;
  esac
done
python3 - "$work/zip/names.zip" "${zipnames[@]}" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    for n in sys.argv[2:]:
        z.writestr(zipfile.ZipInfo(n), n + '\n')
PY

# The failed or restored JSON items of one name: "action detail reason" each.
cat > "$work/item.py" <<'PY'
import json, sys
name = sys.argv[1]
found = []
for line in sys.stdin:
    o = json.loads(line) if line.strip() else {}
    source = o.get("source", "")
    if o.get("type") == "item" and (source.endswith("/" + name) or source.endswith(":" + name)):
        reason = o.get("message", "").split("Error: ")[-1].rsplit(" (", 1)[0]
        found.append("%s %d %s" % (o["action"], o.get("code", 0) & 0xFF, reason))
print(";".join(found))
PY

for kind in plain gz zip; do
  src="$work/$kind"
  [ "$kind" = zip ] && src="$work/zip/names.zip"
  json=$("$cli" --json -y dir --to "$work/out-$kind" "$src" 2> "$work/$kind.err")
  rc=$?
  text=$("$cli" -y dir --to "$work/text-$kind" "$src" 2>&1)
  refused=0
  expected=""
  for row in "${rows[@]}"; do
    [ "${row%%|*}" = "$kind" ] || continue
    rest=${row#*|}
    name=${rest%|*}
    restored=${rest##*|}
    # The row's name as the CLI shows it: the path of the source, or of the entry.
    if [ -z "$restored" ]; then
      refused=$((refused + 1))
      check "$kind '$name': one failed JSON item with the reason" \
        '[ "$(printf "%s\n" "$json" | python3 "$work/item.py" "$name")" = "failed 42 $reason" ]'
    else
      expected="$expected ./$restored"
      check "$kind '$name': restored" '[ "$(cat "$work/out-$kind/$restored")" = "$name" ]'
    fi
  done
  check "$kind: exit 1" '[ $rc -eq 1 ]'
  check "$kind: $refused refusals in the error lines" '[ "$(printf "%s\n" "$text" | grep -c "^   Error: $reason")" -eq $refused ]'
  check "$kind: no other reason" '! printf "%s\n" "$text" | grep -q "leads outside\|not found\|Could not"'
  check "$kind: JSON summary counts them" \
    '[ "$(printf "%s\n" "$json" | python3 -c "import json,sys; print([json.loads(l) for l in sys.stdin if l.strip()][-1][\"errors\"])")" -eq $refused ]'
  check "$kind: nothing under another name" \
    '[ "$(cd "$work/out-$kind" 2>/dev/null && find . -type f | sort | tr "\n" " ")" = "$(printf "%s\n" $expected | sort | tr "\n" " ")" ]'
done

[ $fail -eq 0 ] && echo "names_wine: all checks passed"
exit $fail
