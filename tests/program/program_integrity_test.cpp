// The DMA data integrity test on small sweeps, driven by a channel-0 board in the fake.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_wdc.h"
#include "regs/regs.h"
#include "platform/platform.h"
#include "diag/diag.h"
#include "sanitizers.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using namespace oracle;

const std::string kWriteTitle = IntegrityHeading(Pass::kMemoryWrite);
const std::string kReadTitle = IntegrityHeading(Pass::kMemoryRead);


int g_keyCalls = 0;
int g_keyAt = 0;  // KeyHit reports a key from this call on (0: never)
int KeyAfter() { return ++g_keyCalls >= g_keyAt && g_keyAt > 0; }

class IntegrityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Reset();
    f.InstallChannel0Board();
    g_keyCalls = 0;
    g_keyAt = 0;
    platform::testing::SetKeyHitHook(&KeyAfter);
  }
  void TearDown() override { platform::testing::SetKeyHitHook(nullptr); }
  std::string Sweep(int memWrite, uint32_t first, uint32_t last, uint32_t offsets) {
    return fake::Capture(
        [&] { result = DIAG_DmaIntegritySweep(&f.device, memWrite, first, last, offsets); });
  }
  // The log from the nth DMA_START write (1-based) back to the previous one.
  std::vector<std::string> Transfer(int n) {
    std::vector<std::string> out;
    int starts = 0;
    for (const std::string& e : f.log) {
      if (starts == n - 1 && e.rfind("W32 0:", 0) != 0) out.push_back(e);
      if (e == "W32 1:0x210=0x1" && ++starts == n) break;
    }
    return out;
  }
  void ExpectReleased() {
    const std::vector<std::string>& log = f.log;
    ASSERT_GE(log.size(), 4u);
    EXPECT_THAT(std::vector<std::string>(log.end() - 4, log.end()),
                ElementsAre("WDC_IntIsEnabled", "W32 1:0x218=0x0", "WDC_IntDisable",
                            "WDC_DMABufUnlock #1"));
    EXPECT_EQ(f.Live(), 0);
  }
  fake::Fake& f = fake::F();
  int result = -1;
};

TEST_F(IntegrityTest, HealthyWritePassPrintsEverySizeAndTheTotal) {
  EXPECT_EQ(Sweep(1, 9, 8, 3),
            kWriteTitle + SizeBlock(9, {}) + SizeBlock(8, {}) + IntegrityTotal(0));
  EXPECT_EQ(result, 1);
  EXPECT_EQ(f.ch0.transfers, 6u);
  EXPECT_EQ(f.log[0], "WDC_DMAContigBufLock opt=0x20 size=16384 -> #1");
  EXPECT_EQ(f.log[1], "WDC_IntEnable");
  EXPECT_EQ(f.log[2], "W32 1:0x218=0x1");
  // The BAR0 source is written once, byte by byte, before the first transfer.
  const auto bar0 = fake::Starting(f.log, "W8 0:");
  ASSERT_EQ(bar0.size(), 4096u);
  EXPECT_EQ(bar0[0], "W8 0:0x0=0x0");
  EXPECT_EQ(bar0[300], "W8 0:0x12c=0x2c");
  EXPECT_EQ(f.IndexOf(bar0.back()), 4096 + 2);
  // Bus base 0x10000000 is page-aligned: the window starts at the buffer's first byte.
  EXPECT_THAT(Transfer(2), ElementsAre("WDC_Sleep 100 0", "WDC_DMASyncIo #1", "R32 1:0x208",
                                       "WDC_DMASyncCpu #1", "W32 1:0x0=0x10001001",
                                       "W32 1:0x8=0xe0000009", "W32 1:0x208=0x2",
                                       "W32 1:0x210=0x1"));
  ExpectReleased();
}

struct PadCase {
  uint64_t bus;
  uint32_t firstAddr;  // DMA_CH_ADDR of the first transfer: bus + pad + 0x1000
};

class IntegrityPadTest : public IntegrityTest, public ::testing::WithParamInterface<PadCase> {};

TEST_P(IntegrityPadTest, WindowStartsAtTheFirstPageBoundary) {
  f.contigSpecs.push_back({{{GetParam().bus, 0x4000}}, false});
  // The largest transfers at the first and second offsets, so a window placed wrong in host
  // memory shows as errors and one placed past the buffer's end as an overrun.
  EXPECT_EQ(Sweep(1, 4096, 4096, 2), kWriteTitle + SizeBlock(4096, {}) + IntegrityTotal(0));
  EXPECT_EQ(fake::Starting(f.log, "W32 1:0x0=")[0], "W32 1:0x0=" + fake::Hex(GetParam().firstAddr));
  EXPECT_EQ(fake::Starting(f.log, "W32 1:0x0=")[1],
            "W32 1:0x0=" + fake::Hex(GetParam().firstAddr + 1));
  Sweep(0, 4096, 4096, 2);
  EXPECT_EQ(result, 1);
}

