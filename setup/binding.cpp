// fpga-diag-setup's changes: binding a board to vfio-pci (and giving a user its group file), and
// giving it back to the kernel's choice of driver. Nothing is written before the address and
// the privilege are checked.
#include "internal.h"
#include "vfio/advice.h"
#include "vfio/kernel.h"

namespace setup {
namespace {

using internal::DeviceDir;
using internal::DriverText;
using internal::kTool;

bool Write(Host& host, const std::string& path, const std::string& text, std::ostream& err) {
  const int e = host.WriteFile(path, text);
  if (e == 0) return true;
  err << kTool << ": cannot write '" << internal::Trimmed(text) << "' to " << path << ": "
      << vfio::ErrnoText(e) << "\n";
  return false;
}

}  // namespace

int Bind(Host& host, const std::string& address, const std::string& user, std::ostream& out,
         std::ostream& err) {
  vfio::PciFunction f;
  if (!internal::Resolve(host, address, internal::Purpose::kChange, &f, err)) return 2;
  const std::string& bdf = f.bdf;
  const std::string& root = host.SysfsRoot();
  uint32_t uid = 0;
  if (!user.empty() && !host.LookupUser(user, &uid)) {
    err << kTool << ": there is no user '" << user << "'\n";
    return 2;
  }
  if (!host.Privileged()) {
    err << kTool << ": binding changes sysfs, which only root may: `sudo " << kTool << " bind "
        << bdf << (user.empty() ? "" : " --user " + user) << "`\n";
    return 1;
  }
  // vfio-pci refuses a device without an IOMMU group; better said before anything changes.
  if (f.iommu_group < 0) {
    err << kTool << ": " << vfio::AdviseNoIommu(bdf).text << "\n";
    return 1;
  }
  const std::string dir = DeviceDir(root, bdf);
  const std::string was = f.driver;
  if (f.driver == vfio::kAccessDriver && internal::Override(root, bdf) == vfio::kAccessDriver) {
    out << bdf << " is already bound to vfio-pci.\n";
  } else {
    if (!internal::Exists(root + "/bus/pci/drivers/" + vfio::kAccessDriver)) {
      if (const int s = host.LoadModule(vfio::kAccessDriver); s != 0) {
        err << kTool << ": `" << vfio::kLoadModuleCommand << "` failed (exit status " << s << ")\n";
        return 1;
      }
    }
    // The override first, so that whatever probes the board from now on gives it to vfio-pci.
    if (!Write(host, dir + "/driver_override", vfio::kAccessDriver, err)) return 1;
    if (!was.empty() && was != vfio::kAccessDriver &&
        !Write(host, dir + "/driver/unbind", bdf, err))
      return 1;
    if (was != vfio::kAccessDriver && !Write(host, root + "/bus/pci/drivers_probe", bdf, err))
      return 1;
    vfio::PciFunction now;
    if (!vfio::ReadPciFunction(root, bdf, &now) || now.driver != vfio::kAccessDriver) {
      err << kTool << ": the kernel did not give " << bdf << " to vfio-pci (it has "
          << DriverText(now.driver) << "); its reason is in the kernel log: `dmesg | tail`\n";
      return 1;
    }
    f = now;
    out << "Bound " << bdf << " to vfio-pci (it had " << DriverText(was)
        << ") until the next boot; `driverctl set-override " << bdf
        << " vfio-pci` keeps it across boots.\n";
  }
  const std::vector<vfio::PciFunction> blockers =
      vfio::GroupBlockers(vfio::GroupMembers(root, f.iommu_group), bdf);
  if (!blockers.empty())
    out << "Not usable yet: " << vfio::AdviseGroupNotViable(f.iommu_group, bdf, blockers).text
        << "\n";
  if (!user.empty()) {
    const std::string file = internal::GroupFile(f.iommu_group);
    if (const int e = host.Chown(file, uid); e != 0) {
      err << kTool << ": cannot give " << file << " to " << user << ": " << vfio::ErrnoText(e)
          << "\n";
      return 1;
    }
    out << "Gave " << file << " to " << user << " until the next boot. For good, put this line in "
        << vfio::kUdevRulePath << " and run `udevadm trigger`:\n"
        << vfio::UdevRule(user) << "\n";
  }
  return 0;
}

int Unbind(Host& host, const std::string& address, std::ostream& out, std::ostream& err) {
  vfio::PciFunction f;
  if (!internal::Resolve(host, address, internal::Purpose::kChange, &f, err)) return 2;
  const std::string& bdf = f.bdf;
  const std::string& root = host.SysfsRoot();
  if (!host.Privileged()) {
    err << kTool << ": unbinding changes sysfs, which only root may: `sudo " << kTool << " unbind "
        << bdf << "`\n";
    return 1;
  }
  const std::string dir = DeviceDir(root, bdf);
  if (internal::Override(root, bdf).empty() && f.driver != vfio::kAccessDriver) {
    out << bdf << " has no driver override and " << DriverText(f.driver)
        << ": nothing to give back.\n";
    return 0;
  }
  if (!Write(host, dir + "/driver_override", "\n", err)) return 1;  // a lone newline clears it
  if (!f.driver.empty() && !Write(host, dir + "/driver/unbind", bdf, err)) return 1;
  if (!Write(host, root + "/bus/pci/drivers_probe", bdf, err)) return 1;
  vfio::PciFunction now;
  vfio::ReadPciFunction(root, bdf, &now);
  out << "Gave " << bdf << " back to the kernel: it now has " << DriverText(now.driver) << ".\n";
  return 0;
}

}  // namespace setup
