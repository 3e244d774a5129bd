#include "report/log_reader.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "messages.h"
#include "reader_state.h"

namespace report {
using reader::St;
namespace reader {

std::string Printable(std::string_view s, size_t max) {
  std::string out;
  for (size_t i = 0; i < s.size() && out.size() < max; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  if (out.size() >= max) out += "...";
  return out;
}

void State::Line(std::string_view text) {
  ++log.lines;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);  // the Windows build's ends
  if (text.empty()) {
    if (blank) return Foreign(text, "a second blank line: the utility prints one at a time");
    blank = true;
    return;
  }
  const Message m = Classify(text, blank);
  const bool after_blank = blank;
  blank = false;
  if (m.kind == Msg::kUnknown)
    return Foreign(text, after_blank ? "not a line the utility prints after a blank line"
                                     : "not a line the utility prints");
  if (!Step(m, text)) Foreign(text, "out of place: " + Expected());
}

std::string State::Expected() const {
  auto pass = [this] { return std::string(kPassNames[p]); };
  switch (st) {
    case St::kStart: return "the utility begins with a blank line and its banner";
    case St::kAfterBanner: return "the banner is followed by the BAR0 test or an open failure";
    case St::kLibraryFailed: return "nothing follows a failed library open";
    case St::kClosing: return "only the library's close can follow here";
    case St::kBar0Writing:
    case St::kBar0Reading:
      return std::string("the BAR0 test's ") + kPhaseNames[p] + " phase is due here";
    case St::kPassTitle:
    case St::kPressAny:
    case St::kPassStart: return "the " + pass() + " is due here";
    case St::kSizeCounts: {
      const IntegrityPass& ps = log.passes[static_cast<size_t>(p)];
      return "the counts of size " + std::to_string(ps.in_progress) + " are due here";
    }
    case St::kAfterSize: {
      const IntegrityPass& ps = log.passes[static_cast<size_t>(p)];
      if (ps.lowest_done > 1) return "size " + std::to_string(ps.lowest_done - 1) + " is due here";
      return "the " + pass() + "'s total, the sum of its counts, is due here";
    }
    case St::kPerfStart:
    case St::kPerfRates:
    case St::kPerfNext:
      return std::string("the performance test's ") + kModeNames[p] + " measurement is due here";
    case St::kBackloopStart:
    case St::kBackloopBody:
    case St::kBackloopRate: return "the backloop test is due here";
    case St::kAfterTests:
    case St::kAfterDeviceClose:
    case St::kEnd: return "nothing but the close's failures follows the last test";
  }
  return "";
}

std::string State::Where() const {
  switch (st) {
    case St::kStart: return "before the utility's banner";
    case St::kAfterBanner: return "after the banner, before the board was opened";
    case St::kBar0Writing:
    case St::kBar0Reading:
      return std::string("in the BAR0 test, at the ") + kPhaseNames[p] + " array";
    case St::kPassTitle:
    case St::kPressAny:
    case St::kPassStart: return std::string("at the start of the ") + kPassNames[p];
    case St::kSizeCounts:
    case St::kAfterSize: {
      const IntegrityPass& ps = log.passes[static_cast<size_t>(p)];
      return std::string("in the ") + kPassNames[p] +
             (st == St::kSizeCounts ? " at size " + std::to_string(ps.in_progress)
                                    : " after size " + std::to_string(ps.lowest_done)) +
             " (" + std::to_string(ps.sizes_done) + " of 4096 sizes done)";
    }
    case St::kPerfStart: return "before the performance test";
    case St::kPerfRates:
    case St::kPerfNext:
      return std::string("in the performance test's ") + kModeNames[p] + " measurement";
    case St::kBackloopStart: return "before the backloop test";
    case St::kBackloopBody:
    case St::kBackloopRate: return "in the backloop test";
    case St::kLibraryFailed:
    case St::kClosing:
    case St::kAfterTests:
    case St::kAfterDeviceClose:
    case St::kEnd: return "at the close";
  }
  return "";
}

}  // namespace reader

LogReader::LogReader(std::function<void(const FailureLine&)> on_failure)
    : s_(std::make_unique<State>()) {
  s_->on_failure = std::move(on_failure);
}
LogReader::~LogReader() = default;

void LogReader::Feed(const char* data, size_t n, double now) {
  State& s = *s_;
  s.log.bytes += n;
  if (s.finished || s.log.foreign) return;
  s.now = now;
  while (n > 0 && !s.log.foreign) {
    const char* nl = static_cast<const char*>(std::memchr(data, '\n', n));
    const size_t take = nl ? static_cast<size_t>(nl - data) : n;
    if (!s.overlong) {
      const size_t room = kMaxLine - s.line.size();
      s.line.append(data, take < room ? take : room);
      if (take > room) s.overlong = true;
    }
    if (!nl) return;
    if (s.overlong) {
      ++s.log.lines;
      s.Foreign(s.line, "longer than any line the utility prints");
    } else {
      s.Line(s.line);
    }
    s.line.clear();
    s.overlong = false;
    data = nl + 1;
    n -= take + 1;
  }
}

void LogReader::Finish() {
  State& s = *s_;
  if (s.finished) return;
  s.finished = true;
  RunLog& log = s.log;
  if (log.foreign) return;
  if (!s.line.empty()) {
    // The text after the last line end: a whole message that lacks only its line end, or the
    // start of one that the cut broke off, or not the utility's at all.
    const std::string partial = s.line;
    std::string_view text = partial;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    ++log.lines;
    const Message m = Classify(text, s.blank);
    const St before = s.st;
    if (s.overlong || m.kind == Msg::kUnknown || !s.Step(m, text)) {
      s.st = before;
      if (s.overlong || !CouldBeCutShort(text)) {
        s.Foreign(text, "not a line the utility prints");
        return;
      }
      log.stopped = "in the middle of a line, " + s.Where();
      return;
    }
    s.blank = false;
  }
  if (log.bytes == 0) {
    log.stopped = "before its first byte (it is empty)";
    return;
  }
  switch (s.st) {
    case St::kLibraryFailed:
    case St::kClosing:
    case St::kAfterTests:
    case St::kAfterDeviceClose:
    case St::kEnd: log.complete = !s.blank; break;
    default: break;
  }
  if (!log.complete) log.stopped = s.Where();
}

const RunLog& LogReader::Log() const { return s_->log; }
std::string LogReader::Where() const { return s_->Where(); }

size_t LogReader::RetainedBytes() const {
  size_t n = s_->line.capacity();
  for (const FailureLine& f : s_->log.failure_lines) n += sizeof f + f.text.capacity();
  return n;
}

RunLog ReadLog(const std::string& text) {
  LogReader reader;
  reader.Feed(text.data(), text.size());
  reader.Finish();
  return reader.Log();
}

}  // namespace report
