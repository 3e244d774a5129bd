// DMA buffer locking: the direction option, the failure line, and the refusal of records the
// controller's 32-bit address fields and 29-bit byte counts cannot describe.
#include <cstdio>

#include "device/diag_device.h"

namespace {

constexpr uint64_t kBusLimit = 0x100000000ull;  // first bus address the controller cannot reach

uint32_t OptionFromFlag(int deviceReads) {
  return deviceReads ? DMA_OPT_TO_DEVICE : DMA_OPT_FROM_DEVICE;
}

// Our own design decision: a record the controller cannot be given is refused here, once for
// every caller, instead of letting its low 32 address bits or its oversized count (which would
// spill into the flag bits) send DMA to the wrong memory. Returns the refusal status, 0 if fit.
WdcStatus CheckRecord(const WdcDmaRecord* pDma) {
  if (!pDma || pDma->dwPages == 0 || !pDma->Page) return WDC_STATUS_NO_PAGES;
  if (pDma->dwBytes >= CTRL_COUNT_LIMIT) return WDC_STATUS_LENGTH_TOO_LARGE;
  uint64_t total = 0;
  for (uint32_t i = 0; i < pDma->dwPages; ++i) {
    const WdcDmaPage& page = pDma->Page[i];
    if (page.pPhysicalAddr + page.dwBytes > kBusLimit || page.pPhysicalAddr >= kBusLimit)
      return WDC_STATUS_BUS_ADDR_ABOVE_4G;
    if (page.dwBytes >= CTRL_COUNT_LIMIT) return WDC_STATUS_LENGTH_TOO_LARGE;
    total += page.dwBytes;
  }
  if (total >= CTRL_COUNT_LIMIT) return WDC_STATUS_LENGTH_TOO_LARGE;
  return WDC_STATUS_SUCCESS;
}

// The status of the lock itself, or the refusal of what it delivered. A refused record is
// unlocked and the caller's variable emptied, so no path can use or release it again.
WdcStatus Vet(WdcStatus status, WdcDmaRecord** ppDma) {
  if (status != WDC_STATUS_SUCCESS) return status;
  WdcStatus refusal = CheckRecord(*ppDma);
  if (refusal != WDC_STATUS_SUCCESS) {
    if (*ppDma) WDC_DMABufUnlock(*ppDma);
    *ppDma = nullptr;
  }
  return refusal;
}

}  // namespace

int DIAG_LockContigBuf(WdcDeviceHandle hDev, void** ppBuf, int deviceReads, uint32_t size,
                       WdcDmaRecord** ppDma) {
  WdcStatus status = WDC_DMAContigBufLock(hDev, ppBuf, OptionFromFlag(deviceReads), size, ppDma);
  if (status == WDC_STATUS_SUCCESS) {
    status = Vet(status, ppDma);
    if (status != WDC_STATUS_SUCCESS) *ppBuf = nullptr;  // the buffer went with its record
  }
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed locking a Contiguous DMA buffer. Error 0x%lx - %s\n",
           static_cast<unsigned long>(status), Stat2Str(status));
    return 0;
  }
  return 1;
}

int DIAG_LockSgBuf(WdcDeviceHandle hDev, void* pBuf, int deviceReads, uint32_t size,
                   WdcDmaRecord** ppDma) {
  WdcStatus status = WDC_DMASGBufLock(hDev, pBuf, OptionFromFlag(deviceReads), size, ppDma);
  status = Vet(status, ppDma);
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed locking a Scatter/Gather DMA buffer. Error 0x%lx - %s\n",
           static_cast<unsigned long>(status), Stat2Str(status));
    return 0;
  }
  return 1;
}

void DIAG_UnlockBuf(WdcDmaRecord* pDma) {
  if (pDma) WDC_DMABufUnlock(pDma);
}
