#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# 1 GiB of mixed data at argv[1]: text-like and random parts in 1 MiB pieces, the same for every
# benchmark that compares unpacking, decryption or checking with a peer tool.
import os, random, sys

rng = random.Random(42)
words = [b"restore", b"backup", b"archive", b"folder", b"schedule", b"the", b"of", b"and",
         b"quorvex", b"file", b"2024-05-17", b"12:00:00", b"ERROR", b"INFO", b"size=", b"\n"]
text = bytearray()
while len(text) < (1 << 20):
    text += b" ".join(rng.choice(words) for _ in range(12)) + b"\n"
text = bytes(text[:1 << 20])
with open(sys.argv[1], "wb") as f:
    for i in range(1024):
        f.write(os.urandom(1 << 20) if i % 3 == 2 else text)
