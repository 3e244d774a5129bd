// fpga-diag-report: judges a run of the utility, from a saved log or by running it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli.h"
#include "pty_run.h"
#include "report/outputs.h"
#include "runner.h"

namespace {

using namespace report;

std::string UtcNow() {
  char s[32];
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  strftime(s, sizeof s, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return s;
}

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

bool WriteOutput(const std::string& path, const std::string& text, std::string* error) {
  if (path.empty()) return true;
  if (path == "-") {
    std::cout << text << std::flush;
    return true;
  }
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) {
    *error = "cannot write " + path;
    return false;
  }
  return true;
}

int Fail(const std::string& error) {
  RestoreConsole();
  std::cerr << "fpga-diag-report: " << error << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine cl;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &cl, &error)) {
    std::cerr << "fpga-diag-report: " << error << "\nTry 'fpga-diag-report --help'.\n";
    return 2;
  }
  if (cl.help) {
    std::cout << kUsage;
    return 0;
  }
  if (cl.version) {
    std::cout << "fpga-diag-report (fpga-diag) " FPGA_DIAG_VERSION "\n";
    return 0;
  }
  Report report;
  report.program_version = FPGA_DIAG_VERSION;
  report.time = UtcNow();
  report.host = HostName();
  report.options = cl.judge;
  int end_signal = 0;
  const bool judged =
      cl.run ? RunBoards(cl, &report, &end_signal, &error) : JudgeSavedLog(cl, &report, &error);
  if (!judged) return Fail(error);
  Conclude(&report);
  if (!WriteOutput(cl.json, JsonText(report), &error) ||
      !WriteOutput(cl.junit, JunitText(report), &error) ||
      !WriteOutput(cl.html, HtmlText(report), &error))
    return Fail(error);
  // The table goes where no output went.
  const bool stdout_taken = cl.json == "-" || cl.junit == "-" || cl.html == "-";
  std::ostringstream table;
  WriteTable(report, table);
  (stdout_taken ? std::cerr : std::cout) << table.str() << std::flush;
  RestoreConsole();
  if (end_signal != 0) {
    signal(end_signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, end_signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(end_signal);
    return 128 + end_signal;
  }
  return report.exit_status;
}
