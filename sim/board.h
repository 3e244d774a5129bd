// One virtual board: the front that implements wdc::Board over the board's units (BAR0, the
// register block, channel 0, the bulk runs of channels 1-3, the scatter/gather engine, the
// interrupt, the bus map) and the DMA engine thread that serves them.
//
// Threads. The caller's threads come in through the library: BAR and register accesses, DMA
// maps, the interrupt's attach and detach, the audit. The engine thread (EngineMain) moves
// bytes for every channel and raises the interrupt; a channel-0 transfer is served by the
// thread that started it, right after its register write, unless another thread is serving
// channel 0 (then the engine serves it). The library's interrupt thread waits on the interrupt
// line and, between waits, reads registers for the transfer list like a caller.
//
// Locks. mu_ guards the register block and the state of every unit; the register hooks run
// with it held, and the engine takes it to plan a job and again to account for it, never while
// it copies. The bus map's own lock (or that of the host side's memory) is held for every copy
// into or out of host memory and for every check of a bus range. Order: channel 0's serving
// lock, then mu_, then the bus map's lock; never the reverse.
// BAR0's cells, the interrupt line and the engine's doorbell are lock-free.
//
// Stopping work in flight. Each unit with work in flight (channel 0, the bulk runs, the
// backloop) has a generation counter, bumped under mu_ when a register write stops or resets
// that work. The engine reads it when it plans and checks it again under the bus map's lock
// before every copy and under mu_ before it accounts; a changed generation drops the job. After
// the bump the host side takes the bus map's lock once (Quiesce), so when the register write
// returns, no copy of the stopped work is running or will start.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/spin_wait.h"
#include "regs/regs.h"
#include "bar0.h"
#include "bulk_runs.h"
#include "bus_map.h"
#include "channel0.h"
#include "dma_common.h"
#include "faults.h"
#include "interrupt_line.h"
#include "registers.h"
#include "scatter_gather.h"
#include "settings.h"
#include "wdc/backend.h"

namespace sim {

// What stands between the board and the host when the board sits behind someone else's IOMMU
// and interrupt controller (the suite's model of the kernel's VFIO interface, or a virtual
// machine the board is served to): DMA then reaches host memory only through `memory`, and each
// interrupt raised is handed to `interrupt`. The board's own bus map and interrupt line are then
// unused.
struct HostSide {
  HostMemory* memory = nullptr;
  std::function<void()> interrupt;
  // Called, with the board's lock held, after a register access or reset that leaves no
  // interrupt cause pending (INT_CTRL's status read clear): a level-triggered line goes low.
  std::function<void()> acknowledge;
  // BAR0's cells (BAR0_BYTES, 8-byte aligned, outliving the board), when another process maps
  // them; null: the board's own.
  uint8_t* bar0_cells = nullptr;
  // Every channel-0 transfer is served by the engine thread, never by the thread that writes
  // the start: that thread must not wait for host memory (it answers the host's messages).
  bool engine_serves_channel0 = false;
  // Where the link errors of the aer fault go (the function's error registers), called with
  // the board's lock held; unset: the board has no error registers and drops them.
  std::function<void(const LinkError&)> link_error;
};

class SimBoard final : public wdc::Board, private RegisterHooks {
 public:
  SimBoard(const Settings& settings, uint32_t index, const HostSide& host = {});
  ~SimBoard() override;

  wdc::BoardIdentity Identity() const override;
  wdc::BarInfo Bar(uint32_t index) const override;
  WdcStatus Open(const wdc::DmaConstraints& dma) override;
  // As the controller with bus mastering cleared: the runs stop (a run that was still going is
  // kept for the audit), queued transfers are dropped, and every mapping is removed.
  void Close() override;
  // BAR0's cells, unless a bit is stuck; the register block always sees each access itself.
  wdc::DeviceWindow Window(uint32_t bar) override;
  WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) override;
  WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) override;
  WdcStatus DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override;
  WdcStatus DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override;
  void DmaUnmap(wdc::DmaMapping* mapping) override;
  void DmaSyncForDevice(const wdc::DmaMapping& mapping) override;
  void DmaSyncForCpu(const wdc::DmaMapping& mapping) override;
  WdcStatus InterruptAttach() override;
  uint32_t InterruptWait() override;
  void InterruptUnmask() override;  // an edge line: nothing to do
  void InterruptDetach() override;
  void Audit(std::vector<std::string>* findings) override;
  // As a reset of the whole function: the runs and queued transfers stop, every register holds
  // its reset value and the interrupt is disabled. BAR0's cells and the mappings are kept.
  void Reset();
  // BAR0 moves onto `cells` (as HostSide::bar0_cells; null: the board's own), holding what the
  // old cells held, so that whoever still maps the old ones no longer reaches the board. The
  // old cells may go once this returns: channel 0 is held off meanwhile. The caller makes no
  // BAR0 access of its own meanwhile, and none through a window taken before.
  void SwitchBar0Cells(uint8_t* cells);

 private:
  // Register hooks, with mu_ held.
  void OnStart(uint32_t v) override;
  void OnRunCtrl(uint32_t v) override;
  void OnIntCtrl(uint32_t v) override;
  void OnPerfClear(uint32_t v) override;
  void OnReset(uint32_t v) override;
  uint32_t ReadRunCtrl() override;
  uint32_t ReadPerf0() override;
  uint32_t ReadPerf1() override;

  WdcStatus RegisterAccess(uint64_t offset, uint32_t width, bool write, uint64_t* value);
  void StopRuns(uint64_t now);  // mu_ held: the bulk runs and the backloop
  void Quiesce();               // mu_ held: waits out a copy in progress
  void Kick();                  // tells the engine to look again
  void AcknowledgeIfClear();    // mu_ held
  void EngineMain();

  const uint32_t index_;
  const double link_bytes_per_ns_;
  const Faults faults_;  // fixed at construction
  Bar0 bar0_;            // lock-free
  BusMap map_;           // its own lock, taken after mu_
  HostMemory& memory_;   // map_, or the host side's memory; its lock is taken after mu_
  InterruptLine irq_;    // lock-free
  const std::function<void()> acknowledge_;
  const bool engine_serves_ch0_;

  std::mutex mu_;
  RegisterBlock regs_{this};  // guarded by mu_
  DmaLog log_;                // guarded by mu_
  Completions completions_;   // guarded by mu_
  bool reset_armed_ = false;  // guarded by mu_; RESET_CTRL holds 1: the reset acts at its 0
  bool run_at_close_ = false; // guarded by mu_; a run was going when the board was closed
  bool ch0_started_ = false;  // guarded by mu_; the register write being made latched a start
  // Guarded by mu_, but for each unit's engine-only scratch and the atomics its header names.
  Channel0 ch0_;
  BulkRuns runs_;
  ScatterGather sg_;

  std::atomic<bool> stop_{false};   // set under mu_ by the destructor
  platform::Doorbell engine_bell_;  // rung for every job; the engine thread waits on it
  std::thread engine_;              // last: it starts once every unit exists
};

}  // namespace sim
