// SPDX-License-Identifier: Apache-2.0
#pragma once
// CRC-32 (ISO 3309, zlib's crc32) on the engine chosen at build time.
#include <cstddef>
#include <cstdint>

namespace qv {

// Continues crc (0 to start) over size bytes.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t size);

}  // namespace qv
