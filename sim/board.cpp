#include "board.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "link_model.h"

namespace sim {
namespace {

using u16a = uint16_t __attribute__((may_alias));
using u32a = uint32_t __attribute__((may_alias));
using u64a = uint64_t __attribute__((may_alias));

constexpr uint32_t kCountMask = CTRL_COUNT_LIMIT - 1;  // byte count bits of a control word
constexpr uint32_t kFirstLast = CTRL_FIRST | CTRL_LAST;
constexpr uint64_t kChunk = 64 * 1024;          // engine copy unit; also its scratch size
constexpr uint64_t kServiceBytes = 4u << 20;    // bytes a run may move before commands are seen
constexpr uint64_t kRunWakeNs = 2000000;        // how often a caught-up continuous run looks
constexpr uint64_t kLoopLeadBytes = 256 * 1024; // backloop bytes released per wake-up
constexpr uint64_t kNearDeadlineNs = 300000;    // closer deadlines are met by spinning

std::string Format(const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

bool Contains(const std::vector<uint32_t>& list, uint64_t n) {
  return std::find(list.begin(), list.end(), n) != list.end();
}

}  // namespace

// ---- The register block -------------------------------------------------------------------

const SimBoard::RegSpec* RegTable() {
  using B = SimBoard;
  static const B::RegSpec kTable[B::kRegCount] = {
      {DMA_CH_ADDR(0), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_CTRL(0), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_ADDR(1), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_CTRL(1), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_ADDR(2), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_CTRL(2), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_ADDR(3), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_CTRL(3), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_ADDR(4), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_CTRL(4), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_ADDR(5), 0, ~0u, 0, nullptr, nullptr},
      {DMA_CH_CTRL(5), 0, ~0u, 0, nullptr, nullptr},
      // The engine moves the word count: down for a memory write, up for a memory read.
      {DMA_WORD_COUNT, 0, ~0u, 0, nullptr, nullptr},
      // Start bits act and are not kept.
      {DMA_START, 0, 0, 0, &B::OnStart, nullptr},
      // Reads show the runs that are going, not what was written.
      {DMA_RUN_CTRL, 0, 0, 0, &B::OnRunCtrl, &B::ReadRunCtrl},
      // Written: the enable. Read: the completion status, which the read clears.
      {INT_CTRL, 0, 0, INT_CH0_DONE | INT_BACKLOOP_DONE, &B::OnIntCtrl, nullptr},
      {PERF_COUNT0, 0, 0, 0, &B::OnPerfClear, &B::ReadPerf0},
      {PERF_COUNT1, 0, 0, 0, nullptr, &B::ReadPerf1},
      {READ_CFG, 0, 0xFFFF, 0, nullptr, nullptr},
      {RESET_CTRL, 0, 0x1, 0, &B::OnReset, nullptr},
  };
  return kTable;
}

namespace {
// Register slot by 32-bit word of BAR1, -1 where there is none.
const int8_t* RegIndex() {
  static const auto* index = [] {
    auto* t = new int8_t[BAR1_BYTES / 4];
    std::fill(t, t + BAR1_BYTES / 4, int8_t{-1});
    for (int i = 0; i < SimBoard::kRegCount; ++i) t[RegTable()[i].offset / 4] = static_cast<int8_t>(i);
    return t;
  }();
  return index;
}
}  // namespace

// ---- Interrupt line ------------------------------------------------------------------------

void InterruptLine::Raise() {
  raised_.fetch_add(1, std::memory_order_seq_cst);
  wake_.Ring();
}

void InterruptLine::Attach() {
  consumed_.store(raised_.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
  detached_.store(false, std::memory_order_seq_cst);
}

bool InterruptLine::Wait() {
  auto ready = [this] {
    return detached_.load(std::memory_order_seq_cst) ||
           raised_.load(std::memory_order_seq_cst) != consumed_.load(std::memory_order_seq_cst);
  };
  for (;;) {
    wake_.WaitUntil(ready, platform::kSpinBudgetNs);
    if (detached_.load(std::memory_order_seq_cst)) return false;
    uint64_t c = consumed_.load(std::memory_order_seq_cst);
    if (raised_.load(std::memory_order_seq_cst) != c &&
        consumed_.compare_exchange_strong(c, c + 1, std::memory_order_seq_cst))
      return true;
  }
}

void InterruptLine::Detach() {
  detached_.store(true, std::memory_order_seq_cst);
  wake_.Ring();
}

// ---- Construction --------------------------------------------------------------------------

SimBoard::SimBoard(const Settings& settings, uint32_t index)
    : settings_(settings),
      index_(index),
      link_bytes_per_ns_(LinkBytesPerSecond(settings.link_gen, settings.link_width) / 1e9),
      map_(settings.misalign, settings.high_bus),
      pattern_(kChunk),
      sink_(kChunk),
      bounce_(kChunk) {
  std::memset(stuck_and_, 0xFF, sizeof stuck_and_);
  std::memset(stuck_or_, 0, sizeof stuck_or_);
  for (const StuckBit& s : settings.stuck_bits) {
    if (s.offset >= BAR0_BYTES || s.bit > 7) continue;
    has_stuck_ = true;
    if (s.level) stuck_or_[s.offset] |= static_cast<uint8_t>(1u << s.bit);
    else stuck_and_[s.offset] &= static_cast<uint8_t>(~(1u << s.bit));
  }
  if (has_stuck_)
    for (uint32_t w = 0; w < BAR0_BYTES / 8; ++w) bar0_[w] = StuckApply(0, w * 8, 8);
  for (uint64_t k = 0; k < kChunk; ++k) pattern_[k] = WritePatternByte(k);
  for (int i = 0; i < kRegCount; ++i) regs_[i] = shadow_[i] = RegTable()[i].reset;
  engine_ = std::thread([this] { EngineMain(); });
}

SimBoard::~SimBoard() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_.store(true, std::memory_order_seq_cst);
  }
  engine_wake_.Ring();
  engine_.join();
}

wdc::BoardIdentity SimBoard::Identity() const {
  wdc::BoardIdentity id;
  id.vendor_id = BOARD_VENDOR_ID;
  id.device_id = BOARD_DEVICE_ID;
  id.bus = index_ + 1;
  id.slot = 0;
  id.function = 0;
  id.irq = 16 + index_;
  return id;
}

wdc::BarInfo SimBoard::Bar(uint32_t index) const {
  const uint64_t base = 0xF7000000ull + uint64_t{index_} * 0x100000;
  if (index == AD_BAR0) return {base, BAR0_BYTES};
  if (index == AD_BAR1) return {base + 0x10000, BAR1_BYTES};
  return {0, 0};
}

// ---- BAR0 ----------------------------------------------------------------------------------

uint64_t SimBoard::StuckApply(uint64_t value, uint32_t offset, uint32_t width) const {
  uint64_t and_mask = 0, or_mask = 0;
  std::memcpy(&and_mask, stuck_and_ + offset, width);
  std::memcpy(&or_mask, stuck_or_ + offset, width);
  return (value & and_mask) | or_mask;
}

void SimBoard::Bar0Load(uint8_t* dst, uint32_t bytes) const {
  // Whole words with one atomic load each: the host may access BAR0 while channel 0 copies.
  uint32_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    uint64_t w = __atomic_load_n(&bar0_[i / 8], __ATOMIC_RELAXED);
    std::memcpy(dst + i, &w, 8);
  }
  const uint8_t* b = reinterpret_cast<const uint8_t*>(bar0_);
  for (; i < bytes; ++i) dst[i] = __atomic_load_n(b + i, __ATOMIC_RELAXED);
}

