// The board's faults (FPGA_SIM's bar0-stuck, dma-shift, dma-stray, wordcount-bad, irq-drop,
// sg-swap and aer) as hooks of the healthy model. Each hook is called at one place and, while its
// fault is off, answers what a healthy board does, so the model itself has no fault branches. Fixed
// at construction: any thread may call them.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "regs/regs.h"
#include "dma_common.h"
#include "settings.h"

namespace sim {

enum class Completion { kChannel0, kBackloop };

// A memory request of the board's, as far as a link error's header needs it.
struct Request {
  uint64_t bus = 0;
  uint32_t bytes = 0;
  bool write = false;  // the board writes host memory
};

// A link error as the board's AER registers record it (see AerFault). `header`, when the
// error logs one, is the TLP header of the request the error concerns, in the Header Log's
// order: a memory read or write of up to 128 bytes at its bus address. The requester ID in it
// is 0: the board is not told its bus number.
struct LinkError {
  bool uncorrectable = false;
  uint32_t bit = 0;
  bool has_header = false;
  uint32_t header[4] = {};
};

class Faults {
 public:
  explicit Faults(const Settings& settings);

  // The value a BAR0 cell holds once `value` is stored at `offset` with `width` bytes: stuck
  // bits keep their level at every width, for host stores and channel 0 alike.
  uint64_t ApplyStuck(uint64_t value, uint32_t offset, uint32_t width) const {
    if (!has_stuck_) return value;
    uint64_t and_mask = 0, or_mask = 0;
    std::memcpy(&and_mask, stuck_and_ + offset, width);
    std::memcpy(&or_mask, stuck_or_ + offset, width);
    return (value & and_mask) | or_mask;
  }
  bool HasStuck() const { return has_stuck_; }
  // The bus address where the data of a channel-0 memory write to `addr` lands; below 0 when
  // the shift leaves the bus.
  int64_t ShiftWrite(uint64_t addr) const;
  // The bus address where the nth channel-0 transfer (from 1) moves its data instead of `addr`:
  // a stray transfer lands 1 MiB past it, outside the buffer it was given.
  uint64_t StrayAddress(uint64_t addr, uint64_t n) const {
    return dma_stray_ != 0 && n == dma_stray_ ? addr + kStrayOffset : addr;
  }
  static constexpr uint64_t kStrayOffset = 0x100000;
  // The DMA_WORD_COUNT that the nth channel-0 transfer (from 1) leaves instead of `count`.
  uint32_t CorruptWordCount(uint32_t count, uint64_t n) const;
  // Whether the nth completion (from 1) of `kind` raises no interrupt.
  bool DropCompletion(Completion kind, uint64_t n) const;
  // The link errors the nth completion (from 1) of `kind` records; `last` is the request
  // the completion ended with.
  std::vector<LinkError> LinkErrors(Completion kind, uint64_t n, const Request& last) const;
  // The destination page that receives the bytes at offset `off` of page `page` of the chain
  // `dst`, with *take cut so that one piece goes to one page.
  size_t SwapPages(const std::vector<Segment>& dst, size_t page, uint64_t off,
                   uint64_t* take) const;

 private:
  uint8_t stuck_and_[BAR0_BYTES];
  uint8_t stuck_or_[BAR0_BYTES];
  bool has_stuck_ = false;
  int32_t dma_shift_;
  uint32_t dma_stray_;
  uint32_t wordcount_bad_;
  std::vector<uint32_t> drop_ch0_, drop_backloop_;
  std::vector<AerFault> aer_;
  bool sg_swap_;
  uint32_t swap_i_, swap_j_;
};

}  // namespace sim
