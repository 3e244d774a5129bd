// Channel 0: single transfers between BAR0 and host memory, with the DMA_WORD_COUNT protocol.
// A start latches the channel's address and control word, as the controller does, and waits
// in a queue in order; a host that outpaces the engine by more than the queue loses starts (an
// error). One start at a time is taken, its bytes moved, its words counted and completed: at
// once by the thread that wrote DMA_START, as soon as its register write is done (a copy of at
// most 4 KiB), or by the engine when another thread is serving the queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "bar0.h"
#include "bus_map.h"
#include "dma_common.h"
#include "faults.h"
#include "interrupt_line.h"
#include "registers.h"

namespace sim {

class Channel0 {
 public:
  Channel0(std::mutex& mu, RegisterBlock& regs, Bar0& bar0, HostMemory& map, const Faults& faults,
           Completions& completions, DmaLog& log)
      : mu_(mu),
        regs_(regs),
        bar0_(bar0),
        map_(map),
        faults_(faults),
        completions_(completions),
        log_(log) {}

  // With the board's lock held. Latch is false when the start was lost to a full queue.
  bool Latch();
  void Reset();  // forgets the waiting starts and drops a transfer in flight

  // Any thread, without the board's lock: serves the waiting starts in order, until none is
  // left. One thread serves at a time; false when none was served here (none waited, or
  // another thread is serving: a start latched meanwhile must then be handed to the engine).
  bool Serve();
  // Held, no transfer moves bytes to or from BAR0; a start latched meanwhile waits (Waiting).
  std::unique_lock<std::mutex> HoldServing() { return std::unique_lock<std::mutex>(serve_mu_); }
  bool Waiting() const { return count_.load(std::memory_order_seq_cst) != 0; }

 private:
  struct Job {
    uint32_t addr, ctrl;
  };
  static constexpr uint32_t kQueue = 16;

  std::mutex& mu_;
  RegisterBlock& regs_;
  Bar0& bar0_;
  HostMemory& map_;
  const Faults& faults_;
  Completions& completions_;
  DmaLog& log_;

  Job queue_[kQueue] = {};  // guarded by mu_
  uint32_t head_ = 0;       // guarded by mu_
  // Written under mu_. The engine peeks at it without the lock, so that an empty queue costs
  // it no lock; a start latched after the peek is followed by a ring of the engine's doorbell.
  std::atomic<uint32_t> count_{0};
  uint64_t transfers_ = 0;  // guarded by mu_; completed transfers since the board was made
  uint64_t served_ = 0;     // guarded by mu_; transfers taken from the queue since then
  // Bumped under mu_ by Reset; the engine reads it when it takes a start and drops the
  // transfer when it has changed by the time it copies or completes.
  std::atomic<uint64_t> gen_{0};
  std::mutex serve_mu_;  // held by the thread that serves; taken before mu_

  bool ServeOne();  // the oldest start, if any; false when none waited
};

}  // namespace sim
