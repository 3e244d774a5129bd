// fpga-diag-report as a user runs it on saved logs: its command line, its exit statuses, its
// outputs against their schemas (python3-jsonschema, xmllint) and its page in headless Chromium.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "report/judge.h"
#include "report/log_reader.h"
#include "report/outputs.h"
#include "report_logs.h"

namespace {

namespace fs = std::filesystem;
using namespace report_logs;

struct Ran {
  int status = -1;  // the exit status; -1 when it did not exit
  std::string out;  // standard output and error
};

std::string Q(const std::string& s) { return "'" + s + "'"; }

Ran Shell(const std::string& command) {
  Ran r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int status = pclose(p);
  if (WIFEXITED(status)) r.status = WEXITSTATUS(status);
  return r;
}

Ran Report(const std::string& args) { return Shell(Q(FPGA_DIAG_REPORT_EXE) + " " + args); }

class ReportProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = (fs::temp_directory_path() / "fd-report-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir_.data()), nullptr);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string dir_;
};

// A faulted run: a stuck BAR0 bit, errors in every size whose low two bits are 0b11 above 2048,
// a clean read pass, the rates of Gen3 x16 (wrapped counts) and a backloop with mismatches.
std::string FaultedRun() {
  uint64_t total = 0;
  std::string backloop = ModelBackloop(3, 16, 8160);
  return Banner() +
         Bar0Test(Bar0Failure(6, 7), Bar0Success(), Bar0Failure(1, 65537), Bar0Success()) +
         CompletePass(
             Pass::kMemoryWrite,
             [](uint32_t f) {
               return f > 2048 && (f & 3) == 3 ? SizeCounts{1, f % 7, f} : SizeCounts{};
             },
             &total) +
         CompletePass(Pass::kMemoryRead, Clean, &total) + Performance(ModelRates(3, 16)) + backloop;
}

TEST_F(ReportProgram, CommandLineAsALinuxTool) {
  Ran r = Report("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: fpga-diag-report", 0), 0u) << r.out;
  r = Report("--version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "fpga-diag-report (fpga-diag) " FPGA_DIAG_VERSION "\n");
  for (const char* bad : {"--frobnicate x.log", "", "--link gen9x4 x.log", "--min-share 2 x.log",
                          "--log l x.log", "--all x.log", "a.log b.log", "--json - --html - x.log",
                          "--run x.log", "--json", "--ver", "--run --"}) {
    r = Report(bad);
    EXPECT_EQ(r.status, 2) << bad << "\n" << r.out;
    EXPECT_NE(r.out.find("fpga-diag-report: "), std::string::npos) << bad;
  }
  EXPECT_NE(Report("--frobnicate x.log").out.find("unknown option '--frobnicate'"),
            std::string::npos);
}

TEST_F(ReportProgram, ExitStatusesOfSavedLogs) {
  const std::string healthy = Write("healthy.log", WholeRun(2, 4));
  const std::string key = Write("key.log", KeyEndedRun(4090));
  const std::string slow = Write("slow.log", WholeRun(1, 1));  // gen1x1 rates against gen2x4
  EXPECT_EQ(Report(Q(healthy)).status, 0);
  EXPECT_EQ(Report("--link gen2x4 - < " + Q(healthy)).status, 0);
  Ran r = Report(Q(key));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("INCOMPLETE: a key ended the memory-write pass at size 4090: it covered "
                       "sizes 4096 to 4091 (6 of 4096); the memory-read pass did not run"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Report("--partial-ok " + Q(key)).status, 0);
  r = Report("--link gen2x4 " + Q(slow));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("WARN: write: 191.7 MByte/sec is 10% of the ceiling"), std::string::npos)
      << r.out;
  EXPECT_EQ(Report("--strict --link gen2x4 " + Q(slow)).status, 1);
  EXPECT_EQ(Report("--link gen2x4 --min-share 5% " + Q(slow)).status, 0);
  EXPECT_EQ(Report(Q(Write("noboard.log", Banner() + NoDevice()))).status, 1);
  EXPECT_EQ(Report(Q(Write("empty.log", ""))).status, 1);
  r = Report(Q(Write("foreign.log", Banner() + "Segmentation fault\n")));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.out.find("line 3 is not the utility's output: \"Segmentation fault\""),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Report(Q(dir_ + "/missing.log")).status, 2);
}