void SimBoard::Bar0Store(const uint8_t* src, uint32_t bytes) {
  uint32_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    if (has_stuck_) w = StuckApply(w, i, 8);
    __atomic_store_n(&bar0_[i / 8], w, __ATOMIC_RELAXED);
  }
  uint8_t* b = reinterpret_cast<uint8_t*>(bar0_);
  for (; i < bytes; ++i) {
    uint8_t v = src[i];
    if (has_stuck_) v = static_cast<uint8_t>(StuckApply(v, i, 1));
    __atomic_store_n(b + i, v, __ATOMIC_RELAXED);
  }
}

WdcStatus SimBoard::Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) {
  if (value == nullptr || (width != 1 && width != 2 && width != 4 && width != 8))
    return WDC_STATUS_INVALID_PARAMETER;
  if (bar > AD_BAR1) return WDC_STATUS_BAD_ADDR_SPACE;
  if (offset >= BAR0_BYTES || width > BAR0_BYTES - offset) return WDC_STATUS_OUT_OF_RANGE;
  if (offset % width != 0) return WDC_STATUS_MISALIGNED;
  if (bar == AD_BAR1) return Bar1Access(offset, width, false, value);
  uint8_t* p = reinterpret_cast<uint8_t*>(bar0_) + offset;
  switch (width) {
    case 1: *value = __atomic_load_n(p, __ATOMIC_RELAXED); break;
    case 2: *value = __atomic_load_n(reinterpret_cast<u16a*>(p), __ATOMIC_RELAXED); break;
    case 4: *value = __atomic_load_n(reinterpret_cast<u32a*>(p), __ATOMIC_RELAXED); break;
    default: *value = __atomic_load_n(reinterpret_cast<u64a*>(p), __ATOMIC_RELAXED); break;
  }
  return WDC_STATUS_SUCCESS;
}

