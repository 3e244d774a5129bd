// The function's PCI configuration space (type 0 header, 256 bytes), owned by the server and
// built from PciFunction. Every byte has a write mask: writes change only writable bits, so
// read-only registers, bytes of nothing and BAR size bits keep their values whatever the client
// writes. The status register's interrupt bit is not stored: it is the INTx level, given at
// each read. Used only on the connection thread.
#pragma once

#include <cstdint>

#include "vfu/device.h"

namespace vfu {

// A BAR size the 32-bit memory BAR registers can express: a power of two, 16 bytes to 2 GiB.
bool ValidBarSize(uint64_t bytes);

class ConfigSpace {
 public:
  static constexpr uint32_t kBytes = 256;
  static constexpr uint32_t kMsiCap = 0x40;

  // Every BAR of `fn` must be 0 or ValidBarSize.
  explicit ConfigSpace(const PciFunction& fn);

  // The range lies inside the space (the caller checked).
  void Read(uint32_t offset, uint32_t len, uint8_t* dst, bool intx_asserted) const;
  void Write(uint32_t offset, uint32_t len, const uint8_t* src);

  bool BusMaster() const;
  bool IntxDisabled() const;

  // A function-level reset: the command register, the BAR addresses and MSI back to zero.
  void Reset();

 private:
  uint8_t bytes_[kBytes] = {};
  uint8_t wmask_[kBytes] = {};
};

}  // namespace vfu
