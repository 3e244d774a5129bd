#include "vfio/board.h"

#include <fcntl.h>
#include <linux/vfio.h>
#include <sys/eventfd.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "iova.h"

namespace vfio {
namespace {

constexpr const char* kContainerPath = "/dev/vfio/vfio";
constexpr const char* kAccessDriver = "vfio-pci";
constexpr uint64_t kCommandReg = 0x04;
constexpr uint16_t kBusMaster = 0x4;
// The x86 MSI window: writes there are interrupts, never memory, whatever the IOMMU maps.
constexpr uint64_t kMsiFirst = 0xFEE00000, kMsiLast = 0xFEEFFFFF;

WdcStatus Fail(WdcStatus status, const std::string& text) {
  wdc::SetStatusDetail(status, text);
  return status;
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

std::string KiB(uint64_t bytes) { return std::to_string((bytes + 1023) / 1024) + " KiB"; }

}  // namespace

VfioBoard::VfioBoard(Kernel& kernel, PciFunction function)
    : kernel_(kernel), function_(std::move(function)), iova_(new IovaAllocator) {}

VfioBoard::~VfioBoard() { Close(); }

// ---- Open ----------------------------------------------------------------------------------

WdcStatus VfioBoard::Open(const wdc::DmaConstraints& dma) {
  const uint64_t bus_limit = dma.bus_limit;
  const uint32_t page_bytes = dma.page_bytes;
  if (IsOpen()) return WDC_STATUS_DEVICE_BUSY;
  if (page_bytes == 0 || (page_bytes & (page_bytes - 1)) != 0 || bus_limit <= page_bytes)
    return WDC_STATUS_INVALID_PARAMETER;
  bus_limit_ = bus_limit;
  page_ = page_bytes;
  const WdcStatus status = OpenSteps();
  if (status != WDC_STATUS_SUCCESS) Close();
  return status;
}

WdcStatus VfioBoard::OpenSteps() {
  // sysfs again: the user may have rebound the board since the scan.
  const std::string bdf = function_.bdf;
  PciFunction now;
  if (!ReadPciFunction(kernel_.SysfsRoot(), bdf, &now))
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf + " is no longer in sysfs (" +
                                             kernel_.SysfsRoot() + "/bus/pci/devices)");
  function_.driver = now.driver;
  function_.iommu_group = now.iommu_group;

  // Without an IOMMU vfio-pci cannot take the board at all, so this comes before the driver.
  if (function_.iommu_group < 0)
    return Fail(WDC_STATUS_NO_IOMMU,
                "the board at " + bdf +
                    " has no IOMMU group: the IOMMU is off. Turn on VT-d (Intel) or AMD-Vi/IOMMU "
                    "(AMD) in the firmware setup; on Intel also add intel_iommu=on to the kernel "
                    "command line (amd_iommu=on on AMD, where it is on by default unless "
                    "amd_iommu=off is given): GRUB_CMDLINE_LINUX in /etc/default/grub, then "
                    "update-grub and reboot.");
  if (function_.driver != kAccessDriver) {
    const std::string dev = "/sys/bus/pci/devices/" + bdf;
    std::string text =
        "the board at " + bdf + " is bound to " +
        (function_.driver.empty() ? std::string("no driver") : "the driver " + function_.driver) +
        ", not to vfio-pci. As root: `modprobe vfio-pci`, then `driverctl "
        "set-override " +
        bdf +
        " vfio-pci` (package driverctl; kept across "
        "reboots), or by hand: `echo vfio-pci > " +
        dev + "/driver_override`";
    if (!function_.driver.empty()) text += ", `echo " + bdf + " > " + dev + "/driver/unbind`";
    text += ", `echo " + bdf + " > /sys/bus/pci/drivers_probe`.";
    return Fail(WDC_STATUS_NOT_BOUND, text);
  }

