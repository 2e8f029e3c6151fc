// Secrets in log lines. A line that names a key, a key component, a PIN block, a typed
// password or plaintext for encryption keeps its text and shape, with every character
// of the secret written as '*'; a card number keeps its last four digits. The masked
// text holds no byte of the secret (the card number's last four digits aside).
#pragma once
#include <cstddef>
#include <string>

namespace api {

class Masked {
 public:
  // A zero-terminated secret (null shows as empty).
  explicit Masked(const char* secret);
  // A secret of `length` bytes that a "%s" would show up to its first zero byte.
  Masked(const void* bytes, size_t length);
  // A card number: every character but the last four as '*' (all of a number of four
  // characters or fewer).
  static Masked CardNumber(const char* number);

  const char* c_str() const { return text_.c_str(); }

 private:
  Masked() = default;
  std::string text_;
};

}  // namespace api
