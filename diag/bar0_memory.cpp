// BAR0 slave memory test: a counting pattern at each access width, one verdict per width.
// The board is judged only by the values read back; access statuses are not examined.
#include <cstdio>

#include "regs/regs.h"
#include "platform/platform.h"
#include "diag/diag.h"

namespace {

// Item i lives at byte offset width * i; a mismatch is reported by item index, not offset.
void TestBytes(WdcDeviceHandle hDev) {
  printf("\nWriting the bytes array to BAR0 memory\n");
  for (uint32_t i = 0; i < BAR0_BYTES; ++i)
    WDC_WriteAddr8(hDev, AD_BAR0, i, static_cast<uint8_t>(i));
  printf("Reading of bytes array from BAR0 memory... ");
  for (uint32_t i = 0; i < BAR0_BYTES; ++i) {
    uint8_t v = 0;
    WDC_ReadAddr8(hDev, AD_BAR0, i, &v);
    if (v != static_cast<uint8_t>(i)) {
      printf("failed at address %u, value is %u\n", i, static_cast<unsigned>(v));
      return;
    }
  }
  printf("success\n");
}

void TestUint16(WdcDeviceHandle hDev) {
  const uint32_t items = BAR0_BYTES / 2;
  printf("\nWriting the uint16 array to BAR0 memory\n");
  for (uint32_t i = 0; i < items; ++i)
    WDC_WriteAddr16(hDev, AD_BAR0, 2ull * i, static_cast<uint16_t>(i));
  printf("Reading of uint16 array from BAR0 memory... ");
  for (uint32_t i = 0; i < items; ++i) {
    uint16_t v = 0;
    WDC_ReadAddr16(hDev, AD_BAR0, 2ull * i, &v);
    if (v != static_cast<uint16_t>(i)) {
      printf("failed at address %u, value is %u\n", i, static_cast<unsigned>(v));
      return;
    }
  }
  printf("success\n");
}

void TestUint32(WdcDeviceHandle hDev) {
  const uint32_t items = BAR0_BYTES / 4;
  printf("\nWriting the uint32 array to BAR0 memory\n");
  for (uint32_t i = 0; i < items; ++i) WDC_WriteAddr32(hDev, AD_BAR0, 4ull * i, i);
  printf("Reading of uint32 array from BAR0 memory... ");
  for (uint32_t i = 0; i < items; ++i) {
    uint32_t v = 0;
    WDC_ReadAddr32(hDev, AD_BAR0, 4ull * i, &v);
    if (v != i) {
      printf("failed at address %u, value is %u\n", i, v);
      return;
    }
  }
  printf("success\n");
}

void TestUint64(WdcDeviceHandle hDev) {
  const uint32_t items = BAR0_BYTES / 8;
  printf("\nWriting the uint64 array to BAR0 memory\n");
  for (uint32_t i = 0; i < items; ++i) WDC_WriteAddr64(hDev, AD_BAR0, 8ull * i, i);
  printf("Reading of uint64 array from BAR0 memory... ");
  for (uint32_t i = 0; i < items; ++i) {
    uint64_t v = 0;
    WDC_ReadAddr64(hDev, AD_BAR0, 8ull * i, &v);
    // Both halves count: a non-zero high half is a mismatch and is printed in full.
    if (v != static_cast<uint64_t>(i)) {
      printf("failed at address %u, value is " PLATFORM_U64_FMT "\n", i, v);
      return;
    }
  }
  printf("success\n");
}

}  // namespace

int DIAG_Bar0MemoryTest(WdcDeviceHandle hDev) {
  printf("\nBAR0 slave memory read/write testing:\n");
  // A failed width never stops the next one.
  TestBytes(hDev);
  TestUint16(hDev);
  TestUint32(hDev);
  TestUint64(hDev);
  return 1;
}
