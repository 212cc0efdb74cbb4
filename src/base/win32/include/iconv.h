// SPDX-License-Identifier: Apache-2.0
// Windows build: code page conversion on MultiByteToWideChar and WideCharToMultiByte.
#pragma once
#include <stddef.h>
typedef struct qv_iconv* iconv_t;
iconv_t iconv_open(const char* to, const char* from);
size_t iconv(iconv_t cd, char** in, size_t* inLeft, char** out, size_t* outLeft);
int iconv_close(iconv_t cd);
