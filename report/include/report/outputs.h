// The report's outputs, each from the same judged Report: the terminal table, the JSON
// document (its schema is report.schema.json, shipped beside the README), the JUnit XML that
// GitLab and Jenkins read, and one self-contained HTML page (inline SVG charts, no script, no
// network).
#pragma once

#include <ostream>
#include <string>

#include "report/judge.h"

namespace report {

inline constexpr int kJsonSchemaVersion = 1;

// Test, verdict and key figure for each board, the reasons of those that did not pass, and the
// verdict of the run.
void WriteTable(const Report& report, std::ostream& out);
std::string JsonText(const Report& report);
std::string JunitText(const Report& report);
std::string HtmlText(const Report& report);

}  // namespace report
