#include "one_decimal.h"
#include "report/board.h"

namespace report {
namespace {

std::string Ceiling(const Link& l) { return OneDecimal(CeilingMBytes(l)) + " MByte/sec"; }

// Trained below its maximum speed or width: the rates' ceiling is the trained link's, and a
// board in a slot that could carry more is worth a look (a bad seat, a riser, a BIOS setting).
TestResult LinkCheck(const BoardFacts& f) {
  TestResult t{"board.link", "link"};
  if (!f.trained.Known()) {
    t.verdict = Verdict::kNotRun;
    t.reason = "no link known, so no rate is judged against a ceiling (--link genGxW gives one)";
    return t;
  }
  t.figure = LinkName(f.trained);
  t.measurements.push_back({"trained ceiling", CeilingMBytes(f.trained), "MByte/sec"});
  if (!f.maximum.Known()) {
    t.verdict = Verdict::kPass;
    t.reason = "the link is " + LinkName(f.trained) + " (from " + f.link_source +
               ", one direction's ceiling " + Ceiling(f.trained) + "); its maximum is not known";
    return t;
  }
  t.measurements.push_back({"maximum ceiling", CeilingMBytes(f.maximum), "MByte/sec"});
  if (f.trained.gen < f.maximum.gen || f.trained.width < f.maximum.width) {
    t.verdict = Verdict::kWarn;
    t.reason = "the link trained at " + LinkName(f.trained) + ", below its maximum " +
               LinkName(f.maximum) + ": one direction's ceiling is " + Ceiling(f.trained) +
               " instead of " + Ceiling(f.maximum);
    t.figure += " of " + LinkName(f.maximum);
    return t;
  }
  t.verdict = Verdict::kPass;
  t.reason = "the link trained at its maximum, " + LinkName(f.trained) +
             " (one direction's ceiling " + Ceiling(f.trained) + ")";
  return t;
}

bool Uncorrectable(const ErrorBit& b) { return b.kind != ErrorBit::Kind::kCorrectable; }

// The board's AER status before and after the run: what became set during it is the run's.
// The status bits are sticky, so one already set before the run hides a repeat of itself.
TestResult ErrorsCheck(const BoardFacts& f) {
  TestResult t{"board.errors", "error registers"};
  const ErrorReading& before = f.errors_before;
  const ErrorReading& after = f.errors_after;
  const bool status = before.read && after.read;
  const bool counted = before.counted && after.counted;
  const ErrorReading& missing = before.read ? after : before;
  const std::string unread =
      "the board's error registers (AER) were not read " +
      std::string(before.read ? "after" : "before") + " the run: " +
      (missing.unread.empty() ? "a saved log (--run reads them before and after its run)"
                              : missing.unread);
  if (!status && !counted) {
    t.verdict = Verdict::kNotRun;
    t.reason = unread;
    return t;
  }
  std::vector<ErrorBit> fresh, old;
  auto contains = [](const std::vector<ErrorBit>& bits, const ErrorBit& b) {
    for (const ErrorBit& o : bits)
      if (o == b) return true;
    return false;
  };
  if (status)
    for (const ErrorBit& b : after.set) (contains(before.set, b) ? old : fresh).push_back(b);
  // An error the kernel counted during the run, whatever its status bit shows now.
  if (counted)
    for (const ErrorCount& c : after.counts) {
      uint64_t was = 0;
      for (const ErrorCount& o : before.counts)
        if (o.error == c.error) was = o.count;
      if (c.count > was && !contains(fresh, c.error)) fresh.push_back(c.error);
    }
  size_t fresh_uncorrectable = 0;
  for (const ErrorBit& b : fresh) fresh_uncorrectable += Uncorrectable(b);
  t.measurements.push_back(
      {"uncorrectable errors during the run", static_cast<double>(fresh_uncorrectable), "bits"});
  t.measurements.push_back({"correctable errors during the run",
                            static_cast<double>(fresh.size() - fresh_uncorrectable), "bits"});
  t.measurements.push_back({"set before the run", static_cast<double>(old.size()), "bits"});
  const std::string how = " (" + (status ? "read " + after.access : std::string()) +
                          (status && counted ? ", and " : "") +
                          (counted ? "the kernel's AER counters" : "") + ")";
  if (fresh_uncorrectable > 0) {
    t.verdict = Verdict::kFail;
    t.reason = "during the run the AER recorded " + ErrorBitsText(fresh) +
               ": a transaction failed on the link" + how;
  } else if (!fresh.empty()) {
    t.verdict = Verdict::kWarn;
    t.reason = "during the run the AER recorded " + ErrorBitsText(fresh) +
               ": the link retried, so the data stayed whole, but it is marginal (the seat, the "
               "slot, a riser, the board's design)" +
               how;
  } else {
    t.verdict = Verdict::kPass;
    t.reason = "no error bit of the AER became set during the run" + how;
  }
  t.figure = fresh.empty() ? "none new" : ErrorBitsText(fresh);
  if (!old.empty())
    t.reason += "; already set before it, so not blamed on it: " + ErrorBitsText(old) +
                " (a repeat does not show until they are cleared: `fpga-diag-setup clear-errors " +
                f.address + "`)";
  if (status && after.kernel_controls_aer)
    t.reason +=
        "; the kernel controls AER here and clears the status at each reset of the board, "
        "vfio-pci's at the run's open and close among them: its counters are the run's record";
  if (!status) t.reason += "; " + unread;
  if (status && !after.port_unread.empty())
    t.reason += "; the port above it was not read: " + after.port_unread;
  return t;
}

}  // namespace

const char* KindName(ErrorBit::Kind kind) {
  switch (kind) {
    case ErrorBit::Kind::kCorrectable: return "correctable";
    case ErrorBit::Kind::kNonFatal: return "non-fatal";
    case ErrorBit::Kind::kFatal: return "fatal";
  }
  return "?";
}

std::string ErrorBitsText(const std::vector<ErrorBit>& bits) {
  std::string text;
  for (bool uncorrectable : {true, false})
    for (const ErrorBit& b : bits) {
      if (Uncorrectable(b) != uncorrectable) continue;
      text += (text.empty() ? "" : ", ") + b.name + " (" +
              (uncorrectable ? "uncorrectable, " : "") + KindName(b.kind) +
              (b.port ? ", in the port above it, " + b.function : "") + ")";
    }
  return text.empty() ? "none" : text;
}

std::vector<TestResult> BoardChecks(const BoardFacts& facts) {
  // The errors first: a run's verdict names the first check that warns, and errors on the link
  // are the likelier cause of a link that trained below its maximum than the other way round.
  return {ErrorsCheck(facts), LinkCheck(facts)};
}

}  // namespace report
