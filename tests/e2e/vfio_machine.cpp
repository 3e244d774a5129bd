// The utility on real boards, end to end: fpga-diag on this machine, which has no board, and
// fpga-diag-vfio-sim on machines (FPGA_VFIO_MODEL) that are set up wrongly in each of the ways
// a user meets. Each failure row must name the cause and say what to do about it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "e2e_harness.h"
#include "wdc/wdc_lib.h"

namespace e2e {
namespace {

using namespace oracle;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kBoard = "0000:01:00.0";  // the virtual board's slot

// The whole output when the board's open fails; the status text is returned for its checks.
std::string OpenFailureText(const std::string& machine, uint32_t status) {
  RunSpec desc = Utility(std::nullopt);
  desc.exe = FPGA_DIAG_VFIO_SIM_EXE;
  desc.env = {"FPGA_VFIO_MODEL=" + machine};
  const Verdict v = CheckRun(RunProgram(desc), Banner() + DeviceOpenFailure(AnyText(status)));
  EXPECT_TRUE(v.ok) << machine << "\n" << v.why;
  return v.ok && !v.captures.empty() ? v.captures.back() : "";
}

TEST(E2eRealBoards, WithoutABoardTheRunPrintsTheNoDeviceRow) {
  // This machine has no such board (and may have no IOMMU, or no PCI bus in sysfs at all).
  RunSpec desc = Utility(std::nullopt);
  desc.exe = FPGA_DIAG_EXE_REAL;
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(desc), Banner() + NoDevice()));
}

TEST(E2eRealBoards, ABoardNotBoundToVfioPciIsNamedWithItsDriverAndTheRebind) {
  const std::string other = OpenFailureText("driver=pci-stub", WDC_STATUS_NOT_BOUND);
  EXPECT_THAT(other, HasSubstr("bound to the driver pci-stub"));
  EXPECT_THAT(other, HasSubstr(std::string("driverctl set-override ") + kBoard + " vfio-pci"));
  EXPECT_THAT(other, HasSubstr(std::string("echo ") + kBoard + " > /sys/bus/pci/devices/" + kBoard +
                               "/driver/unbind"));
  const std::string none = OpenFailureText("driver=", WDC_STATUS_NOT_BOUND);
  EXPECT_THAT(none, HasSubstr("bound to no driver"));
  EXPECT_THAT(none, HasSubstr("driver_override"));
  EXPECT_THAT(none, Not(HasSubstr("unbind")));  // there is nothing to unbind
}

TEST(E2eRealBoards, WithoutAnIommuGroupTheFirmwareAndKernelSettingsAreNamed) {
  const std::string text = OpenFailureText("iommu=off", WDC_STATUS_NO_IOMMU);
  EXPECT_THAT(text, HasSubstr("IOMMU is off"));
  EXPECT_THAT(text, HasSubstr("intel_iommu=on"));
  EXPECT_THAT(text, HasSubstr("amd_iommu"));
}

TEST(E2eRealBoards, AGroupSharedWithABoundDeviceNamesThatDevice) {
  const std::string text = OpenFailureText("neighbour=snd_hda_intel", WDC_STATUS_GROUP_NOT_VIABLE);
  EXPECT_THAT(text, HasSubstr("0000:01:00.1 (driver snd_hda_intel)"));
}

TEST(E2eRealBoards, AGroupFileWithoutPermissionSaysHowToGrantIt) {
  const std::string text = OpenFailureText("group=denied", WDC_STATUS_NO_PERMISSION);
  EXPECT_THAT(text, HasSubstr("/dev/vfio/1"));
  EXPECT_THAT(text, HasSubstr("EACCES"));
  EXPECT_THAT(text, HasSubstr("chown $USER /dev/vfio/1"));
}

TEST(E2eRealBoards, AMemoryLockLimitTooLowFailsTheBackloopLockWithTheLimitNamed) {
  // 8 MiB, the usual default: the integrity and performance buffers fit; the backloop's
  // 50 MiB destination does not. Its refusal is unlocked, so the ledger stays clean. Without
  // the pause a size takes milliseconds, so the key waits in the terminal from the start.
  RunSpec desc = Utility("pause=off");
  desc.typed_ahead = "x";
  desc.exe = FPGA_DIAG_VFIO_SIM_EXE;
  desc.env = {"FPGA_VFIO_MODEL=memlock=8192"};
  const Verdict v = CheckRun(RunProgram(desc), UntilIntegrity() + SizeLine(4096) + Interrupted() +
                                                   Performance() + BackloopHeading() +
                                                   SgLockFailure(AnyText(WDC_STATUS_LOCK_LIMIT)));
  E2E_EXPECT_VERDICT(v);
  if (v.ok) {
    EXPECT_THAT(v.captures.back(), HasSubstr("`ulimit -l` is 8192 (KiB)"));
    // The hard limit is as low: no `ulimit -l` can help, only root in limits.conf.
    EXPECT_THAT(v.captures.back(), HasSubstr("The hard limit, 8192 KiB, is below that too"));
  }
}

}  // namespace
}  // namespace e2e
