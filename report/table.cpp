#include <cstdio>

#include "report/outputs.h"

namespace report {
namespace {

std::string Pad(const std::string& s, size_t width) {
  return s.size() >= width ? s + " " : s + std::string(width - s.size(), ' ');
}

void Row(std::ostream& out, const TestResult& t) {
  out << "  " << Pad(t.name, 30) << Pad(VerdictName(t.verdict), 11) << t.figure << "\n";
}

// The reasons of the tests that did not pass; tests in a row with the same reason (all those a
// missing board kept from running, say) on one line.
void Reasons(std::ostream& out, const std::vector<TestResult>& tests) {
  for (size_t i = 0; i < tests.size();) {
    size_t j = i + 1;
    while (j < tests.size() && tests[j].reason == tests[i].reason &&
           tests[j].verdict == tests[i].verdict)
      ++j;
    if (tests[i].verdict != Verdict::kPass) {
      std::string names = tests[i].name;
      if (j - i == 2) names += " and " + tests[i + 1].name;
      if (j - i > 2) names += " and the " + std::to_string(j - i - 1) + " tests after it";
      out << "  " << names << ": " << tests[i].reason << "\n";
    }
    i = j;
  }
}

std::string Board(const BoardReport& b) {
  std::string s = b.facts.address.empty() ? "board not known" : "board " + b.facts.address;
  if (b.facts.vendor_id) {
    char ids[24];
    std::snprintf(ids, sizeof ids, " (%04x:%04x)", b.facts.vendor_id, b.facts.device_id);
    s += ids;
  }
  if (b.ceiling > 0) {
    char lim[160];
    std::snprintf(lim, sizeof lim,
                  ", link %s from %s: ceiling %.1f MByte/sec a direction, floor %.1f (%.0f%%)",
                  LinkName(b.facts.trained).c_str(), b.facts.link_source.c_str(), b.ceiling,
                  b.floor, b.ceiling > 0 ? b.floor / b.ceiling * 100 : 0.0);
    s += lim;
  } else {
    s += ", no link known: the rates are not judged against a ceiling";
  }
  return s;
}

}  // namespace

void WriteTable(const Report& report, std::ostream& out) {
  for (const BoardReport& b : report.boards) {
    out << Board(b) << "\n";
    if (!b.log_file.path.empty()) out << "log " << b.log_file.path << "\n";
    for (const TestResult& t : b.tests) Row(out, t);
    for (const TestResult& t : b.checks) Row(out, t);
    Reasons(out, b.tests);
    Reasons(out, b.checks);
    out << VerdictName(b.verdict) << ": " << b.reason << "\n";
    if (report.boards.size() > 1) out << "\n";
  }
  if (report.boards.size() > 1) {
    out << "All boards:\n";
    for (const BoardReport& b : report.boards)
      out << "  " << Pad(b.facts.address.empty() ? "?" : b.facts.address, 14)
          << Pad(VerdictName(b.verdict), 11) << b.reason << "\n";
    out << VerdictName(report.verdict) << ": " << report.reason << "\n";
  }
}

}  // namespace report
