#include "vfio/advice.h"

#include <cerrno>
#include <cstdio>

#include "vfio/kernel.h"

namespace vfio {

std::string KiB(uint64_t bytes) { return std::to_string((bytes + 1023) / 1024) + " KiB"; }

Advice AdviseNoIommu(const std::string& bdf) {
  return {WDC_STATUS_NO_IOMMU,
          "the board at " + bdf + " has no IOMMU group: the IOMMU is off. " + IommuRemedy()};
}

std::string IommuRemedy() {
  // AMD's kernel parameter has no "on": the kernel turns its IOMMU on by itself unless told off.
  return "Turn on VT-d (Intel) or AMD-Vi/IOMMU (AMD) in the firmware setup; on Intel also add "
         "intel_iommu=on to the kernel command line (on AMD the kernel turns it on by itself: "
         "only remove any amd_iommu=off or iommu=off): GRUB_CMDLINE_LINUX in /etc/default/grub, "
         "then update-grub and reboot (`cat /proc/cmdline` shows the running kernel's).";
}

std::string UnbindCommand(const std::string& bdf) {
  return "`echo " + bdf + " > /sys/bus/pci/devices/" + bdf + "/driver/unbind`";
}

Advice AdviseNotBound(const std::string& bdf, const std::string& driver) {
  const std::string dev = "/sys/bus/pci/devices/" + bdf;
  std::string text =
      "the board at " + bdf + " is bound to " +
      (driver.empty() ? std::string("no driver") : "the driver " + driver) +
      ", not to vfio-pci. As root: `" + kLoadModuleCommand + "`, then `driverctl set-override " +
      bdf + " vfio-pci` (package driverctl; kept across reboots), or by hand: `echo vfio-pci > " +
      dev + "/driver_override`";
  // Without a driver there is nothing to unbind, and the unbind file does not exist.
  if (!driver.empty()) text += ", " + UnbindCommand(bdf);
  text += ", `echo " + bdf + " > /sys/bus/pci/drivers_probe`.";
  return {WDC_STATUS_NOT_BOUND, text};
}

Advice AdviseGroupNotViable(int group, const std::string& bdf,
                            const std::vector<PciFunction>& members) {
  std::string others, unbind;
  for (const PciFunction& member : members) {
    if (member.bdf == bdf || member.driver == kAccessDriver) continue;
    others += (others.empty() ? "" : ", ") + member.bdf + " (" +
              (member.driver.empty() ? "no driver" : "driver " + member.driver) + ")";
    if (!member.driver.empty()) unbind += (unbind.empty() ? "" : ", ") + UnbindCommand(member.bdf);
  }
  return {WDC_STATUS_GROUP_NOT_VIABLE,
          "IOMMU group " + std::to_string(group) + " of the board at " + bdf +
              " is not usable: other devices share it" + (others.empty() ? "" : ": " + others) +
              ". Every device of the group must be bound to vfio-pci or to no driver: as root, "
              "unbind each (" +
              (unbind.empty() ? UnbindCommand("BDF") : unbind) +
              ") or bind it to vfio-pci like the board, or move the board to a slot with a group "
              "of its own."};
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
            why + (container ? "The vfio modules are not loaded: `sudo " +
                                   std::string(kLoadModuleCommand) + "`."
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
              LockLimitRemedy(hard, pinned + bytes, "")};
}

std::string LockLimitRemedy(uint64_t hard, uint64_t needed, const std::string& user) {
  const std::string who = user.empty() ? "<user>" : user;
  const std::string for_good = "for good in /etc/security/limits.conf: `" + who +
                               " soft memlock unlimited` and `" + who +
                               " hard memlock unlimited`, then log in again";
  // A user may raise the soft limit up to the hard one, never beyond it.
  if (hard == UINT64_MAX)
    return "Raise it in the shell that starts the utility: `ulimit -l unlimited` (the hard limit "
           "is unlimited), or " +
           for_good + ".";
  if (hard >= needed)
    return "Raise it in the shell that starts the utility up to the hard limit: `ulimit -l " +
           std::to_string(hard / 1024) + "` (KiB), or " + for_good + ".";
  return "The hard limit, " + std::to_string(hard / 1024) +
         " KiB, is below that too, and only root may raise it: " + for_good +
         " (root's own runs are not held to the limit).";
}

std::string UdevRule(const std::string& owner) {
  return "SUBSYSTEM==\"vfio\", OWNER=\"" + owner + "\"";
}

std::string AdviseUnsafeInterrupts() {
  return "The IOMMU lacks interrupt remapping; if the machine is "
         "trusted, `options vfio_iommu_type1 "
         "allow_unsafe_interrupts=1` in /etc/modprobe.d allows it.";
}

std::string AdviseNoBoard(uint32_t vendor, uint32_t device, const std::vector<PciFunction>& maker,
                          bool bus_visible) {
  if (!bus_visible)
    return "this machine shows no PCI bus at all (no /sys/bus/pci/devices): in a container, or a "
           "virtual machine without PCI devices, the board cannot be reached.";
  char id[16], vendor_id[8];
  std::snprintf(id, sizeof id, "%04x:%04x", vendor, device);
  std::snprintf(vendor_id, sizeof vendor_id, "%04x", vendor);
  const std::string lspci = "`lspci -nn -d " + std::string(vendor_id) + ":`";
  const std::string again = ", then run fpga-diag-setup again.";
  if (maker.empty())
    return lspci +
           " (package pciutils) lists what the bus shows of the board's maker: here, "
           "nothing. Check that the board is seated and powered. A board whose FPGA is not "
           "configured yet does not appear on the bus at all: load its design, then, as root, "
           "rescan the bus: `echo 1 > /sys/bus/pci/rescan` (or reboot)" +
           again;
  std::string found, remove;
  for (const PciFunction& f : maker) {
    char ids[16];
    std::snprintf(ids, sizeof ids, "%04x:%04x", f.vendor_id, f.device_id);
    found += (found.empty() ? "" : ", ") + f.bdf + " (" + ids + ")";
    remove += "`echo 1 > /sys/bus/pci/devices/" + f.bdf + "/remove`, ";
  }
  return lspci + " (package pciutils) lists what the bus shows of the board's maker: " + found +
         ", none of them " + id +
         ". A board whose FPGA is not configured yet, or holds another "
         "design, shows other IDs: load the board's design, then, as root, take the function off "
         "the bus and rescan it: " +
         remove + "`echo 1 > /sys/bus/pci/rescan`" + again;
}

}  // namespace vfio
