// SPDX-License-Identifier: Apache-2.0
// Windows build: the decimal separator of the user's locale.
#pragma once
#include <locale.h>
#define RADIXCHAR 0x10000
inline const char* nl_langinfo_l(int, locale_t) {
  const lconv* conv = ::localeconv();
  return conv && conv->decimal_point ? conv->decimal_point : ".";
}
