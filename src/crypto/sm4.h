// The SM4 block cipher of GB/T 32907-2016 (128-bit key and block, 32 rounds), used on
// the host to protect operator passwords and keys and to compute their check values.
// Encryption of single blocks only: no decryption, chaining or padding. Nothing is
// allocated; the round keys live in the caller's storage. No state; thread-safe.
#pragma once
#include <cstdint>

// Expands a 16-byte key into the 32 round keys, in encryption order.
void Sm4KeyExpansion(const uint8_t key[16], uint32_t roundKeys[32]);

// Encrypts one 16-byte block with round keys from Sm4KeyExpansion. `in` and `out` may
// be the same buffer. Words are read and written big-endian, as the standard defines.
void Sm4EncryptBlock(const uint32_t roundKeys[32], const uint8_t in[16], uint8_t out[16]);