WdcStatus SimBoard::Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  if (width != 1 && width != 2 && width != 4 && width != 8) return WDC_STATUS_INVALID_PARAMETER;
  if (bar > AD_BAR1) return WDC_STATUS_BAD_ADDR_SPACE;
  if (offset >= BAR0_BYTES || width > BAR0_BYTES - offset) return WDC_STATUS_OUT_OF_RANGE;
  if (offset % width != 0) return WDC_STATUS_MISALIGNED;
  if (bar == AD_BAR1) return Bar1Access(offset, width, true, &value);
  if (has_stuck_) value = StuckApply(value, static_cast<uint32_t>(offset), width);
  uint8_t* p = reinterpret_cast<uint8_t*>(bar0_) + offset;
  switch (width) {
    case 1: __atomic_store_n(p, static_cast<uint8_t>(value), __ATOMIC_RELAXED); break;
    case 2: __atomic_store_n(reinterpret_cast<u16a*>(p), static_cast<uint16_t>(value), __ATOMIC_RELAXED); break;
    case 4: __atomic_store_n(reinterpret_cast<u32a*>(p), static_cast<uint32_t>(value), __ATOMIC_RELAXED); break;
    default: __atomic_store_n(reinterpret_cast<u64a*>(p), value, __ATOMIC_RELAXED); break;
  }
  return WDC_STATUS_SUCCESS;
}

// ---- BAR1 ----------------------------------------------------------------------------------

WdcStatus SimBoard::Bar1Access(uint64_t offset, uint32_t width, bool write, uint64_t* value) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint32_t off = static_cast<uint32_t>(offset);
  if (width == 8) {
    // The register block is 32 bits wide: a 64-bit access is two accesses, low word first.
    if (write) {
      WriteReg(off, static_cast<uint32_t>(*value), ~0u);
      WriteReg(off + 4, static_cast<uint32_t>(*value >> 32), ~0u);
    } else {
      uint64_t lo = ReadReg(off, ~0u);
      *value = lo | (uint64_t{ReadReg(off + 4, ~0u)} << 32);
    }
    return WDC_STATUS_SUCCESS;
  }
  const uint32_t shift = (off & 3) * 8;
  const uint32_t mask = (width == 4 ? ~0u : ((1u << (width * 8)) - 1)) << shift;
  if (write) WriteReg(off & ~3u, static_cast<uint32_t>(*value << shift), mask);
  else *value = (ReadReg(off & ~3u, mask) & mask) >> shift;
  return WDC_STATUS_SUCCESS;
}

uint32_t SimBoard::ReadReg(uint32_t offset, uint32_t byte_mask) {
  const int i = RegIndex()[offset / 4];
  if (i < 0) return 0;
  const RegSpec& desc = RegTable()[i];
  const uint32_t v = desc.on_read ? (this->*desc.on_read)() : regs_[i];
  regs_[i] &= ~(desc.read_clears & byte_mask);
  return v;
}

void SimBoard::WriteReg(uint32_t offset, uint32_t value, uint32_t byte_mask) {
  const int i = RegIndex()[offset / 4];
  if (i < 0) return;
  const RegSpec& desc = RegTable()[i];
  const uint32_t merged = (shadow_[i] & ~byte_mask) | (value & byte_mask);
  shadow_[i] = merged;
  regs_[i] = (regs_[i] & ~desc.writable) | (merged & desc.writable);
  if (desc.on_write) (this->*desc.on_write)(merged);
}

void SimBoard::Kick() {
  work_.fetch_add(1, std::memory_order_seq_cst);
  engine_wake_.Ring();
}

void SimBoard::Quiesce() {
  // The engine copies only while it holds the map lock and rechecks the generations first, so
  // once this lock has been had no copy of a stopped job is in progress or will start.
  std::unique_lock<std::mutex> map_lock = map_.Lock();
}

