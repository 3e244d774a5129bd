// The integrity pass against faulty boards, with the pause off so that sizes pass quickly and a
// key after a few sizes: the per-size counts of every complete size, worked out by hand.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "report_check.h"

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

struct FaultRun {
  RunResult run;
  uint32_t stopped_at = 0;
  Verdict verdict;
};

// Stops the memory-write pass once size `key_at` begins; the complete sizes must show counts(f).
FaultRun RunFault(const std::string& setting, uint32_t key_at, const CountsOfSize& counts) {
  FaultRun f;
  RunSpec desc = Utility("pause=off," + setting, {KeyWhen(SizeLine(key_at))});
  desc.timeout_ms = 300000;
  f.run = RunProgram(desc);
  const std::string sizes = SizesUntilInterrupted(f.run.output, counts, &f.stopped_at);
  f.verdict = CheckRun(f.run, UntilIntegrity() + sizes + AfterIntegrity());
  // The report: FAIL at the first size with errors, or, clean, INCOMPLETE by the key.
  uint32_t first = 0;
  for (uint32_t size = 4096; size > f.stopped_at && first == 0; --size) {
    const SizeCounts c = counts(size);
    if (c.size_mismatches || c.corrupted || c.mismatched) first = size;
  }
  const std::string key = "a key ended it at size " + std::to_string(f.stopped_at);
  EXPECT_JUDGED(f.run, {first ? Expect{"integrity.memory-write", kFail,
                                       "the first at " + std::to_string(first) + ": "}
                              : Expect{"integrity.memory-write", kIncomplete, "none with errors"},
                        {"integrity.memory-write", first ? kFail : kIncomplete, key}});
  return f;
}

// dma-shift=1: the board sends BAR0 bytes 0..f-1 to window offsets s+1..s+f.
//  - data: window byte s stays 0xFF against 0, and byte s+k (k >= 1) holds (k-1) & 0xFF against
//    k & 0xFF: all f bytes mismatch, in each of the 4096 transfers of the size;
//  - guard: byte s+f, just past the target, holds (f-1) & 0xFF: corrupted unless that is 0xFF.
SizeCounts ShiftUp(uint32_t f) {
  return SizeCounts{0, ((f - 1) & 0xFF) == 0xFF ? 0u : 4096u, 4096u * f};
}

TEST(E2eIntegrityFaults, DataShiftedUpOneByte) {
  // The first sizes by hand: 4096: 4095 & 0xFF = 0xFF, no guard hit, 4096 x 4096 = 16777216;
  // 4095: 4094 & 0xFF = 0xFE, 4096 guard bytes, 4096 x 4095 = 16773120; 4094: 16769024.
  EXPECT_EQ(ShiftUp(4096).corrupted, 0u);
  EXPECT_EQ(ShiftUp(4096).mismatched, 16777216u);
  EXPECT_EQ(ShiftUp(4095).corrupted, 4096u);
  EXPECT_EQ(ShiftUp(4095).mismatched, 16773120u);
  EXPECT_EQ(ShiftUp(4094).mismatched, 16769024u);
  FaultRun f = RunFault("dma-shift=1", 4094, ShiftUp);
  E2E_EXPECT_VERDICT(f.verdict);
  EXPECT_LE(f.stopped_at, 4094u) << "at least two complete sizes";
}

// dma-shift=-1: BAR0 bytes 0..f-1 land at s-1..s+f-2.
//  - guard: byte s-1 gets BAR0 byte 0 = 0, never 0xFF: one corrupted byte per transfer;
//  - data: byte s+k (k < f-1) holds (k+1) & 0xFF against k & 0xFF: mismatch; byte s+f-1 stays
//    0xFF against (f-1) & 0xFF: a mismatch unless that is 0xFF.
SizeCounts ShiftDown(uint32_t f) {
  return SizeCounts{0, 4096u, 4096u * ((f - 1) + (((f - 1) & 0xFF) == 0xFF ? 0u : 1u))};
}

TEST(E2eIntegrityFaults, DataShiftedDownOneByte) {
  // 4096: 4095 + 0 = 4095 per transfer, 16773120; 4095: 4094 + 1, 16773120; 4094: 4093 + 1.
  EXPECT_EQ(ShiftDown(4096).mismatched, 16773120u);
  EXPECT_EQ(ShiftDown(4095).mismatched, 16773120u);
  EXPECT_EQ(ShiftDown(4094).mismatched, 16769024u);
  FaultRun f = RunFault("dma-shift=-1", 4094, ShiftDown);
  E2E_EXPECT_VERDICT(f.verdict);
  EXPECT_LE(f.stopped_at, 4094u);
}

TEST(E2eIntegrityFaults, EveryWordCountWrong) {
  // wordcount-bad=1: all 4096 transfers of every size leave a wrong count; the data is right.
  FaultRun f = RunFault("wordcount-bad=1", 4095, [](uint32_t) { return SizeCounts{4096, 0, 0}; });
  E2E_EXPECT_VERDICT(f.verdict);
  EXPECT_LE(f.stopped_at, 4095u);
}

// wordcount-bad=3000: transfers 3000, 6000, 9000, ... of the board leave a wrong count. Size f is
// transfers (4096 - f) x 4096 + 1 to (4097 - f) x 4096 of the pass, the board's first channel-0
// transfers.
SizeCounts EveryThreeThousandth(uint32_t f) {
  const uint32_t first = (4096 - f) * 4096 + 1, last = (4097 - f) * 4096;
  return SizeCounts{last / 3000 - (first - 1) / 3000, 0, 0};
}

TEST(E2eIntegrityFaults, EveryThreeThousandthWordCountWrong) {
  // By hand: 4096 holds 1..4096: 3000 -> 1; 4095 holds 4097..8192: 6000 -> 1;
  // 4094 holds 8193..12288: 9000, 12000 -> 2; 4093 holds 12289..16384: 15000 -> 1;
  // 4092 holds 16385..20480: 18000 -> 1; 4091 holds 20481..24576: 21000, 24000 -> 2.
  const uint32_t by_hand[6] = {1, 1, 2, 1, 1, 2};
  for (uint32_t i = 0; i < 6; ++i)
    EXPECT_EQ(EveryThreeThousandth(4096 - i).size_mismatches, by_hand[i]) << "size " << 4096 - i;
  FaultRun f = RunFault("wordcount-bad=3000", 4093, EveryThreeThousandth);
  E2E_EXPECT_VERDICT(f.verdict);
  EXPECT_LE(f.stopped_at, 4093u) << "at least three complete sizes (counts 1, 1, 2)";
}

TEST(E2eIntegrityFaults, HealthyBoardCompleteSizesAreClean) {
  FaultRun f = RunFault("link=gen1x1", 4094, [](uint32_t) { return SizeCounts{}; });
  E2E_EXPECT_VERDICT(f.verdict);
  EXPECT_LE(f.stopped_at, 4094u);
}

}  // namespace
}  // namespace e2e
