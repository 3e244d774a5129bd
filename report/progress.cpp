#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace report {
namespace {

constexpr double kRedrawSeconds = 0.2;
constexpr double kPlainSeconds = 60;

std::string Clock(double seconds) {
  const long s = seconds < 0 ? 0 : static_cast<long>(seconds);
  char t[32];
  std::snprintf(t, sizeof t, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return t;
}

void Write(const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = write(2, s.data() + done, s.size() - done);
    if (n <= 0) return;  // a closed or broken error output is no reason to stop the run
    done += static_cast<size_t>(n);
  }
}

// The pass now running, if any.
const IntegrityPass* Running(const RunLog& log) {
  for (const IntegrityPass& p : log.passes)
    if (p.end == PassEnd::kRunning) return &p;
  return nullptr;
}

// The test the run is in.
const char* Section(const RunLog& log) {
  if (log.backloop.end != BackloopEnd::kNotStarted) return "backloop";
  if (log.perf.reached) return "performance";
  if (log.passes[1].end != PassEnd::kNotStarted) return "memory-read";
  if (log.passes[0].end != PassEnd::kNotStarted) return "memory-write";
  return log.discovery == Discovery::kOpened ? "bar0" : "start";
}

}  // namespace

void Progress::Draw(const std::string& text) {
  winsize ws{};
  size_t width = ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1u : 79u;
  Write("\r\x1b[K" + text.substr(0, width));
  shown_ = text;
}

void Progress::Failure(const FailureLine& line) {
  if (quiet_) return;
  const std::string text = "failure, line " + std::to_string(line.line) +
                           (line.size ? " (size " + std::to_string(line.size) + ")" : "") + ": " +
                           line.text + "\n";
  if (!terminal_) return Write("fpga-diag-report: " + text);
  Write("\r\x1b[K" + text);
  if (!shown_.empty()) Draw(shown_);
}

void Progress::Update(const RunLog& log, const std::string& where, double now) {
  if (quiet_) return;
  uint64_t errors = 0;
  for (const IntegrityPass& p : log.passes) errors += p.sizes_with_errors;
  std::string text = where.substr(0, 1) == "i" ? where.substr(3) : where;  // "in the ..."
  text += " | " + Clock(now) + " elapsed";
  const IntegrityPass* p = Running(log);
  if (p && p->size_lines >= 2 && p->sizes_done > 0) {
    const double per_size = (p->last_size_at - p->first_size_at) / (p->size_lines - 1);
    text += " | about " + Clock(per_size * (kSizes - p->sizes_done)) + " left in the pass";
  }
  text += " | " + std::to_string(errors) + (errors == 1 ? " size" : " sizes") + " with errors";
  if (!log.failure_lines.empty())
    text += ", " + std::to_string(log.failure_lines.size() + log.failure_lines_left_out) +
            " failure lines";
  if (terminal_) {
    if (now - drawn_at_ >= kRedrawSeconds || drawn_at_ < 0) {
      Draw(text);
      drawn_at_ = now;
    }
    return;
  }
  // A new test gets a plain line at once, a long one every minute.
  const std::string section = Section(log);
  if (section != section_ || now - drawn_at_ >= kPlainSeconds) {
    Write("fpga-diag-report: " + text + "\n");
    section_ = section;
    drawn_at_ = now;
  }
}

void Progress::Done() {
  if (terminal_ && !shown_.empty()) Write("\r\x1b[K");
  shown_.clear();
  section_.clear();
  drawn_at_ = -1;  // the next run's clock starts again at 0
}

}  // namespace report
