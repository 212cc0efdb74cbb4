#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
# The schedule tree at argv[1]: 30 sets x 6667 files (about 200,000), 100 files per folder,
# the same for every benchmark that searches it.
import os, sys

w = sys.argv[1]
for s in range(30):
    for i in range(6667):
        d = f"{w}/BD{s:02d}/dir{i // 100}"
        if i % 100 == 0: os.makedirs(d, exist_ok=True)
        with open(f"{d}/f{i}.txt", "w") as f: f.write("x")
