// What the report learns of the machine (Linux): which boards there are and what each one's link
// is, before a run; the board's error registers, before and after it. A real board's come from
// sysfs and its configuration space, read as fpga-diag-setup reads them; the virtual board's
// from FPGA_SIM, through the virtual board's own parser.
#pragma once

#include <string>
#include <vector>

#include "report/board.h"

namespace setup {
class Host;
}

namespace report {

// Whether `program` is the utility on the virtual board (its name is fpga-diag-sim).
bool IsVirtualBoard(const std::string& program);

// The slot= item of FPGA_WDC's text, as sysfs writes an address ("0000:03:00.0"); empty when
// there is none or it does not parse (the utility's library then says why).
std::string SlotOf(const char* fpga_wdc);

// The boards a run of `program` would find, in the order the library finds them: for the
// virtual board those FPGA_SIM's boards= makes, else the functions of the controller's vendor
// and device ID under `sysfs_root`.
std::vector<std::string> FindBoards(const std::string& program, const char* fpga_sim,
                                    const std::string& sysfs_root);

// The facts of the board at `address` (empty: the one the utility will open, the first found)
// for a run of `program`. The link is FPGA_SIM's for the virtual board (gen2x4 when unset),
// sysfs's otherwise.
BoardFacts ReadBoardFacts(const std::string& program, const std::string& address,
                          const char* fpga_sim, const std::string& sysfs_root);

// The AER status of the board of `facts` and of the port above it, for a run of `program`, as
// the calling user can read them (setup/pcie_errors.h): not read, with why, for the virtual
// board (it has no configuration space), without a board, without the access, or without AER.
ErrorReading ReadErrorRegisters(setup::Host& host, const std::string& program,
                                const BoardFacts& facts);
// The same on this machine.
ErrorReading ReadErrorRegisters(const std::string& program, const BoardFacts& facts);

}  // namespace report
