// A PCI Express function's error registers, as fpga-diag-setup shows and clears them and
// fpga-diag-report reads them around a run: the Advanced Error Reporting (AER) capability's
// correctable and uncorrectable status, with the severity of each uncorrectable error, and
// Device Status's four error bits, each under the name the PCI Express base specification gives
// it; for the board and for the port above it (its upstream bridge in sysfs), with the kernel's
// own AER counters where it keeps them.
//
// Access. As root, through the function's sysfs config file (anyone else reads only its first
// 64 bytes there, which hold no capability). Otherwise, for the board alone, through its VFIO
// device file when the caller may open its group (vfio/config_file.h: vfio-pci resets the board
// at that open and close, which AER's sticky status survives and Device Status's does not). The
// status bits are write-1-to-clear: a clear writes exactly the bits it read as set, so that an
// error that comes in between stays recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "vfio/discovery.h"

namespace setup {

class Host;

struct ErrorRegisters {
  bool express = false;                 // the Express capability was found (Device Status is in it)
  bool aer = false;                     // the AER extended capability was found
  uint32_t express_at = 0, aer_at = 0;  // their offsets in configuration space
  uint16_t device_status = 0;           // Device Status's error bits (0 to 3) alone
  uint32_t correctable = 0;             // AER's correctable error status
  uint32_t uncorrectable = 0;           // AER's uncorrectable error status
  uint32_t severity = 0;                // AER's uncorrectable error severity: 1 fatal
  bool Any() const { return device_status != 0 || correctable != 0 || uncorrectable != 0; }
  // An uncorrectable error recorded: in AER, or without AER in Device Status (non-fatal, fatal).
  bool AnyUncorrectable() const { return aer ? uncorrectable != 0 : (device_status & 6) != 0; }
};

// The registers in `bytes` of configuration space read from offset 0. A capability list that
// leaves what was read, or loops, ends where it goes wrong (what it found so far is kept).
ErrorRegisters DecodeErrors(const uint8_t* config, size_t bytes);

// The names of bits: "Bad TLP", "Completion Timeout", "Correctable Error Detected"; a bit the
// specification has no name for is "bit N".
std::string CorrectableName(uint32_t bit);
std::string UncorrectableName(uint32_t bit);
// The set bits by name; the uncorrectable ones with their severity, "Completion Timeout
// (non-fatal)".
std::vector<std::string> CorrectableNames(const ErrorRegisters& r);
std::vector<std::string> UncorrectableNames(const ErrorRegisters& r);
std::vector<std::string> DeviceStatusNames(const ErrorRegisters& r);

// The kernel's own counts (sysfs aer_dev_correctable, aer_dev_nonfatal, aer_dev_fatal): the
// errors its AER driver was told of (by the error messages a function sends when the kernel
// controls AER), which is not every error a status bit records.
struct AerCounters {
  enum Kind { kCorrectable, kNonFatal, kFatal };
  bool present = false;  // all three files hold their totals
  uint64_t total[3] = {};
  uint64_t by_bit[3][32] = {};  // each kind's count by the bit of its status register
};

enum class ErrorAccess { kNone, kSysfs, kVfio };

struct FunctionErrors {
  std::string bdf;
  ErrorAccess access = ErrorAccess::kNone;  // kNone: not read
  std::string unread;                       // when not read: why, and how to read them
  bool busy = false;       // not read because another process holds the board's group or device
  std::string group_file;  // kVfio: the group file read through
  ErrorRegisters regs;
  AerCounters counters;
  // The kernel controls AER for the function (its root port has the kernel's AER service): it
  // clears the status bits when it handles an error message, and at every reset of the function
  // (vfio-pci resets the board at each open and close of its device file), so that its counters
  // are the record and the status bits are those no message told it of.
  bool kernel_controls_aer = false;
  bool Read() const { return access != ErrorAccess::kNone; }
};

struct BoardErrors {
  FunctionErrors board;
  bool has_port = false;  // the board sits below a bridge (a root or switch port) in sysfs
  FunctionErrors port;
  bool AnyUncorrectable() const {
    return board.regs.AnyUncorrectable() || (has_port && port.regs.AnyUncorrectable());
  }
  bool Any() const { return board.regs.Any() || (has_port && port.regs.Any()); }
};

// "through sysfs config as root", "through its VFIO group file /dev/vfio/7"
std::string AccessText(const FunctionErrors& f);

// The board's registers and its port's, as the calling user can read them.
BoardErrors ReadErrors(Host& host, const vfio::PciFunction& board);

// fpga-diag-setup clear-errors ADDR: writes 1 to exactly the status bits found set, the board's
// and (as root) its port's, through the access that read them, and reads them again. 0 when
// none is left set (or none was), 1 when they cannot be read or written or some stay, 2 when
// `address` is no board of ours.
int ClearErrors(Host& host, const std::string& address, std::ostream& out, std::ostream& err);

}  // namespace setup