  WdcStatus status = OpenContainer();
  if (status == WDC_STATUS_SUCCESS) status = OpenGroup();
  if (status == WDC_STATUS_SUCCESS) status = ReadIovaRanges();
  if (status == WDC_STATUS_SUCCESS) status = OpenDevice();
  if (status == WDC_STATUS_SUCCESS) status = SetBusMaster(true);
  return status;
}

namespace {

// A VFIO file that would not open: what the user can do about it.
WdcStatus FileRefused(const std::string& path, int err, const std::string& bdf) {
  const std::string why =
      "cannot open " + path + " for the board at " + bdf + ": " + ErrnoText(err) + ". ";
  const bool container = path == kContainerPath;
  if (err == EACCES || err == EPERM) {
    if (container)
      return Fail(WDC_STATUS_NO_PERMISSION,
                  why + "It is normally open to every user: `sudo chmod 0666 " + path + "`.");
    return Fail(WDC_STATUS_NO_PERMISSION,
                why +
                    "To use the board without root, give your user the group's file: `sudo "
                    "chown $USER " +
                    path +
                    "` (until the next boot), or for good a udev rule, "
                    "e.g. in /etc/udev/rules.d/90-vfio.rules: SUBSYSTEM==\"vfio\", "
                    "OWNER=\"<your user>\", then `udevadm trigger`.");
  }
  if (err == ENOENT)
    return Fail(WDC_STATUS_SYSTEM_ERROR,
                why + (container ? "The vfio modules are not loaded: `sudo modprobe vfio-pci`."
                                 : "The board's IOMMU group has no VFIO file: check that the "
                                   "board is bound to vfio-pci."));
  if (err == EBUSY && !container)
    return Fail(WDC_STATUS_DEVICE_BUSY,
                why + "Another process holds the board's IOMMU group (only one may open " + path +
                    "): end that process first.");
  return Fail(WDC_STATUS_SYSTEM_ERROR, why);
}

WdcStatus CallFailed(const char* call, int err, const std::string& bdf,
                     const std::string& advice = "") {
  return Fail(WDC_STATUS_SYSTEM_ERROR, std::string(call) + " failed for the board at " + bdf +
                                           ": " + ErrnoText(err) + "." +
                                           (advice.empty() ? "" : " " + advice));
}

}  // namespace

WdcStatus VfioBoard::OpenContainer() {
  const std::string& bdf = function_.bdf;
  const int fd = kernel_.Open(kContainerPath, O_RDWR);
  if (fd < 0) return FileRefused(kContainerPath, -fd, bdf);
  container_fd_ = fd;
  const int version = kernel_.IoctlValue(fd, VFIO_GET_API_VERSION, 0);
  if (version < 0) return CallFailed("VFIO_GET_API_VERSION", -version, bdf);
  if (version != VFIO_API_VERSION)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the kernel's VFIO interface is version " +
                                             std::to_string(version) + ", not " +
                                             std::to_string(VFIO_API_VERSION));
  // v2 refuses to unmap part of a mapping, which is what we want; v1 is the fallback.
  for (int type : {VFIO_TYPE1v2_IOMMU, VFIO_TYPE1_IOMMU}) {
    if (kernel_.IoctlValue(fd, VFIO_CHECK_EXTENSION, static_cast<unsigned long>(type)) > 0) {
      iommu_type_ = type;
      return WDC_STATUS_SUCCESS;
    }
  }
  return Fail(WDC_STATUS_SYSTEM_ERROR,
              "the kernel offers no type-1 IOMMU for VFIO (module vfio_iommu_type1 missing?)");
}

WdcStatus VfioBoard::OpenGroup() {
  const std::string& bdf = function_.bdf;
  const int group = function_.iommu_group;
  const std::string path = "/dev/vfio/" + std::to_string(group);
  const int fd = kernel_.Open(path, O_RDWR);
  if (fd < 0) return FileRefused(path, -fd, bdf);
  group_fd_ = fd;

  vfio_group_status group_status = {};
  group_status.argsz = sizeof group_status;
  if (int r = kernel_.Ioctl(fd, VFIO_GROUP_GET_STATUS, &group_status); r < 0)
    return CallFailed("VFIO_GROUP_GET_STATUS", -r, bdf);
  if (!(group_status.flags & VFIO_GROUP_FLAGS_VIABLE)) {
    std::string others;
    for (const PciFunction& member : GroupMembers(kernel_.SysfsRoot(), group)) {
      if (member.bdf == bdf || member.driver == kAccessDriver) continue;
      others += (others.empty() ? "" : ", ") + member.bdf + " (" +
                (member.driver.empty() ? "no driver" : "driver " + member.driver) + ")";
    }
    return Fail(WDC_STATUS_GROUP_NOT_VIABLE,
                "IOMMU group " + std::to_string(group) + " of the board at " + bdf +
                    " is not usable: other devices share it" +
                    (others.empty() ? "" : ": " + others) +
                    ". Every device of the group must be bound to vfio-pci or to no driver: "
                    "unbind each (`echo BDF > /sys/bus/pci/devices/BDF/driver/unbind`) or bind it "
                    "to vfio-pci like the board, or move the board to a slot with a group of its "
                    "own.");
  }
  int container = container_fd_;
  if (int r = kernel_.Ioctl(fd, VFIO_GROUP_SET_CONTAINER, &container); r < 0)
    return CallFailed("VFIO_GROUP_SET_CONTAINER", -r, bdf);
  if (int r = kernel_.IoctlValue(container_fd_, VFIO_SET_IOMMU,
                                 static_cast<unsigned long>(iommu_type_));
      r < 0)
    return CallFailed("VFIO_SET_IOMMU", -r, bdf,
                      -r == EPERM ? "The IOMMU lacks interrupt remapping; if the machine is "
                                    "trusted, `options vfio_iommu_type1 "
                                    "allow_unsafe_interrupts=1` in /etc/modprobe.d allows it."
                                  : "");
  return WDC_STATUS_SUCCESS;
}

