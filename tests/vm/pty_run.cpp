// The guest's runner for the utility (scripts/vm-board.sh): runs /bin/fpga-diag on a
// pseudo-terminal once per line of a plan, one run after another, as a person at the board's
// console would, typing a key when a line matching one expression appears and sending SIGKILL
// when a line matching another does. Each run is written to the output device as framed files:
// NAME.out (the console output, "\r\n" turned into "\n" as a terminal user reads it),
// NAME.status, NAME.times (when each line appeared) and NAME.irqs (/proc/interrupts just before
// the key, while the utility's interrupt is in use). The kernel's log follows as "dmesg".
//
//   vm-pty-run PLAN OUTPUT
//   vm-pty-run --as UID:GID PROGRAM [ARGS...]
//
// The second form runs PROGRAM as that user, with no supplementary groups: the guest's init
// runs as root, and its busybox has no setuid tool that takes a number and needs no password.
// A plan line has six TAB-separated fields: name, slot ([DDDD:]BB:SS.F, given to the utility as
// FPGA_WDC=slot=...), key expression, kill expression, then KiB and milliseconds: once the kill
// line has appeared, the kill waits until the utility has at least that much memory locked
// (VmLck: what vfio pins for its DMA buffers), and then that long. An empty expression never
// matches. A seventh field, when there is one, is the command run instead of the utility
// (space-separated; @OUT@ in it is the run's output path without its extension, and a file
// it writes there as NAME.json is framed with the others). A frame is the line "\x1e@fdvm NAME
// BYTES" and then exactly BYTES bytes: the output device is a serial port in raw mode, so the host
// can cut the stream whatever the utility printed.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/klog.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kRunTimeoutMs = 240000;  // a run longer than this has hung: killed, reported
constexpr char kUtility[] = "/bin/fpga-diag";

struct Run {
  std::string name, slot, key, kill, command;
  long kill_locked_kib = 0;
  int kill_delay_ms = 0;
};

double Now() {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (;;) {
    const size_t tab = line.find('\t', from);
    fields.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
    if (tab == std::string::npos) return fields;
    from = tab + 1;
  }
}

bool ReadPlan(const char* path, std::vector<Run>* runs) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 6 && f.size() != 7) {
      std::fprintf(stderr, "vm-pty-run: plan line with %zu fields: %s\n", f.size(), line.c_str());
      return false;
    }
    Run r;
    r.name = f[0];
    r.slot = f[1];
    r.key = f[2];
    r.kill = f[3];
    r.kill_locked_kib = std::atol(f[4].c_str());
    r.kill_delay_ms = std::atoi(f[5].c_str());
    if (f.size() == 7) r.command = f[6];
    runs->push_back(r);
  }
  return true;
}

void WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    data += w;
    n -= static_cast<size_t>(w);
  }
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The memory a process has locked, in KiB (0 once it has gone).
long LockedKib(const std::string& status_path) {
  std::ifstream in(status_path);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmLck:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// One run. Its results go to files in `dir`, which the runner frames once it has ended.
[[noreturn]] void RunOne(const Run& run, const std::string& dir) {
  std::regex key_re, kill_re;
  try {
    if (!run.key.empty()) key_re = std::regex(run.key);
    if (!run.kill.empty()) kill_re = std::regex(run.kill);
  } catch (const std::regex_error& e) {
    WriteFile(dir + "/" + run.name + ".status", std::string("error bad expression: ") + e.what());
    _exit(1);
  }
  const std::string wdc = "FPGA_WDC=slot=" + run.slot;
  struct winsize ws {};
  ws.ws_row = 24;
  ws.ws_col = 80;
  int master = -1;
  const double start = Now();
  std::vector<std::string> words;
  std::istringstream command(run.command.empty() ? std::string(kUtility) : run.command);
  for (std::string w; command >> w;) {
    for (size_t at = w.find("@OUT@"); at != std::string::npos; at = w.find("@OUT@"))
      w.replace(at, 5, dir + "/" + run.name);
    words.push_back(w);
  }
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  const pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    char* envp[] = {const_cast<char*>(wdc.c_str()), const_cast<char*>("TERM=linux"),
                    const_cast<char*>("PATH=/bin"), nullptr};
    execve(argv[0], argv.data(), envp);
    _exit(127);
  }
  if (pid < 0) {
    WriteFile(dir + "/" + run.name + ".status", std::string("error forkpty: ") + strerror(errno));
    _exit(1);
  }

  std::string output, line, times, irqs;
  bool pending_cr = false, key_sent = false, killed = false, timed_out = false;
  // The kill goes through its steps: the line seen, then the memory locked, then the delay.
  enum class Kill { kWaitLine, kWaitLocked, kWaitDelay, kDone } kill_step = Kill::kWaitLine;
  if (run.kill.empty()) kill_step = Kill::kDone;
  double kill_at = 0;
  const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
  // A line is judged once it is complete: every line the utility prints ends in "\n".
  auto take_line = [&](double t) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.3f\t", t - start);
    times += stamp + line + "\n";
    if (!key_sent && !run.key.empty() && std::regex_search(line, key_re)) {
      // Read first: the key ends the pass, and with it the interrupt's registration.
      irqs = ReadFile("/proc/interrupts");
      WriteAll(master, "x", 1);
      key_sent = true;
    }
    if (kill_step == Kill::kWaitLine && std::regex_search(line, kill_re))
      kill_step = Kill::kWaitLocked;
    line.clear();
  };
  auto feed = [&](const char* data, size_t n, double t) {
    for (size_t i = 0; i < n; ++i) {
      const char c = data[i];
      if (pending_cr) {
        pending_cr = false;
        if (c != '\n') {
          output.push_back('\r');
          line.push_back('\r');
        }
      }
      if (c == '\r') {
        pending_cr = true;
        continue;
      }
      output.push_back(c);
      if (c == '\n')
        take_line(t);
      else
        line.push_back(c);
    }
  };

  char buf[4096];
  for (;;) {
    const double now = Now();
    if (kill_step == Kill::kWaitLocked && LockedKib(status_path) >= run.kill_locked_kib) {
      kill_step = Kill::kWaitDelay;
      kill_at = now + run.kill_delay_ms / 1000.0;
    }
    if (kill_step == Kill::kWaitDelay && now >= kill_at) {
      kill(-pid, SIGKILL);
      killed = true;
      kill_step = Kill::kDone;
    }
    if (!timed_out && now - start > kRunTimeoutMs / 1000.0) {
      kill(-pid, SIGKILL);
      timed_out = true;
    }
    // Short polls while a kill waits, so that it lands within a millisecond of its moment.
    struct pollfd p {
      master, POLLIN, 0
    };
    const int wait_ms = kill_step == Kill::kWaitLocked || kill_step == Kill::kWaitDelay ? 1 : 50;
    if (poll(&p, 1, wait_ms) <= 0) continue;
    const ssize_t n = read(master, buf, sizeof buf);
    if (n > 0) {
      feed(buf, static_cast<size_t>(n), Now());
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO: the utility and everything it started have closed the terminal
    }
  }
  if (pending_cr) output.push_back('\r');
  int status = 0;
  waitpid(pid, &status, 0);
  const double seconds = Now() - start;

  std::ostringstream st;
  if (timed_out)
    st << "timeout\n";
  else if (WIFEXITED(status))
    st << "exit " << WEXITSTATUS(status) << "\n";
  else
    st << "signal " << WTERMSIG(status) << "\n";
  st << "key " << (key_sent ? 1 : 0) << "\nkill " << (killed ? 1 : 0) << "\n";
  char secs[32];
  std::snprintf(secs, sizeof secs, "%.3f", seconds);
  st << "seconds " << secs << "\n";
  WriteFile(dir + "/" + run.name + ".out", output);
  WriteFile(dir + "/" + run.name + ".times", times);
  WriteFile(dir + "/" + run.name + ".irqs", irqs);
  WriteFile(dir + "/" + run.name + ".status", st.str());
  _exit(0);
}

