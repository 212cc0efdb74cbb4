// SPDX-License-Identifier: Apache-2.0
// Windows build: the SHA-1 calls the cipher primitives use, on our own SHA-1 (the chaining
// state is reached directly, as the precomputed HMAC pads need it).
#pragma once
#include <stddef.h>
#include <stdint.h>
#define SHA_DIGEST_LENGTH 20
#define SHA_CBLOCK 64
struct SHA_CTX {
  uint32_t h0, h1, h2, h3, h4;
  uint32_t Nl, Nh;  // message length in bits
  uint32_t data[16];
  unsigned int num;  // bytes waiting in data
};
int SHA1_Init(SHA_CTX* c);
int SHA1_Update(SHA_CTX* c, const void* data, size_t length);
int SHA1_Final(unsigned char* md, SHA_CTX* c);
void SHA1_Transform(SHA_CTX* c, const unsigned char* block);
unsigned char* SHA1(const unsigned char* data, size_t length, unsigned char* md);
