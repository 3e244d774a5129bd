// What the utility prints, in one place for the whole suite: every text of the diagnostics and
// the run, the library's status texts that reach the console, the outputs of whole runs, and
// the matcher that compares an expected text (with placeholders for rates and pointers) with
// what was printed. The program tests, the end-to-end cases, the Windows cases, the soak and
// its valgrind check all build their expectations from here.
//
// Every function returns an expected text: literal text, with '%' doubled, and the
// placeholders of MatchOutput where a value cannot be foreseen.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace oracle {

// ---- Matching --------------------------------------------------------------------------------

// An expected text may hold placeholders:
//   %f  a number printed with "%f": -?[0-9]+\.[0-9]{6}        (rates)
//   %p  a pointer printed as upper-case hex digits of the full pointer width
//   %s  the rest of the text up to the line end (possibly empty)
//   %%  a percent sign
// Every other character must appear as it is. Lines are compared one by one.
struct Match {
  bool ok = false;
  std::vector<std::string> captures;  // the text each placeholder matched, in order
  std::string diff;                   // when not ok: a readable line diff
};
Match MatchOutput(const std::string& expected, const std::string& actual);

// Doubles every '%' so that a literal text can go into an expected text.
std::string Literal(const std::string& text);

// Parses a "%f" capture.
double Number(const std::string& capture);

// The expected text up to and including the first `mark` in it (all of it when there is none).
std::string Through(const std::string& expected, const std::string& mark);

// ---- Statuses as a failure line shows them ---------------------------------------------------

struct Status {
  uint32_t code = 0;
  std::string text;  // an expected text: see Stated and AnyText
};
Status Stated(uint32_t code, const std::string& text);  // a status with this exact text
Status AnyText(uint32_t code);                          // with whatever text
Status Simulated(const std::string& op);                // what FPGA_SIM fail=OP makes OP return
Status BadSetting(const std::string& item);             // a bad FPGA_SIM item, for any reason
Status LeftAtClose(const std::string& what);            // the ledger's status
Status AlreadyEnabled();                                // WDC_IntEnable with one still enabled
Status OutOfMemory();
Status AboveFourGiB();                                  // a lock refused by the program

// ---- The run ---------------------------------------------------------------------------------

std::string Banner();  // the blank line and the banner line
std::string NoDevice();
std::string LibraryOpenFailure(const Status& s);
std::string PciScanFailure(const Status& s);
std::string DeviceInfoFailure(const Status& s);
std::string DeviceOpenFailure(const Status& s);
std::string DeviceCloseFailure(const Status& s);  // the handle as %p
std::string LibraryCloseFailure(const Status& s);
std::string Ledger(const std::string& what);      // resources left at the library's close
// The ledger's line up to its status code, which a run that releases everything never prints.
std::string LedgerMark();

// ---- BAR0 slave memory test ------------------------------------------------------------------

enum class Bar0Phase { kBytes, kUint16, kUint32, kUint64 };
std::string Bar0Heading();
std::string Bar0Writing(Bar0Phase phase);  // the phase's first line
// A verdict is Bar0Success() or Bar0Failure(...).
std::string Bar0Success();
std::string Bar0Failure(uint32_t item, uint64_t value);
std::string Bar0Test(const std::string& bytes, const std::string& uint16,
                     const std::string& uint32, const std::string& uint64);
std::string Bar0AllSuccess();

// A lost BAR0 access (FPGA_SIM fail=WDC_ReadAddrN@K or WDC_WriteAddrN@K, counted from the
// library's open) and what the BAR0 test then prints: it judges by the values alone.
struct LostBar0Access {
  std::string name;
  std::string setting;
  std::string bar0;
};
const std::vector<LostBar0Access>& LostBar0Accesses();
// Names a case in test listings instead of dumping its bytes.
inline void PrintTo(const LostBar0Access& c, std::ostream* os) { *os << c.name; }

// ---- DMA data integrity test -----------------------------------------------------------------

enum class Pass { kMemoryWrite, kMemoryRead };
struct SizeCounts {
  uint32_t size_mismatches = 0;
  uint32_t corrupted = 0;
  uint32_t mismatched = 0;
};
using CountsOfSize = std::function<SizeCounts(uint32_t)>;
std::string IntegrityHeading(Pass pass);  // title and "Press any..." line
std::string SizeLine(uint32_t size);
std::string SizeBlock(uint32_t size, const SizeCounts& counts);
std::string Interrupted();
std::string IntegrityTotal(uint64_t total);
std::string WaitFailure();

// A pass from size 4096 down that a key stopped: the complete sizes with counts(f), then the
// size in progress and the interruption. Which size the key reached is taken from `actual` (the
// last size line before the interruption), since in a fast pass it is not exactly foreseeable;
// *stopped_at gets it (0 when `actual` shows no interruption).
std::string SizesUntilInterrupted(const std::string& actual, const CountsOfSize& counts,
                                  uint32_t* stopped_at);
// A pass run to its end: heading, every size from 4096 down to 1, the total (also in *total).
std::string CompletePass(Pass pass, const CountsOfSize& counts, uint64_t* total);

// ---- DMA performance test --------------------------------------------------------------------

enum class PerfStep { kWrite, kRead, kTwoReads, kReadWrite, kReadWriteTwoReads };
std::string PerformanceHeading(PerfStep step);
// The five headings and nine rate lines (1 + 1 + 2 + 2 + 3). rates[i] is the i-th rate as
// printed; the rates not given are %f.
std::string Performance(const std::vector<std::string>& rates = {});

// ---- Scatter/gather backloop test ------------------------------------------------------------

// The heading for buffers of `mbytes` MByte, as printed with "%f".
std::string BackloopHeading(const std::string& mbytes = "50.000000");
std::string BackloopResult(uint32_t mismatches);  // the mismatch line and the rate line (%f)
std::string BackloopResultAnyCount();              // the count as %s

// ---- Failures inside the tests ---------------------------------------------------------------

std::string ContigLockFailure(const Status& s);
std::string SgLockFailure(const Status& s);
std::string IntEnableFailure(const Status& s);

// ---- Whole runs on a healthy board -----------------------------------------------------------

// The banner, the BAR0 test printing `bar0` and the memory-write pass's heading.
std::string UntilIntegrity(const std::string& bar0 = Bar0AllSuccess());
// The performance test and a clean backloop test.
std::string AfterIntegrity();
// A run whose memory-write pass a key stops during its first transfer size.
std::string InterruptedRun();
// A run whose memory-write pass a lost completion ends during its first transfer size.
std::string LostCompletionRun();

}  // namespace oracle
