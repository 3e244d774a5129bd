// What a user has to do when a board cannot be taken through vfio-pci: the cause in words and
// the commands to type, each with the library's status for it. They need only what discovery
// (vfio/discovery.h) and an errno tell, so they can be given without opening a VFIO file, and
// fpga-diag-setup words the same items with the same texts: a fix is written once, here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vfio/discovery.h"
#include "wdc/wdc_lib.h"

namespace vfio {

// The container file every VFIO user opens first (the driver, kAccessDriver, is discovery's).
inline constexpr char kContainerPath[] = "/dev/vfio/vfio";
// Where the advice puts the udev rule that gives a user the group files for good.
inline constexpr char kUdevRulePath[] = "/etc/udev/rules.d/90-vfio.rules";
// Loads vfio-pci, and with it the vfio modules it needs (as root).
inline constexpr char kLoadModuleCommand[] = "modprobe vfio-pci";

struct Advice {
  WdcStatus status;
  std::string text;
};

std::string KiB(uint64_t bytes);  // "4 KiB", rounded up

// The board has no IOMMU group (iommu_group < 0): how to turn the IOMMU on.
Advice AdviseNoIommu(const std::string& bdf);
// How to turn the IOMMU on, which AdviseNoIommu ends with: the firmware switch and the kernel
// parameter.
std::string IommuRemedy();
// `echo BDF > /sys/bus/pci/devices/BDF/driver/unbind`, quoted: frees a function of its driver.
std::string UnbindCommand(const std::string& bdf);
// The board is bound to `driver` ("" for none) instead of vfio-pci: how to rebind it.
Advice AdviseNotBound(const std::string& bdf, const std::string& driver);
// The kernel calls the board's group not viable: the members (GroupMembers) that hold it back,
// that is all but the board and those bound to vfio-pci, and what to do about them.
Advice AdviseGroupNotViable(int group, const std::string& bdf,
                            const std::vector<PciFunction>& members);
// Opening a VFIO file, kContainerPath or a group's /dev/vfio/N, failed with `err`: whose grant
// is missing, or which module, or who holds the group.
Advice AdviseFileRefused(const std::string& path, int err, const std::string& bdf);
// VFIO_GROUP_GET_DEVICE_FD failed with EBUSY: another process has the board.
Advice AdviseDeviceHeld(const std::string& bdf);
// A lock of `bytes` did not fit under the memory-lock limit (`soft` and `hard` in bytes,
// UINT64_MAX for none) with `pinned` bytes already pinned for the board: how to raise it.
Advice AdviseLockLimit(uint64_t soft, uint64_t hard, uint64_t bytes, uint64_t pinned);
// How to raise the memory-lock limit to at least `needed` bytes, whose hard part is `hard` bytes
// (UINT64_MAX for none), for `user` ("" when unknown): the remedy AdviseLockLimit ends with, also
// given before any lock is tried. Beyond the hard limit only root can go, in limits.conf.
std::string LockLimitRemedy(uint64_t hard, uint64_t needed, const std::string& user);
// The udev rule line that makes every VFIO group file `owner`'s at each boot.
std::string UdevRule(const std::string& owner);
// VFIO_SET_IOMMU failed with EPERM: a sentence to append to that call's failure.
std::string AdviseUnsafeInterrupts();
// No function with the board's IDs (vendor:device) was found. `maker` holds the functions with
// its vendor ID; `bus_visible`: sysfs shows a PCI bus at all. What to look at and to type: what
// lspci shows of the maker, a board whose FPGA is not configured yet, the rescan of the bus.
std::string AdviseNoBoard(uint32_t vendor, uint32_t device, const std::vector<PciFunction>& maker,
                          bool bus_visible);

}  // namespace vfio
