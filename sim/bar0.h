// BAR0: the board's 4 KiB memory window, reached by host accesses of every width and by
// channel 0. The cells are 64-bit words read and written with relaxed atomic operations: the
// host may touch BAR0 while channel 0 copies, and neither takes a lock. The cells are the
// board's own, or memory its front provides (shared with a process that maps BAR0), and the
// front may move the board onto other memory between two of its clients.
#pragma once

#include <atomic>
#include <cstdint>

#include "regs/regs.h"
#include "faults.h"

namespace sim {

class Bar0 {
 public:
  // cells: BAR0_BYTES of 8-byte aligned memory that outlives the board, or null for its own.
  Bar0(const Faults& faults, uint8_t* cells);
  Bar0(const Bar0&) = delete;
  Bar0& operator=(const Bar0&) = delete;

  // offset is aligned to width (1, 2, 4 or 8) and the access lies inside the window.
  uint64_t Read(uint32_t offset, uint32_t width) const {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(Cells()) + offset;
    switch (width) {
      case 1: return __atomic_load_n(p, __ATOMIC_RELAXED);
      case 2: return __atomic_load_n(reinterpret_cast<const U16*>(p), __ATOMIC_RELAXED);
      case 4: return __atomic_load_n(reinterpret_cast<const U32*>(p), __ATOMIC_RELAXED);
      default: return __atomic_load_n(reinterpret_cast<const U64*>(p), __ATOMIC_RELAXED);
    }
  }
  void Write(uint32_t offset, uint32_t width, uint64_t value) {
    value = faults_.ApplyStuck(value, offset, width);
    uint8_t* p = reinterpret_cast<uint8_t*>(Cells()) + offset;
    switch (width) {
      case 1: __atomic_store_n(p, static_cast<uint8_t>(value), __ATOMIC_RELAXED); break;
      case 2:
        __atomic_store_n(reinterpret_cast<U16*>(p), static_cast<uint16_t>(value), __ATOMIC_RELAXED);
        break;
      case 4:
        __atomic_store_n(reinterpret_cast<U32*>(p), static_cast<uint32_t>(value), __ATOMIC_RELAXED);
        break;
      default: __atomic_store_n(reinterpret_cast<U64*>(p), value, __ATOMIC_RELAXED); break;
    }
  }

  // The cells as a window for the library's own loads and stores: only while no bit is stuck,
  // since a stuck bit must act on every store.
  uint8_t* Window() { return faults_.HasStuck() ? nullptr : reinterpret_cast<uint8_t*>(Cells()); }

  // Moves onto `cells` (as for the constructor; null: the board's own), which first get the
  // contents of the cells in use. No access may run meanwhile, and a window handed out before
  // still shows the old cells.
  void SwitchCells(uint8_t* cells);

  // Channel 0's side: the first `bytes` of the window, a whole word per atomic access.
  void Load(uint8_t* dst, uint32_t bytes) const;
  void Store(const uint8_t* src, uint32_t bytes);

 private:
  using U16 = uint16_t __attribute__((may_alias));
  using U32 = uint32_t __attribute__((may_alias));
  using U64 = uint64_t __attribute__((may_alias));

  uint64_t* Cells() const { return cells_.load(std::memory_order_relaxed); }

  const Faults& faults_;
  alignas(64) uint64_t own_[BAR0_BYTES / 8] = {};
  std::atomic<uint64_t*> cells_;
};

}  // namespace sim
