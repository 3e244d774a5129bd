#include "kernel_model.h"

#include <fcntl.h>
#include <linux/vfio.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace vfio_model {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kRegionShift = 40;  // vfio-pci's region offsets: index << 40
constexpr uint64_t kPage = 4096;
constexpr uint64_t kIovaTop = (uint64_t{1} << 39) - 1;  // a 39-bit IOMMU

// The command register's bus mastering bit.
bool BusMaster(Device& d) {
  uint8_t command = 0;
  d.ConfigRead(4, &command, 1);
  return (command & 0x4) != 0;
}

const std::map<unsigned long, std::string>& IoctlNames() {
  static const std::map<unsigned long, std::string> names = {
      {VFIO_GET_API_VERSION, "VFIO_GET_API_VERSION"},
      {VFIO_CHECK_EXTENSION, "VFIO_CHECK_EXTENSION"},
      {VFIO_SET_IOMMU, "VFIO_SET_IOMMU"},
      {VFIO_GROUP_GET_STATUS, "VFIO_GROUP_GET_STATUS"},
      {VFIO_GROUP_SET_CONTAINER, "VFIO_GROUP_SET_CONTAINER"},
      {VFIO_GROUP_GET_DEVICE_FD, "VFIO_GROUP_GET_DEVICE_FD"},
      {VFIO_DEVICE_GET_INFO, "VFIO_DEVICE_GET_INFO"},
      {VFIO_DEVICE_GET_REGION_INFO, "VFIO_DEVICE_GET_REGION_INFO"},
      {VFIO_DEVICE_GET_IRQ_INFO, "VFIO_DEVICE_GET_IRQ_INFO"},
      {VFIO_DEVICE_SET_IRQS, "VFIO_DEVICE_SET_IRQS"},
      {VFIO_IOMMU_GET_INFO, "VFIO_IOMMU_GET_INFO"},
      {VFIO_IOMMU_MAP_DMA, "VFIO_IOMMU_MAP_DMA"},
      {VFIO_IOMMU_UNMAP_DMA, "VFIO_IOMMU_UNMAP_DMA"},
  };
  return names;
}

std::string IoctlName(unsigned long request) {
  auto it = IoctlNames().find(request);
  return it == IoctlNames().end() ? "ioctl " + std::to_string(request) : it->second;
}

void WriteFile(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

constexpr char kTreePrefix[] = "vfio-model-";  // then the owner's pid, '-' and a unique tail

// The trees of processes that ended without removing theirs (killed by a signal, say).
void RemoveOrphanTrees() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/tmp", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(kTreePrefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + sizeof kTreePrefix - 1, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      fs::remove_all(entry.path(), ignored);
    }
  }
}

}  // namespace

// ---- The machine ---------------------------------------------------------------------------

KernelModel::KernelModel() {
  RemoveOrphanTrees();
  std::string dir = std::string("/tmp/") + kTreePrefix + std::to_string(::getpid()) + "-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) std::abort();
  root_ = dir;
  fs::create_directories(root_ + "/bus/pci/devices");
  iova_ranges = {{0, 0xFEDFFFFF}, {0xFEF00000, kIovaTop}};
}

