// Failure rows the other end-to-end files leave open: forced failures of the operations whose
// statuses the program ignores (register accesses, buffer syncs, unlock, interrupt disable,
// sleep), and the backloop's two heap allocations. Each case shows what that failure makes the
// utility print, and that the run still ends with status 0 and the ledger the truth requires.
//
// Call numbers, counted from the library's open (FPGA_SIM fail=OP@N):
//   WDC_WriteAddr8 / WDC_ReadAddr8    1-4096  the BAR0 bytes phase; WDC_WriteAddr8 4097-8192
//                                             then write the integrity pass's DMA source
//   WDC_WriteAddr16 / WDC_ReadAddr16  1-2048  the BAR0 uint16 phase
//   WDC_WriteAddr32 / WDC_ReadAddr32  1-1024  the BAR0 uint32 phase; after it, with the first
//                                             channel-0 completion dropped (irq-drop=ch0@1):
//       WDC_WriteAddr32 1025 INT_CTRL on, 1026-1029 the first transfer (1029 DMA_START),
//       1030 INT_CTRL off, 1031-1036 the performance channels, 1037-1051 five measurements of
//       three writes each, 1052-1053 RESET_CTRL, 1054 INT_CTRL, 1055-1060 the two
//       scatter/gather channels, 1061 DMA_RUN_CTRL 0xC0 (the backloop's start);
//       WDC_ReadAddr32 1025 the first measurement's PERF_COUNT0
//   WDC_WriteAddr64 / WDC_ReadAddr64  1-512   the BAR0 uint64 phase
// The BAR0 items that lost accesses show are worked out with the oracle's LostBar0Accesses.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "report_check.h"
#include "sanitizers.h"

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

// The first completion dropped: the integrity pass ends after 1 s at its first transfer, so the
// later call numbers do not depend on how many transfers a key would have let through.
const std::string kFirstDrop = "irq-drop=ch0@1";

std::string DroppedFirst(const std::string& bar0 = Bar0AllSuccess()) {
  return UntilIntegrity(bar0) + SizeLine(4096) + WaitFailure();
}

// The run's output must be `expected`, and the report must judge it as `judged` says.
e2e::Verdict RunSetting(const std::string& setting, const std::string& expected,
                        const std::vector<Expect>& judged = {}) {
  const RunResult r = RunProgram(Utility(setting));
  EXPECT_JUDGED(r, judged);
  return CheckRun(r, expected);
}

// ---- Register accesses: the BAR0 test judges by the values alone -------------------------------

class E2eMatrixRegister : public ::testing::TestWithParam<LostBar0Access> {};

TEST_P(E2eMatrixRegister, LostAccessShowsAsAMismatchOfThatItem) {
  const LostBar0Access& c = GetParam();
  E2E_EXPECT_VERDICT(RunSetting(c.setting + "," + kFirstDrop,
                                DroppedFirst(c.bar0) + AfterIntegrity(), Bar0Expectations(c.bar0)));
}

INSTANTIATE_TEST_SUITE_P(Bar0, E2eMatrixRegister, ::testing::ValuesIn(LostBar0Accesses()),
                         [](const ::testing::TestParamInfo<LostBar0Access>& param) {
                           return std::string(param.param.name);
                         });

TEST(E2eMatrixRegisterInTests, LostSourceByteWriteIsCountedByTheIntegrityPass) {
  // Call 4100 writes DMA source byte 3, which keeps the uint64 phase's 0 instead of 3: every
  // transfer of a size of 4 or more delivers one wrong byte, 4096 per size. The drop of
  // completion 8193 (the first of size 4094) ends the pass after two whole sizes.
  E2E_EXPECT_VERDICT(RunSetting("pause=off,fail=WDC_WriteAddr8@4100,irq-drop=ch0@8193",
                                UntilIntegrity() + SizeBlock(4096, {0, 0, 4096}) +
                                    SizeBlock(4095, {0, 0, 4096}) + SizeLine(4094) + WaitFailure() +
                                    AfterIntegrity(),
                                {{"integrity.memory-write", kFail,
                                  "device interrupts waiting failure at size 4094; before it, 2 "
                                  "sizes with errors, the first at 4096: 4096 mismatched data "
                                  "bytes"}}));
}

