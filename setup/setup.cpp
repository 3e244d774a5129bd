#include "setup/setup.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "vfio/advice.h"
#include "vfio/kernel.h"

namespace setup {
namespace {

const char kTool[] = "fpga-diag-setup";

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\n") - first + 1);
}

bool ReadLine(const std::string& path, std::string* text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = Trimmed(all.str());
  return true;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

size_t CountEntries(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

std::string DeviceDir(const std::string& sysfs_root, const std::string& bdf) {
  return sysfs_root + "/bus/pci/devices/" + bdf;
}

std::string GroupFile(int group) { return "/dev/vfio/" + std::to_string(group); }

std::string DriverText(const std::string& driver) {
  return driver.empty() ? "no driver" : "driver " + driver;
}

std::string Id(uint32_t vendor, uint32_t device) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", vendor, device);
  return text;
}

std::string KiBText(uint64_t bytes) {
  return bytes == UINT64_MAX ? "unlimited" : std::to_string(bytes / 1024) + " KiB";
}

// The override a board has: sysfs shows "(null)" for none.
std::string Override(const std::string& sysfs_root, const std::string& bdf) {
  std::string text;
  if (!ReadLine(DeviceDir(sysfs_root, bdf) + "/driver_override", &text) || text == "(null)")
    return "";
  return text;
}

// "DDDD:BB:SS.F" or "BB:SS.F" (domain 0), hex as lspci writes it, into sysfs's own spelling.
bool ParseAddress(const std::string& text, std::string* bdf) {
  // sscanf's %x would also take spaces and signs, which no address has.
  if (text.find_first_of(" \t+-") != std::string::npos) return false;
  unsigned domain = 0, bus = 0, slot = 0, function = 0;
  int used = 0;
  const char* s = text.c_str();
  const bool full = std::sscanf(s, "%x:%x:%x.%x%n", &domain, &bus, &slot, &function, &used) == 4 &&
                    static_cast<size_t>(used) == text.size();
  if (!full) {
    domain = 0;
    used = 0;
    if (std::sscanf(s, "%x:%x.%x%n", &bus, &slot, &function, &used) != 3 ||
        static_cast<size_t>(used) != text.size())
      return false;
  }
  if (domain > 0xFFFF || bus > 0xFF || slot > 0x1F || function > 7) return false;
  *bdf = vfio::BdfString({domain, bus, slot, function});
  return true;
}

// The board at the address the user typed, or why that address is refused (exit status 2).
bool Resolve(Host& host, const std::string& text, vfio::PciFunction* f, std::ostream& err) {
  std::string bdf;
  if (!ParseAddress(text, &bdf)) {
    err << kTool << ": '" << text << "' is not a PCI address (DDDD:BB:SS.F or BB:SS.F, hex)\n";
    return false;
  }
  if (!vfio::ReadPciFunction(host.SysfsRoot(), bdf, f)) {
    err << kTool << ": there is no PCI function " << bdf << " (no "
        << DeviceDir(host.SysfsRoot(), bdf) << ")\n";
    return false;
  }
  if (f->vendor_id != kVendorId || f->device_id != kDeviceId) {
    err << kTool << ": " << bdf << " is " << Id(f->vendor_id, f->device_id) << ", not the board ("
        << Id(kVendorId, kDeviceId) << "): leaving it alone\n";
    return false;
  }
  return true;
}

bool Write(Host& host, const std::string& path, const std::string& text, std::ostream& err) {
  const int e = host.WriteFile(path, text);
  if (e == 0) return true;
  err << kTool << ": cannot write '" << Trimmed(text) << "' to " << path << ": "
      << vfio::ErrnoText(e) << "\n";
  return false;
}

void PrintMember(const vfio::PciFunction& m, const std::vector<vfio::PciFunction>& blockers,
                 std::ostream& out) {
  bool blocks = false;
  for (const vfio::PciFunction& b : blockers) blocks = blocks || b.bdf == m.bdf;
  out << "               " << m.bdf << "  " << DriverText(m.driver)
      << (blocks ? "  (a host driver: the group cannot be used)" : "") << "\n";
}

void PrintBoard(const BoardStatus& b, std::ostream& out) {
  const vfio::PciFunction& f = b.function;
  out << "Board " << f.bdf << " (" << Id(f.vendor_id, f.device_id) << ")\n";
  out << "  driver       " << (f.driver.empty() ? "none" : f.driver) << "\n";
  if (f.iommu_group < 0) {
    out << "  IOMMU group  none: the IOMMU is off for this board\n";
  } else {
    out << "  IOMMU group  " << f.iommu_group;
    if (b.members.size() <= 1) {
      out << ", the board alone\n";
    } else {
      out << ", shared with:\n";
      for (const vfio::PciFunction& m : b.members)
        if (m.bdf != f.bdf) PrintMember(m, b.blockers, out);
    }
  }
  const Link& l = b.link;
  out << "  link         ";
  if (!l.reported) {
    out << "not reported (no PCI Express link in sysfs)\n";
  } else {
    out << l.speed << " x" << l.width << ", maximum " << l.max_speed << " x" << l.max_width;
    out << (l.below_max ? ": trained below its maximum, so DMA runs slower than the board can" : "")
        << "\n";
  }
  if (b.group_file.empty()) return;
  out << "  group file   " << b.group_file;
  if (!b.group_file_exists) {
    out << " does not exist (made when vfio-pci takes the board)\n";
    return;
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", b.group_file_info.mode & 07777);
  out << ": owner " << b.group_file_owner << ", group " << b.group_file_group << ", mode " << mode
      << "; "
      << (b.group_errno == 0 ? "you can open it"
                             : "you cannot open it: " + vfio::ErrnoText(b.group_errno))
      << "\n";
}

void PrintMachine(const MachineStatus& m, std::ostream& out) {
  out << "Machine\n";
  out << "  vfio-pci     " << (m.vfio_pci_loaded ? "loaded" : "not loaded") << "\n";
  out << "  IOMMU        ";
  if (m.iommu_groups > 0)
    out << "on (" << m.iommu_groups << " groups)\n";
  else
    out << "off (no IOMMU groups in sysfs)\n";
  out << "  memory lock  ";
  if (m.privileged)
    out << "not limited (" << m.caller << ")";
  else
    out << KiBText(m.memlock_soft) << " (hard " << KiBText(m.memlock_hard) << ")";
  out << "; a whole run pins up to " << KiBText(kRunPinBytes) << " at once"
      << (m.memlock_enough ? "" : ": too low") << "\n";
}

}  // namespace

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
  m.vfio_pci_loaded = Exists(root + "/bus/pci/drivers/" + vfio::kAccessDriver);
  m.iommu_groups = CountEntries(root + "/kernel/iommu_groups");
  m.privileged = host.Privileged();
  m.caller = host.CallerName();
  if (host.MemlockLimit(&m.memlock_soft, &m.memlock_hard) != 0)
    m.memlock_soft = m.memlock_hard = UINT64_MAX;
  // vfio-pci's pins count against RLIMIT_MEMLOCK unless the process may lock without limit.
  m.memlock_enough = m.privileged || m.memlock_soft == UINT64_MAX || m.memlock_soft >= kRunPinBytes;
  return m;
}

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
               vfio::LockLimitRemedy(machine.memlock_hard);
  }
  return b;
}

