#include "e2e_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wdc/ops.h"

extern char** environ;

namespace e2e {

// ---- Running ---------------------------------------------------------------------------------
namespace {

using Clock = std::chrono::steady_clock;

// Turns "\r\n" into "\n" as bytes arrive; a '\r' at the end of a chunk waits for the next one.
struct Normalizer {
  bool pending_cr = false;
  void Feed(const char* data, size_t n, std::string* out) {
    for (size_t i = 0; i < n; ++i) {
      char c = data[i];
      if (pending_cr) {
        pending_cr = false;
        if (c == '\n') {
          out->push_back('\n');
          continue;
        }
        out->push_back('\r');
      }
      if (c == '\r')
        pending_cr = true;
      else
        out->push_back(c);
    }
  }
  void Finish(std::string* out) {
    if (pending_cr) out->push_back('\r');
    pending_cr = false;
  }
};

TermSnapshot Snapshot(int fd) {
  TermSnapshot s;
  if (fd >= 0 && tcgetattr(fd, &s.tio) == 0) s.valid = true;
  return s;
}

// Everything the child needs is built before fork: only async-signal-safe calls follow it.
struct ExecImage {
  std::vector<std::string> argv_store, env_store;
  std::vector<char*> argv, envp;
};

ExecImage BuildImage(const RunSpec& desc) {
  ExecImage im;
  for (const auto& w : desc.wrapper) im.argv_store.push_back(w);
  im.argv_store.push_back(desc.exe.empty() ? DefaultExe() : desc.exe);
  for (const auto& a : desc.args) im.argv_store.push_back(a);
  static const char kVar[] = "FPGA_SIM=";
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, kVar, sizeof kVar - 1) != 0) im.env_store.push_back(*e);
  if (desc.fpga_sim) im.env_store.push_back(kVar + *desc.fpga_sim);
  for (auto& s : im.argv_store) im.argv.push_back(&s[0]);
  im.argv.push_back(nullptr);
  for (auto& s : im.env_store) im.envp.push_back(&s[0]);
  im.envp.push_back(nullptr);
  return im;
}

[[noreturn]] void ExecChild(ExecImage& im) {
  // The child starts with default signal dispositions, whatever the test runner set.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  signal(SIGQUIT, SIG_DFL);
  signal(SIGPIPE, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct rlimit no_core {0, 0};  // a test that ends the child by SIGQUIT leaves no core file
  setrlimit(RLIMIT_CORE, &no_core);
  if (im.argv[0][0] == '/' || std::strchr(im.argv[0], '/'))
    execve(im.argv[0], im.argv.data(), im.envp.data());
  else
    execvpe(im.argv[0], im.argv.data(), im.envp.data());
  static const char msg[] = "e2e harness: exec failed\n";
  ssize_t ignored = write(2, msg, sizeof msg - 1);
  (void)ignored;
  _exit(127);
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void WriteAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      usleep(1000);
    } else {
      return;
    }
  }
}

void RecordEnd(int status, RunResult* r) {
  if (WIFEXITED(status)) {
    r->exited = true;
    r->exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r->signalled = true;
    r->term_signal = WTERMSIG(status);
  }
}

}  // namespace

std::string DefaultExe() {
  if (const char* e = std::getenv("FPGA_DIAG_EXE"); e && *e) return e;
#ifdef FPGA_DIAG_SIM_EXE
  return FPGA_DIAG_SIM_EXE;
#else
  return "fpga-diag-sim";
#endif
}

RunSpec Utility(std::optional<std::string> fpga_sim, std::vector<Action> actions) {
  RunSpec s;
  s.fpga_sim = std::move(fpga_sim);
  s.actions = std::move(actions);
  s.timeout_ms = 90000;
  return s;
}

Action KeyWhen(const std::string& text) { return Action{text, "x", 0}; }

Action KeyAtFirstSize() { return KeyWhen("Testing for transfer size = 4096...\n"); }