TEST(E2eMatrixRegisterInTests, LostStartWriteEndsThePassByTheTimeOut) {
  // Call 1029 is the first DMA_START: no transfer, no completion, the 1 s wait fails.
  E2E_EXPECT_VERDICT(
      RunSetting("fail=WDC_WriteAddr32@1029", DroppedFirst() + AfterIntegrity(),
                 {{"integrity.memory-write", kFail, "waiting failure at size 4096"}}));
}

TEST(E2eMatrixRegisterInTests, LostCounterReadShowsARateOfZero) {
  // Call 1025 reads PERF_COUNT0 after the first measurement: the variable keeps its 0.
  E2E_EXPECT_VERDICT(RunSetting(
      "fail=WDC_ReadAddr32@1025," + kFirstDrop,
      DroppedFirst() + Performance({"0.000000"}) + BackloopHeading() + BackloopResult(0),
      {{"performance.write", kFail, "no transfer was counted"}, {"performance.read", kPass, ""}}));
}

TEST(E2eMatrixRegisterInTests, LostBackloopStartEndsByTheTimeOut) {
  // Call 1061 is the write of 0xC0 to DMA_RUN_CTRL: the run never starts and the 2 s wait fails;
  // the failure exit's stop and the tear-down leave nothing behind.
  E2E_EXPECT_VERDICT(RunSetting("fail=WDC_WriteAddr32@1061," + kFirstDrop,
                                DroppedFirst() + Performance() + BackloopHeading() + WaitFailure(),
                                {{"backloop", kFail, "device interrupts waiting failure"}}));
}

// ---- Statuses the program ignores --------------------------------------------------------------

TEST(E2eMatrixIgnored, FailedSyncsAndSleepChangeNothingOnACoherentBoard) {
  // The virtual board's memory is coherent, so a hand-over or take-back that fails moves no byte
  // differently, and a skipped 100 us pause only shortens the run: two whole clean sizes.
  E2E_EXPECT_VERDICT(
      RunSetting("fail=WDC_DMASyncCpu@1,fail=WDC_DMASyncIo@1,fail=WDC_Sleep@1,"
                 "fail=WDC_DMASyncCpu@3,irq-drop=ch0@8193",
                 UntilIntegrity() + SizeBlock(4096, {}) + SizeBlock(4095, {}) + SizeLine(4094) +
                     WaitFailure() + AfterIntegrity()));
}

TEST(E2eMatrixIgnored, FailedUnlockLeavesTheBufferForTheLedger) {
  // Unlock 1 is the integrity buffer's: the program says nothing, and the library's close finds
  // the buffer and reports it. That line is the truthful end of this run.
  E2E_EXPECT_VERDICT(RunSetting(
      "fail=WDC_DMABufUnlock@1," + kFirstDrop,
      DroppedFirst() + AfterIntegrity() + Ledger("1 DMA buffer locked"),
      {{"run", kFail, "the library's close found what the run left behind: 1 DMA buffer locked"}}));
}

TEST(E2eMatrixIgnored, FailedUnlockOfADescriptorTableIsReportedAtClose) {
  // Unlocks 2-4 are the performance buffers, 5 the backloop's source table.
  E2E_EXPECT_VERDICT(RunSetting("fail=WDC_DMABufUnlock@5," + kFirstDrop,
                                DroppedFirst() + AfterIntegrity() + Ledger("1 DMA buffer locked")));
}

TEST(E2eMatrixIgnored, FailedIntegrityDisableMakesTheBackloopsEnableFail) {
  // The integrity pass's registration stays with the library (its INT_CTRL is off, so it never
  // fires); the backloop's enable is then refused, and its own release disables the old one:
  // nothing is left at close.
  E2E_EXPECT_VERDICT(RunSetting(
      "fail=WDC_IntDisable@1," + kFirstDrop,
      DroppedFirst() + Performance() + BackloopHeading() + IntEnableFailure(AlreadyEnabled()),
      {{"backloop", kFail, "not run: " + Quoted(IntEnableFailure(AlreadyEnabled()))},
       {"run", kPass, ""}}));
}

TEST(E2eMatrixIgnored, FailedBackloopDisableLeavesTheInterruptForTheLedger) {
  E2E_EXPECT_VERDICT(RunSetting("fail=WDC_IntDisable@2," + kFirstDrop,
                                DroppedFirst() + AfterIntegrity() + Ledger("an interrupt enabled"),
                                {{"run", kFail, "left behind: an interrupt enabled"}}));
}

