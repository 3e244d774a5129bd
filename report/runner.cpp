#include "runner.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "progress.h"
#include "pty_run.h"
#include "report/log_reader.h"
#include "report/report_host.h"
#include "report/sha256.h"

extern char** environ;

namespace report {
namespace {

constexpr char kSysfs[] = "/sys";

std::string NotTheUtility(const std::string& where, const RunLog& log) {
  return where + " line " + std::to_string(log.foreign_line) + " is not the utility's output: \"" +
         log.foreign_text + "\" (" + log.foreign_why + ")";
}

// "fpga-diag-0000-03-00.0-20250102-153000.log"
std::string DefaultLogName(const std::string& address) {
  std::string name = address.empty() ? "noboard" : address;
  for (char& c : name)
    if (c == ':') c = '-';
  char when[32];
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  strftime(when, sizeof when, "%Y%m%d-%H%M%S", &local);
  return "fpga-diag-" + name + "-" + when + ".log";
}

// The environment, with FPGA_WDC's slot= item set to `address` (the others kept).
std::vector<std::string> Environment(const std::string& address) {
  std::vector<std::string> env;
  std::string wdc;
  for (char** e = environ; e && *e; ++e) {
    if (std::strncmp(*e, "FPGA_WDC=", 9) == 0)
      wdc = *e + 9;
    else
      env.push_back(*e);
  }
  if (!address.empty()) {
    std::string kept;
    size_t from = 0;
    while (from <= wdc.size()) {
      const size_t comma = wdc.find(',', from);
      const std::string item =
          wdc.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (!item.empty() && item.rfind("slot=", 0) != 0) kept += item + ",";
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
    wdc = kept + "slot=" + address;
  }
  if (!wdc.empty() || std::getenv("FPGA_WDC")) env.push_back("FPGA_WDC=" + wdc);
  return env;
}

void Say(const std::string& text) {
  const std::string line = "fpga-diag-report: " + text + "\n";
  ssize_t ignored = write(2, line.data(), line.size());
  (void)ignored;
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool IsShellSignal(int sig) {
  return sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGQUIT || sig == SIGPIPE;
}

}  // namespace

bool JudgeSavedLog(const CommandLine& cl, Report* report, std::string* error) {
  const bool from_stdin = cl.input == "-";
  const int fd = from_stdin ? 0 : open(cl.input.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + cl.input + ": " + std::strerror(errno);
    return false;
  }
  LogReader reader;
  Sha256 sha;
  LogFile file;
  file.path = from_stdin ? "-" : cl.input;
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + cl.input + ": " + std::strerror(errno);
      if (!from_stdin) close(fd);
      return false;
    }
    if (n == 0) break;
    reader.Feed(buf, static_cast<size_t>(n));
    sha.Update(buf, static_cast<size_t>(n));
    file.bytes += static_cast<uint64_t>(n);
  }
  if (!from_stdin) close(fd);
  reader.Finish();
  if (reader.Log().foreign) {
    *error = NotTheUtility(from_stdin ? "standard input" : cl.input, reader.Log());
    return false;
  }
  file.sha256 = sha.HexDigest();
  BoardFacts facts;
  if (cl.link.Known()) {
    facts.trained = cl.link;
    facts.link_source = "--link";
  }
  report->boards.push_back(JudgeBoard(reader.Log(), facts, RunEnd{}, file, cl.judge));
  return true;
}

bool RunBoards(const CommandLine& cl, Report* report, int* end_signal, std::string* error) {
  *end_signal = 0;
  const std::string& program = cl.program.front();
  const char* fpga_sim = std::getenv("FPGA_SIM");
  std::vector<std::string> addresses;
  if (cl.all) addresses = FindBoards(program, fpga_sim, kSysfs);
  // One run without a slot of ours: the board the utility finds itself, or none (its own
  // account of that is the run's).
  if (addresses.empty()) addresses.push_back(cl.all ? "" : SlotOf(std::getenv("FPGA_WDC")));
  PrepareConsole();
  Progress progress(isatty(2) != 0, cl.verbose);
  for (const std::string& address : addresses) {
    BoardFacts facts = ReadBoardFacts(program, address, fpga_sim, kSysfs);
    if (cl.link.Known()) {
      facts.trained = cl.link;
      facts.maximum = Link{};
      facts.link_source = "--link";
    }
    std::string log_path = cl.log_path;
    if (cl.all)
      log_path = (log_path.empty() ? "." : log_path) + "/" + DefaultLogName(facts.address);
    else if (log_path.empty())
      log_path = DefaultLogName(facts.address);
    const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log_fd < 0) {
      *error = "cannot write the log " + log_path + ": " + std::strerror(errno);
      return false;
    }
    Say("running " + program + (facts.address.empty() ? "" : " on board " + facts.address) +
        "; its output goes to " + log_path);
    LogReader reader([&progress](const FailureLine& f) { progress.Failure(f); });
    Sha256 sha;
    LogFile file;
    file.path = log_path;
    bool log_ok = true;
    auto output = [&](const char* data, size_t n, double t) {
      log_ok = WriteAll(log_fd, data, n) && log_ok;
      sha.Update(data, n);
      file.bytes += n;
      reader.Feed(data, n, t);
      return !cl.verbose || WriteAll(1, data, n);
    };
    auto tick = [&](double t) { progress.Update(reader.Log(), reader.Where(), t); };
    TerminalRun run{cl.program, cl.all ? Environment(facts.address) : Environment("")};
    // Before and after the run, while the utility does not hold the board (a user without root
    // reads them through the board's group file, which only one process may hold).
    facts.errors_before = ReadErrorRegisters(program, facts);
    const TerminalOutcome outcome = RunOnTerminal(run, output, tick);
    progress.Done();
    reader.Finish();
    if (outcome.started) facts.errors_after = ReadErrorRegisters(program, facts);
    const bool closed = close(log_fd) == 0;
    if (!outcome.started) {
      *error = outcome.error;
      return false;
    }
    if (!log_ok || !closed) {
      *error = "cannot write the log " + log_path + ": " + std::strerror(errno);
      return false;
    }
    if (reader.Log().foreign) {
      *error = NotTheUtility(program + "'s output (kept in " + log_path + "),", reader.Log());
      return false;
    }
    file.sha256 = sha.HexDigest();
    report->boards.push_back(JudgeBoard(reader.Log(), facts, outcome.end, file, cl.judge));
    Say("board " + (facts.address.empty() ? std::string("?") : facts.address) + ": " +
        VerdictName(report->boards.back().verdict));
    // A signal passed on to the utility, or one typed at it, ends the runs, and the report
    // then ends by it as the utility did.
    int sig = outcome.relayed_signal;
    if (sig == 0 && !outcome.end.exited && IsShellSignal(outcome.end.signal))
      sig = outcome.end.signal;
    if (sig == 0) sig = TakePendingSignal();
    if (sig != 0) {
      *end_signal = sig;
      break;
    }
  }
  return true;
}

}  // namespace report
