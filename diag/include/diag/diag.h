// The four diagnostics. Each borrows the open device handle, owns everything else it creates and
// releases it before it returns, on every path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wdc/wdc_lib.h"

// Writes and reads back a counting pattern over BAR0 at each access width. Always 1.
int DIAG_Bar0MemoryTest(WdcDeviceHandle hDev);
// One pass of channel-0 transfers of every size from 4096 down to 1 at every one of 4096 start
// offsets; memWrite non-zero: the board writes host memory. 1 when the sweep ran to its end.
int DIAG_DmaIntegrityTest(WdcDeviceHandle hDev, int memWrite);
// Five one-second throughput runs of channels 1 to 3. 1 when all five were made.
int DIAG_DmaPerformanceTest(WdcDeviceHandle hDev, uint32_t bufSize);
// One scatter/gather backloop run of `size` pseudo-random bytes. 1 when both results printed.
int DIAG_SgBackloopTest(WdcDeviceHandle hDev, uint32_t size);

// ---- Parts shared with the unit tests and the benchmarks ------------------------------------

enum : uint32_t {
  DIAG_INTEGRITY_BUF_BYTES = 0x4000,     // the locked buffer
  DIAG_INTEGRITY_WINDOW_BYTES = 0x3000,  // the test window inside it, from a 4 KiB bus boundary
  DIAG_INTEGRITY_FIRST_OFFSET = 0x1000,  // window offset of the first transfer start
  DIAG_INTEGRITY_MAX_SIZE = 0x1000,      // largest transfer, also the number of start offsets
};

// The integrity pass with its sweep bounds as arguments: sizes firstSize down to lastSize
// (1 <= lastSize <= firstSize <= 4096) at start offsets 0x1000 .. 0x1000 + numOffsets - 1.
// DIAG_DmaIntegrityTest is this with 4096, 1, 4096; the unit tests drive smaller sweeps.
int DIAG_DmaIntegritySweep(WdcDeviceHandle hDev, int memWrite, uint32_t firstSize,
                           uint32_t lastSize, uint32_t numOffsets);

// Memory-write checks of one transfer of f bytes at window offset s of a 12 KiB window: bytes
// outside the target that are not 0xFF, and target bytes s + k that differ from k & 0xFF.
void DIAG_CheckWriteWindow(const uint8_t* window, uint32_t s, uint32_t f, uint32_t* corrupted,
                           uint32_t* mismatched);

// Number of positions at which a and b differ.
uint64_t DIAG_CountDiffs(const uint8_t* a, const uint8_t* b, size_t n);

// The backloop source byte for one draw r (0..32767) of the 15-bit generator: r * 255 / 32767
// rounded to the nearest integer, as the source rule's double arithmetic gives it.
uint8_t DIAG_SourceByte(uint32_t r);
// The next draw of the 15-bit generator from state *x (advanced by one step).
uint32_t DIAG_Rand15(uint32_t* x);
// Fills buf with size source bytes drawn from the generator seeded with seed.
void DIAG_FillSource(uint8_t* buf, uint32_t size, uint32_t seed);