WdcStatus VfioBoard::ReadIovaRanges() {
  const std::string& bdf = function_.bdf;
  // 8-byte words: the capabilities hold 64-bit fields.
  std::vector<uint64_t> buf((sizeof(vfio_iommu_type1_info) + 7) / 8);
  auto* info = reinterpret_cast<vfio_iommu_type1_info*>(buf.data());
  info->argsz = sizeof *info;
  if (int r = kernel_.Ioctl(container_fd_, VFIO_IOMMU_GET_INFO, info); r < 0)
    return CallFailed("VFIO_IOMMU_GET_INFO", -r, bdf);
  // The capability chain is there only when the buffer holds it: the kernel says how big.
  if (info->argsz > sizeof *info) {
    const uint32_t wanted = info->argsz;
    buf.assign((wanted + 7) / 8, 0);
    info = reinterpret_cast<vfio_iommu_type1_info*>(buf.data());
    info->argsz = wanted;
    if (int r = kernel_.Ioctl(container_fd_, VFIO_IOMMU_GET_INFO, info); r < 0)
      return CallFailed("VFIO_IOMMU_GET_INFO", -r, bdf);
  }
  const size_t size = std::min<size_t>(info->argsz, buf.size() * 8);
  if ((info->flags & VFIO_IOMMU_INFO_PGSIZES) && info->iova_pgsizes != 0) {
    const uint64_t smallest = info->iova_pgsizes & (~info->iova_pgsizes + 1);
    if (smallest > page_)
      return Fail(WDC_STATUS_SYSTEM_ERROR, "the IOMMU of the board at " + bdf + " maps pages of " +
                                               std::to_string(smallest) +
                                               " bytes at the least, more than " +
                                               std::to_string(page_));
  }

  std::vector<IovaRange> usable;
  bool reported = false;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buf.data());
  uint32_t offset = (info->flags & VFIO_IOMMU_INFO_CAPS) ? info->cap_offset : 0;
  // Bounded walk: a chain that loops must not hang the open.
  for (int hops = 0; offset != 0 && hops < 64; ++hops) {
    if (offset % 4 != 0 || offset + sizeof(vfio_info_cap_header) > size) break;
    vfio_info_cap_header header;
    std::memcpy(&header, bytes + offset, sizeof header);
    if (header.id == VFIO_IOMMU_TYPE1_INFO_CAP_IOVA_RANGE &&
        offset + sizeof(vfio_iommu_type1_info_cap_iova_range) <= size) {
      vfio_iommu_type1_info_cap_iova_range cap;
      std::memcpy(&cap, bytes + offset, sizeof cap);
      const size_t first = offset + sizeof cap;
      for (uint32_t i = 0; i < cap.nr_iovas && first + (i + 1) * sizeof(vfio_iova_range) <= size;
           ++i) {
        vfio_iova_range range;
        std::memcpy(&range, bytes + first + i * sizeof range, sizeof range);
        usable.push_back({range.start, range.end});
      }
      reported = true;
    }
    offset = header.next;
  }
  if (!reported) {
    // Kernels before 5.4 report no ranges but still reserve the MSI window.
    usable = {{0, kMsiFirst - 1}, {kMsiLast + 1, UINT64_MAX}};
  }
  iova_->Reset(usable, bus_limit_, page_);
  return WDC_STATUS_SUCCESS;
}

