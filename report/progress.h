// What a person sees while --run goes on, on standard error: on a terminal one line redrawn in
// place (the test and pass running, the size reached, the time so far and the time left in
// the pass at its pace so far, the errors so far), with each failure line shown above it as
// it comes; elsewhere a plain line now and then. With --verbose the raw output is shown
// instead and this shows nothing.
#pragma once

#include <string>

#include "report/run_log.h"

namespace report {

class Progress {
 public:
  Progress(bool terminal, bool verbose) : terminal_(terminal), quiet_(verbose) {}
  void Failure(const FailureLine& line);
  void Update(const RunLog& log, const std::string& where, double now);
  void Done();  // the line cleared, ready for the next run

 private:
  void Draw(const std::string& text);
  bool terminal_, quiet_;
  std::string shown_;     // the line on the screen now
  std::string section_;   // the test of the last plain line
  double drawn_at_ = -1;  // when the line or the last plain line was written
};

}  // namespace report