RunResult RunProgram(const RunSpec& desc) {
  RunResult r;
  ExecImage im = BuildImage(desc);
  const bool tty = desc.console == Console::kTerminal;

  // Terminal: the parent keeps a slave descriptor of its own, so the terminal's settings can be
  // read after the child has gone; it is closed before the final drain so the master sees the end.
  int master = -1, slave = -1, in_w = -1, out_r = -1;
  pid_t pid;
  if (tty) {
    struct winsize ws {};
    ws.ws_row = 24;
    ws.ws_col = 80;
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) {
      r.harness_error = std::string("openpty: ") + std::strerror(errno);
      return r;
    }
    if (!desc.typed_ahead.empty()) {
      struct termios tio {};
      tcgetattr(slave, &tio);
      tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(slave, TCSANOW, &tio);
      WriteAll(master, desc.typed_ahead);
    }
    r.term_initial = Snapshot(slave);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);  // the child's copy is made by dup, which clears it
    pid = fork();
    if (pid == 0) {
      close(master);
      int child_slave = dup(slave);  // login_tty closes what it is given
      close(slave);
      if (login_tty(child_slave) != 0) _exit(126);
      ExecChild(im);
    }
    in_w = master;
    out_r = master;
  } else {
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
      r.harness_error = std::string("pipe: ") + std::strerror(errno);
      return r;
    }
    pid = fork();
    if (pid == 0) {
      setsid();  // a new session has no controlling terminal
      dup2(in_pipe[0], 0);
      dup2(out_pipe[1], 1);
      dup2(out_pipe[1], 2);
      ExecChild(im);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    in_w = in_pipe[1];
    out_r = out_pipe[0];
    signal(SIGPIPE, SIG_IGN);  // a key typed to a child that has gone must not kill the runner
  }
  if (pid < 0) {
    r.harness_error = std::string("fork: ") + std::strerror(errno);
    return r;
  }
  SetNonBlocking(out_r);

  const auto start = Clock::now();
  const auto deadline = start + std::chrono::milliseconds(desc.timeout_ms);
  Normalizer norm;
  size_t search_from = 0;
  bool child_done = false;
  bool out_closed = false;
  int status = 0;
  char buf[65536];

  auto read_available = [&]() {
    for (;;) {
      ssize_t n = read(out_r, buf, sizeof buf);
      if (n > 0) {
        norm.Feed(buf, static_cast<size_t>(n), &r.output);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      // EIO on a pty master: every slave descriptor is closed; 0 on a pipe: every writer gone.
      if (n == 0 || (n < 0 && errno == EIO)) out_closed = true;
      return;
    }
  };
  auto fire_actions = [&]() {
    while (r.actions_fired < desc.actions.size()) {
      const Action& a = desc.actions[r.actions_fired];
      size_t pos = r.output.find(a.when, search_from);
      if (pos == std::string::npos) return;
      search_from = pos + a.when.size();
      r.term_at_action.push_back(Snapshot(slave));
      if (!a.keys.empty()) WriteAll(in_w, a.keys);
      if (a.signal != 0) kill(-pid, a.signal);
      ++r.actions_fired;
    }
  };

  while (!child_done) {
    auto now = Clock::now();
    if (now >= deadline) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      r.timed_out = true;
      child_done = true;
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    struct pollfd p {out_r, POLLIN, 0};
    int wait_ms = out_closed ? 20 : static_cast<int>(std::min<long long>(left, 20));
    if (!out_closed && poll(&p, 1, wait_ms) > 0) {
      read_available();
      fire_actions();
    } else if (out_closed) {
      usleep(static_cast<useconds_t>(wait_ms) * 1000);
    }
    pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) child_done = true;
  }
  if (!r.timed_out) RecordEnd(status, &r);

  // Final drain: after the child has ended, its last bytes may still be on their way through the
  // terminal's buffers; with every writer closed the read reports the end once they are in.
  if (tty) {
    r.term_final = Snapshot(slave);
    close(slave);
    slave = -1;
  }
  const auto drain_deadline = Clock::now() + std::chrono::milliseconds(2000);
  while (!out_closed && Clock::now() < drain_deadline) {
    struct pollfd p {out_r, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) read_available();
    else if (!tty) break;  // a pipe whose writers are gone reports POLLHUP/0 at once
  }
  norm.Finish(&r.output);
  fire_actions();
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();

  if (tty) {
    close(master);
  } else {
    close(in_w);
    close(out_r);
  }
  return r;
}

std::string Describe(const RunResult& r) {
  char line[200];
  if (!r.harness_error.empty()) return "harness error: " + r.harness_error;
  if (r.timed_out)
    std::snprintf(line, sizeof line, "timed out after %.1f s and was killed", r.seconds);
  else if (r.signalled)
    std::snprintf(line, sizeof line, "ended by signal %d (%s) after %.1f s", r.term_signal,
                  strsignal(r.term_signal), r.seconds);
  else
    std::snprintf(line, sizeof line, "exited with status %d after %.1f s", r.exit_status,
                  r.seconds);
  return line + std::string(", ") + std::to_string(r.actions_fired) + " action(s) fired";
}

