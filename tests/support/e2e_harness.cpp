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
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  // The variables the run sets replace those of the runner's environment.
  auto replaced = [&desc](const char* var) {
    if (std::strncmp(var, kVar, sizeof kVar - 1) == 0) return true;
    for (const std::string& e : desc.env) {
      const size_t name = e.find('=') + 1;
      if (std::strncmp(var, e.c_str(), name) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; e && *e; ++e)
    if (!replaced(*e)) im.env_store.push_back(*e);
  if (desc.fpga_sim) im.env_store.push_back(kVar + *desc.fpga_sim);
  for (const std::string& e : desc.env) im.env_store.push_back(e);
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

Action KeyAtFirstSize() { return KeyWhen(oracle::SizeLine(4096)); }

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

// ---- Checking ------------------------------------------------------------------------------

Verdict CheckRun(const RunResult& r, const std::string& expected) {
  Verdict v;
  auto fail = [&](const std::string& why) {
    v.ok = false;
    v.why += why + "\n";
  };
  if (!r.harness_error.empty()) fail("harness error: " + r.harness_error);
  if (r.timed_out) fail("the run timed out and was killed: " + Describe(r));
  if (!r.exited || r.exit_status != 0) fail("expected exit status 0; the run " + Describe(r));
  const std::string ledger = oracle::LedgerMark();
  if (r.output.find(ledger) != std::string::npos && expected.find(ledger) == std::string::npos)
    fail("the library reported resources left at close");
  const oracle::Match m = oracle::MatchOutput(expected, r.output);
  if (!m.ok) fail(m.diff);
  v.captures = m.captures;
  return v;
}

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

}  // namespace e2e