void Frame(int out, const std::string& name, const std::string& data) {
  // The header starts a line whatever the data before it ended with.
  const std::string head = "\n\x1e@fdvm " + name + " " + std::to_string(data.size()) + "\n";
  WriteAll(out, head.data(), head.size());
  WriteAll(out, data.data(), data.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--as") == 0) {
    unsigned uid = 0, gid = 0;
    int used = 0;
    if (std::sscanf(argv[2], "%u:%u%n", &uid, &gid, &used) != 2 ||
        static_cast<size_t>(used) != std::strlen(argv[2])) {
      std::fprintf(stderr, "vm-pty-run: --as wants UID:GID, not %s\n", argv[2]);
      return 2;
    }
    // The groups and the group ID first: once the user ID is not root they can no longer change.
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
      std::fprintf(stderr, "vm-pty-run: cannot become %s: %s\n", argv[2], strerror(errno));
      return 2;
    }
    execv(argv[3], argv + 3);
    std::fprintf(stderr, "vm-pty-run: %s: %s\n", argv[3], strerror(errno));
    return 127;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: vm-pty-run PLAN OUTPUT\n");
    return 2;
  }
  std::vector<Run> runs;
  if (!ReadPlan(argv[1], &runs)) {
    std::fprintf(stderr, "vm-pty-run: cannot read the plan %s\n", argv[1]);
    return 2;
  }
  const int out = open(argv[2], O_WRONLY | O_NOCTTY);
  if (out < 0) {
    std::fprintf(stderr, "vm-pty-run: %s: %s\n", argv[2], strerror(errno));
    return 2;
  }
  // Raw: no "\n" to "\r\n" on the way out, so that every frame's byte count holds.
  struct termios tio {};
  if (tcgetattr(out, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(out, TCSANOW, &tio);
  }
  const std::string dir = "/tmp/runs";
  mkdir(dir.c_str(), 0755);

  for (const Run& run : runs) {
    std::printf("vm-pty-run: %s on %s\n", run.name.c_str(), run.slot.c_str());
    std::fflush(stdout);
    // A process of its own, so that a run's end (a kill included) leaves the runner as it was.
    const pid_t pid = fork();
    if (pid == 0) RunOne(run, dir);
    if (pid > 0) waitpid(pid, nullptr, 0);
    for (const char* ext : {".out", ".times", ".irqs", ".status", ".json"})
      Frame(out, run.name + ext, ReadFile(dir + "/" + run.name + ext));
    // The status on one console line: "exit 0, key 1, kill 0, seconds 12.345".
    std::string status = ReadFile(dir + "/" + run.name + ".status");
    while (!status.empty() && status.back() == '\n') status.pop_back();
    for (size_t at = status.find('\n'); at != std::string::npos; at = status.find('\n', at))
      status.replace(at, 1, ", ");
    std::printf("vm-pty-run: %s: %s\n", run.name.c_str(), status.c_str());
    std::fflush(stdout);
  }

  // The kernel's log: the IOMMU's faults and vfio-pci's messages are part of what a case shows.
  const int size = klogctl(10 /* SYSLOG_ACTION_SIZE_BUFFER */, nullptr, 0);
  std::string log(static_cast<size_t>(size > 0 ? size : 1 << 20), '\0');
  const int got = klogctl(3 /* SYSLOG_ACTION_READ_ALL */, &log[0], static_cast<int>(log.size()));
  log.resize(static_cast<size_t>(got > 0 ? got : 0));
  Frame(out, "dmesg", log);
  tcdrain(out);
  close(out);
  return 0;
}
