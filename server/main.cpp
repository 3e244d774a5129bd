// fpga-board-server: the virtual board served as a PCI device over vfio-user, to one client (a
// virtual machine monitor) at a time, on a UNIX socket. FPGA_SIM sets the board's faults and
// link as for fpga-diag-sim.
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

#include "board_front.h"
#include "settings.h"
#include "vfu/server.h"

namespace {

constexpr const char* kUsage =
    "Usage: fpga-board-server --socket-path=PATH [--verbose]\n"
    "       fpga-board-server --fd=FDNUM [--verbose]\n"
    "Serves the virtual FPGA board (PCI 10ee:5050) as a vfio-user PCI device, to one client at\n"
    "a time, until SIGTERM or SIGINT.\n"
    "  --socket-path=PATH  create the UNIX socket PATH (readable by its owner only), serve the\n"
    "                      clients that connect to it, and remove it at the end\n"
    "  --fd=FDNUM          serve on a socket already open as FDNUM: a listening socket (its\n"
    "                      clients one at a time) or a connected one (that client alone)\n"
    "  --verbose           log every message, not only attaches, departures and refusals\n"
    "  --help              show this text\n"
    "FPGA_SIM sets the board's faults and link (the items of fpga-diag-sim's FPGA_SIM, but for\n"
    "boards, fail, pause, misalign and high-bus, which mean nothing for one served board).\n"
    "The server logs a line for each reset of the board (DEVICE_RESET, function-level reset).\n";

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

bool ParseFd(const std::string& text, int* fd) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *fd = std::atoi(text.c_str());
  return fcntl(*fd, F_GETFD) != -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path;
  bool have_path = false, have_fd = false, verbose = false;
  int given_fd = -1;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else if (arg.rfind("--socket-path=", 0) == 0 && !have_path) {
      socket_path = arg.substr(14);
      have_path = true;
    } else if (arg.rfind("--fd=", 0) == 0 && !have_fd) {
      if (!ParseFd(arg.substr(5), &given_fd)) return Usage("'" + arg + "' is not an open file");
      have_fd = true;
    } else if (arg == "--socket-path" || arg == "--fd") {
      return Usage(arg + " takes its value after '=': " + arg + "=...");
    } else {
      return Usage("unknown or repeated option '" + arg + "'");
    }
  }
  if (have_path == have_fd) return Usage("give one of --socket-path=PATH and --fd=FDNUM");

  const char* text = std::getenv("FPGA_SIM");
  const std::string meaningless = board_server::ItemWithoutMeaning(text);
  if (!meaningless.empty()) {
    Log("FPGA_SIM item '" + meaningless + "' has no meaning for one served board");
    return 2;
  }
  sim::Settings settings;
  std::string why;
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
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
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
