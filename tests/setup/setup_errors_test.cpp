// fpga-diag-setup's error registers over the fake machine: the board's and its port's AER and
// Device Status bits by name, as root through sysfs config and as a user through the group file
// (the kernel model's vfio-pci), the verdict an uncorrectable one makes, and clear-errors.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_host.h"
#include "setup/pcie_errors.h"

namespace setup_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kPort[] = "0000:00:1c.0";
// The served board's AER is at 0x100, its Express capability at 0x50.
constexpr uint32_t kUncSeverity = 0x10c;

// A board below a root port, both on the fake machine.
void AddBoardBelowPort(FakeHost& host) {
  host.AddFunction({kPort, 0x8086, 0x1234, "pcieport", 7, 0x060400});
  FunctionEntry board{kBoard};
  board.below = kPort;
  host.AddFunction(board);
}

// The lines that follow `head` up to the next line that starts an item or a section.
std::string Block(const std::string& out, const std::string& head) {
  const size_t at = out.find(head);
  if (at == std::string::npos) return "(no " + head + ")";
  size_t end = out.find('\n', at);
  while (end != std::string::npos && out.compare(end + 1, 15, "               ") == 0)
    end = out.find('\n', end + 1);
  return out.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
}

TEST(SetupErrors, RootReadsTheBoardAndItsPortByNameAndAnUncorrectableOneMakesItNotReady) {
  FakeHost host;
  AddBoardBelowPort(host);
  host.SetCounters(kBoard, 1, 0, 0);
  host.Space(kBoard).Correctable(6);
  Result r = Call(host, {});
  // A correctable error is a note: the data arrived whole.
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Block(r.out, "  board  "),
            "  board        through sysfs config as root: set\n"
            "               correctable: Bad TLP\n"
            "               uncorrectable: none\n"
            "               Device Status: Correctable Error Detected\n"
            "               the kernel's AER counters: 1 correctable (Bad TLP 1), 0 non-fatal, "
            "0 fatal\n"
            "               next: once their cause is found (a reseat, another slot, the board's "
            "design), `fpga-diag-setup clear-errors 0000:03:00.0` clears them, so that a new one "
            "shows.\n");
  EXPECT_THAT(r.out, HasSubstr("\n  port         0000:00:1c.0, through sysfs config as root: none "
                               "set\nMachine\n"));
  EXPECT_THAT(r.out, HasSubstr("ready: fpga-diag can open it as root (correctable errors are "
                               "recorded, under Errors)."));

  // Completion Timeout is non-fatal at power-on and Malformed TLP fatal; the severity register
  // decides, so Completion Timeout made fatal there is named so.
  host.Space(kBoard).Uncorrectable(14, nullptr);
  host.Space(kBoard).Uncorrectable(18, nullptr);
  host.Space(kPort).Uncorrectable(20, nullptr);
  r = Call(host, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("               uncorrectable: Completion Timeout (non-fatal), "
                               "Malformed TLP (fatal)\n"
                               "               Device Status: Correctable Error Detected, "
                               "Non-Fatal Error Detected, Fatal Error Detected\n"));
  EXPECT_THAT(Block(r.out, "  port  "),
              HasSubstr("uncorrectable: Unsupported Request Error (non-fatal)\n"
                        "               Device Status: Non-Fatal Error Detected, Unsupported "
                        "Request Detected\n"));
  EXPECT_THAT(r.out, HasSubstr("Verdict for 0000:03:00.0: not ready: an uncorrectable error is "
                               "recorded in its AER: Completion Timeout (non-fatal), Malformed "
                               "TLP (fatal); and in the AER of the port above it, 0000:00:1c.0: "
                               "Unsupported Request Error (non-fatal). "));
  EXPECT_THAT(r.out, HasSubstr("clear it: `fpga-diag-setup clear-errors 0000:03:00.0`.\n"));
  const uint32_t severity = 1u << 14 | 1u << 18 | 0x00022010;
  host.Space(kBoard).Write(kUncSeverity, 4, reinterpret_cast<const uint8_t*>(&severity));
  EXPECT_THAT(Call(host, {}).out, HasSubstr("uncorrectable: Completion Timeout (fatal)"));

  // Where the kernel controls AER it clears the bits itself (and at each reset): it is said.
  EXPECT_THAT(r.out, Not(HasSubstr("the kernel controls AER")));
  host.AerService(kPort);
  EXPECT_THAT(Call(host, {}).out,
              HasSubstr("the kernel controls AER here: it clears these bits when it handles an "
                        "error and at each reset of the board"));

  // What the open would meet comes first: a neighbour that holds the group back.
  host.AddFunction({"0000:03:00.1", 0x8086, 0x2222, "snd_hda_intel", 7});
  r = Call(host, {});
  EXPECT_THAT(r.out, HasSubstr("Verdict for 0000:03:00.0: not ready: IOMMU group 7"));
  EXPECT_THAT(r.out, Not(HasSubstr("not ready: an uncorrectable error")));
}

