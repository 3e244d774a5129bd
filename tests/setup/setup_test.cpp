// fpga-diag-setup over a sysfs tree of the suite's own: what the status report says of machines
// no virtual machine here can be made into, and what bind and unbind write.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "fake_host.h"

namespace setup_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(SetupStatus, LinkBelowItsMaximumIsNotedAndMissingLinkFilesAreNotReported) {
  FakeHost host;
  host.AddFunction({kBoard});
  host.AddFunction({"0000:04:00.0", 0x10EE, 0x5050, "vfio-pci", 8});
  host.AddFunction({"0000:05:00.0", 0x10EE, 0x5050, "vfio-pci", 9});
  host.SetLink(kBoard, "2.5 GT/s PCIe", 4, "8.0 GT/s PCIe", 4);          // speed only
  host.SetLink("0000:04:00.0", "8.0 GT/s PCIe", 1, "8.0 GT/s PCIe", 4);  // width only

  EXPECT_TRUE(setup::ReadLink(host.SysfsRoot(), kBoard).below_max);
  EXPECT_TRUE(setup::ReadLink(host.SysfsRoot(), "0000:04:00.0").below_max);
  host.SetLink("0000:04:00.0", "8.0 GT/s PCIe", 4, "8.0 GT/s PCIe", 4);
  const setup::Link full = setup::ReadLink(host.SysfsRoot(), "0000:04:00.0");
  EXPECT_TRUE(full.reported);
  EXPECT_FALSE(full.below_max);
  EXPECT_EQ(full.width, 4u);
  // A link the kernel cannot name compares as nothing rather than as slow.
  host.SetLink("0000:04:00.0", "Unknown", 4, "8.0 GT/s PCIe", 4);
  EXPECT_FALSE(setup::ReadLink(host.SysfsRoot(), "0000:04:00.0").below_max);
  EXPECT_FALSE(setup::ReadLink(host.SysfsRoot(), "0000:05:00.0").reported);

  const Result r = Call(host, {});
  EXPECT_EQ(r.status, 0) << r.out;  // a slow link is a note, not a fault
  EXPECT_THAT(r.out, HasSubstr("2.5 GT/s PCIe x4, maximum 8.0 GT/s PCIe x4: trained below its "
                               "maximum"));
  EXPECT_THAT(r.out, HasSubstr("link         not reported"));
  EXPECT_THAT(r.out, HasSubstr("Verdict for 0000:03:00.0: ready: fpga-diag can open it as root "
                               "(its link trained below its maximum)."));
}

TEST(SetupStatus, AHostDriverInTheGroupHoldsItBackButBridgesAndUnboundMembersDoNot) {
  FakeHost host;
  host.AddFunction({kBoard});
  host.AddFunction({"0000:00:1c.0", 0x8086, 0x1234, "pcieport", 7, 0x060400});
  host.AddFunction({"0000:03:00.2", 0x10EE, 0x1111, "", 7});
  Result r = Call(host, {});
  EXPECT_EQ(r.status, 0) << r.out;

  host.AddFunction({"0000:03:00.1", 0x8086, 0x2222, "snd_hda_intel", 7});
  r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("0000:03:00.1  driver snd_hda_intel  (a host driver"));
  EXPECT_THAT(r.out, HasSubstr("0000:00:1c.0  driver pcieport\n"));
  const std::string verdict = r.out.substr(r.out.find("Verdict"));
  EXPECT_THAT(verdict, HasSubstr("IOMMU group 7 of the board at 0000:03:00.0 is not usable"));
  EXPECT_THAT(verdict, HasSubstr("0000:03:00.1 (driver snd_hda_intel)"));
  EXPECT_THAT(verdict, HasSubstr("unbind each (`echo 0000:03:00.1 > "
                                 "/sys/bus/pci/devices/0000:03:00.1/driver/unbind`)"));
  EXPECT_THAT(verdict, Not(HasSubstr("0000:00:1c.0")));
  EXPECT_THAT(verdict, Not(HasSubstr("0000:03:00.2")));
}

