// The controller's address spaces, registers and control word. Code that programs the board
// uses these names, never literal offsets.
#pragma once

#include <cstdint>

// ---- Identity on the PCI bus ----------------------------------------------------------------
enum : uint32_t { BOARD_VENDOR_ID = 0x10EE, BOARD_DEVICE_ID = 0x5050 };

// ---- Address spaces ------------------------------------------------------------------------
enum : uint32_t {
  AD_BAR0 = 0,           // 4 KiB of board memory, reached by host accesses and DMA channel 0
  AD_BAR1 = 1,           // the DMA controller's register block
  BAR0_BYTES = 0x1000,   // size of the BAR0 memory window
};

// ---- BAR1 registers (byte offsets; 32-bit unless noted) ------------------------------------
enum : uint32_t {
  DMA_CH_ADDR_BASE = 0x000,  // DMA_CH_ADDR of channel n at 0x10 * n: segment bus address
  DMA_CH_CTRL_BASE = 0x008,  // DMA_CH_CTRL of channel n at 0x10 * n + 8: segment control word
  DMA_CH_STRIDE = 0x10,
  DMA_WORD_COUNT = 0x208,    // channel-0 length in 64-bit words; written before, read after
  DMA_START = 0x210,         // 1 << n: start channel 0, or arm scatter/gather channel 4 or 5
  DMA_RUN_CTRL = 0x214,      // continuous-run channel bits; 0 stops every run
  INT_CTRL = 0x218,          // write 1/0: interrupt enable; read: pending status, cleared by it
  PERF_COUNT0 = 0x220,       // bits 15..0 channel-1, 31..16 channel-2 transfers; write clears
  PERF_COUNT1 = 0x224,       // bits 15..0 channel-3 transfers
  READ_CFG = 0x228,          // 16-bit: read-side configuration for bulk reads
  RESET_CTRL = 0x230,        // 1 then 0: resets the DMA engine
  BAR1_BYTES = 0x1000,       // size of the register block
};

// DMA_CH_ADDR / DMA_CH_CTRL offset of channel n.
constexpr uint32_t DMA_CH_ADDR(uint32_t n) { return DMA_CH_ADDR_BASE + DMA_CH_STRIDE * n; }
constexpr uint32_t DMA_CH_CTRL(uint32_t n) { return DMA_CH_CTRL_BASE + DMA_CH_STRIDE * n; }

// ---- Channels --------------------------------------------------------------------------------
enum : uint32_t {
  DMA_CH_INTEGRITY = 0,   // single transfers between BAR0 and host memory
  DMA_CH_PERF_WRITE = 1,  // continuous memory write
  DMA_CH_PERF_READ1 = 2,  // continuous memory read ("Channel 1" of the read channels)
  DMA_CH_PERF_READ2 = 3,  // continuous memory read ("Channel 2")
  DMA_CH_SG_SOURCE = 4,   // scatter/gather memory read, backloop source
  DMA_CH_SG_DEST = 5,     // scatter/gather memory write, backloop destination
  DMA_CHANNELS = 6,
};

// ---- DMA_RUN_CTRL values ---------------------------------------------------------------------
enum : uint32_t {
  RUN_STOP = 0x0,
  RUN_WRITE = 0x2,             // channel 1
  RUN_READ = 0x4,              // channel 2
  RUN_READ_2CH = 0xC,          // channels 2 and 3
  RUN_READ_WRITE = 0x6,        // channels 1 and 2
  RUN_READ_2CH_WRITE = 0xE,    // channels 1, 2 and 3
  RUN_BACKLOOP = 0xC0,         // scatter/gather channels 4 and 5
};

// ---- INT_CTRL --------------------------------------------------------------------------------
enum : uint32_t {
  INT_ENABLE = 0x1,         // written: the controller may interrupt
  INT_DISABLE = 0x0,
  INT_CH0_DONE = 0x1,       // status: a channel-0 transfer has completed
  INT_BACKLOOP_DONE = 0x80, // status: the scatter/gather backloop has completed
};

// ---- PERF_COUNT fields -----------------------------------------------------------------------
enum : uint32_t { PERF_FIELD_MASK = 0xFFFF, PERF_FIELD_HIGH_SHIFT = 16 };

enum : uint16_t { READ_CFG_BULK = 3000 };

// ---- Control word ----------------------------------------------------------------------------
// Flags in bits 31..29; the byte count in bits 28..0 is OR-ed in unmasked, so a count must
// stay below CTRL_COUNT_LIMIT.
enum : uint32_t {
  CTRL_FIRST = 0x80000000,      // first segment of a transfer
  CTRL_MEM_WRITE = 0x40000000,  // the device writes host memory; clear: it reads host memory
  CTRL_LAST = 0x20000000,       // last segment of a transfer
  CTRL_FLAGS = 0xE0000000,
  CTRL_COUNT_LIMIT = 0x20000000,
};

// The control word of one segment.
constexpr uint32_t DIAG_CtrlWord(bool first, bool memWrite, bool last, uint32_t count) {
  return (first ? CTRL_FIRST : 0u) | (memWrite ? CTRL_MEM_WRITE : 0u) | (last ? CTRL_LAST : 0u) |
         count;
}

// ---- Scatter/gather descriptor (8 bytes, little-endian, in a table in host memory) -----------
struct DiagSgDescriptor {
  uint32_t dwAddr;  // low 32 bits of the page's bus address
  uint32_t dwCtrl;  // control word: flags and the page's byte length
};
static_assert(sizeof(DiagSgDescriptor) == 8, "a descriptor is 8 bytes");
