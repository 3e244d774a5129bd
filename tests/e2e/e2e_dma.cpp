// Failure rows of the DMA tests, end to end: buffer locks, interrupt registration, lost
// completions, misdelivered scatter/gather pages and buffers the controller cannot address.
//
// Contiguous locks of a run whose memory-write pass a key stops (so no memory-read pass):
//   #1 the integrity buffer, #2 #3 #4 the performance test's write, first and second read
//   buffers, #5 the channel-5 (destination) table and #6 the channel-4 (source) table.
// Scatter/gather locks: #1 the backloop destination, #2 its source.
// WDC_IntEnable: #1 the integrity pass, #2 the backloop.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "report_check.h"
#include "wdc/wdc_lib.h"

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

const std::string kContig = "WDC_DMAContigBufLock";
const std::string kSg = "WDC_DMASGBufLock";
const std::string kIntEnable = "WDC_IntEnable";

std::string UntilPerformance() { return UntilIntegrity() + SizeLine(4096) + Interrupted(); }
std::string UntilBackloop() { return UntilPerformance() + Performance() + BackloopHeading(); }

// The run's output must be `expected`, and the report must judge it as `judged` says.
e2e::Verdict RunExpecting(const std::string& setting, const std::string& expected, bool key,
                          const std::vector<Expect>& judged) {
  std::vector<Action> actions;
  if (key) actions.push_back(KeyAtFirstSize());
  const RunResult r = RunProgram(Utility(setting, actions));
  EXPECT_JUDGED(r, judged);
  return CheckRun(r, expected);
}

// What the report says of a backloop that a failure line ended.
std::vector<Expect> BackloopNotRun(const std::string& line) {
  return {{"backloop", kFail, "not run: " + Quoted(line)}};
}

// ---- Integrity pass ----------------------------------------------------------------------------

TEST(E2eIntegrityFailures, BufferLockFails) {
  // The pass ends after its two heading lines and the lock line; the read pass is skipped and
  // the next tests run (their locks are calls #2 on, which succeed).
  E2E_EXPECT_VERDICT(RunExpecting(
      "fail=WDC_DMAContigBufLock@1",
      UntilIntegrity() + ContigLockFailure(Simulated(kContig)) + AfterIntegrity(), false,
      {{"integrity.memory-write", kFail,
        "not run: " + Quoted(ContigLockFailure(Simulated(kContig)))},
       {"integrity.memory-read", kNotRun, "did not run to its end"},
       {"performance.write", kPass, ""}}));
  EXPECT_EQ(Simulated(kContig).code, 0x2000100Eu);
}

TEST(E2eIntegrityFailures, InterruptEnableFails) {
  E2E_EXPECT_VERDICT(RunExpecting(
      "fail=WDC_IntEnable@1",
      UntilIntegrity() + IntEnableFailure(Simulated(kIntEnable)) + AfterIntegrity(), false,
      {{"integrity.memory-write", kFail,
        "not run: " + Quoted(IntEnableFailure(Simulated(kIntEnable)))}}));
  EXPECT_EQ(Simulated(kIntEnable).code, 0x20001013u);
}

TEST(E2eIntegrityFailures, FirstCompletionLost) {
  // No size block for the size in progress, no total, no read pass; the next tests run and the
  // ledger is clean (interrupt disabled, buffer unlocked, transfer not left in flight).
  E2E_EXPECT_VERDICT(RunExpecting(
      "irq-drop=ch0@1", LostCompletionRun(), false,
      {{"integrity.memory-write", kFail, "device interrupts waiting failure at size 4096"},
       {"", kFail, "memory-write pass: device interrupts waiting failure"}}));
}

TEST(E2eIntegrityFailures, CompletionLostLaterInTheFirstSize) {
  E2E_EXPECT_VERDICT(
      RunExpecting("irq-drop=ch0@4096,pause=off", LostCompletionRun(), false,
                   {{"integrity.memory-write", kFail, "waiting failure at size 4096"}}));
}

