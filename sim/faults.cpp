#include "faults.h"

#include <algorithm>

namespace sim {

Faults::Faults(const Settings& settings)
    : dma_shift_(settings.dma_shift),
      dma_stray_(settings.dma_stray),
      wordcount_bad_(settings.wordcount_bad),
      drop_ch0_(settings.irq_drop_ch0),
      drop_backloop_(settings.irq_drop_backloop),
      aer_(settings.aer),
      sg_swap_(settings.sg_swap),
      swap_i_(settings.swap_i),
      swap_j_(settings.swap_j) {
  std::memset(stuck_and_, 0xFF, sizeof stuck_and_);
  std::memset(stuck_or_, 0, sizeof stuck_or_);
  for (const StuckBit& s : settings.stuck_bits) {
    if (s.offset >= BAR0_BYTES || s.bit > 7) continue;
    has_stuck_ = true;
    if (s.level)
      stuck_or_[s.offset] |= static_cast<uint8_t>(1u << s.bit);
    else
      stuck_and_[s.offset] &= static_cast<uint8_t>(~(1u << s.bit));
  }
}

int64_t Faults::ShiftWrite(uint64_t addr) const { return static_cast<int64_t>(addr) + dma_shift_; }

uint32_t Faults::CorruptWordCount(uint32_t count, uint64_t n) const {
  return wordcount_bad_ != 0 && n % wordcount_bad_ == 0 ? count + 1 : count;
}

bool Faults::DropCompletion(Completion kind, uint64_t n) const {
  const std::vector<uint32_t>& list = kind == Completion::kChannel0 ? drop_ch0_ : drop_backloop_;
  return std::find(list.begin(), list.end(), n) != list.end();
}

std::vector<LinkError> Faults::LinkErrors(Completion kind, uint64_t n, const Request& last) const {
  std::vector<LinkError> errors;
  for (const AerFault& f : aer_) {
    if (f.backloop != (kind == Completion::kBackloop) || f.n != n) continue;
    LinkError e;
    e.uncorrectable = f.uncorrectable;
    e.bit = f.bit;
    e.has_header = f.logs_header;
    if (e.has_header) {
      // Fmt: a 3-DW header below 4 GiB, else 4 DWs; with data for a write. Type 0: memory.
      const bool wide = last.bus > UINT32_MAX;
      const uint32_t dws = (std::min<uint32_t>(last.bytes, 128) + 3) / 4;
      e.header[0] = (last.write ? 2u << 29 : 0u) | (wide ? 1u << 29 : 0u) | (dws & 0x3ff);
      e.header[1] = (dws > 1 ? 0xf0u : 0u) | 0x0fu;  // requester 0, tag 0, the byte enables
      e.header[2] =
          wide ? static_cast<uint32_t>(last.bus >> 32) : static_cast<uint32_t>(last.bus) & ~3u;
      e.header[3] = wide ? static_cast<uint32_t>(last.bus) & ~3u : 0u;
    }
    errors.push_back(e);
  }
  return errors;
}

size_t Faults::SwapPages(const std::vector<Segment>& dst, size_t page, uint64_t off,
                         uint64_t* take) const {
  if (!sg_swap_ || std::max(swap_i_, swap_j_) >= dst.size() || (page != swap_i_ && page != swap_j_))
    return page;
  // A crossed pair of address lines: the common length of the two pages lands swapped, the
  // rest of the longer one where it belongs.
  const uint64_t common = std::min(dst[swap_i_].bytes, dst[swap_j_].bytes);
  if (off >= common) return page;
  *take = std::min(*take, common - off);
  return page == swap_i_ ? swap_j_ : swap_i_;
}

}  // namespace sim