WdcStatus VfioBoard::OpenDevice() {
  const std::string& bdf = function_.bdf;
  const int fd = kernel_.Ioctl(group_fd_, VFIO_GROUP_GET_DEVICE_FD, const_cast<char*>(bdf.c_str()));
  if (fd == -EBUSY)
    return Fail(WDC_STATUS_DEVICE_BUSY, "the board at " + bdf +
                                            " is held by another process "
                                            "(VFIO_GROUP_GET_DEVICE_FD: EBUSY): end that "
                                            "process first.");
  if (fd < 0) return CallFailed("VFIO_GROUP_GET_DEVICE_FD", -fd, bdf);
  device_fd_ = fd;

  vfio_device_info info = {};
  info.argsz = sizeof info;
  if (int r = kernel_.Ioctl(fd, VFIO_DEVICE_GET_INFO, &info); r < 0)
    return CallFailed("VFIO_DEVICE_GET_INFO", -r, bdf);
  if (info.num_regions <= VFIO_PCI_CONFIG_REGION_INDEX || info.num_irqs <= VFIO_PCI_MSI_IRQ_INDEX)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf + " is not a vfio-pci device");

  for (uint32_t index = 0; index <= VFIO_PCI_CONFIG_REGION_INDEX; ++index) {
    if (index == VFIO_PCI_ROM_REGION_INDEX) continue;
    vfio_region_info region = {};
    region.argsz = sizeof region;
    region.index = index;
    if (int r = kernel_.Ioctl(fd, VFIO_DEVICE_GET_REGION_INFO, &region); r < 0)
      return CallFailed("VFIO_DEVICE_GET_REGION_INFO", -r, bdf);
    Region& slot = index == VFIO_PCI_CONFIG_REGION_INDEX ? config_ : bars_[index];
    slot.offset = region.offset;
    slot.bytes = region.size;
    if (index == VFIO_PCI_CONFIG_REGION_INDEX || region.size == 0) continue;
    // A BAR that cannot be mapped (I/O ports, a sparse area around an MSI-X table) is still
    // reachable through pread/pwrite.
    if (region.flags & VFIO_REGION_INFO_FLAG_MMAP) {
      void* map = nullptr;
      if (kernel_.Mmap(fd, region.offset, region.size, PROT_READ | PROT_WRITE, &map) == 0)
        slot.map = map;
    }
  }
  if (config_.bytes < kCommandReg + 2)
    return Fail(WDC_STATUS_SYSTEM_ERROR,
                "the board at " + bdf + " shows no configuration space through VFIO");

  irq_index_ = kNoIrq;
  has_intx_ = false;
  for (int index : {kIntx, kMsi}) {
    vfio_irq_info irq = {};
    irq.argsz = sizeof irq;
    irq.index = static_cast<uint32_t>(index);
    if (int r = kernel_.Ioctl(fd, VFIO_DEVICE_GET_IRQ_INFO, &irq); r < 0)
      return CallFailed("VFIO_DEVICE_GET_IRQ_INFO", -r, bdf);
    if (irq.count > 0 && (irq.flags & VFIO_IRQ_INFO_EVENTFD)) {
      irq_index_ = static_cast<IrqIndex>(index);
      has_intx_ |= index == kIntx;
    }
  }
  return WDC_STATUS_SUCCESS;
}

WdcStatus VfioBoard::SetBusMaster(bool on) {
  uint16_t command = 0;
  const uint64_t at = config_.offset + kCommandReg;
  long n = kernel_.Pread(device_fd_, &command, sizeof command, at);
  if (n != sizeof command)
    return CallFailed("reading the PCI command register", n < 0 ? static_cast<int>(-n) : EIO,
                      function_.bdf);
  command = static_cast<uint16_t>(on ? command | kBusMaster : command & ~kBusMaster);
  n = kernel_.Pwrite(device_fd_, &command, sizeof command, at);
  if (n != sizeof command)
    return CallFailed("writing the PCI command register", n < 0 ? static_cast<int>(-n) : EIO,
                      function_.bdf);
  return WDC_STATUS_SUCCESS;
}

// ---- Close ---------------------------------------------------------------------------------