TEST_F(ReportProgram, OutputsFollowTheirSchemasAndFingerprintTheLog) {
  const std::string schema = std::string(FPGA_DIAG_SOURCE_DIR) + "/report/report.schema.json";
  const std::string xsd = std::string(FPGA_DIAG_SOURCE_DIR) + "/tests/report/junit.xsd";
  const std::pair<std::string, std::string> logs[] = {
      {"healthy", WholeRun(2, 4)},
      {"faulted", FaultedRun()},
      {"key", KeyEndedRun(4095)},
      {"noboard", Banner() + NoDevice()},
      {"cut", Through(WholeRun(2, 4), SizeLine(2000))}};
  for (const auto& [name, text] : logs) {
    const std::string log = Write(name + ".log", text);
    Report("--link gen3x16 --json " + Q(dir_ + "/" + name + ".json") + " --junit " +
           Q(dir_ + "/" + name + ".xml") + " " + Q(log));
    Ran v = Shell(
        "python3 -c 'import json, sys, jsonschema; jsonschema.validate(json.load("
        "open(sys.argv[1])), json.load(open(sys.argv[2])))' " +
        Q(dir_ + "/" + name + ".json") + " " + Q(schema));
    EXPECT_EQ(v.status, 0) << name << ": " << v.out;
    v = Shell("xmllint --noout --schema " + Q(xsd) + " " + Q(dir_ + "/" + name + ".xml"));
    EXPECT_EQ(v.status, 0) << name << ": " << v.out;
    const nlohmann::json j = nlohmann::json::parse(Read(name + ".json"));
    const std::string sum = Shell("sha256sum " + Q(log)).out.substr(0, 64);
    EXPECT_EQ(j["boards"][0]["log"]["sha256"], sum) << name;
  }
  // What the faulted run's JSON holds of it: each size with an error, the wraps, the failures.
  const nlohmann::json j = nlohmann::json::parse(Read("faulted.json"));
  const nlohmann::json& b = j["boards"][0];
  EXPECT_EQ(j["verdict"], "FAIL");
  EXPECT_EQ(b["integrity"][0]["sizes_with_errors"].size(), 512u);
  EXPECT_EQ(b["integrity"][0]["sizes_with_errors"][0]["size"], 4095);
  EXPECT_EQ(b["integrity"][0]["sizes_with_errors"][0]["mismatched_data_bytes"], 4095);
  EXPECT_EQ(b["board"]["ceiling"].get<double>(),
            b["tests"][7]["measurements"][0]["limits"]["ceiling"].get<double>());
  EXPECT_EQ(b["tests"][7]["measurements"][0]["wraps"], 2);
  EXPECT_EQ(b["failure_lines"].size(), 200u);
  const std::string xml = Read("faulted.xml");
  EXPECT_NE(xml.find("<failure message=\"item 6 (byte offset 6) read back 7"), std::string::npos);
}