// ---- Comparing ------------------------------------------------------------------------------
namespace {

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t nl = s.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(s.substr(start));  // the text after the last line end ("" when it ends)
      return lines;
    }
    lines.push_back(s.substr(start, nl - start));
    start = nl + 1;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

// Matches one expected line (with placeholders) against one actual line.
bool MatchLine(const std::string& t, size_t ti, const std::string& a, size_t ai,
               std::vector<std::string>* caps) {
  while (ti < t.size()) {
    if (t[ti] != '%') {
      if (ai >= a.size() || a[ai] != t[ti]) return false;
      ++ti;
      ++ai;
      continue;
    }
    char kind = ti + 1 < t.size() ? t[ti + 1] : '\0';
    ti += 2;
    size_t start = ai;
    switch (kind) {
      case '%':
        if (ai >= a.size() || a[ai] != '%') return false;
        ++ai;
        continue;
      case 'f': {
        if (ai < a.size() && a[ai] == '-') ++ai;
        size_t digits = ai;
        while (ai < a.size() && IsDigit(a[ai])) ++ai;
        if (ai == digits || ai >= a.size() || a[ai] != '.') return false;
        ++ai;
        for (int i = 0; i < 6; ++i, ++ai)
          if (ai >= a.size() || !IsDigit(a[ai])) return false;
        if (ai < a.size() && IsDigit(a[ai])) return false;
        break;
      }
      case 'p':
        for (size_t i = 0; i < 2 * sizeof(void*); ++i, ++ai)
          if (ai >= a.size() || !IsUpperHex(a[ai])) return false;
        break;
      case 's': {
        // The rest of the line, shortest first, so that text after %s still anchors.
        for (size_t end = ai; end <= a.size(); ++end) {
          std::vector<std::string> sub;
          if (MatchLine(t, ti, a, end, &sub)) {
            caps->push_back(a.substr(ai, end - ai));
            caps->insert(caps->end(), sub.begin(), sub.end());
            return true;
          }
        }
        return false;
      }
      default:
        return false;  // an unknown placeholder in an expected text never matches
    }
    caps->push_back(a.substr(start, ai - start));
  }
  return ai == a.size();
}

bool LineMatches(const std::string& t, const std::string& a) {
  std::vector<std::string> caps;
  return MatchLine(t, 0, a, 0, &caps);
}

std::string Visible(const std::string& s) {
  std::string v = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      v += '\\';
      v += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      v += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, c == '\r' ? "\\r" : c == '\t' ? "\\t" : "\\x%02X", c);
      v += esc;
    }
  }
  return v + "\"";
}

// A line diff of the parts between the common head and tail: LCS where it is small enough,
// else the lines side by side from the first difference on.
std::string Diff(const std::vector<std::string>& exp, const std::vector<std::string>& act) {
  size_t head = 0;
  while (head < exp.size() && head < act.size() && LineMatches(exp[head], act[head])) ++head;
  size_t tail = 0;
  while (tail < exp.size() - head && tail < act.size() - head &&
         LineMatches(exp[exp.size() - 1 - tail], act[act.size() - 1 - tail]))
    ++tail;
  const size_t n = exp.size() - head - tail, m = act.size() - head - tail;

  std::string out = "Output differs (\"- \" expected, \"+ \" actual, placeholders %f %p %s), from line " +
                    std::to_string(head + 1) + ":\n";
  const size_t ctx = std::min<size_t>(head, 3);
  for (size_t i = head - ctx; i < head; ++i) out += "  " + Visible(act[i]) + "\n";

  const size_t kMaxShown = 60;
  size_t shown = 0;
  auto emit = [&](const char* tag, const std::string& line) {
    if (shown++ < kMaxShown) out += std::string(tag) + Visible(line) + "\n";
  };
  if (n <= 600 && m <= 600) {
    std::vector<std::vector<uint16_t>> lcs(n + 1, std::vector<uint16_t>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
      for (size_t j = m; j-- > 0;)
        lcs[i][j] = LineMatches(exp[head + i], act[head + j])
                        ? static_cast<uint16_t>(lcs[i + 1][j + 1] + 1)
                        : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && LineMatches(exp[head + i], act[head + j])) {
        emit("  ", act[head + j]);
        ++i;
        ++j;
      } else if (j < m && (i == n || lcs[i][j + 1] >= lcs[i + 1][j])) {
        emit("+ ", act[head + j++]);
      } else {
        emit("- ", exp[head + i++]);
      }
    }
  } else {
    for (size_t k = 0; k < std::max(n, m); ++k) {
      if (k < n) emit("- ", exp[head + k]);
      if (k < m) emit("+ ", act[head + k]);
    }
  }
  if (shown > kMaxShown) out += "... " + std::to_string(shown - kMaxShown) + " more diff lines\n";
  for (size_t i = act.size() - tail; i < act.size() && i < act.size() - tail + 3; ++i)
    out += "  " + Visible(act[i]) + "\n";
  out += "(expected " + std::to_string(exp.size()) + " lines, got " + std::to_string(act.size()) +
         "; the last \"line\" is the text after the final line end)\n";
  return out;
}

}  // namespace

