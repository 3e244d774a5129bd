#include "cli.h"

#include <algorithm>
#include <cstdlib>

#include "platform/command_line.h"

namespace report {

const char kUsage[] =
    "Usage: fpga-diag-report [OPTIONS] LOG\n"
    "       fpga-diag-report [OPTIONS] --run [--all] [-- PROGRAM [ARGS...]]\n"
    "Judges a run of fpga-diag: a verdict for each test with its reason, rates against the\n"
    "board's PCI Express link. LOG is a saved output (- for standard input); --run runs the\n"
    "utility (fpga-diag, or PROGRAM) on a terminal of its own and judges it as it goes.\n"
    "\n"
    "  --run              run the utility; a key typed here still ends its integrity test\n"
    "  --all              with --run: once for every board found, one after another\n"
    "  --log FILE         with --run: keep the raw output in FILE (default: a file named after\n"
    "                     the board and the time, in this folder; with --all, FILE is a folder)\n"
    "  -v, --verbose      with --run: show the raw output instead of the progress display\n"
    "  --link genGxW      judge the rates against this link (G 1-5, W 1-32) instead of the\n"
    "                     board's own (sysfs, or FPGA_SIM's link= for fpga-diag-sim)\n"
    "  --min-share SHARE  the floor under which a rate warns, as a share of the link's\n"
    "                     ceiling: 0.55 or 55% (the default)\n"
    "  --partial-ok       a run that a key ended counts as passed\n"
    "  --strict           a warning fails the run\n"
    "  --json FILE        write the report as JSON (- for standard output)\n"
    "  --junit FILE       write it as JUnit XML\n"
    "  --html FILE        write it as one self-contained page\n"
    "  -h, --help         show this text and exit\n"
    "      --version      show the version and exit\n"
    "Exit status: 0 PASS (or WARN), 1 FAIL or INCOMPLETE, 2 bad use or input that is not the\n"
    "utility's output.\n";

namespace {

bool ParseShare(std::string text, double* out) {
  bool percent = false;
  if (!text.empty() && text.back() == '%') {
    percent = true;
    text.pop_back();
  }
  if (text.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(v > 0)) return false;
  if (percent) v /= 100;
  if (v > 1) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* out, std::string* error) {
  *out = CommandLine();
  // The words after the first "--" are the program to run and its own arguments, whatever
  // they look like; only those before it are ours.
  const auto dashes = std::find(args.begin(), args.end(), std::string("--"));
  if (dashes != args.end()) {
    out->program.assign(dashes + 1, args.end());
    if (out->program.empty()) {
      *error = "-- must be followed by a program";
      return false;
    }
  }
  enum : int {
    kRun = 256,
    kAll,
    kLog,
    kLink,
    kMinShare,
    kPartialOk,
    kStrict,
    kJson,
    kJunit,
    kHtml,
    kVersion
  };
  static const option kLongOptions[] = {{"run", no_argument, nullptr, kRun},
                                        {"all", no_argument, nullptr, kAll},
                                        {"log", required_argument, nullptr, kLog},
                                        {"verbose", no_argument, nullptr, 'v'},
                                        {"link", required_argument, nullptr, kLink},
                                        {"min-share", required_argument, nullptr, kMinShare},
                                        {"partial-ok", no_argument, nullptr, kPartialOk},
                                        {"strict", no_argument, nullptr, kStrict},
                                        {"json", required_argument, nullptr, kJson},
                                        {"junit", required_argument, nullptr, kJunit},
                                        {"html", required_argument, nullptr, kHtml},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"version", no_argument, nullptr, kVersion},
                                        {nullptr, 0, nullptr, 0}};
  const platform::CommandLine line = platform::ParseCommandLine(
      std::vector<std::string>(args.begin(), dashes), "hv", kLongOptions);
  if (!line.error.empty()) {
    *error = line.error;
    return false;
  }
  for (const platform::ParsedOption& o : line.options) {
    const std::string& v = o.value;
    switch (o.code) {
      case 'h': out->help = true; break;
      case kVersion: out->version = true; break;
      case kRun: out->run = true; break;
      case kAll: out->all = true; break;
      case 'v': out->verbose = true; break;
      case kPartialOk: out->judge.partial_ok = true; break;
      case kStrict: out->judge.strict = true; break;
      case kLog: out->log_path = v; break;
      case kJson: out->json = v; break;
      case kJunit: out->junit = v; break;
      case kHtml: out->html = v; break;
      case kLink:
        if (!ParseLink(v, &out->link)) {
          *error = "--link " + v + ": expected genGxW with G 1 to 5 and W 1, 2, 4, 8, 12, 16 or 32";
          return false;
        }
        break;
      case kMinShare:
        if (!ParseShare(v, &out->judge.min_share)) {
          *error = "--min-share " + v + ": expected a share above 0 and at most 1, or a percentage";
          return false;
        }
        break;
    }
  }
  const std::vector<std::string>& inputs = line.operands;
  if (out->help || out->version) return true;
  int to_stdout = 0;
  for (const std::string* f : {&out->json, &out->junit, &out->html}) to_stdout += *f == "-";
  if (to_stdout > 1) {
    *error = "only one output can go to standard output";
    return false;
  }
  if (out->run) {
    if (!inputs.empty()) {
      *error = "--run reads no LOG (" + inputs[0] + ")";
      return false;
    }
    if (out->program.empty()) out->program = {"fpga-diag"};
    return true;
  }
  const char* run_only = out->all                 ? "--all"
                         : out->verbose           ? "--verbose"
                         : !out->log_path.empty() ? "--log"
                         : !out->program.empty()  ? "-- PROGRAM"
                                                  : nullptr;
  if (run_only) {
    *error = std::string(run_only) + " goes with --run";
    return false;
  }
  if (inputs.size() != 1) {
    *error = inputs.empty() ? "a LOG or --run is needed" : "one LOG at a time";
    return false;
  }
  out->input = inputs[0];
  return true;
}

}  // namespace report
