#include "scatter_gather.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace sim {
namespace {

constexpr uint64_t kLoopLeadBytes = 256 * 1024;  // backloop bytes released per wake-up

}  // namespace

ScatterGather::ScatterGather(std::mutex& mu, const RegisterBlock& regs, HostMemory& map,
                             const Faults& faults, Completions& completions, DmaLog& log)
    : mu_(mu), regs_(regs), map_(map), faults_(faults), completions_(completions), log_(log) {}

void ScatterGather::Arm(uint32_t ch) {
  const int slot = ch == DMA_CH_SG_SOURCE ? 0 : 1;
  armed_[slot] = nullptr;
  armed_total_[slot] = 0;
  const uint32_t addr = regs_.ChannelAddr(ch);
  const uint32_t ctrl = regs_.ChannelCtrl(ch);
  const uint32_t len = ctrl & kCountMask;
  if ((ctrl & CTRL_FLAGS) != kFirstLast) {
    log_.Error(
        Format("channel %u: table control word 0x%08X is not one memory-read segment", ch, ctrl));
    return;
  }
  if (len == 0 || len % sizeof(DiagSgDescriptor) != 0) {
    log_.Error(Format("channel %u: table length %u is not a positive multiple of 8", ch, len));
    return;
  }
  const uint32_t n = len / 8;
  std::vector<uint8_t> raw;
  auto segs = std::make_shared<std::vector<Segment>>();
  uint64_t total = 0;
  const wdc::DmaDir dir = ch == static_cast<uint32_t>(DMA_CH_SG_DEST) ? wdc::DmaDir::kFromDevice
                                                                      : wdc::DmaDir::kToDevice;
  {
    auto map_lock = map_.Lock();
    // The copy is bounded by the table's mapped length, checked before anything is allocated.
    if (!map_.CheckLocked(addr, len, wdc::DmaDir::kToDevice)) {
      log_.Blocked(
          Format("channel %u: descriptor table at bus address 0x%08X (%u bytes) is not "
                 "readable by the board",
                 ch, addr, len));
      return;
    }
    raw.resize(len);
    map_.ReadLocked(addr, raw.data(), len);
    segs->reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t d_addr, d_ctrl;
      std::memcpy(&d_addr, &raw[i * 8], 4);
      std::memcpy(&d_ctrl, &raw[i * 8 + 4], 4);
      uint32_t expect = 0;
      if (i == 0)
        expect |= CTRL_FIRST | (dir == wdc::DmaDir::kFromDevice ? uint32_t{CTRL_MEM_WRITE} : 0u);
      if (i == n - 1) expect |= CTRL_LAST;
      const uint32_t bytes = d_ctrl & kCountMask;
      if ((d_ctrl & CTRL_FLAGS) != expect) {
        log_.Error(Format("channel %u: descriptor %u has flags 0x%08X, expected 0x%08X", ch, i,
                          d_ctrl & CTRL_FLAGS, expect));
        return;
      }
      if (bytes == 0) {
        log_.Error(Format("channel %u: descriptor %u has byte count 0", ch, i));
        return;
      }
      if (!map_.CheckLocked(d_addr, bytes, dir)) {
        log_.Error(
            Format("channel %u: descriptor %u (%u bytes at 0x%08X) is not mapped for the "
                   "board to %s",
                   ch, i, bytes, d_addr, dir == wdc::DmaDir::kFromDevice ? "write" : "read"));
        return;
      }
      segs->push_back({d_addr, bytes});
      total += bytes;
    }
  }
  armed_[slot] = std::move(segs);
  armed_total_[slot] = total;
}

void ScatterGather::Disarm() {
  armed_[0] = armed_[1] = nullptr;
  armed_total_[0] = armed_total_[1] = 0;
}

bool ScatterGather::CanStart(uint32_t run_ctrl) {
  if ((run_ctrl & RUN_BACKLOOP) == 0) return false;
  if ((run_ctrl & RUN_BACKLOOP) != RUN_BACKLOOP)
    log_.Error(Format("backloop: run control 0x%X starts only one of channels 4 and 5", run_ctrl));
  else if (!armed_[0])
    log_.Error("backloop: channel 4 not armed");
  else if (!armed_[1])
    log_.Error("backloop: channel 5 not armed");
  else if (armed_total_[0] != armed_total_[1])
    log_.Error(Format("backloop: source chain of %llu bytes, destination chain of %llu bytes",
                      static_cast<unsigned long long>(armed_total_[0]),
                      static_cast<unsigned long long>(armed_total_[1])));
  else
    return true;
  return false;
}