KernelModel::~KernelModel() {
  for (auto& [fd, file] : files_) ::close(fd);
  for (int fd : eventfds_) ::close(fd);
  for (auto& f : functions_)
    if (f->irq_fd >= 0) ::close(f->irq_fd);
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

Bus& KernelModel::AddFunction(const FunctionSetup& setup) {
  std::lock_guard<std::mutex> lock(mu_);
  auto f = std::make_unique<Function>();
  f->setup = setup;
  f->bus.model_ = this;
  f->bus.function_ = functions_.size();
  const fs::path dev = root_ + "/bus/pci/devices/" + setup.bdf;
  fs::create_directories(dev);
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x\n", setup.vendor_id);
  WriteFile(dev / "vendor", text);
  std::snprintf(text, sizeof text, "0x%04x\n", setup.device_id);
  WriteFile(dev / "device", text);
  WriteFile(dev / "irq", std::to_string(16 + functions_.size()) + "\n");
  std::string resource;
  for (uint32_t bar = 0; bar < 7; ++bar) {
    const uint64_t bytes = setup.device && bar < 6 ? setup.device->BarBytes(bar) : 0;
    uint64_t base = bar < 6 ? setup.bar_base[bar] : 0;
    if (base == 0) base = 0xE0000000 + functions_.size() * 0x1000000 + bar * 0x100000;
    if (bytes == 0) base = 0;
    char line[80];
    std::snprintf(line, sizeof line, "0x%016llx 0x%016llx 0x%016llx\n",
                  static_cast<unsigned long long>(base),
                  static_cast<unsigned long long>(bytes ? base + bytes - 1 : 0),
                  static_cast<unsigned long long>(bytes ? 0x40200 : 0));
    resource += line;
  }
  WriteFile(dev / "resource", resource);
  if (!setup.driver.empty())
    fs::create_symlink("../../../../bus/pci/drivers/" + setup.driver, dev / "driver");
  if (setup.group >= 0) {
    const fs::path group = root_ + "/kernel/iommu_groups/" + std::to_string(setup.group);
    fs::create_directories(group / "devices");
    fs::create_symlink("../../../../kernel/iommu_groups/" + std::to_string(setup.group),
                       dev / "iommu_group");
    fs::create_symlink("../../../../bus/pci/devices/" + setup.bdf, group / "devices" / setup.bdf);
  }
  functions_.push_back(std::move(f));
  return functions_.back()->bus;
}

void KernelModel::FailNext(const std::string& call, int err) {
  std::lock_guard<std::mutex> lock(mu_);
  failures_.emplace_back(call, err);
}

void KernelModel::FailNext(unsigned long ioctl_request, int err) {
  FailNext(IoctlName(ioctl_request), err);
}

int KernelModel::Injected(const std::string& call) {
  for (auto it = failures_.begin(); it != failures_.end(); ++it) {
    if (it->first != call) continue;
    const int err = it->second;
    failures_.erase(it);
    log_.push_back(call + " failed");
    return err;
  }
  return 0;
}

size_t KernelModel::OpenFds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return files_.size() + eventfds_.size();
}
size_t KernelModel::LiveMmaps() const {
  std::lock_guard<std::mutex> lock(mu_);
  return mmaps_.size();
}
size_t KernelModel::DmaMaps() const {
  std::lock_guard<std::mutex> lock(mu_);
  size_t n = 0;
  for (auto& [id, c] : containers_) n += c.maps.size();
  return n;
}
uint64_t KernelModel::PinnedBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return pinned_;
}
uint64_t KernelModel::Faults() const {
  std::lock_guard<std::mutex> lock(mu_);
  return faults_;
}
uint64_t KernelModel::Signals() const {
  std::lock_guard<std::mutex> lock(mu_);
  return signals_;
}
std::map<std::string, uint64_t> KernelModel::Calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}
std::vector<std::string> KernelModel::Log() const {
  std::lock_guard<std::mutex> lock(mu_);
  return log_;
}

bool KernelModel::Viable(int group) const {
  for (auto& f : functions_)
    if (f->setup.group == group && !f->setup.driver.empty() && f->setup.driver != "vfio-pci")
      return false;
  return true;
}

// ---- Files ---------------------------------------------------------------------------------

int KernelModel::NewFd(Kind kind, int id) {
  // A real descriptor stands behind each model file, so numbers never collide with the real
  // eventfds beside them.
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  files_[fd] = {kind, id};
  return fd;
}

int KernelModel::Open(const std::string& path, int) {
  std::lock_guard<std::mutex> lock(mu_);
  Count("open");
  if (int err = Injected("open " + path)) return -err;
  if (path == "/dev/vfio/vfio") {
    const int id = next_container_++;
    containers_[id] = Container();
    const int fd = NewFd(Kind::kContainer, id);
    if (fd < 0) containers_.erase(id);
    return fd;
  }
  int group = -1;
  char tail;
  if (std::sscanf(path.c_str(), "/dev/vfio/%d%c", &group, &tail) != 1) return -ENOENT;
  bool exists = false;
  for (auto& f : functions_) exists |= f->setup.group == group;
  if (!exists) return -ENOENT;
  // A group file is open in one place at a time.
  if (open_groups_.count(group)) return -EBUSY;
  const int fd = NewFd(Kind::kGroup, group);
  if (fd >= 0) open_groups_.insert(group);
  return fd;
}

