// The program's own host work: the backloop fill and comparison of 50 MiB (goals: at most 100 ms
// and 15 ms) and the integrity test's per-transfer work in the memory-write pass (a 12 KiB fill
// with 0xFF and the guard and data scans; 16.7M of them must fit in well under 60 s).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "device/diag_device.h"
#include "regs/regs.h"
#include "wdc/wdc_lib.h"
#include "diag/diag.h"

namespace {

constexpr uint32_t kBackloopBytes = 0x3200000;

void BM_BackloopFill(benchmark::State& state) {
  std::vector<uint8_t> src(kBackloopBytes);
  uint32_t seed = 1;
  for (auto _ : state) {
    DIAG_FillSource(src.data(), kBackloopBytes, seed++);
    benchmark::DoNotOptimize(src.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t{kBackloopBytes});
}
BENCHMARK(BM_BackloopFill)->Unit(benchmark::kMillisecond);

// The normal case: the board delivered every byte.
void BM_BackloopCompareEqual(benchmark::State& state) {
  std::vector<uint8_t> src(kBackloopBytes), dst;
  DIAG_FillSource(src.data(), kBackloopBytes, 7);
  dst = src;
  for (auto _ : state) benchmark::DoNotOptimize(DIAG_CountDiffs(src.data(), dst.data(), kBackloopBytes));
  state.SetBytesProcessed(state.iterations() * int64_t{kBackloopBytes});
}
BENCHMARK(BM_BackloopCompareEqual)->Unit(benchmark::kMillisecond);

// The worst case: a board that left the destination zero, so nearly every block differs.
void BM_BackloopCompareAllDiffer(benchmark::State& state) {
  std::vector<uint8_t> src(kBackloopBytes), dst(kBackloopBytes, 0);
  DIAG_FillSource(src.data(), kBackloopBytes, 7);
  for (auto _ : state) benchmark::DoNotOptimize(DIAG_CountDiffs(src.data(), dst.data(), kBackloopBytes));
  state.SetBytesProcessed(state.iterations() * int64_t{kBackloopBytes});
}
BENCHMARK(BM_BackloopCompareAllDiffer)->Unit(benchmark::kMillisecond);

// One memory-write transfer's host work on a healthy board: the window is erased, the "board"
// puts the counting pattern at the target, and the window is scanned. Argument: the size f.
void BM_IntegrityWriteTransferHostWork(benchmark::State& state) {
  const uint32_t f = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> buf(DIAG_INTEGRITY_BUF_BYTES);
  uint8_t pattern[DIAG_INTEGRITY_MAX_SIZE];
  for (uint32_t k = 0; k < DIAG_INTEGRITY_MAX_SIZE; ++k) pattern[k] = static_cast<uint8_t>(k);
  uint8_t* window = buf.data();
  uint32_t s = DIAG_INTEGRITY_FIRST_OFFSET;
  for (auto _ : state) {
    std::memset(window, 0xFF, DIAG_INTEGRITY_WINDOW_BYTES);
    std::memcpy(window + s, pattern, f);
    benchmark::ClobberMemory();
    uint32_t corrupted = 0, mismatched = 0;
    DIAG_CheckWriteWindow(window, s, f, &corrupted, &mismatched);
    benchmark::DoNotOptimize(corrupted + mismatched);
    s = s == 0x1FFF ? DIAG_INTEGRITY_FIRST_OFFSET : s + 1;
  }
}
BENCHMARK(BM_IntegrityWriteTransferHostWork)->Arg(1)->Arg(2048)->Arg(4096);

// The same scan on a board that zeroes the whole window: every byte is counted.
void BM_IntegrityWriteTransferAllWrong(benchmark::State& state) {
  std::vector<uint8_t> buf(DIAG_INTEGRITY_BUF_BYTES);
  for (auto _ : state) {
    std::memset(buf.data(), 0xFF, DIAG_INTEGRITY_WINDOW_BYTES);
    std::memset(buf.data(), 0, DIAG_INTEGRITY_WINDOW_BYTES);
    benchmark::ClobberMemory();
    uint32_t corrupted = 0, mismatched = 0;
    DIAG_CheckWriteWindow(buf.data(), 0x1800, 2048, &corrupted, &mismatched);
    benchmark::DoNotOptimize(corrupted + mismatched);
  }
}
BENCHMARK(BM_IntegrityWriteTransferAllWrong);

// The backloop's set-up on the virtual board: both 50 MiB buffers locked for scatter/gather
// and both descriptor tables built and armed (goal: at most 20 ms), then everything unlocked
// (outside the timing).
void BM_BackloopLockAndTables(benchmark::State& state) {
  static WdcPciScanResult scan;
  static WdcPciDeviceInfo info;
  WdcDeviceHandle hDev = nullptr;
  if (WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT) != WDC_STATUS_SUCCESS ||
      WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan) != WDC_STATUS_SUCCESS ||
      scan.dwNumDevices == 0) {
    state.SkipWithError("no virtual board");
    return;
  }
  info.pciSlot = scan.deviceSlot[0];
  WDC_PciGetDeviceInfo(&info);
  WDC_PciDeviceOpen(&hDev, &info, nullptr, nullptr, nullptr, nullptr);
  std::vector<uint8_t> src(kBackloopBytes), dst(kBackloopBytes);
  for (auto _ : state) {
    WdcDmaRecord *srcDma = nullptr, *dstDma = nullptr, *srcTable = nullptr, *dstTable = nullptr;
    DIAG_LockSgBuf(hDev, dst.data(), 0, kBackloopBytes, &dstDma);
    DIAG_LockSgBuf(hDev, src.data(), 1, kBackloopBytes, &srcDma);
    DIAG_ProgramSgChannel(hDev, DMA_CH_SG_DEST, dstDma, 1, &dstTable);
    DIAG_ProgramSgChannel(hDev, DMA_CH_SG_SOURCE, srcDma, 0, &srcTable);
    state.PauseTiming();
    DIAG_UnlockBuf(srcTable);
    DIAG_UnlockBuf(dstTable);
    DIAG_UnlockBuf(srcDma);
    DIAG_UnlockBuf(dstDma);
    state.ResumeTiming();
  }
  WDC_PciDeviceClose(hDev);
  WDC_DriverClose();
}
BENCHMARK(BM_BackloopLockAndTables)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
