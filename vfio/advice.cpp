#include "vfio/advice.h"

#include <cerrno>

#include "vfio/kernel.h"

namespace vfio {

std::string KiB(uint64_t bytes) { return std::to_string((bytes + 1023) / 1024) + " KiB"; }

Advice AdviseNoIommu(const std::string& bdf) {
  return {WDC_STATUS_NO_IOMMU,
          "the board at " + bdf +
              " has no IOMMU group: the IOMMU is off. Turn on VT-d (Intel) or AMD-Vi/IOMMU "
              "(AMD) in the firmware setup; on Intel also add intel_iommu=on to the kernel "
              "command line (amd_iommu=on on AMD, where it is on by default unless "
              "amd_iommu=off is given): GRUB_CMDLINE_LINUX in /etc/default/grub, then "
              "update-grub and reboot."};
}

Advice AdviseNotBound(const std::string& bdf, const std::string& driver) {
  const std::string dev = "/sys/bus/pci/devices/" + bdf;
  std::string text =
      "the board at " + bdf + " is bound to " +
      (driver.empty() ? std::string("no driver") : "the driver " + driver) +
      ", not to vfio-pci. As root: `modprobe vfio-pci`, then `driverctl set-override " + bdf +
      " vfio-pci` (package driverctl; kept across reboots), or by hand: `echo vfio-pci > " + dev +
      "/driver_override`";
  // Without a driver there is nothing to unbind, and the unbind file does not exist.
  if (!driver.empty()) text += ", `echo " + bdf + " > " + dev + "/driver/unbind`";
  text += ", `echo " + bdf + " > /sys/bus/pci/drivers_probe`.";
  return {WDC_STATUS_NOT_BOUND, text};
}

Advice AdviseGroupNotViable(int group, const std::string& bdf,
                            const std::vector<PciFunction>& members) {
  std::string others;
  for (const PciFunction& member : members) {
    if (member.bdf == bdf || member.driver == kAccessDriver) continue;
    others += (others.empty() ? "" : ", ") + member.bdf + " (" +
              (member.driver.empty() ? "no driver" : "driver " + member.driver) + ")";
  }
  return {WDC_STATUS_GROUP_NOT_VIABLE,
          "IOMMU group " + std::to_string(group) + " of the board at " + bdf +
              " is not usable: other devices share it" + (others.empty() ? "" : ": " + others) +
              ". Every device of the group must be bound to vfio-pci or to no driver: "
              "unbind each (`echo BDF > /sys/bus/pci/devices/BDF/driver/unbind`) or bind it "
              "to vfio-pci like the board, or move the board to a slot with a group of its "
              "own."};
}

Advice AdviseFileRefused(const std::string& path, int err, const std::string& bdf) {
  const std::string why =
      "cannot open " + path + " for the board at " + bdf + ": " + ErrnoText(err) + ". ";
  const bool container = path == kContainerPath;
  if (err == EACCES || err == EPERM) {
    if (container)
      return {WDC_STATUS_NO_PERMISSION,
              why + "It is normally open to every user: `sudo chmod 0666 " + path + "`."};
    return {WDC_STATUS_NO_PERMISSION,
            why +
                "To use the board without root, give your user the group's file: `sudo "
                "chown $USER " +
                path + "` (until the next boot), or for good a udev rule, e.g. in " +
                kUdevRulePath + ": " + UdevRule("<your user>") + ", then `udevadm trigger`."};
  }
  if (err == ENOENT)
    return {WDC_STATUS_SYSTEM_ERROR,
            why + (container ? "The vfio modules are not loaded: `sudo modprobe vfio-pci`."
                             : "The board's IOMMU group has no VFIO file: check that the "
                               "board is bound to vfio-pci.")};
  // The container may be opened any number of times; a group only once.
  if (err == EBUSY && !container)
    return {WDC_STATUS_DEVICE_BUSY,
            why + "Another process holds the board's IOMMU group (only one may open " + path +
                "): end that process first."};
  return {WDC_STATUS_SYSTEM_ERROR, why};
}

Advice AdviseDeviceHeld(const std::string& bdf) {
  return {WDC_STATUS_DEVICE_BUSY, "the board at " + bdf +
                                      " is held by another process "
                                      "(VFIO_GROUP_GET_DEVICE_FD: EBUSY): end that "
                                      "process first."};
}

Advice AdviseLockLimit(uint64_t soft, uint64_t hard, uint64_t bytes, uint64_t pinned) {
  return {WDC_STATUS_LOCK_LIMIT,
          "the memory-lock limit is too low: `ulimit -l` is " + std::to_string(soft / 1024) +
              " (KiB), and this lock of " + KiB(bytes) + " comes on top of " + KiB(pinned) +
              " this board already pins. The scatter/gather backloop alone pins over "
              "100 MiB at once. " +
              LockLimitRemedy(hard)};
}

std::string LockLimitRemedy(uint64_t hard) {
  const std::string hard_text =
      hard == UINT64_MAX ? "unlimited" : std::to_string(hard / 1024) + " KiB";
  return "Raise the limit in the shell that starts the utility: `ulimit -l unlimited` (the hard "
         "limit is " +
         hard_text +
         "; root may go beyond it), or for good in /etc/security/limits.conf: `<user> soft "
         "memlock unlimited` and `<user> hard memlock unlimited`, then log in again.";
}

std::string UdevRule(const std::string& owner) {
  return "SUBSYSTEM==\"vfio\", OWNER=\"" + owner + "\"";
}

std::string AdviseUnsafeInterrupts() {
  return "The IOMMU lacks interrupt remapping; if the machine is "
         "trusted, `options vfio_iommu_type1 "
         "allow_unsafe_interrupts=1` in /etc/modprobe.d allows it.";
}

}  // namespace vfio
