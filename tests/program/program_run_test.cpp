// The run against the fake boundary: every failure row, what follows it and what does not.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <regex>

#include "fake_wdc.h"
#include "main/run.h"

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kBanner = "\nFPGA PCI-Express controller diagnostic utility.\n";
constexpr WdcStatus kErr = 0x20001007;
const std::string kErrText = "0x20001007 - fake text 0x20001007\n";

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
  EXPECT_EQ(Run(&rc), kBanner + "Failed to initialize the WDC library. Error " + kErrText);
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "Stat2Str"));
}

TEST_F(RunTest, ScanFailureClosesTheLibraryOnly) {
  f.Fail("WDC_PciScanDevices", kErr);
  int rc = -1;
  EXPECT_EQ(Run(&rc), kBanner + "Failed scanning the PCI bus. Error: " + kErrText);
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
  EXPECT_EQ(Run(&rc), kBanner + "No device (vendor ID 0x10EE, device ID 0x5050) was found\n");
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(f.Ops(), ElementsAre("WDC_DriverOpen", "WDC_PciScanDevices", "WDC_DriverClose"));
}

TEST_F(RunTest, DeviceInfoFailureAsksForTheFirstBoardAndClosesTheLibrary) {
  f.numDevices = 3;
  f.Fail("WDC_PciGetDeviceInfo", kErr);
  int rc = -1;
  EXPECT_EQ(Run(&rc),
            kBanner + "Failed retrieving the device's resources information. Error " + kErrText);
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
  EXPECT_EQ(Run(&rc), kBanner + "Failed opening a WDC device handle. Error " + kErrText);
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
  char handle[40];
  snprintf(handle, sizeof handle, "(0x%016" PRIXPTR ")", reinterpret_cast<uintptr_t>(&f.device));
  const std::string line =
      std::string("Failed closing a WDC device handle ") + handle + ". Error " + kErrText;
  ASSERT_GE(out.size(), line.size());
  EXPECT_EQ(out.substr(out.size() - line.size()), line);
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(handle \(0x[0-9A-F]{16}\)\. Error)")));
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
  const std::string line = "Failed to uninit the WDC library. Error " + kErrText;
  ASSERT_GE(out.size(), line.size());
  EXPECT_EQ(out.substr(out.size() - line.size()), line);
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
  EXPECT_THAT(out, Not(HasSubstr("device (")));
  EXPECT_EQ(f.Calls("WDC_PciDeviceClose"), 1);
  EXPECT_EQ(f.Calls("WDC_DriverClose"), 1);
  EXPECT_EQ(f.Ops().back(), "WDC_DriverClose");
}

TEST_F(RunTest, TestsRunInOrderAndAFailedWritePassSkipsTheReadPass) {
  MakeTestsEndQuickly();
  int rc = -1;
  const std::string out = Run(&rc);
  EXPECT_EQ(rc, 0);
  const size_t bar0 = out.find("\nBAR0 slave memory read/write testing:\n");
  const size_t write = out.find("\nMemory write DMA transfers data integrity testing...\n");
  const size_t backloop = out.find("\nScatter/Gather DMA backloop testing (buffers size is "
                                   "50.000000 MByte)...\n");
  ASSERT_NE(bar0, std::string::npos);
  ASSERT_NE(write, std::string::npos);
  ASSERT_NE(backloop, std::string::npos);
  EXPECT_LT(bar0, write);
  EXPECT_LT(write, backloop);
  EXPECT_THAT(out, Not(HasSubstr("Memory read DMA transfers")));
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
