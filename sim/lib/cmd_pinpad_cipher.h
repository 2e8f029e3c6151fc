// The PIN pad's cipher work inside the simulated terminal: hexadecimal text, DES and
// triple DES (keys of 8, 16 or 24 bytes) and SM4 in electronic code book, key check
// values, ISO 9564 format 0 PIN blocks, random bytes, and the key store kept in the
// state's free slots.
#pragma once
#include <cstdint>
#include <string>

#include "commands.h"

namespace rv270sim {
namespace pinpad {

enum class Cipher { kDes, kSm4 };

// Upper-case hexadecimal text of bytes, and bytes of hexadecimal text (false when the
// text is not an even number of hexadecimal digits).
std::string ToHex(const Bytes& bytes);
bool FromHex(const std::string& text, Bytes& out);

// True when `key` has a length the cipher takes (DES: 8, 16 or 24 bytes; SM4: 16).
bool KeyFits(Cipher cipher, const Bytes& key);
// ECB over whole blocks (the data is completed with zero bytes to a block).
Bytes Ecb(Cipher cipher, const Bytes& key, const Bytes& data, bool encrypt);
// Check value: the all-zero block encrypted, its first 4 bytes as 8 hexadecimal characters.
std::string CheckValue(Cipher cipher, const Bytes& key);

// ISO 9564-1 format 0 clear PIN block of a PIN and a 12-digit account field (an empty
// field gives the PIN field alone, as with an all-zero account).
Bytes Format0Block(const std::string& pin, const std::string& accountField);
// The 12-digit account field of a card number: its rightmost 12 digits without the
// check digit, padded with '0' on the left.
std::string AccountField(const std::string& cardNumber);

Bytes RandomBytes(size_t n);

// A stored key: hexadecimal text and cipher, under a name of the key store.
struct StoredKey {
  Bytes key;
  Cipher cipher = Cipher::kDes;
};
bool FindKey(const DeviceState& s, const std::string& name, StoredKey& out);
void StoreKey(DeviceState& s, const std::string& name, const StoredKey& key);

// A value of the state's free slots, or `fallback`.
std::string Value(const DeviceState& s, const std::string& name, const std::string& fallback = "");

}  // namespace pinpad
}  // namespace rv270sim
