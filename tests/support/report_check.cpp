#include "report_check.h"

#include <regex>
#include <sstream>

#include "report/link.h"
#include "report/log_reader.h"

namespace report_check {

report::BoardReport Judge(const std::string& output, const e2e::RunResult* run,
                          const std::string& link, const report::Options& options) {
  report::BoardFacts facts;
  if (!link.empty()) {
    report::ParseLink(link, &facts.trained);
    facts.link_source = "--link";
  }
  report::RunEnd end;
  if (run) {
    end.ran = true;
    end.exited = run->exited;
    end.exit_status = run->exit_status;
    end.signal = run->term_signal;
  }
  return report::JudgeBoard(report::ReadLog(output), facts, end, report::LogFile{}, options);
}

::testing::AssertionResult Holds(const report::BoardReport& b, const std::vector<Expect>& expect) {
  if (b.log.foreign)
    return ::testing::AssertionFailure()
           << "the report refuses the output at line " << b.log.foreign_line << ": "
           << b.log.foreign_text << " (" << b.log.foreign_why << ")";
  std::ostringstream why;
  for (const Expect& e : expect) {
    const report::TestResult* t = nullptr;
    for (const auto* list : {&b.tests, &b.checks})
      for (const report::TestResult& r : *list)
        if (r.id == e.test) t = &r;
    const report::Verdict got = t ? t->verdict : b.verdict;
    const std::string& reason = t ? t->reason : b.reason;
    if (!e.test.empty() && !t) {
      why << "no test " << e.test << "\n";
    } else if (got != e.verdict || reason.find(e.reason) == std::string::npos) {
      why << (e.test.empty() ? "the board" : e.test) << ": " << report::VerdictName(got) << ", \""
          << reason << "\"; expected " << report::VerdictName(e.verdict) << " with \"" << e.reason
          << "\"\n";
    }
  }
  if (why.str().empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << why.str();
}

std::vector<Expect> Bar0Expectations(const std::string& bar0) {
  static const char* const kNames[] = {"bytes", "uint16", "uint32", "uint64"};
  std::vector<Expect> out;
  for (int k = 0; k < 4; ++k) {
    const std::regex line(std::string("Reading of ") + kNames[k] +
                          " array from BAR0 memory\\.\\.\\. (success|failed at address ([0-9]+), "
                          "value is ([0-9]+))\n");
    std::smatch m;
    if (!std::regex_search(bar0, m, line)) continue;
    if (m[1] == "success")
      out.push_back({std::string("bar0.") + kNames[k], Verdict::kPass, ""});
    else
      out.push_back({std::string("bar0.") + kNames[k], Verdict::kFail,
                     "item " + m[2].str() + " (byte offset " +
                         std::to_string(std::stoull(m[2]) << k) + ") read back " + m[3].str()});
  }
  return out;
}

std::string Quoted(const std::string& oracle_line) {
  std::string s = oracle_line;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  // An expected text doubles its percent signs; the reason holds the line as printed.
  for (size_t at = s.find("%%"); at != std::string::npos; at = s.find("%%", at + 1)) s.erase(at, 1);
  return "\"" + s + "\"";
}

}  // namespace report_check
