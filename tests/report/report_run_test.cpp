// fpga-diag-report --run as a person at a terminal runs it, on a pseudo-terminal: a key typed
// at the report ends the utility's integrity pass, the log holds exactly what the utility
// printed, a signal sent to the report reaches the utility, the terminal is given back; and
// --all over three virtual boards, one of them faulty.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "e2e_harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using namespace oracle;
using nlohmann::json;

// The report's progress line once the memory-write pass is in its first size.
const char kFirstSizeShown[] = "the memory-write pass at size 4096";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class ReportRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (fs::temp_directory_path() / "fd-report-run-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override { fs::remove_all(dir_); }
  RunSpec Report(std::vector<std::string> args, std::optional<std::string> fpga_sim,
                 std::vector<Action> actions) {
    RunSpec s = Utility(std::move(fpga_sim), std::move(actions));
    s.exe = FPGA_DIAG_REPORT_EXE;
    args.push_back("--");
    args.push_back(DefaultExe());
    s.args = std::move(args);
    s.timeout_ms = 120000;
    return s;
  }
  std::string dir_;
};

TEST_F(ReportRun, KeyEndsThePassAndTheLogIsWhatTheUtilityPrinted) {
  const std::string log = dir_ + "/run.log", js = dir_ + "/run.json";
  const RunResult r = RunProgram(
      Report({"--run", "--log", log, "--json", js}, std::nullopt, {KeyWhen(kFirstSizeShown)}));
  ASSERT_TRUE(r.exited) << Describe(r) << "\n" << r.output;
  EXPECT_EQ(r.exit_status, 1) << r.output;  // INCOMPLETE
  // The raw log: the utility's bytes, no "\r" of a terminal, no echo of the key.
  const std::string raw = ReadFile(log);
  EXPECT_EQ(raw.find('\r'), std::string::npos);
  uint32_t stopped = 0;
  const std::string sizes = SizesUntilInterrupted(
      raw, [](uint32_t) { return SizeCounts{}; }, &stopped);
  const Match m = MatchOutput(UntilIntegrity() + sizes + AfterIntegrity(), raw);
  EXPECT_TRUE(m.ok) << m.diff;
  // The verdict and its coverage.
  const json j = json::parse(ReadFile(js));
  EXPECT_EQ(j["verdict"], "INCOMPLETE");
  const std::string coverage =
      "a key ended the memory-write pass at size " + std::to_string(stopped) + ": it covered ";
  EXPECT_EQ(j["reason"].get<std::string>().rfind(coverage, 0), 0u) << j["reason"];
  EXPECT_EQ(j["boards"][0]["integrity"][0]["sizes_covered"]["count"], 4096 - stopped);
  EXPECT_EQ(j["boards"][0]["board"]["address"], "0000:01:00.0");
  EXPECT_EQ(j["boards"][0]["board"]["link"]["source"], "FPGA_SIM");
  // The report's terminal, raw while the utility ran, is as it was.
  ASSERT_FALSE(r.term_at_action.empty());
  EXPECT_FALSE(r.term_at_action[0].Canonical());
  EXPECT_EQ(r.term_final.tio.c_lflag, r.term_initial.tio.c_lflag);
  EXPECT_EQ(r.term_final.tio.c_iflag, r.term_initial.tio.c_iflag);
  // The saved log judged again, with --partial-ok: a pass.
  RunSpec again = Report({"--partial-ok", log}, std::nullopt, {});
  again.args.resize(2);
  again.console = Console::kNoTerminal;
  const RunResult p = RunProgram(again);
  EXPECT_EQ(p.exit_status, 0) << p.output;
  EXPECT_NE(p.output.find("counted as passed (--partial-ok)"), std::string::npos) << p.output;
}

TEST_F(ReportRun, SignalToTheReportReachesTheUtilityAndTheReportEndsByIt) {
  const std::string js = dir_ + "/run.json";
  // --verbose: the utility's own lines instead of the progress line.
  RunSpec s = Report({"--run", "--verbose", "--log", dir_ + "/run.log", "--json", js}, std::nullopt,
                     {Action{SizeLine(4096), "", SIGTERM}});
  const RunResult r = RunProgram(s);
  EXPECT_TRUE(r.signalled && r.term_signal == SIGTERM) << Describe(r);
  EXPECT_NE(r.output.find(Banner() + Bar0Heading()), std::string::npos) << r.output;
  const json j = json::parse(ReadFile(js));
  EXPECT_EQ(j["verdict"], "INCOMPLETE");
  EXPECT_EQ(j["boards"][0]["run"]["signal"], SIGTERM);
  EXPECT_EQ(j["boards"][0]["tests"][0]["reason"].get<std::string>().rfind(
                "the utility was ended by SIGTERM in the memory-write pass at size 4096", 0),
            0u)
      << j["boards"][0]["tests"][0]["reason"];
}

TEST_F(ReportRun, AllBoardsOneAfterAnotherWithAFaultOnOne) {
  // Board 2's first completion is lost: its pass ends by itself; boards 1 and 3 take a key.
  const std::string js = dir_ + "/all.json";
  const RunResult r = RunProgram(
      Report({"--run", "--all", "--partial-ok", "--log", dir_, "--json", js, "--link", "gen2x4"},
             "boards=3,fault-board=2,irq-drop=ch0@1",
             {KeyWhen(kFirstSizeShown), Action{"on board 0000:03:00.0", "", 0},
              KeyWhen(kFirstSizeShown)}));
  ASSERT_TRUE(r.exited) << Describe(r) << "\n" << r.output;
  EXPECT_EQ(r.exit_status, 1) << r.output;
  EXPECT_NE(r.output.find("All boards:"), std::string::npos) << r.output;
  const json j = json::parse(ReadFile(js));
  ASSERT_EQ(j["boards"].size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const json& b = j["boards"][i];
    EXPECT_EQ(b["board"]["address"], "0000:0" + std::to_string(i + 1) + ":00.0");
    EXPECT_TRUE(fs::exists(b["log"]["path"].get<std::string>())) << b["log"]["path"];
    if (i == 1) continue;
    // A key ended the healthy boards' runs: passed with --partial-ok (or WARN, where a
    // sanitizer's slowdown holds the backloop below the floor).
    EXPECT_NE(b["verdict"], "FAIL") << b["reason"];
    EXPECT_NE(b["reason"].get<std::string>().find("counted as passed (--partial-ok)"),
              std::string::npos)
        << b["reason"];
  }
  EXPECT_EQ(j["boards"][1]["verdict"], "FAIL");
  EXPECT_EQ(j["boards"][1]["reason"],
            "memory-write pass: device interrupts waiting failure at size 4096");
  EXPECT_EQ(j["reason"],
            "board 0000:02:00.0: memory-write pass: device interrupts waiting "
            "failure at size 4096");
}

}  // namespace
}  // namespace e2e
