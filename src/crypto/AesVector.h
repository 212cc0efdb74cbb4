#pragma once
// The counter-mode keystream on the vector AES instructions (two blocks per instruction,
// four registers in flight), for CPUs that have them; the library's block cipher stays the
// portable path. Counter layout as CtrTransform: bytes 0..7 a little-endian 64-bit count,
// bytes 8..15 fixed.
#include <cstddef>
#include <cstdint>

namespace qv {

// Round keys in the byte order the AES instructions take; FRounds 0 when not expanded.
struct TAesVectorKey {
  alignas(16) uint8_t FRoundKeys[15][16] = {};
  int FRounds = 0;
};

// True when the CPU (and the OS, for the wide registers) supports the vector path and it
// is not switched off.
bool AesVectorActive();
// Switches the vector path off (false) or back on; answers the previous setting.
bool SetAesVectorEnabled(bool enabled);

// Expands a 16-, 24- or 32-byte key; false (and FRounds 0) for other lengths or a CPU
// without the AES instructions.
bool AesVectorExpand(const uint8_t* key, size_t keyBytes, TAesVectorKey& out);

// out = in XOR keystream of the blocks counter+1 .. counter+blocks (high: bytes 8..15 of
// every counter block). in may equal out. Answers the last counter used. Only call when
// AesVectorActive() and the key is expanded.
uint64_t AesVectorCtr(const TAesVectorKey& key, uint64_t counter, uint64_t high, const uint8_t* in,
                      uint8_t* out, size_t blocks);

}  // namespace qv
