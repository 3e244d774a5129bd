// The scatter/gather backloop test on small buffers with a fake board that walks the descriptor
// tables, its failure rows with their release order, and the source bytes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_wdc.h"
#include "regs/regs.h"
#include "platform/platform.h"
#include "diag/diag.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

using namespace oracle;

constexpr uint32_t kSize = 3 * 4096 + 100;  // a few scattered pages, the first and last partial
const std::string kHeading = BackloopHeading("0.011814");
const std::string kRunStop = "W32 1:0x214=0x0";

class BackloopTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  std::string Run(uint32_t size = kSize) {
    return fake::Capture([&] { result = DIAG_SgBackloopTest(&f.device, size); });
  }
  // The failure exit: DMA_RUN_CTRL 0 once, before the interrupt release, then the unlocks in
  // the order given, and nothing left locked.
  void ExpectFailureExit(bool intEnabled, std::vector<int> unlocks) {
    EXPECT_EQ(result, 0);
    const auto stops = fake::Starting(f.log, kRunStop);
    EXPECT_EQ(stops.size(), 1u);
    const int stop = f.IndexOf(kRunStop);
    const int asked = f.IndexOf("WDC_IntIsEnabled");
    ASSERT_GE(stop, 0);
    ASSERT_GT(asked, stop);
    std::vector<std::string> after(f.log.begin() + asked + 1, f.log.end());
    std::vector<std::string> expected;
    if (intEnabled) expected = {"W32 1:0x218=0x0", "WDC_IntDisable"};
    for (int id : unlocks) expected.push_back("WDC_DMABufUnlock #" + std::to_string(id));
    EXPECT_EQ(after, expected);
    EXPECT_EQ(f.Live(), 0);
  }
  fake::Fake& f = fake::F();
  int result = -1;
};

std::string Table(fake::Fake& f, int id) { return fake::Hex(f.ById(id)->pages[0].pPhysicalAddr); }

TEST_F(BackloopTest, CompleteRunMovesEveryByteAndReleasesInOrder) {
  f.InstallBackloopBoard(true, true);
  const std::string out = Run();
  EXPECT_EQ(result, 1);
  const Match m = MatchOutput(kHeading + BackloopResult(0), out);
  EXPECT_TRUE(m.ok) << m.diff;
  // Each table has one 8-byte entry per page of its buffer; the heap places the two buffers at
  // page offsets of its own, so their page counts may differ.
  // Each table has one entry per host page its own buffer touches, wherever the heap put it.
  auto pagesOf = [](const fake::Buffer* b) {
    return ((reinterpret_cast<uintptr_t>(b->host) & 0xFFF) + b->size + 0xFFF) / 0x1000;
  };
  const size_t dstPages = pagesOf(f.ById(1)), srcPages = pagesOf(f.ById(2));
  ASSERT_GE(dstPages, 4u);
  ASSERT_GE(srcPages, 4u);
  auto ctrl = [](size_t pages) { return "=" + fake::Hex(0xA0000000u | (8 * pages)); };
  auto bytes = [](size_t pages) { return std::to_string(8 * pages); };
  EXPECT_THAT(f.log,
              ElementsAreArray(std::vector<std::string>{
                  "WDC_DMASGBufLock opt=0x20 size=12388 -> #1",
                  "WDC_DMASGBufLock opt=0x40 size=12388 -> #2", "WDC_IntEnable",
                  "W32 1:0x230=0x1", "W32 1:0x230=0x0", "W32 1:0x218=0x1", "W16 1:0x228=0xbb8",
                  "WDC_DMASyncCpu #2",
                  "WDC_DMAContigBufLock opt=0x40 size=" + bytes(dstPages) + " -> #3",
                  "W32 1:0x50=" + Table(f, 3), "W32 1:0x58" + ctrl(dstPages), "WDC_DMASyncCpu #3",
                  "W32 1:0x210=0x20",
                  "WDC_DMAContigBufLock opt=0x40 size=" + bytes(srcPages) + " -> #4",
                  "W32 1:0x40=" + Table(f, 4), "W32 1:0x48" + ctrl(srcPages), "WDC_DMASyncCpu #4",
                  "W32 1:0x210=0x10", "W32 1:0x214=0xc0", kRunStop, "WDC_DMASyncIo #1",
                  "WDC_IntIsEnabled", "W32 1:0x218=0x0", "WDC_IntDisable", "WDC_DMABufUnlock #4",
                  "WDC_DMABufUnlock #3", "WDC_DMABufUnlock #2", "WDC_DMABufUnlock #1"}));
  EXPECT_EQ(f.Live(), 0);
}

