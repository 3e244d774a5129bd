// The judge's parts, each test's judgement in the unit of its kind.
#pragma once

#include <string>
#include <vector>

#include "report/judge.h"

namespace report {

// The more serious of two verdicts: PASS < WARN < NOT RUN < INCOMPLETE < FAIL.
Verdict Worse(Verdict a, Verdict b);

// Why a test is missing from the log or ends in it unfinished.
struct Gate {
  std::string not_reached;  // set when the run could not reach the tests at all ("no board")
  std::string stopped;      // where and how the output stops short ("the log stops in ...")
  // `started`: the test began and the output stops in it (INCOMPLETE); else it never began
  // (NOT RUN).
  void Absent(bool started, TestResult* t) const;
};

void JudgePerformance(const BoardReport& b, const Gate& gate, std::vector<TestResult>* out);
void JudgeBackloop(const BoardReport& b, const Gate& gate, std::vector<TestResult>* out);

}  // namespace report
