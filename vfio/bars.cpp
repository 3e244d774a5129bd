#include "bars.h"

#include <linux/vfio.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>

#include "failure.h"

namespace vfio {
namespace {

constexpr uint64_t kCommandReg = 0x04;
constexpr uint16_t kBusMaster = 0x4;

}  // namespace

WdcStatus Bars::Open(int device_fd) {
  device_fd_ = device_fd;
  for (uint32_t index = 0; index <= VFIO_PCI_CONFIG_REGION_INDEX; ++index) {
    if (index == VFIO_PCI_ROM_REGION_INDEX) continue;
    vfio_region_info region = {};
    region.argsz = sizeof region;
    region.index = index;
    if (int r = kernel_.Ioctl(device_fd, VFIO_DEVICE_GET_REGION_INFO, &region); r < 0)
      return CallFailed("VFIO_DEVICE_GET_REGION_INFO", -r, bdf_);
    Region& slot = index == VFIO_PCI_CONFIG_REGION_INDEX ? config_ : bars_[index];
    slot.offset = region.offset;
    slot.bytes = region.size;
    if (index == VFIO_PCI_CONFIG_REGION_INDEX || region.size == 0) continue;
    if (region.flags & VFIO_REGION_INFO_FLAG_MMAP) {
      void* map = nullptr;
      if (kernel_.Mmap(device_fd, region.offset, region.size, PROT_READ | PROT_WRITE, &map) == 0)
        slot.map = map;
    }
  }
  if (config_.bytes < kCommandReg + 2)
    return Fail(WDC_STATUS_SYSTEM_ERROR,
                "the board at " + bdf_ + " shows no configuration space through VFIO");
  return WDC_STATUS_SUCCESS;
}

void Bars::Unmap() {
  for (Region& bar : bars_) {
    if (bar.map) kernel_.Munmap(bar.map, bar.bytes);
    bar = Region();
  }
  config_ = Region();
  device_fd_ = -1;
}

WdcStatus Bars::SetBusMaster(bool on) {
  uint16_t command = 0;
  const uint64_t at = config_.offset + kCommandReg;
  long n = kernel_.Pread(device_fd_, &command, sizeof command, at);
  if (n != sizeof command)
    return CallFailed("reading the PCI command register", n < 0 ? static_cast<int>(-n) : EIO, bdf_);
  command = static_cast<uint16_t>(on ? command | kBusMaster : command & ~kBusMaster);
  n = kernel_.Pwrite(device_fd_, &command, sizeof command, at);
  if (n != sizeof command)
    return CallFailed("writing the PCI command register", n < 0 ? static_cast<int>(-n) : EIO, bdf_);
  return WDC_STATUS_SUCCESS;
}

wdc::DeviceWindow Bars::Window(uint32_t bar) const {
  if (bar >= 6 || bars_[bar].map == nullptr) return {};
  return {static_cast<uint8_t*>(bars_[bar].map), bars_[bar].bytes};
}

bool Bars::AccessOk(uint32_t bar, uint64_t offset, uint32_t width, WdcStatus* status) const {
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

WdcStatus Bars::Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) {
  WdcStatus status;
  if (value == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  if (!AccessOk(bar, offset, width, &status)) return status;
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
    return CallFailed("pread of a BAR", n < 0 ? static_cast<int>(-n) : EIO, bdf_);
  uint64_t v = 0;
  std::memcpy(&v, b, width);  // little-endian host: the low bytes
  *value = v;
  return WDC_STATUS_SUCCESS;
}

WdcStatus Bars::Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  WdcStatus status;
  if (!AccessOk(bar, offset, width, &status)) return status;
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
    return CallFailed("pwrite of a BAR", n < 0 ? static_cast<int>(-n) : EIO, bdf_);
  return WDC_STATUS_SUCCESS;
}

}  // namespace vfio
