// SPDX-License-Identifier: Apache-2.0
// Windows build: wiping and constant-time comparison.
#pragma once
#include <stddef.h>
void OPENSSL_cleanse(void* data, size_t length);
int CRYPTO_memcmp(const void* a, const void* b, size_t length);
