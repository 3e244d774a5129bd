// Completion interrupts: the transfer list the library runs on each interrupt, the handler that
// signals the test's event, the bounded wait and the ordered tear-down.
#include <cstdio>
#include <cstring>

#include "device/diag_device.h"

void DIAG_IntHandler(void* data) {
  // Nothing but the signal: the handler runs on the library's thread and shares only the event.
  platform::EventSet(static_cast<platform::EventHandle>(data));
}

int DIAG_IntRegister(WdcDeviceHandle hDev, uint32_t statusMask, DiagIntRegistration* reg) {
  // Every byte but the address, the two command codes and the mask stays zero.
  std::memset(reg->trans, 0, sizeof reg->trans);
  reg->trans[0].dwAddr = hDev->addrSpace[AD_BAR1].dwKernelAddr + INT_CTRL;
  reg->trans[0].cmdTrans = WDC_TRANS_READ_DWORD;
  reg->trans[1].cmdTrans = WDC_TRANS_MASK;
  reg->trans[1].dwData = statusMask;

  // Auto-reset: a completion signalled before the wait is kept, and each wait consumes one.
  reg->hEvent = platform::EventCreate(false, false);
  if (!reg->hEvent) return 0;

  WdcStatus status = WDC_IntEnable(hDev, reg->trans, DIAG_INT_NUM_CMDS, 0, DIAG_IntHandler,
                                   reg->hEvent, hDev->hKernelPlugIn);
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed enabling interrupts. Error 0x%lx - %s\n", static_cast<unsigned long>(status),
           Stat2Str(status));
    return 0;  // the event stays for DIAG_IntRelease to close
  }
  return 1;
}

int DIAG_IntWait(DiagIntRegistration* reg, uint32_t timeoutMs) {
  if (platform::EventWait(reg->hEvent, timeoutMs) == platform::kWaitSignaled) return 1;
  printf("\ndevice interrupts waiting failure\n");
  return 0;
}

void DIAG_IntRelease(WdcDeviceHandle hDev, DiagIntRegistration* reg) {
  // The controller stops interrupting before the library stops listening, and the event is
  // closed only once the handler can no longer signal it.
  if (WDC_IntIsEnabled(hDev)) {
    WDC_WriteAddr32(hDev, AD_BAR1, INT_CTRL, INT_DISABLE);
    WDC_IntDisable(hDev);
  }
  if (reg->hEvent) {
    platform::EventClose(reg->hEvent);
    reg->hEvent = nullptr;
  }
}
