#include "bulk_runs.h"

#include <algorithm>
#include <cmath>

#include "platform/platform.h"

namespace sim {
namespace {

constexpr uint64_t kRunWakeNs = 2000000;  // how often a continuous run moves its bytes

}  // namespace

BulkRuns::BulkRuns(std::mutex& mu, const RegisterBlock& regs, HostMemory& map, DmaLog& log)
    : mu_(mu), regs_(regs), map_(map), log_(log), pattern_(kChunk), sink_(kChunk) {
  for (uint64_t k = 0; k < kChunk; ++k) pattern_[k] = WritePatternByte(k);
}

uint64_t BulkRuns::Transfers(uint32_t ch, uint64_t now) const {
  const Run& r = runs_[ch];
  double t = r.settled;
  if (Active(ch) && now > r.start_ns) t += static_cast<double>(now - r.start_ns) * r.per_ns;
  return static_cast<uint64_t>(std::floor(t));
}

uint32_t BulkRuns::Check(uint32_t run_ctrl) {
  const uint32_t asked[4] = {0, run_ctrl & RUN_WRITE, run_ctrl & RUN_READ,
                             run_ctrl & (RUN_READ_2CH & ~RUN_READ)};
  uint32_t channels = 0;
  for (uint32_t ch = 1; ch <= 3; ++ch) {
    if (asked[ch] == 0) continue;
    const uint32_t addr = regs_.ChannelAddr(ch);
    const uint32_t ctrl = regs_.ChannelCtrl(ch);
    const uint32_t bytes = ctrl & kCountMask;
    const bool mem_write = ch == DMA_CH_PERF_WRITE;
    if ((ctrl & kFirstLast) != kFirstLast) {
      log_.Error(
          Format("channel %u: control word 0x%08X lacks the first and last flags", ch, ctrl));
    } else if (((ctrl & CTRL_MEM_WRITE) != 0) != mem_write) {
      log_.Error(Format("channel %u: control word 0x%08X has the wrong direction", ch, ctrl));
    } else if (bytes == 0) {
      log_.Error(Format("channel %u: byte count 0", ch));
    } else {
      bool ok;
      {
        auto map_lock = map_.Lock();
        ok = map_.CheckLocked(addr, bytes,
                              mem_write ? wdc::DmaDir::kFromDevice : wdc::DmaDir::kToDevice);
      }
      if (!ok) {
        log_.Blocked(
            Format("channel %u: %u bytes at bus address 0x%08X are not mapped for the "
                   "board to %s",
                   ch, bytes, addr, mem_write ? "write" : "read"));
      } else {
        channels |= 1u << ch;
        Run& r = runs_[ch];
        r.mem_write = mem_write;
        r.addr = addr;
        r.bytes = bytes;
      }
    }
  }
  return channels;
}

void BulkRuns::Begin(uint32_t channels, uint64_t now, double write_bytes_per_ns,
                     double read_bytes_per_ns) {
  for (uint32_t ch = 1; ch <= 3; ++ch) {
    if ((channels & (1u << ch)) == 0) continue;
    Run& r = runs_[ch];
    r.start_ns = now;
    r.per_ns = (ch == DMA_CH_PERF_WRITE ? write_bytes_per_ns : read_bytes_per_ns) / r.bytes;
    r.next_move_ns = 0;  // a new segment moves with its first transfer
  }
  running_.store(running_.load(std::memory_order_relaxed) | channels, std::memory_order_seq_cst);
}

void BulkRuns::Stop(uint32_t ch, uint64_t now) {
  if (!Active(ch)) return;
  Run& r = runs_[ch];
  if (now > r.start_ns) r.settled += static_cast<double>(now - r.start_ns) * r.per_ns;
  running_.store(running_.load(std::memory_order_relaxed) & ~(1u << ch), std::memory_order_seq_cst);
}

void BulkRuns::StopAll(uint64_t now) {
  for (uint32_t ch = 1; ch <= 3; ++ch) Stop(ch, now);
  gen_.fetch_add(1, std::memory_order_seq_cst);
}

uint32_t BulkRuns::Running() const { return running_.load(std::memory_order_relaxed); }

uint32_t BulkRuns::Perf0(uint64_t now) const {
  return static_cast<uint32_t>((Transfers(1, now) & PERF_FIELD_MASK) |
                               ((Transfers(2, now) & PERF_FIELD_MASK) << PERF_FIELD_HIGH_SHIFT));
}

uint32_t BulkRuns::Perf1(uint64_t now) const {
  return static_cast<uint32_t>(Transfers(3, now) & PERF_FIELD_MASK);
}

void BulkRuns::ClearCounts(uint64_t now) {
  for (uint32_t ch = 1; ch <= 3; ++ch) {
    runs_[ch].settled = 0;
    runs_[ch].moved = 0;
    runs_[ch].start_ns = now;
  }
}

Move BulkRuns::MoveSegment(uint32_t addr, uint32_t bytes, bool mem_write, uint64_t gen) {
  const wdc::DmaDir dir = mem_write ? wdc::DmaDir::kFromDevice : wdc::DmaDir::kToDevice;
  for (uint64_t off = 0; off < bytes; off += kChunk) {
    const uint64_t n = std::min<uint64_t>(kChunk, bytes - off);
    auto map_lock = map_.Lock();
    if (gen_.load(std::memory_order_seq_cst) != gen) return Move::kAborted;
    // The whole segment must be reachable before the first byte of it moves.
    if (off == 0 && !map_.CheckLocked(addr, bytes, dir)) return Move::kBlocked;
    const bool ok = mem_write ? map_.WriteLocked(addr + off, pattern_.data(), n)
                              : map_.ReadLocked(addr + off, sink_.data(), n);
    if (!ok) return Move::kBlocked;
  }
  return Move::kOk;
}

bool BulkRuns::Service(uint64_t* next_due) {
  struct Job {
    uint32_t ch, addr, bytes;
    bool mem_write;
    uint64_t count;
  };
  Job jobs[3];
  int njobs = 0;
  uint64_t gen;
  uint64_t now;
  if (running_.load(std::memory_order_seq_cst) == 0) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Read under the lock: a run started by a register write is stamped under it too, so no
    // run's start can lie after this moment.
    now = platform::NowNs();
    gen = gen_.load(std::memory_order_seq_cst);
    for (uint32_t ch = 1; ch <= 3; ++ch) {
      if (!Active(ch)) continue;
      const Run& r = runs_[ch];
      const uint64_t target = Transfers(ch, now);
      if (target > r.moved && now >= r.next_move_ns)
        jobs[njobs++] = {ch, r.addr, r.bytes, r.mem_write, target - r.moved};
      *next_due = std::min(*next_due, std::max(r.next_move_ns, now + 1));
    }
  }
  bool did = false;
  for (int j = 0; j < njobs; ++j) {
    const Job& job = jobs[j];
    // Every transfer of a run moves the same bytes to the same place, so moving them again
    // changes nothing the host can see: the segment moves once for all the transfers due, at
    // most once every kRunWakeNs. (Moving each one made the engine copy at the link's rate for
    // the whole performance test, a core's work under a sanitizer.)
    const Move m = MoveSegment(job.addr, job.bytes, job.mem_write, gen);
    std::lock_guard<std::mutex> lock(mu_);
    if (gen_.load(std::memory_order_seq_cst) != gen) return true;
    if (m == Move::kOk) {
      runs_[job.ch].moved += job.count;
      runs_[job.ch].next_move_ns = now + kRunWakeNs;
    }
    if (m == Move::kBlocked) {
      Stop(job.ch, platform::NowNs());
      log_.Blocked(
          Format("channel %u: %u bytes at bus address 0x%08X are no longer mapped for "
                 "the board",
                 job.ch, job.bytes, job.addr));
    }
    did = true;
  }
  return did;
}

}  // namespace sim