void SimBoard::RecordError(const std::string& reason) {
  if (errors_ == 0) first_error_ = reason;
  ++errors_;
}

void SimBoard::OnStart(uint32_t v) {
  if (v & (1u << DMA_CH_INTEGRITY)) {
    if (ch0_count_ == kCh0Queue) {
      RecordError("channel 0: started while 16 earlier transfers were waiting");
    } else {
      ch0_queue_[(ch0_head_ + ch0_count_++) % kCh0Queue] = {regs_[kChAddr0], regs_[kChCtrl0]};
      Kick();
    }
  }
  if (v & (1u << DMA_CH_SG_DEST)) Arm(DMA_CH_SG_DEST);
  if (v & (1u << DMA_CH_SG_SOURCE)) Arm(DMA_CH_SG_SOURCE);
}

void SimBoard::OnIntCtrl(uint32_t v) { int_enabled_ = (v & INT_ENABLE) != 0; }

uint64_t SimBoard::RunTransfers(const Run& r, uint64_t now) const {
  double t = r.settled;
  if (r.active && now > r.start_ns) t += static_cast<double>(now - r.start_ns) * r.per_ns;
  return static_cast<uint64_t>(std::floor(t));
}

uint32_t SimBoard::ReadPerf0() {
  const uint64_t now = MonoNs();
  return static_cast<uint32_t>((RunTransfers(runs_[1], now) & PERF_FIELD_MASK) |
                               ((RunTransfers(runs_[2], now) & PERF_FIELD_MASK)
                                << PERF_FIELD_HIGH_SHIFT));
}

uint32_t SimBoard::ReadPerf1() {
  return static_cast<uint32_t>(RunTransfers(runs_[3], MonoNs()) & PERF_FIELD_MASK);
}

void SimBoard::OnPerfClear(uint32_t) {
  const uint64_t now = MonoNs();
  for (int ch = 1; ch <= 3; ++ch) {
    runs_[ch].settled = 0;
    runs_[ch].moved = 0;
    runs_[ch].start_ns = now;
  }
}

uint32_t SimBoard::ReadRunCtrl() {
  uint32_t v = 0;
  for (uint32_t ch = 1; ch <= 3; ++ch)
    if (runs_[ch].active) v |= 1u << ch;
  if (loop_.active) v |= RUN_BACKLOOP;
  return v;
}

void SimBoard::StopRun(int ch, uint64_t now) {
  Run& r = runs_[ch];
  if (!r.active) return;
  if (now > r.start_ns) r.settled += static_cast<double>(now - r.start_ns) * r.per_ns;
  r.active = false;
}

void SimBoard::SettleAndStop(uint64_t now) {
  for (int ch = 1; ch <= 3; ++ch) StopRun(ch, now);
  loop_ = Backloop();
  run_gen_.fetch_add(1, std::memory_order_seq_cst);
}

