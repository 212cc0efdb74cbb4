#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages quorvex-restore-cli and quorvex-restore from a copy of the source
# tree (the files git knows, plus new ones it does not ignore), so the working tree and its
# build folders stay untouched. Leaves the .deb, .changes and .buildinfo files and the build
# log build.log in OUT_DIR.
# Usage: build-packages.sh SOURCE_DIR OUT_DIR [JOBS]
set -euo pipefail
src=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
jobs=${3:-2}
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
tree=$out/quorvex-restore-$version

rm -rf "$tree"
mkdir -p "$tree"
if git -C "$src" rev-parse --is-inside-work-tree > /dev/null 2>&1; then
  (cd "$src" && git ls-files -z -co --exclude-standard | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) \
    | (cd "$src" && tar --null -T - -cf -) | tar -C "$tree" -xf -
else
  tar -C "$src" --exclude='./build*' -cf - . | tar -C "$tree" -xf -
fi
rm -f "$out"/quorvex-restore*.deb "$out"/quorvex-restore*.ddeb "$out"/quorvex-restore_*.changes \
  "$out"/quorvex-restore_*.buildinfo

echo "Building the Debian packages in $tree (log: $out/build.log) ..."
if ! (cd "$tree" && DEB_BUILD_OPTIONS="parallel=$jobs${DEB_BUILD_OPTIONS:+ $DEB_BUILD_OPTIONS}" \
      dpkg-buildpackage -us -uc -b) > "$out/build.log" 2>&1; then
  tail -n 60 "$out/build.log"
  echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
fi
rm -rf "$tree"
ls -l "$out"/*.deb