// ---- The backloop's heap blocks ----------------------------------------------------------------

// A limit on the process's private writable memory (RLIMIT_DATA) that the earlier tests stay
// well under (about 17 MB) but that one or both 50 MiB blocks exceed. A sanitizer's shadow
// memory counts against the same limit, so the cases need a plain build.
#if defined(FD_UNDER_ASAN) || defined(FD_UNDER_TSAN)
#define E2E_MATRIX_SANITIZED 1
#endif

e2e::Verdict RunLimited(unsigned data_kib, const std::string& expected,
                        const std::vector<Expect>& judged) {
  RunSpec s = Utility(kFirstDrop);
  s.wrapper = {"/bin/sh", "-c", "ulimit -d " + std::to_string(data_kib) + " && exec \"$0\" \"$@\""};
  const RunResult r = RunProgram(s);
  EXPECT_JUDGED(r, judged);
  return CheckRun(r, expected);
}

// A backloop that printed its heading alone, in a run that went on to its close.
const std::vector<Expect> kHeadingOnly = {
    {"backloop", kFail, "it ended after its heading without a result"}};

TEST(E2eMatrixBackloopMemory, NoMemoryForTheDestinationLeavesOnlyTheHeading) {
#ifdef E2E_MATRIX_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the data limit";
#endif
  // 40,000 KiB: the run so far fits, the first 50 MiB block does not.
  E2E_EXPECT_VERDICT(
      RunLimited(40000, DroppedFirst() + Performance() + BackloopHeading(), kHeadingOnly));
}

TEST(E2eMatrixBackloopMemory, NoMemoryForTheSourceLeavesOnlyTheHeading) {
#ifdef E2E_MATRIX_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the data limit";
#endif
  // 92,000 KiB: the destination fits, the source does not; the failure exit stops the (never
  // started) run and frees the destination, silently.
  E2E_EXPECT_VERDICT(
      RunLimited(92000, DroppedFirst() + Performance() + BackloopHeading(), kHeadingOnly));
}

TEST(E2eMatrixBackloopMemory, NoMemoryToLockTheBuffersIsAFailedLockNotACrash) {
#ifdef E2E_MATRIX_SANITIZED
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the data limit";
#endif
  // 120,000 KiB: both 50 MiB blocks fit, the bus map's page tables for them do not; the lock
  // reports the shortage as a status.
  E2E_EXPECT_VERDICT(RunLimited(
      120000, DroppedFirst() + Performance() + BackloopHeading() + SgLockFailure(OutOfMemory()),
      {{"backloop", kFail, "not run: " + Quoted(SgLockFailure(OutOfMemory()))}}));
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

TEST(E2eMatrixLink, SixteenBitCountsWrapOnTheFastestLink) {
  // Gen3 x16 moves 12,252 MB/s each way: a lone channel completes about 187,000 buffers of
  // 64 KiB in its second, past the 16-bit field, so the printed rate is what is left above the
  // wraps (below 65536 / 16 = 4096 MByte/sec) and not the link's 11,684 MByte/sec.
  RunResult r = RunProgram(Utility("link=gen3x16", {KeyAtFirstSize()}));
  Verdict v = CheckRun(r, InterruptedRun());
  E2E_EXPECT_VERDICT(v);
  if (!v.ok) return;
  ASSERT_EQ(v.captures.size(), 10u);
  // A board that saturated its field instead would print 65535 / 16 = 4095.9375 every time.
  for (size_t i : {size_t{0}, size_t{1}}) {
    EXPECT_LT(Number(v.captures[i]), 4096.0) << "channel alone, rate " << i;
    EXPECT_NE(v.captures[i], "4095.937500") << "the count saturated instead of wrapping";
  }
  for (size_t i = 0; i < 9; ++i) EXPECT_GE(Number(v.captures[i]), 0.0);
  // Against Gen3 x16's ceiling of 15024 MByte/sec the wrapped counts have one reading each that
  // lies between floor and ceiling: the report takes it and says the count wrapped.
  EXPECT_TRUE(Holds(Judge(r.output, &r, "gen3x16"),
                    {{"performance.write", kPass, "the 16-bit count wrapped twice"},
                     {"performance.two-reads", kPass, "wrapped"},
                     {"performance.read-write-two-reads", kPass, "wrapped"}}));
}

}  // namespace
}  // namespace e2e
