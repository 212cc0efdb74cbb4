// SPDX-License-Identifier: Apache-2.0
// Windows build: AES in ECB blocks on the system's CNG (bcrypt), under the names the cipher
// primitives call.
#pragma once
#include <stddef.h>
struct evp_cipher_st;
struct evp_cipher_ctx_st;
typedef struct evp_cipher_st EVP_CIPHER;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;
typedef struct engine_st ENGINE;
const EVP_CIPHER* EVP_aes_128_ecb();
const EVP_CIPHER* EVP_aes_192_ecb();
const EVP_CIPHER* EVP_aes_256_ecb();
EVP_CIPHER_CTX* EVP_CIPHER_CTX_new();
void EVP_CIPHER_CTX_free(EVP_CIPHER_CTX* ctx);
int EVP_EncryptInit_ex(EVP_CIPHER_CTX* ctx, const EVP_CIPHER* cipher, ENGINE* engine,
                       const unsigned char* key, const unsigned char* iv);
int EVP_CIPHER_CTX_set_padding(EVP_CIPHER_CTX* ctx, int padding);
int EVP_EncryptUpdate(EVP_CIPHER_CTX* ctx, unsigned char* out, int* outLength,
                      const unsigned char* in, int inLength);
