// The DMA performance test: the order of its writes, its counter fields and rates, and its lock
// failure rows. A complete run sleeps five seconds, so one run checks all of its output.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>

#include "fake_wdc.h"
#include "regs/regs.h"
#include "platform/platform.h"
#include "diag/diag.h"

using ::testing::ElementsAre;

namespace {

class PerformanceTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Fake& f = fake::F();
};

TEST_F(PerformanceTest, CompleteRunWritesInOrderAndPrintsEachField) {
  // One PERF_COUNT0 value per step, one PERF_COUNT1 value per two-read-channel step.
  f.bar1Reads[PERF_COUNT0] = {0xFFFF0010u, 0x0000FFFFu, 0xFFFF0000u, 0x00300010u, 0x00400050u};
  f.bar1Reads[PERF_COUNT1] = {0x12340020u, 0xFFFF0008u};
  // Marks in the output where READ_CFG was written.
  f.onWrite = [](const fake::Access& a) {
    if (a.space == AD_BAR1 && a.offset == READ_CFG) printf("<READ_CFG>");
  };
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_DmaPerformanceTest(&f.device, 0x10000); });
  EXPECT_EQ(result, 1);
  std::string expected =
      oracle::Performance({"1.000000", "0.000000", "4095.937500", "2.000000", "1.000000",
                           "3.000000", "5.000000", "4.000000", "0.500000"});
  const std::string read = oracle::PerformanceHeading(oracle::PerfStep::kRead);
  expected.insert(expected.find(read) + read.size(), "<READ_CFG>");
  EXPECT_EQ(out, expected);
  const std::string b1 = fake::Hex(f.ById(1)->pages[0].pPhysicalAddr);
  const std::string b2 = fake::Hex(f.ById(2)->pages[0].pPhysicalAddr);
  const std::string b3 = fake::Hex(f.ById(3)->pages[0].pPhysicalAddr);
  std::vector<std::string> registers;
  for (const std::string& e : f.log)
    if ((e[0] == 'W' || e[0] == 'R') && isdigit(static_cast<unsigned char>(e[1])))
      registers.push_back(e);
  EXPECT_THAT(registers,
              ElementsAre("W32 1:0x10=" + b1, "W32 1:0x18=0xe0010000", "W32 1:0x20=" + b2,
                          "W32 1:0x28=0xa0010000", "W32 1:0x30=" + b3, "W32 1:0x38=0xa0010000",
                          "W32 1:0x220=0x0", "W32 1:0x214=0x2", "W32 1:0x214=0x0", "R32 1:0x220",
                          "W16 1:0x228=0xbb8",
                          "W32 1:0x220=0x0", "W32 1:0x214=0x4", "W32 1:0x214=0x0", "R32 1:0x220",
                          "W32 1:0x220=0x0", "W32 1:0x214=0xc", "W32 1:0x214=0x0", "R32 1:0x220",
                          "R32 1:0x224",
                          "W32 1:0x220=0x0", "W32 1:0x214=0x6", "W32 1:0x214=0x0", "R32 1:0x220",
                          "W32 1:0x220=0x0", "W32 1:0x214=0xe", "W32 1:0x214=0x0", "R32 1:0x220",
                          "R32 1:0x224"));
  EXPECT_THAT(fake::Starting(f.log, "WDC_DMAContigBufLock"),
              ElementsAre("WDC_DMAContigBufLock opt=0x20 size=65536 -> #1",
                          "WDC_DMAContigBufLock opt=0x40 size=65536 -> #2",
                          "WDC_DMAContigBufLock opt=0x40 size=65536 -> #3"));
  EXPECT_THAT(f.unlocked, ElementsAre(1, 2, 3));
  EXPECT_EQ(f.Calls("WDC_DMASyncCpu") + f.Calls("WDC_DMASyncIo"), 0);
}

class PerformanceLockTest : public PerformanceTest, public ::testing::WithParamInterface<int> {};

TEST_P(PerformanceLockTest, FailedLockPrintsOneLineAndUnlocksTheEarlierBuffers) {
  const int failing = GetParam();
  f.Fail("WDC_DMAContigBufLock", 0x2000100E, failing);
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_DmaPerformanceTest(&f.device, 0x10000); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, oracle::ContigLockFailure(fake::Stat(0x2000100E)));
  EXPECT_TRUE(f.Writes().empty());
  EXPECT_EQ(f.Calls("WDC_DMAContigBufLock"), failing);
  std::vector<int> expected;
  for (int id = 1; id < failing; ++id) expected.push_back(id);
  EXPECT_EQ(f.unlocked, expected);
}

INSTANTIATE_TEST_SUITE_P(EachBuffer, PerformanceLockTest, ::testing::Values(1, 2, 3));

}  // namespace
