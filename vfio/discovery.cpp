#include "vfio/discovery.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

namespace vfio {
namespace {

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path);
  if (!in) return false;
  std::ostringstream all;
  all << in.rdbuf();
  *text = all.str();
  return true;
}

bool ReadNumber(const std::string& path, uint32_t* value) {
  std::string text;
  if (!ReadText(path, &text)) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(text.c_str(), &end, 0);  // "0x10ee" and "16" alike
  if (end == text.c_str()) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

// The last component of a symlink's target ("../../../bus/pci/drivers/vfio-pci" -> "vfio-pci").
bool LinkName(const std::string& path, std::string* name) {
  char target[4096];
  const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  const char* last = std::strrchr(target, '/');
  *name = last ? last + 1 : target;
  return !name->empty();
}

bool ParseBdf(const std::string& text, PciAddress* address) {
  unsigned domain, bus, slot, function;
  char tail;
  if (std::sscanf(text.c_str(), "%x:%x:%x.%x%c", &domain, &bus, &slot, &function, &tail) != 4)
    return false;
  *address = {domain, bus, slot, function};
  return true;
}

std::vector<std::string> DirNames(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  ::closedir(dir);
  return names;
}

void SortByAddress(std::vector<PciFunction>* functions) {
  std::sort(functions->begin(), functions->end(), [](const PciFunction& a, const PciFunction& b) {
    return std::tie(a.address.domain, a.address.bus, a.address.slot, a.address.function) <
           std::tie(b.address.domain, b.address.bus, b.address.slot, b.address.function);
  });
}

}  // namespace

std::string BdfString(const PciAddress& a) {
  char text[32];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", a.domain, a.bus, a.slot, a.function);
  return text;
}

bool ReadPciFunction(const std::string& sysfs_root, const std::string& bdf, PciFunction* out) {
  PciFunction f;
  if (!ParseBdf(bdf, &f.address)) return false;
  const std::string dir = sysfs_root + "/bus/pci/devices/" + bdf;
  if (!ReadNumber(dir + "/vendor", &f.vendor_id) || !ReadNumber(dir + "/device", &f.device_id))
    return false;
  f.bdf = BdfString(f.address);
  ReadNumber(dir + "/irq", &f.irq);
  ReadNumber(dir + "/class", &f.class_code);
  // One "start end flags" line per resource; BARs 0-5 come first. Unused ones are all zero.
  std::ifstream resource(dir + "/resource");
  std::string line;
  for (int bar = 0; bar < 6 && std::getline(resource, line); ++bar) {
    uint64_t start = 0, end = 0, flags = 0;
    if (std::sscanf(line.c_str(), "%" SCNx64 " %" SCNx64 " %" SCNx64, &start, &end, &flags) != 3)
      break;
    if (end > start) {
      f.bar_base[bar] = start;
      f.bar_bytes[bar] = end - start + 1;
    }
  }
  LinkName(dir + "/driver", &f.driver);
  std::string group;
  if (LinkName(dir + "/iommu_group", &group)) {
    char* end = nullptr;
    const long n = std::strtol(group.c_str(), &end, 10);
    if (end != group.c_str() && *end == '\0' && n >= 0) f.iommu_group = static_cast<int>(n);
  }
  *out = f;
  return true;
}

std::vector<PciFunction> FindVendorFunctions(const std::string& sysfs_root, uint32_t vendor_id) {
  std::vector<PciFunction> found;
  for (const std::string& name : DirNames(sysfs_root + "/bus/pci/devices")) {
    PciFunction f;
    if (ReadPciFunction(sysfs_root, name, &f) && f.vendor_id == vendor_id) found.push_back(f);
  }
  SortByAddress(&found);
  return found;
}

std::vector<PciFunction> FindPciFunctions(const std::string& sysfs_root, uint32_t vendor_id,
                                          uint32_t device_id) {
  std::vector<PciFunction> found = FindVendorFunctions(sysfs_root, vendor_id);
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const PciFunction& f) { return f.device_id != device_id; }),
              found.end());
  return found;
}

std::vector<PciFunction> GroupMembers(const std::string& sysfs_root, int group) {
  std::vector<PciFunction> members;
  const std::string dir = sysfs_root + "/kernel/iommu_groups/" + std::to_string(group) + "/devices";
  for (const std::string& name : DirNames(dir)) {
    PciFunction f;
    // A member that is not a PCI function (rare) still has a name worth showing.
    if (!ReadPciFunction(sysfs_root, name, &f)) {
      f.bdf = name;
      LinkName(dir + "/" + name + "/driver", &f.driver);
    }
    members.push_back(f);
  }
  SortByAddress(&members);
  return members;
}

std::vector<PciFunction> GroupBlockers(const std::vector<PciFunction>& members,
                                       const std::string& bdf) {
  std::vector<PciFunction> blockers;
  for (const PciFunction& m : members) {
    const uint32_t base_sub = m.class_code >> 8;
    const bool bridge = base_sub == 0x0604 || base_sub == 0x0607;  // PCI-PCI and CardBus
    if (m.bdf == bdf || m.driver.empty() || m.driver == kAccessDriver || m.driver == "pci-stub" ||
        bridge)
      continue;
    blockers.push_back(m);
  }
  return blockers;
}

}  // namespace vfio
