// Printed rates against the board's link model. Each direction of the link carries its own
// traffic: the write channel alone or beside reads gets the whole write direction; one read
// channel gets the whole read direction; two read channels share it. The backloop reads and
// writes at once, so it runs at the rate of one direction. Every rate within 2%, the backloop's
// wherever the host copies memory fast enough to stream it.
//
// These cases measure one-second runs in real time: run them on an otherwise idle machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "e2e_harness.h"
#include "report/link.h"
#include "report_check.h"

namespace e2e {
namespace {

using namespace oracle;

struct Link {
  int gen, width;
};

void PrintTo(const Link& l, std::ostream* os) { *os << "gen" << l.gen << "x" << l.width; }

class E2eLink : public ::testing::TestWithParam<Link> {};

constexpr double kBackloopBytes = 50.0 * 1048576.0;

// The best of three copies of the backloop's 50 MiB between buffers already touched, in ns.
double HostCopyNs() {
  static const double best = [] {
    const size_t n = static_cast<size_t>(kBackloopBytes);
    std::vector<uint8_t> from(n, 1), to(n, 2);
    double ns = 1e18;
    for (int i = 0; i < 3; ++i) {
      const auto start = std::chrono::steady_clock::now();
      std::memcpy(to.data(), from.data(), n);
      const auto end = std::chrono::steady_clock::now();
      ns = std::min(ns, std::chrono::duration<double, std::nano>(end - start).count());
    }
    if (to[n / 2] != 1) ADD_FAILURE() << "the copy did not happen";
    return ns;
  }();
  return best;
}

// One run ended at the first size: its nine performance rates and its backloop rate, or none
// if the run's output was wrong (a failure already added). The report judges every mode
// between floor and ceiling of the run's link.
std::vector<double> RunRates(const std::string& setting) {
  const RunResult r = RunProgram(Utility(setting, {KeyAtFirstSize()}));
  Verdict v = CheckRun(r, InterruptedRun());
  E2E_EXPECT_VERDICT(v);
  const std::string link = setting.substr(setting.find('=') + 1);
  std::vector<report_check::Expect> modes;
  for (const char* mode : {"write", "read", "two-reads", "read-write", "read-write-two-reads"})
    modes.push_back({std::string("performance.") + mode, report_check::kPass, "of the ceiling"});
  EXPECT_TRUE(report_check::Holds(report_check::Judge(r.output, &r, link), modes)) << setting;
  if (!v.ok) return {};
  EXPECT_EQ(v.captures.size(), 10u);  // nine performance rates and the backloop rate
  std::vector<double> rates;
  for (const std::string& c : v.captures) rates.push_back(Number(c));
  return rates;
}

TEST_P(E2eLink, RatesFollowTheLinkModel) {
  const Link l = GetParam();
  char setting[32];
  std::snprintf(setting, sizeof setting, "link=gen%dx%d", l.gen, l.width);
  const std::vector<double> rates = RunRates(setting);
  if (rates.size() != 10) return;

  // d: one direction in MByte/sec (2^20 bytes), e.g. Gen2 x4: 1502e6 / 2^20 = 1432.4.
  const double d = LinkPrinted(l.gen, l.width);
  ASSERT_GT(d, 0);
  const char* what[9] = {"write alone",
                         "read alone",
                         "2 reads: channel 1",
                         "2 reads: channel 2",
                         "read/write: write",
                         "read/write: read",
                         "all three: write",
                         "all three: read channel 1",
                         "all three: read channel 2"};
  const double model[9] = {d, d, d / 2, d / 2, d, d, d, d / 2, d / 2};
  for (size_t i = 0; i < 9; ++i)
    EXPECT_NEAR(rates[i], model[i], model[i] * 0.02) << setting << ", " << what[i];
  // The backloop's interval also holds the delivery of its completion through the library's
  // thread and the event, and the board streams the 50 MiB through host memory within it, so
  // it cannot run faster than this machine copies memory. Where the model gives the run at
  // least twice the host's copy time, the rate holds to 2%; elsewhere (a slow or loaded host)
  // it is only checked never to beat the model. The interval is real time, 18 ms on Gen3 x4,
  // so one preemption of the engine by the host can cost a run more than 2%; such a delay only
  // ever lowers the rate, so a run below the model is tried twice more and the best is held.
  double backloop = rates[9];
  EXPECT_LE(backloop, d * 1.02) << setting << ", backloop";
  const double model_ns = kBackloopBytes / (d * 1048576.0) * 1e9;
  const double copy_ns = HostCopyNs();
  if (model_ns >= 2 * copy_ns) {
    for (int again = 0; again < 2 && backloop < d * 0.98; ++again) {
      std::printf("%s: backloop %.1f MByte/sec, below the model's %.1f: run again\n", setting,
                  backloop, d);
      const std::vector<double> more = RunRates(setting);
      if (more.size() != 10) return;
      EXPECT_LE(more[9], d * 1.02) << setting << ", backloop";
      backloop = std::max(backloop, more[9]);
    }
    EXPECT_NEAR(backloop, d, d * 0.02) << setting << ", backloop (the best run)";
    // Where the host streams it as the model does, the backloop lies above the report's floor.
    report::Link parsed;
    report::ParseLink(std::string(setting).substr(5), &parsed);
    const double ceiling = report::CeilingMBytes(parsed);
    const report::DirectionJudgement j =
        report::JudgeDirection({backloop}, ceiling, ceiling * report::kDefaultMinShare, false);
    EXPECT_EQ(j.verdict, report::Verdict::kPass) << setting << ": " << j.reason;
  } else {
    std::printf(
        "%s: backloop held only to the model's bound: the host copies 50 MiB in %.1f ms, "
        "the model allows %.1f ms\n",
        setting, copy_ns / 1e6, model_ns / 1e6);
  }
}

// Gen3 x8 is left out: 6126 MB/s is 93,475 buffers of 64 KiB a second, past the 16-bit counters.
INSTANTIATE_TEST_SUITE_P(Links, E2eLink,
                         ::testing::Values(Link{1, 1}, Link{1, 4}, Link{2, 1}, Link{2, 4},
                                           Link{2, 8}, Link{3, 4}),
                         [](const ::testing::TestParamInfo<Link>& param) {
                           return "Gen" + std::to_string(param.param.gen) + "x" +
                                  std::to_string(param.param.width);
                         });

}  // namespace
}  // namespace e2e