INSTANTIATE_TEST_SUITE_P(LowBits, IntegrityPadTest,
                         ::testing::Values(PadCase{0x10000000, 0x10001000},
                                           PadCase{0x10000001, 0x10002000},
                                           PadCase{0x10000FFF, 0x10002000}));

TEST_F(IntegrityTest, ShiftedDataIsCountedAsGuardAndDataErrors) {
  // Data one byte late: every target byte differs, and the byte after the target is corrupted
  // unless it received BAR0 byte f - 1 == 0xFF (f = 256).
  f.ch0.shift = 1;
  EXPECT_EQ(Sweep(1, 257, 256, 2),
            kWriteTitle + SizeBlock(257, {0, 2, 514}) + SizeBlock(256, {0, 0, 512}) +
                IntegrityTotal(1028));
  EXPECT_EQ(result, 1);
}

TEST_F(IntegrityTest, ShiftedBackwardsCorruptsTheByteBelow) {
  f.ch0.shift = -1;
  EXPECT_EQ(Sweep(1, 9, 9, 3), kWriteTitle + SizeBlock(9, {0, 3, 27}) + IntegrityTotal(30));
}

TEST_F(IntegrityTest, WordCountProtocolOfTheWritePass) {
  f.ch0.badWordCountEvery = 2;
  EXPECT_EQ(Sweep(1, 9, 8, 3),
            kWriteTitle + SizeBlock(9, {1, 0, 0}) + SizeBlock(8, {2, 0, 0}) + IntegrityTotal(3));
  const auto loads = fake::Starting(f.log, "W32 1:0x208=");
  ASSERT_EQ(loads.size(), 6u);
  EXPECT_EQ(loads[0], "W32 1:0x208=0x2");  // 9 bytes: two words
  EXPECT_EQ(loads[5], "W32 1:0x208=0x1");  // 8 bytes: one word
}

TEST_F(IntegrityTest, WordCountProtocolOfTheReadPass) {
  f.ch0.badWordCountEvery = 2;
  EXPECT_EQ(Sweep(0, 9, 8, 3),
            kReadTitle + SizeBlock(9, {1, 0, 0}) + SizeBlock(8, {2, 0, 0}) + IntegrityTotal(3));
  for (const std::string& e : fake::Starting(f.log, "W32 1:0x208=")) EXPECT_EQ(e, "W32 1:0x208=0x0");
  EXPECT_THAT(fake::Starting(f.log, "W32 1:0x8="),
              ElementsAre("W32 1:0x8=0xa0000009", "W32 1:0x8=0xa0000009", "W32 1:0x8=0xa0000009",
                          "W32 1:0x8=0xa0000008", "W32 1:0x8=0xa0000008", "W32 1:0x8=0xa0000008"));
}

TEST_F(IntegrityTest, LargestAndSmallestWordCounts) {
  Sweep(1, 4096, 4096, 1);
  EXPECT_THAT(fake::Starting(f.log, "W32 1:0x208="), ElementsAre("W32 1:0x208=0x200"));
  f.log.clear();
  Sweep(0, 1, 1, 1);
  EXPECT_EQ(result, 1);
  EXPECT_THAT(fake::Starting(f.log, "W32 1:0x8="), ElementsAre("W32 1:0x8=0xa0000001"));
}

TEST_F(IntegrityTest, ReadPassResetsBar0AndReadsEachTargetByte) {
  EXPECT_EQ(Sweep(0, 5, 5, 2), kReadTitle + SizeBlock(5, {}) + IntegrityTotal(0));
  const std::vector<std::string> second = Transfer(2);
  // BAR0 is reset before every transfer by 1024 ascending 32-bit writes of all ones.
  const auto resets = fake::Starting(f.log, "W32 0:");
  ASSERT_EQ(resets.size(), 2 * 1024u);
  for (uint32_t i = 0; i < resets.size(); ++i)
    EXPECT_EQ(resets[i], "W32 0:" + fake::Hex(4 * (i % 1024)) + "=0xffffffff");
  EXPECT_LT(f.IndexOf("W32 0:0xffc=0xffffffff"), f.IndexOf("W32 1:0x210=0x1"));
  EXPECT_EQ(fake::Starting(f.log, "R8 0:").size(), 10u);
  EXPECT_THAT(second, ElementsAre("WDC_Sleep 100 0", "WDC_DMASyncIo #1", "R8 0:0x0", "R8 0:0x1",
                                  "R8 0:0x2", "R8 0:0x3", "R8 0:0x4", "R32 1:0x208",
                                  "WDC_DMASyncCpu #1", "W32 1:0x0=0x10001001",
                                  "W32 1:0x8=0xa0000005", "W32 1:0x208=0x0", "W32 1:0x210=0x1"));
}

TEST_F(IntegrityTest, ReadPassComparesWithTheHostBytesThemselves) {
  // From offset 0x1001 on the largest transfer reaches window byte 0x2000, which the test never
  // wrote: a board that copies it faithfully has made no error.
  EXPECT_EQ(Sweep(0, 4096, 4096, 2), kReadTitle + SizeBlock(4096, {}) + IntegrityTotal(0));
}