void VfioBoard::Close() {
  // The board must be silent before anything it could reach goes away: no interrupt, no bus
  // mastering, and only then the mappings and the files.
  if (irq_enabled_.load()) InterruptDetach();
  ReleaseInterruptFds();
  if (device_fd_ >= 0 && config_.bytes != 0) SetBusMaster(false);

  std::vector<void*> contig;
  {
    std::lock_guard<std::mutex> lock(dma_mu_);
    for (auto& [cookie, m] : mappings_) {
      vfio_iommu_type1_dma_unmap unmap = {};
      unmap.argsz = sizeof unmap;
      unmap.iova = m.iova;
      unmap.size = m.bytes;
      kernel_.Ioctl(container_fd_, VFIO_IOMMU_UNMAP_DMA, &unmap);
      if (m.contig) contig.push_back(m.contig);
    }
    mappings_.clear();
    pinned_bytes_ = 0;
  }
  for (Region& bar : bars_) {
    if (bar.map) kernel_.Munmap(bar.map, bar.bytes);
    bar = Region();
  }
  config_ = Region();
  for (int* fd : {&device_fd_, &group_fd_, &container_fd_}) {
    if (*fd >= 0) kernel_.Close(*fd);
    *fd = -1;
  }
  // Closing the container drops whatever mapping the kernel would not remove above, so only
  // now is contiguous memory safe to reuse.
  for (void* p : contig) std::free(p);
  irq_index_ = kNoIrq;
  iommu_type_ = 0;
}

// ---- BARs ----------------------------------------------------------------------------------

wdc::DeviceWindow VfioBoard::Window(uint32_t bar) {
  if (bar >= 6 || bars_[bar].map == nullptr) return {};
  return {static_cast<uint8_t*>(bars_[bar].map), bars_[bar].bytes};
}

bool VfioBoard::BarAccessOk(uint32_t bar, uint64_t offset, uint32_t width,
                            WdcStatus* status) const {
  if (width != 1 && width != 2 && width != 4 && width != 8)
    *status = WDC_STATUS_INVALID_PARAMETER;
  else if (bar >= 6 || bars_[bar].bytes == 0)
    *status = WDC_STATUS_BAD_ADDR_SPACE;
  else if (offset >= bars_[bar].bytes || width > bars_[bar].bytes - offset)
    *status = WDC_STATUS_OUT_OF_RANGE;
  else if (offset % width != 0)
    *status = WDC_STATUS_MISALIGNED;
  else
    return true;
  return false;
}

WdcStatus VfioBoard::Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) {
  WdcStatus status;
  if (value == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  if (!BarAccessOk(bar, offset, width, &status)) return status;
  const Region& r = bars_[bar];
  if (r.map) {
    // One access of exactly that width: a register may act on the width of a read.
    volatile uint8_t* p = static_cast<volatile uint8_t*>(r.map) + offset;
    switch (width) {
      case 1: *value = *p; break;
      case 2: *value = *reinterpret_cast<volatile uint16_t*>(p); break;
      case 4: *value = *reinterpret_cast<volatile uint32_t*>(p); break;
      default: *value = *reinterpret_cast<volatile uint64_t*>(p); break;
    }
    return WDC_STATUS_SUCCESS;
  }
  uint8_t b[8] = {};
  const long n = kernel_.Pread(device_fd_, b, width, r.offset + offset);
  if (n != static_cast<long>(width))
    return CallFailed("pread of a BAR", n < 0 ? static_cast<int>(-n) : EIO, function_.bdf);
  uint64_t v = 0;
  std::memcpy(&v, b, width);  // little-endian host: the low bytes
  *value = v;
  return WDC_STATUS_SUCCESS;
}

WdcStatus VfioBoard::Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  WdcStatus status;
  if (!BarAccessOk(bar, offset, width, &status)) return status;
  const Region& r = bars_[bar];
  if (r.map) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(r.map) + offset;
    switch (width) {
      case 1: *p = static_cast<uint8_t>(value); break;
      case 2: *reinterpret_cast<volatile uint16_t*>(p) = static_cast<uint16_t>(value); break;
      case 4: *reinterpret_cast<volatile uint32_t*>(p) = static_cast<uint32_t>(value); break;
      default: *reinterpret_cast<volatile uint64_t*>(p) = value; break;
    }
    return WDC_STATUS_SUCCESS;
  }
  const long n = kernel_.Pwrite(device_fd_, &value, width, r.offset + offset);
  if (n != static_cast<long>(width))
    return CallFailed("pwrite of a BAR", n < 0 ? static_cast<int>(-n) : EIO, function_.bdf);
  return WDC_STATUS_SUCCESS;
}

