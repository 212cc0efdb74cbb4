#!/usr/bin/env bash
# The main job: the desktop program when a display is available, otherwise a CLI demo.
set -euo pipefail
build=${1:-build}
"$build/quorvex-restore-cli" --version
