// SIGINT, SIGTERM and SIGHUP in each of the four tests: the combinations the terminal cases do
// not already make. The signal must end the process at once with that signal's status and give
// the terminal its settings back. Where a test offers a long enough wait (a performance
// measurement's one-second sleep, the backloop's wait for a completion that never comes) the
// output must stop exactly at the text the signal followed: the run went no further.
#include <gtest/gtest.h>
#include <signal.h>

#include "check/e2e_harness.h"

namespace e2e {
namespace {

using namespace text;

struct SignalCase {
  const char* name;
  int signal;
  std::optional<std::string> setting;
  std::vector<Action> before;
  std::string at;        // the text after which the signal comes
  std::string printed;   // the expected output up to and including `at`
  bool whole;            // the output must be exactly `printed`
};
void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class E2eMatrixSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(E2eMatrixSignal, EndsAtOnceWithTheSignalAndRestoresTheTerminal) {
  const SignalCase& c = GetParam();
  RunSpec s = Utility(c.setting, c.before);
  s.actions.push_back(Action{c.at, "", c.signal});
  s.timeout_ms = 30000;
  RunResult r = RunProgram(s);

  ASSERT_EQ(r.actions_fired, s.actions.size()) << Describe(r) << "\n" << r.output;
  EXPECT_TRUE(r.signalled) << Describe(r);
  EXPECT_EQ(r.term_signal, c.signal) << Describe(r);
  EXPECT_LT(r.seconds, 15.0) << Describe(r);

  const size_t at = r.output.find(c.at);
  ASSERT_NE(at, std::string::npos) << r.output;
  const Match m = MatchOutput(c.printed, c.whole ? r.output : r.output.substr(0, at + c.at.size()));
  EXPECT_TRUE(m.ok) << m.diff;

  ASSERT_FALSE(r.term_at_action.empty());
  const TermSnapshot& during = r.term_at_action.back();
  ASSERT_TRUE(during.valid && r.term_final.valid && r.term_initial.valid);
  EXPECT_FALSE(during.Canonical()) << "keys are read without a line end while a test runs";
  EXPECT_FALSE(during.Echo());
  EXPECT_EQ(r.term_final.tio.c_lflag, r.term_initial.tio.c_lflag) << "local modes not restored";
  EXPECT_EQ(r.term_final.tio.c_iflag, r.term_initial.tio.c_iflag);
  EXPECT_EQ(r.term_final.tio.c_oflag, r.term_initial.tio.c_oflag);
  EXPECT_EQ(r.term_final.tio.c_cc[VMIN], r.term_initial.tio.c_cc[VMIN]);
  EXPECT_EQ(r.term_final.tio.c_cc[VTIME], r.term_initial.tio.c_cc[VTIME]);
}

const std::string kUint16 = "\nWriting the uint16 array to BAR0 memory\n";
std::string UpToUint16() {
  return Banner() + "\nBAR0 slave memory read/write testing:\n"
                    "\nWriting the bytes array to BAR0 memory\n"
                    "Reading of bytes array from BAR0 memory... success\n" +
         kUint16;
}
const std::string kReadStep = "\nMemory read DMA performance testing...\n";
std::string UpToReadStep() {
  return Banner() + Bar0AllSuccess() + IntegrityHeading(Pass::kMemoryWrite) + SizeLine(4096) +
         Interrupted() +
         "\nMemory write DMA performance testing...\n"
         "Memory write transfer rate is %f MByte/sec\n" +
         kReadStep;
}
// The backloop's completion is dropped, so the test sits in its 2 s wait when the signal comes.
const std::string kNoBackloopIrq = "irq-drop=backloop@1";
const std::string kBackloop = "(buffers size is 50.000000 MByte)...\n";
std::string UpToBackloop() {
  return Banner() + Bar0AllSuccess() + IntegrityHeading(Pass::kMemoryWrite) + SizeLine(4096) +
         Interrupted() + Performance() + BackloopHeading();
}

INSTANTIATE_TEST_SUITE_P(
    MissingCombinations, E2eMatrixSignal,
    ::testing::Values(
        SignalCase{"SigtermInBar0Test", SIGTERM, std::nullopt, {}, kUint16, UpToUint16(), false},
        SignalCase{"SighupInBar0Test", SIGHUP, std::nullopt, {}, kUint16, UpToUint16(), false},
        SignalCase{"SigtermInPerformanceTest", SIGTERM, std::nullopt, {KeyAtFirstSize()},
                   kReadStep, UpToReadStep(), true},
        SignalCase{"SighupInPerformanceTest", SIGHUP, std::nullopt, {KeyAtFirstSize()},
                   kReadStep, UpToReadStep(), true},
        SignalCase{"SigintInBackloopTest", SIGINT, kNoBackloopIrq, {KeyAtFirstSize()}, kBackloop,
                   UpToBackloop(), true},
        SignalCase{"SighupInBackloopTest", SIGHUP, kNoBackloopIrq, {KeyAtFirstSize()}, kBackloop,
                   UpToBackloop(), true},
        SignalCase{"SigtermInBackloopWait", SIGTERM, kNoBackloopIrq, {KeyAtFirstSize()},
                   kBackloop, UpToBackloop(), true}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2e
