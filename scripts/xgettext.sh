#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Refreshes the translation templates po/<domain>/<domain>.pot from the sources.
#   units            TrUnits("...") anywhere, N_("...") in src/base, and the message table of FtGlobal.cpp
#   dialogs          TrDialogs("..."), and D("...") (with its wrappers Fill, FillCounts and the
#                    hint of makeSmall) of the desktop program's dialogs (src/ui)
#   quorvex-restore  Tr("..."), N_("...") outside src/base, and T("...") of the desktop
#                    program's window (src/ui)
# Usage: scripts/xgettext.sh [xgettext-executable]   (run from the source folder)
set -euo pipefail
XGETTEXT=${1:-xgettext}
cd "$(dirname "$0")/.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

common=(--from-code=UTF-8 --language=C++ --sort-by-file --add-location=file --no-wrap
        --package-name=QuorvexRestore --package-version=2.5 --msgid-bugs-address=quorvex-restore
        --copyright-holder="Quorvex")

sources() {  # sources below the given folders, in a stable order
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) 2>/dev/null | LC_ALL=C sort
}

extract() {  # output, keywords..., -- files...
  local out=$1; shift
  local keys=()
  while [[ $1 != -- ]]; do keys+=(--keyword="$1"); shift; done
  shift
  if [[ $# -eq 0 ]]; then return; fi
  "$XGETTEXT" "${common[@]}" --keyword "${keys[@]}" -o "$out" "$@"
  fix_charset "$out"
}

fix_charset() {  # templates leave the charset open; the sources are UTF-8
  [[ -f $1 ]] && sed -i 's/charset=CHARSET/charset=UTF-8/' "$1"
  return 0
}

write_pot() {  # domain, parts...
  local domain=$1; shift
  mkdir -p "po/$domain"
  local parts=()
  for p in "$@"; do [[ -s $p ]] && parts+=("$p"); done
  if [[ ${#parts[@]} -eq 0 ]]; then return; fi
  msgcat --use-first --sort-by-file --no-wrap -o "po/$domain/$domain.pot" "${parts[@]}"
  echo "po/$domain/$domain.pot: $(grep -c '^msgid ' "po/$domain/$domain.pot") entries (incl. header)"
}

# units: the helpers' own marks, then every text of the error-message table.
mapfile -t base < <(sources src/base)
mapfile -t all < <(sources src)
extract "$tmp/units-marked.pot" TrUnits N_ -- "${base[@]}"
extract "$tmp/units-elsewhere.pot" TrUnits -- "${all[@]}"
"$XGETTEXT" "${common[@]}" --extract-all -o "$tmp/units-table.pot" src/base/FtGlobal.cpp
fix_charset "$tmp/units-table.pot"
# The table file also holds format strings that are no messages.
msggrep --invert-match --msgid -E -e '^(%0?[0-9]*X|%s)$' -o "$tmp/units-table-clean.pot" "$tmp/units-table.pot"
write_pot units "$tmp/units-marked.pot" "$tmp/units-elsewhere.pot" "$tmp/units-table-clean.pot"

mapfile -t ui < <(sources src/ui)
extract "$tmp/dialogs.pot" TrDialogs -- "${all[@]}"
extract "$tmp/dialogs-ui.pot" D Fill FillCounts SmallButton:3 PlaceButton:2 -- "${ui[@]}"
write_pot dialogs "$tmp/dialogs.pot" "$tmp/dialogs-ui.pot"

mapfile -t others < <(find src -mindepth 1 -maxdepth 1 -type d ! -name base | LC_ALL=C sort)
mapfile -t rest < <(sources "${others[@]}")
extract "$tmp/default-tr.pot" Tr NTr:1,2 -- "${all[@]}"
extract "$tmp/default-n.pot" N_ -- "${rest[@]}"
extract "$tmp/default-ui.pot" T -- "${ui[@]}"
write_pot quorvex-restore "$tmp/default-tr.pot" "$tmp/default-n.pot" "$tmp/default-ui.pot"
