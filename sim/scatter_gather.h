// Channels 4 and 5: the scatter/gather engine. A start of either channel arms it with the
// descriptor table its registers point at, read and checked at once (the walk is bounded by
// the table's mapped length, so a bad table is an error, never a hang). The backloop then
// streams the source chain into the destination chain at the link's rate and completes when
// the last byte is due.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "bus_map.h"
#include "dma_common.h"
#include "faults.h"
#include "interrupt_line.h"
#include "registers.h"

namespace sim {

class ScatterGather {
 public:
  ScatterGather(std::mutex& mu, const RegisterBlock& regs, HostMemory& map, const Faults& faults,
                Completions& completions, DmaLog& log);

  // With the board's lock held; `now` on the NowNs clock.
  void Arm(uint32_t ch);  // DMA_CH_SG_SOURCE or DMA_CH_SG_DEST
  void Disarm();
  // Whether a DMA_RUN_CTRL value starts the backloop and both chains allow it; why not is
  // logged when it asks for the backloop.
  bool CanStart(uint32_t run_ctrl);
  void Begin(uint64_t now, double bytes_per_ns);
  void Stop();  // also drops the work in flight
  bool Active() const { return active_.load(std::memory_order_relaxed); }

  // The engine thread: moves what the clock allows and completes when the run is due.
  // *next_due gets the latest time by which the engine should look again.
  bool Service(uint64_t* next_due);

 private:
  using Chain = std::shared_ptr<const std::vector<Segment>>;
  struct Cursor {
    size_t seg = 0;
    uint64_t off = 0;
  };
  struct Loop {
    Chain src, dst;
    uint64_t total = 0;
    uint64_t done = 0;
    uint64_t start_ns = 0;
    uint64_t due_ns = 0;
    double bytes_per_ns = 0;
    Cursor s, d;
  };

  Move MoveChunk(const Loop& plan, Cursor* s, Cursor* d, uint64_t bytes, uint64_t gen,
                 uint64_t* blocked_at);

  std::mutex& mu_;
  const RegisterBlock& regs_;
  HostMemory& map_;
  const Faults& faults_;
  Completions& completions_;
  DmaLog& log_;

  // Guarded by mu_. Slot 0 channel 4 (source), slot 1 channel 5 (destination); null: not
  // armed. The engine keeps its own reference to the chains of the run it serves.
  Chain armed_[2];
  uint64_t armed_total_[2] = {0, 0};
  Loop loop_;
  // Whether loop_ runs. Written under mu_; the engine peeks at it without the lock, so that an
  // idle engine costs it no lock (a loop started after the peek rings the engine).
  std::atomic<bool> active_{false};
  // Bumped under mu_ whenever the loop stops; the engine drops a chunk whose generation has
  // changed by the time it copies or accounts.
  std::atomic<uint64_t> gen_{0};
};

}  // namespace sim
