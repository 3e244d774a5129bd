// fpga-diag-setup's command line: getopt_long's forms, the commands and their operands.
#include "internal.h"
#include "platform/command_line.h"

namespace setup {
namespace {

constexpr char kUsage[] =
    "Usage: fpga-diag-setup [status [ADDR]]\n"
    "       fpga-diag-setup bind ADDR [--user NAME]\n"
    "       fpga-diag-setup unbind ADDR\n"
    "       fpga-diag-setup clear-errors ADDR\n"
    "       fpga-diag-setup --help | --version\n"
    "Checks and sets up the FPGA boards (PCI 10ee:5050) for fpga-diag through vfio-pci.\n"
    "  status [ADDR]   (the default) every board's driver, IOMMU group, link, group file and\n"
    "                  error registers (AER and Device Status, the board's and its port's),\n"
    "                  or those of the board at ADDR alone; the machine's vfio-pci, IOMMU\n"
    "                  and memory-lock limit; each with the command that fixes it when it is\n"
    "                  not ready, then a verdict: exit 0 when the first board (or ADDR) is\n"
    "                  ready, 1 when not (a recorded uncorrectable error included) or when\n"
    "                  there is no board\n"
    "  bind ADDR       (root) give the board at ADDR to vfio-pci until the next boot\n"
    "  --user NAME, --user=NAME\n"
    "                  with bind: also give NAME the board's group file, and print the udev\n"
    "                  rule that does it at every boot\n"
    "  unbind ADDR     (root) clear the override and let the kernel choose the driver again\n"
    "  clear-errors ADDR\n"
    "                  (root, or with the board's group file) clear the error status bits set\n"
    "                  in the board at ADDR and, as root, in the port above it\n"
    "  -h, --help      show this text and exit\n"
    "      --version   show the version and exit\n"
    "ADDR is DDDD:BB:SS.F or BB:SS.F, hex, as lspci prints it. Exit status 2: bad use.\n";

// The long options without a short form: codes beyond any character's.
enum : int { kUser = 256, kVersion };
constexpr option kLongOptions[] = {{"user", required_argument, nullptr, kUser},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, kVersion},
                                   {nullptr, 0, nullptr, 0}};

}  // namespace

int Main(Host& host, const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  auto bad = [&](const std::string& why) {
    err << internal::kTool << ": " << why << "\nTry '" << internal::kTool << " --help'.\n";
    return 2;
  };
  const platform::CommandLine line = platform::ParseCommandLine(args, "h", kLongOptions);
  if (!line.error.empty()) return bad(line.error);
  std::string user;
  bool have_user = false;
  // --help and --version win wherever they stand, as they change nothing.
  for (const platform::ParsedOption& o : line.options) {
    if (o.code == 'h') {
      out << kUsage;
      return 0;
    }
    if (o.code == kVersion) {
      out << internal::kTool << " (fpga-diag) " FPGA_DIAG_VERSION "\n";
      return 0;
    }
  }
  for (const platform::ParsedOption& o : line.options) {
    if (o.code != kUser) continue;
    if (have_user) return bad("--user given twice");
    if (o.value.empty()) return bad("--user needs a user name");
    user = o.value;
    have_user = true;
  }
  const std::vector<std::string>& words = line.operands;
  const std::string command = words.empty() ? "status" : words[0];
  if (have_user && command != "bind") return bad("--user goes with bind only");
  if (command == "status") {
    if (words.size() > 2) return bad("status takes at most one address");
    return Status(host, words.size() == 2 ? words[1] : "", out, err);
  }
  if (command == "bind" || command == "unbind" || command == "clear-errors") {
    if (words.size() != 2) return bad(command + " takes one address: " + command + " ADDR");
    if (command == "clear-errors") return ClearErrors(host, words[1], out, err);
    return command == "bind" ? Bind(host, words[1], user, out, err)
                             : Unbind(host, words[1], out, err);
  }
  return bad("unknown command '" + command + "'");
}

}  // namespace setup
