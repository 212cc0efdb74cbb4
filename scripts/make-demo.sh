#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds a small demo backup folder: plain, ".gz" (gzip), ".enc" and ".gze" (our writer) files
# and a zip archive (zip). Usage: make-demo.sh BUILD_DIR FOLDER; the password goes to FOLDER.password.
set -euo pipefail
build=$1
folder=$2
password="demo-password"
mkdir -p "$folder/documents" "$folder/photos"
printf 'Quarterly report\n' > "$folder/documents/report.txt"
printf 'Shopping list: milk, bread\n' > "$folder/notes.txt"
seq 1 2000 > "$folder/documents/numbers.csv"
gzip -n "$folder/documents/numbers.csv"
printf 'PIN 1234\n' > "$folder/documents/secret.txt"
"$build/bench_restore" encrypt "$folder/documents/secret.txt" "$folder/documents/secret.txt.enc" "$password"
rm "$folder/documents/secret.txt"
head -c 4096 /dev/urandom > "$folder/photos/picture.raw"
# ".gze": a gzip member whose deflate data are encrypted, flag bit 5 in the header.
gze_src=$(mktemp)
printf 'Compressed and encrypted diary\n' > "$gze_src"
python3 - "$gze_src" "$folder/documents/diary.txt.gze" "$build/bench_restore" "$password" <<'PY'
import subprocess, sys, zlib, struct, tempfile, os
src, dst, tool, pwd = sys.argv[1:]
data = open(src, 'rb').read()
co = zlib.compressobj(9, zlib.DEFLATED, -15)
raw = co.compress(data) + co.flush()
with tempfile.TemporaryDirectory() as t:
    open(os.path.join(t, 'raw'), 'wb').write(raw)
    subprocess.check_call([tool, 'encrypt', os.path.join(t, 'raw'), os.path.join(t, 'enc'), pwd])
    body = open(os.path.join(t, 'enc'), 'rb').read()
header = struct.pack('<BBBBIBB', 0x1f, 0x8b, 8, 0x20 | 0x08, 0, 0, 3) + b'diary.txt\0'
open(dst, 'wb').write(header + body + struct.pack('<II', zlib.crc32(data), len(data)))
PY
rm -f "$gze_src"
(cd "$folder" && mkdir -p zsrc/old && printf 'from the archive\n' > zsrc/old/letter.txt \
  && (cd zsrc && zip -qr ../old-files.zip old) && rm -rf zsrc)
printf '%s' "$password" > "$folder.password"
