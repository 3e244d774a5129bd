// A PCI Express link and what one direction of it can carry: the raw rate a lane (2.5, 5, 8,
// 16 or 32 GT/s) after its line encoding (8b/10b up to 5 GT/s, 128b/130b above), times the
// width, in the utility's MByte/sec (2^20 bytes). Packet headers, acknowledgements and flow
// control come out of that, so no transfer can reach it; a healthy one carries a share of it.
#pragma once

#include <string>
#include <string_view>

namespace report {

struct Link {
  int gen = 0;    // 1..5; 0: unknown
  int width = 0;  // lanes: 1, 2, 4, 8, 12, 16 or 32
  bool Known() const { return gen > 0 && width > 0; }
  bool operator==(const Link& o) const { return gen == o.gen && width == o.width; }
};

// "gen3x8" (as --link and FPGA_SIM's link= write it); false when malformed.
bool ParseLink(std::string_view text, Link* out);
// sysfs's current_link_speed or max_link_speed ("8.0 GT/s PCIe") and the matching width file;
// an unknown link when the speed is not one of the five ("Unknown", empty).
Link LinkFromSysfs(const std::string& speed, unsigned width);

double LaneGigaTransfers(int gen);  // 2.5, 5, 8, 16, 32
// One direction's ceiling in MByte/sec; 0 for an unknown link.
double CeilingMBytes(const Link& link);

// "gen3 x8"
std::string LinkName(const Link& link);

}  // namespace report
