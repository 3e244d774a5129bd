// The log reader: a streaming state machine over the utility's output, fed in pieces of any
// size as they come (a file, a pipe, the utility's terminal). Each line must be the message the
// utility prints at that point of its run; the first one that is not stops the reading and is
// named. Memory stays bounded whatever it is fed: a line is kept up to kMaxLine bytes, the
// counts are of fixed size and the failure lines are capped.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "report/run_log.h"

namespace report {

inline constexpr size_t kMaxLine = 4096;  // longer than any line the utility prints

class LogReader {
 public:
  // `on_failure` (may be empty) hears each failure line as it comes, for a live display.
  explicit LogReader(std::function<void(const FailureLine&)> on_failure = {});
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // `now`: seconds since the run began, when the bytes came (0 for a saved log).
  void Feed(const char* data, size_t n, double now = 0);
  // The end of the input: settles the last line and where the output stopped.
  void Finish();

  const RunLog& Log() const;
  // Where the run is now, in words ("memory-write pass, size 4093"), for a live display.
  std::string Where() const;
  // The bytes the reader holds beyond its fixed state: the line being gathered and the kept
  // failure lines.
  size_t RetainedBytes() const;

 private:
  struct State;
  std::unique_ptr<State> s_;
};

// Reads a whole log held in memory.
RunLog ReadLog(const std::string& text);

}  // namespace report
