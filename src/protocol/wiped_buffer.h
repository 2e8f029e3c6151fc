// Working buffers of the exchanges that are wiped when they go out of scope: requests,
// answers, packets and typed keys may carry key material or PIN blocks, and none of it
// should outlive the exchange in freed memory or on the stack.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crypto/wipe.h"

// A zeroed heap buffer of a size fixed at construction, wiped on destruction.
class WipedBytes {
 public:
  explicit WipedBytes(size_t size) : bytes_(size, 0) {}
  WipedBytes(const uint8_t* data, size_t length, size_t size) : bytes_(size > length ? size : length, 0) {
    if (length) std::copy(data, data + length, bytes_.begin());
  }
  ~WipedBytes() { SecureWipe(bytes_.data(), bytes_.size()); }
  WipedBytes(const WipedBytes&) = delete;
  WipedBytes& operator=(const WipedBytes&) = delete;

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  uint8_t& operator[](size_t i) { return bytes_[i]; }
  const uint8_t& operator[](size_t i) const { return bytes_[i]; }

 private:
  std::vector<uint8_t> bytes_;
};

// A zeroed stack buffer of N bytes, wiped on destruction.
template <size_t N>
struct WipedArray {
  uint8_t data[N] = {0};
  WipedArray() = default;
  ~WipedArray() { SecureWipe(data, N); }
  WipedArray(const WipedArray&) = delete;
  WipedArray& operator=(const WipedArray&) = delete;
  static constexpr size_t size() { return N; }
  uint8_t& operator[](size_t i) { return data[i]; }
};
