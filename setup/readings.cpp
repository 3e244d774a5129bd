// fpga-diag-setup's readings of the machine and of each board: what sysfs, the VFIO files and the
// limits show, the verdict in the order the utility's open meets the faults, and the next step
// of each item that is not ready, worded with the backend's own advice (vfio/advice.h).
#include <cerrno>
#include <cstdlib>

#include "internal.h"
#include "vfio/advice.h"

namespace setup {

using internal::DeviceDir;
using internal::GroupFile;
using internal::KiBText;
using internal::ReadLine;

Link ReadLink(const std::string& sysfs_root, const std::string& bdf) {
  const std::string dir = DeviceDir(sysfs_root, bdf);
  Link l;
  std::string width, max_width;
  if (!ReadLine(dir + "/current_link_speed", &l.speed) ||
      !ReadLine(dir + "/max_link_speed", &l.max_speed) ||
      !ReadLine(dir + "/current_link_width", &width) ||
      !ReadLine(dir + "/max_link_width", &max_width))
    return Link{};
  l.reported = true;
  l.width = static_cast<uint32_t>(std::strtoul(width.c_str(), nullptr, 10));
  l.max_width = static_cast<uint32_t>(std::strtoul(max_width.c_str(), nullptr, 10));
  // "8.0 GT/s PCIe"; a link the kernel cannot tell says "Unknown", which compares as nothing.
  const double speed = std::strtod(l.speed.c_str(), nullptr);
  const double max_speed = std::strtod(l.max_speed.c_str(), nullptr);
  l.below_max = (speed > 0 && max_speed > 0 && speed < max_speed) ||
                (l.width > 0 && l.max_width > 0 && l.width < l.max_width);
  return l;
}

MachineStatus ReadMachine(Host& host) {
  MachineStatus m;
  const std::string& root = host.SysfsRoot();
  m.bus_visible = internal::Exists(root + "/bus/pci/devices");
  m.vfio_pci_loaded = internal::Exists(root + "/bus/pci/drivers/" + vfio::kAccessDriver);
  m.iommu_groups = internal::CountEntries(root + "/kernel/iommu_groups");
  m.privileged = host.Privileged();
  m.caller = host.CallerName();
  if (host.MemlockLimit(&m.memlock_soft, &m.memlock_hard) != 0)
    m.memlock_soft = m.memlock_hard = UINT64_MAX;
  // vfio-pci's pins count against RLIMIT_MEMLOCK unless the process may lock without limit.
  m.memlock_enough = m.privileged || m.memlock_soft == UINT64_MAX || m.memlock_soft >= kRunPinBytes;

  if (!m.vfio_pci_loaded)
    m.module_step = std::string("As root: `") + vfio::kLoadModuleCommand + "`.";
  if (m.iommu_groups == 0) m.iommu_step = vfio::IommuRemedy();
  if (!m.memlock_enough)
    m.memlock_step = vfio::LockLimitRemedy(m.memlock_hard, kRunPinBytes, m.caller);
  return m;
}

namespace {

// The next step of each of the board's items that is not ready.
void NextSteps(const MachineStatus& machine, BoardStatus* b) {
  const vfio::PciFunction& f = b->function;
  // As root the group file stays root's, which is what root needs; anyone else needs it too.
  const std::string bind = machine.privileged ? "`fpga-diag-setup bind " + f.bdf + "`"
                                              : "`sudo fpga-diag-setup bind " + f.bdf + " --user " +
                                                    machine.caller + "`";
  if (f.driver != vfio::kAccessDriver) b->driver_step = bind + " (vfio-pci until the next boot).";
  if (f.iommu_group < 0) {
    b->group_step =
        machine.iommu_groups == 0 ? "Turn the IOMMU on (under Machine)." : vfio::IommuRemedy();
  } else if (!b->blockers.empty()) {
    std::string unbind;
    for (const vfio::PciFunction& m : b->blockers)
      unbind += (unbind.empty() ? "" : ", ") + vfio::UnbindCommand(m.bdf);
    b->group_step = "As root: " + unbind + " (or bind each to vfio-pci as the board).";
  }
  if (b->link.below_max)
    b->link_step = "`sudo lspci -vv -s " + f.bdf +
                   "` shows what the board and its slot offer (LnkCap, LnkSta); reseat the "
                   "board, or move it to a slot as wide and as fast as it is.";
  if (b->errors.Any())
    b->errors_step = "once their cause is found (a reseat, another slot, the board's design), `" +
                     std::string(internal::kTool) + " clear-errors " + f.bdf +
                     "` clears them, so that a new one shows.";
  if (b->group_file.empty() || f.driver != vfio::kAccessDriver) return;  // bind comes first
  if (!b->group_file_exists) {
    b->file_step = "The kernel log says why vfio-pci made none: `dmesg | grep -i vfio`.";
  } else if (b->group_errno == EACCES || b->group_errno == EPERM) {
    b->file_step = bind + " gives it to you, or `sudo chown " + machine.caller + " " +
                   b->group_file + "` (both until the next boot).";
  } else if (b->group_errno == EBUSY) {
    b->file_step = "End the process that holds it: `sudo fuser -v " + b->group_file + "` names it.";
  }
}

}  // namespace

BoardStatus ReadBoard(Host& host, const MachineStatus& machine, const vfio::PciFunction& f) {
  BoardStatus b;
  b.function = f;
  const std::string& bdf = f.bdf;
  b.link = ReadLink(host.SysfsRoot(), bdf);
  if (f.iommu_group >= 0) {
    b.members = vfio::GroupMembers(host.SysfsRoot(), f.iommu_group);
    b.blockers = vfio::GroupBlockers(b.members, bdf);
    b.group_file = GroupFile(f.iommu_group);
    b.group_file_exists = host.Stat(b.group_file, &b.group_file_info);
    if (b.group_file_exists) {
      b.group_file_owner = host.UserName(b.group_file_info.uid);
      b.group_file_group = host.GroupName(b.group_file_info.gid);
      b.group_errno = host.TryOpen(b.group_file);
    }
    b.container_errno = host.TryOpen(vfio::kContainerPath);
  }
  b.errors = ReadErrors(host, f);
  NextSteps(machine, &b);

  // The order the utility's open meets them in, so the first named is the first it would fail on.
  const std::string one_step = " Or, as root, in one step: `fpga-diag-setup bind " + bdf;
  if (f.iommu_group < 0) {
    b.verdict = Verdict::kNoIommu;
    b.advice = vfio::AdviseNoIommu(bdf).text;
  } else if (f.driver != vfio::kAccessDriver) {
    b.verdict = Verdict::kNotBound;
    b.advice = vfio::AdviseNotBound(bdf, f.driver).text + one_step + "`.";
  } else if (b.container_errno != 0) {
    b.verdict = Verdict::kFileRefused;
    b.advice = vfio::AdviseFileRefused(vfio::kContainerPath, b.container_errno, bdf).text;
  } else if (b.group_errno != 0 || !b.group_file_exists) {
    const int e = b.group_file_exists ? b.group_errno : ENOENT;
    b.verdict = Verdict::kFileRefused;
    b.advice = vfio::AdviseFileRefused(b.group_file, e, bdf).text;
    if (e == EACCES || e == EPERM) b.advice += one_step + " --user " + machine.caller + "`.";
  } else if (!b.blockers.empty()) {
    b.verdict = Verdict::kGroupNotViable;
    b.advice = vfio::AdviseGroupNotViable(f.iommu_group, bdf, b.blockers).text;
  } else if (!machine.memlock_enough) {
    b.verdict = Verdict::kLockLimit;
    b.advice = "the memory-lock limit is too low for a whole run: `ulimit -l` is " +
               std::to_string(machine.memlock_soft / 1024) + " (KiB), and the run pins up to " +
               KiBText(kRunPinBytes) +
               " at once (the backloop's two 50 MiB buffers and their descriptor tables). " +
               machine.memlock_step;
  } else if (b.errors.AnyUncorrectable()) {
    // The open would succeed; the run would be judged on a link that has already failed.
    b.verdict = Verdict::kErrors;
    std::string where;
    for (const FunctionErrors* e : {&b.errors.board, &b.errors.port}) {
      const ErrorRegisters& r = e->regs;
      if (!r.AnyUncorrectable()) continue;
      std::string list;
      for (const std::string& n : r.aer ? UncorrectableNames(r) : DeviceStatusNames(r))
        list += (list.empty() ? "" : ", ") + n;
      where += std::string(where.empty() ? "" : "; and in ") +
               (e == &b.errors.port ? "the " : "its ") + (r.aer ? "AER" : "Device Status") +
               (e == &b.errors.port ? " of the port above it, " + e->bdf : "") + ": " + list;
    }
    b.advice = "an uncorrectable error is recorded in " + where +
               ". A run now could not tell a new error of that kind from it, and a fatal one may "
               "have left the link unusable until a reset. Once its cause is found, clear it: `" +
               internal::kTool + " clear-errors " + bdf + "`.";
  }
  return b;
}

}  // namespace setup
