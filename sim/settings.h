// The virtual board's settings: the text of FPGA_SIM, comma-separated key=value items. The
// parser is pure (no board, no environment) so that it can be tested and fuzzed on its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wdc/backend.h"

namespace sim {

// A BAR0 memory cell whose bit always holds one level, at every access width and for DMA.
struct StuckBit {
  uint32_t offset = 0;  // byte offset in BAR0, 0..4095
  uint32_t bit = 0;     // 0..7
  uint32_t level = 0;   // 0 or 1
};

// A link error the board records in its AER registers (the served board's; the in-process
// board has none, and takes the item without effect), at the nth completion (from 1) of channel
// 0 or of the backloop, counted as irq-drop counts them. The data still arrive whole: the link
// retried, or the fault stands for a transaction the run did not depend on.
struct AerFault {
  bool backloop = false;
  uint32_t n = 0;
  bool uncorrectable = false;
  uint32_t bit = 0;          // of the correctable or the uncorrectable error status register
  bool logs_header = false;  // the error records its TLP's header in the Header Log
};

struct Settings {
  uint32_t boards = 1;
  std::vector<wdc::FailRule> fail_rules;
  std::vector<StuckBit> stuck_bits;
  bool sleep_enabled = true;
  uint32_t misalign = 0;      // contiguous buffers start this many bytes past a 4 KiB boundary
  bool high_bus = false;      // bus addresses above 4 GiB
  uint32_t link_gen = 2;      // 1..3
  uint32_t link_width = 4;    // 1, 2, 4, 8, 16
  uint32_t link_max_gen = 2;  // the link's capabilities (link-max): never below the link
  uint32_t link_max_width = 4;
  std::vector<AerFault> aer;
  std::vector<uint32_t> irq_drop_ch0;       // channel-0 completions (from 1) without interrupt
  std::vector<uint32_t> irq_drop_backloop;  // backloop completions (from 1) without interrupt
  int32_t dma_shift = 0;                    // channel-0 memory-write data lands this many bytes off
  uint32_t wordcount_bad = 0;  // every Nth channel-0 transfer leaves a wrong word count; 0: never
  uint32_t dma_stray = 0;      // channel-0 transfer N (from 1) moves its data 1 MiB off; 0: none
  bool sg_swap = false;        // destination pages swap_i and swap_j exchange their data
  uint32_t swap_i = 0;
  uint32_t swap_j = 0;
  // The board (from 1, in bus order) that has the faults above (bar0-stuck, irq-drop,
  // dma-shift, dma-stray, wordcount-bad, sg-swap); 0: every board has them. The library's
  // forced failures, the link and the bus map's settings stay the machine's.
  uint32_t fault_board = 0;
};

// Parses `text` (null or empty: the defaults). On a bad item returns false with *error naming
// the item and what is wrong with it; *out is then unspecified.
bool ParseSettings(const char* text, Settings* out, std::string* error);

// The settings of board `index` (from 0): those of the machine, without the board faults when
// fault-board names another board.
Settings BoardSettings(const Settings& machine, uint32_t index);

// The virtual boards `settings` (FPGA_SIM's text) describe, as the library's backend; null with
// *error naming the bad item. wdc::CreateBackend is this with FPGA_SIM.
std::unique_ptr<wdc::Backend> CreateSimBackend(const char* settings, std::string* error);

}  // namespace sim