int Status(Host& host, const std::string& only, std::ostream& out, std::ostream& err) {
  std::vector<vfio::PciFunction> boards;
  if (!only.empty()) {
    vfio::PciFunction f;
    if (!Resolve(host, only, &f, err)) return 2;
    boards.push_back(f);
  } else {
    boards = vfio::FindPciFunctions(host.SysfsRoot(), kVendorId, kDeviceId);
  }
  const MachineStatus machine = ReadMachine(host);
  if (boards.empty()) {
    out << "No board: no PCI function with vendor ID 0x10ee and device ID 0x5050 in "
        << host.SysfsRoot() << "/bus/pci/devices.\n";
    PrintMachine(machine, out);
    out << "Verdict: not ready: no board.\n";
    return 1;
  }
  std::vector<BoardStatus> status;
  for (const vfio::PciFunction& f : boards) {
    status.push_back(ReadBoard(host, machine, f));
    PrintBoard(status.back(), out);
  }
  PrintMachine(machine, out);
  int exit_status = 1;
  for (size_t i = 0; i < status.size(); ++i) {
    const BoardStatus& b = status[i];
    out << "Verdict for " << b.function.bdf << ": ";
    if (b.verdict == Verdict::kReady) {
      out << "ready: fpga-diag can open it as " << machine.caller
          << (b.link.below_max ? " (its link trained below its maximum)" : "") << ".\n";
    } else {
      out << "not ready: " << b.advice << "\n";
    }
    // The utility opens the first board unless FPGA_WDC=slot= picks another.
    if (i == 0) exit_status = b.verdict == Verdict::kReady ? 0 : 1;
  }
  return exit_status;
}

