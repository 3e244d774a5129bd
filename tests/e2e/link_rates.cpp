// Printed rates against the board's link model. Each direction of the link carries its own
// traffic: the write channel alone or beside reads gets the whole write direction; one read
// channel gets the whole read direction; two read channels share it. The backloop reads and
// writes at once, so it runs at the rate of one direction. Every rate within 2%.
//
// These cases measure one-second runs in real time: run them on an otherwise idle machine.
#include <gtest/gtest.h>

#include <cstdio>

#include "e2e_harness.h"

namespace e2e {
namespace {

using namespace oracle;

struct Link {
  int gen, width;
};

void PrintTo(const Link& l, std::ostream* os) { *os << "gen" << l.gen << "x" << l.width; }

class E2eLink : public ::testing::TestWithParam<Link> {};

TEST_P(E2eLink, RatesFollowTheLinkModel) {
  const Link l = GetParam();
  char setting[32];
  std::snprintf(setting, sizeof setting, "link=gen%dx%d", l.gen, l.width);
  RunResult r = RunProgram(Utility(setting, {KeyAtFirstSize()}));
  Verdict v = CheckRun(r, InterruptedRun());
  E2E_EXPECT_VERDICT(v);
  if (!v.ok) return;
  ASSERT_EQ(v.captures.size(), 10u);  // nine performance rates and the backloop rate

  // d: one direction in MByte/sec (2^20 bytes), e.g. Gen2 x4: 1502e6 / 2^20 = 1432.4.
  const double d = LinkPrinted(l.gen, l.width);
  ASSERT_GT(d, 0);
  const char* what[9] = {"write alone",          "read alone",
                         "2 reads: channel 1",   "2 reads: channel 2",
                         "read/write: write",    "read/write: read",
                         "all three: write",     "all three: read channel 1",
                         "all three: read channel 2"};
  const double model[9] = {d, d, d / 2, d / 2, d, d, d, d / 2, d / 2};
  for (size_t i = 0; i < 9; ++i)
    EXPECT_NEAR(Number(v.captures[i]), model[i], model[i] * 0.02) << setting << ", " << what[i];
  // The backloop's interval also holds the delivery of its completion through the library's
  // thread and the event, and the board must stream 50 MiB through host memory within it: on a
  // 2-core virtual machine that holds to 2% while the run lasts 25 ms or more (links up to
  // 2,100 MB/s). Faster links are checked only never to beat the model.
  const double backloop = Number(v.captures[9]);
  if (d * 1048576.0 <= 2.1e9)
    EXPECT_NEAR(backloop, d, d * 0.02) << setting << ", backloop";
  else
    EXPECT_LE(backloop, d * 1.02) << setting << ", backloop";
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
