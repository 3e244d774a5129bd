// DMA performance test: channel 1 (memory write) and channels 2 and 3 (memory read) repeat one
// whole buffer each while their bits are set in DMA_RUN_CTRL; the board counts the completed
// transfers in 16-bit fields, and a one-second run turns a count into MByte/sec.
#include <cstdio>

#include "device/diag_device.h"
#include "diag/diag.h"

namespace {

constexpr uint32_t kRunMs = 1000;
constexpr double kBytesToMByte = 9.5367431640625e-07;  // 2^-20

// The run is taken to have lasted exactly kRunMs: the interval is not measured.
double Rate(uint32_t field, uint32_t bufSize) {
  // A 32-bit product, as the board's sizes keep it exact (65535 * 65536 at most).
  const uint32_t bytes = (field & PERF_FIELD_MASK) * bufSize;
  return static_cast<double>(bytes) * kBytesToMByte;
}

uint32_t LowField(uint32_t v) { return v & PERF_FIELD_MASK; }
uint32_t HighField(uint32_t v) { return (v >> PERF_FIELD_HIGH_SHIFT) & PERF_FIELD_MASK; }

// One measurement: the counters are read only after the run has been stopped.
uint32_t Run(WdcDeviceHandle hDev, uint32_t runValue) {
  uint32_t count0 = 0;
  WDC_WriteAddr32(hDev, AD_BAR1, PERF_COUNT0, 0);
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_RUN_CTRL, runValue);
  platform::SleepMs(kRunMs);
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_RUN_CTRL, RUN_STOP);
  WDC_ReadAddr32(hDev, AD_BAR1, PERF_COUNT0, &count0);
  return count0;
}

// PERF_COUNT1 is never cleared by the test: its count is whatever the board keeps there.
uint32_t ReadCount1(WdcDeviceHandle hDev) {
  uint32_t count1 = 0;
  WDC_ReadAddr32(hDev, AD_BAR1, PERF_COUNT1, &count1);
  return count1;
}

}  // namespace

int DIAG_DmaPerformanceTest(WdcDeviceHandle hDev, uint32_t bufSize) {
  int result = 0;
  void* hostWrite = nullptr;
  void* hostRead1 = nullptr;
  void* hostRead2 = nullptr;
  WdcDmaRecord* dmaWrite = nullptr;
  WdcDmaRecord* dmaRead1 = nullptr;
  WdcDmaRecord* dmaRead2 = nullptr;
  uint32_t count0 = 0;

  if (!DIAG_LockContigBuf(hDev, &hostWrite, 0, bufSize, &dmaWrite)) goto exit;
  if (!DIAG_LockContigBuf(hDev, &hostRead1, 1, bufSize, &dmaRead1)) goto exit;
  if (!DIAG_LockContigBuf(hDev, &hostRead2, 1, bufSize, &dmaRead2)) goto exit;

  // Programmed once; each channel runs only while its bit is set in DMA_RUN_CTRL.
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_ADDR(DMA_CH_PERF_WRITE),
                  static_cast<uint32_t>(dmaWrite->Page[0].pPhysicalAddr));
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_CTRL(DMA_CH_PERF_WRITE),
                  DIAG_CtrlWord(true, true, true, bufSize));
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_ADDR(DMA_CH_PERF_READ1),
                  static_cast<uint32_t>(dmaRead1->Page[0].pPhysicalAddr));
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_CTRL(DMA_CH_PERF_READ1),
                  DIAG_CtrlWord(true, false, true, bufSize));
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_ADDR(DMA_CH_PERF_READ2),
                  static_cast<uint32_t>(dmaRead2->Page[0].pPhysicalAddr));
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_CTRL(DMA_CH_PERF_READ2),
                  DIAG_CtrlWord(true, false, true, bufSize));

  printf("\nMemory write DMA performance testing...\n");
  count0 = Run(hDev, RUN_WRITE);
  printf("Memory write transfer rate is %f MByte/sec\n", Rate(LowField(count0), bufSize));

  printf("\nMemory read DMA performance testing...\n");
  // Written once, before the first read run; the later runs keep it.
  WDC_WriteAddr16(hDev, AD_BAR1, READ_CFG, READ_CFG_BULK);
  count0 = Run(hDev, RUN_READ);
  printf("Memory read transfer rate is %f MByte/sec\n", Rate(HighField(count0), bufSize));

  printf("\nMemory read DMA performance testing (2 read channels)...\n");
  count0 = Run(hDev, RUN_READ_2CH);
  printf("Channel 1 memory read transfer rate is %f MByte/sec\n",
         Rate(HighField(count0), bufSize));
  printf("Channel 2 memory read transfer rate is %f MByte/sec\n",
         Rate(LowField(ReadCount1(hDev)), bufSize));

  printf("\nMemory read/write DMA performance testing...\n");
  count0 = Run(hDev, RUN_READ_WRITE);
  printf("Memory write transfer rate is %f MByte/sec\n", Rate(LowField(count0), bufSize));
  printf("Memory read transfer rate is %f MByte/sec\n", Rate(HighField(count0), bufSize));

  printf("\nMemory read/write DMA performance testing (2 read channels)...\n");
  count0 = Run(hDev, RUN_READ_2CH_WRITE);
  printf("Memory write transfer rate is %f MByte/sec\n", Rate(LowField(count0), bufSize));
  printf("Channel 1 memory read transfer rate is %f MByte/sec\n",
         Rate(HighField(count0), bufSize));
  printf("Channel 2 memory read transfer rate is %f MByte/sec\n",
         Rate(LowField(ReadCount1(hDev)), bufSize));
  result = 1;

exit:
  if (dmaWrite) DIAG_UnlockBuf(dmaWrite);
  if (dmaRead1) DIAG_UnlockBuf(dmaRead1);
  if (dmaRead2) DIAG_UnlockBuf(dmaRead2);
  return result;
}
