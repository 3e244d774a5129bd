#include "sim_device.h"

#include <cstring>

#include "board_function.h"
#include "regs/regs.h"
#include "vfio/discovery.h"

namespace vfio_sim {

namespace {

// The served board's description, but for MSI, which the case may take away.
vfu::PciFunction Described(const sim::Settings& settings, bool msi) {
  vfu::PciFunction f = board_server::BoardFunction(settings);
  f.msi = msi;
  return f;
}

}  // namespace

SimDevice::SimDevice(const sim::Settings& settings, uint32_t index, bool msi)
    : msi_(msi), config_(Described(settings, msi)) {
  sim::HostSide host;
  host.memory = &iommu_;
  host.interrupt = [this] {
    if (iommu_.bus) iommu_.bus->Interrupt();
  };
  host.link_error = [this](const sim::LinkError& e) {
    if (e.uncorrectable)
      config_.Uncorrectable(e.bit, e.has_header ? e.header : nullptr);
    else
      config_.Correctable(e.bit);
  };
  board_ = std::make_unique<sim::SimBoard>(settings, index, host);
}

void SimDevice::ConfigRead(uint32_t offset, void* dst, size_t bytes) {
  config_.Read(offset, static_cast<uint32_t>(bytes), static_cast<uint8_t*>(dst), false);
}

// An FLR resets the board before the write returns, as the served board's does.
void SimDevice::ConfigWrite(uint32_t offset, const void* src, size_t bytes) {
  if (config_.Write(offset, static_cast<uint32_t>(bytes), static_cast<const uint8_t*>(src))) {
    board_->Reset();
    config_.Reset();
  }
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
