#include "cli.h"

#include <cstdlib>

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
    "  --verbose          with --run: show the raw output instead of the progress display\n"
    "  --link genGxW      judge the rates against this link (G 1-5, W 1-32) instead of the\n"
    "                     board's own (sysfs, or FPGA_SIM's link= for fpga-diag-sim)\n"
    "  --min-share SHARE  the floor under which a rate warns, as a share of the link's\n"
    "                     ceiling: 0.55 or 55% (the default)\n"
    "  --partial-ok       a run that a key ended counts as passed\n"
    "  --strict           a warning fails the run\n"
    "  --json FILE        write the report as JSON (- for standard output)\n"
    "  --junit FILE       write it as JUnit XML\n"
    "  --html FILE        write it as one self-contained page\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
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
  std::vector<std::string> inputs;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    if (a == "--") {
      out->program.assign(args.begin() + static_cast<long>(i) + 1, args.end());
      if (out->program.empty()) {
        *error = "-- must be followed by a program";
        return false;
      }
      break;
    }
    std::string value;
    bool inline_value = false;
    const size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = a.substr(eq + 1);
      a = a.substr(0, eq);
      inline_value = true;
    }
    auto take = [&](std::string* into) {
      if (!inline_value) {
        if (i + 1 >= args.size()) {
          *error = a + " needs a value";
          return false;
        }
        value = args[++i];
      }
      *into = value;
      return true;
    };
    auto flag = [&](bool* into) {
      if (inline_value) {
        *error = a + " takes no value";
        return false;
      }
      *into = true;
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      if (!flag(&out->help)) return false;
    } else if (a == "--version") {
      if (!flag(&out->version)) return false;
    } else if (a == "--run") {
      if (!flag(&out->run)) return false;
    } else if (a == "--all") {
      if (!flag(&out->all)) return false;
    } else if (a == "--verbose") {
      if (!flag(&out->verbose)) return false;
    } else if (a == "--partial-ok") {
      if (!flag(&out->judge.partial_ok)) return false;
    } else if (a == "--strict") {
      if (!flag(&out->judge.strict)) return false;
    } else if (a == "--log") {
      if (!take(&out->log_path)) return false;
    } else if (a == "--json") {
      if (!take(&out->json)) return false;
    } else if (a == "--junit") {
      if (!take(&out->junit)) return false;
    } else if (a == "--html") {
      if (!take(&out->html)) return false;
    } else if (a == "--link") {
      if (!take(&v)) return false;
      if (!ParseLink(v, &out->link)) {
        *error = "--link " + v + ": expected genGxW with G 1 to 5 and W 1, 2, 4, 8, 12, 16 or 32";
        return false;
      }
    } else if (a == "--min-share") {
      if (!take(&v)) return false;
      if (!ParseShare(v, &out->judge.min_share)) {
        *error = "--min-share " + v + ": expected a share above 0 and at most 1, or a percentage";
        return false;
      }
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      *error = "unknown option " + args[i];
      return false;
    } else {
      inputs.push_back(a);
    }
  }
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
