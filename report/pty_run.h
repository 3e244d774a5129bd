// Running the utility as a person at a console would: on a pseudo-terminal of its own (its
// controlling terminal, its standard input, output and error), with the person's key presses
// passed on to it and the signals the report receives passed on to it, its output handed over
// byte for byte as it comes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "report/judge.h"

namespace report {

// Once, before the first run: standard input in raw mode when it is the terminal of a
// foreground job (so that each key goes to the utility at once, Ctrl-C included, which the
// utility's terminal then turns into its SIGINT), put back at every exit and on a crash; and
// handlers that hand SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGWINCH to the run.
void PrepareConsole();
// Puts the terminal back as it was (also done at exit).
void RestoreConsole();
// A signal that came while no run was there to take it (0: none).
int TakePendingSignal();

struct TerminalRun {
  std::vector<std::string> argv;  // PROGRAM [ARGS...]; PROGRAM is looked up in PATH
  std::vector<std::string> env;   // the whole environment, "NAME=value"
};

struct TerminalOutcome {
  bool started = false;
  std::string error;  // why it could not be started
  RunEnd end;
  int relayed_signal = 0;  // the first signal passed on to it (the report then ends by it)
};

// `output` gets each piece of output and the seconds since the start; false from it (its own
// output is gone) passes SIGPIPE on, as a closed pipe would have sent the utility. `tick` runs
// about ten times a second.
TerminalOutcome RunOnTerminal(const TerminalRun& run,
                              const std::function<bool(const char*, size_t, double)>& output,
                              const std::function<void(double)>& tick);

}  // namespace report