void SimBoard::OnRunCtrl(uint32_t v) {
  const uint64_t now = MonoNs();
  SettleAndStop(now);
  bool want[4] = {false, (v & RUN_WRITE) != 0, (v & RUN_READ) != 0, (v & (RUN_READ_2CH & ~RUN_READ)) != 0};
  for (uint32_t ch = 1; ch <= 3; ++ch) {
    if (!want[ch]) continue;
    const uint32_t addr = regs_[kChAddr0 + 2 * ch];
    const uint32_t ctrl = regs_[kChCtrl0 + 2 * ch];
    const uint32_t bytes = ctrl & kCountMask;
    const bool mem_write = ch == DMA_CH_PERF_WRITE;
    want[ch] = false;
    if ((ctrl & kFirstLast) != kFirstLast) {
      RecordError(Format("channel %u: control word 0x%08X lacks the first and last flags", ch, ctrl));
    } else if (((ctrl & CTRL_MEM_WRITE) != 0) != mem_write) {
      RecordError(Format("channel %u: control word 0x%08X has the wrong direction", ch, ctrl));
    } else if (bytes == 0) {
      RecordError(Format("channel %u: byte count 0", ch));
    } else {
      bool ok;
      {
        auto map_lock = map_.Lock();
        ok = map_.CheckLocked(addr, bytes,
                              mem_write ? wdc::DmaDir::kFromDevice : wdc::DmaDir::kToDevice);
      }
      if (!ok) {
        ++blocked_;
        RecordError(Format("channel %u: %u bytes at bus address 0x%08X are not mapped for the "
                           "board to %s", ch, bytes, addr, mem_write ? "write" : "read"));
      } else {
        want[ch] = true;
        Run& r = runs_[ch];
        r.mem_write = mem_write;
        r.addr = addr;
        r.bytes = bytes;
      }
    }
  }
  bool loop = false;
  if (v & RUN_BACKLOOP) {
    if ((v & RUN_BACKLOOP) != RUN_BACKLOOP)
      RecordError(Format("backloop: run control 0x%X starts only one of channels 4 and 5", v));
    else if (!armed_[0])
      RecordError("backloop: channel 4 not armed");
    else if (!armed_[1])
      RecordError("backloop: channel 5 not armed");
    else if (armed_total_[0] != armed_total_[1])
      RecordError(Format("backloop: source chain of %llu bytes, destination chain of %llu bytes",
                         static_cast<unsigned long long>(armed_total_[0]),
                         static_cast<unsigned long long>(armed_total_[1])));
    else
      loop = true;
  }
  // Full duplex: each direction shares its rate among the jobs that use it.
  const double writers = (want[1] ? 1 : 0) + (loop ? 1 : 0);
  const double readers = (want[2] ? 1 : 0) + (want[3] ? 1 : 0) + (loop ? 1 : 0);
  for (uint32_t ch = 1; ch <= 3; ++ch) {
    if (!want[ch]) continue;
    Run& r = runs_[ch];
    r.active = true;
    r.start_ns = now;
    r.per_ns = link_bytes_per_ns_ / (ch == 1 ? writers : readers) / r.bytes;
  }
  if (loop) {
    loop_.active = true;
    loop_.src = armed_[0];
    loop_.dst = armed_[1];
    loop_.total = armed_total_[0];
    loop_.start_ns = now;
    loop_.bytes_per_ns = link_bytes_per_ns_ / std::max(writers, readers);
    loop_.due_ns = now + static_cast<uint64_t>(static_cast<double>(loop_.total) / loop_.bytes_per_ns);
  }
  Quiesce();
  Kick();
}

void SimBoard::OnReset(uint32_t v) {
  if (v & 1) {
    reset_armed_ = true;
    return;
  }
  if (!reset_armed_) return;
  reset_armed_ = false;
  SettleAndStop(MonoNs());
  ch0_gen_.fetch_add(1, std::memory_order_seq_cst);
  ch0_count_ = 0;
  regs_[kIntCtrl] = 0;
  armed_[0] = armed_[1] = nullptr;
  armed_total_[0] = armed_total_[1] = 0;
  Quiesce();
}

void SimBoard::Arm(uint32_t ch) {
  const int slot = ch == DMA_CH_SG_SOURCE ? 0 : 1;
  armed_[slot] = nullptr;
  armed_total_[slot] = 0;
  const uint32_t addr = regs_[kChAddr0 + 2 * ch];
  const uint32_t ctrl = regs_[kChCtrl0 + 2 * ch];
  const uint32_t len = ctrl & kCountMask;
  if ((ctrl & CTRL_FLAGS) != kFirstLast) {
    RecordError(Format("channel %u: table control word 0x%08X is not one memory-read segment", ch, ctrl));
    return;
  }
  if (len == 0 || len % sizeof(DiagSgDescriptor) != 0) {
    RecordError(Format("channel %u: table length %u is not a positive multiple of 8", ch, len));
    return;
  }
  const uint32_t n = len / 8;
  std::vector<uint8_t> raw;
  auto segs = std::make_shared<std::vector<Segment>>();
  uint64_t total = 0;
  const wdc::DmaDir dir =
      ch == static_cast<uint32_t>(DMA_CH_SG_DEST) ? wdc::DmaDir::kFromDevice : wdc::DmaDir::kToDevice;
  {
    auto map_lock = map_.Lock();
    // The copy is bounded by the table's mapped length, checked before anything is allocated.
    if (!map_.CheckLocked(addr, len, wdc::DmaDir::kToDevice)) {
      ++blocked_;
      RecordError(Format("channel %u: descriptor table at bus address 0x%08X (%u bytes) is not "
                         "readable by the board", ch, addr, len));
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
      if (i == 0) expect |= CTRL_FIRST | (dir == wdc::DmaDir::kFromDevice ? uint32_t{CTRL_MEM_WRITE} : 0u);
      if (i == n - 1) expect |= CTRL_LAST;
      const uint32_t bytes = d_ctrl & kCountMask;
      if ((d_ctrl & CTRL_FLAGS) != expect) {
        RecordError(Format("channel %u: descriptor %u has flags 0x%08X, expected 0x%08X", ch, i,
                           d_ctrl & CTRL_FLAGS, expect));
        return;
      }
      if (bytes == 0) {
        RecordError(Format("channel %u: descriptor %u has byte count 0", ch, i));
        return;
      }
      if (!map_.CheckLocked(d_addr, bytes, dir)) {
        RecordError(Format("channel %u: descriptor %u (%u bytes at 0x%08X) is not mapped for the "
                           "board to %s", ch, i, bytes, d_addr,
                           dir == wdc::DmaDir::kFromDevice ? "write" : "read"));
        return;
      }
      segs->push_back({d_addr, bytes});
      total += bytes;
    }
  }
  armed_[slot] = std::move(segs);
  armed_total_[slot] = total;
}

