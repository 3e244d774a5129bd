#include "settings.h"

#include <algorithm>

namespace sim {
namespace {

// Strict unsigned parse: digits only (0x prefix when hex is allowed), no sign, no space, no
// trailing junk, nothing above `max`. Overflow is caught before it happens.
bool ParseUnsigned(std::string_view s, bool allow_hex, uint64_t max, uint64_t* out) {
  uint32_t base = 10;
  if (allow_hex && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    uint32_t d;
    if (c >= '0' && c <= '9')
      d = static_cast<uint32_t>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else
      return false;
    if (d > max || v > (max - d) / base) return false;
    v = v * base + d;
  }
  *out = v;
  return true;
}

bool ParseSigned(std::string_view s, int64_t limit, int64_t* out) {
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  uint64_t magnitude;
  if (!ParseUnsigned(s, false, static_cast<uint64_t>(limit), &magnitude)) return false;
  *out = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// Splits "A<sep>B" at the first separator; false when there is none.
bool SplitAt(std::string_view s, char sep, std::string_view* a, std::string_view* b) {
  size_t at = s.find(sep);
  if (at == std::string_view::npos) return false;
  *a = s.substr(0, at);
  *b = s.substr(at + 1);
  return true;
}

// genGxW, G 1 to 3, W 1, 2, 4, 8 or 16.
bool ParseLink(std::string_view v, uint32_t* gen, uint32_t* width) {
  uint64_t g, w;
  std::string_view g_text, w_text;
  if (v.substr(0, 3) != "gen" || !SplitAt(v.substr(3), 'x', &g_text, &w_text) ||
      !ParseUnsigned(g_text, false, 3, &g) || g == 0 || !ParseUnsigned(w_text, false, 16, &w) ||
      (w != 1 && w != 2 && w != 4 && w != 8 && w != 16))
    return false;
  *gen = static_cast<uint32_t>(g);
  *width = static_cast<uint32_t>(w);
  return true;
}

// The link errors of aer=, by the names an engineer reads them under, with their status bit.
struct AerKind {
  const char* name;
  bool uncorrectable;
  uint32_t bit;
  bool logs_header;
};
constexpr AerKind kAerKinds[] = {
    {"receiver-error", false, 0, false},
    {"bad-tlp", false, 6, false},
    {"bad-dllp", false, 7, false},
    {"replay-rollover", false, 8, false},
    {"replay-timeout", false, 12, false},
    {"data-link-protocol", true, 4, false},
    {"poisoned-tlp", true, 12, true},
    {"flow-control-protocol", true, 13, false},
    {"completion-timeout", true, 14, false},
    {"completer-abort", true, 15, true},
    {"unexpected-completion", true, 16, true},
    {"receiver-overflow", true, 17, true},
    {"malformed-tlp", true, 18, true},
    {"ecrc", true, 19, true},
    {"unsupported-request", true, 20, true},
};

class Parser {
 public:
  Parser(Settings* out, std::string* error) : out_(out), error_(error) {}

  bool Item(std::string_view item) {
    item_ = item;
    std::string_view key, value;
    if (!SplitAt(item, '=', &key, &value)) return Fail("expected key=value");
    if (key == "boards") return Boards(value);
    if (key == "fail") return FailOp(value);
    if (key == "bar0-stuck") return Stuck(value);
    if (key == "pause") return Pause(value);
    if (key == "misalign") return Misalign(value);
    if (key == "high-bus") return HighBus(value);
    if (key == "link") return Link(value);
    if (key == "link-max") return LinkMax(value);
    if (key == "aer") return Aer(value);
    if (key == "irq-drop") return IrqDrop(value);
    if (key == "dma-shift") return DmaShift(value);
    if (key == "wordcount-bad") return WordcountBad(value);
    if (key == "sg-swap") return SgSwap(value);
    if (key == "dma-stray") return DmaStray(value);
    if (key == "fault-board") return FaultBoard(value);
    return Fail("unknown setting");
  }

  // Once every item is read. Without link-max the capabilities are the link's; without link,
  // the link trains as far as the default, gen2x4, and its capabilities allow.
  void Finish() {
    if (!link_max_given_) {
      out_->link_max_gen = out_->link_gen;
      out_->link_max_width = out_->link_width;
    } else if (!link_given_) {
      out_->link_gen = std::min(out_->link_gen, out_->link_max_gen);
      out_->link_width = std::min(out_->link_width, out_->link_max_width);
    }
  }

 private:
  bool Fail(const std::string& why) {
    if (error_) *error_ = "bad FPGA_SIM item '" + std::string(item_) + "': " + why;
    return false;
  }
  // Settings that hold one value may be given once: a second one would silently win.
  bool Once(const char* key) {
    if (std::find(seen_.begin(), seen_.end(), std::string_view(key)) != seen_.end())
      return Fail(std::string(key) + " given twice");
    seen_.push_back(key);
    return true;
  }

  bool Boards(std::string_view v) {
    uint64_t n;
    if (!ParseUnsigned(v, false, 3, &n)) return Fail("boards must be 0 to 3");
    if (!Once("boards")) return false;
    out_->boards = static_cast<uint32_t>(n);
    return true;
  }

  bool FailOp(std::string_view v) {
    wdc::FailRule rule{};
    std::string why;
    if (!wdc::ParseFailRule(v, &rule, &why)) return Fail(why);
    for (const wdc::FailRule& r : out_->fail_rules)
      if (r.op == rule.op && r.nth == rule.nth) return Fail("given twice");
    out_->fail_rules.push_back(rule);
    return true;
  }

  bool Stuck(std::string_view v) {
    std::string_view offset, rest, bit, level;
    uint64_t o, b, l;
    if (!SplitAt(v, ':', &offset, &rest) || !SplitAt(rest, ':', &bit, &level))
      return Fail("expected OFFSET:BIT:LEVEL");
    if (!ParseUnsigned(offset, true, 4095, &o)) return Fail("offset must be 0 to 4095 (0xFFF)");
    if (!ParseUnsigned(bit, false, 7, &b)) return Fail("bit must be 0 to 7");
    if (!ParseUnsigned(level, false, 1, &l)) return Fail("level must be 0 or 1");
    for (const StuckBit& s : out_->stuck_bits)
      if (s.offset == o && s.bit == b) return Fail("that bit is already stuck");
    out_->stuck_bits.push_back(
        {static_cast<uint32_t>(o), static_cast<uint32_t>(b), static_cast<uint32_t>(l)});
    return true;
  }

  bool Pause(std::string_view v) {
    if (v != "on" && v != "off") return Fail("pause must be on or off");
    if (!Once("pause")) return false;
    out_->sleep_enabled = v == "on";
    return true;
  }

  bool Misalign(std::string_view v) {
    uint64_t n;
    if (!ParseUnsigned(v, false, 4095, &n) || n == 0) return Fail("misalign must be 1 to 4095");
    if (!Once("misalign")) return false;
    out_->misalign = static_cast<uint32_t>(n);
    return true;
  }

  bool HighBus(std::string_view v) {
    if (v != "0" && v != "1") return Fail("high-bus must be 0 or 1");
    if (!Once("high-bus")) return false;
    out_->high_bus = v == "1";
    return true;
  }

  // The link cannot have trained above its own capabilities: of link and link-max, the later
  // item is refused when they conflict, so that the text before it is still a good setting.
  bool LinkAboveMax() const {
    return out_->link_gen > out_->link_max_gen || out_->link_width > out_->link_max_width;
  }

  bool Link(std::string_view v) {
    if (!ParseLink(v, &out_->link_gen, &out_->link_width))
      return Fail("link must be genGxW with G 1 to 3 and W 1, 2, 4, 8 or 16");
    if (!Once("link")) return false;
    link_given_ = true;
    if (link_max_given_ && LinkAboveMax())
      return Fail("above link-max, gen" + std::to_string(out_->link_max_gen) + "x" +
                  std::to_string(out_->link_max_width) + ": a link cannot train above it");
    return true;
  }

  bool LinkMax(std::string_view v) {
    if (!ParseLink(v, &out_->link_max_gen, &out_->link_max_width))
      return Fail("link-max must be genGxW with G 1 to 3 and W 1, 2, 4, 8 or 16");
    if (!Once("link-max")) return false;
    link_max_given_ = true;
    if (link_given_ && LinkAboveMax())
      return Fail("below the link, gen" + std::to_string(out_->link_gen) + "x" +
                  std::to_string(out_->link_width) + ": a link cannot train above its maximum");
    return true;
  }

  bool Aer(std::string_view v) {
    std::string_view name, event, kind, count;
    uint64_t n;
    if (!SplitAt(v, ':', &name, &event) || !SplitAt(event, '@', &kind, &count) ||
        (kind != "ch0" && kind != "backloop"))
      return Fail("expected aer=ERROR:ch0@N or aer=ERROR:backloop@N");
    const AerKind* k = nullptr;
    for (const AerKind& candidate : kAerKinds)
      if (name == candidate.name) k = &candidate;
    if (k == nullptr) {
      std::string names;
      for (const AerKind& candidate : kAerKinds) names += std::string(", ") + candidate.name;
      return Fail("the error must be one of " + names.substr(2));
    }
    if (!ParseUnsigned(count, false, UINT32_MAX, &n) || n == 0)
      return Fail("the completion number must be 1 to 4294967295");
    AerFault f{kind == "backloop", static_cast<uint32_t>(n), k->uncorrectable, k->bit,
               k->logs_header};
    for (const AerFault& g : out_->aer)
      if (g.backloop == f.backloop && g.n == f.n && g.uncorrectable == f.uncorrectable &&
          g.bit == f.bit)
        return Fail("given twice");
    out_->aer.push_back(f);
    return true;
  }

  bool IrqDrop(std::string_view v) {
    std::string_view kind, count;
    uint64_t n;
    if (!SplitAt(v, '@', &kind, &count) || (kind != "ch0" && kind != "backloop"))
      return Fail("expected irq-drop=ch0@N or irq-drop=backloop@N");
    if (!ParseUnsigned(count, false, UINT32_MAX, &n) || n == 0)
      return Fail("the completion number must be 1 to 4294967295");
    std::vector<uint32_t>& list = kind == "ch0" ? out_->irq_drop_ch0 : out_->irq_drop_backloop;
    if (std::find(list.begin(), list.end(), n) != list.end()) return Fail("given twice");
    list.push_back(static_cast<uint32_t>(n));
    return true;
  }

  bool DmaShift(std::string_view v) {
    int64_t k;
    if (!ParseSigned(v, 4096, &k)) return Fail("dma-shift must be -4096 to 4096");
    if (!Once("dma-shift")) return false;
    out_->dma_shift = static_cast<int32_t>(k);
    return true;
  }

  bool WordcountBad(std::string_view v) {
    uint64_t n;
    if (!ParseUnsigned(v, false, UINT32_MAX, &n) || n == 0)
      return Fail("wordcount-bad must be 1 to 4294967295");
    if (!Once("wordcount-bad")) return false;
    out_->wordcount_bad = static_cast<uint32_t>(n);
    return true;
  }

  bool DmaStray(std::string_view v) {
    uint64_t n;
    if (!ParseUnsigned(v, false, UINT32_MAX, &n) || n == 0)
      return Fail("dma-stray must be 1 to 4294967295");
    if (!Once("dma-stray")) return false;
    out_->dma_stray = static_cast<uint32_t>(n);
    return true;
  }

  bool SgSwap(std::string_view v) {
    std::string_view a, b;
    uint64_t i, j;
    if (!SplitAt(v, ':', &a, &b) || !ParseUnsigned(a, false, UINT32_MAX, &i) ||
        !ParseUnsigned(b, false, UINT32_MAX, &j))
      return Fail("expected sg-swap=I:J with two page numbers");
    if (i == j) return Fail("the two pages must differ");
    if (!Once("sg-swap")) return false;
    out_->sg_swap = true;
    out_->swap_i = static_cast<uint32_t>(i);
    out_->swap_j = static_cast<uint32_t>(j);
    return true;
  }

  bool FaultBoard(std::string_view v) {
    uint64_t n;
    if (!ParseUnsigned(v, false, 3, &n) || n == 0) return Fail("fault-board must be 1 to 3");
    // Read left to right like every item: the boards are those given so far (or the one of the
    // default), so that a board the faults cannot reach is refused, not silently healthy.
    if (n > out_->boards)
      return Fail("there is no board " + std::to_string(n) +
                  " (boards=" + std::to_string(out_->boards) + " so far: give boards= before it)");
    if (!Once("fault-board")) return false;
    out_->fault_board = static_cast<uint32_t>(n);
    return true;
  }

  Settings* out_;
  std::string* error_;
  std::string_view item_;
  bool link_given_ = false, link_max_given_ = false;
  std::vector<std::string_view> seen_;
};

}  // namespace

bool ParseSettings(const char* text, Settings* out, std::string* error) {
  *out = Settings();
  if (text == nullptr || *text == '\0') return true;
  Parser parser(out, error);
  std::string_view rest(text);
  for (;;) {
    size_t comma = rest.find(',');
    if (!parser.Item(rest.substr(0, comma))) return false;
    if (comma == std::string_view::npos) {
      parser.Finish();
      return true;
    }
    rest.remove_prefix(comma + 1);
  }
}

Settings BoardSettings(const Settings& machine, uint32_t index) {
  Settings s = machine;
  if (machine.fault_board == 0 || machine.fault_board == index + 1) return s;
  s.stuck_bits.clear();
  s.irq_drop_ch0.clear();
  s.irq_drop_backloop.clear();
  s.dma_shift = 0;
  s.dma_stray = 0;
  s.wordcount_bad = 0;
  s.sg_swap = false;
  s.swap_i = s.swap_j = 0;
  return s;
}

}  // namespace sim
