// Single DES on one 8-byte block: the cipher behind the optional packet encryption,
// which runs it block by block (electronic code book) with a fixed key.
#pragma once
#include <cstdint>

// One DES block operation (FIPS 46-3: standard key schedule, S-boxes, 16 rounds).
// `encrypt` true enciphers, false deciphers. The low bit of each key byte is the
// parity bit and is ignored, as the standard defines. `in` and `out` may be the same
// buffer. Keeps no state; safe to call from any thread.
void DesBlock(const uint8_t key[8], const uint8_t in[8], uint8_t out[8], bool encrypt);