TEST(E2eIntegrityFailures, StrayTransferIsBlockedAndNeverCompletes) {
  // The third transfer's data goes 1 MiB past the locked buffer: the IOMMU in front of the
  // board blocks it, so no host byte outside a lock changes, the transfer never completes and
  // the close reports the blocked access.
  const RunResult r = RunProgram(Utility("dma-stray=3,pause=off"));
  const e2e::Verdict v =
      CheckRun(r, LostCompletionRun() + LibraryCloseFailure(AnyText(WDC_STATUS_RESOURCES_LEFT)));
  E2E_EXPECT_VERDICT(v);
  EXPECT_JUDGED(r, {{"run", kFail,
                     "the library's close found what the run left behind: 1 DMA access blocked"},
                    {"integrity.memory-write", kFail, "waiting failure at size 4096"}});
  ASSERT_FALSE(v.captures.empty());
  EXPECT_EQ(v.captures.back().rfind("resources left at close: 1 DMA access blocked, 1 DMA "
                                    "programming error (first: channel 0: 4096 bytes at bus "
                                    "address 0x",
                                    0),
            0u)
      << v.captures.back();
}

// ---- Performance test --------------------------------------------------------------------------

class E2ePerformanceLock : public ::testing::TestWithParam<int> {};

TEST_P(E2ePerformanceLock, OneLineNoHeadingAndTheBackloopStillRuns) {
  // The performance test's k-th lock is contiguous lock #k+1.
  const int call = GetParam() + 1;
  const std::string not_measured =
      "not measured: the performance test could not lock its "
      "buffers: " +
      Quoted(ContigLockFailure(Simulated(kContig)));
  E2E_EXPECT_VERDICT(RunExpecting("fail=WDC_DMAContigBufLock@" + std::to_string(call),
                                  UntilPerformance() + ContigLockFailure(Simulated(kContig)) +
                                      BackloopHeading() + BackloopResult(0),
                                  true,
                                  {{"performance.write", kFail, not_measured},
                                   {"performance.read-write-two-reads", kFail, not_measured},
                                   {"backloop", kPass, ""}}));
}

INSTANTIATE_TEST_SUITE_P(WriteFirstReadSecondRead, E2ePerformanceLock, ::testing::Values(1, 2, 3));

// ---- Backloop test -----------------------------------------------------------------------------

TEST(E2eBackloopFailures, DestinationScatterGatherLockFails) {
  E2E_EXPECT_VERDICT(RunExpecting("fail=WDC_DMASGBufLock@1",
                                  UntilBackloop() + SgLockFailure(Simulated(kSg)), true,
                                  BackloopNotRun(SgLockFailure(Simulated(kSg)))));
  EXPECT_EQ(Simulated(kSg).code, 0x2000100Fu);
}

TEST(E2eBackloopFailures, SourceScatterGatherLockFails) {
  E2E_EXPECT_VERDICT(RunExpecting("fail=WDC_DMASGBufLock@2",
                                  UntilBackloop() + SgLockFailure(Simulated(kSg)), true,
                                  BackloopNotRun(SgLockFailure(Simulated(kSg)))));
}

TEST(E2eBackloopFailures, Channel5TableLockFails) {
  E2E_EXPECT_VERDICT(RunExpecting("fail=WDC_DMAContigBufLock@5",
                                  UntilBackloop() + ContigLockFailure(Simulated(kContig)), true,
                                  BackloopNotRun(ContigLockFailure(Simulated(kContig)))));
}

TEST(E2eBackloopFailures, Channel4TableLockFailsWithChannel5Armed) {
  E2E_EXPECT_VERDICT(RunExpecting("fail=WDC_DMAContigBufLock@6",
                                  UntilBackloop() + ContigLockFailure(Simulated(kContig)), true,
                                  BackloopNotRun(ContigLockFailure(Simulated(kContig)))));
}

