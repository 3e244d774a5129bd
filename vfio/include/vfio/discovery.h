// Finding boards through sysfs (/sys/bus/pci/devices/*), before any VFIO file is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vfio {

// The driver a board must be bound to.
inline constexpr char kAccessDriver[] = "vfio-pci";

struct PciAddress {
  uint32_t domain = 0;
  uint32_t bus = 0;
  uint32_t slot = 0;
  uint32_t function = 0;
};

// "0000:03:00.0": the name sysfs and VFIO_GROUP_GET_DEVICE_FD know the function by.
std::string BdfString(const PciAddress& address);

struct PciFunction {
  PciAddress address;
  std::string bdf;
  uint32_t vendor_id = 0;
  uint32_t device_id = 0;
  uint32_t irq = 0;
  uint32_t class_code = 0;     // base class, subclass, interface: 0x060400 for a PCI bridge
  uint64_t bar_base[6] = {};   // bus-side base of each BAR
  uint64_t bar_bytes[6] = {};  // 0: no such BAR
  std::string driver;          // the bound driver's name; empty when none
  int iommu_group = -1;        // -1: no IOMMU group (the IOMMU is off for it)
};

// Reads one function's sysfs entry; false when there is no readable entry of that name.
bool ReadPciFunction(const std::string& sysfs_root, const std::string& bdf, PciFunction* out);

// Every function with that vendor and device ID, in domain:bus:slot.function order. A machine
// with no PCI bus in sysfs (a container, say) gives an empty list: there is nothing to report.
std::vector<PciFunction> FindPciFunctions(const std::string& sysfs_root, uint32_t vendor_id,
                                          uint32_t device_id);

// Every function with that vendor ID, whatever its device ID, in the same order: what the bus
// shows of a maker when none of its functions is a board.
std::vector<PciFunction> FindVendorFunctions(const std::string& sysfs_root, uint32_t vendor_id);

// The functions that share the IOMMU group `group` (iommu_group/devices of sysfs), by BDF, each
// with its driver.
std::vector<PciFunction> GroupMembers(const std::string& sysfs_root, int group);

// The members of the board `bdf`'s group (GroupMembers) that keep the kernel from letting the
// group be used: those bound to a host driver. vfio-pci and pci-stub leave a group usable, and
// so do bridges (pcieport) whatever their driver: the kernel lets them be.
std::vector<PciFunction> GroupBlockers(const std::vector<PciFunction>& members,
                                       const std::string& bdf);

}  // namespace vfio
