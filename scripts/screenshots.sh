#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders the main window in each mode, the password prompt, the summary with details and the preview
# into docs/screenshots/ (given the build folder as $1). Uses Xvfb when it is installed.
set -euo pipefail
# Leaks inside the display stack (dbus) are not ours; only sanitizer builds care.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --build "$build" --target qv-screenshots
out="$root/docs/screenshots"
mkdir -p "$out"
if command -v xvfb-run >/dev/null 2>&1; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" "$build/src/ui/qv-screenshots" "$out" "$@"
else
  QT_QPA_PLATFORM=offscreen "$build/src/ui/qv-screenshots" "$out" "$@"
fi
ls -1 "$out"/*.png
