// SPDX-License-Identifier: Apache-2.0
#pragma once
// PBKDF2-HMAC-SHA1 chains on the x86 SHA instructions. Each output block of a derivation is
// one serial chain of 2 x iterations compressions; one chain alone waits on the latency of
// the round instruction, so up to four independent chains run interleaved in lanes.
#include <cstddef>
#include <cstdint>

namespace qv {

inline constexpr size_t CMaxSha1Lanes = 4;

// True when the CPU has the SHA extensions and they are not switched off.
bool Sha1LanesActive();
// Switches the lanes off (false) or back on; answers the previous setting. Lets tests and
// benchmarks run the portable path on any machine.
bool SetSha1LanesEnabled(bool enabled);

// Runs count (1..4) chains that share the HMAC pad states innerPad/outerPad (chaining words
// after the key block XOR 0x36 / 0x5C). Lane l starts from u1[l] (U1 of its block) and
// leaves the XOR of U1..U(iterations) in t[l]. Only call when Sha1LanesActive().
void Pbkdf2Sha1Lanes(const uint32_t innerPad[5], const uint32_t outerPad[5],
                     const uint8_t (*u1)[20], uint8_t (*t)[20], size_t count, uint32_t iterations);

}  // namespace qv
