// The log reader's state, shared by its units: the state machine's position and what the log
// showed so far. Internal to the reader.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "messages.h"
#include "report/log_reader.h"

namespace report {
namespace reader {

// `s` with its non-printing bytes as \xNN, cut to about `max` bytes.
std::string Printable(std::string_view s, size_t max);

// Where the run stands: what the utility may print next.
enum class St {
  kStart,          // the blank line and the banner
  kAfterBanner,    // the library's open, the scan, the board's open
  kLibraryFailed,  // nothing more: the library is not closed after a failed open
  kClosing,        // after a failure before the board opened: the library's close
  kBar0Writing,    // phase p's writing line
  kBar0Reading,    // phase p's reading line and verdict
  kPassTitle,      // pass p's title
  kPressAny,       // pass p's second line
  kPassStart,      // pass p's first size, or why it ended before it
  kSizeCounts,     // the counts (k of 3 so far) of the size in progress
  kAfterSize,      // the next size, or the total after size 1
  kPerfStart,      // the performance test's first heading, or its lock failure
  kPerfRates,      // mode m's result lines (k so far)
  kPerfNext,       // mode m's heading
  kBackloopStart,  // the backloop's heading
  kBackloopBody,   // its result or failure, or nothing
  kBackloopRate,   // its rate line
  kAfterTests,     // the board's close
  kAfterDeviceClose,
  kEnd,
};

// The result lines of each performance mode, in order.
inline constexpr Msg kModeRates[kPerfModes][3] = {
    {Msg::kWriteRate},
    {Msg::kReadRate},
    {Msg::kChannel1Rate, Msg::kChannel2Rate},
    {Msg::kWriteRate, Msg::kReadRate},
    {Msg::kWriteRate, Msg::kChannel1Rate, Msg::kChannel2Rate},
};
inline constexpr int kModeRateCount[kPerfModes] = {1, 1, 2, 2, 3};
inline constexpr const char* kPhaseNames[] = {"bytes", "uint16", "uint32", "uint64"};
inline constexpr const char* kPassNames[] = {"memory-write pass", "memory-read pass"};
inline constexpr const char* kModeNames[] = {"write", "read", "two read channels", "read/write",
                                             "read/write with two read channels"};
inline constexpr size_t kKeptText = 512;  // of a failure line kept for the outputs

struct State {
  std::function<void(const FailureLine&)> on_failure;
  RunLog log;
  St st = St::kStart;
  int p = 0;  // the BAR0 phase, the pass or the perf mode of the state
  int k = 0;  // lines of the state so far
  int rate_index = 0;
  bool blank = false;  // a blank line came and waits for its message
  bool finished = false;
  bool overlong = false;
  std::string line;
  double now = 0;

  void Foreign(std::string_view text, const std::string& why) {
    log.foreign = true;
    log.foreign_line = log.lines;
    log.foreign_text = Printable(text, 120);
    log.foreign_why = why;
  }

  void Failure(std::string_view text, uint32_t size = 0) {
    FailureLine f{log.lines, size, std::string(text.substr(0, kKeptText))};
    if (on_failure) on_failure(f);
    if (log.failure_lines.size() < kMaxFailureLines)
      log.failure_lines.push_back(std::move(f));
    else
      ++log.failure_lines_left_out;
  }

  IntegrityPass& Pass() { return log.passes[static_cast<size_t>(p)]; }

  void EndPass(PassEnd end) {
    Pass().end = end;
    // The memory-read pass follows only a memory-write pass that ran to its end.
    if (p == 0 && end == PassEnd::kComplete) {
      p = 1;
      st = St::kPassTitle;
    } else {
      st = St::kPerfStart;
    }
  }

  void SizeDone() {
    IntegrityPass& pass = Pass();
    const uint32_t f = pass.in_progress;
    const SizeCounts& c = pass.counts[f];
    pass.in_progress = 0;
    pass.lowest_done = f;
    ++pass.sizes_done;
    pass.totals[0] += c.size_mismatches;
    pass.totals[1] += c.corrupted;
    pass.totals[2] += c.mismatched;
    if (c.Sum() != 0) {
      ++pass.sizes_with_errors;
      if (pass.first_error_size == 0) pass.first_error_size = f;
    }
    st = St::kAfterSize;
  }

  // One message in the current state; false when it does not fit there.
  bool Step(const Message& m, std::string_view text);
  void Line(std::string_view text);
  std::string Expected() const;
  std::string Where() const;
};

}  // namespace reader

// The reader's state is the machine's.
struct LogReader::State : reader::State {};

}  // namespace report
