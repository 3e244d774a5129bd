#include "pty_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace report {
namespace {

constexpr int kRelayed[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH};
constexpr int kCrashes[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// A run that has been passed a signal and is still there this long after is killed.
constexpr double kSignalGraceSeconds = 10;

int g_signal_pipe[2] = {-1, -1};
termios g_saved;
std::atomic<int> g_raw{0};  // 1 while standard input is in our mode; whoever clears it restores
bool g_stdin_open = true;   // false once standard input has ended

void OnRelayed(int sig) {
  const int saved = errno;
  const char c = static_cast<char>(sig);
  ssize_t ignored = write(g_signal_pipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

// Async-signal-safe: from the crash handlers as from RestoreConsole.
void RestoreTerminal() {
  if (g_raw.exchange(0) == 0) return;
  while (tcsetattr(0, TCSANOW, &g_saved) != 0 && errno == EINTR) {
  }
}

void OnCrash(int sig) {
  RestoreTerminal();
  signal(sig, SIG_DFL);
  raise(sig);
}

winsize WindowSize() {
  winsize ws{};
  for (int fd : {1, 2, 0})
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws;
  ws.ws_row = 24;
  ws.ws_col = 80;
  return ws;
}

}  // namespace

void PrepareConsole() {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_signal_pipe[0] = g_signal_pipe[1] = -1;
  struct sigaction relay {};
  relay.sa_handler = OnRelayed;
  sigemptyset(&relay.sa_mask);
  relay.sa_flags = SA_RESTART;
  for (int sig : kRelayed) {
    struct sigaction old {};
    // A signal the caller ignores (nohup, a background job) stays ignored.
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    sigaction(sig, &relay, nullptr);
  }
  // A write to a closed output is seen as EPIPE and passed on to the run as SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (!isatty(0)) return;
  // A background job that read its terminal would be stopped: its keys are not its own.
  if (tcgetpgrp(0) != getpgrp()) g_stdin_open = false;
  if (!g_stdin_open || tcgetattr(0, &g_saved) != 0) return;
  termios raw = g_saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  struct sigaction crash {};
  crash.sa_handler = OnCrash;
  sigemptyset(&crash.sa_mask);
  for (int sig : kCrashes) sigaction(sig, &crash, nullptr);
  std::atexit(RestoreConsole);
  g_raw.store(1);  // before the change, so that a crash right after it restores
  if (tcsetattr(0, TCSANOW, &raw) != 0) g_raw.store(0);
}

void RestoreConsole() { RestoreTerminal(); }

int TakePendingSignal() {
  int first = 0;
  char sigs[16];
  ssize_t r;
  while (g_signal_pipe[0] >= 0 && (r = read(g_signal_pipe[0], sigs, sizeof sigs)) > 0)
    for (ssize_t i = 0; i < r; ++i)
      if (first == 0 && sigs[i] != SIGWINCH) first = sigs[i];
  return first;
}

TerminalOutcome RunOnTerminal(const TerminalRun& run,
                              const std::function<bool(const char*, size_t, double)>& output,
                              const std::function<void(double)>& tick) {
  TerminalOutcome out;
  // Everything the child needs is made before the fork.
  std::vector<std::string> argv_store = run.argv, env_store = run.env;
  std::vector<char*> argv, envp;
  for (std::string& a : argv_store) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  for (std::string& e : env_store) envp.push_back(&e[0]);
  envp.push_back(nullptr);

  int master = -1, slave = -1;
  winsize ws = WindowSize();
  if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) {
    out.error = std::string("no pseudo-terminal: ") + std::strerror(errno);
    return out;
  }
  // The output as the utility writes it (no "\n" made "\r\n"), and keys typed ahead of its
  // own terminal set-up not echoed into it.
  termios tio{};
  tcgetattr(slave, &tio);
  tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL);
  // The run is in a session of its own, with no shell to take it back from a stop: Ctrl-Z is
  // an ordinary key there (it ends the integrity test as any key does) rather than a SIGTSTP
  // that would leave the utility stopped for good.
  tio.c_cc[VSUSP] = _POSIX_VDISABLE;
  tcsetattr(slave, TCSANOW, &tio);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  int exec_pipe[2];
  if (pipe2(exec_pipe, O_CLOEXEC) != 0) {
    out.error = std::string("pipe: ") + std::strerror(errno);
    close(master);
    close(slave);
    return out;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    dup2(slave, 1);
    dup2(slave, 2);
    if (slave > 2) close(slave);
    // The utility starts with the signal dispositions of a shell's child, whatever ours are.
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH, SIGPIPE}) signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(argv[0], argv.data(), envp.data());
    const int e = errno;
    ssize_t ignored = write(exec_pipe[1], &e, sizeof e);
    (void)ignored;
    _exit(127);
  }
  close(slave);
  close(exec_pipe[1]);
  if (pid < 0) {
    out.error = std::string("fork: ") + std::strerror(errno);
    close(master);
    close(exec_pipe[0]);
    return out;
  }
  int exec_errno = 0;
  ssize_t got;
  while ((got = read(exec_pipe[0], &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
  }
  close(exec_pipe[0]);
  if (got == sizeof exec_errno) {
    waitpid(pid, nullptr, 0);
    close(master);
    out.error = "cannot run " + run.argv[0] + ": " + std::strerror(exec_errno);
    return out;
  }
  out.started = true;
  // The utility never reads its keys: they stay in its terminal's input, which holds 4 KiB.
  // Keys that do not fit are dropped rather than stall the report (a piped standard input can
  // send any amount); the first one is all a pass needs.
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto seconds = [&start] { return std::chrono::duration<double>(Clock::now() - start).count(); };
  double kill_at = -1;
  auto relay = [&](int sig) {
    kill(-pid, sig);
    if (out.relayed_signal == 0) {
      out.relayed_signal = sig;
      kill_at = seconds() + kSignalGraceSeconds;
    }
  };
  bool open_output = true;
  char buf[65536];
  while (open_output) {
    pollfd fds[3] = {{master, POLLIN, 0}, {g_signal_pipe[0], POLLIN, 0}, {-1, POLLIN, 0}};
    if (g_stdin_open) fds[2].fd = 0;
    const int n = poll(fds, 3, 100);
    if (n < 0 && errno != EINTR) break;
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t r = read(master, buf, sizeof buf);
      if (r > 0) {
        if (!output(buf, static_cast<size_t>(r), seconds()) && out.relayed_signal == 0)
          relay(SIGPIPE);
      } else if (r == 0 || (r < 0 && errno != EINTR && errno != EAGAIN)) {
        open_output = false;  // EIO: every holder of the terminal has closed it
      }
    }
    if (n > 0 && (fds[1].revents & POLLIN)) {
      char sigs[16];
      const ssize_t r = read(g_signal_pipe[0], sigs, sizeof sigs);
      for (ssize_t i = 0; i < r; ++i) {
        if (sigs[i] == SIGWINCH) {
          const winsize now = WindowSize();
          ioctl(master, TIOCSWINSZ, &now);
        } else {
          relay(sigs[i]);
        }
      }
    }
    if (n > 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
      const ssize_t r = read(0, buf, sizeof buf);
      if (r > 0) {
        ssize_t ignored = write(master, buf, static_cast<size_t>(r));
        (void)ignored;
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        g_stdin_open = false;
      }
    }
    if (kill_at >= 0 && seconds() > kill_at) {
      kill(-pid, SIGKILL);
      kill_at = -1;
    }
    tick(seconds());
  }
  close(master);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  out.end.ran = true;
  out.end.seconds = seconds();
  if (WIFEXITED(status)) {
    out.end.exited = true;
    out.end.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    out.end.signal = WTERMSIG(status);
  }
  return out;
}

}  // namespace report
