// PCI-Express link pacing: effective payload rate of one direction of the link (128-byte
// payloads, after packet and flow-control overhead), in bytes per second. Both directions
// carry this rate at the same time (full duplex).
#pragma once

#include <cstdint>

namespace sim {

inline double LinkBytesPerSecond(uint32_t gen, uint32_t width) {
  // MB/s (10^6 bytes) for x1, x4 and x8 of each generation; x2 and x16 scale from x1 and x8.
  static const double kRates[3][3] = {{201, 673, 1312}, {407, 1502, 2981}, {808, 3075, 6126}};
  if (gen < 1 || gen > 3) gen = 2;
  const double* g = kRates[gen - 1];
  double mbps;
  switch (width) {
    case 1: mbps = g[0]; break;
    case 2: mbps = g[0] * 2; break;
    case 8: mbps = g[2]; break;
    case 16: mbps = g[2] * 2; break;
    default: mbps = g[1]; break;
  }
  return mbps * 1e6;
}

}  // namespace sim
