// What the board's DMA units share: the control word's fields, the engine's copy unit, the
// outcome of a copy, and the log of what went wrong for the library's close-time audit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "regs/regs.h"

namespace sim {

constexpr uint32_t kCountMask = CTRL_COUNT_LIMIT - 1;  // byte count bits of a control word
constexpr uint32_t kFirstLast = CTRL_FIRST | CTRL_LAST;
constexpr uint64_t kChunk = 64 * 1024;        // engine copy unit; also its scratch size
constexpr uint64_t kServiceBytes = 4u << 20;  // bytes a run may move before commands are seen

// One segment of host memory as a descriptor or a channel's registers give it.
struct Segment {
  uint32_t bus;
  uint32_t bytes;
};

// How a copy of the engine ended: done, dropped because its job was stopped meanwhile (the
// job's generation changed), or refused by the bus map.
enum class Move { kOk, kAborted, kBlocked };

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Guarded by the board's lock. Every blocked access is also a programming error: the host gave
// the board an address it may not use.
class DmaLog {
 public:
  void Error(const std::string& reason);
  void Blocked(const std::string& reason);
  // Adds what was logged since the last audit to *findings (may be null) and forgets it.
  void Report(std::vector<std::string>* findings);

 private:
  uint64_t blocked_ = 0;
  uint64_t errors_ = 0;
  std::string first_error_;
};

}  // namespace sim
