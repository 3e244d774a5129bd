// The run as a whole: board discovery, the test sequence and every failure row of the run.
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "report_check.h"

namespace e2e {
namespace {

using namespace oracle;
using namespace report_check;

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
  // A key at the first size: no size covered, so the run is INCOMPLETE, or with --partial-ok a
  // pass; every performance rate of the default Gen2 x4 link between floor and ceiling (the
  // backloop's, which a sanitizer's slowdown holds back, is the link cases' matter).
  const char kCoverage[] =
      "a key ended the memory-write pass at size 4096: it covered no whole "
      "size; the memory-read pass did not run";
  EXPECT_JUDGED(r, {{"", kIncomplete, kCoverage},
                    {"integrity.memory-write", kIncomplete, "a key ended it at size 4096"},
                    {"integrity.memory-read", kNotRun, "a key ended the memory-write"}});
  report::Options partial;
  partial.partial_ok = true;
  EXPECT_TRUE(
      Holds(Judge(r.output, &r, "", partial), {{"", kPass, "counted as passed (--partial-ok)"}}));
  EXPECT_TRUE(Holds(Judge(r.output, &r, "gen2x4"),
                    {{"performance.write", kPass, "of the ceiling"},
                     {"performance.read-write-two-reads", kPass, "of the ceiling"}}));
}

TEST(E2eRun, NoBoard) {
  RunResult r = RunProgram(Utility("boards=0"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + NoDevice()));
  EXPECT_JUDGED(r, {{"run", kFail, "no board"},
                    {"bar0.bytes", kNotRun, "not run: no board"},
                    {"backloop", kNotRun, "not run: no board"}});
}

TEST(E2eRun, OnlyTheFirstOfTwoBoardsIsTestedWithoutAWord) {
  RunResult r = RunProgram(Utility("boards=2", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(r, InterruptedRun()));
}

TEST(E2eRun, ThreeBoardsAsWell) {
  RunResult r = RunProgram(Utility("boards=3", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(r, InterruptedRun()));
}

// What only the served board shows (its link capabilities, its AER registers) is taken and
// leaves the output as it is, so that one FPGA_SIM text serves both boards.
TEST(E2eRun, ServedBoardsLinkCapabilitiesAndLinkErrorsChangeNothingHere) {
  RunResult r = RunProgram(Utility("link=gen2x4,link-max=gen3x8,aer=bad-tlp:ch0@1,"
                                   "aer=malformed-tlp:backloop@1",
                                   {KeyAtFirstSize()}));
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

TEST(E2eRunFailures, LibraryOpenFailsAndNothingIsClosed) {
  // No close line: the library is not closed after a failed open, so no uninit line can appear.
  RunResult r = RunProgram(Utility("fail=WDC_DriverOpen"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + LibraryOpenFailure(Simulated("WDC_DriverOpen"))));
  EXPECT_EQ(Simulated("WDC_DriverOpen").code, 0x20001000u);
  EXPECT_JUDGED(r, {{"run", kFail,
                     "the library did not open: " +
                         Quoted(LibraryOpenFailure(Simulated("WDC_DriverOpen")))}});
}

TEST(E2eRunFailures, PciScanFails) {
  RunResult r = RunProgram(Utility("fail=WDC_PciScanDevices"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + PciScanFailure(Simulated("WDC_PciScanDevices"))));
  EXPECT_JUDGED(
      r, {{"run", kFail,
           "the PCI scan failed: " + Quoted(PciScanFailure(Simulated("WDC_PciScanDevices")))}});
}

TEST(E2eRunFailures, DeviceInfoFails) {
  RunResult r = RunProgram(Utility("fail=WDC_PciGetDeviceInfo"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + DeviceInfoFailure(Simulated("WDC_PciGetDeviceInfo"))));
  EXPECT_JUDGED(r, {{"run", kFail,
                     "the board's resources could not be read: " +
                         Quoted(DeviceInfoFailure(Simulated("WDC_PciGetDeviceInfo")))},
                    {"integrity.memory-write", kNotRun, "the board did not open"}});
}

TEST(E2eRunFailures, DeviceOpenFails) {
  RunResult r = RunProgram(Utility("fail=WDC_PciDeviceOpen"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + DeviceOpenFailure(Simulated("WDC_PciDeviceOpen"))));
  EXPECT_JUDGED(r, {{"run", kFail,
                     "the board could not be opened: " +
                         Quoted(DeviceOpenFailure(Simulated("WDC_PciDeviceOpen")))}});
}

TEST(E2eRunFailures, DeviceCloseFailsShowingTheHandle) {
  // The failed close leaves the handle open, and the library's close then finds it: the ledger
  // line is the truthful end of this run.
  RunResult r = RunProgram(Utility("fail=WDC_PciDeviceClose", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(CheckRun(r, InterruptedRun() +
                                     DeviceCloseFailure(Simulated("WDC_PciDeviceClose")) +
                                     Ledger("1 device handle open")));
  EXPECT_EQ(Simulated("WDC_PciDeviceClose").code, 0x20001005u);
  // The handle's failure is the run's first; the ledger's line follows it.
  EXPECT_JUDGED(r, {{"run", kFail, "the board's handle did not close: \"Failed closing"},
                    {"", kFail, "Simulated failure of WDC_PciDeviceClose"}});
}

TEST(E2eRunFailures, LibraryCloseFails) {
  RunResult r = RunProgram(Utility("fail=WDC_DriverClose", {KeyAtFirstSize()}));
  E2E_EXPECT_VERDICT(
      CheckRun(r, InterruptedRun() + LibraryCloseFailure(Simulated("WDC_DriverClose"))));
  EXPECT_JUDGED(r, {{"run", kFail,
                     "the library did not close: " +
                         Quoted(LibraryCloseFailure(Simulated("WDC_DriverClose")))}});
}

TEST(E2eRunFailures, ScanFailsOnAMachineWithoutBoardsToo) {
  RunResult r = RunProgram(Utility("boards=0,fail=WDC_PciScanDevices"));
  E2E_EXPECT_VERDICT(CheckRun(r, Banner() + PciScanFailure(Simulated("WDC_PciScanDevices"))));
  EXPECT_EQ(Simulated("WDC_PciScanDevices").code, 0x20001002u);
}

// A bad FPGA_SIM item fails the library's open with a status whose text names the item.
class E2eBadSetting : public ::testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(E2eBadSetting, InitializationFailsNamingTheItem) {
  const std::string setting = GetParam().first, item = GetParam().second;
  RunResult r = RunProgram(Utility(setting));
  Verdict v = CheckRun(r, Banner() + LibraryOpenFailure(BadSetting(item)));
  E2E_EXPECT_VERDICT(v);
  if (v.ok) {
    ASSERT_EQ(v.captures.size(), 1u);
    EXPECT_FALSE(v.captures[0].empty()) << "the text should say what is wrong with the item";
  }
  EXPECT_JUDGED(r, {{"run", kFail, "the library did not open"}});
}

INSTANTIATE_TEST_SUITE_P(
    Items, E2eBadSetting,
    ::testing::Values(std::make_pair("bogus=1", "bogus=1"), std::make_pair("boards=4", "boards=4"),
                      std::make_pair("boards=1,boards", "boards"),
                      std::make_pair("pause=off,fail=WDC_NoSuchCall", "fail=WDC_NoSuchCall"),
                      std::make_pair("fail=Stat2Str", "fail=Stat2Str"),
                      std::make_pair("bar0-stuck=6:8:1", "bar0-stuck=6:8:1"),
                      std::make_pair("bar0-stuck=4096:0:1", "bar0-stuck=4096:0:1"),
                      std::make_pair("link=gen4x4", "link=gen4x4"),
                      std::make_pair("link=gen3x8,link-max=gen2x8", "link-max=gen2x8"),
                      std::make_pair("irq-drop=ch1@1", "irq-drop=ch1@1"),
                      std::make_pair("sg-swap=2:2", "sg-swap=2:2")));

}  // namespace
}  // namespace e2e
