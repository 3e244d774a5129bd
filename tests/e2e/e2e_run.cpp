// The run as a whole: board discovery, the test sequence and every failure row of the run.
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace e2e {
namespace {

using namespace text;

TEST(E2eRun, NormalRunStoppedByAKeyInTheFirstSize) {
  // FPGA_SIM unset: one healthy board on the default link. The rates are matched by form here;
  // their values against the link model are the link cases' matter (they need an idle machine).
  RunResult r = RunProgram(Utility(std::nullopt, {KeyAtFirstSize()}));
  Verdict v = CheckRun(r, InterruptedRun());
  E2E_EXPECT_VERDICT(v);
  if (v.ok) {
    ASSERT_EQ(v.captures.size(), 10u);  // nine performance rates and the backloop rate
    for (const std::string& rate : v.captures) EXPECT_GT(Number(rate), 0.0) << rate;
  }
}

TEST(E2eRun, NoBoard) {
  RunResult r = RunProgram(Utility("boards=0"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + NoDevice()));
}

TEST(E2eRun, OnlyTheFirstOfTwoBoardsIsTestedWithoutAWord) {
  RunResult r = RunProgram(Utility("boards=2", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(r, InterruptedRun()));
}

TEST(E2eRun, ThreeBoardsAsWell) {
  RunResult r = RunProgram(Utility("boards=3", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(r, InterruptedRun()));
}

TEST(E2eRun, ArgumentsAreIgnored) {
  RunSpec s = Utility("", {KeyAtFirstSize()});  // an empty FPGA_SIM is the default board
  s.args = {"-h", "--help", "/?", "boards=0", "", "x y", "\xff"};
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(s), InterruptedRun()));

  RunSpec none = Utility("boards=0");
  none.args = {"--version", "-v", "1"};
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(none), Banner() + NoDevice()));
}

// ---- Failure rows of the run -------------------------------------------------------------------

std::string Sim(const std::string& what, const std::string& op) {
  return ErrorLine(what, SimFailStatus(op), SimFailText(op));
}

TEST(E2eRunFailures, LibraryOpenFailsAndNothingIsClosed) {
  // No close line: the library is not closed after a failed open, so no uninit line can appear.
  RunResult r = RunProgram(Utility("fail=WDC_DriverOpen"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + Sim("Failed to initialize the WDC library",
                                                "WDC_DriverOpen")));
  EXPECT_EQ(SimFailStatus("WDC_DriverOpen"), 0x20001000u);
}

TEST(E2eRunFailures, PciScanFails) {
  RunResult r = RunProgram(Utility("fail=WDC_PciScanDevices"));
  // This line alone has a colon after "Error".
  E2E_EXPECT_VERDICT(CheckRun(
      r, Banner() + "Failed scanning the PCI bus. Error: 0x20001002 - Simulated failure of "
                    "WDC_PciScanDevices\n"));
}

TEST(E2eRunFailures, DeviceInfoFails) {
  RunResult r = RunProgram(Utility("fail=WDC_PciGetDeviceInfo"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + Sim("Failed retrieving the device's resources information",
                                                "WDC_PciGetDeviceInfo")));
}

TEST(E2eRunFailures, DeviceOpenFails) {
  RunResult r = RunProgram(Utility("fail=WDC_PciDeviceOpen"));
  E2E_EXPECT_VERDICT(
      CheckRun(r, Banner() + Sim("Failed opening a WDC device handle", "WDC_PciDeviceOpen")));
}

TEST(E2eRunFailures, DeviceCloseFailsShowingTheHandle) {
  // The failed close leaves the handle open, and the library's close then finds it: the ledger
  // line is the truthful end of this run.
  RunResult r = RunProgram(Utility("fail=WDC_PciDeviceClose", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(
      r, InterruptedRun() +
             "Failed closing a WDC device handle (0x%p). Error 0x20001005 - Simulated failure of "
             "WDC_PciDeviceClose\n" +
             ErrorLine("Failed to uninit the WDC library", 0x20000011,
                       "resources left at close: 1 device handle open")));
}

TEST(E2eRunFailures, LibraryCloseFails) {
  RunResult r = RunProgram(Utility("fail=WDC_DriverClose", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(
      r, InterruptedRun() + Sim("Failed to uninit the WDC library", "WDC_DriverClose")));
}

TEST(E2eRunFailures, ScanFailsOnAMachineWithoutBoardsToo) {
  RunResult r = RunProgram(Utility("boards=0,fail=WDC_PciScanDevices"));
  E2E_EXPECT_VERDICT(CheckRun(
      r, Banner() + "Failed scanning the PCI bus. Error: 0x20001002 - Simulated failure of "
                    "WDC_PciScanDevices\n"));
}

// A bad FPGA_SIM item fails the library's open with a status whose text names the item.
class E2eBadSetting : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(E2eBadSetting, InitializationFailsNamingTheItem) {
  const std::string setting = GetParam().first, item = GetParam().second;
  RunResult r = RunProgram(Utility(setting));
  Verdict v = CheckRun(r, Banner() + "Failed to initialize the WDC library. Error 0x20000010 - "
                                     "bad FPGA_SIM item '" + Literal(item) + "': %s\n");
  E2E_EXPECT_VERDICT(v);
  if (v.ok) {
    ASSERT_EQ(v.captures.size(), 1u);
    EXPECT_FALSE(v.captures[0].empty()) << "the text should say what is wrong with the item";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Items, E2eBadSetting,
    ::testing::Values(std::make_pair("bogus=1", "bogus=1"),
                      std::make_pair("boards=4", "boards=4"),
                      std::make_pair("boards=1,boards", "boards"),
                      std::make_pair("pause=off,fail=WDC_NoSuchCall", "fail=WDC_NoSuchCall"),
                      std::make_pair("fail=Stat2Str", "fail=Stat2Str"),
                      std::make_pair("bar0-stuck=6:8:1", "bar0-stuck=6:8:1"),
                      std::make_pair("bar0-stuck=4096:0:1", "bar0-stuck=4096:0:1"),
                      std::make_pair("link=gen4x4", "link=gen4x4"),
                      std::make_pair("irq-drop=ch1@1", "irq-drop=ch1@1"),
                      std::make_pair("sg-swap=2:2", "sg-swap=2:2")));

}  // namespace
}  // namespace e2e
