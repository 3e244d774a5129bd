#include "registers.h"

#include <algorithm>

#include "regs/regs.h"

namespace sim {
namespace {

struct RegSpec {
  uint32_t offset;
  uint32_t reset;
  uint32_t writable;     // bits a host write stores; the rest are read-only
  uint32_t read_clears;  // bits a read returns and then clears
  void (RegisterHooks::*on_write)(uint32_t written);  // after the store
  uint32_t (RegisterHooks::*on_read)();               // replaces the stored value when set
};

using H = RegisterHooks;
const RegSpec kTable[kRegCount] = {
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
    {DMA_START, 0, 0, 0, &H::OnStart, nullptr},
    // Reads show the runs that are going, not what was written.
    {DMA_RUN_CTRL, 0, 0, 0, &H::OnRunCtrl, &H::ReadRunCtrl},
    // Written: the enable. Read: the completion status, which the read clears.
    {INT_CTRL, 0, 0, INT_CH0_DONE | INT_BACKLOOP_DONE, &H::OnIntCtrl, nullptr},
    {PERF_COUNT0, 0, 0, 0, &H::OnPerfClear, &H::ReadPerf0},
    {PERF_COUNT1, 0, 0, 0, nullptr, &H::ReadPerf1},
    {READ_CFG, 0, 0xFFFF, 0, nullptr, nullptr},
    {RESET_CTRL, 0, 0x1, 0, &H::OnReset, nullptr},
};

// Register slot by 32-bit word of BAR1, -1 where there is none.
const int8_t* RegIndex() {
  static const auto* index = [] {
    auto* t = new int8_t[BAR1_BYTES / 4];
    std::fill(t, t + BAR1_BYTES / 4, int8_t{-1});
    for (int i = 0; i < kRegCount; ++i) t[kTable[i].offset / 4] = static_cast<int8_t>(i);
    return t;
  }();
  return index;
}

}  // namespace

RegisterBlock::RegisterBlock(RegisterHooks* hooks) : hooks_(hooks) { Reset(); }

void RegisterBlock::Reset() {
  for (int i = 0; i < kRegCount; ++i) regs_[i] = shadow_[i] = kTable[i].reset;
}

void RegisterBlock::Access(uint32_t offset, uint32_t width, bool write, uint64_t* value) {
  if (width == 8) {
    // The block is 32 bits wide: a 64-bit access is two accesses, low word first.
    if (write) {
      Write(offset, static_cast<uint32_t>(*value), ~0u);
      Write(offset + 4, static_cast<uint32_t>(*value >> 32), ~0u);
    } else {
      const uint64_t lo = Read(offset, ~0u);
      *value = lo | (uint64_t{Read(offset + 4, ~0u)} << 32);
    }
    return;
  }
  const uint32_t shift = (offset & 3) * 8;
  const uint32_t mask = (width == 4 ? ~0u : ((1u << (width * 8)) - 1)) << shift;
  if (write)
    Write(offset & ~3u, static_cast<uint32_t>(*value << shift), mask);
  else
    *value = (Read(offset & ~3u, mask) & mask) >> shift;
}

uint32_t RegisterBlock::Read(uint32_t offset, uint32_t byte_mask) {
  const int i = RegIndex()[offset / 4];
  if (i < 0) return 0;
  const RegSpec& desc = kTable[i];
  const uint32_t v = desc.on_read ? (hooks_->*desc.on_read)() : regs_[i];
  regs_[i] &= ~(desc.read_clears & byte_mask);
  return v;
}

void RegisterBlock::Write(uint32_t offset, uint32_t value, uint32_t byte_mask) {
  const int i = RegIndex()[offset / 4];
  if (i < 0) return;
  const RegSpec& desc = kTable[i];
  const uint32_t merged = (shadow_[i] & ~byte_mask) | (value & byte_mask);
  shadow_[i] = merged;
  regs_[i] = (regs_[i] & ~desc.writable) | (merged & desc.writable);
  if (desc.on_write) (hooks_->*desc.on_write)(merged);
}

}  // namespace sim
