// Scatter/gather descriptor tables: one 8-byte descriptor per page, in page order, nothing
// between them. The chain's direction is carried once, by the first descriptor.
#include <cstring>

#include "device/diag_device.h"

int DIAG_ProgramSgChannel(WdcDeviceHandle hDev, uint32_t channel, const WdcDmaRecord* pSg,
                          int memWrite, WdcDmaRecord** ppTable) {
  // The lock routines refuse a record without pages, so n >= 1 here and n * 8 cannot overflow
  // (each page is at least one byte of a buffer below 0x20000000 bytes).
  const uint32_t n = pSg->dwPages;
  const uint32_t tableBytes = n * static_cast<uint32_t>(sizeof(DiagSgDescriptor));
  void* tableHost = nullptr;
  WdcDmaRecord* table = nullptr;

  // The board reads the table, whatever the direction of the data it describes.
  if (!DIAG_LockContigBuf(hDev, &tableHost, 1, tableBytes, &table)) return 0;
  *ppTable = table;

  // Built in a local descriptor and copied in, so the table holds exact little-endian
  // 32-bit words whatever the alignment of the host address.
  auto* out = static_cast<unsigned char*>(tableHost);
  for (uint32_t i = 0; i < n; ++i) {
    DiagSgDescriptor d;
    d.dwAddr = static_cast<uint32_t>(pSg->Page[i].pPhysicalAddr);
    d.dwCtrl = pSg->Page[i].dwBytes;
    if (i == 0) d.dwCtrl |= CTRL_FIRST | (memWrite ? CTRL_MEM_WRITE : 0u);
    if (i == n - 1) d.dwCtrl |= CTRL_LAST;
    std::memcpy(out + static_cast<size_t>(i) * sizeof d, &d, sizeof d);
  }

  // The table is complete before the channel learns of it, and handed to the device before the
  // start bit, because the board may read it from the DMA_START write on.
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_ADDR(channel),
                  static_cast<uint32_t>(table->Page[0].pPhysicalAddr));
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_CH_CTRL(channel),
                  DIAG_CtrlWord(true, false, true, tableBytes));
  WDC_DMASyncCpu(table);
  WDC_WriteAddr32(hDev, AD_BAR1, DMA_START, 1u << channel);
  return 1;
}
