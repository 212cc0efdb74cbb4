#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Two package builds (scripts/build-packages.sh) made in different folders must give the same
# packages: every file of every .deb unpacked, with its mode, owner, time and checksum, and the
# control files.
# Usage: reproducible.sh PACKAGE_DIR_A PACKAGE_DIR_B
set -u
work=$(mktemp -d "${TMPDIR:-/tmp}/qvrepro-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Per package: the tar listing (mode, owner, size, time, path, link target) and the checksum of
# every unpacked file and control file.
manifest() {  # package dir, name of the manifest
  for deb in "$1"/*.deb; do
    name=$(basename "$deb")
    tree=$work/$2/$name
    mkdir -p "$tree"
    dpkg-deb -x "$deb" "$tree/data"
    dpkg-deb -e "$deb" "$tree/control"
    dpkg-deb --fsys-tarfile "$deb" | tar -tvf - --numeric-owner | sed "s|^|$name |"
    (cd "$tree" && find . -type f -print0 | sort -z | xargs -0 sha256sum | sed "s|^|$name |")
  done
}

manifest "$1" a > "$work/a.txt"
manifest "$2" b > "$work/b.txt"
echo "== $(grep -c . "$work/a.txt") entries in $(ls "$1"/*.deb | wc -l) packages"
if diff -u "$work/a.txt" "$work/b.txt"; then
  echo "identical contents"
  (cd "$1" && sha256sum ./*.deb) > "$work/debs-a.txt"
  (cd "$2" && sha256sum ./*.deb) > "$work/debs-b.txt"
  if cmp -s "$work/debs-a.txt" "$work/debs-b.txt"; then echo "identical .deb files"; fi
  exit 0
fi
echo "FAIL: the packages differ"
exit 1
