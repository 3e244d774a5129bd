// The page's charts, inline SVG: errors by transfer size for both integrity passes (every size
// with an error drawn on its own, the three counts in lanes of their own), and each mode's
// throughput and the backloop's as bars against the link's ceiling and floor.
#include "html_charts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "one_decimal.h"
#include "xml_text.h"

namespace report {
namespace {

constexpr double kPlotX = 130, kPlotW = 860, kWidth = 1010;
constexpr double kLaneH = 34;

std::string Num(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%.2f", v);
  return s;
}

// The left edge of size f (sizes 1 to 4096 from left to right).
double SizeX(uint32_t f) { return kPlotX + (f - 1) * kPlotW / kSizes; }

const char* const kLaneNames[] = {"size mismatches", "corrupted bytes", "mismatched bytes"};
const char* const kLaneClasses[] = {"err err-size", "err err-corrupt", "err err-data"};
const char* const kLaneWords[] = {"transfer size mismatches", "corrupted memory bytes",
                                  "mismatched data bytes"};

void PassPanel(std::ostringstream& o, const IntegrityPass& p, const char* name, double top) {
  o << "<text class=\"panel\" x=\"4\" y=\"" << Num(top + 14) << "\">" << name << "</text>\n";
  const double lanes_top = top + 22, h = 3 * kLaneH;
  o << "<rect class=\"uncovered\" x=\"" << Num(kPlotX) << "\" y=\"" << Num(lanes_top)
    << "\" width=\"" << Num(kPlotW) << "\" height=\"" << Num(h) << "\"/>\n";
  if (p.sizes_done > 0) {
    const double x = SizeX(p.lowest_done);
    o << "<rect class=\"covered\" x=\"" << Num(x) << "\" y=\"" << Num(lanes_top) << "\" width=\""
      << Num(kPlotX + kPlotW - x) << "\" height=\"" << Num(h) << "\"><title>sizes 4096 to "
      << p.lowest_done << " covered</title></rect>\n";
  }
  if (p.in_progress)
    o << "<rect class=\"stop\" x=\"" << Num(SizeX(p.in_progress)) << "\" y=\"" << Num(lanes_top)
      << "\" width=\"2\" height=\"" << Num(h) << "\"><title>stopped at size " << p.in_progress
      << "</title></rect>\n";
  uint32_t most = 1;
  for (uint32_t f = 1; f <= kSizes; ++f) {
    const SizeCounts& c = p.counts[f];
    most = std::max({most, c.size_mismatches, c.corrupted, c.mismatched});
  }
  const double log_most = std::log10(static_cast<double>(most) + 1);
  for (int lane = 0; lane < 3; ++lane) {
    const double y0 = lanes_top + lane * kLaneH;
    o << "<text class=\"lane\" x=\"" << Num(kPlotX - 6) << "\" y=\"" << Num(y0 + kLaneH / 2 + 4)
      << "\">" << kLaneNames[lane] << "</text>\n";
    if (lane > 0)
      o << "<line class=\"lane-rule\" x1=\"" << Num(kPlotX) << "\" x2=\"" << Num(kPlotX + kPlotW)
        << "\" y1=\"" << Num(y0) << "\" y2=\"" << Num(y0) << "\"/>\n";
    if (p.sizes_done == 0) continue;
    for (uint32_t f = p.lowest_done; f <= kSizes; ++f) {
      const SizeCounts& c = p.counts[f];
      const uint32_t n = lane == 0 ? c.size_mismatches : lane == 1 ? c.corrupted : c.mismatched;
      if (n == 0) continue;
      // At least a quarter of the lane, so that a single error stands out among 4096 sizes.
      const double bar = (kLaneH - 4) * (0.25 + 0.75 * std::log10(n + 1.0) / log_most);
      o << "<rect class=\"" << kLaneClasses[lane] << "\" x=\"" << Num(SizeX(f)) << "\" y=\""
        << Num(y0 + kLaneH - 2 - bar) << "\" width=\"2\" height=\"" << Num(bar) << "\"><title>size "
        << f << ": " << n << " " << kLaneWords[lane] << "</title></rect>\n";
    }
  }
  for (uint32_t f : {1u, 512u, 1024u, 1536u, 2048u, 2560u, 3072u, 3584u, 4096u})
    o << "<text class=\"tick\" x=\"" << Num(SizeX(f)) << "\" y=\"" << Num(lanes_top + h + 14)
      << "\">" << f << "</text>\n";
}

struct Bar {
  std::string label;
  double value;
  Verdict verdict;
  std::string note;
};

const char* BarClass(Verdict v) {
  switch (v) {
    case Verdict::kPass: return "rate-bar bar-pass";
    case Verdict::kWarn: return "rate-bar bar-warn";
    case Verdict::kFail: return "rate-bar bar-fail";
    default: return "rate-bar bar-other";
  }
}

}  // namespace

std::string ErrorsChart(const RunLog& log) {
  std::ostringstream o;
  const double panel = 22 + 3 * kLaneH + 26;
  o << "<svg class=\"chart errors\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << kWidth
    << " " << Num(2 * panel + 10) << "\" width=\"" << kWidth << "\" height=\""
    << Num(2 * panel + 10) << "\" role=\"img\"><title>errors by transfer size</title>\n";
  PassPanel(o, log.passes[0], "memory-write pass", 0);
  PassPanel(o, log.passes[1], "memory-read pass", panel);
  o << "</svg>\n";
  return o.str();
}

std::string RatesChart(const BoardReport& b) {
  std::vector<Bar> bars;
  for (const TestResult& t : b.tests) {
    const bool perf = t.id.rfind("performance.", 0) == 0;
    if (!perf && t.id != "backloop") continue;
    for (const Measurement& m : t.measurements) {
      if (m.unit != "MByte/sec" || m.name.find("channel") != std::string::npos) continue;
      std::string note;
      if (m.wraps) note = "count wrapped, printed " + m.printed;
      bars.push_back({t.name + (t.measurements.size() > 1 && perf ? ": " + m.name : ""), m.value,
                      t.verdict, note});
    }
  }
  if (bars.empty()) return "<p class=\"small\">No rate was measured.</p>\n";
  double top = b.ceiling;
  for (const Bar& bar : bars)
    if (std::isfinite(bar.value)) top = std::max(top, bar.value);
  if (top <= 0) top = 1;
  top *= 1.08;
  constexpr double kLabelW = 250, kBarW = 520, kRowH = 24;
  const double height = 30 + kRowH * static_cast<double>(bars.size()) + 10;
  auto x = [&](double v) { return kLabelW + std::clamp(v, 0.0, top) / top * kBarW; };
  std::ostringstream o;
  o << "<svg class=\"chart rates\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " << kWidth
    << " " << Num(height) << "\" width=\"" << kWidth << "\" height=\"" << Num(height)
    << "\" role=\"img\"><title>throughput against the link</title>\n";
  for (size_t i = 0; i < bars.size(); ++i) {
    const Bar& bar = bars[i];
    const double y = 30 + kRowH * static_cast<double>(i);
    o << "<text class=\"lane\" x=\"" << Num(kLabelW - 8) << "\" y=\"" << Num(y + 16) << "\">"
      << XmlEscape(bar.label) << "</text>\n";
    o << "<rect class=\"" << BarClass(bar.verdict) << "\" x=\"" << Num(kLabelW) << "\" y=\""
      << Num(y + 4) << "\" width=\"" << Num(x(std::isfinite(bar.value) ? bar.value : 0) - kLabelW)
      << "\" height=\"" << Num(kRowH - 8) << "\"><title>" << XmlEscape(bar.label) << ": "
      << Num(bar.value) << " MByte/sec</title></rect>\n";
    char share[16] = "";
    if (b.ceiling > 0) std::snprintf(share, sizeof share, " (%.0f%%)", bar.value / b.ceiling * 100);
    o << "<text class=\"value\" x=\"" << Num(x(bar.value) + 6) << "\" y=\"" << Num(y + 16) << "\">"
      << OneDecimal(bar.value) << share
      << (bar.note.empty() ? "" : " " + XmlEscape("[" + bar.note + "]")) << "</text>\n";
  }
  if (b.ceiling > 0) {
    const double bottom = height - 6;
    o << "<line class=\"ceiling\" x1=\"" << Num(x(b.ceiling)) << "\" x2=\"" << Num(x(b.ceiling))
      << "\" y1=\"22\" y2=\"" << Num(bottom) << "\"/>\n"
      << "<text class=\"limit\" x=\"" << Num(x(b.ceiling)) << "\" y=\"16\">ceiling "
      << OneDecimal(b.ceiling) << "</text>\n"
      << "<line class=\"floor\" x1=\"" << Num(x(b.floor)) << "\" x2=\"" << Num(x(b.floor))
      << "\" y1=\"22\" y2=\"" << Num(bottom) << "\"/>\n"
      << "<text class=\"limit\" x=\"" << Num(x(b.floor)) << "\" y=\"16\">floor "
      << OneDecimal(b.floor) << "</text>\n";
  }
  o << "</svg>\n";
  return o.str();
}

}  // namespace report
