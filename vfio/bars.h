// The board's regions as the device file shows them: its six BARs, each mapped into the process
// when the kernel allows it, and its configuration space, where bus mastering is switched.
//
// Open and Unmap come from the open and the close; the accesses come from the library's callers
// and its interrupt thread at once, and touch only what Open set up.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "vfio/kernel.h"
#include "wdc/backend.h"

namespace vfio {

class Bars {
 public:
  Bars(Kernel& kernel, std::string bdf) : kernel_(kernel), bdf_(std::move(bdf)) {}

  // The region info of every BAR and of the configuration space, through `device_fd`, with the
  // BARs mapped that may be mapped. A BAR that cannot be (I/O ports, a sparse area around an
  // MSI-X table) is still reached through pread and pwrite.
  WdcStatus Open(int device_fd);
  // Unmaps the BARs and forgets every region and the device file.
  void Unmap();
  // Whether the configuration space was found, so that bus mastering can be switched.
  bool HasConfig() const { return config_.bytes != 0; }
  WdcStatus SetBusMaster(bool on);

  uint64_t Bytes(uint32_t bar) const { return bars_[bar].bytes; }  // bar < 6
  wdc::DeviceWindow Window(uint32_t bar) const;
  WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value);
  WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value);

 private:
  struct Region {
    uint64_t offset = 0;  // into the device fd
    uint64_t bytes = 0;
    void* map = nullptr;  // mmap of the whole BAR, when the region allows it
  };

  bool AccessOk(uint32_t bar, uint64_t offset, uint32_t width, WdcStatus* status) const;

  Kernel& kernel_;
  const std::string bdf_;
  int device_fd_ = -1;
  Region bars_[6];
  Region config_;
};

}  // namespace vfio
