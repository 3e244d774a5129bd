// Verdicts: each test's, with its reason in one sentence and its measurements, and the run's.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace report {

enum class Verdict { kPass, kWarn, kFail, kNotRun, kIncomplete };
const char* VerdictName(Verdict v);  // "PASS", "WARN", "FAIL", "NOT RUN", "INCOMPLETE"

struct Measurement {
  Measurement() = default;
  Measurement(std::string n, double v, std::string u)
      : name(std::move(n)), value(v), unit(std::move(u)) {}
  std::string name;
  double value = 0;
  std::string unit;
  std::optional<double> floor;    // the least a healthy board gives
  std::optional<double> ceiling;  // the most the link can carry
  std::optional<double> share;    // value / ceiling
  int wraps = 0;                  // 16-bit count wraps added to the printed figure
  std::string printed;            // the figure as the utility printed it, where it differs
};

struct TestResult {
  TestResult() = default;
  TestResult(std::string i, std::string n) : id(std::move(i)), name(std::move(n)) {}
  std::string id;    // "bar0.uint16", "integrity.memory-write", "performance.read", ...
  std::string name;  // "BAR0 uint16", ...
  Verdict verdict = Verdict::kNotRun;
  std::string reason;  // one sentence
  std::string figure;  // the key figure for a table ("1432.6 MByte/sec, 75% of the ceiling")
  std::vector<Measurement> measurements;
};

}  // namespace report
