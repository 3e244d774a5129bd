// fpga-diag-setup's small readers of sysfs, its spellings, and the address the user typed.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "internal.h"

namespace setup {
namespace internal {
namespace {

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

}  // namespace

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

std::string UpstreamPort(const std::string& sysfs_root, const std::string& bdf) {
  // bus/pci/devices/BDF links to the function's place in the tree, below its bridge:
  // devices/pci0000:00/0000:00:1c.0/0000:03:00.0.
  char* real = ::realpath(DeviceDir(sysfs_root, bdf).c_str(), nullptr);
  if (real == nullptr) return "";
  std::string path = real;
  std::free(real);
  const size_t last = path.find_last_of('/');
  if (last == std::string::npos || last == 0) return "";
  const std::string parent = path.substr(0, last);
  const std::string name = parent.substr(parent.find_last_of('/') + 1);
  std::string port;
  return ParseAddress(name, &port) && port == name ? port : "";
}

bool KernelControlsAer(const std::string& sysfs_root, const std::string& bdf) {
  // The root port is the first function below the host bridge: devices/pci0000:00/ROOTPORT/...
  char* real = ::realpath(DeviceDir(sysfs_root, bdf).c_str(), nullptr);
  if (real == nullptr) return false;
  const std::string path = real;
  std::free(real);
  const size_t host = path.find("/devices/pci");
  if (host == std::string::npos) return false;
  const size_t from = path.find('/', host + 9);
  if (from == std::string::npos) return false;
  const std::string root_port = path.substr(from + 1, path.find('/', from + 1) - from - 1);
  if (root_port == bdf) return false;  // on the root bus itself: no port
  // A port service's name is the port's address, ":pcie" and the service's number in hex; on a
  // root port AER's is 0x002.
  const std::string prefix = root_port + ":pcie";
  bool found = false;
  if (DIR* d = ::opendir((sysfs_root + "/bus/pci_express/devices").c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name.rfind(prefix, 0) != 0) continue;
      const unsigned long service = std::strtoul(name.c_str() + prefix.size(), nullptr, 16);
      found = found || (service & 0xff) == 0x002;
    }
    ::closedir(d);
  }
  return found;
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

// sysfs shows "(null)" for no override.
std::string Override(const std::string& sysfs_root, const std::string& bdf) {
  std::string text;
  if (!ReadLine(DeviceDir(sysfs_root, bdf) + "/driver_override", &text) || text == "(null)")
    return "";
  return text;
}

bool Resolve(Host& host, const std::string& text, Purpose purpose, vfio::PciFunction* f,
             std::ostream& err) {
  std::string bdf;
  if (!ParseAddress(text, &bdf)) {
    err << kTool << ": '" << text << "' is not a PCI address (DDDD:BB:SS.F or BB:SS.F, hex)\n";
    return false;
  }
  if (!vfio::ReadPciFunction(host.SysfsRoot(), bdf, f)) {
    err << kTool << ": there is no PCI function " << bdf << " (no "
        << DeviceDir(host.SysfsRoot(), bdf) << ")"
        << (purpose == Purpose::kReport ? "; `fpga-diag-setup status` reports every board" : "")
        << "\n";
    return false;
  }
  if (f->vendor_id == kVendorId && f->device_id == kDeviceId) return true;
  err << kTool << ": " << bdf << " is " << Id(f->vendor_id, f->device_id) << ", not the board ("
      << Id(kVendorId, kDeviceId) << ")";
  if (purpose == Purpose::kChange) {
    err << ": leaving it alone\n";
  } else if (f->vendor_id == kVendorId) {
    // The maker's own IDs on another function: most likely the board before its design is in.
    err << "; a board whose FPGA is not configured yet, or holds another design, shows other "
           "IDs: `fpga-diag-setup status` says what to do\n";
  } else {
    err << ", nor of its maker\n";
  }
  return false;
}

}  // namespace internal
}  // namespace setup
