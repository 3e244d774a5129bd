// A machine for fpga-diag-setup's cases: a sysfs tree of the suite's own (each function at its
// place in the device tree, below its port when it has one, linked from bus/pci/devices as the
// kernel links it), the VFIO files, a kernel that answers bind's and unbind's writes as the real
// one does, and each board's configuration space as its hardware: the served board's (the same
// description and builder), whose error bits a case sets, read and written through sysfs config
// as the kernel allows it, and through VFIO (the suite's model of the kernel's interface) once a
// case attaches the board there.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "board_function.h"
#include "kernel_model.h"
#include "settings.h"
#include "setup/setup.h"
#include "vfu/config_space.h"

namespace setup_test {

namespace fs = std::filesystem;

// The served board's configuration space for the FPGA_SIM `settings` (its link, link-max).
inline std::unique_ptr<vfu::ConfigSpace> BoardSpace(const char* settings = "",
                                                    uint32_t class_code = 0x058000) {
  sim::Settings parsed;
  std::string why;
  if (!sim::ParseSettings(settings, &parsed, &why)) std::abort();
  vfu::PciFunction fn = board_server::BoardFunction(parsed);
  fn.class_code = class_code;
  return std::make_unique<vfu::ConfigSpace>(fn);
}

struct FunctionEntry {
  // driver "": none; group -1: no IOMMU group; class 0x118000 is a data-acquisition controller
  // and 0x060400 a bridge; native: the driver the kernel gives it when nothing overrides it.
  FunctionEntry(std::string bdf_, uint32_t vendor_ = 0x10EE, uint32_t device_ = 0x5050,
                std::string driver_ = "vfio-pci", int group_ = 7, uint32_t class_ = 0x118000,
                std::string native_ = "")
      : bdf(std::move(bdf_)),
        vendor(vendor_),
        device(device_),
        driver(std::move(driver_)),
        group(group_),
        class_code(class_),
        native_driver(std::move(native_)) {}
  std::string bdf;
  uint32_t vendor, device;
  std::string driver;
  int group;
  uint32_t class_code;
  std::string native_driver;
  std::string below;  // the port (a function added before) it sits below; "": the root bus
};

// A function's configuration space behind the kernel model's vfio-pci.
class SpaceDevice final : public vfio_model::Device {
 public:
  explicit SpaceDevice(vfu::ConfigSpace& space) : space_(space) {}
  uint32_t ConfigBytes() const override { return space_.Size(); }
  void ConfigRead(uint32_t offset, void* dst, size_t bytes) override {
    space_.Read(offset, static_cast<uint32_t>(bytes), static_cast<uint8_t*>(dst), false);
  }
  void ConfigWrite(uint32_t offset, const void* src, size_t bytes) override {
    space_.Write(offset, static_cast<uint32_t>(bytes), static_cast<const uint8_t*>(src));
  }
  uint64_t BarBytes(uint32_t) const override { return 0; }
  void* BarMemory(uint32_t) override { return nullptr; }
  void BarRead(uint32_t, uint64_t, void*, size_t) override {}
  void BarWrite(uint32_t, uint64_t, const void*, size_t) override {}
  bool HasMsi() const override { return false; }

