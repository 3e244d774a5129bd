#include "report/link.h"

#include <cstdlib>

namespace report {
namespace {

bool ValidWidth(long w) {
  return w == 1 || w == 2 || w == 4 || w == 8 || w == 12 || w == 16 || w == 32;
}

bool Digits(std::string_view s, long max, long* out) {
  if (s.empty() || s.size() > 2 || s[0] == '0') return false;
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v > max) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseLink(std::string_view text, Link* out) {
  if (text.substr(0, 3) != "gen") return false;
  text.remove_prefix(3);
  const size_t x = text.find('x');
  long gen = 0, width = 0;
  if (x == std::string_view::npos || !Digits(text.substr(0, x), 5, &gen) ||
      !Digits(text.substr(x + 1), 32, &width) || !ValidWidth(width))
    return false;
  out->gen = static_cast<int>(gen);
  out->width = static_cast<int>(width);
  return true;
}

Link LinkFromSysfs(const std::string& speed, unsigned width) {
  const double gts = std::strtod(speed.c_str(), nullptr);
  Link l;
  for (int g = 1; g <= 5; ++g)
    if (gts == LaneGigaTransfers(g)) l.gen = g;
  if (l.gen == 0 || !ValidWidth(static_cast<long>(width))) return Link{};
  l.width = static_cast<int>(width);
  return l;
}

double LaneGigaTransfers(int gen) {
  static const double kRates[] = {0, 2.5, 5, 8, 16, 32};
  return gen >= 1 && gen <= 5 ? kRates[gen] : 0;
}

double CeilingMBytes(const Link& link) {
  if (!link.Known()) return 0;
  const double encoding = link.gen <= 2 ? 8.0 / 10.0 : 128.0 / 130.0;
  const double bytes_per_second = LaneGigaTransfers(link.gen) * 1e9 * encoding / 8 * link.width;
  return bytes_per_second / 1048576.0;
}

std::string LinkName(const Link& link) {
  if (!link.Known()) return "unknown";
  return "gen" + std::to_string(link.gen) + " x" + std::to_string(link.width);
}

}  // namespace report
