// The utility's output piped into a reader that stops early (`fpga-diag-sim | head -3`): the
// next write raises SIGPIPE, which must give the terminal back before it ends the process.
#include <gtest/gtest.h>

#include "e2e_harness.h"

namespace e2e {
namespace {

TEST(E2ePipe, ReaderGoneEndsTheRunBySigpipeAndGivesTheTerminalBack) {
  RunSpec s = Utility("pause=off");
  // A shell on the pseudo-terminal runs the pipeline; with pipefail its status is the
  // utility's, 128 + SIGPIPE when the signal ended it.
  s.wrapper = {"/bin/bash", "-c", "set -o pipefail; \"$@\" | head -n 3", "bash"};
  s.timeout_ms = 30000;
  RunResult r = RunProgram(s);

  ASSERT_TRUE(r.exited) << Describe(r);
  EXPECT_EQ(r.exit_status, 128 + SIGPIPE) << Describe(r);
  // The first three lines: the banner's two and the blank line before the BAR0 heading.
  const oracle::Match m = oracle::MatchOutput(oracle::Banner() + "\n", r.output);
  EXPECT_TRUE(m.ok) << m.diff;
  ASSERT_TRUE(r.term_final.valid && r.term_initial.valid);
  EXPECT_TRUE(r.term_final.Canonical()) << "canonical mode not restored";
  EXPECT_TRUE(r.term_final.Echo()) << "echo not restored";
  EXPECT_EQ(r.term_final.tio.c_lflag, r.term_initial.tio.c_lflag);
}

}  // namespace
}  // namespace e2e