TEST(SetupStatus, MemoryLockLimitAgainstAWholeRun) {
  // The backloop's two 50 MiB buffers and their two tables, each buffer a page more than 50 MiB.
  EXPECT_GT(setup::kRunPinBytes, 2 * (50ull << 20) + 2 * 12800 * 8);
  FakeHost host;
  host.AddFunction({kBoard});
  host.privileged = false;
  host.memlock_soft = setup::kRunPinBytes - 4096;
  host.memlock_hard = 256ull << 20;
  Result r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out,
              HasSubstr("; a whole run pins up to " + std::to_string(setup::kRunPinBytes / 1024) +
                        " KiB at once: too low"));
  EXPECT_THAT(r.out, HasSubstr("not ready: the memory-lock limit is too low for a whole run: "
                               "`ulimit -l` is " +
                               std::to_string(setup::kRunPinBytes / 1024 - 4)));
  // Up to the hard limit the user may go alone; beyond it only limits.conf, as root.
  EXPECT_THAT(r.out, HasSubstr("`ulimit -l 262144`"));
  EXPECT_THAT(r.out, HasSubstr("/etc/security/limits.conf: `alice soft memlock unlimited` and "
                               "`alice hard memlock unlimited`"));
  host.memlock_hard = 64ull << 20;
  r = Call(host, {});
  EXPECT_THAT(r.out, HasSubstr("The hard limit, 65536 KiB, is below that too"));
  EXPECT_THAT(r.out, Not(HasSubstr("`ulimit -l ")));

  host.memlock_soft = setup::kRunPinBytes;
  EXPECT_EQ(Call(host, {}).status, 0);
  // Root's pins are not held to the limit at all.
  host.memlock_soft = 64 * 1024;
  host.privileged = true;
  EXPECT_EQ(Call(host, {}).status, 0);
}

// The lines that follow `item`'s line up to the next item, where its next step is printed.
std::string StepOf(const std::string& out, const std::string& item) {
  const size_t at = out.find("\n  " + item);
  if (at == std::string::npos) return "(no item " + item + ")";
  const size_t line_end = out.find('\n', at + 1);
  std::string steps;
  for (size_t p = line_end; p != std::string::npos && out.compare(p, 16, "\n               ") == 0;
       p = out.find('\n', p + 1))
    steps += out.substr(p + 1, out.find('\n', p + 1) - p - 1) + "\n";
  return steps;
}