void KernelModel::DetachGroup(int group) {
  auto it = group_container_.find(group);
  if (it == group_container_.end()) return;
  Container& c = containers_[it->second];
  c.groups.erase(group);
  // The last group gone takes the IOMMU and every mapping with it.
  if (c.groups.empty()) {
    for (auto& [iova, m] : c.maps) pinned_ -= m.bytes;
    c.maps.clear();
    c.type = 0;
    if (!c.fd_open) containers_.erase(it->second);
  }
  group_container_.erase(it);
}

int KernelModel::Close(int fd) {
  std::lock_guard<std::mutex> lock(mu_);
  Count("close");
  if (eventfds_.erase(fd)) return ::close(fd) == 0 ? 0 : -errno;
  auto it = files_.find(fd);
  if (it == files_.end()) return -EBADF;
  const File file = it->second;
  files_.erase(it);
  ::close(fd);
  switch (file.kind) {
    case Kind::kDevice: {
      // Closing the device disables its interrupts and bus mastering, as vfio-pci does.
      Function& f = *functions_[static_cast<size_t>(file.id)];
      DisableIrq(f);
      uint8_t command = 0;
      f.setup.device->ConfigRead(4, &command, 1);
      command &= static_cast<uint8_t>(~0x4);
      f.setup.device->ConfigWrite(4, &command, 1);
      f.open = false;
      log_.push_back("close device");
      break;
    }
    case Kind::kGroup:
      DetachGroup(file.id);
      open_groups_.erase(file.id);
      log_.push_back("close group");
      break;
    case Kind::kContainer: {
      Container& c = containers_[file.id];
      c.fd_open = false;
      if (c.groups.empty()) containers_.erase(file.id);
      log_.push_back("close container");
      break;
    }
  }
  return 0;
}

// ---- ioctl ---------------------------------------------------------------------------------

int KernelModel::Ioctl(int fd, unsigned long request, void* arg) {
  std::lock_guard<std::mutex> lock(mu_);
  Count(IoctlName(request));
  if (int err = Injected(IoctlName(request))) return -err;
  auto it = files_.find(fd);
  if (it == files_.end()) return eventfds_.count(fd) ? -ENOTTY : -EBADF;
  switch (it->second.kind) {
    case Kind::kContainer: return ContainerIoctl(containers_[it->second.id], request, arg, 0);
    case Kind::kGroup: return GroupIoctl(it->second.id, request, arg);
    case Kind::kDevice: return DeviceIoctl(static_cast<size_t>(it->second.id), request, arg);
  }
  return -ENOTTY;
}

int KernelModel::IoctlValue(int fd, unsigned long request, unsigned long value) {
  std::lock_guard<std::mutex> lock(mu_);
  Count(IoctlName(request));
  if (int err = Injected(IoctlName(request))) return -err;
  auto it = files_.find(fd);
  if (it == files_.end()) return -EBADF;
  if (it->second.kind != Kind::kContainer) return -ENOTTY;
  return ContainerIoctl(containers_[it->second.id], request, nullptr, value);
}

