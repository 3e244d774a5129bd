// What one run of the utility printed, as the log reader (log_reader.h) takes it apart: each
// test's outcome and figures, where the output stopped, the first line that is not the
// utility's, and the failure lines. Everything is of fixed size or capped, so that a log of any
// length, or of any garbage, holds the reader to a bounded amount of memory.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace report {

inline constexpr uint32_t kSizes = 4096;  // transfer sizes of an integrity pass, 4096 down to 1

// A failed library call as the utility words it: "WHAT. Error 0xCODE - TEXT".
struct StatusLine {
  bool present = false;
  std::string line;  // the whole line as printed
  uint32_t code = 0;
  std::string text;  // the status's text
};

enum class Discovery {
  kNotReached,     // the log ends before the library's open is settled
  kLibraryFailed,  // "Failed to initialize the WDC library..."
  kScanFailed,
  kNoDevice,
  kInfoFailed,
  kOpenFailed,
  kOpened,  // the BAR0 test began: the board is open
};

enum class Bar0Phase : uint8_t { kBytes, kUint16, kUint32, kUint64 };
struct Bar0Width {
  bool writing = false;  // its writing line appeared
  bool reading = false;  // its reading line appeared
  bool done = false;     // its verdict came
  bool success = false;
  uint32_t item = 0;   // the first item that read back wrong
  uint64_t value = 0;  // what it read
};

struct SizeCounts {
  uint32_t size_mismatches = 0;
  uint32_t corrupted = 0;
  uint32_t mismatched = 0;
  uint64_t Sum() const { return uint64_t{size_mismatches} + corrupted + mismatched; }
};

enum class PassEnd {
  kNotStarted,
  kRunning,      // started; the log stops inside it (or it is still going)
  kComplete,     // the total line came
  kInterrupted,  // a key
  kWaitFailure,  // a completion that never came
  kLockFailure,
  kEnableFailure,
  kSilent,  // ended before its first size without a word: no completion event
};

struct IntegrityPass {
  PassEnd end = PassEnd::kNotStarted;
  uint32_t in_progress = 0;  // the size whose line came last and whose counts did not (0: none)
  uint32_t lowest_done = 0;  // the smallest size with its counts (0: none yet)
  uint32_t sizes_done = 0;
  uint32_t sizes_with_errors = 0;
  uint32_t first_error_size = 0;  // 0: none
  uint64_t totals[3] = {};        // size mismatches, corrupted, mismatched over the sizes done
  uint64_t printed_total = 0;     // the total line's figure (kComplete)
  StatusLine failure;             // kLockFailure, kEnableFailure
  std::array<SizeCounts, kSizes + 1> counts{};  // by size; index 0 unused
  // When the size lines came (seconds since the reader started), for the pace of a live run.
  double first_size_at = -1, last_size_at = -1;
  uint32_t size_lines = 0;
};

// The five measurements of the performance test, in the order they run.
enum class PerfMode : uint8_t { kWrite, kRead, kTwoReads, kReadWrite, kReadWriteTwoReads };
inline constexpr int kPerfModes = 5;
inline constexpr int kPerfRates = 9;  // result lines of the five modes: 1 + 1 + 2 + 2 + 3

struct Rate {
  bool seen = false;
  double value = 0;
  std::string text;  // as printed
};

struct Performance {
  bool reached = false;                // its heading or its lock failure came
  StatusLine lock_failure;             // a buffer that did not lock: the only line, no heading
  int modes_started = 0;               // headings seen
  std::array<Rate, kPerfRates> rates;  // in the order they are printed
};

enum class BackloopEnd {
  kNotStarted,
  kHeadingOnly,     // nothing after the heading (yet): memory, the event, or the log stops here
  kResult,          // both result lines
  kMismatchesOnly,  // the mismatch line without the rate line (the log stops between them)
  kSgLockFailure,
  kContigLockFailure,
  kEnableFailure,
  kWaitFailure,
};

struct Backloop {
  BackloopEnd end = BackloopEnd::kNotStarted;
  std::string mbytes;  // the heading's buffer size, as printed
  uint32_t mismatches = 0;
  Rate rate;
  StatusLine failure;
};

// A line that tells of a failure, kept for the outputs; the count of those left out beyond the
// cap is kept instead.
struct FailureLine {
  uint64_t line = 0;  // its number in the log, from 1
  uint32_t size = 0;  // the transfer size it belongs to (count lines), else 0
  std::string text;
};
inline constexpr size_t kMaxFailureLines = 200;

struct RunLog {
  uint64_t bytes = 0;
  uint64_t lines = 0;
  bool banner = false;
  Discovery discovery = Discovery::kNotReached;
  StatusLine discovery_failure;
  std::array<Bar0Width, 4> bar0;
  std::array<IntegrityPass, 2> passes;  // memory write, memory read
  Performance perf;
  Backloop backloop;
  StatusLine device_close_failure;
  StatusLine library_close_failure;

  // Where the output ended: a point at which the utility's run may end, or not.
  bool complete = false;
  std::string stopped;  // where it stopped when not complete, in words

  // The first line that is not the utility's (or not in its place): the reader stops there.
  bool foreign = false;
  uint64_t foreign_line = 0;
  std::string foreign_text;  // printable, cut to a readable length
  std::string foreign_why;

  std::vector<FailureLine> failure_lines;
  uint64_t failure_lines_left_out = 0;
};

}  // namespace report
