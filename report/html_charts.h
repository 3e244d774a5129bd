// The page's inline SVG charts.
#pragma once

#include <string>

#include "report/judge.h"

namespace report {

// Both integrity passes: the sizes covered, and every size with a non-zero count, one lane for
// each of the three counts (elements of class "err").
std::string ErrorsChart(const RunLog& log);
// Each performance direction and the backloop as a bar (class "rate-bar") against the ceiling
// (a line of class "ceiling") and the floor (class "floor").
std::string RatesChart(const BoardReport& board);

}  // namespace report
