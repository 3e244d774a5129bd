// What the units of fpga-diag-setup share: small sysfs readers, the spellings of IDs, drivers
// and sizes, and the resolution of an address the user typed.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "setup/setup.h"
#include "vfio/discovery.h"

namespace setup {
namespace internal {

inline constexpr char kTool[] = "fpga-diag-setup";

std::string Trimmed(const std::string& text);
// A sysfs attribute's value, trimmed; false when it cannot be read.
bool ReadLine(const std::string& path, std::string* text);
bool Exists(const std::string& path);
size_t CountEntries(const std::string& dir);  // the names in a directory, dot files aside

std::string DeviceDir(const std::string& sysfs_root, const std::string& bdf);
// The bridge above the function in sysfs's device tree (a root or switch port), by its BDF; ""
// when the function sits on a root bus.
std::string UpstreamPort(const std::string& sysfs_root, const std::string& bdf);
// Whether the kernel controls AER for the function: the root port above it has the kernel's AER
// port service (/sys/bus/pci_express/devices/ROOTPORT:pcie002), which it binds only then.
bool KernelControlsAer(const std::string& sysfs_root, const std::string& bdf);
std::string GroupFile(int group);                   // "/dev/vfio/N"
std::string DriverText(const std::string& driver);  // "driver xdma", "no driver"
std::string Id(uint32_t vendor, uint32_t device);   // "10ee:5050"
std::string KiBText(uint64_t bytes);                // "102616 KiB", "unlimited"
// The board's driver_override; "" for none.
std::string Override(const std::string& sysfs_root, const std::string& bdf);

// What an address is resolved for: a report says what it found, a change refuses to touch it.
enum class Purpose { kReport, kChange };
// The board at the address the user typed, or false with why it is refused said on `err`
// (exit status 2).
bool Resolve(Host& host, const std::string& text, Purpose purpose, vfio::PciFunction* f,
             std::ostream& err);

}  // namespace internal
}  // namespace setup
