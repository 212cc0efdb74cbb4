#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs every benchmark script bench/*.sh against the given build folder.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for script in "$here"/[0-9]*.sh; do
  [ -f "$script" ] || continue
  echo
  echo "=== $(basename "$script" .sh)"
  bash "$script" "$build"
done
