// The state machine's steps: which message may come where, and what each one records.
#include "reader_state.h"

namespace report {
namespace reader {

bool State::Step(const Message& m, std::string_view text) {
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

}  // namespace reader
}  // namespace report
