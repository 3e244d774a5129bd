// Outputs of whole runs for the report's own cases, built from the oracle's texts: the rates a
// virtual board on a given link prints (its model's, through the 16-bit counts), and runs that
// end in each way a run can.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "link_model.h"
#include "oracle.h"

namespace report_logs {

using namespace oracle;

inline std::string Fixed(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%.6f", v);
  return s;
}

// The nine rate lines' figures of the virtual board on genGxW: each channel's buffers of 64 KiB
// in one second of the model's rate, kept in 16 bits, times 64 KiB in MByte/sec; the write
// direction whole, one read channel the read direction, two of them half each.
inline std::vector<std::string> ModelRates(int gen, int width) {
  const double d =
      sim::LinkBytesPerSecond(static_cast<uint32_t>(gen), static_cast<uint32_t>(width));
  auto printed = [](double bytes_per_second) {
    const auto count = static_cast<uint64_t>(bytes_per_second / 65536) & 0xFFFF;
    return Fixed(static_cast<double>(count) / 16);
  };
  const std::string all = printed(d), half = printed(d / 2);
  return {all, all, half, half, all, all, all, half, half};
}

// The backloop at the model's rate of one direction.
inline std::string ModelBackloop(int gen, int width, uint32_t mismatches = 0) {
  std::string out = BackloopHeading() + BackloopResult(mismatches);
  const double d =
      sim::LinkBytesPerSecond(static_cast<uint32_t>(gen), static_cast<uint32_t>(width));
  return out.replace(out.find("%f"), 2, Fixed(d / 1048576));
}

inline SizeCounts Clean(uint32_t) { return SizeCounts{}; }

// Both passes to their end, then the performance test and the backloop of genGxW.
inline std::string WholeRun(int gen, int width, const CountsOfSize& write_counts = Clean) {
  uint64_t total = 0;
  return Banner() + Bar0AllSuccess() + CompletePass(Pass::kMemoryWrite, write_counts, &total) +
         CompletePass(Pass::kMemoryRead, Clean, &total) + Performance(ModelRates(gen, width)) +
         ModelBackloop(gen, width);
}

// A run whose memory-write pass a key ended during size `stopped_at` (clean sizes before it).
inline std::string KeyEndedRun(uint32_t stopped_at, int gen = 2, int width = 4) {
  std::string out = UntilIntegrity();
  for (uint32_t f = 4096; f > stopped_at; --f) out += SizeBlock(f, {});
  return out + SizeLine(stopped_at) + Interrupted() + Performance(ModelRates(gen, width)) +
         ModelBackloop(gen, width);
}

}  // namespace report_logs
