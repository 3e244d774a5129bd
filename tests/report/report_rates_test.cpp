// Rates against the link: the ceilings, the 16-bit counts' wraps, the virtual board on every link
// setting between floor and ceiling, and where the link comes from.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "report/judge.h"
#include "report/log_reader.h"
#include "report/report_host.h"
#include "report_logs.h"

namespace {

using namespace report;
namespace fs = std::filesystem;

TEST(ReportRates, CeilingsAreTheLinksRawRatesAfterEncoding) {
  // One lane: Gen1 250 MB/s (10^6), Gen2 500, Gen3 and later 984.6, 1969.2 and 3938.5.
  const std::pair<Link, double> known[] = {{{1, 1}, 250e6},
                                           {{2, 4}, 2000e6},
                                           {{3, 16}, 15753.8e6},
                                           {{4, 8}, 15753.8e6},
                                           {{5, 32}, 126030.8e6}};
  for (const auto& [link, bytes] : known)
    EXPECT_NEAR(CeilingMBytes(link), bytes / 1048576, 0.1) << LinkName(link);
  Link l;
  EXPECT_TRUE(ParseLink("gen3x12", &l));
  for (const char* bad : {"gen6x4", "gen0x4", "gen3x3", "gen3x64", "gen3", "3x4", "gen03x4", ""})
    EXPECT_FALSE(ParseLink(bad, &l)) << bad;
  EXPECT_EQ(LinkFromSysfs("8.0 GT/s PCIe", 8), (Link{3, 8}));
  EXPECT_FALSE(LinkFromSysfs("Unknown", 8).Known());
}

TEST(ReportRates, WrappedCountsAreReadWhereTheCeilingLeavesOneReading) {
  const double c = CeilingMBytes({3, 16}), floor = c * kDefaultMinShare;
  // Gen3 x16's 11684 MByte/sec a direction: 186,950 buffers, printed as 55,878 / 16.
  DirectionJudgement d = JudgeDirection({3492.375}, c, floor);
  EXPECT_EQ(d.verdict, Verdict::kPass) << d.reason;
  EXPECT_EQ(d.wraps, 2);
  EXPECT_DOUBLE_EQ(d.value, 3492.375 + 2 * 4096);
  // Two channels of half that each: the total is what the link carried, however split.
  d = JudgeDirection({1746.1875, 1746.1875}, c, floor);
  EXPECT_EQ(d.verdict, Verdict::kPass) << d.reason;
  EXPECT_DOUBLE_EQ(d.value, 2 * 1746.1875 + 2 * 4096);
  // With a lower floor 7588 fits as well: two readings, WARN naming both.
  d = JudgeDirection({3492.375}, c, c * 0.40);
  EXPECT_EQ(d.verdict, Verdict::kWarn);
  EXPECT_TRUE(d.ambiguous);
  EXPECT_NE(d.reason.find("7588.4 or 11684.4"), std::string::npos) << d.reason;
  // The backloop's rate is timed, not counted: taken as printed.
  EXPECT_EQ(JudgeDirection({3191.8}, CeilingMBytes({3, 8}), 4131.6, false).verdict, Verdict::kWarn);
  // Above the ceiling, below the floor, nothing counted, no ceiling known.
  EXPECT_EQ(JudgeDirection({2000}, CeilingMBytes({2, 4}), 0).verdict, Verdict::kFail);
  EXPECT_EQ(JudgeDirection({900}, CeilingMBytes({2, 4}), 1049).verdict, Verdict::kWarn);
  EXPECT_EQ(JudgeDirection({0}, 0, 0).verdict, Verdict::kFail);
  d = JudgeDirection({5000}, 0, 0);
  EXPECT_EQ(d.verdict, Verdict::kPass);
  EXPECT_NE(d.reason.find("not judged"), std::string::npos);
}

TEST(ReportRates, VirtualBoardOnEveryLinkSettingLiesBetweenFloorAndCeiling) {
  for (int gen = 1; gen <= 3; ++gen) {
    for (int width : {1, 2, 4, 8, 16}) {
      const std::string link = "gen" + std::to_string(gen) + "x" + std::to_string(width);
      BoardFacts facts;
      ParseLink(link, &facts.trained);
      const BoardReport b =
          JudgeBoard(ReadLog(report_logs::WholeRun(gen, width)), facts, {}, {}, Options{});
      EXPECT_EQ(b.verdict, Verdict::kPass) << link << ": " << b.reason;
      for (const TestResult& t : b.tests) {
        if (t.id.rfind("performance.", 0) == 0 || t.id == "backloop") {
          EXPECT_EQ(t.verdict, Verdict::kPass) << link << " " << t.id << ": " << t.reason;
        }
      }
    }
  }
}

TEST(ReportRates, LinkBelowItsMaximumWarnsWithBothCeilings) {
  BoardFacts facts;
  facts.trained = {1, 1};
  facts.maximum = {3, 8};
  facts.link_source = "sysfs";
  const TestResult below = BoardChecks(facts).back();
  EXPECT_EQ(below.verdict, Verdict::kWarn);
  EXPECT_NE(below.reason.find("238.4 MByte/sec instead of 7512.0"), std::string::npos)
      << below.reason;
  facts.trained = facts.maximum;
  EXPECT_EQ(BoardChecks(facts).back().verdict, Verdict::kPass);
  // No link known: the check is not made and weighs nothing.
  const BoardReport none =
      JudgeBoard(ReadLog(report_logs::WholeRun(2, 4)), BoardFacts{}, {}, {}, Options{});
  EXPECT_EQ(none.checks.back().verdict, Verdict::kNotRun);
  EXPECT_EQ(none.verdict, Verdict::kPass) << none.reason;
}

TEST(ReportRates, TheLinkComesFromSysfsOrFromFpgaSim) {
  std::string root = (fs::temp_directory_path() / "fd-report-XXXXXX").string();
  ASSERT_NE(::mkdtemp(root.data()), nullptr);
  const std::string dev = root + "/bus/pci/devices/0000:03:00.0";
  fs::create_directories(dev);
  const std::pair<const char*, const char*> files[] = {{"vendor", "0x10ee\n"},
                                                       {"device", "0x5050\n"},
                                                       {"current_link_speed", "2.5 GT/s PCIe\n"},
                                                       {"current_link_width", "1\n"},
                                                       {"max_link_speed", "8.0 GT/s PCIe\n"},
                                                       {"max_link_width", "8\n"}};
  for (const auto& [name, text] : files) std::ofstream(dev + "/" + name) << text;

  EXPECT_EQ(FindBoards("fpga-diag", nullptr, root), std::vector<std::string>{"0000:03:00.0"});
  const BoardFacts real = ReadBoardFacts("/usr/bin/fpga-diag", "", nullptr, root);
  EXPECT_EQ(real.address, "0000:03:00.0");
  EXPECT_EQ(real.vendor_id, 0x10EEu);
  EXPECT_EQ(real.trained, (Link{1, 1}));
  EXPECT_EQ(real.maximum, (Link{3, 8}));
  EXPECT_EQ(BoardChecks(real).back().verdict, Verdict::kWarn);
  fs::remove_all(root);

  // The virtual board: FPGA_SIM's boards and link, FPGA_WDC's slot.
  EXPECT_EQ(FindBoards("build/fpga-diag-sim", "boards=3", "/nonexistent"),
            (std::vector<std::string>{"0000:01:00.0", "0000:02:00.0", "0000:03:00.0"}));
  const BoardFacts sim = ReadBoardFacts("fpga-diag-sim", SlotOf("fail=WDC_Sleep,slot=02:00.0"),
                                        "boards=2,link=gen3x8", "/nonexistent");
  EXPECT_EQ(sim.address, "0000:02:00.0");
  EXPECT_EQ(sim.trained, (Link{3, 8}));
  EXPECT_EQ(sim.link_source, "FPGA_SIM");
  EXPECT_EQ(ReadBoardFacts("fpga-diag-sim", "", nullptr, "/nonexistent").trained, (Link{2, 4}));
  // A slot no board is at: nothing known, the utility will say there is no board.
  EXPECT_FALSE(ReadBoardFacts("fpga-diag-sim", "0000:07:00.0", "", "/x").trained.Known());
}

}  // namespace
