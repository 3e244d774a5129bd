#include "report/report_host.h"

#include <string_view>

#include "settings.h"  // the virtual board's FPGA_SIM parser
#include "setup/pcie_errors.h"
#include "setup/setup.h"
#include "vfio/discovery.h"
#include "wdc/backend.h"

namespace report {
namespace {

constexpr uint32_t kVendorId = 0x10EE;
constexpr uint32_t kDeviceId = 0x5050;

// The virtual board's address: board N (from 1) at bus N.
std::string VirtualAddress(uint32_t n) { return vfio::BdfString({0, n, 0, 0}); }

}  // namespace

bool IsVirtualBoard(const std::string& program) {
  const size_t slash = program.find_last_of('/');
  const std::string name = slash == std::string::npos ? program : program.substr(slash + 1);
  return name == "fpga-diag-sim" || name == "fpga-diag-sim.exe";
}

std::string SlotOf(const char* fpga_wdc) {
  std::string_view rest = fpga_wdc ? fpga_wdc : "";
  std::string slot;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    wdc::PciLocation loc;
    if (item.substr(0, 5) == "slot=" && wdc::ParsePciLocation(item.substr(5), &loc))
      slot = vfio::BdfString({loc.domain, loc.bus, loc.slot, loc.function});
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return slot;
}

std::vector<std::string> FindBoards(const std::string& program, const char* fpga_sim,
                                    const std::string& sysfs_root) {
  std::vector<std::string> boards;
  if (IsVirtualBoard(program)) {
    sim::Settings s;
    std::string error;
    if (sim::ParseSettings(fpga_sim, &s, &error))
      for (uint32_t n = 1; n <= s.boards; ++n) boards.push_back(VirtualAddress(n));
    return boards;
  }
  for (const vfio::PciFunction& f : vfio::FindPciFunctions(sysfs_root, kVendorId, kDeviceId))
    boards.push_back(f.bdf);
  return boards;
}

BoardFacts ReadBoardFacts(const std::string& program, const std::string& address,
                          const char* fpga_sim, const std::string& sysfs_root) {
  BoardFacts f;
  f.program = program;
  const std::vector<std::string> found = FindBoards(program, fpga_sim, sysfs_root);
  f.address = !address.empty() ? address : found.empty() ? "" : found.front();
  bool present = false;
  for (const std::string& b : found) present = present || b == f.address;
  if (!present) return f;  // the utility will tell that there is no such board
  if (IsVirtualBoard(program)) {
    sim::Settings s;
    std::string error;
    sim::ParseSettings(fpga_sim, &s, &error);
    f.vendor_id = kVendorId;
    f.device_id = kDeviceId;
    f.trained = Link{static_cast<int>(s.link_gen), static_cast<int>(s.link_width)};
    f.link_source = "FPGA_SIM";
    return f;
  }
  vfio::PciFunction fn;
  if (vfio::ReadPciFunction(sysfs_root, f.address, &fn)) {
    f.vendor_id = fn.vendor_id;
    f.device_id = fn.device_id;
  }
  const setup::Link l = setup::ReadLink(sysfs_root, f.address);
  if (l.reported) {
    f.trained = LinkFromSysfs(l.speed, l.width);
    f.maximum = LinkFromSysfs(l.max_speed, l.max_width);
    if (f.trained.Known()) f.link_source = "sysfs";
  }
  return f;
}

ErrorReading ReadErrorRegisters(setup::Host& host, const std::string& program,
                                const BoardFacts& facts) {
  ErrorReading r;
  vfio::PciFunction fn;
  if (IsVirtualBoard(program)) {
    r.unread =
        "the virtual board of fpga-diag-sim has no configuration space (fpga-board-server's "
        "has, in a virtual machine)";
    return r;
  }
  if (facts.address.empty() || !vfio::ReadPciFunction(host.SysfsRoot(), facts.address, &fn)) {
    r.unread = "no board";
    return r;
  }
  const setup::BoardErrors e = setup::ReadErrors(host, fn);
  // The counters anyone may read, whether the registers could be read or not.
  auto count = [&r](const setup::FunctionErrors& f, bool port) {
    const setup::AerCounters& c = f.counters;
    if (!c.present) return;
    const ErrorBit::Kind kinds[] = {ErrorBit::Kind::kCorrectable, ErrorBit::Kind::kNonFatal,
                                    ErrorBit::Kind::kFatal};
    for (int k = 0; k < 3; ++k)
      for (uint32_t bit = 0; bit < 32; ++bit)
        if (c.by_bit[k][bit] != 0)
          r.counts.push_back(
              {{f.bdf, port, k == 0 ? setup::CorrectableName(bit) : setup::UncorrectableName(bit),
                kinds[k]},
               c.by_bit[k][bit]});
  };
  r.counted = e.board.counters.present;
  r.kernel_controls_aer = e.board.kernel_controls_aer;
  count(e.board, false);
  if (e.has_port) count(e.port, true);
  if (!e.board.Read()) {
    r.unread = e.board.unread;
    return r;
  }
  // Device Status's error bits are no record of a run: vfio-pci's reset at its close clears them.
  if (!e.board.regs.aer) {
    r.unread = "the board has no AER capability (" + setup::AccessText(e.board) + ")";
    return r;
  }
  r.read = true;
  r.access = setup::AccessText(e.board);
  auto add = [&r](const setup::FunctionErrors& f, bool port) {
    const setup::ErrorRegisters& regs = f.regs;
    for (uint32_t bit = 0; bit < 32; ++bit) {
      if (regs.correctable >> bit & 1)
        r.set.push_back({f.bdf, port, setup::CorrectableName(bit), ErrorBit::Kind::kCorrectable});
      if (regs.uncorrectable >> bit & 1)
        r.set.push_back(
            {f.bdf, port, setup::UncorrectableName(bit),
             regs.severity >> bit & 1 ? ErrorBit::Kind::kFatal : ErrorBit::Kind::kNonFatal});
    }
  };
  add(e.board, false);
  if (e.has_port && e.port.Read() && e.port.regs.aer) add(e.port, true);
  if (e.has_port && !e.port.Read()) r.port_unread = e.port.unread;
  return r;
}

ErrorReading ReadErrorRegisters(const std::string& program, const BoardFacts& facts) {
  return ReadErrorRegisters(*setup::LinuxHost(), program, facts);
}

}  // namespace report
