#include "crypto/wipe.h"

void SecureWipe(void* p, size_t n) {
  if (p == nullptr) return;
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) bytes[i] = 0;
}