TEST(SetupStatus, EveryItemThatIsNotReadyHasItsNextStepAndNoReadyItemHasOne) {
  FakeHost off;  // no IOMMU, no vfio-pci, a low limit, the board on no driver
  off.AddFunction({kBoard, 0x10EE, 0x5050, "", -1});
  off.UnloadVfioPci();
  off.privileged = false;
  off.memlock_soft = off.memlock_hard = 8 << 20;
  Result r = Call(off, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(StepOf(r.out, "driver"),
              HasSubstr("next: `sudo fpga-diag-setup bind 0000:03:00.0 --user alice`"));
  EXPECT_THAT(StepOf(r.out, "IOMMU group"), HasSubstr("next: Turn the IOMMU on"));
  EXPECT_THAT(StepOf(r.out, "vfio-pci"), HasSubstr("next: As root: `modprobe vfio-pci`."));
  const std::string iommu = StepOf(r.out, "IOMMU      ");
  EXPECT_THAT(iommu, HasSubstr("VT-d (Intel) or AMD-Vi/IOMMU (AMD) in the firmware setup"));
  EXPECT_THAT(iommu, HasSubstr("intel_iommu=on"));
  EXPECT_THAT(iommu, HasSubstr("amd_iommu=off"));
  EXPECT_THAT(StepOf(r.out, "memory lock"), HasSubstr("`alice hard memlock unlimited`"));

  FakeHost
      bound;  // on vfio-pci, but a neighbour holds the group, the link is slow, the file root's
  bound.AddFunction({kBoard});
  bound.AddFunction({"0000:03:00.1", 0x8086, 0x2222, "snd_hda_intel", 7});
  bound.SetLink(kBoard, "2.5 GT/s PCIe", 4, "8.0 GT/s PCIe", 4);
  bound.privileged = false;
  bound.open_errno["/dev/vfio/7"] = EACCES;
  r = Call(bound, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(StepOf(r.out, "driver"), "");
  EXPECT_THAT(StepOf(r.out, "IOMMU group"),
              HasSubstr("next: As root: `echo 0000:03:00.1 > "
                        "/sys/bus/pci/devices/0000:03:00.1/driver/unbind`"));
  EXPECT_THAT(StepOf(r.out, "link"), HasSubstr("next: `sudo lspci -vv -s 0000:03:00.0`"));
  EXPECT_THAT(StepOf(r.out, "group file"),
              HasSubstr("`sudo fpga-diag-setup bind 0000:03:00.0 --user alice` gives it to you, or "
                        "`sudo chown alice /dev/vfio/7`"));
  EXPECT_EQ(StepOf(r.out, "vfio-pci") + StepOf(r.out, "IOMMU      ") + StepOf(r.out, "memory lock"),
            "");
}

TEST(SetupStatus, EachFaultIsNamedWithItsCommandInTheOrderTheOpenMeetsThem) {
  FakeHost host;
  host.AddFunction({kBoard, 0x10EE, 0x5050, "", 7});
  host.privileged = false;
  host.memlock_soft = 8 << 20;  // also too low: named only once the rest is right
  Result r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("group file   /dev/vfio/7 does not exist"));
  EXPECT_THAT(r.out, HasSubstr("not ready: the board at 0000:03:00.0 is bound to no driver, not "
                               "to vfio-pci. As root: `modprobe vfio-pci`"));
  EXPECT_THAT(r.out, HasSubstr("Or, as root, in one step: `fpga-diag-setup bind 0000:03:00.0`."));

  FakeHost bound;
  bound.AddFunction({kBoard});
  bound.privileged = false;
  bound.open_errno["/dev/vfio/7"] = EACCES;
  r = Call(bound, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("owner root, group root, mode 0600; you cannot open it: EACCES"));
  EXPECT_THAT(r.out, HasSubstr("`sudo chown $USER /dev/vfio/7`"));
  EXPECT_THAT(r.out, HasSubstr("`fpga-diag-setup bind 0000:03:00.0 --user alice`"));
  bound.open_errno["/dev/vfio/7"] = EBUSY;
  EXPECT_THAT(Call(bound, {}).out, HasSubstr("Another process holds the board's IOMMU group"));

  FakeHost no_iommu;
  no_iommu.AddFunction({kBoard, 0x10EE, 0x5050, "", -1});
  r = Call(no_iommu, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("IOMMU        off"));
  EXPECT_THAT(r.out, HasSubstr("not ready: the board at 0000:03:00.0 has no IOMMU group"));
}

TEST(SetupStatus, NoBoardSaysWhatTheBusShowsOfTheMakerAndHowToRescanIt) {
  FakeHost host;
  host.AddFunction({"0000:00:02.0", 0x8086, 0x46a6, "i915", 3});
  Result r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("no PCI function with vendor ID 0x10ee and device ID 0x5050"));
  EXPECT_THAT(r.out, HasSubstr("The bus shows nothing of its maker (vendor ID 0x10ee) either."));
  std::string verdict = r.out.substr(r.out.find("Verdict"));
  EXPECT_THAT(verdict, HasSubstr("`lspci -nn -d 10ee:`"));
  EXPECT_THAT(verdict, HasSubstr("not configured yet does not appear on the bus at all"));
  EXPECT_THAT(verdict, HasSubstr("`echo 1 > /sys/bus/pci/rescan`"));

  // The maker's function with other IDs: the board before its design, or with another one.
  host.AddFunction({"0000:03:00.0", 0x10EE, 0x7021, "", 7});
  r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("The bus shows of its maker (vendor ID 0x10ee):\n"
                               "               0000:03:00.0  10ee:7021  no driver\n"));
  verdict = r.out.substr(r.out.find("Verdict"));
  EXPECT_THAT(verdict, HasSubstr("0000:03:00.0 (10ee:7021), none of them 10ee:5050"));
  EXPECT_THAT(verdict, HasSubstr("`echo 1 > /sys/bus/pci/devices/0000:03:00.0/remove`, "
                                 "`echo 1 > /sys/bus/pci/rescan`"));
  EXPECT_THAT(r.out, Not(HasSubstr("0000:00:02.0")));

  fs::remove_all(host.SysfsRoot() + "/bus/pci/devices");
  r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("Next: this machine shows no PCI bus at all"));
  EXPECT_THAT(r.out, Not(HasSubstr("The bus shows")));
}

