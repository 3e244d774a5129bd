// The utility's backend on real boards: every board of the controller's vendor and device ID
// that the kernel lists, reached through vfio-pci.
#include <memory>
#include <string>

#include "regs/regs.h"
#include "vfio/board.h"
#include "vfio/kernel.h"

std::unique_ptr<wdc::Backend> wdc::CreateBackend(std::string* /*error*/) {
  static vfio::LinuxKernel kernel;  // outlives every backend made over it
  return vfio::CreateVfioBackend(kernel, BOARD_VENDOR_ID, BOARD_DEVICE_ID);
}
