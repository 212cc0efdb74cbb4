#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Records the fixtures of the transfer and restore tables for their Windows programs: the
# Linux test programs run once with QV_FIXTURE_RECORD, so each command a test runs (gzip, zip,
# 7zz, python3, ...) leaves what it made in OUT_DIR.
# Usage: make-fixtures.sh OUT_DIR   ($QV_LINUX_BUILD: the Linux build with the test programs)
set -u
out=$1
linux=${QV_LINUX_BUILD:-${QV_SOURCE_DIR:-.}/build}
rm -rf "$out"
mkdir -p "$out"
status=0
for t in transfer restore; do
  if [ ! -x "$linux/test_$t" ]; then
    echo "no $linux/test_$t: build the Linux tests first (make build)" >&2
    exit 1
  fi
  QV_FIXTURE_RECORD=$out QV_SOURCE_DIR=${QV_SOURCE_DIR:-.} QV_BUILD_DIR=$linux "$linux/test_$t" \
    --gtest_brief=1 > "$out/$t.log" 2>&1 || { echo "test_$t failed on Linux:"; tail -30 "$out/$t.log"; status=1; }
done
echo "$(ls "$out" | grep -c '\.fix$') fixtures recorded in $out"
exit $status
