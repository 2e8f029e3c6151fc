// Wiping buffers that held keys, PIN blocks, typed digits or other secrets.
#pragma once
#include <cstddef>

// Overwrites `n` bytes at `p` with zeros. The stores go through a volatile pointer, so the
// compiler cannot drop them as dead stores before the buffer is freed or goes out of scope.
void SecureWipe(void* p, size_t n);
