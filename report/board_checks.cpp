#include <cstdio>

#include "report/board.h"

namespace report {
namespace {

std::string Ceiling(const Link& l) {
  char s[48];
  std::snprintf(s, sizeof s, "%.1f MByte/sec", CeilingMBytes(l));
  return s;
}

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

}  // namespace

std::vector<TestResult> BoardChecks(const BoardFacts& facts) { return {LinkCheck(facts)}; }

}  // namespace report
