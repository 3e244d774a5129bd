// Buffer locking: the option from the flag, the failure lines, and the refusal of records the
// controller cannot be given.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_wdc.h"
#include "device/diag_device.h"

using ::testing::ElementsAre;

namespace {

using namespace oracle;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Fake& f = fake::F();
};

TEST_F(LockTest, AnyNonZeroFlagSelectsDeviceReads) {
  uint8_t host[64];
  for (int flag : {0, 1, 2, -1, 0x40}) {
    void* buf = nullptr;
    WdcDmaRecord* contig = nullptr;
    WdcDmaRecord* sg = nullptr;
    const std::string out = fake::Capture([&] {
      EXPECT_EQ(DIAG_LockContigBuf(&f.device, &buf, flag, 4096, &contig), 1);
      EXPECT_EQ(DIAG_LockSgBuf(&f.device, host, flag, sizeof host, &sg), 1);
    });
    EXPECT_EQ(out, "");
    EXPECT_NE(buf, nullptr);
    EXPECT_EQ(contig, &f.Find(contig)->rec);
    EXPECT_EQ(f.Find(sg)->host, host);  // the buffer itself, not a pointer to it
    const uint32_t option = flag ? 0x40 : 0x20;
    EXPECT_EQ(f.Find(contig)->options, option) << flag;
    EXPECT_EQ(f.Find(sg)->options, option) << flag;
  }
  EXPECT_EQ(f.Calls("WDC_DMABufUnlock"), 0);
}

TEST_F(LockTest, FailedLocksPrintOneLineEach) {
  f.Fail("WDC_DMAContigBufLock", 0x2000100E);
  f.Fail("WDC_DMASGBufLock", 0x2000100F);
  uint8_t host[16];
  void* buf = nullptr;
  WdcDmaRecord* rec = nullptr;
  int contig = -1, sg = -1;
  const std::string out = fake::Capture([&] {
    contig = DIAG_LockContigBuf(&f.device, &buf, 0, 4096, &rec);
    sg = DIAG_LockSgBuf(&f.device, host, 1, sizeof host, &rec);
  });
  EXPECT_EQ(contig, 0);
  EXPECT_EQ(sg, 0);
  EXPECT_EQ(out, ContigLockFailure(fake::Stat(0x2000100E)) + SgLockFailure(fake::Stat(0x2000100F)));
  EXPECT_EQ(rec, nullptr);
}

TEST_F(LockTest, UnlockOfAnEmptyRecordIsSilentAndCallsNothing) {
  const std::string out = fake::Capture([] { DIAG_UnlockBuf(nullptr); });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(f.log.empty());
}

TEST_F(LockTest, FailedUnlockIsSilent) {
  void* buf = nullptr;
  WdcDmaRecord* rec = nullptr;
  ASSERT_EQ(DIAG_LockContigBuf(&f.device, &buf, 0, 64, &rec), 1);
  f.Fail("WDC_DMABufUnlock", 0x20001010);
  const std::string out = fake::Capture([&] { DIAG_UnlockBuf(rec); });
  EXPECT_EQ(out, "");
  EXPECT_THAT(f.unlocked, ElementsAre(1));
}

// A delivered record and the refusal it must get (0: accepted).
struct Refusal {
  const char* name;
  std::vector<WdcDmaPage> pages;
  bool noPages;
  WdcStatus status;
};

class RefusalTest : public LockTest, public ::testing::WithParamInterface<Refusal> {};

const Refusal kRefusals[] = {
    {"EndsExactlyAt4G", {{0xFFFFF000ull, 0x1000}}, false, 0},
    {"CrossesInto4G", {{0xFFFFF001ull, 0x1000}}, false, WDC_STATUS_BUS_ADDR_ABOVE_4G},
    {"StartsAbove4G", {{0x100000000ull, 0x10}}, false, WDC_STATUS_BUS_ADDR_ABOVE_4G},
    {"LaterPageAbove4G", {{0x1000, 0x1000}, {0x200000000ull, 0x1000}}, false,
     WDC_STATUS_BUS_ADDR_ABOVE_4G},
    {"PageOf2Pow29", {{0x1000, 0x20000000}}, false, WDC_STATUS_LENGTH_TOO_LARGE},
    {"PageJustBelow2Pow29", {{0x1000, 0x1FFFFFFF}}, false, 0},
    {"TotalOf2Pow29", {{0x1000, 0x10000000}, {0x40000000, 0x10000000}}, false,
     WDC_STATUS_LENGTH_TOO_LARGE},
    {"NoPages", {}, true, WDC_STATUS_NO_PAGES},
};

TEST_P(RefusalTest, ContiguousLock) {
  const Refusal& r = GetParam();
  f.contigSpecs.push_back({r.pages, r.noPages});
  void* buf = nullptr;
  WdcDmaRecord* rec = nullptr;
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_LockContigBuf(&f.device, &buf, 1, 64, &rec); });
  if (r.status == 0) {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "");
    EXPECT_NE(rec, nullptr);
    EXPECT_TRUE(f.unlocked.empty());
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, ContigLockFailure(fake::Stat(r.status)));
    EXPECT_EQ(rec, nullptr);
    EXPECT_EQ(buf, nullptr);
    EXPECT_THAT(f.unlocked, ElementsAre(1));  // the library gets its record back
  }
}

TEST_P(RefusalTest, ScatterGatherLock) {
  const Refusal& r = GetParam();
  f.sgSpecs.push_back({r.pages, r.noPages});
  uint8_t host[64];
  WdcDmaRecord* rec = nullptr;
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_LockSgBuf(&f.device, host, 0, sizeof host, &rec); });
  if (r.status == 0) {
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(f.unlocked.empty());
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, SgLockFailure(fake::Stat(r.status)));
    EXPECT_EQ(rec, nullptr);
    EXPECT_THAT(f.unlocked, ElementsAre(1));
  }
}

INSTANTIATE_TEST_SUITE_P(Records, RefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
