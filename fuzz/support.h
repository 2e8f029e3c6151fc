// Shared pieces of the fuzz targets: a reader over the fuzzer's input and the set-up
// that makes the library quiet and quick for millions of calls.
//
// Every target defines LLVMFuzzerTestOneInput; LLVMFuzzerInitialize (support.cpp) makes
// the library quiet before the first input.
// The same target file is linked either with libFuzzer (the fuzz preset, clang) or
// with replay_main.cpp, which feeds it the kept inputs of fuzz/regressions and
// fuzz/corpus in the ordinary test runs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

// The entry points libFuzzer (or the replay) calls.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace rv270fuzz {

// Takes bytes from the front of the input; past its end every read gives 0.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  // What is left, taken whole.
  std::vector<uint8_t> Rest() {
    std::vector<uint8_t> rest(data_ + at_, data_ + size_);
    at_ = size_;
    return rest;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Stops the run with a message: libFuzzer keeps the input as a crash, the replay fails.
[[noreturn]] void Fail(const char* what);

}  // namespace rv270fuzz

#define RV270_FUZZ_CHECK(cond) \
  do {                         \
    if (!(cond)) ::rv270fuzz::Fail(#cond); \
  } while (0)