// ---- DMA -----------------------------------------------------------------------------------

WdcStatus VfioBoard::MapDma(void* vaddr, uint64_t bytes, wdc::DmaDir dir, uint64_t* iova) {
  const std::string& bdf = function_.bdf;
  if (!IsOpen()) return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf + " is not open");
  if (!iova_->Allocate(bytes, iova))
    return Fail(WDC_STATUS_NO_MEMORY, "no free bus addresses below " + Hex(bus_limit_) +
                                          " for a lock of " + KiB(bytes) + " on the board at " +
                                          bdf);
  vfio_iommu_type1_dma_map map = {};
  map.argsz = sizeof map;
  // The flags are the device's view: it reads what goes to it, writes what comes from it.
  map.flags = dir == wdc::DmaDir::kToDevice ? VFIO_DMA_MAP_FLAG_READ : VFIO_DMA_MAP_FLAG_WRITE;
  map.vaddr = reinterpret_cast<uintptr_t>(vaddr);
  map.iova = *iova;
  map.size = bytes;
  const int r = kernel_.Ioctl(container_fd_, VFIO_IOMMU_MAP_DMA, &map);
  if (r == 0) {
    pinned_bytes_ += bytes;
    return WDC_STATUS_SUCCESS;
  }
  iova_->Free(*iova, bytes);
  if (r == -ENOMEM) {
    // The pins count against RLIMIT_MEMLOCK; with a finite limit that is what ran out.
    uint64_t soft = UINT64_MAX, hard = UINT64_MAX;
    if (kernel_.MemlockLimit(&soft, &hard) == 0 && soft != UINT64_MAX) {
      const std::string hard_text =
          hard == UINT64_MAX ? "unlimited" : std::to_string(hard / 1024) + " KiB";
      return Fail(WDC_STATUS_LOCK_LIMIT,
                  "the memory-lock limit is too low: `ulimit -l` is " +
                      std::to_string(soft / 1024) + " (KiB), and this lock of " + KiB(bytes) +
                      " comes on top of " + KiB(pinned_bytes_) +
                      " this board already pins. The scatter/gather backloop alone pins over "
                      "100 MiB at once. Raise the limit in the "
                      "shell that starts the utility: `ulimit -l unlimited` (the hard limit is " +
                      hard_text +
                      "; root may go beyond it), or for good in "
                      "/etc/security/limits.conf: `<user> soft memlock unlimited` and `<user> "
                      "hard memlock unlimited`, then log in again.");
    }
    return Fail(WDC_STATUS_NO_MEMORY, "the kernel could not pin " + KiB(bytes) +
                                          " for the board at " + bdf + ": " + ErrnoText(ENOMEM));
  }
  if (r == -ENOSPC)
    return Fail(WDC_STATUS_NO_MEMORY, "the IOMMU allows no more DMA mappings (" +
                                          ErrnoText(ENOSPC) + "); unlock buffers first");
  return CallFailed("VFIO_IOMMU_MAP_DMA", -r, bdf);
}

WdcStatus VfioBoard::DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  if (bytes == 0 || out == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  const uint64_t size = (uint64_t{bytes} + page_ - 1) / page_ * page_;
  void* mem = nullptr;
  if (posix_memalign(&mem, page_, size) != 0) return WDC_STATUS_NO_MEMORY;
  std::memset(mem, 0, size);
  try {
    out->pages.assign(1, WdcDmaPage{});
  } catch (const std::bad_alloc&) {
    std::free(mem);
    return WDC_STATUS_NO_MEMORY;
  }
  std::lock_guard<std::mutex> lock(dma_mu_);
  uint64_t iova = 0;
  const WdcStatus status = MapDma(mem, size, dir, &iova);
  if (status != WDC_STATUS_SUCCESS) {
    std::free(mem);
    out->pages.clear();
    return status;
  }
  const uint64_t cookie = next_cookie_++;
  mappings_[cookie] = {iova, size, mem};
  out->host = mem;
  out->bytes = bytes;
  out->pages[0] = {iova, bytes};
  out->cookie = cookie;
  return WDC_STATUS_SUCCESS;
}

