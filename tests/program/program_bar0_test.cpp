// The BAR0 slave memory test against BAR0 held as plain memory, with reads bent per item.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "fake_wdc.h"
#include "diag/diag.h"

namespace {

using oracle::Bar0AllSuccess;
using oracle::Bar0Failure;
using oracle::Bar0Success;

class Bar0Test : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Fake& f = fake::F();
  // Reads at (width, byte offset) return the given values instead of the memory.
  std::map<std::pair<unsigned, uint64_t>, uint64_t> bent;
  std::string Run() {
    f.onRead = [this](const fake::Access& a, uint64_t* v) {
      auto it = bent.find({a.width, a.offset});
      if (it == bent.end()) return false;
      *v = it->second;
      return true;
    };
    int result = -1;
    const std::string out = fake::Capture([&] { result = DIAG_Bar0MemoryTest(&f.device); });
    EXPECT_EQ(result, 1);
    return out;
  }
};

TEST_F(Bar0Test, WorkingWindowGivesFourSuccesses) {
  EXPECT_EQ(Run(), Bar0AllSuccess());
  // Every write of a phase comes before its first read, one call per item.
  for (unsigned width : {8u, 16u, 32u, 64u}) {
    const std::string w = "W" + std::to_string(width) + " ";
    const std::string r = "R" + std::to_string(width) + " ";
    const auto writes = fake::Starting(f.log, w);
    EXPECT_EQ(writes.size(), 4096u / (width / 8));
    EXPECT_EQ(fake::Starting(f.log, r).size(), writes.size());
    EXPECT_LT(f.IndexOf(writes.back()), f.IndexOf(fake::Starting(f.log, r).front()));
  }
  // The last pattern stays: item i of the uint64 phase holds i.
  uint64_t item300 = 0;
  std::memcpy(&item300, f.bar0 + 8 * 300, 8);
  EXPECT_EQ(item300, 300u);
}

TEST_F(Bar0Test, BytesPhaseWrapsAndStopsAtTheFirstMismatch) {
  bent[{8, 256}] = 0;   // 256 mod 256: a match
  bent[{8, 300}] = 0;   // should read 44
  bent[{8, 301}] = 0;   // never read
  EXPECT_EQ(Run(),
            oracle::Bar0Test(Bar0Failure(300, 0), Bar0Success(), Bar0Success(), Bar0Success()));
  EXPECT_EQ(fake::Starting(f.log, "R8 ").size(), 301u);
}

TEST_F(Bar0Test, MismatchesAreReportedByItemIndex) {
  bent[{16, 6}] = 0xFFFF;
  bent[{16, 8}] = 0;  // a second mismatch in the same phase is not reported
  bent[{32, 0x400}] = 7;
  EXPECT_EQ(Run(), oracle::Bar0Test(Bar0Success(), Bar0Failure(3, 65535), Bar0Failure(256, 7),
                                    Bar0Success()));
}

TEST_F(Bar0Test, Uint64MismatchInTheHighHalfPrintsTheFullValue) {
  bent[{64, 40}] = (1ull << 32) | 5;  // item 5: low half right, high half wrong
  EXPECT_EQ(Run(), oracle::Bar0Test(Bar0Success(), Bar0Success(), Bar0Success(),
                                    Bar0Failure(5, 4294967301ull)));
}

TEST_F(Bar0Test, AllFourPhasesFailingStillReturnsOne) {
  bent[{8, 1}] = 9;
  bent[{16, 0}] = 1;
  bent[{32, 4092}] = 0;
  bent[{64, 4088}] = 0;
  EXPECT_EQ(Run(), oracle::Bar0Test(Bar0Failure(1, 9), Bar0Failure(0, 1), Bar0Failure(1023, 0),
                                    Bar0Failure(511, 0)));
}

}  // namespace
