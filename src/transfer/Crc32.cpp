// SPDX-License-Identifier: Apache-2.0
#include "transfer/Crc32.h"

#include <zlib.h>

#include <algorithm>
#ifdef QV_USE_ISAL
#include <isa-l/crc.h>
#endif

namespace qv {

uint32_t Crc32Update(uint32_t crc, const void* data, size_t size) {
#ifdef QV_USE_ISAL
  // ISA-L's gzip CRC uses the same pre- and post-conditioning as zlib.
  return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), size);
#else
  const auto* bytes = static_cast<const Bytef*>(data);
  while (size > 0) {  // zlib takes a 32-bit length
    const auto chunk = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = static_cast<uint32_t>(crc32(crc, bytes, chunk));
    bytes += chunk;
    size -= chunk;
  }
  return crc;
#endif
}

}  // namespace qv
