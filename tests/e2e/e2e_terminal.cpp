// The utility and its console: the key press that stops the integrity pass, a key already
// waiting, no controlling terminal at all, and the terminal given back after a signal.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e_harness.h"
#include "report_check.h"

namespace e2e {
namespace {

using namespace oracle;

TEST(E2eKeyboard, KeyWaitingBeforeThePassEndsItAfterItsFirstTransfer) {
  // The key waits in the terminal before the program starts (the BAR0 test takes well under a
  // millisecond, too short to type into reliably). The second channel-0 completion is dropped:
  // had the pass gone past its first transfer, it would report the waiting failure instead of
  // the interruption.
  RunSpec s = Utility("irq-drop=ch0@2");
  s.typed_ahead = "x";
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(s), InterruptedRun()));
}

TEST(E2eKeyboard, TypedKeyIsNeitherEchoedNorTaken) {
  // Several keys in the first size: one interruption, and none of them shows on the console.
  RunResult r = RunProgram(Utility(std::nullopt, {Action{SizeLine(4096), "abc\n", 0}}));
  E2E_EXPECT_VERDICT(CheckRun(r, InterruptedRun()));
}

TEST(E2eKeyboard, WithoutAControllingTerminalNoKeyIsEverSeen) {
  // A key written to stdin is no key press: the pass runs on through two whole sizes until the
  // dropped completion of transfer 8193 (the first of size 4094) ends it.
  RunSpec s = Utility("irq-drop=ch0@8193", {KeyAtFirstSize()});
  s.console = Console::kNoTerminal;
  RunResult r = RunProgram(s);
  E2E_EXPECT_VERDICT(CheckRun(r, UntilIntegrity() + SizeBlock(4096, {}) + SizeBlock(4095, {}) +
                                     SizeLine(4094) + WaitFailure() + AfterIntegrity()));
}

// ---- Signals ----------------------------------------------------------------------------------

