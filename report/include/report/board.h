// The board a run was made on, as far as the report knows it, and the checks of the board as a
// whole (beside the utility's tests). The facts are gathered before the run (report_host.h),
// and the board's error registers before and after it, each with its check in BoardChecks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/link.h"
#include "report/verdict.h"

namespace report {

// A status bit found set in the AER capability of the board or of the port above it.
struct ErrorBit {
  enum class Kind { kCorrectable, kNonFatal, kFatal };  // the last two: uncorrectable
  std::string function;                                 // its address
  bool port = false;                                    // the port above the board
  std::string name;                                     // "Bad TLP", as fpga-diag-setup names it
  Kind kind = Kind::kCorrectable;
  bool operator==(const ErrorBit& o) const {
    return function == o.function && name == o.name && kind == o.kind;
  }
};
const char* KindName(ErrorBit::Kind kind);  // "correctable", "non-fatal", "fatal"
// "Completion Timeout (uncorrectable, non-fatal), Bad TLP (correctable, in the port above it,
// 0000:00:1c.0)": the uncorrectable ones first; "none" for none.
std::string ErrorBitsText(const std::vector<ErrorBit>& bits);

// An error the kernel's AER counters hold for the board or its port, with its count.
struct ErrorCount {
  ErrorBit error;
  uint64_t count = 0;
};

// One reading of the error registers, as fpga-diag-setup reads them (setup/pcie_errors.h), and
// of the kernel's AER counters.
struct ErrorReading {
  bool read = false;        // the AER status registers
  std::string unread;       // when not read: why (empty: nothing tried to read them)
  std::string access;       // "through sysfs config as root", ...
  std::string port_unread;  // the port above the board could not be read: why
  std::vector<ErrorBit> set;
  bool counted = false;            // the kernel keeps AER counters for the board
  std::vector<ErrorCount> counts;  // those not 0
  // The kernel controls AER: it clears the status at each reset of the board (vfio-pci's at
  // a run's open and close among them), and its counters are the record of a run.
  bool kernel_controls_aer = false;
};

struct BoardFacts {
  std::string address;     // "0000:03:00.0"; empty: not known (a saved log, no board)
  uint32_t vendor_id = 0;  // 0: not known
  uint32_t device_id = 0;
  Link trained;             // the link the board trained at; unknown: no ceiling
  Link maximum;             // what the board and its slot could train at; unknown: not known
  std::string link_source;  // "sysfs", "FPGA_SIM", "--link"; empty when no link is known
  std::string program;      // the utility that ran (empty for a saved log)
  ErrorReading errors_before, errors_after;  // the board's error registers around the run
};

// The checks of the board as a whole, in this order: the error registers (a correctable error
// recorded during the run: WARN, an uncorrectable one: FAIL, each named; one already set before
// the run is said, not blamed on it); the link (below its maximum: WARN, with both ceilings). A
// check that cannot be made (nothing known, nothing read) is NOT RUN and weighs nothing.
std::vector<TestResult> BoardChecks(const BoardFacts& facts);

}  // namespace report
