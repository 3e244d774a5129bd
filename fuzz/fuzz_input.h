// Front-to-back reader of a fuzz input. Exhausted input reads as zeros, so every input is a
// complete program; seeds can be written by hand in the same order the harness reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool Empty() const { return p_ == end_; }
  size_t Left() const { return static_cast<size_t>(end_ - p_); }
  uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }
  uint16_t U16() {
    uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  uint64_t U64() {
    uint64_t lo = U32();
    return lo | (static_cast<uint64_t>(U32()) << 32);
  }

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// An oracle failure: libFuzzer saves the input that led here.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz oracle: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

#define FUZZ_CHECK(cond, what) \
  do {                         \
    if (!(cond)) ::fuzz::Fail(what " [" #cond "]"); \
  } while (0)

}  // namespace fuzz
