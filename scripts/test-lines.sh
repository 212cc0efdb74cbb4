#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Lines of test code per subsystem beside the lines of the code it tests, for before/after
# figures. "code" counts lines that are neither blank nor only a comment; "test/src" is the
# test code as a share of the code it tests.
# Usage: scripts/test-lines.sh [REPO]   (default: the repository this script is in)
set -euo pipefail
repo=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$repo"

# Non-blank lines that are not only a // or # comment.
code_lines() {
  if [ $# -eq 0 ]; then echo 0; return; fi
  grep -hvE '^[[:space:]]*($|//|#[^!a-z]|#$)' "$@" | wc -l
}

files_in() {  # FOLDER PATTERN...
  local dir=$1; shift
  [ -d "$dir" ] || return 0
  local args=() p
  for p in "$@"; do args+=(-o -name "$p"); done
  find "$dir" -type f \( "${args[@]:1}" \) | sort
}

printf '%-10s %6s %8s %8s %8s %7s\n' subsystem files lines code src-code test/src
total_lines=0 total_code=0 total_src=0 total_files=0
for dir in tests/*/; do
  sub=$(basename "$dir")
  mapfile -t tests < <(files_in "$dir" '*.cpp' '*.h' '*.sh' '*.py')
  mapfile -t srcs < <(files_in "src/$sub" '*.cpp' '*.h')
  lines=0
  [ ${#tests[@]} -gt 0 ] && lines=$(cat "${tests[@]}" | wc -l)
  code=$(code_lines "${tests[@]}")
  src=$(code_lines "${srcs[@]}")
  share=-
  [ "$src" -gt 0 ] && share=$((100 * code / src))%
  printf '%-10s %6d %8d %8d %8d %7s\n' "$sub" ${#tests[@]} "$lines" "$code" "$src" "$share"
  total_files=$((total_files + ${#tests[@]})) total_lines=$((total_lines + lines))
  total_code=$((total_code + code))
done
mapfile -t all_src < <(files_in src '*.cpp' '*.h')
total_src=$(code_lines "${all_src[@]}")
printf '%-10s %6d %8d %8d %8d %7s\n' total "$total_files" "$total_lines" "$total_code" "$total_src" \
  "$((100 * total_code / total_src))%"