TEST_F(BackloopTest, ABoardThatLeavesTheDestinationZeroCountsTheNonZeroSourceBytes) {
  f.InstallBackloopBoard(false, true);
  const auto board = f.onWrite;
  uint32_t nonZero = 0;
  f.onWrite = [&](const fake::Access& a) {
    if (a.offset == DMA_RUN_CTRL && a.value == RUN_BACKLOOP) {
      const fake::Buffer* src = f.ById(2);
      for (uint32_t i = 0; i < src->size; ++i) nonZero += src->host[i] != 0;
    }
    board(a);
  };
  const std::string out = Run();
  EXPECT_EQ(result, 1);
  ASSERT_GT(nonZero, kSize / 2);
  const Match m = MatchOutput(kHeading + BackloopResult(nonZero), out);
  EXPECT_TRUE(m.ok) << m.diff;
}

TEST_F(BackloopTest, HeadingShowsFiftyMByte) {
  f.Fail("WDC_DMASGBufLock", 0x2000100F, 1);
  const std::string out = Run(0x3200000);
  EXPECT_EQ(out.substr(0, out.find('\n', 1) + 1), BackloopHeading("50.000000"));
}

TEST_F(BackloopTest, DestinationLockFailure) {
  f.Fail("WDC_DMASGBufLock", 0x2000100F, 1);
  EXPECT_EQ(Run(), kHeading + SgLockFailure(fake::Stat(0x2000100F)));
  ExpectFailureExit(false, {});
  EXPECT_THAT(f.Writes(), ElementsAre(kRunStop));
}

TEST_F(BackloopTest, SourceLockFailure) {
  f.Fail("WDC_DMASGBufLock", 0x2000100F, 2);
  EXPECT_EQ(Run(), kHeading + SgLockFailure(fake::Stat(0x2000100F)));
  ExpectFailureExit(false, {1});
}

TEST_F(BackloopTest, EventCreationFailureIsSilent) {
  platform::testing::FailEventCreates(1);
  EXPECT_EQ(Run(), kHeading);
  ExpectFailureExit(false, {2, 1});
  EXPECT_EQ(f.Calls("WDC_IntEnable"), 0);
}

TEST_F(BackloopTest, InterruptEnableFailure) {
  f.Fail("WDC_IntEnable", 0x20001013);
  EXPECT_EQ(Run(), kHeading + IntEnableFailure(fake::Stat(0x20001013)));
  ExpectFailureExit(false, {2, 1});
  EXPECT_THAT(f.Writes(), ElementsAre(kRunStop));
}

TEST_F(BackloopTest, DestinationTableLockFailure) {
  f.Fail("WDC_DMAContigBufLock", 0x2000100E, 1);
  EXPECT_EQ(Run(), kHeading + ContigLockFailure(fake::Stat(0x2000100E)));
  ExpectFailureExit(true, {2, 1});
  EXPECT_THAT(f.Writes(), ElementsAre("W32 1:0x230=0x1", "W32 1:0x230=0x0", "W32 1:0x218=0x1",
                                      "W16 1:0x228=0xbb8", kRunStop, "W32 1:0x218=0x0"));
}

