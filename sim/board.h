// One virtual board: BAR0 memory, the DMA controller's register block, the DMA engine on its
// own thread, the bus map and the interrupt line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "regs/regs.h"
#include "bus_map.h"
#include "settings.h"
#include "wake.h"
#include "wdc/backend.h"

namespace sim {

// The board's interrupt line as the library's interrupt thread sees it: one Wait return per
// raised interrupt while attached.
// The byte a continuous memory-write run stores at offset k of its segment.
inline uint8_t WritePatternByte(uint64_t k) { return static_cast<uint8_t>((k * 7) ^ (k >> 8) ^ 0x5A); }

class InterruptLine {
 public:
  void Raise();
  void Attach();
  bool Wait();
  void Detach();

 private:
  std::atomic<uint64_t> raised_{0};
  std::atomic<uint64_t> consumed_{0};
  std::atomic<bool> detached_{true};
  Wake wake_;
};

class SimBoard final : public wdc::Board {
 public:
  SimBoard(const Settings& settings, uint32_t index);
  ~SimBoard() override;

  wdc::BoardIdentity Identity() const override;
  wdc::BarInfo Bar(uint32_t index) const override;
  WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) override;
  WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) override;
  WdcStatus DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override;
  WdcStatus DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir,
                       wdc::DmaMapping* out) override;
  void DmaUnmap(wdc::DmaMapping* mapping) override;
  void DmaSyncForDevice(const wdc::DmaMapping& mapping) override;
  void DmaSyncForCpu(const wdc::DmaMapping& mapping) override;
  void InterruptAttach() override;
  bool InterruptWait() override;
  void InterruptDetach() override;
  void Audit(std::vector<std::string>* findings) override;

  // Register slots of the controller (see the table in board.cpp).
  enum Reg : uint8_t {
    kChAddr0, kChCtrl0, kChAddr1, kChCtrl1, kChAddr2, kChCtrl2, kChAddr3, kChCtrl3,
    kChAddr4, kChCtrl4, kChAddr5, kChCtrl5, kWordCount, kStart, kRunCtrl, kIntCtrl,
    kPerf0, kPerf1, kReadCfg, kResetCtrl, kRegCount
  };
  struct RegSpec {
    uint32_t offset;
    uint32_t reset;
    uint32_t writable;      // bits a host write stores; the rest are read-only
    uint32_t read_clears;   // bits a read returns and then clears
    void (SimBoard::*on_write)(uint32_t written);  // after the store, with the lock held
    uint32_t (SimBoard::*on_read)();               // replaces the stored value when set
  };

 private:
  struct Segment {
    uint32_t bus;
    uint32_t bytes;
  };
  using Chain = std::shared_ptr<const std::vector<Segment>>;
  struct Run {  // a continuous run of channel 1, 2 or 3
    bool active = false;
    bool mem_write = false;
    uint32_t addr = 0;
    uint32_t bytes = 0;
    uint64_t start_ns = 0;
    double per_ns = 0;        // transfers per nanosecond while active
    double settled = 0;       // transfers counted before start_ns since the last clear
    uint64_t moved = 0;       // transfers whose bytes have been moved since the last clear
  };
  struct Cursor {
    size_t seg = 0;
    uint64_t off = 0;
  };
  struct Backloop {
    bool active = false;
    Chain src, dst;
    uint64_t total = 0;
    uint64_t done = 0;
    uint64_t start_ns = 0;
    uint64_t due_ns = 0;
    double bytes_per_ns = 0;
    Cursor s, d;
  };

  // Register hooks.
  void OnStart(uint32_t v);
  void OnRunCtrl(uint32_t v);
  void OnIntCtrl(uint32_t v);
  void OnPerfClear(uint32_t v);
  void OnReset(uint32_t v);
  uint32_t ReadRunCtrl();
  uint32_t ReadPerf0();
  uint32_t ReadPerf1();
  friend const RegSpec* RegTable();

  uint32_t ReadReg(uint32_t offset, uint32_t byte_mask);  // lock held
  void WriteReg(uint32_t offset, uint32_t value, uint32_t byte_mask);  // lock held
  WdcStatus Bar1Access(uint64_t offset, uint32_t width, bool write, uint64_t* value);

  void Bar0Load(uint8_t* dst, uint32_t bytes) const;
  void Bar0Store(const uint8_t* src, uint32_t bytes);
  uint64_t StuckApply(uint64_t value, uint32_t offset, uint32_t width) const;

  // Engine side.
  void EngineMain();
  bool ServiceChannel0();
  bool ServiceRuns(uint64_t* next_due);
  enum class Move { kOk, kAborted, kBlocked };
  Move MoveSegment(uint32_t addr, uint32_t bytes, bool mem_write, uint64_t gen);
  Move MoveLoopChunk(const Backloop& plan, Cursor* s, Cursor* d, uint64_t bytes, uint64_t gen,
                     uint64_t* blocked_at);
  void Arm(uint32_t ch);
  uint64_t RunTransfers(const Run& r, uint64_t now) const;
  void SettleAndStop(uint64_t now);
  void StopRun(int ch, uint64_t now);
  void Quiesce();
  void Complete(uint32_t status_bit, bool drop);
  void RecordError(const std::string& reason);
  void Kick();

  const Settings settings_;
  const uint32_t index_;
  const double link_bytes_per_ns_;

  alignas(64) uint64_t bar0_[BAR0_BYTES / 8] = {};
  uint8_t stuck_and_[BAR0_BYTES];
  uint8_t stuck_or_[BAR0_BYTES];
  bool has_stuck_ = false;

  BusMap map_;
  InterruptLine irq_;

  std::mutex mu_;  // registers and engine state
  uint32_t regs_[kRegCount];
  uint32_t shadow_[kRegCount];  // last value the host wrote, for merging narrow writes
  bool int_enabled_ = false;
  bool reset_armed_ = false;  // RESET_CTRL holds 1: the engine resets when it returns to 0
  // Channel-0 starts latch the channel's registers, as the controller does, and wait here in
  // order; a host that outpaces the engine by more than the queue loses starts (an error).
  struct Ch0Job {
    uint32_t addr, ctrl;
  };
  static constexpr uint32_t kCh0Queue = 16;
  Ch0Job ch0_queue_[kCh0Queue] = {};
  uint32_t ch0_head_ = 0, ch0_count_ = 0;
  uint64_t ch0_transfers_ = 0;
  uint64_t ch0_completions_ = 0;
  uint64_t backloop_completions_ = 0;
  Run runs_[4];  // index 1..3
  Chain armed_[2];  // channels 4 and 5; null: not armed
  uint64_t armed_total_[2] = {0, 0};
  Backloop loop_;
  uint64_t blocked_ = 0;
  uint64_t errors_ = 0;
  std::string first_error_;

  std::atomic<uint64_t> ch0_gen_{0};  // bumped by an engine reset: drops a transfer in flight
  std::atomic<uint64_t> run_gen_{0};  // bumped whenever runs stop or change
  std::atomic<uint64_t> work_{0};     // bumped for every job the engine must look at
  std::atomic<bool> stop_{false};
  Wake engine_wake_;
  std::vector<uint8_t> pattern_, sink_, bounce_;  // engine-only scratch
  std::thread engine_;
};

}  // namespace sim
