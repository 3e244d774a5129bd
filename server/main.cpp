// fpga-board-server: the virtual board served as a PCI device over vfio-user, to one client (a
// virtual machine monitor) at a time, on a UNIX socket. FPGA_SIM sets the board's faults and
// link as for fpga-diag-sim. It ends, removing its socket, on SIGTERM, SIGINT or SIGHUP.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board_front.h"
#include "platform/command_line.h"
#include "settings.h"
#include "vfu/server.h"

namespace {

constexpr const char* kUsage =
    "Usage: fpga-board-server --socket-path=PATH [--verbose]\n"
    "       fpga-board-server --fd=FDNUM [--verbose]\n"
    "       fpga-board-server --help | --version\n"
    "Serves the virtual FPGA board (PCI 10ee:5050) as a vfio-user PCI device, to one client at\n"
    "a time, until SIGTERM, SIGINT or SIGHUP.\n"
    "  --socket-path=PATH, --socket-path PATH\n"
    "                      create the UNIX socket PATH (readable by its owner only), serve the\n"
    "                      clients that connect to it, and remove it at the end\n"
    "  --fd=FDNUM, --fd FDNUM\n"
    "                      serve on a socket already open as FDNUM: a listening socket (its\n"
    "                      clients one at a time) or a connected one (that client alone)\n"
    "  -v, --verbose       log every message, not only attaches, departures and refusals\n"
    "  -h, --help          show this text and exit\n"
    "      --version       show the version and exit\n"
    "Exactly one of --socket-path and --fd must be given. FPGA_SIM sets the board's faults and\n"
    "link (the items of fpga-diag-sim's FPGA_SIM, but for boards, fail, pause, misalign,\n"
    "high-bus and fault-board, which mean nothing for one served board). The server logs a line\n"
    "for each reset of the board (DEVICE_RESET, function-level reset).\n"
    "Exit status: 0 served until stopped, 1 the socket or the board failed, 2 bad use.\n";

// The long options without a short form: codes beyond any character's.
enum : int { kSocketPath = 256, kFd, kVersion };
constexpr option kLongOptions[] = {{"socket-path", required_argument, nullptr, kSocketPath},
                                   {"fd", required_argument, nullptr, kFd},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, kVersion},
                                   {nullptr, 0, nullptr, 0}};

int stop_pipe[2] = {-1, -1};

void OnStopSignal(int) {
  const int saved = errno;
  const char c = 1;
  ssize_t ignored = write(stop_pipe[1], &c, 1);
  (void)ignored;
  errno = saved;
}

void Log(const std::string& line) { std::fprintf(stderr, "fpga-board-server: %s\n", line.c_str()); }

int Usage(const std::string& why) {
  std::fprintf(stderr, "fpga-board-server: %s\nTry 'fpga-board-server --help'.\n", why.c_str());
  return 2;
}

// A socket at `path`, listening, that only its owner may connect to. A socket left behind by a
// server that is gone is replaced; any other file there is left alone.
int Listen(const std::string& path) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    Log("the socket path must be 1 to " + std::to_string(sizeof addr.sun_path - 1) + " bytes");
    return -1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      Log(path + " exists and is not a socket: not replacing it");
      return -1;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool live =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (probe >= 0) close(probe);
    if (live) {
      Log("another server is listening on " + path);
      return -1;
    }
    unlink(path.c_str());
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Log(std::string("socket: ") + std::strerror(errno));
    return -1;
  }
  // The socket file is made with the mode the umask leaves: owner only from its first moment.
  const mode_t old_mask = umask(0177);
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  const int bind_errno = errno;
  umask(old_mask);
  if (bound != 0 || listen(fd, 4) != 0) {
    Log("cannot listen on " + path + ": " + std::strerror(bound != 0 ? bind_errno : errno));
    if (bound == 0) unlink(path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

// The descriptor --fd names: false with the reason when the text is not a number or no file is
// open under it.
bool ParseFd(const std::string& text, int* fd, std::string* why) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    *why = "--fd=" + text + ": not a number (a file descriptor number, such as 3)";
    return false;
  }
  *fd = std::atoi(text.c_str());
  if (fcntl(*fd, F_GETFD) == -1) {
    *why = "--fd=" + text + ": no file is open as descriptor " + text;
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const platform::CommandLine line = platform::ParseCommandLine(
      std::vector<std::string>(argv + 1, argv + argc), "hv", kLongOptions);
  if (!line.error.empty()) return Usage(line.error);
  std::string socket_path, fd_text;
  bool have_path = false, have_fd = false, verbose = false;
  for (const platform::ParsedOption& o : line.options) {
    switch (o.code) {
      case 'h': std::fputs(kUsage, stdout); return 0;
      case kVersion: std::puts("fpga-board-server (fpga-diag) " FPGA_DIAG_VERSION); return 0;
      case 'v': verbose = true; break;
      case kSocketPath:
        if (have_path) return Usage("--socket-path given twice");
        socket_path = o.value;
        have_path = true;
        break;
      case kFd:
        if (have_fd) return Usage("--fd given twice");
        fd_text = o.value;
        have_fd = true;
        break;
    }
  }
  if (!line.operands.empty()) return Usage("unexpected argument '" + line.operands[0] + "'");
  if (have_path && have_fd) return Usage("only one of --socket-path and --fd may be given");
  if (!have_path && !have_fd) return Usage("give one of --socket-path=PATH and --fd=FDNUM");
  if (have_path && socket_path.empty()) return Usage("--socket-path needs a path");
  int given_fd = -1;
  std::string why;
  if (have_fd && !ParseFd(fd_text, &given_fd, &why)) return Usage(why);

  const char* text = std::getenv("FPGA_SIM");
  const std::string meaningless = board_server::ItemWithoutMeaning(text);
  if (!meaningless.empty()) {
    Log("FPGA_SIM item '" + meaningless + "' has no meaning for one served board");
    return 2;
  }
  sim::Settings settings;
  if (!sim::ParseSettings(text, &settings, &why)) {
    Log(why);
    return 2;
  }

  if (pipe2(stop_pipe, O_CLOEXEC) != 0) {
    Log(std::string("pipe: ") + std::strerror(errno));
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // SIGHUP too: a server started from a terminal that closes ends as cleanly as one stopped.
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a client gone shows as EPIPE on the next send

  vfu::ServerOptions options;
  options.verbose = verbose;
  options.log = Log;
  vfu::Server server(options);
  std::unique_ptr<board_server::BoardFront> front = board_server::BoardFront::Create(
      settings, server.Dma(), server.Interrupt(), Log, &why, &server.Errors());
  if (!front) {
    Log(why);
    return 1;
  }

  int status = 0;
  if (have_path) {
    const int fd = Listen(socket_path);
    if (fd < 0) return 1;
    Log("listening on " + socket_path);
    status = server.Run(*front, fd, stop_pipe[0]) == 0 ? 0 : 1;
    close(fd);
    unlink(socket_path.c_str());
  } else {
    int listening = 0;
    socklen_t len = sizeof listening;
    if (getsockopt(given_fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0) {
      Log("fd " + std::to_string(given_fd) + " is not a socket");
      return 1;
    }
    if (listening) {
      Log("listening on fd " + std::to_string(given_fd));
      status = server.Run(*front, given_fd, stop_pipe[0]) == 0 ? 0 : 1;
    } else {
      server.ServeConnection(*front, given_fd, stop_pipe[0]);
    }
  }
  return status;
}
