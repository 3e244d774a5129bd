// The integrity pass's pace on the virtual board, through the library, as the utility runs it:
// a slice of the sweep (the largest sizes, every start offset) timed in real time and projected
// onto the whole pass of 16,777,216 transfers. With the 100 us pause the pass can do at most
// 10,000 transfers a second (goal: at least 98% of that); with pause=off the memory-write pass
// should take at most 60 s and the memory-read pass at most 120 s.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "diag/diag.h"
#include "regs/regs.h"
#include "wdc/wdc_lib.h"

namespace {

constexpr double kPassTransfers = 4096.0 * 4096.0;

// The library opened with FPGA_SIM = `settings` and the first board opened; closed again after.
class Board {
 public:
  explicit Board(const char* settings) {
    setenv("FPGA_SIM", settings, 1);
    WdcPciScanResult scan{};
    WdcPciDeviceInfo info{};
    if (WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT) != WDC_STATUS_SUCCESS ||
        WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan) != WDC_STATUS_SUCCESS ||
        scan.dwNumDevices == 0)
      return;
    info.pciSlot = scan.deviceSlot[0];
    if (WDC_PciGetDeviceInfo(&info) != WDC_STATUS_SUCCESS ||
        WDC_PciDeviceOpen(&handle_, &info, nullptr, nullptr, nullptr, nullptr) !=
            WDC_STATUS_SUCCESS)
      handle_ = nullptr;
  }
  ~Board() {
    if (handle_) WDC_PciDeviceClose(handle_);
    WDC_DriverClose();
  }
  WdcDeviceHandle handle() const { return handle_; }

 private:
  WdcDeviceHandle handle_ = nullptr;
};

// Runs `sizes` sizes of one pass from 4096 down, with the pass's lines sent to /dev/null.
bool RunSlice(WdcDeviceHandle h, int mem_write, uint32_t sizes) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  const int done = DIAG_DmaIntegritySweep(h, mem_write, 4096, 4096 - sizes + 1, 4096);
  std::fflush(stdout);
  dup2(saved, 1);
  close(null);
  close(saved);
  return done == 1;
}

// Args: memory write (1) or read (0), pause on (1) or off (0), sizes in the slice.
void BM_IntegrityPass(benchmark::State& state) {
  const int mem_write = static_cast<int>(state.range(0));
  const bool pause = state.range(1) != 0;
  const uint32_t sizes = static_cast<uint32_t>(state.range(2));
  Board board(pause ? "" : "pause=off");
  if (!board.handle()) {
    state.SkipWithError("no board");
    return;
  }
  for (auto _ : state) {
    if (!RunSlice(board.handle(), mem_write, sizes)) {
      state.SkipWithError("the slice did not run to its end");
      return;
    }
  }
  const double transfers = 4096.0 * sizes * static_cast<double>(state.iterations());
  state.counters["transfers_per_s"] = benchmark::Counter(transfers, benchmark::Counter::kIsRate);
  // Seconds a whole pass takes at this pace: the time per pass-worth of transfers.
  state.counters["pass_s"] = benchmark::Counter(
      transfers / kPassTransfers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (pause)
    state.counters["share_of_pause_limit"] =
        benchmark::Counter(transfers / 10000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IntegrityPass)
    ->ArgNames({"write", "pause", "sizes"})
    ->Args({1, 1, 2})
    ->Args({1, 0, 32})
    ->Args({0, 0, 8})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
