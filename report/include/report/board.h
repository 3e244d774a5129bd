// The board a run was made on, as far as the report knows it, and the checks of the board as a
// whole (beside the utility's tests). The facts are gathered before the run (report_host.h);
// readings the report takes of the board around a run (its error registers, say, before and
// after) belong in BoardFacts too, each with its check in BoardChecks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/link.h"
#include "report/verdict.h"

namespace report {

struct BoardFacts {
  std::string address;     // "0000:03:00.0"; empty: not known (a saved log, no board)
  uint32_t vendor_id = 0;  // 0: not known
  uint32_t device_id = 0;
  Link trained;             // the link the board trained at; unknown: no ceiling
  Link maximum;             // what the board and its slot could train at; unknown: not known
  std::string link_source;  // "sysfs", "FPGA_SIM", "--link"; empty when no link is known
  std::string program;      // the utility that ran (empty for a saved log)
};

// The checks of the board as a whole: first the link (below its maximum: WARN, with both
// ceilings). A check that cannot be made (nothing known) is NOT RUN and weighs nothing.
std::vector<TestResult> BoardChecks(const BoardFacts& facts);

}  // namespace report
