#include "api/secret_text.h"

#include <cstring>

namespace api {

namespace {

constexpr size_t kCardDigitsShown = 4;

size_t TextLength(const char* text) { return text ? strlen(text) : 0; }

}  // namespace

Masked::Masked(const char* secret) : text_(TextLength(secret), '*') {}

Masked::Masked(const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  const void* zero = p ? memchr(p, 0, length) : nullptr;
  const size_t shown = p == nullptr ? 0 : zero ? static_cast<size_t>(static_cast<const char*>(zero) - p) : length;
  text_.assign(shown, '*');
}

Masked Masked::CardNumber(const char* number) {
  Masked masked;
  const size_t length = TextLength(number);
  masked.text_.assign(length, '*');
  if (length > kCardDigitsShown) masked.text_.replace(length - kCardDigitsShown, kCardDigitsShown,
                                                      number + length - kCardDigitsShown);
  return masked;
}

}  // namespace api