TEST_F(IntegrityTest, ReadPassWithABoardThatMovesNothing) {
  // BAR0 stays 0xFF: each target byte that is not 0xFF in the host is a mismatch. Offsets
  // 0x1000..0x1002 hold 0..2 and the bytes after them 1..6, none 0xFF.
  f.ch0.copy = false;
  EXPECT_EQ(Sweep(0, 4, 4, 3), kReadTitle + SizeBlock(4, {0, 0, 12}) + IntegrityTotal(12));
}

TEST_F(IntegrityTest, KeyEndsThePassAfterTheCurrentTransfer) {
  g_keyAt = 3;  // the first transfer of the second size
  EXPECT_EQ(Sweep(1, 3, 1, 2), kWriteTitle + SizeBlock(3, {}) + SizeLine(2) + Interrupted());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(f.ch0.transfers, 3u);
  ExpectReleased();
}

TEST_F(IntegrityTest, KeyAlreadyWaitingEndsThePublicPassAfterItsFirstTransfer) {
  g_keyAt = 1;
  int r = -1;
  const std::string out = fake::Capture([&] { r = DIAG_DmaIntegrityTest(&f.device, 1); });
  EXPECT_EQ(out, kWriteTitle + SizeLine(4096) + Interrupted());
  EXPECT_EQ(r, 0);
  EXPECT_EQ(f.ch0.transfers, 1u);
  EXPECT_THAT(fake::Starting(f.log, "W32 1:0x0="), ElementsAre("W32 1:0x0=0x10001000"));
  EXPECT_THAT(fake::Starting(f.log, "W32 1:0x8="), ElementsAre("W32 1:0x8=0xe0001000"));
  ExpectReleased();
}

TEST_F(IntegrityTest, MissingInterruptEndsThePassWithoutCounts) {
  f.ch0.dropIrqAt = 2;
  EXPECT_EQ(Sweep(1, 9, 8, 3), kWriteTitle + SizeLine(9) + WaitFailure());
  EXPECT_EQ(result, 0);
  EXPECT_EQ(f.Calls("WDC_Sleep"), 1);  // nothing after the failed wait but the exit
  ExpectReleased();
}

TEST_F(IntegrityTest, LockFailureLeavesOnlyItsLine) {
  f.Fail("WDC_DMAContigBufLock", 0x2000100E);
  EXPECT_EQ(Sweep(1, 9, 8, 3), kWriteTitle + ContigLockFailure(fake::Stat(0x2000100E)));
  EXPECT_EQ(result, 0);
  EXPECT_THAT(f.log, ElementsAre("WDC_DMAContigBufLock opt=0x20 size=16384", "Stat2Str 0x2000100e",
                                 "WDC_IntIsEnabled"));
}

TEST_F(IntegrityTest, EventCreationFailureIsSilent) {
  platform::testing::FailEventCreates(1);
  EXPECT_EQ(Sweep(0, 9, 8, 3), kReadTitle);
  EXPECT_EQ(result, 0);
  EXPECT_THAT(f.log, ElementsAre("WDC_DMAContigBufLock opt=0x40 size=16384 -> #1",
                                 "WDC_IntIsEnabled", "WDC_DMABufUnlock #1"));
}

TEST_F(IntegrityTest, InterruptEnableFailureNeverEnablesTheController) {
  f.Fail("WDC_IntEnable", 0x20001013);
  EXPECT_EQ(Sweep(1, 9, 8, 3), kWriteTitle + IntEnableFailure(fake::Stat(0x20001013)));
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(f.Writes().empty());
  EXPECT_EQ(f.log.back(), "WDC_DMABufUnlock #1");
}

TEST_F(IntegrityTest, GrandTotalBeyond32BitsIsPrintedInFull) {
#ifdef FD_UNDER_TSAN
  // 352,256 transfers on the test's own thread (this fake completes them in the register
  // write): nothing for the race detector, and half a minute of its time.
  GTEST_SKIP() << "one thread only, and slow under ThreadSanitizer";
#endif
  // A board that zeroes the whole buffer on every transfer: each transfer of f bytes (f from
  // 4096 down to 4011, 4096 offsets each) leaves 12288 - f corrupted bytes and f - 16
  // mismatched ones (the 16 target bytes with k & 0xFF == 0 still match).
  f.ch0.smash = true;
  f.logEnabled = false;
  const std::string out = Sweep(1, 4096, 4011, 4096);
  EXPECT_EQ(result, 1);
  EXPECT_THAT(out, HasSubstr(SizeBlock(4096, {0, (12288 - 4096) * 4096u, (4096 - 16) * 4096u})));
  EXPECT_THAT(out, HasSubstr(SizeBlock(4011, {0, (12288 - 4011) * 4096u, (4011 - 16) * 4096u})));
  // 86 sizes * 4096 transfers * 12272 errors = 4322885632, past 2^32 - 1.
  EXPECT_THAT(out, HasSubstr(IntegrityTotal(4322885632ull)));
  EXPECT_THAT(out, Not(HasSubstr(IntegrityTotal(27918336))));  // what a 32-bit total would show
}

}  // namespace
