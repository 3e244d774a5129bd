// The function's PCI configuration space, built from PciFunction: the type 0 header, an MSI
// capability, and for a PCI Express endpoint 4 KiB with the Express capability (version 2:
// device, link and their second registers) and the Advanced Error Reporting capability at
// 0x100. Registers the function does not implement read as zero.
//
// Every bit has its kind, as PCI Express defines it: read-only, read/write (the write mask),
// write-1-to-clear, and whether a reset of the function leaves it alone (the sticky bits of AER
// and Link Control 2, and the link's own fields, which the function shares with the port above
// it: Max_Payload_Size, ASPM Control, Common Clock, Extended Synch). A reset (DEVICE_RESET, or
// Initiate Function-Level Reset in Device Control) puts every other bit back at its power-on
// value. The status register's interrupt bit is not stored: it is the INTx level, given at each
// read.
//
// Errors come from the function's threads (it is the function's ErrorReporting) and accesses
// from the server's connection thread: every call takes the space's own lock, and none calls
// out while holding it.
#pragma once

#include <cstdint>
#include <mutex>

#include "vfu/device.h"

namespace vfu {

// A BAR size the 32-bit memory BAR registers can express: a power of two, 16 bytes to 2 GiB.
bool ValidBarSize(uint64_t bytes);

class ConfigSpace final : public ErrorReporting {
 public:
  static constexpr uint32_t kConventionalBytes = 256;
  static constexpr uint32_t kExpressBytes = 4096;
  static constexpr uint32_t kMsiCap = 0x40;
  static constexpr uint32_t kExpressCap = 0x50;  // 0x40 when there is no MSI capability
  static constexpr uint32_t kAerCap = 0x100;

  // Every BAR of `fn` must be 0 or ValidBarSize.
  explicit ConfigSpace(const PciFunction& fn);

  uint32_t Size() const { return size_; }

  // The range lies inside the space (the caller checked).
  void Read(uint32_t offset, uint32_t len, uint8_t* dst, bool intx_asserted) const;
  // True when the write initiated a function-level reset: the caller then resets the function
  // and calls Reset(), before it answers the write, so that the reset is done when the client's
  // write returns.
  bool Write(uint32_t offset, uint32_t len, const uint8_t* src);

  bool BusMaster() const;
  bool IntxDisabled() const;

  // A reset of the function: every bit but those a reset leaves alone back at its power-on
  // value (the command register, the BAR addresses and MSI among them).
  void Reset();

  // ErrorReporting: the status bits (and Device Status's detected bits) are set whatever the
  // masks say; an unmasked uncorrectable error also takes the First Error Pointer and the
  // Header Log, unless the error they hold is still pending. Without AER, nothing happens.
  void Correctable(uint32_t bit) override;
  void Uncorrectable(uint32_t bit, const uint32_t* header) override;

 private:
  mutable std::mutex mu_;
  uint32_t size_ = kConventionalBytes;
  uint32_t express_ = 0;  // the Express capability's offset; 0: none
  bool aer_ = false;
  bool flr_ = false;
  uint8_t bytes_[kExpressBytes] = {};
  uint8_t initial_[kExpressBytes] = {};  // the power-on values
  uint8_t wmask_[kExpressBytes] = {};    // read/write bits
  uint8_t w1c_[kExpressBytes] = {};      // write-1-to-clear bits
  uint8_t keep_[kExpressBytes] = {};     // bits a reset leaves alone
};

}  // namespace vfu
