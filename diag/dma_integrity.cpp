// DMA data integrity test: channel-0 transfers of every size at every start offset within a
// 4 KiB page, checked byte by byte, with guard bytes around the target and the word count.
//
// A pass is 16.7 million transfers, so the host work per transfer is kept to memsets and
// memcmp-first scans that count byte by byte only inside blocks that differ; in the memory-read
// pass the library calls are all that is left in the loops.
#include <cstdio>
#include <cstring>

#include "device/diag_device.h"
#include "diag/diag.h"

namespace {

constexpr uint32_t kPageMask = 0xFFF;
constexpr uint32_t kCountBlock = 256;  // bytes compared per memcmp before counting inside

struct Patterns {
  uint8_t counting[DIAG_INTEGRITY_MAX_SIZE];     // byte k = k & 0xFF
  uint8_t erased[DIAG_INTEGRITY_WINDOW_BYTES];   // all 0xFF
};

const Patterns& GetPatterns() {
  static const Patterns patterns = [] {
    Patterns p;
    for (uint32_t k = 0; k < DIAG_INTEGRITY_MAX_SIZE; ++k) p.counting[k] = static_cast<uint8_t>(k);
    std::memset(p.erased, 0xFF, sizeof p.erased);
    return p;
  }();
  return patterns;
}

// Counted in small steps so the compiler can vectorise it; only reached for blocks that differ.
uint32_t CountBlock(const uint8_t* a, const uint8_t* b, uint32_t n) {
  uint32_t count = 0;
  for (uint32_t i = 0; i < n; ++i) count += a[i] != b[i];
  return count;
}

uint32_t CountDiffs32(const uint8_t* a, const uint8_t* b, uint32_t n) {
  if (std::memcmp(a, b, n) == 0) return 0;
  uint32_t count = 0;
  uint32_t i = 0;
  for (; i + kCountBlock <= n; i += kCountBlock)
    if (std::memcmp(a + i, b + i, kCountBlock) != 0) count += CountBlock(a + i, b + i, kCountBlock);
  return count + CountBlock(a + i, b + i, n - i);
}

uint32_t WordCount(uint32_t f) { return (f + 7) >> 3; }

}  // namespace

void DIAG_CheckWriteWindow(const uint8_t* window, uint32_t s, uint32_t f, uint32_t* corrupted,
                           uint32_t* mismatched) {
  const Patterns& p = GetPatterns();
  const uint32_t end = s + f;
  *corrupted = CountDiffs32(window, p.erased, s) +
               CountDiffs32(window + end, p.erased, DIAG_INTEGRITY_WINDOW_BYTES - end);
  *mismatched = CountDiffs32(window + s, p.counting, f);
}

uint64_t DIAG_CountDiffs(const uint8_t* a, const uint8_t* b, size_t n) {
  constexpr size_t kChunk = 1u << 20;  // keeps each partial count within 32 bits
  uint64_t count = 0;
  for (size_t i = 0; i < n; i += kChunk) {
    const size_t len = n - i < kChunk ? n - i : kChunk;
    count += CountDiffs32(a + i, b + i, static_cast<uint32_t>(len));
  }
  return count;
}

int DIAG_DmaIntegrityTest(WdcDeviceHandle hDev, int memWrite) {
  return DIAG_DmaIntegritySweep(hDev, memWrite, DIAG_INTEGRITY_MAX_SIZE, 1,
                                DIAG_INTEGRITY_MAX_SIZE);
}

