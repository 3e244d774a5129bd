// The FPGA_SIM settings parser with arbitrary text.
//
// What must hold: any text gives either a setting whose fields lie in their documented ranges,
// or an error that names the offending item, quoted, followed by what is wrong with it. The
// parser reads items left to right, so the offending item is the first one at which the
// prefix of the text stops parsing. A valid setting written back as text parses to itself.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "settings.h"
#include "wdc/ops.h"

namespace {

std::vector<std::string> Items(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    items.push_back(
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

void CheckRanges(const sim::Settings& s) {
  FUZZ_CHECK(s.boards <= 3, "boards out of range");
  FUZZ_CHECK(s.misalign <= 4095, "misalign out of range");
  FUZZ_CHECK(s.link_gen >= 1 && s.link_gen <= 3, "link generation out of range");
  FUZZ_CHECK(s.link_width == 1 || s.link_width == 2 || s.link_width == 4 || s.link_width == 8 ||
                 s.link_width == 16,
             "link width out of range");
  FUZZ_CHECK(s.link_max_gen >= s.link_gen && s.link_max_gen <= 3 &&
                 s.link_max_width >= s.link_width && s.link_max_width <= 16 &&
                 (s.link_max_width & (s.link_max_width - 1)) == 0,
             "link-max out of range or below the link");
  for (size_t i = 0; i < s.aer.size(); ++i) {
    const sim::AerFault& f = s.aer[i];
    FUZZ_CHECK(f.n >= 1 && f.bit <= 20, "link error out of range");
    for (size_t j = 0; j < i; ++j)
      FUZZ_CHECK(s.aer[j].backloop != f.backloop || s.aer[j].n != f.n ||
                     s.aer[j].uncorrectable != f.uncorrectable || s.aer[j].bit != f.bit,
                 "one link error twice");
  }
  FUZZ_CHECK(s.dma_shift >= -4096 && s.dma_shift <= 4096, "dma-shift out of range");
  for (size_t i = 0; i < s.stuck_bits.size(); ++i) {
    const sim::StuckBit& b = s.stuck_bits[i];
    FUZZ_CHECK(b.offset <= 4095 && b.bit <= 7 && b.level <= 1, "stuck bit out of range");
    for (size_t j = 0; j < i; ++j)
      FUZZ_CHECK(s.stuck_bits[j].offset != b.offset || s.stuck_bits[j].bit != b.bit,
                 "one bit stuck twice");
  }
  for (size_t i = 0; i < s.fail_rules.size(); ++i) {
    const wdc::FailRule& r = s.fail_rules[i];
    FUZZ_CHECK(r.op < wdc::Op::Count && wdc::ReturnsStatus(r.op) && r.nth >= 1,
               "forced failure of an operation that cannot fail");
    for (size_t j = 0; j < i; ++j)
      FUZZ_CHECK(s.fail_rules[j].op != r.op || s.fail_rules[j].nth != r.nth,
                 "one forced failure twice");
  }
  for (const std::vector<uint32_t>* list : {&s.irq_drop_ch0, &s.irq_drop_backloop})
    for (size_t i = 0; i < list->size(); ++i) {
      FUZZ_CHECK((*list)[i] >= 1, "dropped interrupt number 0");
      for (size_t j = 0; j < i; ++j) FUZZ_CHECK((*list)[j] != (*list)[i], "one drop twice");
    }
  if (s.sg_swap) FUZZ_CHECK(s.swap_i != s.swap_j, "a page swapped with itself");
  FUZZ_CHECK(s.fault_board <= s.boards, "faults on a board there is not");
}

// The setting as FPGA_SIM text, every field given.
std::string Write(const sim::Settings& s) {
  std::string t = "boards=" + std::to_string(s.boards);
  if (s.fault_board) t += ",fault-board=" + std::to_string(s.fault_board);
  t += std::string(",pause=") + (s.sleep_enabled ? "on" : "off");
  t += std::string(",high-bus=") + (s.high_bus ? "1" : "0");
  t += ",link=gen" + std::to_string(s.link_gen) + "x" + std::to_string(s.link_width);
  t += ",link-max=gen" + std::to_string(s.link_max_gen) + "x" + std::to_string(s.link_max_width);
  t += ",dma-shift=" + std::to_string(s.dma_shift);
  if (s.misalign) t += ",misalign=" + std::to_string(s.misalign);
  if (s.wordcount_bad) t += ",wordcount-bad=" + std::to_string(s.wordcount_bad);
  if (s.sg_swap) t += ",sg-swap=" + std::to_string(s.swap_i) + ":" + std::to_string(s.swap_j);
  for (const wdc::FailRule& r : s.fail_rules)
    t += std::string(",fail=") + wdc::kOpNames[static_cast<uint32_t>(r.op)] + "@" +
         std::to_string(r.nth);
  for (const sim::StuckBit& b : s.stuck_bits)
    t += ",bar0-stuck=" + std::to_string(b.offset) + ":" + std::to_string(b.bit) + ":" +
         std::to_string(b.level);
  for (uint32_t n : s.irq_drop_ch0) t += ",irq-drop=ch0@" + std::to_string(n);
  for (uint32_t n : s.irq_drop_backloop) t += ",irq-drop=backloop@" + std::to_string(n);
  // The names of aer=, by their status bits.
  static const char* const kCorrectable[32] = {
      "receiver-error", nullptr, nullptr, nullptr, nullptr, nullptr, "bad-tlp", "bad-dllp",
      "replay-rollover", nullptr, nullptr, nullptr, "replay-timeout"};
  static const char* const kUncorrectable[32] = {
      nullptr, nullptr, nullptr, nullptr, "data-link-protocol", nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, nullptr, "poisoned-tlp", "flow-control-protocol",
      "completion-timeout", "completer-abort", "unexpected-completion", "receiver-overflow",
      "malformed-tlp", "ecrc", "unsupported-request"};
  for (const sim::AerFault& f : s.aer) {
    const char* name = (f.uncorrectable ? kUncorrectable : kCorrectable)[f.bit & 31];
    FUZZ_CHECK(name != nullptr, "a link error without a name");
    t += std::string(",aer=") + name + (f.backloop ? ":backloop@" : ":ch0@") + std::to_string(f.n);
  }
  return t;
}

bool SameLinkErrors(const std::vector<sim::AerFault>& a, const std::vector<sim::AerFault>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].backloop != b[i].backloop || a[i].n != b[i].n ||
        a[i].uncorrectable != b[i].uncorrectable || a[i].bit != b[i].bit ||
        a[i].logs_header != b[i].logs_header)
      return false;
  return true;
}

bool Same(const sim::Settings& a, const sim::Settings& b) {
  if (a.fail_rules.size() != b.fail_rules.size() || a.stuck_bits.size() != b.stuck_bits.size())
    return false;
  for (size_t i = 0; i < a.fail_rules.size(); ++i)
    if (a.fail_rules[i].op != b.fail_rules[i].op || a.fail_rules[i].nth != b.fail_rules[i].nth)
      return false;
  for (size_t i = 0; i < a.stuck_bits.size(); ++i)
    if (a.stuck_bits[i].offset != b.stuck_bits[i].offset ||
        a.stuck_bits[i].bit != b.stuck_bits[i].bit ||
        a.stuck_bits[i].level != b.stuck_bits[i].level)
      return false;
  return a.boards == b.boards && a.sleep_enabled == b.sleep_enabled && a.misalign == b.misalign &&
         a.high_bus == b.high_bus && a.link_gen == b.link_gen && a.link_width == b.link_width &&
         a.link_max_gen == b.link_max_gen && a.link_max_width == b.link_max_width &&
         SameLinkErrors(a.aer, b.aer) &&
         a.irq_drop_ch0 == b.irq_drop_ch0 && a.irq_drop_backloop == b.irq_drop_backloop &&
         a.dma_shift == b.dma_shift && a.wordcount_bad == b.wordcount_bad &&
         a.sg_swap == b.sg_swap && (!a.sg_swap || (a.swap_i == b.swap_i && a.swap_j == b.swap_j)) &&
         a.fault_board == b.fault_board;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The variable is a C string: it ends at the first NUL.
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  sim::Settings s;
  std::string error;
  if (sim::ParseSettings(text.c_str(), &s, &error)) {
    FUZZ_CHECK(error.empty(), "a valid setting came with an error text");
    CheckRanges(s);
    const std::string again = Write(s);
    sim::Settings t;
    std::string error2;
    FUZZ_CHECK(sim::ParseSettings(again.c_str(), &t, &error2), "a setting written back is refused");
    FUZZ_CHECK(Same(s, t), "a setting written back parses to another setting");
    return 0;
  }
  FUZZ_CHECK(!text.empty(), "the empty text was refused");
  // The offending item: the first one at which the text so far stops parsing.
  const std::vector<std::string> items = Items(text);
  std::string prefix;
  size_t bad = items.size();
  for (size_t i = 0; i < items.size() && bad == items.size(); ++i) {
    prefix += (i ? "," : "") + items[i];
    sim::Settings scratch;
    // An empty first item is a bad item once a comma follows it, though the empty text alone
    // is the default setting.
    if ((i == 0 && items[0].empty()) || !sim::ParseSettings(prefix.c_str(), &scratch, nullptr))
      bad = i;
  }
  FUZZ_CHECK(bad < items.size(), "the whole text parses item by item but not at once");
  const std::string named = "'" + items[bad] + "': ";
  const size_t at = error.find(named);
  FUZZ_CHECK(at != std::string::npos, "the error does not name the offending item");
  FUZZ_CHECK(error.size() > at + named.size(), "the error does not say what is wrong");
  return 0;
}