struct SignalCase {
  const char* name;
  int signal;
  std::optional<std::string> setting;  // FPGA_SIM
  std::vector<Action> before;          // what happens before the signal
  std::string at;                      // the text after which the signal comes
  std::string printed;                 // the expected output up to and including `at`
  // The output must be exactly `printed`: where the test offers a long enough wait (a
  // performance measurement's one-second sleep, the backloop's wait for a completion that never
  // comes) the run must go no further than the signal. The BAR0 test is too short for that.
  bool whole;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class E2eSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(E2eSignal, EndsPromptlyAndGivesTheTerminalBack) {
  const SignalCase& c = GetParam();
  RunSpec s = Utility(c.setting, c.before);
  s.actions.push_back(Action{c.at, "", c.signal});
  s.timeout_ms = 30000;
  RunResult r = RunProgram(s);

  ASSERT_EQ(r.actions_fired, s.actions.size()) << Describe(r) << "\n" << r.output;
  EXPECT_TRUE(r.signalled) << Describe(r);
  EXPECT_EQ(r.term_signal, c.signal) << Describe(r);
  EXPECT_LT(r.seconds, 15.0) << Describe(r);

  // The output up to the signal is what the run prints; after it nothing but the end.
  size_t at = r.output.find(c.at);
  ASSERT_NE(at, std::string::npos) << r.output;
  Match m = MatchOutput(c.printed, c.whole ? r.output : r.output.substr(0, at + c.at.size()));
  EXPECT_TRUE(m.ok) << m.diff;

  // While the test ran the terminal was raw and silent; afterwards it is as it was before.
  ASSERT_FALSE(r.term_at_action.empty());
  const TermSnapshot& during = r.term_at_action.back();
  ASSERT_TRUE(during.valid && r.term_final.valid && r.term_initial.valid);
  EXPECT_FALSE(during.Canonical()) << "the utility should read keys without a line end";
  EXPECT_FALSE(during.Echo()) << "the utility should not echo keys";
  EXPECT_TRUE(r.term_final.Canonical()) << "canonical mode not restored";
  EXPECT_TRUE(r.term_final.Echo()) << "echo not restored";
  EXPECT_EQ(r.term_final.tio.c_lflag, r.term_initial.tio.c_lflag);
  EXPECT_EQ(r.term_final.tio.c_iflag, r.term_initial.tio.c_iflag);
  EXPECT_EQ(r.term_final.tio.c_oflag, r.term_initial.tio.c_oflag);
  EXPECT_EQ(r.term_final.tio.c_cc[VMIN], r.term_initial.tio.c_cc[VMIN]);
  EXPECT_EQ(r.term_final.tio.c_cc[VTIME], r.term_initial.tio.c_cc[VTIME]);

  // The report of such a run: it stops where the signal came, which the reason names.
  EXPECT_JUDGED(r, {{"run", report_check::kIncomplete,
                     std::string("the utility was ended by SIG") + sigabbrev_np(c.signal)}});
}

// Where each signal comes, and the run's output up to there.
const std::string kFirstSize = SizeLine(4096);
const std::string kUint16 = Bar0Writing(Bar0Phase::kUint16);
const std::string kReadStep = PerformanceHeading(PerfStep::kRead);
const std::string kBackloop = BackloopHeading();
std::string UpToFirstSize() { return Through(InterruptedRun(), kFirstSize); }
std::string UpToUint16() { return Through(InterruptedRun(), kUint16); }
std::string UpToReadStep() { return Through(InterruptedRun(), kReadStep); }
std::string UpToBackloop() { return Through(InterruptedRun(), kBackloop); }
// With the backloop's completion dropped the test sits in its 2 s wait when the signal comes.
const std::string kNoBackloopIrq = "irq-drop=backloop@1";

INSTANTIATE_TEST_SUITE_P(
    DuringEachTest, E2eSignal,
    ::testing::Values(
        SignalCase{"SigintInBar0Test", SIGINT, std::nullopt, {}, kUint16, UpToUint16(), false},
        SignalCase{"SigtermInBar0Test", SIGTERM, std::nullopt, {}, kUint16, UpToUint16(), false},
        SignalCase{"SighupInBar0Test", SIGHUP, std::nullopt, {}, kUint16, UpToUint16(), false},
        SignalCase{
            "SigintInIntegrityPass", SIGINT, std::nullopt, {}, kFirstSize, UpToFirstSize(), false},
        SignalCase{"SigtermInIntegrityPass",
                   SIGTERM,
                   std::nullopt,
                   {},
                   kFirstSize,
                   UpToFirstSize(),
                   false},
        SignalCase{
            "SighupInIntegrityPass", SIGHUP, std::nullopt, {}, kFirstSize, UpToFirstSize(), false},
        SignalCase{"SigquitInIntegrityPass",
                   SIGQUIT,
                   std::nullopt,
                   {},
                   kFirstSize,
                   UpToFirstSize(),
                   false},
        SignalCase{"SigintInPerformanceTest",
                   SIGINT,
                   std::nullopt,
                   {KeyAtFirstSize()},
                   kReadStep,
                   UpToReadStep(),
                   true},
        SignalCase{"SigtermInPerformanceTest",
                   SIGTERM,
                   std::nullopt,
                   {KeyAtFirstSize()},
                   kReadStep,
                   UpToReadStep(),
                   true},
        SignalCase{"SighupInPerformanceTest",
                   SIGHUP,
                   std::nullopt,
                   {KeyAtFirstSize()},
                   kReadStep,
                   UpToReadStep(),
                   true},
        SignalCase{"SigintInBackloopTest",
                   SIGINT,
                   kNoBackloopIrq,
                   {KeyAtFirstSize()},
                   kBackloop,
                   UpToBackloop(),
                   true},
        SignalCase{"SigtermInBackloopTest",
                   SIGTERM,
                   kNoBackloopIrq,
                   {KeyAtFirstSize()},
                   kBackloop,
                   UpToBackloop(),
                   true},
        SignalCase{"SighupInBackloopTest",
                   SIGHUP,
                   kNoBackloopIrq,
                   {KeyAtFirstSize()},
                   kBackloop,
                   UpToBackloop(),
                   true}),
    [](const ::testing::TestParamInfo<SignalCase>& param) {
      return std::string(param.param.name);
    });

}  // namespace
}  // namespace e2e
