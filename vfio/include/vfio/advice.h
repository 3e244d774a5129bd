// What a user has to do when a board cannot be taken through vfio-pci: the cause in words and
// the commands to type, each with the library's status for it. They need only what discovery
// (vfio/discovery.h) and an errno tell, so they can be given without opening a VFIO file.
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

struct Advice {
  WdcStatus status;
  std::string text;
};

std::string KiB(uint64_t bytes);  // "4 KiB", rounded up

// The board has no IOMMU group (iommu_group < 0): how to turn the IOMMU on.
Advice AdviseNoIommu(const std::string& bdf);
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
// How to raise the memory-lock limit, whose hard part is `hard` bytes (UINT64_MAX for none):
// the remedy AdviseLockLimit ends with, also given before any lock is tried.
std::string LockLimitRemedy(uint64_t hard);
// The udev rule line that makes every VFIO group file `owner`'s at each boot.
std::string UdevRule(const std::string& owner);
// VFIO_SET_IOMMU failed with EPERM: a sentence to append to that call's failure.
std::string AdviseUnsafeInterrupts();

}  // namespace vfio
