#include "report/log_reader.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "messages.h"

namespace report {
namespace {

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
constexpr Msg kModeRates[kPerfModes][3] = {
    {Msg::kWriteRate},
    {Msg::kReadRate},
    {Msg::kChannel1Rate, Msg::kChannel2Rate},
    {Msg::kWriteRate, Msg::kReadRate},
    {Msg::kWriteRate, Msg::kChannel1Rate, Msg::kChannel2Rate},
};
constexpr int kModeRateCount[kPerfModes] = {1, 1, 2, 2, 3};
constexpr const char* kPhaseNames[] = {"bytes", "uint16", "uint32", "uint64"};
constexpr const char* kPassNames[] = {"memory-write pass", "memory-read pass"};
constexpr const char* kModeNames[] = {"write", "read", "two read channels", "read/write",
                                      "read/write with two read channels"};
constexpr size_t kKeptText = 512;  // of a failure line kept for the outputs

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

}  // namespace

struct LogReader::State {
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

bool LogReader::State::Step(const Message& m, std::string_view text) {
  const Msg kind = m.kind;
  auto status_failure = [&](StatusLine* into) {
    *into = m.status;
    Failure(text);
  };
  switch (st) {
    case St::kStart:
      if (kind != Msg::kBanner) return false;
      log.banner = true;
      st = St::kAfterBanner;
      return true;
    case St::kAfterBanner:
      switch (kind) {
        case Msg::kLibraryOpenFailure: log.discovery = Discovery::kLibraryFailed; break;
        case Msg::kScanFailure: log.discovery = Discovery::kScanFailed; break;
        case Msg::kNoDevice: log.discovery = Discovery::kNoDevice; break;
        case Msg::kInfoFailure: log.discovery = Discovery::kInfoFailed; break;
        case Msg::kOpenFailure: log.discovery = Discovery::kOpenFailed; break;
        case Msg::kBar0Heading:
          log.discovery = Discovery::kOpened;
          st = St::kBar0Writing;
          p = 0;
          return true;
        default: return false;
      }
      if (m.status.present) log.discovery_failure = m.status;
      Failure(text);
      st = kind == Msg::kLibraryOpenFailure ? St::kLibraryFailed : St::kClosing;
      return true;
    case St::kBar0Writing:
      if (kind != Msg::kBar0Writing || m.index != p) return false;
      log.bar0[static_cast<size_t>(p)].writing = true;
      st = St::kBar0Reading;
      return true;
    case St::kBar0Reading: {
      if (kind != Msg::kBar0Reading || m.index != p) return false;
      Bar0Width& w = log.bar0[static_cast<size_t>(p)];
      w.reading = w.done = true;
      w.success = m.success;
      w.item = static_cast<uint32_t>(m.number);
      w.value = m.value;
      if (!m.success) Failure(text);
      if (++p < 4) {
        st = St::kBar0Writing;
      } else {
        p = 0;
        st = St::kPassTitle;
      }
      return true;
    }
    case St::kPassTitle:
      if (kind != Msg::kPassTitle || m.index != p) return false;
      Pass().end = PassEnd::kRunning;
      st = St::kPressAny;
      return true;
    case St::kPressAny:
      if (kind != Msg::kPressAny) return false;
      st = St::kPassStart;
      return true;
    case St::kPassStart:
      if (kind == Msg::kSizeLine && m.number == kSizes) break;  // below, with every size line
      if (kind == Msg::kContigLockFailure) {
        status_failure(&Pass().failure);
        EndPass(PassEnd::kLockFailure);
        return true;
      }
      if (kind == Msg::kIntEnableFailure) {
        status_failure(&Pass().failure);
        EndPass(PassEnd::kEnableFailure);
        return true;
      }
      if (kind == Msg::kPerfHeading && m.index == 0) {  // no event: not a word, the next test
        EndPass(PassEnd::kSilent);
        return Step(m, text);
      }
      return false;
    case St::kSizeCounts: {
      IntegrityPass& pass = Pass();
      SizeCounts& c = pass.counts[pass.in_progress];
      if (k == 0 && kind == Msg::kInterrupted) {
        EndPass(PassEnd::kInterrupted);
        return true;
      }
      if (k == 0 && kind == Msg::kWaitFailure) {
        Failure(text, pass.in_progress);
        EndPass(PassEnd::kWaitFailure);
        return true;
      }
      constexpr Msg kOrder[3] = {Msg::kCountSizeMismatches, Msg::kCountCorrupted,
                                 Msg::kCountMismatched};
      if (kind != kOrder[k]) return false;
      const auto n = static_cast<uint32_t>(m.number);
      (k == 0 ? c.size_mismatches : k == 1 ? c.corrupted : c.mismatched) = n;
      if (n != 0) Failure(text, pass.in_progress);
      if (++k == 3) SizeDone();
      return true;
    }
    case St::kAfterSize: {
      IntegrityPass& pass = Pass();
      if (pass.lowest_done > 1) {
        if (kind != Msg::kSizeLine || m.number != pass.lowest_done - 1) return false;
        break;
      }
      if (kind != Msg::kTotal) return false;
      // The total is the sum of the counts above, in 64 bits or, as the oldest form of the
      // utility kept it, in 32.
      const uint64_t sum = pass.totals[0] + pass.totals[1] + pass.totals[2];
      if (m.number != sum && m.number != (sum & 0xFFFFFFFFu)) return false;
      pass.printed_total = m.number;
      EndPass(PassEnd::kComplete);
      return true;
    }
    case St::kPerfStart:
      if (kind == Msg::kContigLockFailure) {
        log.perf.reached = true;
        status_failure(&log.perf.lock_failure);
        st = St::kBackloopStart;
        return true;
      }
      if (kind == Msg::kBackloopHeading) {
        // The pass's "lock failure" was the performance test's: the pass ended silently.
        IntegrityPass& pass = log.passes[static_cast<size_t>(p)];
        if (pass.end != PassEnd::kLockFailure) return false;
        log.perf.reached = true;
        log.perf.lock_failure = pass.failure;
        pass.failure = StatusLine{};
        pass.end = PassEnd::kSilent;
        st = St::kBackloopStart;
        return Step(m, text);
      }
      if (kind != Msg::kPerfHeading || m.index != 0) return false;
      p = 0;
      k = 0;
      log.perf.reached = true;
      log.perf.modes_started = 1;
      st = St::kPerfRates;
      return true;
    case St::kPerfRates: {
      if (kind != kModeRates[p][k]) return false;
      Rate& r = log.perf.rates[static_cast<size_t>(rate_index++)];
      r.seen = true;
      r.value = m.rate;
      r.text = std::string(m.text);
      if (!(m.rate > 0)) Failure(text);
      if (++k < kModeRateCount[p]) return true;
      st = ++p < kPerfModes ? St::kPerfNext : St::kBackloopStart;
      return true;
    }
    case St::kPerfNext:
      if (kind != Msg::kPerfHeading || m.index != p) return false;
      ++log.perf.modes_started;
      k = 0;
      st = St::kPerfRates;
      return true;
    case St::kBackloopStart:
      if (kind != Msg::kBackloopHeading) return false;
      log.backloop.end = BackloopEnd::kHeadingOnly;
      log.backloop.mbytes = std::string(m.text);
      st = St::kBackloopBody;
      return true;
    case St::kBackloopBody: {
      Backloop& b = log.backloop;
      switch (kind) {
        case Msg::kSgLockFailure: b.end = BackloopEnd::kSgLockFailure; break;
        case Msg::kContigLockFailure: b.end = BackloopEnd::kContigLockFailure; break;
        case Msg::kIntEnableFailure: b.end = BackloopEnd::kEnableFailure; break;
        case Msg::kWaitFailure: b.end = BackloopEnd::kWaitFailure; break;
        case Msg::kMismatches:
          b.end = BackloopEnd::kMismatchesOnly;
          b.mismatches = static_cast<uint32_t>(m.number);
          if (b.mismatches != 0) Failure(text);
          st = St::kBackloopRate;
          return true;
        case Msg::kCloseFailure:
        case Msg::kUninitFailure:  // nothing after the heading: the run went on to its close
          st = St::kAfterTests;
          return Step(m, text);
        default: return false;
      }
      if (m.status.present) b.failure = m.status;
      Failure(text);
      st = St::kAfterTests;
      return true;
    }
    case St::kBackloopRate:
      if (kind != Msg::kBackloopRate) return false;
      log.backloop.end = BackloopEnd::kResult;
      log.backloop.rate = Rate{true, m.rate, std::string(m.text)};
      st = St::kAfterTests;
      return true;
    case St::kAfterTests:
      if (kind == Msg::kCloseFailure) {
        status_failure(&log.device_close_failure);
        st = St::kAfterDeviceClose;
        return true;
      }
      [[fallthrough]];
    case St::kAfterDeviceClose:
    case St::kClosing:
      if (kind != Msg::kUninitFailure) return false;
      status_failure(&log.library_close_failure);
      st = St::kEnd;
      return true;
    case St::kLibraryFailed:
    case St::kEnd: return false;
  }
  // A size line that fits: the size begins.
  IntegrityPass& pass = Pass();
  pass.in_progress = static_cast<uint32_t>(m.number);
  pass.counts[pass.in_progress] = SizeCounts{};
  if (pass.first_size_at < 0) pass.first_size_at = now;
  pass.last_size_at = now;
  ++pass.size_lines;
  k = 0;
  st = St::kSizeCounts;
  return true;
}

void LogReader::State::Line(std::string_view text) {
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

std::string LogReader::State::Expected() const {
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

std::string LogReader::State::Where() const {
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
