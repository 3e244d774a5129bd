#include "messages.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace report {
namespace {

bool Take(std::string_view* s, std::string_view head) {
  if (s->substr(0, head.size()) != head) return false;
  s->remove_prefix(head.size());
  return true;
}

// Decimal digits as "%u" or "%llu" print them: no sign, no space, nothing above `max`.
bool TakeUnsigned(std::string_view* s, uint64_t max, uint64_t* out) {
  size_t i = 0;
  uint64_t v = 0;
  while (i < s->size() && (*s)[i] >= '0' && (*s)[i] <= '9') {
    const auto d = static_cast<uint64_t>((*s)[i] - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
    ++i;
  }
  if (i == 0 || (i > 1 && (*s)[0] == '0')) return false;
  s->remove_prefix(i);
  *out = v;
  return true;
}

bool IsHex(char c, bool upper_only) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (!upper_only && c >= 'a' && c <= 'f');
}

// Hex digits as "%lx" (lower case) or "%lX" / "%p" (upper case) print them.
bool TakeHex(std::string_view* s, bool upper, size_t min_digits, size_t max_digits, uint64_t* out) {
  size_t i = 0;
  uint64_t v = 0;
  while (i < s->size() && i < max_digits && IsHex((*s)[i], upper) &&
         (upper || !((*s)[i] >= 'A' && (*s)[i] <= 'F'))) {
    const char c = (*s)[i];
    v = v * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    ++i;
  }
  if (i < min_digits || (i < s->size() && IsHex((*s)[i], false))) return false;
  s->remove_prefix(i);
  *out = v;
  return true;
}

// A number as "%f" prints it: six decimals, or inf and nan.
bool TakeFixed(std::string_view* s, double* out, std::string_view* text) {
  const std::string_view start = *s;
  size_t i = 0;
  if (i < s->size() && (*s)[i] == '-') ++i;
  for (std::string_view word : {"inf", "nan"}) {
    if (s->substr(i, 3) == word) {
      *text = s->substr(0, i + 3);
      s->remove_prefix(i + 3);
      *out = word == "inf" ? (i ? -INFINITY : INFINITY) : NAN;
      return true;
    }
  }
  const size_t int_start = i;
  while (i < s->size() && (*s)[i] >= '0' && (*s)[i] <= '9') ++i;
  if (i == int_start || i >= s->size() || (*s)[i] != '.') return false;
  ++i;
  for (int k = 0; k < 6; ++k, ++i)
    if (i >= s->size() || (*s)[i] < '0' || (*s)[i] > '9') return false;
  *text = start.substr(0, i);
  *out = std::strtod(std::string(*text).c_str(), nullptr);
  s->remove_prefix(i);
  return true;
}

// "0xCODE - TEXT" after a failure line's head.
bool TakeStatus(std::string_view rest, std::string_view whole, StatusLine* st) {
  uint64_t code = 0;
  if (!TakeHex(&rest, false, 1, 8, &code) || !Take(&rest, " - ")) return false;
  st->present = true;
  st->line = std::string(whole);
  st->code = static_cast<uint32_t>(code);
  st->text = std::string(rest);
  return true;
}

struct StatusHead {
  std::string_view head;
  Msg kind;
};
constexpr StatusHead kStatusHeads[] = {
    {"Failed to initialize the WDC library. Error 0x", Msg::kLibraryOpenFailure},
    {"Failed scanning the PCI bus. Error: 0x", Msg::kScanFailure},
    {"Failed retrieving the device's resources information. Error 0x", Msg::kInfoFailure},
    {"Failed opening a WDC device handle. Error 0x", Msg::kOpenFailure},
    {"Failed to uninit the WDC library. Error 0x", Msg::kUninitFailure},
    {"Failed locking a Contiguous DMA buffer. Error 0x", Msg::kContigLockFailure},
    {"Failed locking a Scatter/Gather DMA buffer. Error 0x", Msg::kSgLockFailure},
    {"Failed enabling interrupts. Error 0x", Msg::kIntEnableFailure},
};

constexpr std::string_view kPhaseNames[] = {"bytes", "uint16", "uint32", "uint64"};
constexpr uint64_t kPhaseItems[] = {4096, 2048, 1024, 512};
constexpr uint64_t kPhaseMax[] = {0xFF, 0xFFFF, 0xFFFFFFFF, UINT64_MAX};

constexpr std::string_view kPerfHeadings[] = {
    "Memory write DMA performance testing...",
    "Memory read DMA performance testing...",
    "Memory read DMA performance testing (2 read channels)...",
    "Memory read/write DMA performance testing...",
    "Memory read/write DMA performance testing (2 read channels)...",
};

struct RateHead {
  std::string_view head;
  Msg kind;
};
constexpr RateHead kRateHeads[] = {
    {"Memory write transfer rate is ", Msg::kWriteRate},
    {"Memory read transfer rate is ", Msg::kReadRate},
    {"Channel 1 memory read transfer rate is ", Msg::kChannel1Rate},
    {"Channel 2 memory read transfer rate is ", Msg::kChannel2Rate},
    {"Backloop transfer rate is ", Msg::kBackloopRate},
};

struct CountHead {
  std::string_view head;
  Msg kind;
};
constexpr CountHead kCountHeads[] = {
    {"   Number of transfer size mismatches = ", Msg::kCountSizeMismatches},
    {"   Number of corrupted memory bytes   = ", Msg::kCountCorrupted},
    {"   Number of mismatched data bytes    = ", Msg::kCountMismatched},
    {"Number of data mismatches = ", Msg::kMismatches},
};

constexpr std::string_view kBanner = "FPGA PCI-Express controller diagnostic utility.";
constexpr std::string_view kBar0Heading = "BAR0 slave memory read/write testing:";
constexpr std::string_view kPressAny = "Press any to interrupt the test...";
constexpr std::string_view kInterrupted = "   test has been interrupted by user";
constexpr std::string_view kWaitFailure = "device interrupts waiting failure";
constexpr std::string_view kSizeHead = "Testing for transfer size = ";
constexpr std::string_view kTotalHead =
    "DMA transfers data integrity test's completed, total number of errors = ";
constexpr std::string_view kBackloopHead = "Scatter/Gather DMA backloop testing (buffers size is ";
constexpr std::string_view kNoDeviceHead = "No device (vendor ID 0x";
constexpr std::string_view kCloseHead = "Failed closing a WDC device handle (0x";

Message Headed(std::string_view line) {
  Message m;
  std::string_view s = line;
  if (line == kBanner)
    m.kind = Msg::kBanner;
  else if (line == kBar0Heading)
    m.kind = Msg::kBar0Heading;
  else if (line == kWaitFailure)
    m.kind = Msg::kWaitFailure;
  for (int p = 0; p < 4; ++p)
    if (line == "Writing the " + std::string(kPhaseNames[p]) + " array to BAR0 memory") {
      m.kind = Msg::kBar0Writing;
      m.index = p;
    }
  for (int pass = 0; pass < 2; ++pass)
    if (line == std::string("Memory ") + (pass ? "read" : "write") +
                    " DMA transfers data integrity testing...") {
      m.kind = Msg::kPassTitle;
      m.index = pass;
    }
  for (int mode = 0; mode < kPerfModes; ++mode)
    if (line == kPerfHeadings[mode]) {
      m.kind = Msg::kPerfHeading;
      m.index = mode;
    }
  double mb = 0;
  if (Take(&s, kBackloopHead) && TakeFixed(&s, &mb, &m.text) && s == " MByte)...")
    m.kind = Msg::kBackloopHeading;
  return m;
}

Message Plain(std::string_view line) {
  Message m;
  std::string_view s = line;
  if (line == kPressAny)
    m.kind = Msg::kPressAny;
  else if (line == kInterrupted)
    m.kind = Msg::kInterrupted;
  if (m.kind != Msg::kUnknown) return m;

  for (const StatusHead& h : kStatusHeads) {
    s = line;
    if (Take(&s, h.head) && TakeStatus(s, line, &m.status)) {
      m.kind = h.kind;
      return m;
    }
  }
  uint64_t v = 0;
  s = line;
  if (Take(&s, kCloseHead) && TakeHex(&s, true, 8, 16, &v) && Take(&s, "). Error 0x") &&
      TakeStatus(s, line, &m.status)) {
    m.kind = Msg::kCloseFailure;
    return m;
  }
  s = line;
  if (Take(&s, kNoDeviceHead) && TakeHex(&s, true, 1, 8, &v) && Take(&s, ", device ID 0x") &&
      TakeHex(&s, true, 1, 8, &v) && s == ") was found") {
    m.kind = Msg::kNoDevice;
    return m;
  }
  s = line;
  if (Take(&s, "Reading of ")) {
    for (int p = 0; p < 4; ++p) {
      std::string_view r = s;
      if (!Take(&r, kPhaseNames[p]) || !Take(&r, " array from BAR0 memory... ")) continue;
      m.index = p;
      if (r == "success") {
        m.kind = Msg::kBar0Reading;
        m.success = true;
      } else if (Take(&r, "failed at address ") &&
                 TakeUnsigned(&r, kPhaseItems[p] - 1, &m.number) && Take(&r, ", value is ") &&
                 TakeUnsigned(&r, kPhaseMax[p], &m.value) && r.empty()) {
        m.kind = Msg::kBar0Reading;
      }
      return m;
    }
    return m;
  }
  s = line;
  if (Take(&s, kSizeHead) && TakeUnsigned(&s, kSizes, &m.number) && m.number >= 1 && s == "...") {
    m.kind = Msg::kSizeLine;
    return m;
  }
  for (const CountHead& h : kCountHeads) {
    s = line;
    if (Take(&s, h.head) && TakeUnsigned(&s, UINT32_MAX, &m.number) && s.empty()) {
      m.kind = h.kind;
      return m;
    }
  }
  s = line;
  if (Take(&s, kTotalHead) && TakeUnsigned(&s, UINT64_MAX, &m.number) && s.empty()) {
    m.kind = Msg::kTotal;
    return m;
  }
  for (const RateHead& h : kRateHeads) {
    s = line;
    if (Take(&s, h.head) && TakeFixed(&s, &m.rate, &m.text) && s == " MByte/sec") {
      m.kind = h.kind;
      return m;
    }
  }
  return m;
}

}  // namespace

Message Classify(std::string_view line, bool after_blank) {
  return after_blank ? Headed(line) : Plain(line);
}

bool CouldBeCutShort(std::string_view partial) {
  static const std::string_view kHeads[] = {kBanner,
                                            kBar0Heading,
                                            kPressAny,
                                            kInterrupted,
                                            kWaitFailure,
                                            kSizeHead,
                                            kTotalHead,
                                            kBackloopHead,
                                            kNoDeviceHead,
                                            kCloseHead,
                                            "Writing the ",
                                            "Reading of ",
                                            "Memory write DMA transfers",
                                            "Memory read DMA transfers",
                                            "Memory read",
                                            "Memory write",
                                            "Channel 1 memory read transfer rate is ",
                                            "Channel 2 memory read transfer rate is ",
                                            "Backloop transfer rate is ",
                                            "Number of data mismatches = ",
                                            "   Number of ",
                                            "Failed "};
  for (std::string_view h : kHeads)
    if (h.substr(0, partial.size()) == partial || partial.substr(0, h.size()) == h) return true;
  return false;
}

}  // namespace report
