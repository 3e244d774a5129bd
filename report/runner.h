// The two ways in: a saved log, and runs of the utility (one, or one a board with --all).
#pragma once

#include <string>

#include "cli.h"
#include "report/judge.h"

namespace report {

// Each returns false with *error when the input cannot be judged (unreadable, not the
// utility's output, a program that does not start): the report then exits with 2.
bool JudgeSavedLog(const CommandLine& cl, Report* report, std::string* error);
// *end_signal: a signal that ended the runs (passed on to the utility, or typed at it), by
// which the report itself ends once it has written its outputs; 0 when none.
bool RunBoards(const CommandLine& cl, Report* report, int* end_signal, std::string* error);

}  // namespace report