// ---- DMA memory --------------------------------------------------------------------------

WdcStatus SimBoard::DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  return map_.AllocContig(bytes, dir, out);
}

WdcStatus SimBoard::DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  return map_.MapUser(host, bytes, dir, out);
}

void SimBoard::DmaUnmap(wdc::DmaMapping* mapping) { map_.Unmap(mapping); }

// The engine reaches host memory under the map lock and announces completions through atomic
// operations, which already order the bytes; the fences stand where a real backend maintains
// caches.
void SimBoard::DmaSyncForDevice(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}
void SimBoard::DmaSyncForCpu(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void SimBoard::InterruptAttach() { irq_.Attach(); }
bool SimBoard::InterruptWait() { return irq_.Wait(); }
void SimBoard::InterruptDetach() { irq_.Detach(); }

void SimBoard::Audit(std::vector<std::string>* findings) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ReadRunCtrl() != 0) {
    if (findings) findings->push_back("a DMA run still active");
    SettleAndStop(MonoNs());
    Quiesce();
  }
  if (blocked_ != 0 && findings)
    findings->push_back(Format("%llu DMA access%s blocked", static_cast<unsigned long long>(blocked_),
                               blocked_ == 1 ? "" : "es"));
  if (errors_ != 0 && findings)
    findings->push_back(Format("%llu DMA programming error%s (first: %s)",
                               static_cast<unsigned long long>(errors_), errors_ == 1 ? "" : "s",
                               first_error_.c_str()));
  blocked_ = 0;
  errors_ = 0;
  first_error_.clear();
}

// ---- The DMA engine ----------------------------------------------------------------------

void SimBoard::Complete(uint32_t status_bit, bool drop) {
  regs_[kIntCtrl] |= status_bit;
  if (int_enabled_ && !drop) irq_.Raise();
}

bool SimBoard::ServiceChannel0() {
  uint32_t addr, ctrl;
  uint64_t gen;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ch0_count_ == 0) return false;
    addr = ch0_queue_[ch0_head_].addr;
    ctrl = ch0_queue_[ch0_head_].ctrl;
    ch0_head_ = (ch0_head_ + 1) % kCh0Queue;
    --ch0_count_;
    gen = ch0_gen_.load(std::memory_order_seq_cst);
    const uint32_t f = ctrl & kCountMask;
    if ((ctrl & kFirstLast) != kFirstLast) {
      RecordError(Format("channel 0: control word 0x%08X lacks the first and last flags", ctrl));
      return true;
    }
    if (f == 0 || f > BAR0_BYTES) {
      RecordError(Format("channel 0: byte count %u", f));
      return true;
    }
  }
  const uint32_t f = ctrl & kCountMask;
  const bool mem_write = (ctrl & CTRL_MEM_WRITE) != 0;
  uint8_t buf[BAR0_BYTES];
  bool ok = false;
  int64_t target = static_cast<int64_t>(addr);
  if (mem_write) {
    target += settings_.dma_shift;
    Bar0Load(buf, f);
    auto map_lock = map_.Lock();
    if (ch0_gen_.load(std::memory_order_seq_cst) != gen) return true;
    ok = target >= 0 && map_.WriteLocked(static_cast<uint64_t>(target), buf, f);
  } else {
    {
      auto map_lock = map_.Lock();
      if (ch0_gen_.load(std::memory_order_seq_cst) != gen) return true;
      ok = map_.ReadLocked(addr, buf, f);
    }
    if (ok) Bar0Store(buf, f);
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (ch0_gen_.load(std::memory_order_seq_cst) != gen) return true;
  if (!ok) {
    ++blocked_;
    RecordError(Format("channel 0: %u bytes at bus address 0x%llX are not mapped for the board "
                       "to %s", f, static_cast<unsigned long long>(target),
                       mem_write ? "write" : "read"));
    return true;
  }
  const uint32_t words = (f + 7) / 8;
  uint32_t wc = regs_[kWordCount];
  wc = mem_write ? wc - words : wc + words;
  ++ch0_transfers_;
  if (settings_.wordcount_bad != 0 && ch0_transfers_ % settings_.wordcount_bad == 0) wc += 1;
  regs_[kWordCount] = wc;
  ++ch0_completions_;
  Complete(INT_CH0_DONE, Contains(settings_.irq_drop_ch0, ch0_completions_));
  return true;
}