int KernelModel::ContainerIoctl(Container& c, unsigned long request, void* arg,
                                unsigned long value) {
  const bool type1 = value == VFIO_TYPE1_IOMMU || value == VFIO_TYPE1v2_IOMMU;
  switch (request) {
    case VFIO_GET_API_VERSION: return VFIO_API_VERSION;
    case VFIO_CHECK_EXTENSION: return type1 ? 1 : 0;
    case VFIO_SET_IOMMU:
      if (c.groups.empty() || !type1) return -EINVAL;  // an IOMMU needs a group to serve
      if (c.type != 0) return -EBUSY;
      c.type = static_cast<int>(value);
      log_.push_back("VFIO_SET_IOMMU");
      return 0;
  }
  if (c.type == 0 || arg == nullptr) return -EINVAL;

  if (request == VFIO_IOMMU_GET_INFO) {
    auto* info = static_cast<vfio_iommu_type1_info*>(arg);
    if (info->argsz < offsetof(vfio_iommu_type1_info, cap_offset)) return -EINVAL;
    const size_t nr = iova_ranges.size();
    const size_t cap_size =
        sizeof(vfio_iommu_type1_info_cap_iova_range) + nr * sizeof(vfio_iova_range);
    const size_t total = sizeof(vfio_iommu_type1_info) + cap_size;
    info->flags = VFIO_IOMMU_INFO_PGSIZES | VFIO_IOMMU_INFO_CAPS;
    info->iova_pgsizes = kPage | (kPage << 9) | (kPage << 18);
    if (info->argsz < total) {
      // Too small for the chain: no chain, and the size it needs.
      if (info->argsz >= sizeof *info) info->cap_offset = 0;
      info->argsz = static_cast<uint32_t>(total);
      return 0;
    }
    info->cap_offset = sizeof *info;
    auto* cap = reinterpret_cast<vfio_iommu_type1_info_cap_iova_range*>(static_cast<uint8_t*>(arg) +
                                                                        sizeof *info);
    cap->header = {VFIO_IOMMU_TYPE1_INFO_CAP_IOVA_RANGE, 1, 0};
    cap->nr_iovas = static_cast<uint32_t>(nr);
    for (size_t i = 0; i < nr; ++i)
      cap->iova_ranges[i] = {iova_ranges[i].first, iova_ranges[i].second};
    info->argsz = static_cast<uint32_t>(total);
    return 0;
  }

  if (request == VFIO_IOMMU_MAP_DMA) {
    auto* map = static_cast<vfio_iommu_type1_dma_map*>(arg);
    if (map->argsz < sizeof *map) return -EINVAL;
    const uint32_t prot = map->flags & (VFIO_DMA_MAP_FLAG_READ | VFIO_DMA_MAP_FLAG_WRITE);
    if (prot == 0 || map->flags != prot || map->size == 0 ||
        ((map->vaddr | map->iova | map->size) & (kPage - 1)) != 0)
      return -EINVAL;
    const uint64_t last = map->iova + map->size - 1;
    if (last < map->iova) return -EINVAL;
    // Only inside one usable range: the MSI window and what lies beyond the IOMMU's address
    // width are refused.
    bool usable = false;
    for (auto& [first, end] : iova_ranges) usable |= map->iova >= first && last <= end;
    if (!usable) return -EINVAL;
    for (auto& [iova, m] : c.maps)
      if (iova <= last && map->iova <= iova + m.bytes - 1) return -EEXIST;
    // One host page may sit in several mappings; each counts against the limit.
    if (pinned_ + map->size > memlock_soft) return -ENOMEM;
    c.maps[map->iova] = {map->vaddr, map->size, prot};
    pinned_ += map->size;
    log_.push_back("VFIO_IOMMU_MAP_DMA");
    return 0;
  }

  if (request == VFIO_IOMMU_UNMAP_DMA) {
    auto* unmap = static_cast<vfio_iommu_type1_dma_unmap*>(arg);
    if (unmap->argsz < sizeof *unmap || unmap->flags != 0 || unmap->size == 0 ||
        ((unmap->iova | unmap->size) & (kPage - 1)) != 0)
      return -EINVAL;
    const uint64_t first = unmap->iova, last = unmap->iova + unmap->size - 1;
    // Type-1 v2: a range that cuts through a mapping is refused as a whole.
    for (auto& [iova, m] : c.maps) {
      const uint64_t m_last = iova + m.bytes - 1;
      if ((iova < first && m_last >= first) || (iova <= last && m_last > last)) return -EINVAL;
    }
    uint64_t unmapped = 0;
    for (auto it = c.maps.lower_bound(first); it != c.maps.end() && it->first <= last;) {
      unmapped += it->second.bytes;
      pinned_ -= it->second.bytes;
      it = c.maps.erase(it);
    }
    unmap->size = unmapped;
    log_.push_back("VFIO_IOMMU_UNMAP_DMA");
    return 0;
  }
  return -ENOTTY;
}

