// The report's verdicts on what the utility printed: the end-to-end cases judge the outputs they
// already have with the report's own judge (fd_report) and check the verdicts and reasons their
// rows imply. Expected reasons are built from the oracle's texts where they quote the utility.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_harness.h"
#include "report/judge.h"

namespace report_check {

using report::Verdict;
inline constexpr Verdict kPass = Verdict::kPass;
inline constexpr Verdict kWarn = Verdict::kWarn;
inline constexpr Verdict kFail = Verdict::kFail;
inline constexpr Verdict kNotRun = Verdict::kNotRun;
inline constexpr Verdict kIncomplete = Verdict::kIncomplete;

// A test's verdict (or the board's, for test "") and a part its reason must hold ("" for any).
struct Expect {
  std::string test;
  Verdict verdict;
  std::string reason;
};

// The report of `output` as the report judges a run of it that ended as `run` did (a saved log
// when `run` is null), against `link` ("gen2x4"; empty: none).
report::BoardReport Judge(const std::string& output, const e2e::RunResult* run = nullptr,
                          const std::string& link = "", const report::Options& options = {});

::testing::AssertionResult Holds(const report::BoardReport& b, const std::vector<Expect>& expect);

// What the report says of each BAR0 width of an expected BAR0 test (oracle::Bar0Test's text):
// PASS for "success", FAIL naming the item and the value for a failure line.
std::vector<Expect> Bar0Expectations(const std::string& bar0);

// The quoted failure line as a reason holds it: the oracle's expected line without its line end.
std::string Quoted(const std::string& oracle_line);

}  // namespace report_check

// Judges a run's output as the report would have judged it through --run, and checks it.
#define EXPECT_JUDGED(run_result, ...)                                                         \
  EXPECT_TRUE(::report_check::Holds(::report_check::Judge((run_result).output, &(run_result)), \
                                    __VA_ARGS__))
