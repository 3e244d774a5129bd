// JUnit XML as GitLab and Jenkins read it: one testsuite a board, one testcase a test, the
// reason in the failure element, the measurements as properties.
#include <cstdio>
#include <sstream>

#include "report/outputs.h"
#include "xml_text.h"

namespace report {

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // The length of a well-formed UTF-8 sequence starting here; 0 when it is not one.
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    for (size_t k = 1; k < len; ++k)
      if (i + k >= text.size() || (static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) len = 0;
    if (len > 1) {
      out.append(text, i, len);
      i += len - 1;
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (len == 1 && (c >= 0x20 || c == '\n' || c == '\t')) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      out += esc;
    }
  }
  return out;
}

namespace {

std::string Attr(const std::string& name, const std::string& value) {
  return " " + name + "=\"" + XmlEscape(value) + "\"";
}

std::string Property(const std::string& name, const std::string& value) {
  return "<property" + Attr("name", name) + Attr("value", value) + "/>";
}

std::string Figure(const Measurement& m) {
  char s[64];
  std::snprintf(s, sizeof s, "%.6g", m.value);
  return std::string(s) + (m.unit.empty() ? "" : " " + m.unit);
}

std::string Reading(const ErrorReading& r) {
  if (!r.read) return "not read" + (r.unread.empty() ? std::string() : ": " + r.unread);
  return ErrorBitsText(r.set);
}

bool Failed(const TestResult& t, bool strict) {
  return t.verdict == Verdict::kFail || t.verdict == Verdict::kIncomplete ||
         (t.verdict == Verdict::kWarn && strict);
}

void Case(std::ostream& out, const std::string& classname, const TestResult& t, bool strict) {
  out << "    <testcase" << Attr("name", t.name) << Attr("classname", classname)
      << " time=\"0\">\n";
  if (!t.measurements.empty()) {
    out << "      <properties>\n";
    for (const Measurement& m : t.measurements) {
      out << "        " << Property(m.name, Figure(m)) << "\n";
      if (m.floor)
        out << "        " << Property(m.name + ".floor", std::to_string(*m.floor)) << "\n";
      if (m.ceiling)
        out << "        " << Property(m.name + ".ceiling", std::to_string(*m.ceiling)) << "\n";
      if (m.share)
        out << "        " << Property(m.name + ".share", std::to_string(*m.share)) << "\n";
    }
    out << "      </properties>\n";
  }
  if (Failed(t, strict))
    out << "      <failure" << Attr("message", t.reason) << Attr("type", VerdictName(t.verdict))
        << ">" << XmlEscape(t.reason) << "</failure>\n";
  else if (t.verdict == Verdict::kNotRun)
    out << "      <skipped" << Attr("message", t.reason) << "/>\n";
  else if (t.verdict == Verdict::kWarn)
    out << "      <system-out>" << XmlEscape("WARN: " + t.reason) << "</system-out>\n";
  out << "    </testcase>\n";
}

}  // namespace

std::string JunitText(const Report& r) {
  std::ostringstream suites;
  size_t all = 0, all_failed = 0, all_skipped = 0;
  double all_time = 0;
  for (const BoardReport& b : r.boards) {
    const std::string where = b.facts.address.empty() ? "board" : b.facts.address;
    std::vector<const TestResult*> cases;
    for (const TestResult& t : b.tests) cases.push_back(&t);
    for (const TestResult& t : b.checks) cases.push_back(&t);
    size_t failed = 0, skipped = 0;
    for (const TestResult* t : cases) {
      failed += Failed(*t, r.options.strict);
      skipped += t->verdict == Verdict::kNotRun;
    }
    all += cases.size();
    all_failed += failed;
    all_skipped += skipped;
    all_time += b.run.seconds;
    suites << "  <testsuite" << Attr("name", "fpga-diag " + where)
           << Attr("tests", std::to_string(cases.size()))
           << Attr("failures", std::to_string(failed)) << " errors=\"0\""
           << Attr("skipped", std::to_string(skipped))
           << Attr("time", std::to_string(b.run.seconds)) << Attr("timestamp", r.time)
           << Attr("hostname", r.host) << ">\n";
    suites << "    <properties>\n";
    suites << "      " << Property("verdict", VerdictName(b.verdict)) << "\n";
    suites << "      " << Property("reason", b.reason) << "\n";
    suites << "      " << Property("board.address", b.facts.address) << "\n";
    suites << "      " << Property("link.trained", LinkName(b.facts.trained)) << "\n";
    suites << "      " << Property("link.maximum", LinkName(b.facts.maximum)) << "\n";
    suites << "      " << Property("ceiling", std::to_string(b.ceiling)) << "\n";
    suites << "      " << Property("floor", std::to_string(b.floor)) << "\n";
    suites << "      " << Property("errors.before", Reading(b.facts.errors_before)) << "\n";
    suites << "      " << Property("errors.after", Reading(b.facts.errors_after)) << "\n";
    suites << "      " << Property("log.path", b.log_file.path) << "\n";
    suites << "      " << Property("log.sha256", b.log_file.sha256) << "\n";
    suites << "    </properties>\n";
    const std::string classname = "fpga-diag." + where;
    for (const TestResult* t : cases) Case(suites, classname, *t, r.options.strict);
    suites << "  </testsuite>\n";
  }
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out << "<testsuites" << Attr("name", "fpga-diag-report") << Attr("tests", std::to_string(all))
      << Attr("failures", std::to_string(all_failed)) << " errors=\"0\""
      << Attr("skipped", std::to_string(all_skipped)) << Attr("time", std::to_string(all_time))
      << ">\n"
      << suites.str() << "</testsuites>\n";
  return out.str();
}

}  // namespace report
