// The command line of the tools beside the utility (fpga-board-server, fpga-diag-setup):
// getopt_long's usual forms (--name VALUE, --name=VALUE, -n VALUE, -nVALUE, clustered flags, unique
// prefixes of long names, -- before operands), with each mistake worded for the tool to print.
// POSIX only; the utility itself takes no options.
#pragma once

#include <getopt.h>

#include <string>
#include <vector>

namespace platform {

struct ParsedOption {
  int code;           // the short option's character, or a long option's val
  std::string value;  // its argument; empty for a flag
};

struct CommandLine {
  std::vector<ParsedOption> options;  // in the order given
  std::vector<std::string> operands;  // the other words, in the order given
  // The first mistake, e.g. "unknown option '--frob'", "option '--fd' needs a value",
  // "option '--verbose' takes no value", "ambiguous option '--ver' (--verbose, --version)";
  // empty when there is none. Parsing stops at it.
  std::string error;
};

// Parses `args` (the words after the program's name). `short_options` is getopt's string without
// a leading '+', '-' or ':'; `long_options` is getopt_long's table, ending with a zero entry.
// Operands may come before, between and after the options.
CommandLine ParseCommandLine(const std::vector<std::string>& args, const char* short_options,
                             const option* long_options);

}  // namespace platform