TEST(E2eBackloopFailures, InterruptEnableFails) {
  E2E_EXPECT_VERDICT(RunExpecting("fail=WDC_IntEnable@2",
                                  UntilBackloop() + IntEnableFailure(Simulated(kIntEnable)), true,
                                  BackloopNotRun(IntEnableFailure(Simulated(kIntEnable)))));
}

TEST(E2eBackloopFailures, CompletionLost) {
  // After the 2000 ms wait: the waiting-failure line and no result lines; the run is stopped.
  E2E_EXPECT_VERDICT(RunExpecting("irq-drop=backloop@1", UntilBackloop() + WaitFailure(), true,
                                  {{"backloop", kFail, "device interrupts waiting failure"}}));
}

TEST(E2eBackloopFailures, SwappedDestinationPagesAreCounted) {
  // Destination pages 1 and 2 get each other's data: every position where the two source pages
  // differ counts once in each page, so the count is even, at most 2 x 4096, and with bytes
  // spread over 256 values about 2 x 4096 x 255/256 ~ 8160 (the chance of fewer than 7800 is nil).
  RunResult r = RunProgram(Utility("sg-swap=1:2", {KeyAtFirstSize()}));
  e2e::Verdict v = CheckRun(r, UntilBackloop() + BackloopResultAnyCount());
  E2E_EXPECT_VERDICT(v);
  EXPECT_JUDGED(r, {{"backloop", kFail, "of its 52428800 bytes came back wrong"}});
  if (v.ok) {
    ASSERT_EQ(v.captures.size(), 11u);  // nine rates, the count, the backloop rate
    const unsigned long count = std::stoul(v.captures[9]);
    EXPECT_EQ(count % 2, 0u) << count;
    EXPECT_GE(count, 7800u);
    EXPECT_LE(count, 8192u);
  }
}

// ---- Buffers the controller cannot address ---------------------------------------------------

TEST(E2eHighBus, EveryLockIsRefused) {
  // Bus addresses above 4 GiB do not fit the controller's 32-bit address fields: the integrity
  // buffer, the performance test's first buffer and the backloop destination are refused (each
  // test stops at its first refusal), each refusal unlocked so the ledger stays clean.
  E2E_EXPECT_VERDICT(RunExpecting(
      "high-bus=1",
      UntilIntegrity() + ContigLockFailure(AboveFourGiB()) + ContigLockFailure(AboveFourGiB()) +
          BackloopHeading() + SgLockFailure(AboveFourGiB()),
      false,
      {{"integrity.memory-write", kFail, "not run: " + Quoted(ContigLockFailure(AboveFourGiB()))},
       {"performance.read", kFail, "could not lock its buffers"},
       {"backloop", kFail, "not run: " + Quoted(SgLockFailure(AboveFourGiB()))}}));
}

// ---- Buffers that do not start on a page boundary --------------------------------------------

class E2eMisalign : public ::testing::TestWithParam<int> {};

TEST_P(E2eMisalign, WindowStillFitsAndEveryCompleteSizeIsClean) {
  // The integrity window starts at the next 4 KiB boundary of the bus address; a wrong pad would
  // move data outside the locked buffer (blocked, reported by the ledger) or miss the window.
  const std::string setting = "pause=off,misalign=" + std::to_string(GetParam());
  RunSpec desc = Utility(setting, {KeyWhen(SizeLine(4095))});
  desc.timeout_ms = 300000;
  RunResult r = RunProgram(desc);
  uint32_t stopped = 0;
  std::string sizes = SizesUntilInterrupted(
      r.output, [](uint32_t) { return SizeCounts{}; }, &stopped);
  EXPECT_LE(stopped, 4095u) << "at least one complete size";
  EXPECT_GE(stopped, 1u);
  E2E_EXPECT_VERDICT(CheckRun(r, UntilIntegrity() + sizes + AfterIntegrity()));
  EXPECT_JUDGED(r, {{"integrity.memory-write", kIncomplete, "none with errors"}});
}

INSTANTIATE_TEST_SUITE_P(Offsets, E2eMisalign, ::testing::Values(1, 8, 2048, 4095));

}  // namespace
}  // namespace e2e
