// The judge: from what a run printed (run_log.h) and what is known of its board (board.h), a
// verdict for each test with its reason, the board's checks, and the verdict of the run.
//
// The tests, in the order they run: the run itself (the library, the board's open and close),
// BAR0 per width, each integrity pass, each performance mode, the backloop. A run is PASS only
// when every test and check passes; FAIL when any fails; INCOMPLETE when a test did not run to
// its end or did not run (a key, a log that stops short); WARN (which fails only with --strict)
// otherwise when any warns.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report/board.h"
#include "report/run_log.h"
#include "report/verdict.h"

namespace report {

// The floor's default share of the ceiling, and why (the manual page says so too): a healthy
// link carries about 65 to 85% of its raw rate as payload (each 128- to 256-byte payload goes
// in a packet with 20 to 30 bytes of header, sequence number, CRC and framing, beside the
// acknowledgements and flow-control updates); the virtual board's model gives 66% (Gen1 x8
// and x16) to 82% (Gen3 x1). 55% stays below every healthy link with room for a loaded host,
// and above 50.5%, so that a Gen3 x16 count that wrapped twice is told from one that wrapped
// once (see ResolveWraps).
inline constexpr double kDefaultMinShare = 0.55;
// The 16-bit transfer count of a performance channel wraps at 65536 buffers of 64 KiB in its
// second: every 65536 x 65536 / 2^20 MByte/sec.
inline constexpr double kWrapMBytes = 4096.0;

struct Options {
  double min_share = kDefaultMinShare;
  bool partial_ok = false;  // a run a key ended counts as passed
  bool strict = false;      // a warning fails the run
};

// How a run through --run ended; a saved log has none.
struct RunEnd {
  bool ran = false;
  bool exited = false;
  int exit_status = 0;
  int signal = 0;
  double seconds = 0;
};

struct LogFile {
  std::string path;    // as given; "-" for standard input
  std::string sha256;  // of every byte of it
  uint64_t bytes = 0;
};

struct BoardReport {
  BoardFacts facts;
  RunEnd run;
  LogFile log_file;
  RunLog log;
  double ceiling = 0;  // one direction, MByte/sec; 0: no link known
  double floor = 0;
  std::vector<TestResult> tests;
  std::vector<TestResult> checks;
  Verdict verdict = Verdict::kNotRun;
  std::string reason;
  bool key_ended = false;  // a key ended the memory-write pass
};

BoardReport JudgeBoard(const RunLog& log, const BoardFacts& facts, const RunEnd& run,
                       const LogFile& log_file, const Options& options);

struct Report {
  std::string program_version;
  std::string time;  // when the report began, UTC, ISO 8601
  std::string host;
  Options options;
  std::vector<BoardReport> boards;
  Verdict verdict = Verdict::kNotRun;
  std::string reason;
  int exit_status = 1;
};

// The run's verdict over its boards (the worst of theirs) and the exit status: 0 for PASS and
// WARN (1 with --strict, which makes a warning a failure), 1 for FAIL and INCOMPLETE.
void Conclude(Report* report);

// The direction that a performance result line measures and the figure the judge settled on,
// for a mode's channels: each channel's printed rate, and the total of its direction.
struct DirectionJudgement {
  Verdict verdict = Verdict::kPass;
  std::string reason;  // a clause: "1432.6 MByte/sec, 75% of the ceiling"
  double value = 0;    // the direction's total, wraps added
  int wraps = 0;
  bool ambiguous = false;
};
// Rates printed by the channels sharing one direction, against its ceiling (0: unknown) and
// floor. `counted`: the rates come from the performance channels' 16-bit counts, whose wraps
// are resolved where exactly one total lies between floor and ceiling (the backloop's rate is
// timed, and taken as printed).
DirectionJudgement JudgeDirection(const std::vector<double>& printed, double ceiling, double floor,
                                  bool counted = true);

}  // namespace report