// The error registers as a --run on a real board reads them, which no saved log has: the JSON
// and the JUnit XML still follow their schemas, and each output carries the readings.
TEST_F(ReportProgram, ErrorRegistersReadAroundARunAreInEveryOutput) {
  report::BoardFacts facts;
  facts.address = "0000:01:00.0";
  facts.errors_before.read = facts.errors_after.read = true;
  facts.errors_before.access = facts.errors_after.access = "through sysfs config as root";
  facts.errors_after.set = {
      {"0000:01:00.0", false, "Completion Timeout", report::ErrorBit::Kind::kFatal},
      {"0000:00:03.0", true, "Bad TLP", report::ErrorBit::Kind::kCorrectable}};
  facts.errors_before.counted = facts.errors_after.counted = true;
  facts.errors_after.counts = {{facts.errors_after.set[1], 3}};
  report::Report report;
  report.program_version = FPGA_DIAG_VERSION;
  report.time = "2026-12-11T00:00:00Z";
  report.boards.push_back(report::JudgeBoard(report::ReadLog(WholeRun(2, 4)), facts, {},
                                             {"run.log", std::string(64, '0'), 0},
                                             report::Options{}));
  report::Conclude(&report);
  EXPECT_EQ(report.verdict, report::Verdict::kFail);
  const std::string schema = std::string(FPGA_DIAG_SOURCE_DIR) + "/report/report.schema.json";
  const std::string xsd = std::string(FPGA_DIAG_SOURCE_DIR) + "/tests/report/junit.xsd";
  const std::string json = Write("errors.json", report::JsonText(report));
  Ran v = Shell(
      "python3 -c 'import json, sys, jsonschema; jsonschema.validate(json.load(open(sys.argv[1])), "
      "json.load(open(sys.argv[2])))' " +
      Q(json) + " " + Q(schema));
  EXPECT_EQ(v.status, 0) << v.out;
  v = Shell("xmllint --noout --schema " + Q(xsd) + " " +
            Q(Write("errors.xml", report::JunitText(report))));
  EXPECT_EQ(v.status, 0) << v.out;
  const nlohmann::json j = nlohmann::json::parse(Read("errors.json"));
  const nlohmann::json& after = j["boards"][0]["board"]["errors"]["after"];
  EXPECT_EQ(after["set"][0]["name"], "Completion Timeout");
  EXPECT_EQ(after["set"][0]["kind"], "fatal");
  EXPECT_EQ(after["set"][1]["port"], true);
  EXPECT_EQ(after["counts"][0]["count"], 3);
  EXPECT_NE(
      report::JunitText(report).find("<property name=\"errors.after\" value=\"Completion Timeout "
                                     "(uncorrectable, fatal), Bad TLP (correctable, in the port "
                                     "above it, 0000:00:03.0)\"/>"),
      std::string::npos);
  EXPECT_NE(report::HtmlText(report).find("before the run none; after it Completion Timeout"),
            std::string::npos);
}

TEST_F(ReportProgram, PageRendersInAHeadlessBrowser) {
  if (Shell("command -v chromium").status != 0)
    FAIL() << "chromium is missing (scripts/setup.sh test)";
  for (const auto& [name, text] : {std::pair<std::string, std::string>{"healthy", WholeRun(2, 4)},
                                   {"faulted", FaultedRun()}}) {
    const std::string page = dir_ + "/" + name + ".html";
    Report("--link gen3x16 --html " + Q(page) + " " + Q(Write(name + ".log", text)));
    const std::string flags =
        "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update "
        "--disable-sync --user-data-dir=" +
        Q(dir_ + "/profile-" + name);
    const std::string png = dir_ + "/" + name + ".png";
    Shell("timeout 120 chromium " + flags + " --window-size=1100,1600 --screenshot=" + Q(png) +
          " file://" + page);
    const std::string image = Read(name + ".png");
    ASSERT_GT(image.size(), 20000u) << name << ": no screenshot";
    EXPECT_EQ(image.substr(1, 3), "PNG");
    const Ran dom = Shell("timeout 120 chromium " + flags + " --dump-dom file://" + page);
    auto count = [&dom](const std::string& pattern) {
      const std::regex re(pattern);
      return std::distance(std::sregex_iterator(dom.out.begin(), dom.out.end(), re),
                           std::sregex_iterator());
    };
    // Every (size, count) with an error a bar of its own: the faulted write pass has 512 sizes
    // with three non-zero counts, but for the sizes whose corrupted count (f % 7) is 0.
    long bars = 0;
    if (name == "faulted")
      for (uint32_t f = 2049; f <= 4096; ++f) bars += (f & 3) == 3 ? 2 + (f % 7 != 0) : 0;
    EXPECT_EQ(count("<rect class=\"err "), bars) << name;
    EXPECT_EQ(count("<rect class=\"covered\""), 2) << name;
    EXPECT_EQ(count("<rect class=\"rate-bar "), 8) << name;  // seven directions, the backloop
    EXPECT_EQ(count("<line class=\"ceiling\""), 1) << name;
    EXPECT_EQ(count("<line class=\"floor\""), 1) << name;
    EXPECT_EQ(count("<script"), 0) << name;
  }
}

}  // namespace
