// Base64 with the RFC 4648 alphabet: each three input bytes become four characters,
// each the alphabet entry of the next six bits, most significant first; a final single
// byte gives two characters and "==", a final pair three characters and "=".
#include "crypto/base64.h"

#include <cstdint>

const char* const g_szBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

namespace {

// Largest input whose text length still fits a size_t.
constexpr size_t kMaxEncodableBytes = SIZE_MAX / 4 * 3;

void StoreLength(size_t* outLength, size_t value) {
  if (outLength != nullptr) *outLength = value;
}

}  // namespace

CBase64::~CBase64() = default;

size_t CBase64::EncodedLength(size_t n) {
  if (n > kMaxEncodableBytes) return SIZE_MAX;
  return (n / 3 + (n % 3 != 0 ? 1 : 0)) * 4;
}

bool CBase64::Encode(const uint8_t* in, size_t n, char* out, size_t capacity,
                     size_t* outLength) {
  if (n == 0) {
    StoreLength(outLength, 0);
    return true;
  }
  if (in == nullptr) {
    StoreLength(outLength, 0);
    return false;
  }
  const size_t needed = EncodedLength(n);
  if (out == nullptr) capacity = 0;
  if (n > kMaxEncodableBytes || capacity < needed) {
    StoreLength(outLength, needed);
    return false;
  }

  const char* const alphabet = g_szBase64Alphabet;
  char* p = out;
  size_t i = 0;
  for (; n - i >= 3; i += 3) {
    const uint32_t group = (static_cast<uint32_t>(in[i]) << 16) |
                           (static_cast<uint32_t>(in[i + 1]) << 8) | in[i + 2];
    *p++ = alphabet[(group >> 18) & 0x3F];
    *p++ = alphabet[(group >> 12) & 0x3F];
    *p++ = alphabet[(group >> 6) & 0x3F];
    *p++ = alphabet[group & 0x3F];
  }
  const size_t rest = n - i;
  if (rest != 0) {
    const uint32_t group = (static_cast<uint32_t>(in[i]) << 16) |
                           (rest == 2 ? static_cast<uint32_t>(in[i + 1]) << 8 : 0u);
    *p++ = alphabet[(group >> 18) & 0x3F];
    *p++ = alphabet[(group >> 12) & 0x3F];
    *p++ = rest == 2 ? alphabet[(group >> 6) & 0x3F] : '=';
    *p++ = '=';
  }
  StoreLength(outLength, needed);
  return true;
}
