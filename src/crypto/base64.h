// Standard Base64 encoding, used to hand the customer's signature image back to the
// host program as text.
#pragma once
#include <cstddef>
#include <cstdint>

// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks). The alphabet is one
// process-wide constant text.
extern const char* const g_szBase64Alphabet;

// The workflows create one on the stack for each encoding; it keeps no state.
class CBase64 {
 public:
  virtual ~CBase64();
  // Number of characters the text of n bytes takes: 4 * ceil(n / 3). For an n so large
  // that the count does not fit a size_t, returns SIZE_MAX.
  static size_t EncodedLength(size_t n);
  // Writes exactly EncodedLength(n) characters to out (no terminator) and stores that
  // count in *outLength; returns true. When `capacity` is smaller than that count,
  // writes nothing, stores the needed count and returns false.
  // A null `in` with n > 0 writes nothing, stores 0 and returns false; a null `out`
  // counts as capacity 0; `outLength` may be null. n == 0 writes nothing, stores 0 and
  // returns true.
  bool Encode(const uint8_t* in, size_t n, char* out, size_t capacity, size_t* outLength);
};
