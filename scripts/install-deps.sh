#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the benchmarks need.
# A no-op when everything is present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config ccache clang libclang-rt-14-dev
  zlib1g-dev libisal-dev libssl-dev gettext libgtest-dev
  qt6-base-dev qt6-l10n-tools qt6-translations-l10n libqt6svg6 xvfb xauth openbox xdotool
  gzip pigz isal zip unzip 7zip libarchive-tools python3 groff man-db zsh fish time
  dpkg-dev fakeroot file lintian desktop-file-utils appstream libfuse3-dev fuse3
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