TEST(SetupStatus, AnAddressIsReportedAloneAndOnlyTheFirstBoardDecidesWithout) {
  FakeHost host;
  host.AddFunction({"0000:01:00.0", 0x10EE, 0x5050, "", 6});
  host.AddFunction({kBoard});
  host.AddFunction({"0000:00:02.0", 0x8086, 0x46a6, "i915", 3});
  host.AddFunction({"0000:05:00.0", 0x10EE, 0x7021, "", 9});
  EXPECT_EQ(Call(host, {}).status, 1);
  Result r = Call(host, {"status", "03:00.0"});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("Board 0000:03:00.0 (10ee:5050)\n"));
  EXPECT_THAT(r.out, HasSubstr("Verdict for 0000:03:00.0: ready"));
  EXPECT_THAT(r.out, Not(HasSubstr("0000:01:00.0")));
  EXPECT_EQ(Call(host, {"status", "0000:01:00.0"}).status, 1);

  r = Call(host, {"status", "0000:09:00.0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("there is no PCI function 0000:09:00.0"));
  // A status changes nothing, so it leaves nothing alone: it says what the address holds.
  r = Call(host, {"status", "00:02.0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("0000:00:02.0 is 8086:46a6, not the board (10ee:5050), nor of its "
                               "maker"));
  EXPECT_THAT(r.err, Not(HasSubstr("leaving it alone")));
  r = Call(host, {"status", "05:00.0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("a board whose FPGA is not configured yet"));
  EXPECT_EQ(r.out, "");
}

TEST(SetupBind, RefusesAWrongAddressAUserOrAMachineWithNothingChanged) {
  FakeHost host;
  host.AddFunction({kBoard, 0x10EE, 0x5050, "", 7, 0x118000, "xdma"});
  host.AddFunction({"0000:00:02.0", 0x8086, 0x46a6, "i915", 3});
  host.AddFunction({"0000:05:00.0", 0x10EE, 0x5050, "", -1});
  host.UnloadVfioPci();
  const auto before = host.Snapshot();
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"bind", "0000:09:00.0"}, "there is no PCI function 0000:09:00.0"},
      {{"unbind", "0000:09:00.0"}, "there is no PCI function 0000:09:00.0"},
      {{"bind", "00:02.0"}, "0000:00:02.0 is 8086:46a6, not the board (10ee:5050)"},
      {{"unbind", "0000:00:02.0"}, "not the board"},
      {{"bind", "../../03:00.0"}, "is not a PCI address"},
      {{"bind", "0000:03:00.0", "--user", "mallory"}, "there is no user 'mallory'"},
      {{"clear-errors", "0000:09:00.0"}, "there is no PCI function 0000:09:00.0"},
      {{"clear-errors", "00:02.0"}, "0000:00:02.0 is 8086:46a6, not the board (10ee:5050)"},
  };
  for (const auto& [args, why] : refused) {
    const Result r = Call(host, args);
    EXPECT_EQ(r.status, 2) << args[1];
    EXPECT_THAT(r.err, HasSubstr(why));
  }
  Result r = Call(host, {"bind", "0000:05:00.0"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("has no IOMMU group"));
  host.privileged = false;
  r = Call(host, {"bind", kBoard});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("only root may: `sudo fpga-diag-setup bind 0000:03:00.0`"));
  EXPECT_EQ(Call(host, {"unbind", kBoard}).status, 1);
  EXPECT_TRUE(host.writes.empty()) << host.writes[0];
  EXPECT_EQ(host.Snapshot(), before);
}

