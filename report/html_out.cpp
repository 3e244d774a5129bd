// One self-contained page: the verdict, each board with its link, the tests, the charts and the
// failure lines. Inline style, inline SVG; it needs no script and fetches nothing.
#include <cstdio>
#include <sstream>

#include "html_charts.h"
#include "one_decimal.h"
#include "report/outputs.h"
#include "xml_text.h"

namespace report {
namespace {

constexpr char kStyle[] = R"(
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; margin: 24px;
       color: #1b1f24; background: #fff; max-width: 1060px; }
h1 { font-size: 22px; margin: 0 0 8px; } h2 { font-size: 18px; margin: 28px 0 6px; }
h3 { font-size: 15px; margin: 18px 0 6px; }
.verdict { display: inline-block; padding: 4px 12px; border-radius: 4px; font-weight: bold;
           color: #fff; }
.v-PASS { background: #1a7f37; } .v-WARN { background: #b7791f; } .v-FAIL { background: #cf222e; }
.v-INCOMPLETE, .v-NOT-RUN { background: #57606a; }
.meta, .small { color: #57606a; font-size: 13px; }
table { border-collapse: collapse; font-size: 13px; width: 100%; }
th, td { text-align: left; padding: 3px 8px; border-bottom: 1px solid #d0d7de; vertical-align: top; }
td.verdict-cell { font-weight: bold; white-space: nowrap; }
td.t-PASS { color: #1a7f37; } td.t-WARN { color: #b7791f; } td.t-FAIL { color: #cf222e; }
td.t-INCOMPLETE, td.t-NOT-RUN { color: #57606a; }
pre { background: #f6f8fa; padding: 8px; font-size: 12px; overflow-x: auto; }
svg { font-size: 11px; display: block; margin: 4px 0; }
svg .uncovered { fill: #eaeef2; } svg .covered { fill: #dafbe1; } svg .stop { fill: #24292f; }
svg .err-size { fill: #bf8700; } svg .err-corrupt { fill: #cf222e; } svg .err-data { fill: #8250df; }
svg .lane, svg .panel { fill: #1b1f24; } svg .lane { text-anchor: end; }
svg .panel { font-weight: bold; font-size: 12px; } svg .lane-rule { stroke: #ffffff; }
svg .tick { fill: #57606a; text-anchor: middle; }
svg .bar-pass { fill: #2da44e; } svg .bar-warn { fill: #d4a72c; } svg .bar-fail { fill: #cf222e; }
svg .bar-other { fill: #8c959f; } svg .value { fill: #1b1f24; }
svg .ceiling { stroke: #cf222e; stroke-width: 2; } svg .floor { stroke: #57606a; stroke-width: 1.5;
  stroke-dasharray: 5 4; } svg .limit { fill: #57606a; text-anchor: middle; }
.legend span { display: inline-block; width: 12px; height: 12px; margin: 0 4px 0 12px;
               vertical-align: middle; }
)";

std::string Esc(const std::string& s) { return XmlEscape(s); }

std::string VerdictClass(Verdict v) {
  std::string name = VerdictName(v);
  for (char& c : name)
    if (c == ' ') c = '-';
  return name;
}

void Tests(std::ostringstream& o, const std::vector<TestResult>& tests) {
  for (const TestResult& t : tests)
    o << "<tr><td>" << Esc(t.name) << "</td><td class=\"verdict-cell t-" << VerdictClass(t.verdict)
      << "\">" << VerdictName(t.verdict) << "</td><td>" << Esc(t.figure) << "</td><td>"
      << Esc(t.reason) << "</td></tr>\n";
}

void Board(std::ostringstream& o, const BoardReport& b) {
  const BoardFacts& f = b.facts;
  o << "<section class=\"board\">\n<h2>Board "
    << Esc(f.address.empty() ? "(not known)" : f.address);
  if (f.vendor_id) {
    char ids[24];
    std::snprintf(ids, sizeof ids, " (%04x:%04x)", f.vendor_id, f.device_id);
    o << ids;
  }
  o << " <span class=\"verdict v-" << VerdictClass(b.verdict) << "\">" << VerdictName(b.verdict)
    << "</span></h2>\n<p>" << Esc(b.reason) << "</p>\n<p class=\"small\">";
  if (f.trained.Known()) {
    o << "Link " << LinkName(f.trained) << " (from " << Esc(f.link_source) << ")";
    if (f.maximum.Known()) o << ", maximum " << LinkName(f.maximum);
    o << ": ceiling " << OneDecimal(b.ceiling) << " MByte/sec a direction, floor "
      << OneDecimal(b.floor) << " (" << OneDecimal(b.floor / b.ceiling * 100) << "% of it).";
  } else {
    o << "No link known: the rates are not judged against a ceiling.";
  }
  if (!f.program.empty()) o << " Program: " << Esc(f.program) << ".";
  if (f.errors_before.read && f.errors_after.read) {
    o << " Error registers (AER, read " << Esc(f.errors_after.access) << "): before the run "
      << Esc(ErrorBitsText(f.errors_before.set)) << "; after it "
      << Esc(ErrorBitsText(f.errors_after.set)) << ".";
  }
  o << "</p>\n<table class=\"tests\"><tr><th>Test</th><th>Verdict</th><th>Figure</th>"
       "<th>Reason</th></tr>\n";
  Tests(o, b.tests);
  Tests(o, b.checks);
  o << "</table>\n<h3>Errors by transfer size</h3>\n<p class=\"legend small\">"
       "<span style=\"background:#dafbe1\"></span>sizes covered"
       "<span style=\"background:#bf8700\"></span>transfer size mismatches"
       "<span style=\"background:#cf222e\"></span>corrupted memory bytes"
       "<span style=\"background:#8250df\"></span>mismatched data bytes"
       " (bar height: the count, on a log scale)</p>\n"
    << ErrorsChart(b.log) << "<h3>Throughput against the link</h3>\n"
    << RatesChart(b);
  const Backloop& bl = b.log.backloop;
  o << "<h3>Backloop</h3>\n<p>";
  if (bl.end == BackloopEnd::kResult)
    o << bl.mismatches << " mismatches in 52428800 bytes; rate " << Esc(bl.rate.text)
      << " MByte/sec.";
  else
    o << "No result: " << Esc(b.tests.back().reason) << ".";
  o << "</p>\n<h3>Failure lines</h3>\n";
  if (b.log.failure_lines.empty()) {
    o << "<p class=\"small\">None.</p>\n";
  } else {
    o << "<pre class=\"failures\">";
    for (const FailureLine& l : b.log.failure_lines)
      o << "line " << l.line << (l.size ? ", size " + std::to_string(l.size) : "") << ": "
        << Esc(l.text) << "\n";
    if (b.log.failure_lines_left_out) o << "... and " << b.log.failure_lines_left_out << " more\n";
    o << "</pre>\n";
  }
  o << "<p class=\"small\">Log " << Esc(b.log_file.path) << ", " << b.log_file.bytes
    << " bytes, SHA-256 " << b.log_file.sha256 << ".</p>\n</section>\n";
}

}  // namespace

std::string HtmlText(const Report& r) {
  std::ostringstream o;
  o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
    << "<title>fpga-diag report: " << VerdictName(r.verdict) << "</title>\n<style>" << kStyle
    << "</style>\n</head>\n<body>\n<h1>fpga-diag report <span class=\"verdict v-"
    << VerdictClass(r.verdict) << "\" id=\"verdict\">" << VerdictName(r.verdict)
    << "</span></h1>\n<p>" << Esc(r.reason) << "</p>\n<p class=\"meta\">" << Esc(r.time) << " on "
    << Esc(r.host) << ", fpga-diag-report " << Esc(r.program_version) << "</p>\n";
  for (const BoardReport& b : r.boards) Board(o, b);
  o << "</body>\n</html>\n";
  return o.str();
}

}  // namespace report