SimBoard::Move SimBoard::MoveSegment(uint32_t addr, uint32_t bytes, bool mem_write, uint64_t gen) {
  const wdc::DmaDir dir = mem_write ? wdc::DmaDir::kFromDevice : wdc::DmaDir::kToDevice;
  for (uint64_t off = 0; off < bytes; off += kChunk) {
    const uint64_t n = std::min<uint64_t>(kChunk, bytes - off);
    auto map_lock = map_.Lock();
    if (run_gen_.load(std::memory_order_seq_cst) != gen) return Move::kAborted;
    // The whole segment must be reachable before the first byte of it moves.
    if (off == 0 && !map_.CheckLocked(addr, bytes, dir)) return Move::kBlocked;
    const bool ok = mem_write ? map_.WriteLocked(addr + off, pattern_.data(), n)
                              : map_.ReadLocked(addr + off, sink_.data(), n);
    if (!ok) return Move::kBlocked;
  }
  return Move::kOk;
}

SimBoard::Move SimBoard::MoveLoopChunk(const Backloop& plan, Cursor* s, Cursor* d, uint64_t bytes,
                                       uint64_t gen, uint64_t* blocked_at) {
  const std::vector<Segment>& src = *plan.src;
  const std::vector<Segment>& dst = *plan.dst;
  auto map_lock = map_.Lock();
  if (run_gen_.load(std::memory_order_seq_cst) != gen) return Move::kAborted;
  uint64_t got = 0;
  while (got < bytes) {
    const Segment& seg = src[s->seg];
    const uint64_t take = std::min<uint64_t>(bytes - got, seg.bytes - s->off);
    if (!map_.ReadLocked(seg.bus + s->off, bounce_.data() + got, take)) {
      *blocked_at = seg.bus + s->off;
      return Move::kBlocked;
    }
    got += take;
    s->off += take;
    if (s->off == seg.bytes) {
      ++s->seg;
      s->off = 0;
    }
  }
  uint64_t put = 0;
  while (put < bytes) {
    size_t target = d->seg;
    uint64_t take = std::min<uint64_t>(bytes - put, dst[d->seg].bytes - d->off);
    if (settings_.sg_swap && std::max(settings_.swap_i, settings_.swap_j) < dst.size() &&
        (d->seg == settings_.swap_i || d->seg == settings_.swap_j)) {
      // A crossed pair of address lines: the common length of the two pages lands swapped.
      const uint64_t common = std::min(dst[settings_.swap_i].bytes, dst[settings_.swap_j].bytes);
      if (d->off < common) {
        take = std::min(take, common - d->off);
        target = d->seg == settings_.swap_i ? settings_.swap_j : settings_.swap_i;
      }
    }
    if (!map_.WriteLocked(dst[target].bus + d->off, bounce_.data() + put, take)) {
      *blocked_at = dst[target].bus + d->off;
      return Move::kBlocked;
    }
    put += take;
    d->off += take;
    if (d->off == dst[d->seg].bytes) {
      ++d->seg;
      d->off = 0;
    }
  }
  return Move::kOk;
}

