// The harness itself, against stand-in programs (the shell), so that an end-to-end failure can
// be trusted to be the utility's and not the harness's.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "e2e_harness.h"

namespace e2e {
namespace {

using namespace oracle;

RunSpec Shell(const std::string& script) {
  RunSpec s;
  s.exe = "/bin/sh";
  s.args = {"-c", script};
  s.timeout_ms = 10000;
  return s;
}

TEST(E2eHarnessRun, TerminalOutputIsNormalizedAndStatusKept) {
  RunResult r = RunProgram(Shell("printf 'a\\nb\\rc\\n'; exit 3"));
  ASSERT_TRUE(r.harness_error.empty()) << r.harness_error;
  EXPECT_EQ(r.output, "a\nb\rc\n");  // the terminal's "\r\n" becomes "\n"; a lone "\r" stays
  EXPECT_TRUE(r.exited);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_FALSE(r.timed_out);
}

TEST(E2eHarnessRun, ChildHasTheTerminalAsControllingTerminal) {
  RunResult r =
      RunProgram(Shell("tty >/dev/null && echo tty; [ -r /dev/tty ] && : </dev/tty && echo ctty"));
  EXPECT_EQ(r.output, "tty\nctty\n");
}

TEST(E2eHarnessRun, WithoutTerminalThereIsNoControllingTerminal) {
  RunSpec s = Shell("tty >/dev/null || echo notty; (: </dev/tty) 2>/dev/null || echo noctty");
  s.console = Console::kNoTerminal;
  RunResult r = RunProgram(s);
  EXPECT_EQ(r.output, "notty\nnoctty\n");
  EXPECT_EQ(r.exit_status, 0);
}

TEST(E2eHarnessRun, FpgaSimIsSetOrRemoved) {
  setenv("FPGA_SIM", "from-the-runner", 1);
  RunSpec s = Shell("echo \"${FPGA_SIM-unset}\"");
  RunResult unset = RunProgram(s);
  s.fpga_sim = "boards=2,pause=off";
  RunResult set = RunProgram(s);
  unsetenv("FPGA_SIM");
  EXPECT_EQ(unset.output, "unset\n");
  EXPECT_EQ(set.output, "boards=2,pause=off\n");
}

TEST(E2eHarnessRun, KeysAreTypedWhenTheTextAppears) {
  // The shell reads a line only after "ask" is out; echo is on, so the typed text shows too.
  RunSpec s = Shell("echo ask; read v; echo \"got $v\"");
  s.actions = {{"ask\n", "hello\n", 0}};
  RunResult r = RunProgram(s);
  EXPECT_EQ(r.actions_fired, 1u);
  EXPECT_EQ(r.output, "ask\nhello\ngot hello\n");
}

TEST(E2eHarnessRun, ActionsFireInOrderOnLaterText) {
  // The second action's text appears before the first's: it must not fire until after it.
  RunSpec s = Shell("echo two; echo one; read a; echo two; read b; echo \"$a$b\"");
  s.actions = {{"one\n", "A\n", 0}, {"two\n", "B\n", 0}};
  RunResult r = RunProgram(s);
  EXPECT_EQ(r.actions_fired, 2u);
  EXPECT_EQ(r.output, "two\none\nA\ntwo\nB\nAB\n");
}

TEST(E2eHarnessRun, SignalGoesToTheChild) {
  RunSpec s = Shell("echo ready; sleep 5; echo never");
  s.actions = {{"ready", "", SIGTERM}};
  RunResult r = RunProgram(s);
  EXPECT_TRUE(r.signalled) << Describe(r);
  EXPECT_EQ(r.term_signal, SIGTERM);
  EXPECT_EQ(r.output.find("never"), std::string::npos);
  EXPECT_LT(r.seconds, 4.0);
}

TEST(E2eHarnessRun, TimeOutKillsTheProcessGroup) {
  RunSpec s = Shell("sleep 30 & sleep 30; echo never");
  s.timeout_ms = 300;
  RunResult r = RunProgram(s);
  EXPECT_TRUE(r.timed_out);
  EXPECT_FALSE(r.exited);
  EXPECT_LT(r.seconds, 5.0);  // the background sleep held nothing up
  EXPECT_FALSE(CheckRun(r, "").ok);
}

TEST(E2eHarnessRun, TerminalSettingsAreSeenDuringAndAfterTheRun) {
  // The stand-in leaves the terminal raw: the harness must see it both at the action and after.
  RunSpec s = Shell("stty -icanon -echo; echo raw; sleep 0.2");
  s.actions = {{"raw", "", 0}};
  RunResult r = RunProgram(s);
  ASSERT_EQ(r.term_at_action.size(), 1u);
  EXPECT_TRUE(r.term_initial.Canonical());
  EXPECT_TRUE(r.term_initial.Echo());
  EXPECT_FALSE(r.term_at_action[0].Canonical());
  EXPECT_FALSE(r.term_at_action[0].Echo());
  EXPECT_FALSE(r.term_final.Canonical());
  EXPECT_FALSE(r.term_final.Echo());

  RunResult restored = RunProgram(Shell("stty -icanon -echo; stty icanon echo; echo done"));
  EXPECT_TRUE(restored.term_final.Canonical());
  EXPECT_TRUE(restored.term_final.Echo());
}

TEST(E2eHarnessRun, LargeOutputArrivesWhole) {
  RunResult r =
      RunProgram(Shell("i=0; while [ $i -lt 20000 ]; do echo \"line $i\"; i=$((i+1)); done"));
  EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 20000);
  EXPECT_NE(r.output.find("line 19999\n"), std::string::npos);
}

TEST(E2eHarnessRun, WithoutTerminalKeysGoToStdin) {
  RunSpec s = Shell("echo ask; read v; echo \"got $v\"");
  s.console = Console::kNoTerminal;
  s.actions = {{"ask\n", "x\n", 0}};
  RunResult r = RunProgram(s);
  EXPECT_EQ(r.output, "ask\ngot x\n");  // no terminal, no echo
}

TEST(E2eHarnessMatch, PlaceholdersMatchTheirForms) {
  Match m = MatchOutput(
      "rate %f MB\nh (0x%p)\nE: %s\n100%%\n",
      "rate -12.500000 MB\nh (0x" + std::string(2 * sizeof(void*), 'A') + ")\nE: any text\n100%\n");
  ASSERT_TRUE(m.ok) << m.diff;
  ASSERT_EQ(m.captures.size(), 3u);
  EXPECT_EQ(m.captures[0], "-12.500000");
  EXPECT_EQ(m.captures[2], "any text");
  EXPECT_DOUBLE_EQ(Number(m.captures[0]), -12.5);
}

TEST(E2eHarnessMatch, PlaceholdersRejectOtherForms) {
  EXPECT_FALSE(MatchOutput("%f\n", "1.50000\n").ok);    // five decimals
  EXPECT_FALSE(MatchOutput("%f\n", "1.5000000\n").ok);  // seven
  EXPECT_FALSE(MatchOutput("%f\n", ".500000\n").ok);
  EXPECT_FALSE(MatchOutput("%p\n", std::string(2 * sizeof(void*), 'a') + "\n").ok);  // lower case
  EXPECT_FALSE(MatchOutput("%p\n", "0x" + std::string(2 * sizeof(void*), '0') + "\n").ok);
  EXPECT_FALSE(MatchOutput("%s\n", "one\ntwo\n").ok);  // %s never crosses a line end
}

TEST(E2eHarnessMatch, WholeOutputMustMatchIncludingTheEnd) {
  EXPECT_TRUE(MatchOutput("a\nb\n", "a\nb\n").ok);
  EXPECT_FALSE(MatchOutput("a\nb\n", "a\nb\nc\n").ok);
  EXPECT_FALSE(MatchOutput("a\nb\n", "a\nb").ok);     // the last line end is part of it
  EXPECT_FALSE(MatchOutput("a\nb\n", "a\nb \n").ok);  // and so is a trailing space
}

TEST(E2eHarnessMatch, DiffShowsTheDifferingLines) {
  Match m = MatchOutput("same\nexpected line\nsame again\n", "same\nactual line\nsame again\n");
  ASSERT_FALSE(m.ok);
  EXPECT_NE(m.diff.find("- \"expected line\""), std::string::npos) << m.diff;
  EXPECT_NE(m.diff.find("+ \"actual line\""), std::string::npos) << m.diff;
  EXPECT_NE(m.diff.find("from line 2"), std::string::npos) << m.diff;
}

TEST(E2eHarnessMatch, CheckRunFlagsTheLedgerReport) {
  RunResult r;
  r.exited = true;
  r.exit_status = 0;
  r.output = "x\n" + Ledger("1");
  EXPECT_FALSE(CheckRun(r, "x\n%s\n").ok);  // matched by a wildcard, still a leak
  EXPECT_TRUE(CheckRun(r, "x\n" + LibraryCloseFailure(AnyText(0x20000011))).ok);
}

TEST(E2eHarnessText, StatusesOfForcedFailuresFollowTheOperationTable) {
  EXPECT_EQ(Simulated("WDC_DriverOpen").code, 0x20001000u);
  EXPECT_EQ(Simulated("WDC_DMAContigBufLock").code, 0x2000100Eu);
}

}  // namespace
}  // namespace e2e
