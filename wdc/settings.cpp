#include "settings.h"

#include <algorithm>

namespace wdc {
namespace {

// Strict hex parse of at most `digits` digits: no prefix, sign or space.
bool ParseHex(std::string_view s, size_t digits, uint32_t* out) {
  if (s.empty() || s.size() > digits) return false;
  uint32_t v = 0;
  for (char c : s) {
    uint32_t d;
    if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
    else return false;
    v = v * 16 + d;
  }
  *out = v;
  return true;
}

}  // namespace

bool ParseFailRule(std::string_view value, FailRule* out, std::string* why) {
  std::string_view name = value;
  uint64_t nth = 1;
  const size_t at = value.find('@');
  if (at != std::string_view::npos) {
    name = value.substr(0, at);
    const std::string_view count = value.substr(at + 1);
    nth = 0;
    bool ok = !count.empty();
    for (char c : count) {
      if (c < '0' || c > '9' || nth > (UINT32_MAX - static_cast<uint32_t>(c - '0')) / 10) {
        ok = false;
        break;
      }
      nth = nth * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!ok || nth == 0) {
      *why = "the call number after @ must be 1 to 4294967295";
      return false;
    }
  }
  const Op op = OpFromName(name.data(), name.size());
  if (op == Op::Count) {
    *why = "no library operation of that name";
    return false;
  }
  if (!ReturnsStatus(op)) {
    *why = "that operation returns no status";
    return false;
  }
  *out = {op, static_cast<uint32_t>(nth)};
  return true;
}

bool ParsePciLocation(std::string_view text, PciLocation* out) {
  PciLocation loc;
  // DDDD:BB:SS.F or BB:SS.F
  const size_t dot = text.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string_view head = text.substr(0, dot);
  std::string_view parts[3];
  size_t n = 0;
  while (n < 3) {
    const size_t colon = head.find(':');
    parts[n++] = head.substr(0, colon);
    if (colon == std::string_view::npos) break;
    head.remove_prefix(colon + 1);
    if (n == 3) return false;  // a third colon
  }
  if (n < 2) return false;
  size_t i = 0;
  if (n == 3 && !ParseHex(parts[i++], 4, &loc.domain)) return false;
  if (!ParseHex(parts[i++], 2, &loc.bus) || !ParseHex(parts[i], 2, &loc.slot) ||
      !ParseHex(text.substr(dot + 1), 1, &loc.function))
    return false;
  if (loc.slot > 0x1F || loc.function > 7) return false;
  *out = loc;
  return true;
}

bool ParseLibrarySettings(const char* text, LibrarySettings* out, std::string* error) {
  *out = LibrarySettings{};
  std::string_view rest = text ? text : "";
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    std::string why;
    const size_t eq = item.find('=');
    const std::string_view key = item.substr(0, eq);
    const std::string_view value =
        eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
    if (eq == std::string_view::npos) {
      why = "expected key=value";
    } else if (key == "fail") {
      FailRule rule{};
      if (ParseFailRule(value, &rule, &why)) {
        const bool twice =
            std::any_of(out->fail_rules.begin(), out->fail_rules.end(),
                        [&](const FailRule& r) { return r.op == rule.op && r.nth == rule.nth; });
        if (twice) why = "given twice";
        else out->fail_rules.push_back(rule);
      }
    } else if (key == "slot") {
      PciLocation loc;
      if (out->slot) why = "slot given twice";
      else if (!ParsePciLocation(value, &loc)) why = "expected [DDDD:]BB:SS.F in hex";
      else out->slot = loc;
    } else {
      why = "unknown setting";
    }
    if (!why.empty()) {
      *error = "bad FPGA_WDC item '" + std::string(item) + "': " + why;
      return false;
    }
  }
  return true;
}

}  // namespace wdc