bool SimBoard::ServiceRuns(uint64_t* next_due) {
  struct Job {
    uint32_t ch, addr, bytes;
    bool mem_write;
    uint64_t count;
  };
  Job jobs[3];
  int njobs = 0;
  Backloop plan;
  uint64_t loop_bytes = 0;
  uint64_t gen;
  bool did = false;
  uint64_t now;
  {
    std::lock_guard<std::mutex> lock(mu_);
    // Read under the lock: a run started by a register write is stamped under it too, so no
    // run's start can lie after this moment.
    now = MonoNs();
    gen = run_gen_.load(std::memory_order_seq_cst);
    for (uint32_t ch = 1; ch <= 3; ++ch) {
      const Run& r = runs_[ch];
      if (!r.active) continue;
      *next_due = std::min(*next_due, now + kRunWakeNs);
      const uint64_t target = RunTransfers(r, now);
      // Bytes follow the clock lazily: a host slower than the link moves what it can.
      if (target > r.moved)
        jobs[njobs++] = {ch, r.addr, r.bytes, r.mem_write,
                         std::min<uint64_t>(target - r.moved, std::max<uint64_t>(1, kServiceBytes / r.bytes))};
    }
    if (loop_.active) {
      const double elapsed = static_cast<double>(now - loop_.start_ns);
      const uint64_t allowed = std::min<uint64_t>(
          loop_.total, static_cast<uint64_t>(elapsed * loop_.bytes_per_ns));
      if (loop_.done < allowed) {
        plan = loop_;
        loop_bytes = std::min(allowed - loop_.done, kServiceBytes);
      } else if (loop_.done == loop_.total && now >= loop_.due_ns) {
        loop_.active = false;
        loop_.src = loop_.dst = nullptr;
        ++backloop_completions_;
        Complete(INT_BACKLOOP_DONE, Contains(settings_.irq_drop_backloop, backloop_completions_));
        did = true;
      } else {
        const uint64_t lead = std::min(loop_.total, loop_.done + kLoopLeadBytes);
        const uint64_t at = loop_.start_ns +
                            static_cast<uint64_t>(static_cast<double>(lead) / loop_.bytes_per_ns);
        *next_due = std::min(*next_due, std::min(std::max(at, now + 1), loop_.due_ns));
      }
    }
  }
  for (int j = 0; j < njobs; ++j) {
    const Job& job = jobs[j];
    uint64_t moved = 0;
    Move m = Move::kOk;
    for (; moved < job.count; ++moved) {
      m = MoveSegment(job.addr, job.bytes, job.mem_write, gen);
      if (m != Move::kOk) break;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (run_gen_.load(std::memory_order_seq_cst) != gen) return true;
    runs_[job.ch].moved += moved;
    if (m == Move::kBlocked) {
      StopRun(static_cast<int>(job.ch), MonoNs());
      ++blocked_;
      RecordError(Format("channel %u: %u bytes at bus address 0x%08X are no longer mapped for "
                         "the board", job.ch, job.bytes, job.addr));
    }
    did = true;
  }
  if (loop_bytes > 0) {
    Cursor s = plan.s, d = plan.d;
    uint64_t done = 0, blocked_at = 0;
    Move m = Move::kOk;
    while (done < loop_bytes && m == Move::kOk) {
      const uint64_t n = std::min(kChunk, loop_bytes - done);
      m = MoveLoopChunk(plan, &s, &d, n, gen, &blocked_at);
      if (m == Move::kOk) done += n;
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (run_gen_.load(std::memory_order_seq_cst) != gen) return true;
    loop_.s = s;
    loop_.d = d;
    loop_.done += done;
    if (m == Move::kBlocked) {
      loop_ = Backloop();
      run_gen_.fetch_add(1, std::memory_order_seq_cst);
      ++blocked_;
      RecordError(Format("backloop: access at bus address 0x%llX blocked",
                         static_cast<unsigned long long>(blocked_at)));
    }
    did = true;
  }
  return did;
}

void SimBoard::EngineMain() {
  uint64_t last_work = MonoNs();
  for (;;) {
    const uint64_t seen = work_.load(std::memory_order_seq_cst);
    if (stop_.load(std::memory_order_seq_cst)) return;
    uint64_t next_due = Wake::kNoDeadline;
    bool did = ServiceChannel0();
    did = ServiceRuns(&next_due) || did;
    const uint64_t now = MonoNs();
    if (did) {
      last_work = now;
      continue;
    }
    // Spin for a while after the last job, so that the next start of a transfer stream is
    // seen without a system call on either side; a deadline close by is met by spinning too.
    uint64_t spin = now - last_work < platform::kSpinBudgetNs
                        ? platform::kSpinBudgetNs - (now - last_work) : 0;
    if (next_due != Wake::kNoDeadline && next_due > now && next_due - now < kNearDeadlineNs)
      spin = next_due - now;
    engine_wake_.WaitUntil(
        [&] {
          return work_.load(std::memory_order_seq_cst) != seen ||
                 stop_.load(std::memory_order_seq_cst);
        },
        spin, next_due);
  }
}

}  // namespace sim
