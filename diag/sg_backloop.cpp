// Scatter/gather backloop test: pseudo-random bytes go from one scatter/gather buffer (channel 4,
// memory read) through the controller into another (channel 5, memory write) in one run that ends
// with one interrupt; then the buffers are compared and the rate printed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "device/diag_device.h"
#include "diag/diag.h"

namespace {

// The 15-bit generator: the classic linear congruential generator x = x * 214013 + 2531011
// (mod 2^32), r = bits 30..16 of x. Chosen because the C library's rand() has a 31-bit range on
// some platforms and the byte rule needs draws of exactly 0..32767 everywhere; this one gives
// them uniformly and is the same on every platform.
constexpr uint32_t kLcgMul = 214013;
constexpr uint32_t kLcgAdd = 2531011;
constexpr uint32_t kLanes = 8;  // interleaved streams for the fill; each jumps kLanes steps

constexpr double kMByte = 1048576.0;

}  // namespace

uint8_t DIAG_SourceByte(uint32_t r) {
  // r * 255 / 32767 rounded to the nearest (no r falls on a half) is (255 r + 16383) / 32767,
  // and for these numerators (below 2^23) that division is (n + (n >> 15) + 1) >> 15. No table
  // and no floating point: a byte of the fill costs a few integer operations, and a sanitizer
  // has no load to check.
  const uint32_t n = (r << 8) - r + 16383;
  return static_cast<uint8_t>((n + (n >> 15) + 1) >> 15);
}

uint32_t DIAG_Rand15(uint32_t* x) {
  *x = *x * kLcgMul + kLcgAdd;
  return (*x >> 16) & 0x7FFF;
}

void DIAG_FillSource(uint8_t* buf, uint32_t size, uint32_t seed) {
  // The single generator's sequence, produced by kLanes streams that each step kLanes draws at
  // once (x -> mul * x + add composed kLanes times), so the draws no longer wait on each other;
  // the kLanes bytes of a step are stored at once (one access to check under a sanitizer).
  uint32_t mul = 1;
  uint32_t add = 0;
  uint32_t lane[kLanes];
  uint32_t x = seed;
  for (uint32_t j = 0; j < kLanes; ++j) {
    x = x * kLcgMul + kLcgAdd;
    lane[j] = x;
    mul *= kLcgMul;
    add = add * kLcgMul + kLcgAdd;
  }
  uint32_t i = 0;
  for (; size - i >= kLanes; i += kLanes) {
    uint8_t bytes[kLanes];
    for (uint32_t j = 0; j < kLanes; ++j) {
      bytes[j] = DIAG_SourceByte((lane[j] >> 16) & 0x7FFF);
      lane[j] = lane[j] * mul + add;
    }
    std::memcpy(buf + i, bytes, kLanes);
  }
  for (uint32_t j = 0; i < size; ++i, ++j) buf[i] = DIAG_SourceByte((lane[j] >> 16) & 0x7FFF);
}

int DIAG_SgBackloopTest(WdcDeviceHandle hDev, uint32_t size) {
  // Everything the exit path releases is declared, empty, before the first jump to it.
  int result = 0;
  uint8_t* dst = nullptr;
  uint8_t* src = nullptr;
  WdcDmaRecord* dstDma = nullptr;
  WdcDmaRecord* srcDma = nullptr;
  WdcDmaRecord* dstTable = nullptr;
  WdcDmaRecord* srcTable = nullptr;
  DiagIntRegistration reg = {};
  int64_t start = 0;
  int64_t end = 0;
  int64_t frequency = 0;
  uint32_t mismatches = 0;
  double elapsed = 0;

  printf("\nScatter/Gather DMA backloop testing (buffers size is %f MByte)...\n",
         static_cast<double>(size) / kMByte);

  // Nothing is held yet, so there is nothing to release and no register to stop.
  dst = static_cast<uint8_t*>(malloc(size));
  if (!dst) return 0;

  src = static_cast<uint8_t*>(malloc(size));
  if (!src) goto fail;
  DIAG_FillSource(src, size, static_cast<uint32_t>(time(nullptr)));
  memset(dst, 0, size);

  if (!DIAG_LockSgBuf(hDev, dst, 0, size, &dstDma)) goto fail;
  if (!DIAG_LockSgBuf(hDev, src, 1, size, &srcDma)) goto fail;
  if (!DIAG_IntRegister(hDev, INT_BACKLOOP_DONE, &reg)) goto fail;

  WDC_WriteAddr32(hDev, AD_BAR1, RESET_CTRL, 1);
  WDC_WriteAddr32(hDev, AD_BAR1, RESET_CTRL, 0);
  WDC_WriteAddr32(hDev, AD_BAR1, INT_CTRL, INT_ENABLE);
  WDC_WriteAddr16(hDev, AD_BAR1, READ_CFG, READ_CFG_BULK);
  WDC_DMASyncCpu(srcDma);

  // The destination is armed first, so it is ready before the source starts to stream.
  if (!DIAG_ProgramSgChannel(hDev, DMA_CH_SG_DEST, dstDma, 1, &dstTable)) goto fail;
  if (!DIAG_ProgramSgChannel(hDev, DMA_CH_SG_SOURCE, srcDma, 0, &srcTable)) goto fail;

  platform::PerfCounter(&start);
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_RUN_CTRL, RUN_BACKLOOP);
  if (!DIAG_IntWait(&reg, DIAG_BACKLOOP_WAIT_MS)) goto fail;
  platform::PerfCounter(&end);
  platform::SleepMs(100);
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_RUN_CTRL, RUN_STOP);
  WDC_DMASyncIo(dstDma);

  mismatches = static_cast<uint32_t>(DIAG_CountDiffs(src, dst, size));
  platform::PerfFrequency(&frequency);
  elapsed = static_cast<double>(end - start) / static_cast<double>(frequency);
  printf("Number of data mismatches = %u\n", mismatches);
  printf("Backloop transfer rate is %f MByte/sec\n",
         static_cast<double>(size) / (elapsed * kMByte));
  result = 1;
  goto release;  // the run is already stopped

fail:
  // Stops a run that may have started, and is harmless when none did.
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_RUN_CTRL, RUN_STOP);
release:
  DIAG_IntRelease(hDev, &reg);
  if (srcTable) DIAG_UnlockBuf(srcTable);
  if (dstTable) DIAG_UnlockBuf(dstTable);
  if (srcDma) DIAG_UnlockBuf(srcDma);
  if (dstDma) DIAG_UnlockBuf(dstDma);
  free(dst);
  if (src) free(src);
  return result;
}
