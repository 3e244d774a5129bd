// Channels 1-3: continuous runs of one segment each, channel 1 writing host memory and channels
// 2 and 3 reading it, paced by the link model. The counts follow the clock and are what
// PERF_COUNT0/1 show in 16-bit fields. The bytes follow the counts lazily: each time the engine
// looks, a run that has transfers due moves its segment once for all of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "bus_map.h"
#include "dma_common.h"
#include "registers.h"

namespace sim {

// The byte a continuous memory-write run stores at offset k of its segment.
inline uint8_t WritePatternByte(uint64_t k) {
  return static_cast<uint8_t>((k * 7) ^ (k >> 8) ^ 0x5A);
}

class BulkRuns {
 public:
  BulkRuns(std::mutex& mu, const RegisterBlock& regs, HostMemory& map, DmaLog& log);

  // With the board's lock held; `now` on the NowNs clock.
  // The channels (bit 1 << ch) of a DMA_RUN_CTRL value whose registers hold a segment that may
  // run; the others are logged. Their segments are taken over, none starts yet.
  uint32_t Check(uint32_t run_ctrl);
  // Starts the checked channels, each direction at the given rate in bytes per nanosecond.
  void Begin(uint32_t channels, uint64_t now, double write_bytes_per_ns, double read_bytes_per_ns);
  // Stops every run with its count settled at `now`, and drops the work in flight.
  void StopAll(uint64_t now);
  uint32_t Running() const;  // the DMA_RUN_CTRL bits of the active channels
  uint32_t Perf0(uint64_t now) const;
  uint32_t Perf1(uint64_t now) const;
  void ClearCounts(uint64_t now);

  // The engine thread: moves what the counts have run ahead of the bytes. *next_due gets the
  // latest time by which the engine should look again.
  bool Service(uint64_t* next_due);

 private:
  struct Run {
    bool mem_write = false;
    uint32_t addr = 0;
    uint32_t bytes = 0;
    uint64_t start_ns = 0;
    double per_ns = 0;          // transfers per nanosecond while active
    double settled = 0;         // transfers counted before start_ns since the last clear
    uint64_t moved = 0;         // transfers accounted for by a move since the last clear
    uint64_t next_move_ns = 0;  // the next move waits for this time
  };

  bool Active(uint32_t ch) const { return (running_.load(std::memory_order_relaxed) >> ch) & 1; }
  uint64_t Transfers(uint32_t ch, uint64_t now) const;
  void Stop(uint32_t ch, uint64_t now);
  Move MoveSegment(uint32_t addr, uint32_t bytes, bool mem_write, uint64_t gen);

  std::mutex& mu_;
  const RegisterBlock& regs_;
  HostMemory& map_;
  DmaLog& log_;

  Run runs_[4];  // guarded by mu_; index 1..3
  // Bit 1 << ch for each active run. Written under mu_; the engine peeks at it without the
  // lock, so that idle runs cost it no lock (a run started after the peek rings the engine).
  std::atomic<uint32_t> running_{0};
  // Bumped under mu_ whenever the runs stop or change; the engine drops a job whose
  // generation has changed by the time it copies or accounts.
  std::atomic<uint64_t> gen_{0};
  std::vector<uint8_t> pattern_, sink_;  // engine thread only
};

}  // namespace sim