WdcStatus VfioBoard::DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  if (host == nullptr || bytes == 0 || out == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  const uint64_t first = reinterpret_cast<uintptr_t>(host);
  const uint64_t start = first / page_ * page_;
  const uint64_t end = (first + bytes + page_ - 1) / page_ * page_;
  try {
    out->pages.clear();
    out->pages.reserve((end - start) / page_);
  } catch (const std::bad_alloc&) {
    return WDC_STATUS_NO_MEMORY;
  }
  std::lock_guard<std::mutex> lock(dma_mu_);
  uint64_t iova = 0;
  // The whole pages around the buffer: neighbours in its first and last page become visible
  // to the board too (in the direction of this lock), as with any page-granular IOMMU.
  const WdcStatus status = MapDma(reinterpret_cast<void*>(start), end - start, dir, &iova);
  if (status != WDC_STATUS_SUCCESS) return status;
  for (uint64_t at = first, left = bytes; left > 0;) {
    const uint64_t n = std::min(left, page_ - at % page_);
    out->pages.push_back({iova + (at - start), static_cast<uint32_t>(n)});
    at += n;
    left -= n;
  }
  const uint64_t cookie = next_cookie_++;
  mappings_[cookie] = {iova, end - start, nullptr};
  out->host = host;
  out->bytes = bytes;
  out->cookie = cookie;
  return WDC_STATUS_SUCCESS;
}

void VfioBoard::DmaUnmap(wdc::DmaMapping* mapping) {
  if (mapping == nullptr) return;
  std::lock_guard<std::mutex> lock(dma_mu_);
  auto it = mappings_.find(mapping->cookie);
  mapping->cookie = 0;
  mapping->pages.clear();
  if (it == mappings_.end()) return;
  const Mapping m = it->second;
  vfio_iommu_type1_dma_unmap unmap = {};
  unmap.argsz = sizeof unmap;
  unmap.iova = m.iova;
  unmap.size = m.bytes;
  const int r = kernel_.Ioctl(container_fd_, VFIO_IOMMU_UNMAP_DMA, &unmap);
  // A mapping the kernel kept may still be reached by the board: its bus range and memory
  // stay reserved, and Close tries again before the container goes (which drops it anyway).
  if (r < 0 || unmap.size != m.bytes) return;
  mappings_.erase(it);
  iova_->Free(m.iova, m.bytes);
  pinned_bytes_ -= m.bytes;
  std::free(m.contig);
}

void VfioBoard::DmaSyncForDevice(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void VfioBoard::DmaSyncForCpu(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

// ---- Interrupts ----------------------------------------------------------------------------

void VfioBoard::ReleaseInterruptFds() {
  for (int* fd : {&irq_fd_, &stop_fd_}) {
    if (*fd >= 0) kernel_.Close(*fd);
    *fd = -1;
  }
}

WdcStatus VfioBoard::InterruptAttach() {
  const std::string& bdf = function_.bdf;
  if (!IsOpen() || irq_index_ == kNoIrq)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf + " has no interrupt to enable");
  if (irq_enabled_.load()) InterruptDetach();
  ReleaseInterruptFds();  // the previous attach's, now that its waiter is gone
  irq_fd_ = kernel_.EventFd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  stop_fd_ = kernel_.EventFd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (irq_fd_ < 0 || stop_fd_ < 0) {
    const int err = irq_fd_ < 0 ? -irq_fd_ : -stop_fd_;
    irq_fd_ = irq_fd_ < 0 ? -1 : irq_fd_;
    stop_fd_ = stop_fd_ < 0 ? -1 : stop_fd_;
    ReleaseInterruptFds();
    return CallFailed("eventfd", err, bdf);
  }
  int r = EnableIrq(irq_index_);
  // A board may offer MSI that the host cannot give it (MSI off in the kernel, pci=nomsi, or no
  // vectors left): its INTx line serves instead, from now on.
  if (r < 0 && irq_index_ == kMsi && has_intx_ && EnableIrq(kIntx) == 0) {
    irq_index_ = kIntx;
    r = 0;
  }
  if (r < 0) {
    ReleaseInterruptFds();
    return CallFailed("VFIO_DEVICE_SET_IRQS", -r, bdf);
  }
  irq_enabled_.store(true);
  return WDC_STATUS_SUCCESS;
}

int VfioBoard::EnableIrq(IrqIndex index) {
  union {
    vfio_irq_set head;
    uint8_t bytes[sizeof(vfio_irq_set) + sizeof(int32_t)];
  } set = {};
  set.head.argsz = sizeof set;
  set.head.flags = VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER;
  set.head.index = static_cast<uint32_t>(index);
  set.head.start = 0;
  set.head.count = 1;
  const int32_t fd = irq_fd_;
  std::memcpy(set.bytes + sizeof(vfio_irq_set), &fd, sizeof fd);
  return kernel_.Ioctl(device_fd_, VFIO_DEVICE_SET_IRQS, &set);
}

uint32_t VfioBoard::InterruptWait() {
  const int irq = irq_fd_, stop = stop_fd_;
  if (irq < 0 || stop < 0) return 0;
  for (;;) {
    struct pollfd fds[2] = {{stop, POLLIN, 0}, {irq, POLLIN, 0}};
    const int r = kernel_.Poll(fds, 2, -1);
    if (r == -EINTR) continue;
    // The stop stays signalled (it is never read), so every later wait ends here too.
    if (r < 0 || fds[0].revents != 0) return 0;
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      const long n = kernel_.Read(irq, &count, sizeof count);
      if (n == -EAGAIN || n == -EINTR) continue;
      if (n != sizeof count || count == 0) return 0;
      return static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
    }
    // An error on the interrupt's eventfd would be reported at once forever: end the waiting.
    if (fds[1].revents != 0) return 0;
  }
}