 private:
  vfu::ConfigSpace& space_;
};

class FakeHost final : public setup::Host {
 public:
  FakeHost() {
    std::string dir = (fs::temp_directory_path() / "fd-setup-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) std::abort();
    root_ = dir;
    sysfs_ = root_ + "/sys";
    fs::create_directories(sysfs_ + "/bus/pci/devices");
    fs::create_directories(sysfs_ + "/bus/pci/drivers");
    fs::create_directories(sysfs_ + "/devices/pci0000:00");
    fs::create_directories(root_ + "/dev/vfio");
    Touch(sysfs_ + "/bus/pci/drivers_probe", "");
    LoadDriver("vfio-pci");
    Touch(Dev("/dev/vfio/vfio"), "");
  }
  ~FakeHost() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void AddFunction(const FunctionEntry& entry) {
    entries_.insert_or_assign(entry.bdf, entry);
    const std::string place =
        (entry.below.empty() ? sysfs_ + "/devices/pci0000:00"
                             : fs::read_symlink(Device(entry.below)).string()) +
        "/" + entry.bdf;
    fs::create_directories(place);
    fs::create_symlink(place, Device(entry.bdf));
    const std::string dev = Device(entry.bdf);
    char text[32];
    std::snprintf(text, sizeof text, "0x%04x\n", entry.vendor);
    Touch(dev + "/vendor", text);
    std::snprintf(text, sizeof text, "0x%04x\n", entry.device);
    Touch(dev + "/device", text);
    std::snprintf(text, sizeof text, "0x%06x\n", entry.class_code);
    Touch(dev + "/class", text);
    Touch(dev + "/driver_override", "(null)\n");
    if ((entry.vendor == 0x10EE && entry.device == 0x5050) || entry.class_code == 0x060400)
      hardware_[entry.bdf] = BoardSpace("", entry.class_code);
    if (!entry.driver.empty()) Attach(entry.bdf, entry.driver);
    if (entry.group >= 0) {
      const std::string group = sysfs_ + "/kernel/iommu_groups/" + std::to_string(entry.group);
      fs::create_directories(group + "/devices");
      fs::create_symlink(group, dev + "/iommu_group");
      fs::create_symlink(place, group + "/devices/" + entry.bdf);
    }
  }

  void SetLink(const std::string& bdf, const std::string& speed, int width,
               const std::string& max_speed, int max_width) {
    Touch(Device(bdf) + "/current_link_speed", speed + "\n");
    Touch(Device(bdf) + "/max_link_speed", max_speed + "\n");
    Touch(Device(bdf) + "/current_link_width", std::to_string(width) + "\n");
    Touch(Device(bdf) + "/max_link_width", std::to_string(max_width) + "\n");
  }

  // The function's configuration space as its hardware holds it.
  vfu::ConfigSpace& Space(const std::string& bdf) { return *hardware_.at(bdf); }
  // Instead of the hardware, a sysfs config file of these bytes (what a broken function or a
  // hostile file shows).
  void SetConfig(const std::string& bdf, const std::string& bytes) {
    hardware_.erase(bdf);
    Touch(Device(bdf) + "/config", bytes);
  }
  // The kernel's AER counters of the function, as the files hold them.
  void SetCounters(const std::string& bdf, uint64_t correctable, uint64_t nonfatal,
                   uint64_t fatal) {
    Touch(Device(bdf) + "/aer_dev_correctable", "RxErr 0\nBadTLP " + std::to_string(correctable) +
                                                    "\nBadDLLP 0\nTOTAL_ERR_COR " +
                                                    std::to_string(correctable) + "\n");
    Touch(Device(bdf) + "/aer_dev_nonfatal", "CmpltTO " + std::to_string(nonfatal) +
                                                 "\nTOTAL_ERR_NONFATAL " +
                                                 std::to_string(nonfatal) + "\n");
    Touch(Device(bdf) + "/aer_dev_fatal", "TOTAL_ERR_FATAL " + std::to_string(fatal) + "\n");
  }
  // The kernel's AER port service on the root port `port`: the kernel controls AER below it.
  void AerService(const std::string& port) {
    fs::create_directories(sysfs_ + "/bus/pci_express/devices/" + port + ":pcie002");
  }
  // The board behind the kernel model's vfio-pci, in its group, with its hardware's space.
  void AttachVfio(const std::string& bdf) {
    devices_.push_back(std::make_unique<SpaceDevice>(Space(bdf)));
    vfio_model::FunctionSetup s;
    s.bdf = bdf;
    s.group = entries_.at(bdf).group;
    s.device = devices_.back().get();
    model.AddFunction(s);
  }

  void UnloadVfioPci() { fs::remove_all(sysfs_ + "/bus/pci/drivers/vfio-pci"); }

  // Every file and link of the machine with its content or target: what "nothing changed" means.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> all;
    for (auto it = fs::recursive_directory_iterator(root_); it != fs::end(it); ++it) {
      const fs::path& p = it->path();
      if (fs::is_symlink(it->symlink_status())) {
        all[p.string()] = "-> " + fs::read_symlink(p).string();
      } else if (fs::is_regular_file(it->symlink_status())) {
        std::ifstream in(p);
        std::ostringstream text;
        text << in.rdbuf();
        all[p.string()] = text.str();
      } else {
        all[p.string()] = "dir";
      }
    }
    return all;
  }

