// End-to-end harness: runs the built utility as a user would, on a real pseudo-terminal (so its
// keyboard test sees key presses) or without any controlling terminal, with the virtual board's
// FPGA_SIM settings, reacts to lines as they appear, and compares the whole console output with
// an expected text built from the oracle (oracle.h).
//
// Nothing here depends on the test framework, so soak runners and other front-ends (a wrapper
// such as valgrind or wine in RunSpec::wrapper) can reuse it.
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "oracle.h"

namespace e2e {

// ---- Running the utility ---------------------------------------------------------------------

// Something to do once a text has appeared in the output. Actions fire in order: each one is
// looked for only after the previous one has fired, and only in output after the previous text.
struct Action {
  std::string when;   // fire as soon as this text has appeared
  std::string keys;   // then type these (to the terminal, or to stdin when there is none)
  int signal = 0;     // then send this signal to the child's process group (0: none)
};

enum class Console {
  kTerminal,    // a pseudo-terminal that is the child's controlling terminal and stdin/out/err
  kNoTerminal,  // plain pipes in a new session: the child has no controlling terminal at all
};

struct RunSpec {
  std::string exe;                       // empty: DefaultExe()
  std::vector<std::string> wrapper;      // run as wrapper... exe args... (valgrind, wine, ...)
  std::vector<std::string> args;         // argv[1..]
  std::optional<std::string> fpga_sim;   // FPGA_SIM's value; nullopt: unset
  std::vector<std::string> env;          // more of the child's environment, "NAME=value"
  std::vector<Action> actions;
  // Keys already waiting in the terminal when the child starts (typed with echo off, so they
  // never show): the only way to have a key surely waiting before a test that starts within
  // microseconds of the program.
  std::string typed_ahead;
  Console console = Console::kTerminal;
  int timeout_ms = 120000;               // then the process group is killed
};

// The terminal settings the child's pseudo-terminal had at one moment.
struct TermSnapshot {
  bool valid = false;
  struct termios tio {};
  bool Canonical() const { return valid && (tio.c_lflag & ICANON) != 0; }
  bool Echo() const { return valid && (tio.c_lflag & ECHO) != 0; }
};

struct RunResult {
  std::string output;          // stdout and stderr as they came, "\r\n" turned into "\n"
  bool exited = false;         // ended by exit(): exit_status holds its status
  int exit_status = -1;
  bool signalled = false;      // ended by a signal: term_signal holds it
  int term_signal = 0;
  bool timed_out = false;      // the harness killed it
  size_t actions_fired = 0;
  double seconds = 0;          // wall time from start to end
  TermSnapshot term_initial;   // the pseudo-terminal before the child ran
  std::vector<TermSnapshot> term_at_action;  // just before each fired action acts
  TermSnapshot term_final;     // after the child has ended
  std::string harness_error;   // non-empty: the harness itself failed (fork, pty, ...)
};

// The utility under test: $FPGA_DIAG_EXE when set, else the build's fpga-diag-sim.
std::string DefaultExe();

// A run of the utility on a terminal with these settings (nullopt: FPGA_SIM unset).
RunSpec Utility(std::optional<std::string> fpga_sim, std::vector<Action> actions = {});
// Types one key once `text` has appeared.
Action KeyWhen(const std::string& text);
// Types one key once the memory-write pass has begun its first transfer size; with the real
// 100 us pause a size takes over 0.4 s, so the key lands within that size.
Action KeyAtFirstSize();

RunResult RunProgram(const RunSpec& desc);

// A one-line account of how the run ended, for failure messages.
std::string Describe(const RunResult& r);

// ---- Checking a run --------------------------------------------------------------------------

// The checks every end-to-end case makes, with every failure explained in `why`:
// no harness error, no time-out, a normal exit with status 0, the output matching `expected`,
// and (unless `expected` itself holds it) no report of resources left at the library's close.
struct Verdict {
  bool ok = true;
  std::string why;
  std::vector<std::string> captures;
};
Verdict CheckRun(const RunResult& r, const std::string& expected);

// ---- The link model --------------------------------------------------------------------------

// Payload MB/s (10^6 bytes) per direction the virtual board models for a link "genGxW";
// 0 for a link it does not list.
double LinkMBps(int gen, int width);
// The same, in the MByte/sec (2^20 bytes) the utility prints.
double LinkPrinted(int gen, int width);

}  // namespace e2e

// Expands, in a test, to a check of a Verdict with its explanation.
#define E2E_EXPECT_VERDICT(verdict_expr)             \
  do {                                               \
    const ::e2e::Verdict e2e_v_ = (verdict_expr);    \
    EXPECT_TRUE(e2e_v_.ok) << e2e_v_.why;            \
  } while (0)
