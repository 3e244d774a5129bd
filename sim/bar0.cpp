#include "bar0.h"

#include <cstring>

namespace sim {

Bar0::Bar0(const Faults& faults, uint8_t* cells)
    : faults_(faults), cells_(cells ? reinterpret_cast<uint64_t*>(cells) : own_) {
  // A stuck bit holds its level from power-up on.
  for (uint32_t w = 0; w < BAR0_BYTES / 8; ++w) Write(w * 8, 8, 0);
}

void Bar0::SwitchCells(uint8_t* cells) {
  uint64_t* const next = cells ? reinterpret_cast<uint64_t*>(cells) : own_;
  uint64_t* const now = Cells();
  if (next == now) return;
  for (uint32_t w = 0; w < BAR0_BYTES / 8; ++w)
    __atomic_store_n(next + w, __atomic_load_n(now + w, __ATOMIC_RELAXED), __ATOMIC_RELAXED);
  cells_.store(next, std::memory_order_release);
}

void Bar0::Load(uint8_t* dst, uint32_t bytes) const {
  uint32_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    const uint64_t w = Read(i, 8);
    std::memcpy(dst + i, &w, 8);
  }
  for (; i < bytes; ++i) dst[i] = static_cast<uint8_t>(Read(i, 1));
}

void Bar0::Store(const uint8_t* src, uint32_t bytes) {
  uint32_t i = 0;
  for (; i + 8 <= bytes; i += 8) {
    uint64_t w;
    std::memcpy(&w, src + i, 8);
    Write(i, 8, w);
  }
  for (; i < bytes; ++i) Write(i, 1, src[i]);
}

}  // namespace sim
