#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: the desktop program when a display is available, otherwise a CLI demo.
set -euo pipefail
build=${1:-build}
cli="$build/quorvex-restore-cli"

gui="$build/src/ui/quorvex-restore"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$gui" ]; then
  exec "$gui" "$@"
fi

"$cli" --version
demo=$(mktemp -d "${TMPDIR:-/tmp}/quorvex-demo-XXXXXX")
trap 'rm -rf "$demo"' EXIT
bash "$(dirname "$0")/make-demo.sh" "$build" "$demo/backup"
password=$(cat "$demo/backup.password")
echo "Demo backup folder: $demo/backup (password: $password)"
find "$demo/backup" -type f | sed "s|$demo/backup/|  |" | sort
echo "Restoring it in Directory mode to $demo/restored ..."
status=0
QUORVEX_PASSWORD="$password" "$cli" --yes --quiet dir --to "$demo/restored" "$demo/backup" || status=$?
echo "Restoring the zip archive's contents to $demo/restored/from-zip ..."
QUORVEX_PASSWORD="$password" "$cli" --yes --quiet dir --to "$demo/restored/from-zip" \
  "$demo/backup/old-files.zip" || status=$?
echo "Restored files:"
find "$demo/restored" -type f | sed "s|$demo/restored/|  |" | sort
exit $status