int KernelModel::GroupIoctl(int group, unsigned long request, void* arg) {
  if (arg == nullptr) return -EINVAL;
  const bool attached = group_container_.count(group) != 0;
  switch (request) {
    case VFIO_GROUP_GET_STATUS: {
      auto* status = static_cast<vfio_group_status*>(arg);
      if (status->argsz < sizeof *status) return -EINVAL;
      status->flags = (Viable(group) ? VFIO_GROUP_FLAGS_VIABLE : 0) |
                      (attached ? VFIO_GROUP_FLAGS_CONTAINER_SET : 0);
      return 0;
    }
    case VFIO_GROUP_SET_CONTAINER: {
      if (!Viable(group)) return -EPERM;
      if (attached) return -EINVAL;
      auto it = files_.find(*static_cast<int*>(arg));
      if (it == files_.end() || it->second.kind != Kind::kContainer) return -EBADF;
      containers_[it->second.id].groups.insert(group);
      group_container_[group] = it->second.id;
      log_.push_back("VFIO_GROUP_SET_CONTAINER");
      return 0;
    }
    case VFIO_GROUP_GET_DEVICE_FD: {
      // Devices come only once the container has its IOMMU.
      if (!attached || containers_[group_container_[group]].type == 0) return -EINVAL;
      const std::string name = static_cast<const char*>(arg);
      for (size_t i = 0; i < functions_.size(); ++i) {
        Function& f = *functions_[i];
        if (f.setup.group != group || f.setup.bdf != name || f.setup.device == nullptr) continue;
        if (f.open) return -EBUSY;
        const int fd = NewFd(Kind::kDevice, static_cast<int>(i));
        if (fd >= 0) f.open = true;
        return fd;
      }
      return -ENODEV;
    }
  }
  return -ENOTTY;
}

int KernelModel::DeviceIoctl(size_t index, unsigned long request, void* arg) {
  Function& f = *functions_[index];
  Device& d = *f.setup.device;
  if (arg == nullptr) return -EINVAL;
  switch (request) {
    case VFIO_DEVICE_GET_INFO: {
      auto* info = static_cast<vfio_device_info*>(arg);
      if (info->argsz < offsetof(vfio_device_info, cap_offset)) return -EINVAL;
      info->flags = VFIO_DEVICE_FLAGS_PCI | VFIO_DEVICE_FLAGS_RESET;
      info->num_regions = VFIO_PCI_NUM_REGIONS;
      info->num_irqs = VFIO_PCI_NUM_IRQS;
      return 0;
    }
    case VFIO_DEVICE_GET_REGION_INFO: {
      auto* region = static_cast<vfio_region_info*>(arg);
      if (region->argsz < sizeof *region || region->index >= VFIO_PCI_NUM_REGIONS) return -EINVAL;
      const uint32_t i = region->index;
      region->offset = uint64_t{i} << kRegionShift;
      region->size = i <= VFIO_PCI_BAR5_REGION_INDEX     ? d.BarBytes(i)
                     : i == VFIO_PCI_CONFIG_REGION_INDEX ? d.ConfigBytes()
                                                         : 0;
      region->flags = region->size ? VFIO_REGION_INFO_FLAG_READ | VFIO_REGION_INFO_FLAG_WRITE : 0;
      if (region->size && i <= VFIO_PCI_BAR5_REGION_INDEX && d.BarMemory(i))
        region->flags |= VFIO_REGION_INFO_FLAG_MMAP;
      region->cap_offset = 0;
      return 0;
    }
    case VFIO_DEVICE_GET_IRQ_INFO: {
      auto* irq = static_cast<vfio_irq_info*>(arg);
      if (irq->argsz < sizeof *irq || irq->index >= VFIO_PCI_NUM_IRQS) return -EINVAL;
      irq->count = irq->index == VFIO_PCI_INTX_IRQ_INDEX                ? 1
                   : irq->index == VFIO_PCI_MSI_IRQ_INDEX && d.HasMsi() ? 1
                                                                        : 0;
      irq->flags = irq->index == VFIO_PCI_INTX_IRQ_INDEX
                       ? VFIO_IRQ_INFO_EVENTFD | VFIO_IRQ_INFO_MASKABLE | VFIO_IRQ_INFO_AUTOMASKED
                       : VFIO_IRQ_INFO_EVENTFD | VFIO_IRQ_INFO_NORESIZE;
      return 0;
    }
    case VFIO_DEVICE_SET_IRQS: return SetIrqs(f, arg);
  }
  return -ENOTTY;
}

