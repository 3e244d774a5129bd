// A scriptable backend for the library's own tests: boards of chosen identity and BARs held
// in plain memory, DMA mappings with made-up bus addresses, an interrupt line the test raises
// by hand, and counters of what the library asked of it. Tests configure the next backend,
// then call WDC_DriverOpen, which creates it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "regs/regs.h"
#include "wdc/backend.h"

namespace wdc_fake {

struct BoardSpec {
  wdc::BoardIdentity id{BOARD_VENDOR_ID, BOARD_DEVICE_ID, 0, 1, 0, 0, 11};
  uint64_t bar_bytes[WDC_MAX_ADDR_SPACES] = {BAR0_BYTES, BAR1_BYTES, 0, 0, 0, 0};
};

struct Config {
  std::vector<BoardSpec> boards{BoardSpec{}};
  std::vector<wdc::FailRule> rules;
  bool sleep_enabled = true;
  std::string error;  // non-empty: CreateBackend refuses with this text
};

class FakeBoard : public wdc::Board {
 public:
  explicit FakeBoard(const BoardSpec& desc);
  ~FakeBoard() override;

  wdc::BoardIdentity Identity() const override { return spec_.id; }
  wdc::BarInfo Bar(uint32_t index) const override;
  WdcStatus Open(const wdc::DmaConstraints& dma) override;
  void Close() override;
  // BAR0 is a window on the board's memory; the other BARs go through Read and Write.
  wdc::DeviceWindow Window(uint32_t bar) override;
  WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) override;
  WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) override;
  WdcStatus DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override;
  WdcStatus DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir,
                       wdc::DmaMapping* out) override;
  void DmaUnmap(wdc::DmaMapping* mapping) override;
  void DmaSyncForDevice(const wdc::DmaMapping& mapping) override;
  void DmaSyncForCpu(const wdc::DmaMapping& mapping) override;
  WdcStatus InterruptAttach() override;
  uint32_t InterruptWait() override;
  void InterruptUnmask() override;
  void InterruptDetach() override;
  void Audit(std::vector<std::string>* findings) override;

  // Raises the line once.
  void Raise();
  // Waits (up to a few seconds) until `count` interrupts have been taken by a waiter and that
  // waiter is back in InterruptWait, i.e. has finished with them. False on time-out.
  bool WaitServed(uint64_t count);

  // What the next Open and InterruptAttach return instead of succeeding (0: succeed).
  WdcStatus open_status = WDC_STATUS_SUCCESS;
  WdcStatus attach_status = WDC_STATUS_SUCCESS;
  // What the next DMA lock returns instead of mapping (0: map normally).
  WdcStatus dma_status = WDC_STATUS_SUCCESS;
  // Appended by the next Audit, then cleared (Audit leaves the board quiet).
  std::vector<std::string> findings;

  std::atomic<int> live_mappings{0};
  std::atomic<int> syncs_for_device{0};
  std::atomic<int> syncs_for_cpu{0};
  std::atomic<int> audits{0};
  std::atomic<int> attaches{0};
  std::atomic<int> unmasks{0};
  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  wdc::DmaConstraints constraints;
  std::atomic<int> detaches{0};
  wdc::DmaDir last_dir = wdc::DmaDir::kToDevice;

 private:
  BoardSpec spec_;
  std::vector<uint8_t> bars_[WDC_MAX_ADDR_SPACES];
  std::vector<void*> contig_;  // contiguous memory not yet unmapped
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t pending_ = 0;
  uint64_t served_ = 0;
  bool detached_ = true;
  bool waiting_ = false;
};

// The configuration the next CreateBackend uses; ResetConfig restores the default (one board).
Config& NextConfig();
void ResetConfig();

// The boards of the backend the library has open (null when none).
FakeBoard* BoardAt(size_t index);
int LiveBackends();
// DMA mappings not yet unmapped, over every board that ever existed.
int LiveMappings();
// The backend's settings (FPGA_SIM) the last CreateBackend read, and whether they were unset.
std::string LastSettings();
bool LastSettingsWereNull();

}  // namespace wdc_fake
