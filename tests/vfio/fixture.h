// What the VFIO tests share: a small device behind the kernel model, one board on it, and the
// status texts the backend recorded.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel_model.h"
#include "vfio/board.h"
#include "vfio/discovery.h"

namespace vfio_test {

// The last text recorded for a status (the suite's own wdc::SetStatusDetail).
std::string DetailOf(WdcStatus status);

// BAR0: 4 KiB of memory that may be mapped. BAR1: 256 bytes reached only through pread and
// pwrite, which keep the width of every access.
class TestDevice final : public vfio_model::Device {
 public:
  TestDevice() {
    std::memset(bar1, 0xAA, sizeof bar1);
    const uint16_t ids[2] = {0x10EE, 0x5050};
    std::memcpy(config, ids, sizeof ids);
  }
  uint32_t ConfigBytes() const override { return sizeof config; }
  void ConfigRead(uint32_t offset, void* dst, size_t bytes) override {
    std::memcpy(dst, config + offset, bytes);
  }
  void ConfigWrite(uint32_t offset, const void* src, size_t bytes) override {
    std::memcpy(config + offset, src, bytes);
  }
  uint64_t BarBytes(uint32_t bar) const override {
    return bar == 0 ? sizeof bar0 : bar == 1 ? sizeof bar1 : 0;
  }
  void* BarMemory(uint32_t bar) override { return bar == 0 ? bar0 : nullptr; }
  void BarRead(uint32_t bar, uint64_t offset, void* data, size_t bytes) override {
    std::memcpy(data, (bar == 0 ? bar0 : bar1) + offset, bytes);
    if (bar == 1) bar1_widths.push_back(bytes);
  }
  void BarWrite(uint32_t bar, uint64_t offset, const void* data, size_t bytes) override {
    std::memcpy((bar == 0 ? bar0 : bar1) + offset, data, bytes);
    if (bar == 1) bar1_widths.push_back(bytes);
  }
  bool HasMsi() const override { return msi; }

  alignas(4096) uint8_t bar0[4096] = {};
  uint8_t bar1[256];
  uint8_t config[256] = {};
  std::vector<size_t> bar1_widths;
  bool msi = true;  // false: INTx only
};

constexpr uint64_t kBusLimit = uint64_t{1} << 32;
constexpr const char* kBdf = "0000:03:00.0";

class VfioTest : public ::testing::Test {
 protected:
  // The board at kBdf; `setup` gives its driver and group.
  void AddBoard(vfio_model::FunctionSetup setup = {}) {
    if (setup.bdf.empty()) setup.bdf = kBdf;
    setup.device = &device;
    bus = &model.AddFunction(setup);
  }
  vfio::VfioBoard& Board() {
    if (!board) {
      vfio::PciFunction f;
      EXPECT_TRUE(vfio::ReadPciFunction(model.SysfsRoot(), kBdf, &f));
      board = std::make_unique<vfio::VfioBoard>(model, f);
    }
    return *board;
  }
  WdcStatus OpenBoard() { return Board().Open(wdc::DmaConstraints{kBusLimit, 4096}); }
  // Nothing of the process is left with the kernel.
  void ExpectAllReleased() {
    EXPECT_EQ(model.OpenFds(), 0u);
    EXPECT_EQ(model.LiveMmaps(), 0u);
    EXPECT_EQ(model.DmaMaps(), 0u);
    EXPECT_EQ(model.PinnedBytes(), 0u);
  }

  TestDevice device;
  vfio_model::KernelModel model;
  vfio_model::Bus* bus = nullptr;
  std::unique_ptr<vfio::VfioBoard> board;  // last: closed before the model goes
};

}  // namespace vfio_test
