// A figure with one decimal, as the report shows rates and limits in every output.
#pragma once

#include <cstdio>
#include <string>

namespace report {

inline std::string OneDecimal(double v) {
  char s[32];
  std::snprintf(s, sizeof s, "%.1f", v);
  return s;
}

}  // namespace report
