// The JSON document, field by field as report.schema.json describes it.
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>

#include "report/outputs.h"

namespace report {
namespace {

using nlohmann::json;

json OrNull(const std::string& s) { return s.empty() ? json(nullptr) : json(s); }
json Number(double v) { return std::isfinite(v) ? json(v) : json(nullptr); }

std::string Hex4(uint32_t v) {
  char s[12];
  std::snprintf(s, sizeof s, "0x%04x", v);
  return s;
}

json LinkJson(const Link& l) {
  if (!l.Known()) return nullptr;
  return {{"gen", l.gen}, {"width", l.width}, {"ceiling", CeilingMBytes(l)}};
}

json TestJson(const TestResult& t) {
  json ms = json::array();
  for (const Measurement& m : t.measurements) {
    json j = {{"name", m.name}, {"value", Number(m.value)}, {"unit", m.unit}};
    json limits = json::object();
    if (m.floor) limits["floor"] = *m.floor;
    if (m.ceiling) limits["ceiling"] = *m.ceiling;
    j["limits"] = limits;
    if (m.share) j["share"] = Number(*m.share);
    if (m.wraps) j["wraps"] = m.wraps;
    if (!m.printed.empty()) j["printed"] = m.printed;
    ms.push_back(j);
  }
  return {{"id", t.id},         {"name", t.name},     {"verdict", VerdictName(t.verdict)},
          {"reason", t.reason}, {"figure", t.figure}, {"measurements", ms}};
}

const char* EndName(PassEnd e) {
  switch (e) {
    case PassEnd::kNotStarted: return "not-started";
    case PassEnd::kRunning: return "stopped";
    case PassEnd::kComplete: return "complete";
    case PassEnd::kInterrupted: return "interrupted";
    case PassEnd::kWaitFailure: return "wait-failure";
    case PassEnd::kLockFailure: return "lock-failure";
    case PassEnd::kEnableFailure: return "enable-failure";
    case PassEnd::kSilent: return "silent";
  }
  return "?";
}

json PassJson(const IntegrityPass& p, const char* name) {
  json sizes = json::array();
  for (uint32_t f = kSizes; f >= 1; --f) {
    const SizeCounts& c = p.counts[f];
    const bool done = p.sizes_done > 0 && f >= p.lowest_done;
    if (!done || c.Sum() == 0) continue;
    sizes.push_back({{"size", f},
                     {"transfer_size_mismatches", c.size_mismatches},
                     {"corrupted_memory_bytes", c.corrupted},
                     {"mismatched_data_bytes", c.mismatched}});
  }
  json covered = {{"count", p.sizes_done}, {"from", nullptr}, {"to", nullptr}};
  if (p.sizes_done) {
    covered["from"] = kSizes;
    covered["to"] = p.lowest_done;
  }
  return {{"pass", name},
          {"end", EndName(p.end)},
          {"sizes_covered", covered},
          {"in_progress", p.in_progress ? json(p.in_progress) : json(nullptr)},
          {"sizes_with_errors", sizes},
          {"totals",
           {{"transfer_size_mismatches", p.totals[0]},
            {"corrupted_memory_bytes", p.totals[1]},
            {"mismatched_data_bytes", p.totals[2]},
            {"all", p.totals[0] + p.totals[1] + p.totals[2]}}},
          {"printed_total", p.end == PassEnd::kComplete ? json(p.printed_total) : json(nullptr)}};
}

json ReadingJson(const ErrorReading& r) {
  json set = json::array();
  for (const ErrorBit& b : r.set)
    set.push_back(
        {{"function", b.function}, {"port", b.port}, {"name", b.name}, {"kind", KindName(b.kind)}});
  json counts = json::array();
  for (const ErrorCount& c : r.counts)
    counts.push_back({{"function", c.error.function},
                      {"port", c.error.port},
                      {"name", c.error.name},
                      {"kind", KindName(c.error.kind)},
                      {"count", c.count}});
  return {{"read", r.read},
          {"access", r.read ? json(r.access) : json(nullptr)},
          {"not_read", r.read ? json(nullptr) : OrNull(r.unread)},
          {"port_not_read", OrNull(r.port_unread)},
          {"set", set},
          {"counted", r.counted},
          {"counts", counts},
          {"kernel_controls_aer", r.kernel_controls_aer}};
}

json BoardJson(const BoardReport& b, const Options& o) {
  const BoardFacts& f = b.facts;
  json board = {
      {"address", OrNull(f.address)},
      {"vendor_id", f.vendor_id ? json(Hex4(f.vendor_id)) : json(nullptr)},
      {"device_id", f.device_id ? json(Hex4(f.device_id)) : json(nullptr)},
      {"link",
       {{"source", OrNull(f.link_source)},
        {"trained", LinkJson(f.trained)},
        {"maximum", LinkJson(f.maximum)}}},
      {"ceiling", b.ceiling > 0 ? json(b.ceiling) : json(nullptr)},
      {"floor", b.ceiling > 0 ? json(b.floor) : json(nullptr)},
      {"floor_share", o.min_share},
      {"errors",
       {{"before", ReadingJson(f.errors_before)}, {"after", ReadingJson(f.errors_after)}}}};
  json run = nullptr;
  if (b.run.ran) {
    run = {{"program", f.program},
           {"exit_status", b.run.exited ? json(b.run.exit_status) : json(nullptr)},
           {"signal", b.run.exited ? json(nullptr) : json(b.run.signal)},
           {"seconds", b.run.seconds}};
  }
  json tests = json::array(), checks = json::array(), failures = json::array();
  for (const TestResult& t : b.tests) tests.push_back(TestJson(t));
  for (const TestResult& t : b.checks) checks.push_back(TestJson(t));
  for (const FailureLine& l : b.log.failure_lines)
    failures.push_back(
        {{"line", l.line}, {"size", l.size ? json(l.size) : json(nullptr)}, {"text", l.text}});
  return {{"board", board},
          {"run", run},
          {"log",
           {{"path", b.log_file.path},
            {"sha256", b.log_file.sha256},
            {"bytes", b.log_file.bytes},
            {"lines", b.log.lines},
            {"complete", b.log.complete},
            {"stopped", b.log.complete ? json(nullptr) : json(b.log.stopped)}}},
          {"verdict", VerdictName(b.verdict)},
          {"reason", b.reason},
          {"tests", tests},
          {"checks", checks},
          {"integrity", json::array({PassJson(b.log.passes[0], "memory-write"),
                                     PassJson(b.log.passes[1], "memory-read")})},
          {"failure_lines", failures},
          {"failure_lines_left_out", b.log.failure_lines_left_out}};
}

}  // namespace

std::string JsonText(const Report& r) {
  json boards = json::array();
  for (const BoardReport& b : r.boards) boards.push_back(BoardJson(b, r.options));
  const json doc = {{"schema_version", kJsonSchemaVersion},
                    {"program", {{"name", "fpga-diag-report"}, {"version", r.program_version}}},
                    {"time", r.time},
                    {"host", r.host},
                    {"options",
                     {{"min_share", r.options.min_share},
                      {"partial_ok", r.options.partial_ok},
                      {"strict", r.options.strict}}},
                    {"verdict", VerdictName(r.verdict)},
                    {"reason", r.reason},
                    {"exit_status", r.exit_status},
                    {"boards", boards}};
  // Text that is not UTF-8 (a log's stray bytes) is replaced rather than refused.
  return doc.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace report
