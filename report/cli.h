// fpga-diag-report's command line.
#pragma once

#include <string>
#include <vector>

#include "report/judge.h"
#include "report/link.h"

namespace report {

struct CommandLine {
  bool help = false;
  bool version = false;
  bool run = false;      // --run: run the utility
  bool all = false;      // --all: once for every board
  bool verbose = false;  // the raw output instead of the progress display
  std::string input;     // LOG, "-" for standard input
  std::string log_path;  // --log
  Link link;             // --link; unknown when not given
  Options judge;
  std::string json, junit, html;     // output files; "-" is standard output
  std::vector<std::string> program;  // after "--": PROGRAM [ARGS...]
};

// False with *error saying what is wrong (the program then exits with 2).
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error);

extern const char kUsage[];

}  // namespace report