TEST(SetupBind, BindsThroughTheOverrideGivesTheGroupFileAndUnbindsEachOnlyOnce) {
  FakeHost host;
  host.AddFunction({kBoard, 0x10EE, 0x5050, "xdma", 7, 0x118000, "xdma"});
  host.UnloadVfioPci();
  EXPECT_EQ(Call(host, {}).status, 1);

  Result r = Call(host, {"bind", "03:00.0", "--user", "alice"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(host.writes,
              ::testing::ElementsAre(
                  "modprobe vfio-pci", "/bus/pci/devices/0000:03:00.0/driver_override <- vfio-pci",
                  "/bus/pci/devices/0000:03:00.0/driver/unbind <- 0000:03:00.0",
                  "/bus/pci/drivers_probe <- 0000:03:00.0", "chown 1000 /dev/vfio/7"));
  EXPECT_EQ(host.Driver(kBoard), "vfio-pci");
  EXPECT_THAT(r.out, HasSubstr("Bound 0000:03:00.0 to vfio-pci (it had driver xdma)"));
  EXPECT_THAT(r.out, HasSubstr("/etc/udev/rules.d/90-vfio.rules"));
  EXPECT_THAT(r.out, HasSubstr("SUBSYSTEM==\"vfio\", OWNER=\"alice\"\n"));
  EXPECT_EQ(Call(host, {}).status, 0);

  host.writes.clear();
  r = Call(host, {"bind", kBoard});
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("already bound to vfio-pci"));
  EXPECT_TRUE(host.writes.empty());

  r = Call(host, {"unbind", kBoard});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(host.writes,
              ::testing::ElementsAre("/bus/pci/devices/0000:03:00.0/driver_override <- \n",
                                     "/bus/pci/devices/0000:03:00.0/driver/unbind <- 0000:03:00.0",
                                     "/bus/pci/drivers_probe <- 0000:03:00.0"));
  EXPECT_EQ(host.Driver(kBoard), "xdma");
  EXPECT_THAT(r.out, HasSubstr("it now has driver xdma"));
  host.writes.clear();
  EXPECT_EQ(Call(host, {"unbind", kBoard}).status, 0);
  EXPECT_TRUE(host.writes.empty());
}

TEST(SetupMain, GetoptFormsBadUseExitsTwoWithAMessageHelpAndVersionZero) {
  FakeHost host;
  host.AddFunction({kBoard, 0x10EE, 0x5050, "", 7, 0x118000, "xdma"});
  for (const auto& [args, why] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"bind"}, "bind takes one address: bind ADDR"},
           {{"unbind", kBoard, kBoard}, "unbind takes one address: unbind ADDR"},
           {{"clear-errors"}, "clear-errors takes one address: clear-errors ADDR"},
           {{"status", "--user", "alice"}, "--user goes with bind only"},
           {{"bind", kBoard, "--user"}, "option '--user' needs a value"},
           {{"bind", kBoard, "--user=alice", "--user", "alice"}, "--user given twice"},
           {{"--help=1"}, "option '--help' takes no value"},
           {{"--frob"}, "unknown option '--frob'"},
           {{"-x"}, "unknown option '-x'"},
           {{"frob"}, "unknown command 'frob'"}}) {
    const Result r = Call(host, args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_THAT(r.err, HasSubstr(why + "\nTry 'fpga-diag-setup --help'.\n"));
    EXPECT_EQ(r.out, "");
  }
  for (const char* help : {"--help", "-h", "--he"}) {
    const Result r = Call(host, {"bind", help});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("Usage: fpga-diag-setup"));
  }
  const Result version = Call(host, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "fpga-diag-setup (fpga-diag) " FPGA_DIAG_VERSION "\n");
  EXPECT_TRUE(host.writes.empty());
  // The value after a space or an '=', the option before or after the address.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"bind", "--user=alice", kBoard}, {"bind", kBoard, "--user", "alice"}}) {
    const Result r = Call(host, args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host.writes.back(), "chown 1000 /dev/vfio/7");
  }
}

}  // namespace
}  // namespace setup_test
