// The console and the keyboard on POSIX: the controlling terminal in non-canonical, silent mode
// while the utility runs, restored on every exit and fatal signal, and the keyboard-hit test.
#include "platform/platform.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>

namespace platform {

// ---- Console and keyboard --------------------------------------------------------------------

namespace {

// SIGPIPE too: output piped into a reader that has gone (`| head`) ends the run the same way.
constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int kFatalSignalCount = sizeof(kFatalSignals) / sizeof(kFatalSignals[0]);

// The controlling terminal, whatever stdin is: -1 without one, kNotLooked before the first
// look. ConsoleInit always looks again, so that a process forked into another session finds
// its own terminal, not the one its parent saw.
constexpr int kNotLooked = -2;
std::mutex g_tty_mu;
std::atomic<int> g_tty_fd{kNotLooked};

termios g_saved_termios;
// Set while the terminal is in our mode; whoever clears it restores. Lock-free, so the signal
// handlers may use it.
std::atomic<int> g_raw_active{0};
static_assert(std::atomic<int>::is_always_lock_free, "used from signal handlers");

struct sigaction g_old_actions[kFatalSignalCount];
bool g_handler_installed[kFatalSignalCount];
bool g_atexit_registered = false;

std::atomic<int (*)()> g_key_hook{nullptr};

// KeyHit runs after every DMA transfer, 16.7 million times per pass, and FIONREAD on a terminal
// is a system call of about 1.4 us here (23 s per pass). So a "no key" answer is trusted for up
// to 1 ms: a key is then seen at most 1 ms late, which nobody can tell at the keyboard, and the
// common call costs one clock read. A "key waiting" answer is never cached (each call looks
// again), and ConsoleInit clears the cache so the first call after it always looks.
constexpr uint64_t kNoKeyCacheNs = 1000000;
std::atomic<uint64_t> g_no_key_until{0};

int LookForTerminal(bool again) {
  std::lock_guard<std::mutex> lock(g_tty_mu);
  int fd = g_tty_fd.load();
  if (fd != kNotLooked && !again) return fd;
  const int found = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (found >= 0 && !isatty(found)) {
    close(found);
    g_tty_fd.store(-1);
  } else {
    g_tty_fd.store(found < 0 ? -1 : found);
  }
  if (fd >= 0) close(fd);
  return g_tty_fd.load();
}

// Async-signal-safe: runs from the fatal-signal handlers as well as from ConsoleRestore.
void RestoreTerminal() {
  if (g_raw_active.exchange(0) == 0) return;
  // A process moved to the background since ConsoleInit would be stopped by SIGTTOU on
  // tcsetattr; with SIGTTOU ignored the change goes through.
  struct sigaction ignore;
  struct sigaction previous;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ignore.sa_flags = 0;
  sigaction(SIGTTOU, &ignore, &previous);
  while (tcsetattr(g_tty_fd.load(), TCSANOW, &g_saved_termios) != 0 && errno == EINTR) {
  }
  sigaction(SIGTTOU, &previous, nullptr);
}

void OnFatalSignal(int sig) {
  const int saved_errno = errno;
  RestoreTerminal();
  // Put back what the signal did before ConsoleInit and send it again. The signal is blocked
  // while this handler runs, so it is delivered, with that action, as soon as the handler
  // returns.
  for (int i = 0; i < kFatalSignalCount; ++i) {
    if (kFatalSignals[i] == sig) sigaction(sig, &g_old_actions[i], nullptr);
  }
  raise(sig);
  errno = saved_errno;
}

void InstallSignalHandlers() {
  for (int i = 0; i < kFatalSignalCount; ++i) {
    if (g_handler_installed[i]) continue;
    struct sigaction current;
    if (sigaction(kFatalSignals[i], nullptr, &current) != 0) continue;
    // A signal the caller chose to ignore (nohup, a background job) stays ignored.
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction ours;
    ours.sa_handler = OnFatalSignal;
    sigemptyset(&ours.sa_mask);
    ours.sa_flags = 0;
    if (sigaction(kFatalSignals[i], &ours, &g_old_actions[i]) == 0) g_handler_installed[i] = true;
  }
}

void RemoveSignalHandlers() {
  for (int i = 0; i < kFatalSignalCount; ++i) {
    if (!g_handler_installed[i]) continue;
    sigaction(kFatalSignals[i], &g_old_actions[i], nullptr);
    g_handler_installed[i] = false;
  }
}

}  // namespace

void ConsoleInit() {
  // Every message must reach the console when its printf returns, line end or not.
  setvbuf(stdout, nullptr, _IONBF, 0);
  g_no_key_until.store(0, std::memory_order_relaxed);
  if (g_raw_active.load() != 0) return;  // already set up; the terminal is the one we changed
  const int fd = LookForTerminal(true);
  if (fd < 0) return;
  // Only the foreground job may change the terminal; a background one would be stopped.
  if (tcgetpgrp(fd) != getpgrp()) return;
  termios raw;
  if (tcgetattr(fd, &raw) != 0) return;
  g_saved_termios = raw;
  // A key press becomes readable at once and is not echoed; ISIG stays on so Ctrl-C still
  // interrupts. VMIN/VTIME do not matter: the utility never reads the key.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  InstallSignalHandlers();
  if (!g_atexit_registered) {
    g_atexit_registered = true;
    std::atexit(ConsoleRestore);
  }
  g_raw_active.store(1);  // before the change, so a signal arriving right after it restores
  if (tcsetattr(fd, TCSANOW, &raw) != 0) g_raw_active.store(0);
}

void ConsoleRestore() {
  RestoreTerminal();
  RemoveSignalHandlers();
}

int KeyHit() {
  if (int (*hook)() = g_key_hook.load(std::memory_order_acquire)) return hook();
  int fd = g_tty_fd.load(std::memory_order_relaxed);
  if (fd == kNotLooked) fd = LookForTerminal(false);
  if (fd < 0) return 0;
  const uint64_t now = NowNs();
  if (now < g_no_key_until.load(std::memory_order_relaxed)) return 0;
  int waiting = 0;
  if (ioctl(fd, FIONREAD, &waiting) != 0) return 0;
  if (waiting > 0) return 1;
  g_no_key_until.store(now + kNoKeyCacheNs, std::memory_order_relaxed);
  return 0;
}

namespace testing {

void SetKeyHitHook(int (*hook)()) { g_key_hook.store(hook, std::memory_order_release); }

}  // namespace testing

}  // namespace platform
