// The test sequence. It owns the open library and the device handle for the whole run and lends
// the handle to each test; no test result stops the sequence.
#include "main/run.h"

#include <cstdio>
#include <cstring>

#include "regs/regs.h"
#include "wdc/wdc_lib.h"
#include "platform/platform.h"
#include "diag/diag.h"

namespace {

constexpr uint32_t kPerfBufferBytes = 0x10000;     // 64 KiB per performance-test buffer
constexpr uint32_t kBackloopBufferBytes = 0x3200000;  // 50 MiB per backloop buffer

void RunTests(WdcDeviceHandle hDev) {
  DIAG_Bar0MemoryTest(hDev);
  // The memory-read pass needs a memory-write pass that ran to its end.
  if (DIAG_DmaIntegrityTest(hDev, 1)) DIAG_DmaIntegrityTest(hDev, 0);
  DIAG_DmaPerformanceTest(hDev, kPerfBufferBytes);
  DIAG_SgBackloopTest(hDev, kBackloopBufferBytes);
}

}  // namespace

int DIAG_Run(void) {
  // Static: the scan result alone is over 2 KiB, and both records are zeroed in full anyway.
  static WdcPciScanResult scan;
  static WdcPciDeviceInfo info;
  WdcDeviceHandle hDev = nullptr;
  WdcStatus status = 0;

  printf("\n");
  printf("FPGA PCI-Express controller diagnostic utility.\n");

  status = WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT);
  if (status != WDC_STATUS_SUCCESS) {
    // Nothing is open: the library is not closed on this path.
    printf("Failed to initialize the WDC library. Error 0x%lx - %s\n",
           static_cast<unsigned long>(status), Stat2Str(status));
    return 0;
  }

  std::memset(&scan, 0, sizeof scan);
  status = WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan);
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed scanning the PCI bus. Error: 0x%lx - %s\n", static_cast<unsigned long>(status),
           Stat2Str(status));
    goto close_library;
  }
  if (scan.dwNumDevices == 0) {
    printf("No device (vendor ID 0x%lX, device ID 0x%lX) was found\n",
           static_cast<unsigned long>(BOARD_VENDOR_ID), static_cast<unsigned long>(BOARD_DEVICE_ID));
    goto close_library;
  }

  // The first match is the board under test; any others are ignored without a word.
  std::memset(&info, 0, sizeof info);
  info.pciSlot = scan.deviceSlot[0];
  status = WDC_PciGetDeviceInfo(&info);
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed retrieving the device's resources information. Error 0x%lx - %s\n",
           static_cast<unsigned long>(status), Stat2Str(status));
    goto close_library;
  }

  status = WDC_PciDeviceOpen(&hDev, &info, nullptr, nullptr, nullptr, nullptr);
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed opening a WDC device handle. Error 0x%lx - %s\n",
           static_cast<unsigned long>(status), Stat2Str(status));
    goto close_library;
  }

  RunTests(hDev);

  status = WDC_PciDeviceClose(hDev);
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed closing a WDC device handle (0x" PLATFORM_PTR_FMT "). Error 0x%lx - %s\n",
           PLATFORM_PTR_ARG(hDev), static_cast<unsigned long>(status), Stat2Str(status));
  }

close_library:
  status = WDC_DriverClose();
  if (status != WDC_STATUS_SUCCESS) {
    printf("Failed to uninit the WDC library. Error 0x%lx - %s\n",
           static_cast<unsigned long>(status), Stat2Str(status));
  }
  return 0;
}
