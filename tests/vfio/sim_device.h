// The virtual board as the PCI function behind the kernel model: its BARs and configuration
// space through the model's regions, its DMA through the model's IOMMU (so bus mastering and
// the DMA mappings decide what it reaches), its interrupt through the model's eventfds. Its
// configuration space is the served board's (the same description, the same builder), so an
// FLR there resets the board and the aer fault's errors show in its AER registers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "board.h"
#include "kernel_model.h"
#include "settings.h"
#include "vfu/config_space.h"

namespace vfio_sim {

class SimDevice final : public vfio_model::Device {
 public:
  SimDevice(const sim::Settings& settings, uint32_t index, bool msi);
  // Where the model has put the function; before it, the board makes no DMA and no interrupt
  // (nothing has started it).
  void Connect(vfio_model::Bus& bus) { iommu_.bus = &bus; }

  sim::SimBoard& Board() { return *board_; }
  // What the model's sysfs shows of the function: its BDF and its BARs' addresses.
  vfio_model::FunctionSetup Setup() const;

  uint32_t ConfigBytes() const override { return config_.Size(); }
  void ConfigRead(uint32_t offset, void* dst, size_t bytes) override;
  void ConfigWrite(uint32_t offset, const void* src, size_t bytes) override;
  uint64_t BarBytes(uint32_t bar) const override;
  void* BarMemory(uint32_t bar) override;
  void BarRead(uint32_t bar, uint64_t offset, void* data, size_t bytes) override;
  void BarWrite(uint32_t bar, uint64_t offset, const void* data, size_t bytes) override;
  bool HasMsi() const override { return msi_; }

 private:
  // Host memory as the board reaches it through the model's IOMMU.
  struct Iommu final : sim::HostMemory {
    std::unique_lock<std::mutex> Lock() override { return std::unique_lock<std::mutex>(mu); }
    bool ReadLocked(uint64_t iova, void* dst, uint64_t len) override;
    bool WriteLocked(uint64_t iova, const void* src, uint64_t len) override;
    bool CheckLocked(uint64_t iova, uint64_t len, wdc::DmaDir dir) override;
    bool CopyLocked(uint64_t from, uint64_t to, uint64_t len) override;

    std::mutex mu;
    vfio_model::Bus* bus = nullptr;
  };

  const bool msi_;
  vfu::ConfigSpace config_;
  Iommu iommu_;
  std::unique_ptr<sim::SimBoard> board_;  // last: its engine uses the members above
};

}  // namespace vfio_sim
