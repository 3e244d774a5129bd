// SHA-256 over a stream of bytes, for the log's fingerprint in the outputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace report {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t n);
  std::string HexDigest();  // lower-case hex; the object is spent after it

 private:
  void Block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buf_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace report