int Bind(Host& host, const std::string& address, const std::string& user, std::ostream& out,
         std::ostream& err) {
  vfio::PciFunction f;
  if (!Resolve(host, address, &f, err)) return 2;
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
  if (f.driver == vfio::kAccessDriver && Override(root, bdf) == vfio::kAccessDriver) {
    out << bdf << " is already bound to vfio-pci.\n";
  } else {
    if (!Exists(root + "/bus/pci/drivers/" + vfio::kAccessDriver)) {
      if (const int s = host.LoadModule(vfio::kAccessDriver); s != 0) {
        err << kTool << ": `modprobe vfio-pci` failed (exit status " << s << ")\n";
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
    const std::string file = GroupFile(f.iommu_group);
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
  if (!Resolve(host, address, &f, err)) return 2;
  const std::string& bdf = f.bdf;
  const std::string& root = host.SysfsRoot();
  if (!host.Privileged()) {
    err << kTool << ": unbinding changes sysfs, which only root may: `sudo " << kTool << " unbind "
        << bdf << "`\n";
    return 1;
  }
  const std::string dir = DeviceDir(root, bdf);
  if (Override(root, bdf).empty() && f.driver != vfio::kAccessDriver) {
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

int Main(Host& host, const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  static const char kUsage[] =
      "Usage: fpga-diag-setup [status [ADDR]]\n"
      "       fpga-diag-setup bind ADDR [--user NAME]\n"
      "       fpga-diag-setup unbind ADDR\n"
      "Checks and sets up the FPGA boards (PCI 10ee:5050) for fpga-diag through vfio-pci.\n"
      "  status         (the default) every board's driver, IOMMU group, link and group file,\n"
      "                 the machine's vfio-pci, IOMMU and memory-lock limit, then a verdict:\n"
      "                 exit 0 when the first board (or ADDR) is ready, 1 when not\n"
      "  bind ADDR      (root) give the board at ADDR to vfio-pci until the next boot\n"
      "  --user NAME    with bind: also give NAME the board's group file, and print the udev\n"
      "                 rule that does it at every boot\n"
      "  unbind ADDR    (root) clear the override and let the kernel choose the driver again\n"
      "ADDR is DDDD:BB:SS.F or BB:SS.F, hex, as lspci prints it. Exit status 2: bad use.\n";
  auto bad = [&](const std::string& why) {
    err << kTool << ": " << why << "\nTry '" << kTool << " --help'.\n";
    return 2;
  };
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      out << kUsage;
      return 0;
    }
  }
  std::vector<std::string> words;
  std::string user;
  bool have_user = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--user" || a.rfind("--user=", 0) == 0) {
      if (have_user) return bad("--user given twice");
      if (a == "--user") {
        if (i + 1 == args.size()) return bad("--user needs a user name");
        user = args[++i];
      } else {
        user = a.substr(7);
      }
      if (user.empty()) return bad("--user needs a user name");
      have_user = true;
    } else if (!a.empty() && a[0] == '-') {
      return bad("unknown option '" + a + "'");
    } else {
      words.push_back(a);
    }
  }
  const std::string command = words.empty() ? "status" : words[0];
  if (have_user && command != "bind") return bad("--user goes with bind only");
  if (command == "status") {
    if (words.size() > 2) return bad("status takes at most one address");
    return Status(host, words.size() == 2 ? words[1] : "", out, err);
  }
  if (command == "bind" || command == "unbind") {
    if (words.size() != 2) return bad(command + " takes one address: " + command + " ADDR");
    return command == "bind" ? Bind(host, words[1], user, out, err)
                             : Unbind(host, words[1], out, err);
  }
  return bad("unknown command '" + command + "'");
}

}  // namespace setup
