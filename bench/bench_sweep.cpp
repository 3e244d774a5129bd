// The integrity pass's pace on the virtual board, through the library, as the utility runs it:
// a sample of the sweep timed in real time and projected onto the whole pass of 16,777,216
// transfers. The sample is one size from the middle of each of N equal bands of sizes, every
// start offset: a memory-read transfer's cost grows with its size, and the band middles
// average to the pass's mean size. With the 100 us pause the pass can do at most 10,000
// transfers a second (goal: at least 98% of that); with pause=off the memory-write pass
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

// Runs one size from the middle of each of `bands` bands of one pass, with the pass's lines
// sent to /dev/null.
bool RunSample(WdcDeviceHandle h, int mem_write, uint32_t bands) {
  std::fflush(stdout);
  const int saved = dup(1);
  const int null = open("/dev/null", O_WRONLY);
  dup2(null, 1);
  const uint32_t band = 4096 / bands;
  bool done = true;
  for (uint32_t j = 0; j < bands && done; ++j) {
    const uint32_t size = 4096 - j * band - band / 2;
    done = DIAG_DmaIntegritySweep(h, mem_write, size, size, 4096) == 1;
  }
  std::fflush(stdout);
  dup2(saved, 1);
  close(null);
  close(saved);
  return done;
}

// Args: memory write (1) or read (0), pause on (1) or off (0), bands sampled (a power of 2).
void BM_IntegrityPass(benchmark::State& state) {
  const int mem_write = static_cast<int>(state.range(0));
  const bool pause = state.range(1) != 0;
  const uint32_t bands = static_cast<uint32_t>(state.range(2));
  Board board(pause ? "" : "pause=off");
  if (!board.handle()) {
    state.SkipWithError("no board");
    return;
  }
  for (auto _ : state) {
    if (!RunSample(board.handle(), mem_write, bands)) {
      state.SkipWithError("the sample did not run to its end");
      return;
    }
  }
  const double transfers = 4096.0 * bands * static_cast<double>(state.iterations());
  state.counters["transfers_per_s"] = benchmark::Counter(transfers, benchmark::Counter::kIsRate);
  // Seconds a whole pass takes at this pace: the time per pass-worth of transfers.
  state.counters["pass_s"] = benchmark::Counter(
      transfers / kPassTransfers, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (pause)
    state.counters["share_of_pause_limit"] =
        benchmark::Counter(transfers / 10000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IntegrityPass)
    ->ArgNames({"write", "pause", "bands"})
    ->Args({1, 1, 2})
    ->Args({1, 0, 32})
    ->Args({0, 0, 16})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
