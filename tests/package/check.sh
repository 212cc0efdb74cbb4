#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages as a user gets them: built by dpkg-buildpackage (scripts/build-packages.sh),
# checked by lintian --pedantic and blhc, installed with dpkg into a fresh root (a moved prefix,
# so nothing of the build tree or this machine's /usr is used), hardened, free of build paths,
# the demo backup of `make run` restored by the installed CLI in English and German, the desktop
# files validated, and nothing left after a purge.
# Usage: check.sh BUILD_DIR SOURCE_DIR [PACKAGE_DIR]
#   BUILD_DIR    a build of the source tree (its bench_restore makes the demo backup)
#   PACKAGE_DIR  the output of scripts/build-packages.sh; built afresh when not given
set -u
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/qvpkg-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
app=io.quorvex.Restore

if [ $# -ge 3 ]; then
  pkgdir=$(cd "$3" && pwd)
else
  pkgdir=$work/packages
  bash "$src/scripts/build-packages.sh" "$src" "$pkgdir" || { echo "FAIL: dpkg-buildpackage"; exit 1; }
fi
cli_deb=$(ls "$pkgdir"/quorvex-restore-cli_*.deb)
gui_deb=$(ls "$pkgdir"/quorvex-restore_*.deb)
changes=$(ls "$pkgdir"/quorvex-restore_*.changes)
for deb in "$cli_deb" "$gui_deb"; do
  echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes"
  dpkg-deb -f "$deb" Package Version Architecture Depends Recommends Section
  dpkg-deb -c "$deb" | awk '{print $1, $3, $6}'
done

# Versions: the packages, the Debian changelog and the newest metainfo release agree.
version=$(dpkg-deb -f "$cli_deb" Version)
changelog_version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
release=$(grep -o '<release version="[^"]*"' "$src/data/$app.metainfo.xml.in" | head -1 | cut -d'"' -f2)
check "both packages have one version" '[ "$(dpkg-deb -f "$gui_deb" Version)" = "$version" ]'
check "changelog names $version (has $changelog_version)" '[ "$changelog_version" = "$version" ]'
check "newest metainfo release is ${version%-*} (has $release)" '[ "$release" = "${version%-*}" ]'

# Dependencies: computed from the binaries; the CLI package needs no Qt.
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
gui_depends=$(dpkg-deb -f "$gui_deb" Depends)
check "CLI depends on libc and libcrypto" 'echo "$cli_depends" | grep -q "libc6" && echo "$cli_depends" | grep -q "libssl3"'
check "CLI package needs no Qt" '! echo "$cli_depends" | grep -qi "qt"'
check "window depends on Qt Widgets" 'echo "$gui_depends" | grep -q "libqt6widgets6"'
check "window depends on the same CLI package" \
  'echo "$gui_depends" | tr "," "\n" | grep -qx " *quorvex-restore-cli (= $version)"'
gui_recommends=$(dpkg-deb -f "$gui_deb" Recommends)
for p in libqt6svg6 qt6-translations-l10n; do
  check "window recommends $p" 'echo "$gui_recommends" | tr "," "\n" | grep -qx " *$p"'
done

# Contents: where each file belongs, no file in both packages, no unprefixed catalogue.
dpkg-deb -c "$cli_deb" | awk '$1 !~ /^d/ {print $6}' | sort > "$work/cli.files"
dpkg-deb -c "$gui_deb" | awk '$1 !~ /^d/ {print $6}' | sort > "$work/gui.files"
expect() {  # package, path
  list=$work/$1.files path=./usr/$2
  check "$1 holds $2" 'grep -qx "$path" "$list"'
}
for f in bin/quorvex-restore-cli share/doc/quorvex-restore-cli/copyright \
  share/doc/quorvex-restore-cli/changelog.gz share/locale/de/LC_MESSAGES/quorvex-restore.mo \
  share/locale/de/LC_MESSAGES/quorvex-restore-dialogs.mo share/locale/de/LC_MESSAGES/quorvex-restore-units.mo; do
  expect cli "$f"
done
for f in bin/quorvex-restore share/applications/$app.desktop share/icons/hicolor/scalable/apps/$app.svg \
  share/metainfo/$app.metainfo.xml share/doc/quorvex-restore/copyright share/doc/quorvex-restore/changelog.gz; do
  expect gui "$f"
done
for size in 16 32 48 64 128 256; do
  expect gui "share/icons/hicolor/${size}x${size}/apps/$app.png"
done
for f in share/man/man1/quorvex-restore-cli.1.gz share/bash-completion/completions/quorvex-restore-cli \
  share/zsh/vendor-completions/_quorvex-restore-cli share/fish/vendor_completions.d/quorvex-restore-cli.fish; do
  expect cli "$f"
done
expect gui share/man/man1/quorvex-restore.1.gz
check "no file in both packages" '[ -z "$(comm -12 "$work/cli.files" "$work/gui.files")" ]'
check "no catalogue under a name another package could own" \
  '! grep -E "/LC_MESSAGES/(dialogs|units)\.mo$" "$work/cli.files" "$work/gui.files"'

# The dependencies can be met on this system (simulated: nothing is installed).
check "apt can install both packages" \
  'apt-get install -s -q "$cli_deb" "$gui_deb" > "$work/apt.log" 2>&1 || { cat "$work/apt.log"; false; }'

# Installed with dpkg into a fresh root whose /usr is a prefix the programs were not configured
# for. The root has no libraries, so its dependency check is left to apt above.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
in_root() { dpkg --root="$root" --log=/dev/null --force-depends "$@" > "$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; false; }; }
check "dpkg installs both packages" 'in_root -i "$cli_deb" "$gui_deb"'
cli=$root/usr/bin/quorvex-restore-cli
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
unset LANGUAGE LC_ALL LC_MESSAGES LANG QUORVEX_LOCALEDIR QUORVEX_PASSWORD

# The demo backup of `make run`, restored by the installed CLI.
bash "$src/scripts/make-demo.sh" "$build" "$work/demo/backup" > /dev/null
password=$(cat "$work/demo/backup.password")
r=$work/restored
out=$(QUORVEX_PASSWORD="$password" "$cli" --yes --quiet dir --to "$r" "$work/demo/backup")
check "demo restore exits 0 (output: $out)" '[ $? -eq 0 ]'
check "demo summary" '[ "$out" = "7 files copied" ]'
check "plain file" '[ "$(cat "$r/documents/report.txt")" = "Quarterly report" ]'
check "gzip file" 'seq 1 2000 | cmp -s - "$r/documents/numbers.csv"'
check "encrypted file" '[ "$(cat "$r/documents/secret.txt")" = "PIN 1234" ]'
check "compressed and encrypted file" '[ "$(cat "$r/documents/diary.txt")" = "Compressed and encrypted diary" ]'
check "binary file" 'cmp -s "$work/demo/backup/photos/picture.raw" "$r/photos/picture.raw"'
out=$("$cli" --yes --quiet dir --to "$r/from-zip" "$work/demo/backup/old-files.zip")
check "zip entry" '[ $? -eq 0 ] && [ "$(cat "$r/from-zip/old/letter.txt")" = "from the archive" ]'

# The catalogues are found beside the moved program, under their prefixed names: in German
# first, then in English once the root's own German files are gone (the build tree still has them).
# Without a password the encrypted file fails, which brings an error text of the units domain.
german_run() {
  "$cli" --lang de -q -y files --to "$work/lang$1" "$work/demo/backup/notes.txt" \
    "$work/demo/backup/documents/secret.txt.enc" < /dev/null 2>&1
}
out=$(german_run 1)
check "German summary from the moved root" 'echo "$out" | grep -qx "1 Datei kopiert - 1 Fehler"'
check "German error text from the moved root" 'echo "$out" | grep -q "Entschlüsselung fehlgeschlagen"'
rm "$root"/usr/share/locale/de/LC_MESSAGES/quorvex-restore*.mo
out=$(german_run 2)
check "no build-tree catalogues behind the moved root" \
  'echo "$out" | grep -qx "1 file copied - 1 error" && echo "$out" | grep -q "Decryption failed"'

# Desktop integration: the entry, the icon it names, the metainfo that names it.
desktop=$root/usr/share/applications/$app.desktop
metainfo=$root/usr/share/metainfo/$app.metainfo.xml
check "desktop-file-validate" 'desktop-file-validate "$desktop"'
check "appstreamcli validate" 'appstreamcli validate --no-net --pedantic "$metainfo"'
icon=$(sed -n 's/^Icon=//p' "$desktop")
program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
check "icon $icon installed" '[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ]'
check "program $program installed" '[ -x "$root/usr/bin/$program" ]'
check "metainfo launches $app.desktop" 'grep -q "<launchable type=\"desktop-id\">$app.desktop</launchable>" "$metainfo"'

for size in 16 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/$app.png
  check "icon of $size px is $size x $size" 'file -b "$png" | grep -q "PNG image data, $size x $size,"'
done

# lintian --pedantic on the upload: no error and no warning that debian/*.lintian-overrides does
# not answer; the rest is printed for the record.
lintian --pedantic --tag-display-limit 0 "$changes" > "$work/lintian.log" 2>&1
cat "$work/lintian.log"
check "lintian reports no error or warning" '! grep -q "^[EW]:" "$work/lintian.log"'

# blhc: every compile and link line of the build log carries the hardening flags.
blhc --bindnow "$pkgdir/build.log" > "$work/blhc.log" 2>&1
check "blhc finds nothing in the build log" '[ ! -s "$work/blhc.log" ] || { cat "$work/blhc.log"; false; }'

# hardening-check: PIE, stack protector, fortified functions, RELRO and BIND_NOW in both programs.
# Not control-flow integrity: Debian 12's own start files (crt1.o, crti.o) carry no IBT/SHSTK
# note, so no program linked there can have it, although our objects are built for it.
for program in quorvex-restore-cli quorvex-restore; do
  check "hardening-check $program" \
    'hardening-check --nocfprotection "$root/usr/bin/$program" > "$work/hardening.log" 2>&1; s=$?
     cat "$work/hardening.log"; [ $s -eq 0 ]'
done

# No path of the build in any installed file (compressed ones read unpacked).
tree=$(sed -n 's/.*-ffile-prefix-map=\([^=]*\)=\..*/\1/p' "$pkgdir/build.log" | head -1)
check "build tree found in the build log ($tree)" '[ -n "$tree" ]'
find "$root/usr" -type f | sort | while read -r f; do
  case $f in *.gz) zcat "$f" ;; *) cat "$f" ;; esac | strings -a | sed "s|^|${f#"$root"}: |"
done > "$work/strings.txt"
for path in "${tree:-/nonexistent}" "$build" "$src" "$pkgdir" /usr/local; do
  check "no $path in installed files" \
    '! grep -F "$path" "$work/strings.txt" || false'
done

# Removed again, nothing of them stays behind.
check "dpkg purges both packages" 'in_root --purge quorvex-restore quorvex-restore-cli'
check "nothing left in the root" '[ -z "$(find "$root/usr" -type f 2>/dev/null)" ]'

exit $fail
