#include "sim_device.h"

#include <cstring>

#include "regs/regs.h"
#include "vfio/discovery.h"

namespace vfio_sim {

SimDevice::SimDevice(const sim::Settings& settings, uint32_t index, bool msi) : msi_(msi) {
  const uint16_t ids[2] = {BOARD_VENDOR_ID, BOARD_DEVICE_ID};
  std::memcpy(config_, ids, sizeof ids);
  sim::HostSide host;
  host.memory = &iommu_;
  host.interrupt = [this] {
    if (iommu_.bus) iommu_.bus->Interrupt();
  };
  board_ = std::make_unique<sim::SimBoard>(settings, index, host);
}

vfio_model::FunctionSetup SimDevice::Setup() const {
  const wdc::BoardIdentity id = board_->Identity();
  vfio_model::FunctionSetup setup;
  setup.bdf = vfio::BdfString({id.domain, id.bus, id.slot, id.function});
  setup.vendor_id = id.vendor_id;
  setup.device_id = id.device_id;
  for (uint32_t bar = 0; bar < 6; ++bar) setup.bar_base[bar] = board_->Bar(bar).phys_addr;
  return setup;
}

uint64_t SimDevice::BarBytes(uint32_t bar) const { return board_->Bar(bar).bytes; }

void* SimDevice::BarMemory(uint32_t bar) { return board_->Window(bar).base; }

void SimDevice::BarRead(uint32_t bar, uint64_t offset, void* data, size_t bytes) {
  uint64_t value = ~uint64_t{0};  // what a read the board refuses returns on the bus
  board_->Read(bar, offset, static_cast<uint32_t>(bytes), &value);
  std::memcpy(data, &value, bytes);
}

void SimDevice::BarWrite(uint32_t bar, uint64_t offset, const void* data, size_t bytes) {
  uint64_t value = 0;
  std::memcpy(&value, data, bytes);
  board_->Write(bar, offset, static_cast<uint32_t>(bytes), value);
}

// An empty span is always reachable, as on the board's own bus map.
bool SimDevice::Iommu::ReadLocked(uint64_t iova, void* dst, uint64_t len) {
  return len == 0 || (bus && bus->DmaRead(iova, dst, len));
}

bool SimDevice::Iommu::WriteLocked(uint64_t iova, const void* src, uint64_t len) {
  return len == 0 || (bus && bus->DmaWrite(iova, src, len));
}

bool SimDevice::Iommu::CheckLocked(uint64_t iova, uint64_t len, wdc::DmaDir dir) {
  return len == 0 || (bus && bus->DmaCheck(iova, len, dir == wdc::DmaDir::kFromDevice));
}

bool SimDevice::Iommu::CopyLocked(uint64_t from, uint64_t to, uint64_t len) {
  return len == 0 || (bus && bus->DmaCopy(from, to, len));
}

}  // namespace vfio_sim