int KernelModel::SetIrqs(Function& f, const void* arg) {
  vfio_irq_set set;
  std::memcpy(&set, arg, sizeof set);
  const uint32_t data = set.flags & VFIO_IRQ_SET_DATA_TYPE_MASK;
  const uint32_t action = set.flags & VFIO_IRQ_SET_ACTION_TYPE_MASK;
  const int index = static_cast<int>(set.index);
  if (set.argsz < sizeof set || set.start != 0 ||
      (index != VFIO_PCI_INTX_IRQ_INDEX && index != VFIO_PCI_MSI_IRQ_INDEX))
    return -EINVAL;
  if (data == VFIO_IRQ_SET_DATA_NONE && action == VFIO_IRQ_SET_ACTION_TRIGGER && set.count == 0) {
    if (f.irq_index != index) return -EINVAL;
    DisableIrq(f);
    log_.push_back("interrupts off");
    return 0;
  }
  if (data == VFIO_IRQ_SET_DATA_NONE && action == VFIO_IRQ_SET_ACTION_UNMASK && set.count == 1) {
    if (index != VFIO_PCI_INTX_IRQ_INDEX || f.irq_index != index) return -EINVAL;
    f.masked = false;
    if (f.pending) {
      // A level line still raised fires again as soon as it is unmasked.
      f.pending = false;
      Signal(f);
    }
    return 0;
  }
  if (data == VFIO_IRQ_SET_DATA_EVENTFD && action == VFIO_IRQ_SET_ACTION_TRIGGER &&
      set.count == 1) {
    if (set.argsz < sizeof set + sizeof(int32_t)) return -EINVAL;
    if (f.irq_index >= 0 && f.irq_index != index) return -EINVAL;  // one type at a time
    if (index == VFIO_PCI_MSI_IRQ_INDEX && !f.setup.device->HasMsi()) return -EINVAL;
    int32_t fd;
    std::memcpy(&fd, static_cast<const uint8_t*>(arg) + sizeof set, sizeof fd);
    if (!eventfds_.count(fd)) return -EBADF;
    DisableIrq(f);
    f.irq_fd = ::dup(fd);
    if (f.irq_fd < 0) return -errno;
    f.irq_index = index;
    f.masked = f.pending = false;
    log_.push_back("interrupts on");
    return 0;
  }
  return -EINVAL;
}

void KernelModel::DisableIrq(Function& f) {
  if (f.irq_fd >= 0) ::close(f.irq_fd);
  f.irq_fd = -1;
  f.irq_index = -1;
  f.masked = f.pending = false;
}

void KernelModel::Signal(Function& f) {
  const uint64_t one = 1;
  if (::write(f.irq_fd, &one, sizeof one) != sizeof one) std::abort();
  ++signals_;
  if (f.irq_index == VFIO_PCI_INTX_IRQ_INDEX) f.masked = true;
}

// ---- Regions -------------------------------------------------------------------------------