  std::string Driver(const std::string& bdf) const {
    std::error_code e;
    const fs::path target = fs::read_symlink(Device(bdf) + "/driver", e);
    return e ? "" : target.filename().string();
  }

  // setup::Host
  const std::string& SysfsRoot() const override { return sysfs_; }
  int TryOpen(const std::string& path) override {
    if (auto it = open_errno.find(path); it != open_errno.end()) return it->second;
    return fs::exists(Dev(path)) ? 0 : ENOENT;
  }
  bool Stat(const std::string& path, setup::FileInfo* info) override {
    if (!fs::exists(Dev(path))) return false;
    *info = {0, 0, 0600};
    return true;
  }
  int MemlockLimit(uint64_t* soft, uint64_t* hard) override {
    *soft = memlock_soft;
    *hard = memlock_hard;
    return 0;
  }
  bool Privileged() override { return privileged; }
  std::string CallerName() override { return privileged ? "root" : "alice"; }
  std::string UserName(uint32_t uid) override { return uid == 0 ? "root" : "alice"; }
  std::string GroupName(uint32_t gid) override { return gid == 0 ? "root" : "alice"; }
  bool LookupUser(const std::string& name, uint32_t* uid) override {
    if (name != "alice") return false;
    *uid = 1000;
    return true;
  }

  // sysfs config as the kernel serves it: all of it to root, the first 64 bytes to anyone else,
  // and writes from root alone (the file is root's, mode 0644).
  long ReadAt(const std::string& path, uint64_t offset, void* buf, size_t bytes) override {
    const std::string bdf = ConfigOf(path);
    if (bdf.empty() || !hardware_.count(bdf)) {
      std::ifstream in(path, std::ios::binary);
      if (!in) return -ENOENT;
      in.seekg(static_cast<std::streamoff>(offset));
      in.read(static_cast<char*>(buf), static_cast<std::streamsize>(bytes));
      return static_cast<long>(in.gcount());
    }
    const vfu::ConfigSpace& space = *hardware_.at(bdf);
    const uint64_t size = privileged ? space.Size() : 64;
    if (offset >= size) return 0;
    const auto n = static_cast<uint32_t>(std::min<uint64_t>(bytes, size - offset));
    space.Read(static_cast<uint32_t>(offset), n, static_cast<uint8_t*>(buf), false);
    return n;
  }
  long WriteAt(const std::string& path, uint64_t offset, const void* buf, size_t bytes) override {
    const std::string bdf = ConfigOf(path);
    if (!privileged) return -EACCES;
    if (bdf.empty() || !hardware_.count(bdf)) return -EINVAL;
    uint32_t value = 0;
    std::memcpy(&value, buf, std::min<size_t>(bytes, 4));
    char text[64];
    std::snprintf(text, sizeof text, "config %s 0x%03x <- 0x%0*x", bdf.c_str(),
                  static_cast<unsigned>(offset), static_cast<int>(2 * bytes), value);
    writes.push_back(text);
    hardware_.at(bdf)->Write(static_cast<uint32_t>(offset), static_cast<uint32_t>(bytes),
                             static_cast<const uint8_t*>(buf));
    return static_cast<long>(bytes);
  }
  vfio::Kernel& Vfio() override { return model; }

