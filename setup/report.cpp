// fpga-diag-setup's status report: each board's items, the machine's, each with its next step
// when it is not ready, then one verdict a board; or, with no board, what the bus shows of the
// board's maker and what to do.
#include <cstdio>

#include "internal.h"
#include "vfio/advice.h"
#include "vfio/kernel.h"

namespace setup {
namespace {

using internal::DriverText;
using internal::Id;
using internal::KiBText;

// Under the item it belongs to, where the value column starts.
void PrintStep(const std::string& step, std::ostream& out) {
  if (!step.empty()) out << "               next: " << step << "\n";
}

void PrintMember(const vfio::PciFunction& m, const std::vector<vfio::PciFunction>& blockers,
                 std::ostream& out) {
  bool blocks = false;
  for (const vfio::PciFunction& b : blockers) blocks = blocks || b.bdf == m.bdf;
  out << "               " << m.bdf << "  " << DriverText(m.driver)
      << (blocks ? "  (a host driver: the group cannot be used)" : "") << "\n";
}

void PrintGroupFile(const BoardStatus& b, std::ostream& out) {
  out << "  group file   " << b.group_file;
  if (!b.group_file_exists) {
    out << " does not exist (made when vfio-pci takes the board)\n";
  } else {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", b.group_file_info.mode & 07777);
    out << ": owner " << b.group_file_owner << ", group " << b.group_file_group << ", mode " << mode
        << "; "
        << (b.group_errno == 0 ? "you can open it"
                               : "you cannot open it: " + vfio::ErrnoText(b.group_errno))
        << "\n";
  }
  PrintStep(b.file_step, out);
}

std::string List(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
  return text.empty() ? "none" : text;
}

// One function's registers: how they were read and what is set, else why they were not.
void PrintFunctionErrors(const FunctionErrors& e, const std::string& item, std::ostream& out) {
  out << item;
  if (!e.Read()) {
    out << e.unread << "\n";
  } else {
    const ErrorRegisters& r = e.regs;
    out << AccessText(e) << ": ";
    if (!r.express)
      out << "no PCI Express capability, so no error registers\n";
    else if (!r.Any())
      out << "none set" << (r.aer ? "" : " (no AER capability: Device Status alone)") << "\n";
    else
      out << (r.aer ? "set" : "set (no AER capability: Device Status alone)") << "\n";
    if (r.aer && r.Any()) {
      out << "               correctable: " << List(CorrectableNames(r)) << "\n";
      out << "               uncorrectable: " << List(UncorrectableNames(r)) << "\n";
    }
    if (r.Any()) out << "               Device Status: " << List(DeviceStatusNames(r)) << "\n";
  }
  const AerCounters& c = e.counters;
  if (c.present) {
    // "2 correctable (Bad TLP 2), 0 non-fatal, 0 fatal"
    out << "               the kernel's AER counters: ";
    const char* kinds[] = {"correctable", "non-fatal", "fatal"};
    for (int k = 0; k < 3; ++k) {
      std::string named;
      for (uint32_t bit = 0; bit < 32; ++bit)
        if (c.by_bit[k][bit] != 0)
          named += (named.empty() ? "" : ", ") +
                   (k == 0 ? CorrectableName(bit) : UncorrectableName(bit)) + " " +
                   std::to_string(c.by_bit[k][bit]);
      out << (k ? ", " : "") << c.total[k] << " " << kinds[k]
          << (named.empty() ? "" : " (" + named + ")");
    }
    out << "\n";
  }
  if (e.kernel_controls_aer && e.Read())
    out << "               the kernel controls AER here: it clears these bits when it handles "
           "an error and at each reset of the board (vfio-pci resets it at every open and close"
        << (e.access == ErrorAccess::kVfio ? ", this read's included" : "")
        << "), so its counters are the record\n";
}

void PrintErrors(const BoardStatus& b, std::ostream& out) {
  const BoardErrors& e = b.errors;
  out << "Errors of " << b.function.bdf
      << " (AER's status registers, Device Status's error bits)\n";
  PrintFunctionErrors(e.board, "  board        ", out);
  PrintStep(b.errors_step, out);
  if (e.has_port) PrintFunctionErrors(e.port, "  port         " + e.port.bdf + ", ", out);
}

void PrintBoard(const BoardStatus& b, std::ostream& out) {
  const vfio::PciFunction& f = b.function;
  out << "Board " << f.bdf << " (" << Id(f.vendor_id, f.device_id) << ")\n";
  out << "  driver       " << (f.driver.empty() ? "none" : f.driver) << "\n";
  PrintStep(b.driver_step, out);
  if (f.iommu_group < 0) {
    out << "  IOMMU group  none: the IOMMU is off for this board\n";
  } else {
    out << "  IOMMU group  " << f.iommu_group;
    if (b.members.size() <= 1) {
      out << ", the board alone\n";
    } else {
      out << ", shared with:\n";
      for (const vfio::PciFunction& m : b.members)
        if (m.bdf != f.bdf) PrintMember(m, b.blockers, out);
    }
  }
  PrintStep(b.group_step, out);
  const Link& l = b.link;
  out << "  link         ";
  if (!l.reported) {
    out << "not reported (no PCI Express link in sysfs)\n";
  } else {
    out << l.speed << " x" << l.width << ", maximum " << l.max_speed << " x" << l.max_width;
    out << (l.below_max ? ": trained below its maximum, so DMA runs slower than the board can" : "")
        << "\n";
  }
  PrintStep(b.link_step, out);
  if (!b.group_file.empty()) PrintGroupFile(b, out);
  PrintErrors(b, out);
}

void PrintMachine(const MachineStatus& m, std::ostream& out) {
  out << "Machine\n";
  out << "  vfio-pci     " << (m.vfio_pci_loaded ? "loaded" : "not loaded") << "\n";
  PrintStep(m.module_step, out);
  out << "  IOMMU        ";
  if (m.iommu_groups > 0)
    out << "on (" << m.iommu_groups << " groups)\n";
  else
    out << "off (no IOMMU groups in sysfs)\n";
  PrintStep(m.iommu_step, out);
  out << "  memory lock  ";
  if (m.privileged)
    out << "not limited (" << m.caller << ")";
  else
    out << KiBText(m.memlock_soft) << " (hard " << KiBText(m.memlock_hard) << ")";
  out << "; a whole run pins up to " << KiBText(kRunPinBytes) << " at once"
      << (m.memlock_enough ? "" : ": too low") << "\n";
  PrintStep(m.memlock_step, out);
}

int ReportNoBoard(Host& host, const MachineStatus& machine, std::ostream& out) {
  out << "No board: no PCI function with vendor ID 0x10ee and device ID 0x5050 in "
      << host.SysfsRoot() << "/bus/pci/devices.\n";
  const std::vector<vfio::PciFunction> maker =
      vfio::FindVendorFunctions(host.SysfsRoot(), kVendorId);
  if (machine.bus_visible) {
    out << (maker.empty() ? "The bus shows nothing of its maker (vendor ID 0x10ee) either.\n"
                          : "The bus shows of its maker (vendor ID 0x10ee):\n");
    for (const vfio::PciFunction& f : maker)
      out << "               " << f.bdf << "  " << Id(f.vendor_id, f.device_id) << "  "
          << DriverText(f.driver) << "\n";
  }
  PrintMachine(machine, out);
  out << "Verdict: not ready: no board. Next: "
      << vfio::AdviseNoBoard(kVendorId, kDeviceId, maker, machine.bus_visible) << "\n";
  return 1;
}

}  // namespace

int Status(Host& host, const std::string& only, std::ostream& out, std::ostream& err) {
  std::vector<vfio::PciFunction> boards;
  if (!only.empty()) {
    vfio::PciFunction f;
    if (!internal::Resolve(host, only, internal::Purpose::kReport, &f, err)) return 2;
    boards.push_back(f);
  } else {
    boards = vfio::FindPciFunctions(host.SysfsRoot(), kVendorId, kDeviceId);
  }
  const MachineStatus machine = ReadMachine(host);
  if (boards.empty()) return ReportNoBoard(host, machine, out);
  std::vector<BoardStatus> status;
  for (const vfio::PciFunction& f : boards) {
    status.push_back(ReadBoard(host, machine, f));
    PrintBoard(status.back(), out);
  }
  PrintMachine(machine, out);
  int exit_status = 1;
  for (size_t i = 0; i < status.size(); ++i) {
    const BoardStatus& b = status[i];
    out << "Verdict for " << b.function.bdf << ": ";
    if (b.verdict == Verdict::kReady) {
      std::string notes;
      if (b.link.below_max) notes = "its link trained below its maximum";
      if (b.errors.Any())
        notes += (notes.empty() ? "" : "; ") +
                 std::string("correctable errors are recorded, under Errors");
      out << "ready: fpga-diag can open it as " << machine.caller
          << (notes.empty() ? "" : " (" + notes + ")") << ".\n";
    } else {
      out << "not ready: " << b.advice << "\n";
    }
    // The utility opens the first board unless FPGA_WDC=slot= picks another.
    if (i == 0) exit_status = b.verdict == Verdict::kReady ? 0 : 1;
  }
  return exit_status;
}

}  // namespace setup
