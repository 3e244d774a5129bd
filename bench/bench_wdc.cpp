// The library's BAR access through the board's mapped window, against a raw inline volatile
// access to plain memory and against the floor: an out-of-line call that makes the same
// volatile access (every library access is one call). The goal is at most 2 times the floor.
// bench_wdc runs over the virtual board's window; bench_wdc_vfio over the VFIO backend's (its
// mmap of BAR0 through the suite's model of the kernel, with the virtual board behind it).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "opaque_access.h"
#include "regs/regs.h"
#include "wdc/wdc_lib.h"

namespace {

WdcDeviceHandle g_handle = nullptr;
alignas(64) uint8_t g_raw[BAR0_BYTES];

// Walks the window so that no access can be folded into the previous one.
inline uint64_t Next(uint64_t offset, uint64_t step) { return (offset + step) & (BAR0_BYTES - 1); }

void BM_RawVolatileRead32(benchmark::State& state) {
  uint64_t offset = 0;
  for (auto _ : state) {
    uint32_t value = *reinterpret_cast<volatile uint32_t*>(g_raw + offset);
    benchmark::DoNotOptimize(value);
    offset = Next(offset, 4);
  }
}

void BM_RawVolatileWrite32(benchmark::State& state) {
  uint64_t offset = 0;
  uint32_t value = 0;
  for (auto _ : state) {
    *reinterpret_cast<volatile uint32_t*>(g_raw + offset) = value++;
    offset = Next(offset, 4);
  }
}

void BM_RawVolatileRead8(benchmark::State& state) {
  uint64_t offset = 0;
  for (auto _ : state) {
    uint8_t value = *reinterpret_cast<volatile uint8_t*>(g_raw + offset);
    benchmark::DoNotOptimize(value);
    offset = Next(offset, 1);
  }
}

void BM_RawVolatileWrite8(benchmark::State& state) {
  uint64_t offset = 0;
  uint8_t value = 0;
  for (auto _ : state) {
    *reinterpret_cast<volatile uint8_t*>(g_raw + offset) = value++;
    offset = Next(offset, 1);
  }
}

void BM_OpaqueCallRead32(benchmark::State& state) {
  uint64_t offset = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(OpaqueRead32(g_raw, offset));
    offset = Next(offset, 4);
  }
}

void BM_OpaqueCallWrite32(benchmark::State& state) {
  uint64_t offset = 0;
  uint32_t value = 0;
  for (auto _ : state) {
    OpaqueWrite32(g_raw, offset, value++);
    offset = Next(offset, 4);
  }
}

void BM_OpaqueCallRead8(benchmark::State& state) {
  uint64_t offset = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(OpaqueRead8(g_raw, offset));
    offset = Next(offset, 1);
  }
}

void BM_OpaqueCallWrite8(benchmark::State& state) {
  uint64_t offset = 0;
  uint8_t value = 0;
  for (auto _ : state) {
    OpaqueWrite8(g_raw, offset, value++);
    offset = Next(offset, 1);
  }
}

void BM_WdcReadAddr32(benchmark::State& state) {
  uint64_t offset = 0;
  for (auto _ : state) {
    uint32_t value = 0;
    benchmark::DoNotOptimize(WDC_ReadAddr32(g_handle, AD_BAR0, offset, &value));
    benchmark::DoNotOptimize(value);
    offset = Next(offset, 4);
  }
}

void BM_WdcWriteAddr32(benchmark::State& state) {
  uint64_t offset = 0;
  uint32_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(WDC_WriteAddr32(g_handle, AD_BAR0, offset, value++));
    offset = Next(offset, 4);
  }
}

void BM_WdcReadAddr8(benchmark::State& state) {
  uint64_t offset = 0;
  for (auto _ : state) {
    uint8_t value = 0;
    benchmark::DoNotOptimize(WDC_ReadAddr8(g_handle, AD_BAR0, offset, &value));
    benchmark::DoNotOptimize(value);
    offset = Next(offset, 1);
  }
}

void BM_WdcWriteAddr8(benchmark::State& state) {
  uint64_t offset = 0;
  uint8_t value = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(WDC_WriteAddr8(g_handle, AD_BAR0, offset, value++));
    offset = Next(offset, 1);
  }
}

BENCHMARK(BM_RawVolatileRead32);
BENCHMARK(BM_OpaqueCallRead32);
BENCHMARK(BM_WdcReadAddr32);
BENCHMARK(BM_RawVolatileWrite32);
BENCHMARK(BM_OpaqueCallWrite32);
BENCHMARK(BM_WdcWriteAddr32);
BENCHMARK(BM_RawVolatileRead8);
BENCHMARK(BM_OpaqueCallRead8);
BENCHMARK(BM_WdcReadAddr8);
BENCHMARK(BM_RawVolatileWrite8);
BENCHMARK(BM_OpaqueCallWrite8);
BENCHMARK(BM_WdcWriteAddr8);

// The first board of the scan, opened as the utility opens it.
bool OpenBoard() {
  WdcStatus status = WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT);
  if (status != WDC_STATUS_SUCCESS) {
    std::fprintf(stderr, "WDC_DriverOpen: 0x%x %s\n", status, Stat2Str(status));
    return false;
  }
  WdcPciScanResult scan{};
  status = WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan);
  if (status != WDC_STATUS_SUCCESS || scan.dwNumDevices == 0) {
    std::fprintf(stderr, "no board: 0x%x %s\n", status, Stat2Str(status));
    return false;
  }
  WdcPciDeviceInfo info{};
  info.pciSlot = scan.deviceSlot[0];
  status = WDC_PciGetDeviceInfo(&info);
  if (status == WDC_STATUS_SUCCESS)
    status = WDC_PciDeviceOpen(&g_handle, &info, nullptr, nullptr, nullptr, nullptr);
  if (status != WDC_STATUS_SUCCESS) {
    std::fprintf(stderr, "device open: 0x%x %s\n", status, Stat2Str(status));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!OpenBoard()) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  WDC_PciDeviceClose(g_handle);
  const WdcStatus status = WDC_DriverClose();
  if (status != WDC_STATUS_SUCCESS) {
    std::fprintf(stderr, "WDC_DriverClose: 0x%x %s\n", status, Stat2Str(status));
    return 1;
  }
  return 0;
}
