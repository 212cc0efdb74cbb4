#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Key derivation and stream decryption beside libcrypto's own functions.
set -euo pipefail
build=${1:?build folder}
"$build/bench_crypto"