Match MatchOutput(const std::string& expected, const std::string& actual) {
  Match m;
  const auto exp = SplitLines(expected), act = SplitLines(actual);
  if (exp.size() == act.size()) {
    m.ok = true;
    for (size_t i = 0; i < exp.size() && m.ok; ++i) m.ok = MatchLine(exp[i], 0, act[i], 0, &m.captures);
    if (m.ok) return m;
    m.captures.clear();
  }
  m.diff = Diff(exp, act);
  return m;
}

std::string Literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

Verdict CheckRun(const RunResult& r, const std::string& expected) {
  Verdict v;
  auto fail = [&](const std::string& why) {
    v.ok = false;
    v.why += why + "\n";
  };
  if (!r.harness_error.empty()) fail("harness error: " + r.harness_error);
  if (r.timed_out) fail("the run timed out and was killed: " + Describe(r));
  if (!r.exited || r.exit_status != 0) fail("expected exit status 0; the run " + Describe(r));
  static const char kLedger[] = "Failed to uninit the WDC library. Error 0x20000011";
  if (r.output.find(kLedger) != std::string::npos && expected.find(kLedger) == std::string::npos)
    fail("the library reported resources left at close");
  Match m = MatchOutput(expected, r.output);
  if (!m.ok) fail(m.diff);
  v.captures = m.captures;
  return v;
}

