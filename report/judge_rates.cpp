// The performance modes and the backloop against the link: each direction's total below its
// ceiling (above it the figure cannot be true) and above its floor; the 16-bit counts' wraps
// resolved where the ceiling leaves one reading.
#include <cmath>
#include <cstdio>
#include <map>

#include "judge_parts.h"
#include "one_decimal.h"
#include "report/judge.h"

namespace report {
namespace {

std::string Percent(double share) {
  char s[16];
  std::snprintf(s, sizeof s, "%.0f%%", share * 100);
  return s;
}

// Each channel's readings: the printed figure plus whole wraps, none above the ceiling. A
// figure of 4096 or more cannot come from a 16-bit count, so it is taken as printed.
std::vector<double> Readings(double printed, double ceiling) {
  std::vector<double> r{printed};
  if (printed < 0 || printed >= kWrapMBytes) return r;
  for (double v = printed + kWrapMBytes; v <= ceiling; v += kWrapMBytes) r.push_back(v);
  return r;
}

}  // namespace

DirectionJudgement JudgeDirection(const std::vector<double>& printed, double ceiling, double floor,
                                  bool counted) {
  DirectionJudgement d;
  double sum = 0;
  for (double p : printed) {
    if (!std::isfinite(p) || p < 0) {
      d.verdict = Verdict::kFail;
      d.reason = "a rate that is no figure: a measurement fault";
      return d;
    }
    if (p == 0) {
      d.verdict = Verdict::kFail;
      d.reason = "a rate of 0: no transfer was counted in its second";
      return d;
    }
    sum += p;
  }
  d.value = sum;
  if (ceiling <= 0) {
    d.reason = OneDecimal(sum) + " MByte/sec, not judged: no link known";
    return d;
  }
  if (sum > ceiling) {
    d.verdict = Verdict::kFail;
    d.reason = OneDecimal(sum) + " MByte/sec is faster than the link can carry (" +
               OneDecimal(ceiling) + "): a measurement fault";
    return d;
  }
  // Every total the channels' readings make that the link could carry, by its wraps.
  std::map<long long, int> totals;  // total (in 1/16 MByte/sec, exact) -> wraps
  std::vector<std::vector<double>> readings;
  for (double p : printed)
    readings.push_back(counted ? Readings(p, ceiling) : std::vector<double>{p});
  std::vector<size_t> at(printed.size(), 0);
  for (;;) {
    double t = 0;
    int wraps = 0;
    for (size_t i = 0; i < at.size(); ++i) {
      t += readings[i][at[i]];
      wraps += static_cast<int>(at[i]);
    }
    if (t <= ceiling && t >= floor) totals.emplace(std::llround(t * 16), wraps);
    size_t i = 0;
    while (i < at.size() && ++at[i] == readings[i].size()) at[i++] = 0;
    if (i == at.size()) break;
  }
  if (totals.empty()) {
    d.verdict = Verdict::kWarn;
    d.reason = OneDecimal(sum) + " MByte/sec is " + Percent(sum / ceiling) + " of the ceiling (" +
               OneDecimal(ceiling) + "), below the floor of " + OneDecimal(floor);
    return d;
  }
  if (totals.size() > 1) {
    d.verdict = Verdict::kWarn;
    d.ambiguous = true;
    std::string list;
    size_t n = 0;
    for (const auto& [t, w] : totals)
      list += (n++ == 0             ? ""
               : n == totals.size() ? " or "
                                    : ", ") +
              OneDecimal(static_cast<double>(t) / 16);
    d.reason = "the printed " + OneDecimal(sum) +
               " MByte/sec may be a 16-bit count that wrapped: " + list +
               " MByte/sec all lie between the floor (" + OneDecimal(floor) +
               ") and the ceiling (" + OneDecimal(ceiling) + ")";
    return d;
  }
  d.value = static_cast<double>(totals.begin()->first) / 16;
  d.wraps = totals.begin()->second;
  d.reason = OneDecimal(d.value) + " MByte/sec, " + Percent(d.value / ceiling) + " of the ceiling";
  if (d.wraps > 0)
    d.reason += " (printed " + OneDecimal(sum) + ": the 16-bit count wrapped " +
                (d.wraps == 1   ? std::string("once")
                 : d.wraps == 2 ? std::string("twice")
                                : std::to_string(d.wraps) + " times") +
                ")";
  return d;
}

namespace {

struct Channel {
  const char* name;
  int rate;  // index among the nine result lines
};
struct Direction {
  const char* name;  // "write", "read"
  std::vector<Channel> channels;
};
struct Mode {
  const char* id;
  const char* name;
  std::vector<Direction> directions;
};

const Mode kModes[kPerfModes] = {
    {"performance.write", "write", {{"write", {{"write", 0}}}}},
    {"performance.read", "read", {{"read", {{"read", 1}}}}},
    {"performance.two-reads",
     "2 read channels",
     {{"read", {{"read channel 1", 2}, {"read channel 2", 3}}}}},
    {"performance.read-write", "read/write", {{"write", {{"write", 4}}}, {"read", {{"read", 5}}}}},
    {"performance.read-write-two-reads",
     "read/write, 2 read channels",
     {{"write", {{"write", 6}}}, {"read", {{"read channel 1", 7}, {"read channel 2", 8}}}}},
};

}  // namespace

void JudgePerformance(const BoardReport& b, const Gate& gate, std::vector<TestResult>* out) {
  const Performance& perf = b.log.perf;
  for (int m = 0; m < kPerfModes; ++m) {
    const Mode& mode = kModes[m];
    TestResult t{mode.id, mode.name};
    const int last_rate = mode.directions.back().channels.back().rate;
    if (perf.lock_failure.present) {
      t.verdict = Verdict::kFail;
      t.reason = "not measured: the performance test could not lock its buffers: \"" +
                 perf.lock_failure.line + "\"";
      out->push_back(std::move(t));
      continue;
    }
    if (!perf.rates[static_cast<size_t>(last_rate)].seen) {
      gate.Absent(perf.modes_started > m, &t);
      out->push_back(std::move(t));
      continue;
    }
    t.verdict = Verdict::kPass;
    for (const Direction& dir : mode.directions) {
      std::vector<double> printed;
      double sum = 0;
      for (const Channel& c : dir.channels) {
        const Rate& r = perf.rates[static_cast<size_t>(c.rate)];
        printed.push_back(r.value);
        sum += r.value;
        t.measurements.push_back({c.name, r.value, "MByte/sec"});
      }
      // The direction's total carries the limits: one channel's figure, or two channels' sum.
      if (dir.channels.size() > 1)
        t.measurements.push_back({std::string(dir.name) + " direction", sum, "MByte/sec"});
      const DirectionJudgement d = JudgeDirection(printed, b.ceiling, b.floor);
      Measurement& total = t.measurements.back();
      total.value = d.value;
      total.wraps = d.wraps;
      if (d.wraps > 0) total.printed = OneDecimal(sum);
      if (b.ceiling > 0) {
        total.floor = b.floor;
        total.ceiling = b.ceiling;
        if (!d.ambiguous) total.share = d.value / b.ceiling;
      }
      t.verdict = Worse(t.verdict, d.verdict);
      const bool named = mode.directions.size() > 1 || dir.channels.size() > 1;
      const std::string label =
          std::string(dir.name) + (dir.channels.size() > 1 ? " (two channels)" : "");
      t.reason += (t.reason.empty() ? "" : "; ") + (named ? label + ": " : "") + d.reason;
      t.figure += (t.figure.empty() ? "" : ", ") + (named ? label + " " : "") +
                  OneDecimal(d.value) + (total.share ? " (" + Percent(*total.share) + ")" : "");
    }
    t.figure += " MByte/sec";
    out->push_back(std::move(t));
  }
}

void JudgeBackloop(const BoardReport& b, const Gate& gate, std::vector<TestResult>* out) {
  const Backloop& bl = b.log.backloop;
  TestResult t{"backloop", "backloop"};
  auto failed = [&](const std::string& why) {
    t.verdict = Verdict::kFail;
    t.reason = why;
  };
  switch (bl.end) {
    case BackloopEnd::kNotStarted: gate.Absent(false, &t); break;
    case BackloopEnd::kHeadingOnly:
    case BackloopEnd::kMismatchesOnly:
      if (b.log.complete || (b.run.ran && b.run.exited)) {
        failed(
            "it ended after its heading without a result: its 50 MiB buffers could not be "
            "allocated, or its completion event could not be made");
      } else {
        gate.Absent(true, &t);
      }
      break;
    case BackloopEnd::kSgLockFailure:
    case BackloopEnd::kContigLockFailure:
    case BackloopEnd::kEnableFailure: failed("not run: \"" + bl.failure.line + "\""); break;
    case BackloopEnd::kWaitFailure:
      failed("device interrupts waiting failure: the backloop's completion never came");
      break;
    case BackloopEnd::kResult: {
      t.measurements.push_back({"mismatches", static_cast<double>(bl.mismatches), "bytes"});
      Measurement rate{"rate", bl.rate.value, "MByte/sec"};
      const DirectionJudgement d = JudgeDirection({bl.rate.value}, b.ceiling, b.floor, false);
      if (b.ceiling > 0) {
        rate.floor = b.floor;
        rate.ceiling = b.ceiling;
        rate.share = bl.rate.value / b.ceiling;
      }
      t.measurements.push_back(rate);
      t.verdict = d.verdict;
      t.reason = d.reason;
      if (bl.mismatches != 0) {
        t.verdict = Verdict::kFail;
        t.reason =
            std::to_string(bl.mismatches) + " of its 52428800 bytes came back wrong; " + d.reason;
      }
      t.figure = std::to_string(bl.mismatches) + " mismatches, " + OneDecimal(bl.rate.value) +
                 " MByte/sec";
      break;
    }
  }
  out->push_back(std::move(t));
}

}  // namespace report
