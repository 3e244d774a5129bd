// The virtual board as configuration space shows it: a PCI Express endpoint 10ee:5050 (class
// 0x058000) with BAR0 (4 KiB of memory) and BAR1 (the register block), interrupt pin A and MSI,
// its link as FPGA_SIM's link (trained) and link-max (capabilities) give it, function-level
// reset and AER. The one description that the served board, the suite's model of the kernel
// and its sysfs trees share.
#pragma once

#include "settings.h"
#include "vfu/device.h"

namespace board_server {

vfu::PciFunction BoardFunction(const sim::Settings& settings);

}  // namespace board_server