int KernelModel::Mmap(int fd, uint64_t offset, size_t bytes, int, void** addr) {
  std::lock_guard<std::mutex> lock(mu_);
  Count("mmap");
  if (int err = Injected("mmap")) return -err;
  auto it = files_.find(fd);
  if (it == files_.end() || it->second.kind != Kind::kDevice) return -EINVAL;
  Device& d = *functions_[static_cast<size_t>(it->second.id)]->setup.device;
  const uint32_t index = static_cast<uint32_t>(offset >> kRegionShift);
  const uint64_t within = offset & ((uint64_t{1} << kRegionShift) - 1);
  if (index > VFIO_PCI_BAR5_REGION_INDEX || d.BarMemory(index) == nullptr || within % kPage != 0 ||
      within + bytes > d.BarBytes(index))
    return -EINVAL;
  *addr = static_cast<uint8_t*>(d.BarMemory(index)) + within;
  mmaps_[*addr] = bytes;
  log_.push_back("mmap");
  return 0;
}

int KernelModel::Munmap(void* addr, size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  Count("munmap");
  auto it = mmaps_.find(addr);
  if (it == mmaps_.end() || it->second != bytes) return -EINVAL;
  mmaps_.erase(it);
  log_.push_back("munmap");
  return 0;
}

Device* KernelModel::DeviceOf(int fd) {
  auto it = files_.find(fd);
  if (it == files_.end() || it->second.kind != Kind::kDevice) return nullptr;
  return functions_[static_cast<size_t>(it->second.id)]->setup.device;
}

// A BAR is reached without the model's lock, as the kernel serialises nothing there: the
// device may act on the access and in doing so use its bus (DMA, its interrupt).
long KernelModel::RegionAccess(int fd, void* buf, size_t bytes, uint64_t offset, bool write) {
  const char* call = write ? "pwrite" : "pread";
  const uint32_t index = static_cast<uint32_t>(offset >> kRegionShift);
  const uint64_t at = offset & ((uint64_t{1} << kRegionShift) - 1);
  Device* d;
  {
    std::lock_guard<std::mutex> lock(mu_);
    Count(call);
    if (int err = Injected(call)) return -err;
    d = DeviceOf(fd);
    if (d == nullptr) return -EINVAL;
  }
  if (index == VFIO_PCI_CONFIG_REGION_INDEX) {
    if (at + bytes > d->ConfigBytes()) return -EINVAL;
    if (!write) {
      d->ConfigRead(static_cast<uint32_t>(at), buf, bytes);
      return static_cast<long>(bytes);
    }
    const bool was = BusMaster(*d);
    d->ConfigWrite(static_cast<uint32_t>(at), buf, bytes);
    const bool now = BusMaster(*d);
    if (was != now) {
      std::lock_guard<std::mutex> lock(mu_);
      log_.push_back(now ? "bus master on" : "bus master off");
    }
    return static_cast<long>(bytes);
  }
  if (index > VFIO_PCI_BAR5_REGION_INDEX || at + bytes > d->BarBytes(index)) return -EINVAL;
  if (write)
    d->BarWrite(index, at, buf, bytes);
  else
    d->BarRead(index, at, buf, bytes);
  return static_cast<long>(bytes);
}

long KernelModel::Pread(int fd, void* buf, size_t bytes, uint64_t offset) {
  return RegionAccess(fd, buf, bytes, offset, false);
}

long KernelModel::Pwrite(int fd, const void* buf, size_t bytes, uint64_t offset) {
  return RegionAccess(fd, const_cast<void*>(buf), bytes, offset, true);
}

// ---- Eventfds, poll, limits: the real ones -------------------------------------------------

int KernelModel::EventFd(unsigned int initval, int flags) {
  std::lock_guard<std::mutex> lock(mu_);
  Count("eventfd");
  if (int err = Injected("eventfd")) return -err;
  const int fd = ::eventfd(initval, flags);
  if (fd < 0) return -errno;
  eventfds_.insert(fd);
  return fd;
}

int KernelModel::Poll(struct pollfd* fds, size_t count, int timeout_ms) {
  CountLocked("poll");
  const int r = ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
  return r < 0 ? -errno : r;
}

long KernelModel::Read(int fd, void* buf, size_t bytes) {
  CountLocked("read");
  const ssize_t r = ::read(fd, buf, bytes);
  return r < 0 ? -errno : static_cast<long>(r);
}