int DIAG_DmaIntegritySweep(WdcDeviceHandle hDev, int memWrite, uint32_t firstSize,
                           uint32_t lastSize, uint32_t numOffsets) {
  // Everything the exit path releases is declared, empty, before the first jump to it.
  int result = 0;
  // Our own design decision: the grand total is a 64-bit count, because a board that corrupts
  // every host byte can pass 2^32 - 1 errors in one pass and a 32-bit total would wrap to a
  // small or zero number.
  uint64_t total = 0;
  void* host = nullptr;
  WdcDmaRecord* dma = nullptr;
  DiagIntRegistration reg = {};
  const Patterns& patterns = GetPatterns();
  uint8_t* window = nullptr;
  uint32_t bus = 0;
  uint32_t pad = 0;
  uint32_t windowBus = 0;
  uint8_t readBack[DIAG_INTEGRITY_MAX_SIZE];  // the memory-read pass's copy of BAR0

  // Larger bounds would take transfers past the window's end.
  if (firstSize > DIAG_INTEGRITY_MAX_SIZE) firstSize = DIAG_INTEGRITY_MAX_SIZE;
  if (numOffsets > DIAG_INTEGRITY_MAX_SIZE) numOffsets = DIAG_INTEGRITY_MAX_SIZE;

  printf(memWrite ? "\nMemory write DMA transfers data integrity testing...\n"
                  : "\nMemory read DMA transfers data integrity testing...\n");
  printf("Press any to interrupt the test...\n");

  if (!DIAG_LockContigBuf(hDev, &host, !memWrite, DIAG_INTEGRITY_BUF_BYTES, &dma)) goto exit;
  if (!DIAG_IntRegister(hDev, INT_CH0_DONE, &reg)) goto exit;
  WDC_WriteAddr32(hDev, AD_BAR1, INT_CTRL, INT_ENABLE);

  // The window starts at the first 4 KiB bus boundary, so start offset s has the page offset
  // s & 0xFFF on the bus; it always fits: pad + 0x3000 <= 0x3FFF.
  bus = static_cast<uint32_t>(dma->Page[0].pPhysicalAddr);
  pad = (bus & kPageMask) ? (kPageMask + 1) - (bus & kPageMask) : 0;
  windowBus = bus + pad;
  window = static_cast<uint8_t*>(host) + pad;

  // The source is written once; every transfer resets only its destination.
  if (memWrite) {
    for (uint32_t i = 0; i < BAR0_BYTES; ++i)
      WDC_WriteAddr8(hDev, AD_BAR0, i, static_cast<uint8_t>(i));
  } else {
    // Window offset 0x1000 is page-aligned, so byte o & 0xFF is the counting pattern from 0.
    std::memcpy(window + DIAG_INTEGRITY_FIRST_OFFSET, patterns.counting, DIAG_INTEGRITY_MAX_SIZE);
  }

  for (uint32_t f = firstSize; f >= lastSize && f > 0; --f) {
    uint32_t sizeMismatches = 0;
    uint32_t corrupted = 0;
    uint32_t mismatched = 0;
    const uint32_t ctrl = DIAG_CtrlWord(true, memWrite != 0, true, f);
    const uint32_t countBefore = memWrite ? WordCount(f) : 0;
    const uint32_t countAfter = memWrite ? 0 : WordCount(f);

    printf("Testing for transfer size = %u...\n", f);
    for (uint32_t s = DIAG_INTEGRITY_FIRST_OFFSET; s < DIAG_INTEGRITY_FIRST_OFFSET + numOffsets;
         ++s) {
      uint32_t wordCount = 0;
      if (memWrite) {
        std::memset(window, 0xFF, DIAG_INTEGRITY_WINDOW_BYTES);
      } else {
        for (uint32_t o = 0; o < BAR0_BYTES; o += 4)
          WDC_WriteAddr32(hDev, AD_BAR0, o, 0xFFFFFFFFu);
      }
      WDC_DMASyncCpu(dma);
      WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_ADDR(DMA_CH_INTEGRITY), windowBus + s);
      WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_CTRL(DMA_CH_INTEGRITY), ctrl);
      WDC_WriteAddr32(hDev, AD_BAR1, DMA_WORD_COUNT, countBefore);
      WDC_WriteAddr32(hDev, AD_BAR1, DMA_START, 1u << DMA_CH_INTEGRITY);
      if (!DIAG_IntWait(&reg, DIAG_INTEGRITY_WAIT_MS)) goto exit;
      WDC_Sleep(100, WDC_SLEEP_BUSY);
      WDC_DMASyncIo(dma);

      if (memWrite) {
        uint32_t c = 0;
        uint32_t m = 0;
        DIAG_CheckWriteWindow(window, s, f, &c, &m);
        corrupted += c;
        mismatched += m;
      } else {
        // BAR0 is read byte by byte into a copy (a failed read leaves its 0), then compared
        // with the host bytes themselves: window bytes from 0x2000 on were never written by
        // the test.
        std::memset(readBack, 0, f);
        for (uint32_t k = 0; k < f; ++k) WDC_ReadAddr8(hDev, AD_BAR0, k, &readBack[k]);
        mismatched += CountDiffs32(readBack, window + s, f);
      }
      WDC_ReadAddr32(hDev, AD_BAR1, DMA_WORD_COUNT, &wordCount);
      if (wordCount != countAfter) ++sizeMismatches;

      // The key is left in the console input.
      if (platform::KeyHit()) {
        printf("   test has been interrupted by user\n");
        goto exit;
      }
    }
    printf("   Number of transfer size mismatches = %u\n", sizeMismatches);
    printf("   Number of corrupted memory bytes   = %u\n", corrupted);
    printf("   Number of mismatched data bytes    = %u\n", mismatched);
    total += static_cast<uint64_t>(sizeMismatches) + corrupted + mismatched;
  }
  printf("DMA transfers data integrity test's completed, total number of errors = " PLATFORM_U64_FMT
         "\n",
         total);
  result = 1;

exit:
  DIAG_IntRelease(hDev, &reg);
  DIAG_UnlockBuf(dma);
  return result;
}