void ScatterGather::Begin(uint64_t now, double bytes_per_ns) {
  loop_.src = armed_[0];
  loop_.dst = armed_[1];
  loop_.total = armed_total_[0];
  loop_.start_ns = now;
  loop_.bytes_per_ns = bytes_per_ns;
  loop_.due_ns = now + static_cast<uint64_t>(static_cast<double>(loop_.total) / loop_.bytes_per_ns);
  active_.store(true, std::memory_order_seq_cst);
}

void ScatterGather::Stop() {
  active_.store(false, std::memory_order_seq_cst);
  loop_ = Loop();
  gen_.fetch_add(1, std::memory_order_seq_cst);
}

Move ScatterGather::MoveChunk(const Loop& plan, Cursor* s, Cursor* d, uint64_t bytes, uint64_t gen,
                              uint64_t* blocked_at) {
  const std::vector<Segment>& src = *plan.src;
  const std::vector<Segment>& dst = *plan.dst;
  auto map_lock = map_.Lock();
  if (gen_.load(std::memory_order_seq_cst) != gen) return Move::kAborted;
  for (uint64_t moved = 0; moved < bytes;) {
    const uint64_t from = src[s->seg].bus + s->off;
    uint64_t take =
        std::min({bytes - moved, src[s->seg].bytes - s->off, dst[d->seg].bytes - d->off});
    const size_t target = faults_.SwapPages(dst, d->seg, d->off, &take);
    const uint64_t to = dst[target].bus + d->off;
    if (!map_.CopyLocked(from, to, take)) {
      *blocked_at = map_.CheckLocked(from, take, wdc::DmaDir::kToDevice) ? to : from;
      return Move::kBlocked;
    }
    moved += take;
    if ((s->off += take) == src[s->seg].bytes) {
      ++s->seg;
      s->off = 0;
    }
    if ((d->off += take) == dst[d->seg].bytes) {
      ++d->seg;
      d->off = 0;
    }
  }
  return Move::kOk;
}

bool ScatterGather::Service(uint64_t* next_due) {
  Loop plan;
  uint64_t loop_bytes = 0;
  uint64_t gen;
  if (!active_.load(std::memory_order_seq_cst)) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!Active()) return false;
    // Read under the lock, where a run is also stamped: its start never lies after `now`.
    const uint64_t now = platform::NowNs();
    gen = gen_.load(std::memory_order_seq_cst);
    const double elapsed = static_cast<double>(now - loop_.start_ns);
    const uint64_t allowed =
        std::min<uint64_t>(loop_.total, static_cast<uint64_t>(elapsed * loop_.bytes_per_ns));
    if (loop_.done < allowed) {
      plan = loop_;
      loop_bytes = std::min(allowed - loop_.done, kServiceBytes);
    } else if (loop_.done == loop_.total && now >= loop_.due_ns) {
      active_.store(false, std::memory_order_seq_cst);
      Request last;  // the run ends with its write of the last destination page
      if (loop_.dst && !loop_.dst->empty())
        last = {loop_.dst->back().bus, loop_.dst->back().bytes, true};
      loop_.src = loop_.dst = nullptr;
      completions_.Complete(Completion::kBackloop, last);
      return true;
    } else {
      const uint64_t lead = std::min(loop_.total, loop_.done + kLoopLeadBytes);
      const uint64_t at =
          loop_.start_ns + static_cast<uint64_t>(static_cast<double>(lead) / loop_.bytes_per_ns);
      *next_due = std::min(*next_due, std::min(std::max(at, now + 1), loop_.due_ns));
      return false;
    }
  }
  Cursor s = plan.s, d = plan.d;
  uint64_t done = 0, blocked_at = 0;
  Move m = Move::kOk;
  while (done < loop_bytes && m == Move::kOk) {
    const uint64_t n = std::min(kChunk, loop_bytes - done);
    m = MoveChunk(plan, &s, &d, n, gen, &blocked_at);
    if (m == Move::kOk) done += n;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (gen_.load(std::memory_order_seq_cst) != gen) return true;
  loop_.s = s;
  loop_.d = d;
  loop_.done += done;
  if (m == Move::kBlocked) {
    Stop();
    log_.Blocked(Format("backloop: access at bus address 0x%llX blocked",
                        static_cast<unsigned long long>(blocked_at)));
  }
  return true;
}

}  // namespace sim
