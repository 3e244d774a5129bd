// The run against the fake boundary: every failure row, what follows it and what does not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fake_wdc.h"
#include "main/run.h"

using ::testing::ElementsAre;

namespace {

using namespace oracle;

constexpr WdcStatus kErr = 0x20001007;
Status Err() { return fake::Stat(kErr); }

// What a run whose tests all fail at their first lock prints (see MakeTestsEndQuickly): the
// write pass ends at its lock, so no read pass follows; the performance test's first lock and
// the backloop destination's fail.
std::string TestsEndingQuickly() {
  return UntilIntegrity() + ContigLockFailure(Err()) + ContigLockFailure(Err()) +
         BackloopHeading() + SgLockFailure(Err());
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Fake& f = fake::F();
  // Every test body fails at once, so a run that opens the board stays short.
  void MakeTestsEndQuickly() {
    fake::F().Fail("WDC_DMAContigBufLock", kErr);
    fake::F().Fail("WDC_DMASGBufLock", kErr);
  }
  std::string Run(int* rc) {
    return fake::Capture([rc] { *rc = DIAG_Run(); });
  }
};

TEST_F(RunTest, LibraryOpenFailureEndsAtOnceWithoutClosing) {
  f.Fail("WDC_DriverOpen", kErr);
  int rc = -1;
  EXPECT_EQ(Run(&rc), Banner() + LibraryOpenFailure(Err()));
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "Stat2Str"));
}

TEST_F(RunTest, ScanFailureClosesTheLibraryOnly) {
  f.Fail("WDC_PciScanDevices", kErr);
  int rc = -1;
  EXPECT_EQ(Run(&rc), Banner() + PciScanFailure(Err()));
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "WDC_PciScanDevices", "Stat2Str",
                                   "WDC_DriverClose"));
  EXPECT_TRUE(f.scanZeroedAtEntry);
  EXPECT_EQ(f.scanVendor, 0x10EEu);
  EXPECT_EQ(f.scanDevice, 0x5050u);
}

TEST_F(RunTest, NoDeviceShowsTheIdsInUpperCase) {
  f.numDevices = 0;
  int rc = -1;
  EXPECT_EQ(Run(&rc), Banner() + NoDevice());
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "WDC_PciScanDevices", "WDC_DriverClose"));
}

TEST_F(RunTest, DeviceInfoFailureAsksForTheFirstBoardAndClosesTheLibrary) {
  f.numDevices = 3;
  f.Fail("WDC_PciGetDeviceInfo", kErr);
  int rc = -1;
  EXPECT_EQ(Run(&rc), Banner() + DeviceInfoFailure(Err()));
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "WDC_PciScanDevices", "WDC_PciGetDeviceInfo",
                                   "Stat2Str", "WDC_DriverClose"));
  // Zeroed in full but for the first board's location.
  WdcPciDeviceInfo expected{};
  expected.pciSlot = {3, 7, 0};
  EXPECT_EQ(std::memcmp(&f.infoAtEntry, &expected, sizeof expected), 0);
}

TEST_F(RunTest, DeviceOpenFailureNeverClosesTheDevice) {
  f.Fail("WDC_PciDeviceOpen", kErr);
  int rc = -1;
  EXPECT_EQ(Run(&rc), Banner() + DeviceOpenFailure(Err()));
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "WDC_PciScanDevices", "WDC_PciGetDeviceInfo",
                                   "WDC_PciDeviceOpen", "Stat2Str", "WDC_DriverClose"));
  EXPECT_TRUE(f.openArgsNull);
}

TEST_F(RunTest, DeviceCloseFailureShowsTheHandleAndStillClosesTheLibrary) {
  MakeTestsEndQuickly();
  f.Fail("WDC_PciDeviceClose", kErr);
  int rc = -1;
  const std::string out = Run(&rc);
  EXPECT_EQ(rc, 0);
  const Match m = MatchOutput(TestsEndingQuickly() + DeviceCloseFailure(Err()), out);
  ASSERT_TRUE(m.ok) << m.diff;
  char handle[40];
  snprintf(handle, sizeof handle, "%016" PRIXPTR, reinterpret_cast<uintptr_t>(&f.device));
  EXPECT_EQ(m.captures, std::vector<std::string>{handle});
  EXPECT_EQ(f.closedHandle, &f.device);
  const std::vector<std::string> ops = f.Ops();
  ASSERT_GE(ops.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(ops.end() - 3, ops.end()),
              ElementsAre("WDC_PciDeviceClose", "Stat2Str", "WDC_DriverClose"));
  EXPECT_EQ(f.Calls("WDC_DriverClose"), 1);
  EXPECT_EQ(f.Calls("WDC_PciDeviceClose"), 1);
}

TEST_F(RunTest, LibraryCloseFailureIsTheLastLine) {
  MakeTestsEndQuickly();
  f.Fail("WDC_DriverClose", kErr);
  int rc = -1;
  const std::string out = Run(&rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, TestsEndingQuickly() + LibraryCloseFailure(Err()));
  EXPECT_EQ(f.Ops().back(), "Stat2Str");
  EXPECT_EQ(f.Calls("WDC_DriverClose"), 1);
}

TEST_F(RunTest, TwoBoardsOnlyTheFirstIsOpenedAndNothingIsSaid) {
  MakeTestsEndQuickly();
  f.numDevices = 2;
  int rc = -1;
  const std::string out = Run(&rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(f.Calls("WDC_PciGetDeviceInfo"), 1);
  EXPECT_EQ(f.Calls("WDC_PciDeviceOpen"), 1);
  EXPECT_EQ(f.openedSlot.dwBus, 3u);
  EXPECT_EQ(f.openedSlot.dwSlot, 7u);
  EXPECT_EQ(f.openedSlot.dwFunction, 0u);
  EXPECT_EQ(out, TestsEndingQuickly());  // not a word about the second board
  EXPECT_EQ(f.Calls("WDC_PciDeviceClose"), 1);
  EXPECT_EQ(f.Calls("WDC_DriverClose"), 1);
  EXPECT_EQ(f.Ops().back(), "WDC_DriverClose");
}

TEST_F(RunTest, TestsRunInOrderAndAFailedWritePassSkipsTheReadPass) {
  MakeTestsEndQuickly();
  int rc = -1;
  const std::string out = Run(&rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(out, TestsEndingQuickly());
  // Integrity (16 KiB, device writes), then the performance test's first buffer (64 KiB).
  EXPECT_THAT(fake::Starting(f.log, "WDC_DMAContigBufLock"),
              ElementsAre("WDC_DMAContigBufLock opt=0x20 size=16384",
                          "WDC_DMAContigBufLock opt=0x20 size=65536"));
  EXPECT_THAT(fake::Starting(f.log, "WDC_DMASGBufLock"),
              ElementsAre("WDC_DMASGBufLock opt=0x20 size=52428800"));
  EXPECT_EQ(f.Ops().back(), "WDC_DriverClose");
  EXPECT_EQ(f.Calls("WDC_DriverClose"), 1);
}

}  // namespace