// ---- Texts ----------------------------------------------------------------------------------
namespace text {
namespace {
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string Bar0Phase(const char* name, const std::string& verdict) {
  return Format("\nWriting the %s array to BAR0 memory\n", name) +
         Format("Reading of %s array from BAR0 memory... ", name) + verdict;
}
}  // namespace

std::string Banner() { return "\nFPGA PCI-Express controller diagnostic utility.\n"; }

std::string Bar0Success() { return "success\n"; }
std::string Bar0Failure(uint32_t item, uint64_t value) {
  return Format("failed at address %" PRIu32 ", value is %" PRIu64 "\n", item, value);
}
std::string Bar0Test(const std::string& bytes, const std::string& uint16,
                     const std::string& uint32, const std::string& uint64) {
  return "\nBAR0 slave memory read/write testing:\n" + Bar0Phase("bytes", bytes) +
         Bar0Phase("uint16", uint16) + Bar0Phase("uint32", uint32) + Bar0Phase("uint64", uint64);
}
std::string Bar0AllSuccess() {
  return Bar0Test(Bar0Success(), Bar0Success(), Bar0Success(), Bar0Success());
}

std::string IntegrityHeading(Pass pass) {
  return std::string(pass == Pass::kMemoryWrite
                         ? "\nMemory write DMA transfers data integrity testing...\n"
                         : "\nMemory read DMA transfers data integrity testing...\n") +
         "Press any to interrupt the test...\n";
}
std::string SizeLine(uint32_t size) {
  return Format("Testing for transfer size = %" PRIu32 "...\n", size);
}
std::string SizeBlock(uint32_t size, const SizeCounts& c) {
  return SizeLine(size) +
         Format("   Number of transfer size mismatches = %" PRIu32 "\n", c.size_mismatches) +
         Format("   Number of corrupted memory bytes   = %" PRIu32 "\n", c.corrupted) +
         Format("   Number of mismatched data bytes    = %" PRIu32 "\n", c.mismatched);
}
std::string Interrupted() { return "   test has been interrupted by user\n"; }
std::string IntegrityTotal(uint64_t total) {
  return Format("DMA transfers data integrity test's completed, total number of errors = %" PRIu64
                "\n",
                total);
}
std::string WaitFailure() { return "\ndevice interrupts waiting failure\n"; }

std::string SizesUntilInterrupted(const std::string& actual,
                                  const std::function<SizeCounts(uint32_t)>& counts,
                                  uint32_t* stopped_at) {
  *stopped_at = 0;
  size_t stop = actual.find(Interrupted());
  static const char kSize[] = "Testing for transfer size = ";
  size_t line = stop == std::string::npos ? std::string::npos : actual.rfind(kSize, stop);
  if (line == std::string::npos) return "(no interrupted size in the output)\n";
  *stopped_at = static_cast<uint32_t>(std::strtoul(actual.c_str() + line + sizeof kSize - 1,
                                                   nullptr, 10));
  std::string out;
  for (uint32_t f = 4096; f > *stopped_at && f >= 1; --f) out += SizeBlock(f, counts(f));
  return out + SizeLine(*stopped_at) + Interrupted();
}

std::string Performance() {
  return "\nMemory write DMA performance testing...\n"
         "Memory write transfer rate is %f MByte/sec\n"
         "\nMemory read DMA performance testing...\n"
         "Memory read transfer rate is %f MByte/sec\n"
         "\nMemory read DMA performance testing (2 read channels)...\n"
         "Channel 1 memory read transfer rate is %f MByte/sec\n"
         "Channel 2 memory read transfer rate is %f MByte/sec\n"
         "\nMemory read/write DMA performance testing...\n"
         "Memory write transfer rate is %f MByte/sec\n"
         "Memory read transfer rate is %f MByte/sec\n"
         "\nMemory read/write DMA performance testing (2 read channels)...\n"
         "Memory write transfer rate is %f MByte/sec\n"
         "Channel 1 memory read transfer rate is %f MByte/sec\n"
         "Channel 2 memory read transfer rate is %f MByte/sec\n";
}

std::string BackloopHeading() {
  return "\nScatter/Gather DMA backloop testing (buffers size is 50.000000 MByte)...\n";
}
std::string BackloopResult(uint32_t mismatches) {
  return Format("Number of data mismatches = %" PRIu32 "\n", mismatches) +
         "Backloop transfer rate is %f MByte/sec\n";
}

std::string ErrorLine(const std::string& what, uint32_t status, const std::string& status_text) {
  return Literal(what) + Format(". Error 0x%" PRIx32 " - ", status) + Literal(status_text) + "\n";
}
uint32_t SimFailStatus(const std::string& op) {
  wdc::Op o = wdc::OpFromName(op.data(), op.size());
  if (o == wdc::Op::Count) {
    std::fprintf(stderr, "e2e: no library operation named %s\n", op.c_str());
    std::abort();
  }
  return 0x20001000u + static_cast<uint32_t>(o);
}
std::string SimFailText(const std::string& op) { return "Simulated failure of " + op; }
std::string ContigLockFailure(uint32_t status, const std::string& status_text) {
  return ErrorLine("Failed locking a Contiguous DMA buffer", status, status_text);
}
std::string SgLockFailure(uint32_t status, const std::string& status_text) {
  return ErrorLine("Failed locking a Scatter/Gather DMA buffer", status, status_text);
}
std::string IntEnableFailure(uint32_t status, const std::string& status_text) {
  return ErrorLine("Failed enabling interrupts", status, status_text);
}
std::string NoDevice() { return "No device (vendor ID 0x10EE, device ID 0x5050) was found\n"; }

std::string InterruptedRun() {
  return Banner() + Bar0AllSuccess() + IntegrityHeading(Pass::kMemoryWrite) + SizeLine(4096) +
         Interrupted() + Performance() + BackloopHeading() + BackloopResult(0);
}

}  // namespace text

// ---- Link model ------------------------------------------------------------------------------
double LinkMBps(int gen, int width) {
  static const double kTable[3][3] = {{201, 673, 1312}, {407, 1502, 2981}, {808, 3075, 6126}};
  if (gen < 1 || gen > 3) return 0;
  switch (width) {
    case 1: return kTable[gen - 1][0];
    case 4: return kTable[gen - 1][1];
    case 8: return kTable[gen - 1][2];
    default: return 0;
  }
}
double LinkPrinted(int gen, int width) { return LinkMBps(gen, width) * 1e6 / 1048576.0; }

double Number(const std::string& capture) { return std::strtod(capture.c_str(), nullptr); }

}  // namespace e2e