  int WriteFile(const std::string& path, const std::string& text) override {
    writes.push_back(path.substr(sysfs_.size()) + " <- " + text);
    std::string value = text;
    while (!value.empty() && value.back() == '\n') value.pop_back();
    const std::string devices = sysfs_ + "/bus/pci/devices/";
    if (path == sysfs_ + "/bus/pci/drivers_probe") {
      Probe(value);
    } else if (path.size() > 14 && path.compare(path.size() - 14, 14, "/driver/unbind") == 0) {
      fs::remove(Device(value) + "/driver");
    } else if (path.rfind(devices, 0) == 0 && fs::path(path).filename() == "driver_override") {
      Touch(path, value.empty() ? "(null)\n" : value + "\n");
    } else {
      return EINVAL;
    }
    return 0;
  }
  int LoadModule(const std::string& name) override {
    writes.push_back("modprobe " + name);
    LoadDriver(name);
    return 0;
  }
  int Chown(const std::string& path, uint32_t uid) override {
    writes.push_back("chown " + std::to_string(uid) + " " + path);
    return fs::exists(Dev(path)) ? 0 : ENOENT;
  }

  bool privileged = true;
  uint64_t memlock_soft = UINT64_MAX, memlock_hard = UINT64_MAX;
  std::map<std::string, int> open_errno;  // by real path: what opening it gives the caller
  std::vector<std::string> writes;        // every change asked of the machine, in order

 private:
  std::string Device(const std::string& bdf) const { return sysfs_ + "/bus/pci/devices/" + bdf; }
  std::string Dev(const std::string& path) const { return root_ + path; }
  // The function whose sysfs config `path` is; "" for any other file.
  std::string ConfigOf(const std::string& path) const {
    const std::string devices = sysfs_ + "/bus/pci/devices/", tail = "/config";
    if (path.rfind(devices, 0) != 0 || path.size() <= devices.size() + tail.size() ||
        path.compare(path.size() - tail.size(), tail.size(), tail) != 0)
      return "";
    return path.substr(devices.size(), path.size() - devices.size() - tail.size());
  }
  static void Touch(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  void LoadDriver(const std::string& name) {
    fs::create_directories(sysfs_ + "/bus/pci/drivers/" + name);
    Touch(sysfs_ + "/bus/pci/drivers/" + name + "/unbind", "");
  }
  void Attach(const std::string& bdf, const std::string& driver) {
    LoadDriver(driver);
    fs::create_symlink(sysfs_ + "/bus/pci/drivers/" + driver, Device(bdf) + "/driver");
    const FunctionEntry& entry = entries_.at(bdf);
    if (driver == "vfio-pci" && entry.group >= 0)
      Touch(Dev("/dev/vfio/" + std::to_string(entry.group)), "");
  }
  // The kernel's drivers_probe: an unbound function gets its override, else its own driver.
  void Probe(const std::string& bdf) {
    if (!Driver(bdf).empty()) return;
    std::ifstream in(Device(bdf) + "/driver_override");
    std::string override_driver;
    std::getline(in, override_driver);
    const FunctionEntry& entry = entries_.at(bdf);
    std::string driver = override_driver == "(null)" ? entry.native_driver : override_driver;
    // vfio-pci refuses a function without an IOMMU group, and no driver binds unloaded.
    if (driver == "vfio-pci" && entry.group < 0) driver.clear();
    if (!driver.empty() && fs::exists(sysfs_ + "/bus/pci/drivers/" + driver)) Attach(bdf, driver);
  }

  std::string root_, sysfs_;
  std::map<std::string, FunctionEntry> entries_;
  std::map<std::string, std::unique_ptr<vfu::ConfigSpace>> hardware_;
  std::vector<std::unique_ptr<SpaceDevice>> devices_;

 public:
  // The VFIO interface (boards on it: AttachVfio); gone before the devices it reaches.
  vfio_model::KernelModel model;
};

struct Result {
  int status;
  std::string out, err;
};

inline Result Call(FakeHost& host, const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = setup::Main(host, args, out, err);
  return {status, out.str(), err.str()};
}

inline constexpr char kBoard[] = "0000:03:00.0";

}  // namespace setup_test
