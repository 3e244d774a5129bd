// Complete integrity sweeps end to end: both passes, 16,777,216 transfers each, with the pause
// off. Minutes per case, so they live in their own executable (label "sweep").
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "report_check.h"

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

RunResult RunSweep(const std::string& setting) {
  RunSpec s = Utility("pause=off" + setting);
  s.timeout_ms = 60 * 60 * 1000;  // a hang guard only: speed is the benchmarks' matter
  return RunProgram(s);
}

SizeCounts Clean(uint32_t) { return SizeCounts{}; }

// A run whose memory-write pass runs to its end with counts(f), followed by `read_pass`, then
// the other tests; *write_total gets the write pass's total.
std::string AfterWritePass(const CountsOfSize& counts, const std::string& read_pass,
                           uint64_t* write_total) {
  return Banner() + Bar0AllSuccess() + CompletePass(Pass::kMemoryWrite, counts, write_total) +
         read_pass + AfterIntegrity();
}

TEST(SweepIntegrity, HealthyBoardBothPassesComplete) {
  uint64_t write_total = 0, read_total = 0;
  const std::string expected =
      AfterWritePass(Clean, CompletePass(Pass::kMemoryRead, Clean, &read_total), &write_total);
  const RunResult r = RunSweep("");
  E2E_EXPECT_VERDICT(CheckRun(r, expected));
  // A whole run on the default Gen2 x4 link: every test passes.
  EXPECT_TRUE(Holds(Judge(r.output, &r, "gen2x4"),
                    {{"", kPass, "every test passed"},
                     {"integrity.memory-write", kPass, "all 4096 sizes, no errors"},
                     {"integrity.memory-read", kPass, "all 4096 sizes, no errors"}}));
}

TEST(SweepIntegrity, ShiftedWriteDataCountedInFullAndTheTotalPast32Bits) {
  // dma-shift=1 (see the end-to-end fault cases for the per-size reasoning): every transfer of
  // size f mismatches f data bytes and corrupts the byte past its target unless
  // (f - 1) & 0xFF = 0xFF (f = 256, 512, ..., 4096: 16 sizes). Total by hand:
  //   4096 x (1 + 2 + ... + 4096) = 4096 x 8,390,656 = 34,368,126,976 mismatched
  // + 4096 x (4096 - 16)          =                      16,711,680 corrupted
  // = 34,384,838,656, beyond 2^32: the total must be kept in 64 bits.
  // The memory-read pass moves host data into BAR0, which the shift does not touch: clean.
  auto shifted = [](uint32_t f) {
    return SizeCounts{0, ((f - 1) & 0xFF) == 0xFF ? 0u : 4096u, 4096u * f};
  };
  uint64_t write_total = 0, read_total = 0;
  const std::string expected =
      AfterWritePass(shifted, CompletePass(Pass::kMemoryRead, Clean, &read_total), &write_total);
  ASSERT_EQ(write_total, 34384838656ull);
  E2E_EXPECT_VERDICT(CheckRun(RunSweep(",dma-shift=1"), expected));
}

TEST(SweepIntegrity, WordCountCheckedInBothPasses) {
  // wordcount-bad=4096: one transfer in every 4096, so exactly one per size, in either pass
  // (a pass is 4096 x 4096 transfers, so the read pass keeps the same phase): totals 4096.
  auto one = [](uint32_t) { return SizeCounts{1, 0, 0}; };
  uint64_t write_total = 0, read_total = 0;
  const std::string expected =
      AfterWritePass(one, CompletePass(Pass::kMemoryRead, one, &read_total), &write_total);
  ASSERT_EQ(write_total, 4096u);
  const RunResult r = RunSweep(",wordcount-bad=4096");
  E2E_EXPECT_VERDICT(CheckRun(r, expected));
  EXPECT_JUDGED(r, {{"integrity.memory-read", kFail,
                     "4096 sizes with errors, the first at 4096: 1 transfer size mismatch"}});
}

// Failures of the memory-read pass can only be reached through a complete memory-write pass.
TEST(SweepIntegrity, ReadPassBufferLockFails) {
  // Contiguous lock #1 is the write pass's buffer, #2 the read pass's; the performance test's
  // locks (#3 to #5) and the backloop's tables then succeed.
  uint64_t write_total = 0;
  const std::string expected = AfterWritePass(
      Clean,
      IntegrityHeading(Pass::kMemoryRead) + ContigLockFailure(Simulated("WDC_DMAContigBufLock")),
      &write_total);
  const RunResult r = RunSweep(",fail=WDC_DMAContigBufLock@2");
  E2E_EXPECT_VERDICT(CheckRun(r, expected));
  EXPECT_JUDGED(r, {{"integrity.memory-write", kPass, ""},
                    {"integrity.memory-read", kFail,
                     "not run: " + Quoted(ContigLockFailure(Simulated("WDC_DMAContigBufLock")))}});
}

TEST(SweepIntegrity, ReadPassFirstCompletionLost) {
  // The write pass is completions 1 to 16,777,216; the read pass's first is 16,777,217.
  uint64_t write_total = 0;
  const std::string expected = AfterWritePass(
      Clean, IntegrityHeading(Pass::kMemoryRead) + SizeLine(4096) + WaitFailure(), &write_total);
  const RunResult r = RunSweep(",irq-drop=ch0@16777217");
  E2E_EXPECT_VERDICT(CheckRun(r, expected));
  EXPECT_JUDGED(r, {{"integrity.memory-read", kFail, "waiting failure at size 4096"}});
}

}  // namespace
}  // namespace e2e