long KernelModel::Write(int fd, const void* buf, size_t bytes) {
  CountLocked("write");
  const ssize_t r = ::write(fd, buf, bytes);
  return r < 0 ? -errno : static_cast<long>(r);
}

int KernelModel::MemlockLimit(uint64_t* soft, uint64_t* hard) {
  std::lock_guard<std::mutex> lock(mu_);
  *soft = memlock_soft;
  *hard = memlock_hard;
  return 0;
}

// ---- The device's side ---------------------------------------------------------------------

bool KernelModel::Translate(const Function& f, uint64_t iova, size_t bytes, bool write,
                            Pieces* pieces) {
  const uint32_t need = write ? VFIO_DMA_MAP_FLAG_WRITE : VFIO_DMA_MAP_FLAG_READ;
  auto attached = group_container_.find(f.setup.group);
  if (!BusMaster(*f.setup.device) || attached == group_container_.end() || bytes == 0 ||
      iova + bytes <= iova)
    return false;
  const auto& maps = containers_[attached->second].maps;
  for (uint64_t at = iova, end = iova + bytes; at < end;) {
    auto it = maps.upper_bound(at);
    if (it == maps.begin()) return false;
    --it;
    const uint64_t m_end = it->first + it->second.bytes;
    if (at >= m_end || !(it->second.flags & need)) return false;
    const uint64_t n = std::min(end, m_end) - at;
    pieces->emplace_back(reinterpret_cast<uint8_t*>(it->second.vaddr + (at - it->first)), n);
    at += n;
  }
  return true;
}

// The whole access is checked before a byte moves, as a fault drops it whole.
bool KernelModel::DeviceDma(size_t index, uint64_t iova, void* data, size_t bytes, bool write) {
  std::lock_guard<std::mutex> lock(mu_);
  Pieces pieces;
  const bool allowed = Translate(*functions_[index], iova, bytes, write, &pieces);
  if (data == nullptr) return allowed;
  if (!allowed) {
    ++faults_;
    return false;
  }
  auto* cursor = static_cast<uint8_t*>(data);
  for (auto& [host, n] : pieces) {
    if (write)
      std::memcpy(host, cursor, n);
    else
      std::memcpy(cursor, host, n);
    cursor += n;
  }
  return true;
}

bool KernelModel::DeviceCopy(size_t index, uint64_t from, uint64_t to, size_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  Pieces src, dst;
  const Function& f = *functions_[index];
  if (!Translate(f, from, bytes, false, &src) || !Translate(f, to, bytes, true, &dst)) {
    ++faults_;
    return false;
  }
  size_t s = 0, d = 0, s_off = 0, d_off = 0;
  while (s < src.size()) {
    const size_t n = std::min(src[s].second - s_off, dst[d].second - d_off);
    std::memmove(dst[d].first + d_off, src[s].first + s_off, n);
    if ((s_off += n) == src[s].second) ++s, s_off = 0;
    if ((d_off += n) == dst[d].second) ++d, d_off = 0;
  }
  return true;
}

bool Bus::DmaRead(uint64_t iova, void* dst, size_t bytes) {
  return model_->DeviceDma(function_, iova, dst, bytes, false);
}

bool Bus::DmaWrite(uint64_t iova, const void* src, size_t bytes) {
  return model_->DeviceDma(function_, iova, const_cast<void*>(src), bytes, true);
}

bool Bus::DmaCheck(uint64_t iova, size_t bytes, bool write) {
  return model_->DeviceDma(function_, iova, nullptr, bytes, write);
}

bool Bus::DmaCopy(uint64_t from, uint64_t to, size_t bytes) {
  return model_->DeviceCopy(function_, from, to, bytes);
}

void Bus::Interrupt() {
  std::lock_guard<std::mutex> lock(model_->mu_);
  KernelModel::Function& f = *model_->functions_[function_];
  if (f.irq_index < 0) return;
  if (f.irq_index == VFIO_PCI_INTX_IRQ_INDEX && f.masked) {
    f.pending = true;
    return;
  }
  model_->Signal(f);
}

}  // namespace vfio_model