TEST_F(BackloopTest, SourceTableLockFailureLeavesChannel5Armed) {
  f.Fail("WDC_DMAContigBufLock", 0x2000100E, 2);
  EXPECT_EQ(Run(), kHeading + ContigLockFailure(fake::Stat(0x2000100E)));
  ExpectFailureExit(true, {3, 2, 1});
  const auto writes = f.Writes();
  EXPECT_THAT(fake::Starting(writes, "W32 1:0x210="), ElementsAre("W32 1:0x210=0x20"));
  EXPECT_EQ(f.IndexOf("W32 1:0x214=0xc0"), -1);
}

TEST_F(BackloopTest, MissingInterruptStopsTheRunWithoutResults) {
  f.InstallBackloopBoard(true, false);
  const std::string out = Run();
  EXPECT_EQ(out, kHeading + WaitFailure());
  ExpectFailureExit(true, {4, 3, 2, 1});
  EXPECT_LT(f.IndexOf("W32 1:0x214=0xc0"), f.IndexOf(kRunStop));
  EXPECT_EQ(f.Calls("WDC_DMASyncIo"), 0);
}

// ---- Source bytes ----------------------------------------------------------------------------

TEST(BackloopSource, ByteRuleAtItsEdges) {
  EXPECT_EQ(DIAG_SourceByte(0), 0);
  EXPECT_EQ(DIAG_SourceByte(64), 0);
  EXPECT_EQ(DIAG_SourceByte(65), 1);
  EXPECT_EQ(DIAG_SourceByte(32767), 255);
  // 254.5 * 32767 / 255 = 32702.57...
  EXPECT_EQ(DIAG_SourceByte(32702), 254);
  EXPECT_EQ(DIAG_SourceByte(32703), 255);
}

TEST(BackloopSource, ByteRuleIsRoundToNearestForEveryDraw) {
  // The rule is stated in double arithmetic; the program computes it in integers.
  for (uint32_t r = 0; r < 32768; ++r) {
    ASSERT_EQ(DIAG_SourceByte(r), (2 * 255 * r + 32767) / (2 * 32767)) << r;
    ASSERT_EQ(DIAG_SourceByte(r), static_cast<int>(static_cast<double>(r) * (255.0 / 32767) + 0.5))
        << r;
  }
}

TEST(BackloopSource, GeneratorIsTheClassic15BitSequence) {
  uint32_t x = 1;
  std::vector<uint32_t> draws;
  for (int i = 0; i < 5; ++i) draws.push_back(DIAG_Rand15(&x));
  EXPECT_THAT(draws, ElementsAre(41u, 18467u, 6334u, 26500u, 19169u));
}

TEST(BackloopSource, FillDrawsOneValuePerByteInOrder) {
  for (uint32_t size : {0u, 1u, 7u, 8u, 9u, 1001u}) {
    std::vector<uint8_t> buf(size + 1, 0xEE);
    DIAG_FillSource(buf.data(), size, 12345);
    uint32_t x = 12345;
    for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(buf[i], DIAG_SourceByte(DIAG_Rand15(&x))) << i;
    EXPECT_EQ(buf[size], 0xEE);  // nothing past the end
  }
}

TEST(BackloopSource, CountDiffsCountsEveryDifferingByte) {
  std::vector<uint8_t> a(3 * 1048576 + 77), b;
  DIAG_FillSource(a.data(), static_cast<uint32_t>(a.size()), 7);
  b = a;
  EXPECT_EQ(DIAG_CountDiffs(a.data(), b.data(), a.size()), 0u);
  const size_t at[] = {0, 255, 256, 1048575, 1048576, a.size() - 1};
  for (size_t i : at) b[i] ^= 0x10;
  EXPECT_EQ(DIAG_CountDiffs(a.data(), b.data(), a.size()), 6u);
  std::fill(b.begin(), b.end(), 0);
  uint64_t nonZero = 0;
  for (uint8_t v : a) nonZero += v != 0;
  EXPECT_EQ(DIAG_CountDiffs(a.data(), b.data(), a.size()), nonZero);
}

}  // namespace
