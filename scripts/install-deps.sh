#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs the Debian 12 packages one or more groups need; a no-op when they are present.
#   build       building and running the programs (`make run`)
#   test        the tests in addition (`make test`, which also needs package)
#   package     the Debian packages and their checks (`make package`)
#   bench       the peer tools of the benchmarks (`make bench`)
#   fuzz        clang and its libFuzzer runtime (`make fuzz`)
#   screenshots an X server and window manager for `make screenshots`
#   windows     the mingw-w64 cross compiler, its static zlib and Wine (`make windows`)
# Usage: install-deps.sh GROUP...   (no group: build)
set -euo pipefail

group_packages() {
  case $1 in
    build) echo build-essential cmake ninja-build pkgconf ccache gettext zlib1g-dev libisal-dev \
      libssl-dev qt6-base-dev librsvg2-bin libqt6svg6 qt6-translations-l10n python3 gzip \
      libfuse3-dev zip ;;  # zip: the demo backup of make run holds an archive; libfuse3: mount
    test) echo libgtest-dev zip unzip 7zip libarchive-tools pigz isal groff man-db zsh fish \
      desktop-file-utils appstream lintian libfuse3-dev fuse3 time ;;
    package) echo dpkg-dev debhelper fakeroot file lintian blhc devscripts ;;
    bench) echo gzip pigz isal zip unzip 7zip libarchive-tools python3 time ;;
    fuzz) echo clang libclang-rt-14-dev ;;
    screenshots) echo xvfb xauth openbox xdotool ;;
    windows) echo mingw-w64 libz-mingw-w64-dev wine wine64 googletest cmake ninja-build ;;
    *) echo "install-deps.sh: unknown group $1 (build, test, package, bench, fuzz, screenshots, windows)" >&2
      return 1 ;;
  esac
}

[ $# -eq 0 ] && set -- build
wanted=()
for g in "$@"; do
  list=$(group_packages "$g")
  read -r -a names <<< "$list"
  wanted+=("${names[@]}")
done

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
# One name once, in a stable order.
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo > /dev/null; then
    as_root=(sudo)
  else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root (su -c 'apt-get install ${missing[*]}'), or install sudo," >&2
    echo "then run this again." >&2
    exit 1
  fi
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