void VfioBoard::InterruptUnmask() {
  if (irq_index_ != kIntx || !irq_enabled_.load()) return;
  vfio_irq_set set = {};
  set.argsz = sizeof set;
  set.flags = VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK;
  set.index = VFIO_PCI_INTX_IRQ_INDEX;
  set.start = 0;
  set.count = 1;
  kernel_.Ioctl(device_fd_, VFIO_DEVICE_SET_IRQS, &set);
}

void VfioBoard::InterruptDetach() {
  // Disabled first, so that nothing fires once the waiter has returned.
  if (irq_enabled_.exchange(false)) {
    vfio_irq_set set = {};
    set.argsz = sizeof set;
    set.flags = VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER;
    set.index = static_cast<uint32_t>(irq_index_);
    set.start = 0;
    set.count = 0;
    kernel_.Ioctl(device_fd_, VFIO_DEVICE_SET_IRQS, &set);
  }
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    kernel_.Write(stop_fd_, &one, sizeof one);
  }
}

void VfioBoard::Audit(std::vector<std::string>*) {}

// ---- Identity ------------------------------------------------------------------------------

wdc::BoardIdentity VfioBoard::Identity() const {
  wdc::BoardIdentity id;
  id.vendor_id = function_.vendor_id;
  id.device_id = function_.device_id;
  id.domain = function_.address.domain;
  id.bus = function_.address.bus;
  id.slot = function_.address.slot;
  id.function = function_.address.function;
  id.irq = function_.irq;
  return id;
}

wdc::BarInfo VfioBoard::Bar(uint32_t index) const {
  if (index >= 6) return {};
  return {function_.bar_base[index], IsOpen() ? bars_[index].bytes : function_.bar_bytes[index]};
}

// ---- Backend -------------------------------------------------------------------------------

namespace {

class VfioBackend final : public wdc::Backend {
 public:
  VfioBackend(Kernel& kernel, uint32_t vendor_id, uint32_t device_id) {
    for (PciFunction& f : FindPciFunctions(kernel.SysfsRoot(), vendor_id, device_id))
      boards_.push_back(std::make_unique<VfioBoard>(kernel, std::move(f)));
  }
  size_t BoardCount() const override { return boards_.size(); }
  wdc::Board* BoardAt(size_t index) override {
    return index < boards_.size() ? boards_[index].get() : nullptr;
  }
  std::vector<wdc::FailRule> FailRules() const override { return {}; }
  bool SleepEnabled() const override { return true; }

 private:
  std::vector<std::unique_ptr<VfioBoard>> boards_;
};

}  // namespace

std::unique_ptr<wdc::Backend> CreateVfioBackend(Kernel& kernel, uint32_t vendor_id,
                                                uint32_t device_id) {
  return std::make_unique<VfioBackend>(kernel, vendor_id, device_id);
}

}  // namespace vfio
