#include "channel0.h"

namespace sim {

bool Channel0::Latch() {
  const uint32_t count = count_.load(std::memory_order_relaxed);
  if (count == kQueue) {
    log_.Error("channel 0: started while 16 earlier transfers were waiting");
    return false;
  }
  queue_[(head_ + count) % kQueue] = {regs_.Get(kChAddr0), regs_.Get(kChCtrl0)};
  count_.store(count + 1, std::memory_order_seq_cst);
  return true;
}

void Channel0::Reset() {
  gen_.fetch_add(1, std::memory_order_seq_cst);
  count_.store(0, std::memory_order_seq_cst);
}

bool Channel0::Serve() {
  if (count_.load(std::memory_order_seq_cst) == 0) return false;
  std::unique_lock<std::mutex> serving(serve_mu_, std::try_to_lock);
  if (!serving.owns_lock()) return false;
  bool did = false;
  while (ServeOne()) did = true;
  return did;
}

bool Channel0::ServeOne() {
  Job job;
  uint64_t gen;
  uint64_t addr = 0;  // where the data moves
  if (count_.load(std::memory_order_seq_cst) == 0) return false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t count = count_.load(std::memory_order_relaxed);
    if (count == 0) return false;
    job = queue_[head_];
    head_ = (head_ + 1) % kQueue;
    count_.store(count - 1, std::memory_order_seq_cst);
    gen = gen_.load(std::memory_order_seq_cst);
    ++served_;
    addr = faults_.StrayAddress(job.addr, served_);
    const uint32_t f = job.ctrl & kCountMask;
    if ((job.ctrl & kFirstLast) != kFirstLast) {
      log_.Error(Format("channel 0: control word 0x%08X lacks the first and last flags", job.ctrl));
      return true;
    }
    if (f == 0 || f > BAR0_BYTES) {
      log_.Error(Format("channel 0: byte count %u", f));
      return true;
    }
  }
  const uint32_t f = job.ctrl & kCountMask;
  const bool mem_write = (job.ctrl & CTRL_MEM_WRITE) != 0;
  uint8_t buf[BAR0_BYTES];
  bool ok = false;
  int64_t target = static_cast<int64_t>(addr);
  if (mem_write) {
    target = faults_.ShiftWrite(addr);
    bar0_.Load(buf, f);
    auto map_lock = map_.Lock();
    if (gen_.load(std::memory_order_seq_cst) != gen) return true;
    ok = target >= 0 && map_.WriteLocked(static_cast<uint64_t>(target), buf, f);
  } else {
    {
      auto map_lock = map_.Lock();
      if (gen_.load(std::memory_order_seq_cst) != gen) return true;
      ok = map_.ReadLocked(addr, buf, f);
    }
    if (ok) bar0_.Store(buf, f);
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (gen_.load(std::memory_order_seq_cst) != gen) return true;
  if (!ok) {
    log_.Blocked(
        Format("channel 0: %u bytes at bus address 0x%llX are not mapped for the board "
               "to %s",
               f, static_cast<unsigned long long>(target), mem_write ? "write" : "read"));
    return true;
  }
  const uint32_t words = (f + 7) / 8;
  const uint32_t count = regs_.Get(kWordCount);
  ++transfers_;
  regs_.Set(kWordCount,
            faults_.CorruptWordCount(mem_write ? count - words : count + words, transfers_));
  completions_.Complete(Completion::kChannel0, {static_cast<uint64_t>(target), f, mem_write});
  return true;
}

}  // namespace sim