TEST(SetupErrors, ClearErrorsWritesExactlyTheSetBitsAndTheStatusAfterShowsNone) {
  FakeHost host;
  AddBoardBelowPort(host);
  host.Space(kBoard).Correctable(6);
  host.Space(kBoard).Uncorrectable(14, nullptr);
  host.Space(kBoard).Uncorrectable(18, nullptr);
  host.Space(kPort).Correctable(0);
  Result r = Call(host, {"clear-errors", "03:00.0"});
  EXPECT_EQ(r.status, 0) << r.err;
  // Write-1-to-clear: the bits read as set and no others, so that an error that comes between
  // the read and the write stays recorded; AER's registers before Device Status's summary.
  EXPECT_THAT(host.writes, ElementsAre("config 0000:03:00.0 0x104 <- 0x00044000",
                                       "config 0000:03:00.0 0x110 <- 0x00000040",
                                       "config 0000:03:00.0 0x05a <- 0x0007",
                                       "config 0000:00:1c.0 0x110 <- 0x00000001",
                                       "config 0000:00:1c.0 0x05a <- 0x0001"));
  EXPECT_THAT(r.out, HasSubstr("Cleared in 0000:03:00.0, through sysfs config as root: Bad TLP "
                               "(correctable), Completion Timeout (uncorrectable, non-fatal), "
                               "Malformed TLP (uncorrectable, fatal), Correctable Error Detected "
                               "(Device Status), "));
  EXPECT_THAT(r.out, HasSubstr("None is set now in 0000:03:00.0 nor in 0000:00:1c.0.\n"));
  r = Call(host, {});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("  board        through sysfs config as root: none set\n"));
  host.writes.clear();
  r = Call(host, {"clear-errors", kBoard});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "No error bit is set in 0000:03:00.0 nor in the port above it, 0000:00:1c.0: "
            "nothing to clear.\n");
  EXPECT_TRUE(host.writes.empty());
}

TEST(SetupErrors, AUserReadsAndClearsThroughTheGroupFileAndIsToldHowWithoutIt) {
  FakeHost host;
  AddBoardBelowPort(host);
  host.privileged = false;
  host.AttachVfio(kBoard);
  host.Space(kBoard).Correctable(7);
  host.Space(kBoard).Uncorrectable(14, nullptr);
  Result r = Call(host, {"status", kBoard});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("  board        through its VFIO group file /dev/vfio/7: set\n"
                               "               correctable: Bad DLLP\n"
                               "               uncorrectable: Completion Timeout (non-fatal)\n"));
  EXPECT_THAT(r.out, HasSubstr("  port         0000:00:1c.0, readable as root only"));
  EXPECT_EQ(host.model.OpenFds(), 0u);
  // Each open of the device file resets the board: clear-errors reads, writes and reads again
  // through one.
  const uint64_t opens = host.model.Calls()["VFIO_GROUP_GET_DEVICE_FD"];
  r = Call(host, {"clear-errors", kBoard});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(host.model.Calls()["VFIO_GROUP_GET_DEVICE_FD"], opens + 1);
  EXPECT_THAT(r.out, HasSubstr("Cleared in 0000:03:00.0, through its VFIO group file /dev/vfio/7: "
                               "Bad DLLP (correctable), Completion Timeout (uncorrectable, "
                               "non-fatal)"));
  EXPECT_TRUE(host.writes.empty()) << "sysfs written: " << host.writes[0];
  EXPECT_EQ(host.model.OpenFds(), 0u);
  EXPECT_EQ(host.model.DmaMaps(), 0u);
  EXPECT_EQ(Call(host, {"status", kBoard}).status, 0);

  // Held by another process (the utility, say): the group opens once.
  const int held = host.model.Open("/dev/vfio/7", O_RDWR);
  ASSERT_GE(held, 0);
  EXPECT_THAT(Call(host, {"status", kBoard}).out,
              HasSubstr("  board        not read: another process holds the board (fpga-diag, "
                        "say): run this again once it has ended, or as root"));
  host.model.Close(held);

  // Without the group file nothing can be read, and the user is told both ways to it.
  FakeHost denied;
  AddBoardBelowPort(denied);
  denied.privileged = false;
  denied.open_errno["/dev/vfio/7"] = EACCES;
  denied.Space(kBoard).Uncorrectable(14, nullptr);
  r = Call(denied, {"status", kBoard});
  EXPECT_THAT(r.out, HasSubstr("  board        not readable without root or the group file: "
                               "`sudo fpga-diag-setup status 0000:03:00.0` reads them, and `sudo "
                               "fpga-diag-setup bind 0000:03:00.0 --user alice` gives you the "
                               "group file\n"));
  r = Call(denied, {"clear-errors", kBoard});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("cannot read the error registers of 0000:03:00.0: not readable"));
}

// What a broken function or a hostile file shows: the lists are walked only as far as they hold.
TEST(SetupErrors, ACapabilityListThatLoopsOrLeavesTheSpaceEndsWhereItGoesWrong) {
  auto space = BoardSpace();
  space->Correctable(6);
  std::string bytes(space->Size(), '\0');
  space->Read(0, space->Size(), reinterpret_cast<uint8_t*>(bytes.data()), false);
  auto decode = [](const std::string& b) {
    return setup::DecodeErrors(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  };
  EXPECT_EQ(decode(bytes).correctable, 1u << 6);
  std::string looped = bytes;
  looped[0x41] = 0x40;  // MSI's next is itself, before the Express capability
  EXPECT_FALSE(decode(looped).express);
  looped = bytes;
  looped[0x100] = 0x02;  // not AER, and its next is itself
  looped[0x102] = 0x01;
  looped[0x103] = 0x10;
  EXPECT_TRUE(decode(looped).express);
  EXPECT_FALSE(decode(looped).aer);
  EXPECT_FALSE(decode(bytes.substr(0, 0x110)).aer);  // cut inside AER
  EXPECT_FALSE(decode(bytes.substr(0, 0x50)).express);

  FakeHost host;
  host.AddFunction({kBoard});
  host.SetConfig(kBoard, bytes.substr(0, 256));  // a conventional space: no AER
  EXPECT_THAT(Call(host, {}).out,
              HasSubstr("  board        through sysfs config as root: set (no AER capability: "
                        "Device Status alone)\n               Device Status: Correctable Error "
                        "Detected\n"));
}

}  // namespace
}  // namespace setup_test
