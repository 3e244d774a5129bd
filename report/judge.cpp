// The run, BAR0 and integrity judgements, the board's verdict and the run's.
#include "report/judge.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#include "judge_parts.h"

namespace report {
namespace {

constexpr const char* kPhaseNames[] = {"bytes", "uint16", "uint32", "uint64"};
constexpr uint32_t kPhaseItems[] = {4096, 2048, 1024, 512};
constexpr const char* kPassIds[] = {"integrity.memory-write", "integrity.memory-read"};
constexpr const char* kPassNames[] = {"memory-write pass", "memory-read pass"};

int Rank(Verdict v) {
  switch (v) {
    case Verdict::kPass: return 0;
    case Verdict::kWarn: return 1;
    case Verdict::kNotRun: return 2;
    case Verdict::kIncomplete: return 3;
    case Verdict::kFail: return 4;
  }
  return 4;
}

std::string Plural(uint64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Quoted(const StatusLine& s) { return "\"" + s.line + "\""; }

std::string SignalName(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    case SIGPIPE: return "SIGPIPE";
    case SIGKILL: return "SIGKILL";
    case SIGSEGV: return "SIGSEGV";
    case SIGABRT: return "SIGABRT";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
  }
  return "signal " + std::to_string(sig);
}

bool Crash(int sig) {
  return sig == SIGSEGV || sig == SIGABRT || sig == SIGBUS || sig == SIGFPE || sig == SIGILL;
}

// "3 sizes with errors, the first at 4093: 1 corrupted memory byte"
std::string Errors(const IntegrityPass& p) {
  const SizeCounts& c = p.counts[p.first_error_size];
  std::string what;
  auto add = [&what](uint32_t n, const char* one, const char* many) {
    if (n == 0) return;
    what += (what.empty() ? "" : ", ") + Plural(n, one, many);
  };
  add(c.size_mismatches, "transfer size mismatch", "transfer size mismatches");
  add(c.corrupted, "corrupted memory byte", "corrupted memory bytes");
  add(c.mismatched, "mismatched data byte", "mismatched data bytes");
  return Plural(p.sizes_with_errors, "size", "sizes") + " with errors, the first at " +
         std::to_string(p.first_error_size) + ": " + what;
}

// "sizes 4096 to 4094 (3 of 4096)"
std::string Covered(const IntegrityPass& p) {
  if (p.sizes_done == 0) return "no whole size";
  if (p.sizes_done == kSizes) return "all 4096 sizes";
  return "sizes 4096 to " + std::to_string(p.lowest_done) + " (" + std::to_string(p.sizes_done) +
         " of 4096)";
}

TestResult JudgeRun(const RunLog& log, const RunEnd& run, const Gate& gate) {
  TestResult t{"run", "run"};
  auto fail = [&t](const std::string& why) {
    if (t.verdict == Verdict::kFail) return;
    t.verdict = Verdict::kFail;
    t.reason = why;
  };
  switch (log.discovery) {
    case Discovery::kNotReached: break;
    case Discovery::kLibraryFailed:
      fail("the library did not open: " + Quoted(log.discovery_failure));
      break;
    case Discovery::kScanFailed:
      fail("the PCI scan failed: " + Quoted(log.discovery_failure));
      break;
    case Discovery::kNoDevice: fail("no board"); break;
    case Discovery::kInfoFailed:
      fail("the board's resources could not be read: " + Quoted(log.discovery_failure));
      break;
    case Discovery::kOpenFailed:
      fail("the board could not be opened: " + Quoted(log.discovery_failure));
      break;
    case Discovery::kOpened: break;
  }
  if (log.device_close_failure.present)
    fail("the board's handle did not close: " + Quoted(log.device_close_failure));
  if (log.library_close_failure.present) {
    const std::string& text = log.library_close_failure.text;
    const std::string left = "resources left at close: ";
    if (text.rfind(left, 0) == 0)
      fail("the library's close found what the run left behind: " + text.substr(left.size()));
    else
      fail("the library did not close: " + Quoted(log.library_close_failure));
  }
  if (run.ran && !run.exited && Crash(run.signal))
    fail("the utility crashed (" + SignalName(run.signal) + ") " + log.stopped);
  if (run.ran && run.exited && run.exit_status != 0)
    fail("the utility exited with status " + std::to_string(run.exit_status) +
         ", where it always exits with 0");
  if (t.verdict == Verdict::kFail) return t;
  if (!log.complete) {
    t.verdict = Verdict::kIncomplete;
    t.reason = gate.stopped;
    return t;
  }
  t.verdict = Verdict::kPass;
  t.reason = "the library opened, found the board and opened it, and closed with nothing left";
  return t;
}

TestResult JudgeBar0(const RunLog& log, int k, const Gate& gate) {
  const Bar0Width& w = log.bar0[static_cast<size_t>(k)];
  TestResult t{std::string("bar0.") + kPhaseNames[k], std::string("BAR0 ") + kPhaseNames[k]};
  if (!w.done) {
    gate.Absent(w.writing, &t);
    return t;
  }
  const unsigned width = 1u << k;
  if (w.success) {
    t.verdict = Verdict::kPass;
    t.reason = "all " + std::to_string(kPhaseItems[k]) + " items read back as written";
    t.figure = std::to_string(kPhaseItems[k]) + " items";
    return t;
  }
  const uint64_t expected = k == 0 ? w.item % 256 : w.item;
  t.verdict = Verdict::kFail;
  t.reason = "item " + std::to_string(w.item) + " (byte offset " + std::to_string(w.item * width) +
             ") read back " + std::to_string(w.value) + ", not " + std::to_string(expected) +
             ": the first of its items to come back wrong";
  t.figure = "item " + std::to_string(w.item) + " wrong";
  t.measurements.push_back({"first wrong item", static_cast<double>(w.item), "item"});
  t.measurements.push_back({"value read", static_cast<double>(w.value), ""});
  t.measurements.push_back({"value written", static_cast<double>(expected), ""});
  return t;
}

TestResult JudgePass(const RunLog& log, int i, const RunEnd& run, const Gate& gate) {
  const IntegrityPass& p = log.passes[static_cast<size_t>(i)];
  TestResult t{kPassIds[i], kPassNames[i]};
  t.measurements.push_back({"sizes covered", static_cast<double>(p.sizes_done), "sizes"});
  t.measurements.push_back(
      {"sizes with errors", static_cast<double>(p.sizes_with_errors), "sizes"});
  t.measurements.push_back(
      {"transfer size mismatches", static_cast<double>(p.totals[0]), "transfers"});
  t.measurements.push_back({"corrupted memory bytes", static_cast<double>(p.totals[1]), "bytes"});
  t.measurements.push_back({"mismatched data bytes", static_cast<double>(p.totals[2]), "bytes"});
  if (run.ran && p.size_lines >= 2 && p.last_size_at > p.first_size_at)
    t.measurements.push_back(
        {"pace", 4096.0 * (p.size_lines - 1) / (p.last_size_at - p.first_size_at), "transfers/s"});
  t.figure = p.sizes_with_errors ? Plural(p.sizes_with_errors, "size", "sizes") + " with errors"
                                 : std::to_string(p.sizes_done) + " of 4096 sizes";
  const std::string errors = p.sizes_with_errors ? Errors(p) : "";
  const std::string at = std::to_string(p.in_progress);
  switch (p.end) {
    case PassEnd::kNotStarted: {
      const IntegrityPass& w = log.passes[0];
      if (i == 1 && w.end == PassEnd::kInterrupted) {
        t.reason = "not run: a key ended the memory-write pass";
      } else if (i == 1 && w.end != PassEnd::kComplete && w.end != PassEnd::kRunning &&
                 w.end != PassEnd::kNotStarted) {
        t.reason = "not run: the memory-write pass did not run to its end";
      } else {
        gate.Absent(false, &t);
      }
      t.figure.clear();
      break;
    }
    case PassEnd::kRunning:
      gate.Absent(true, &t);
      if (!errors.empty()) {
        t.verdict = Verdict::kFail;
        t.reason = errors + "; then " + gate.stopped;
      }
      break;
    case PassEnd::kComplete:
      t.verdict = errors.empty() ? Verdict::kPass : Verdict::kFail;
      t.reason = errors.empty() ? "all 4096 sizes, no errors" : errors;
      break;
    case PassEnd::kInterrupted:
      if (!errors.empty()) {
        t.verdict = Verdict::kFail;
        t.reason = errors + "; then a key ended it at size " + at;
      } else {
        t.verdict = Verdict::kIncomplete;
        t.reason = "a key ended it at size " + at + ": it covered " + Covered(p) +
                   (p.sizes_done ? ", none with errors" : "");
      }
      break;
    case PassEnd::kWaitFailure:
      t.verdict = Verdict::kFail;
      t.reason = "device interrupts waiting failure at size " + at +
                 (errors.empty() ? "" : "; before it, " + errors);
      break;
    case PassEnd::kLockFailure:
    case PassEnd::kEnableFailure:
      t.verdict = Verdict::kFail;
      t.reason = "not run: " + Quoted(p.failure);
      t.figure.clear();
      break;
    case PassEnd::kSilent:
      t.verdict = Verdict::kFail;
      t.reason =
          "it ended before its first size without a word: its completion event could "
          "not be made";
      t.figure.clear();
      break;
  }
  return t;
}

// "a key ended the memory-write pass at size 4095: it covered ...; the memory-read pass did
// not run"
std::string KeyCoverage(const RunLog& log) {
  const IntegrityPass& w = log.passes[0];
  const IntegrityPass& r = log.passes[1];
  if (w.end == PassEnd::kInterrupted)
    return "a key ended the memory-write pass at size " + std::to_string(w.in_progress) +
           ": it covered " + Covered(w) + "; the memory-read pass did not run";
  return "the memory-write pass covered all 4096 sizes; a key ended the memory-read pass at "
         "size " +
         std::to_string(r.in_progress) + ": it covered " + Covered(r);
}

void Decide(BoardReport* b, const Options& options) {
  const TestResult* first[5] = {};  // the first test of each rank
  bool only_the_key = true;         // every INCOMPLETE and NOT RUN test is the key's doing
  auto weigh = [&](const TestResult& t, bool is_check) {
    if (is_check && t.verdict == Verdict::kNotRun) return;  // a check that could not be made
    const int r = Rank(t.verdict);
    if (!first[r]) first[r] = &t;
    if (t.verdict == Verdict::kIncomplete || t.verdict == Verdict::kNotRun)
      only_the_key = only_the_key && b->key_ended && t.id.rfind("integrity.", 0) == 0;
  };
  for (const TestResult& t : b->tests) weigh(t, false);
  for (const TestResult& t : b->checks) weigh(t, true);
  auto said = [](const TestResult* t) { return t->name + ": " + t->reason; };
  const bool partial = first[Rank(Verdict::kIncomplete)] || first[Rank(Verdict::kNotRun)];
  if (first[Rank(Verdict::kFail)]) {
    b->verdict = Verdict::kFail;
    b->reason = said(first[Rank(Verdict::kFail)]);
  } else if (partial && !(options.partial_ok && only_the_key)) {
    b->verdict = Verdict::kIncomplete;
    const TestResult* t = first[Rank(Verdict::kIncomplete)];
    b->reason = b->key_ended && only_the_key ? KeyCoverage(b->log)
                                             : said(t ? t : first[Rank(Verdict::kNotRun)]);
  } else if (first[Rank(Verdict::kWarn)]) {
    b->verdict = options.strict ? Verdict::kFail : Verdict::kWarn;
    b->reason = (options.strict ? "a warning fails the run (--strict): " : "") +
                said(first[Rank(Verdict::kWarn)]);
  } else {
    b->verdict = Verdict::kPass;
    b->reason =
        partial ? KeyCoverage(b->log) + "; counted as passed (--partial-ok)" : "every test passed";
  }
  if (b->verdict == Verdict::kWarn && partial)
    b->reason += "; " + KeyCoverage(b->log) + ", counted as passed (--partial-ok)";
}

}  // namespace

const char* VerdictName(Verdict v) {
  switch (v) {
    case Verdict::kPass: return "PASS";
    case Verdict::kWarn: return "WARN";
    case Verdict::kFail: return "FAIL";
    case Verdict::kNotRun: return "NOT RUN";
    case Verdict::kIncomplete: return "INCOMPLETE";
  }
  return "?";
}

Verdict Worse(Verdict a, Verdict b) { return Rank(a) >= Rank(b) ? a : b; }

void Gate::Absent(bool started, TestResult* t) const {
  if (started) {
    t->verdict = Verdict::kIncomplete;
    t->reason = stopped;
  } else {
    t->verdict = Verdict::kNotRun;
    t->reason = !not_reached.empty() ? not_reached : "not reached: " + stopped;
  }
}

BoardReport JudgeBoard(const RunLog& log, const BoardFacts& facts, const RunEnd& run,
                       const LogFile& log_file, const Options& options) {
  BoardReport b;
  b.facts = facts;
  b.run = run;
  b.log_file = log_file;
  b.log = log;
  b.ceiling = CeilingMBytes(facts.trained);
  b.floor = b.ceiling * options.min_share;
  Gate gate;
  switch (log.discovery) {
    case Discovery::kLibraryFailed: gate.not_reached = "not run: the library did not open"; break;
    case Discovery::kScanFailed: gate.not_reached = "not run: the PCI scan failed"; break;
    case Discovery::kNoDevice: gate.not_reached = "not run: no board"; break;
    case Discovery::kInfoFailed:
    case Discovery::kOpenFailed: gate.not_reached = "not run: the board did not open"; break;
    default: break;
  }
  if (!log.complete) {
    if (run.ran && !run.exited)
      gate.stopped = "the utility was ended by " + SignalName(run.signal) + " " + log.stopped;
    else
      gate.stopped = "the log stops " + log.stopped;
  }
  b.tests.push_back(JudgeRun(log, run, gate));
  for (int k = 0; k < 4; ++k) b.tests.push_back(JudgeBar0(log, k, gate));
  for (int i = 0; i < 2; ++i) b.tests.push_back(JudgePass(log, i, run, gate));
  JudgePerformance(b, gate, &b.tests);
  JudgeBackloop(b, gate, &b.tests);
  b.checks = BoardChecks(facts);
  b.key_ended =
      log.passes[0].end == PassEnd::kInterrupted || log.passes[1].end == PassEnd::kInterrupted;
  Decide(&b, options);
  return b;
}

void Conclude(Report* report) {
  const BoardReport* worst = nullptr;
  int order = -1;
  for (const BoardReport& b : report->boards) {
    // FAIL, then INCOMPLETE, then WARN, then PASS.
    const int o = b.verdict == Verdict::kFail         ? 3
                  : b.verdict == Verdict::kIncomplete ? 2
                  : b.verdict == Verdict::kWarn       ? 1
                                                      : 0;
    if (o > order) {
      order = o;
      worst = &b;
    }
  }
  if (!worst) {
    report->verdict = Verdict::kFail;
    report->reason = "no run";
  } else if (report->boards.size() == 1) {
    report->verdict = worst->verdict;
    report->reason = worst->reason;
  } else if (order == 0) {
    report->verdict = Verdict::kPass;
    report->reason = "every board passed";
  } else {
    report->verdict = worst->verdict;
    report->reason = "board " +
                     (worst->facts.address.empty() ? std::string("?") : worst->facts.address) +
                     ": " + worst->reason;
  }
  report->exit_status =
      report->verdict == Verdict::kPass || report->verdict == Verdict::kWarn ? 0 : 1;
}

}  // namespace report
