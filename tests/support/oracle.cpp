#include "oracle.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wdc/ops.h"
#include "wdc/wdc_lib.h"

namespace oracle {

// ---- Matching --------------------------------------------------------------------------------
namespace {

std::vector<std::string> SplitLines(const std::string& s) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    size_t nl = s.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back(s.substr(start));  // the text after the last line end ("" when it ends)
      return lines;
    }
    lines.push_back(s.substr(start, nl - start));
    start = nl + 1;
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsUpperHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

// Matches one expected line (with placeholders) against one actual line.
bool MatchLine(const std::string& t, size_t ti, const std::string& a, size_t ai,
               std::vector<std::string>* caps) {
  while (ti < t.size()) {
    if (t[ti] != '%') {
      if (ai >= a.size() || a[ai] != t[ti]) return false;
      ++ti;
      ++ai;
      continue;
    }
    char kind = ti + 1 < t.size() ? t[ti + 1] : '\0';
    ti += 2;
    size_t start = ai;
    switch (kind) {
      case '%':
        if (ai >= a.size() || a[ai] != '%') return false;
        ++ai;
        continue;
      case 'f': {
        if (ai < a.size() && a[ai] == '-') ++ai;
        size_t digits = ai;
        while (ai < a.size() && IsDigit(a[ai])) ++ai;
        if (ai == digits || ai >= a.size() || a[ai] != '.') return false;
        ++ai;
        for (int i = 0; i < 6; ++i, ++ai)
          if (ai >= a.size() || !IsDigit(a[ai])) return false;
        if (ai < a.size() && IsDigit(a[ai])) return false;
        break;
      }
      case 'p':
        for (size_t i = 0; i < 2 * sizeof(void*); ++i, ++ai)
          if (ai >= a.size() || !IsUpperHex(a[ai])) return false;
        break;
      case 's': {
        // The rest of the line, shortest first, so that text after %s still anchors.
        for (size_t end = ai; end <= a.size(); ++end) {
          std::vector<std::string> sub;
          if (MatchLine(t, ti, a, end, &sub)) {
            caps->push_back(a.substr(ai, end - ai));
            caps->insert(caps->end(), sub.begin(), sub.end());
            return true;
          }
        }
        return false;
      }
      default:
        return false;  // an unknown placeholder in an expected text never matches
    }
    caps->push_back(a.substr(start, ai - start));
  }
  return ai == a.size();
}

bool LineMatches(const std::string& t, const std::string& a) {
  std::vector<std::string> caps;
  return MatchLine(t, 0, a, 0, &caps);
}

std::string Visible(const std::string& s) {
  std::string v = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      v += '\\';
      v += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      v += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, c == '\r' ? "\\r" : c == '\t' ? "\\t" : "\\x%02X", c);
      v += esc;
    }
  }
  return v + "\"";
}

// A line diff of the parts between the common head and tail: LCS where it is small enough,
// else the lines side by side from the first difference on.
std::string Diff(const std::vector<std::string>& exp, const std::vector<std::string>& act) {
  size_t head = 0;
  while (head < exp.size() && head < act.size() && LineMatches(exp[head], act[head])) ++head;
  size_t tail = 0;
  while (tail < exp.size() - head && tail < act.size() - head &&
         LineMatches(exp[exp.size() - 1 - tail], act[act.size() - 1 - tail]))
    ++tail;
  const size_t n = exp.size() - head - tail, m = act.size() - head - tail;

  std::string out =
      "Output differs (\"- \" expected, \"+ \" actual, placeholders %f %p %s), from line " +
      std::to_string(head + 1) + ":\n";
  const size_t ctx = std::min<size_t>(head, 3);
  for (size_t i = head - ctx; i < head; ++i) out += "  " + Visible(act[i]) + "\n";

  const size_t kMaxShown = 60;
  size_t shown = 0;
  auto emit = [&](const char* tag, const std::string& line) {
    if (shown++ < kMaxShown) out += std::string(tag) + Visible(line) + "\n";
  };
  if (n <= 600 && m <= 600) {
    std::vector<std::vector<uint16_t>> lcs(n + 1, std::vector<uint16_t>(m + 1, 0));
    for (size_t i = n; i-- > 0;)
      for (size_t j = m; j-- > 0;)
        lcs[i][j] = LineMatches(exp[head + i], act[head + j])
                        ? static_cast<uint16_t>(lcs[i + 1][j + 1] + 1)
                        : std::max(lcs[i + 1][j], lcs[i][j + 1]);
    size_t i = 0, j = 0;
    while (i < n || j < m) {
      if (i < n && j < m && LineMatches(exp[head + i], act[head + j])) {
        emit("  ", act[head + j]);
        ++i;
        ++j;
      } else if (j < m && (i == n || lcs[i][j + 1] >= lcs[i + 1][j])) {
        emit("+ ", act[head + j++]);
      } else {
        emit("- ", exp[head + i++]);
      }
    }
  } else {
    for (size_t k = 0; k < std::max(n, m); ++k) {
      if (k < n) emit("- ", exp[head + k]);
      if (k < m) emit("+ ", act[head + k]);
    }
  }
  if (shown > kMaxShown) out += "... " + std::to_string(shown - kMaxShown) + " more diff lines\n";
  for (size_t i = act.size() - tail; i < act.size() && i < act.size() - tail + 3; ++i)
    out += "  " + Visible(act[i]) + "\n";
  out += "(expected " + std::to_string(exp.size()) + " lines, got " + std::to_string(act.size()) +
         "; the last \"line\" is the text after the final line end)\n";
  return out;
}

}  // namespace

Match MatchOutput(const std::string& expected, const std::string& actual) {
  Match m;
  const auto exp = SplitLines(expected), act = SplitLines(actual);
  if (exp.size() == act.size()) {
    m.ok = true;
    for (size_t i = 0; i < exp.size() && m.ok; ++i)
      m.ok = MatchLine(exp[i], 0, act[i], 0, &m.captures);
    if (m.ok) return m;
    m.captures.clear();
  }
  m.diff = Diff(exp, act);
  return m;
}

std::string Literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

double Number(const std::string& capture) { return std::strtod(capture.c_str(), nullptr); }

std::string Through(const std::string& expected, const std::string& mark) {
  const size_t at = expected.find(mark);
  return at == std::string::npos ? expected : expected.substr(0, at + mark.size());
}

// ---- Texts ----------------------------------------------------------------------------------
namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

// A failure line: `fmt` takes the status's code and its text.
std::string StatusLine(const char* fmt, const Status& s) {
  return Format(fmt, s.code, s.text.c_str());
}

const char kSizePrefix[] = "Testing for transfer size = ";

const char* const kPhaseNames[] = {"bytes", "uint16", "uint32", "uint64"};

}  // namespace

Status Stated(uint32_t code, const std::string& text) { return Status{code, Literal(text)}; }
Status AnyText(uint32_t code) { return Status{code, "%s"}; }
Status Simulated(const std::string& op) {
  const wdc::Op o = wdc::OpFromName(op.data(), op.size());
  if (o == wdc::Op::Count) {
    std::fprintf(stderr, "oracle: no library operation named %s\n", op.c_str());
    std::abort();
  }
  return Stated(WDC_STATUS_FAIL_BASE + static_cast<uint32_t>(o), "Simulated failure of " + op);
}
Status BadSetting(const std::string& item) {
  return Status{WDC_STATUS_BAD_SETTING, "bad FPGA_SIM item '" + Literal(item) + "': %s"};
}
Status LeftAtClose(const std::string& what) {
  return Stated(WDC_STATUS_RESOURCES_LEFT, "resources left at close: " + what);
}
Status AlreadyEnabled() {
  return Stated(WDC_STATUS_INT_ALREADY_ENABLED, "Interrupts are already enabled on the device");
}
Status OutOfMemory() { return Stated(WDC_STATUS_NO_MEMORY, "Out of memory or bus addresses"); }
Status AboveFourGiB() {
  return Stated(WDC_STATUS_BUS_ADDR_ABOVE_4G,
                "The buffer has a bus address at or above 4 GiB, beyond the controller's 32-bit "
                "address fields");
}

std::string Banner() { return "\nFPGA PCI-Express controller diagnostic utility.\n"; }
std::string NoDevice() { return "No device (vendor ID 0x10EE, device ID 0x5050) was found\n"; }
std::string LibraryOpenFailure(const Status& s) {
  return StatusLine("Failed to initialize the WDC library. Error 0x%" PRIx32 " - %s\n", s);
}
std::string PciScanFailure(const Status& s) {
  return StatusLine("Failed scanning the PCI bus. Error: 0x%" PRIx32 " - %s\n", s);
}
std::string DeviceInfoFailure(const Status& s) {
  return StatusLine(
      "Failed retrieving the device's resources information. Error 0x%" PRIx32 " - %s\n", s);
}
std::string DeviceOpenFailure(const Status& s) {
  return StatusLine("Failed opening a WDC device handle. Error 0x%" PRIx32 " - %s\n", s);
}
std::string DeviceCloseFailure(const Status& s) {
  return StatusLine("Failed closing a WDC device handle (0x%%p). Error 0x%" PRIx32 " - %s\n", s);
}
std::string LibraryCloseFailure(const Status& s) {
  return StatusLine("Failed to uninit the WDC library. Error 0x%" PRIx32 " - %s\n", s);
}
std::string Ledger(const std::string& what) { return LibraryCloseFailure(LeftAtClose(what)); }
std::string LedgerMark() {
  const std::string line = LibraryCloseFailure(AnyText(WDC_STATUS_RESOURCES_LEFT));
  return line.substr(0, line.find(" - %s"));
}

std::string Bar0Heading() { return "\nBAR0 slave memory read/write testing:\n"; }
std::string Bar0Writing(Bar0Phase phase) {
  return Format("\nWriting the %s array to BAR0 memory\n", kPhaseNames[static_cast<int>(phase)]);
}
std::string Bar0Success() { return "success\n"; }
std::string Bar0Failure(uint32_t item, uint64_t value) {
  return Format("failed at address %" PRIu32 ", value is %" PRIu64 "\n", item, value);
}
std::string Bar0Test(const std::string& bytes, const std::string& uint16,
                     const std::string& uint32, const std::string& uint64) {
  const std::string* verdicts[] = {&bytes, &uint16, &uint32, &uint64};
  std::string out = Bar0Heading();
  for (int k = 0; k < 4; ++k)
    out += Bar0Writing(static_cast<Bar0Phase>(k)) +
           Format("Reading of %s array from BAR0 memory... ", kPhaseNames[k]) + *verdicts[k];
  return out;
}
std::string Bar0AllSuccess() {
  return Bar0Test(Bar0Success(), Bar0Success(), Bar0Success(), Bar0Success());
}

const std::vector<LostBar0Access>& LostBar0Accesses() {
  // Items are worked out from the patterns the phases write (item i holds i, bytes i mod 256,
  // little-endian), and from BAR0 holding the previous phase's pattern where a write is lost.
  static const std::vector<LostBar0Access> kAccesses = {
      // A failed read leaves the test's variable at 0: item 300 should read 44.
      {"Read8", "fail=WDC_ReadAddr8@301",
       Bar0Test(Bar0Failure(300, 0), Bar0Success(), Bar0Success(), Bar0Success())},
      // Item 0 holds 0, so a lost first read passes unnoticed; the second one is item 1.
      {"Read16FirstIsUnseen", "fail=WDC_ReadAddr16@1", Bar0AllSuccess()},
      {"Read16", "fail=WDC_ReadAddr16@2",
       Bar0Test(Bar0Success(), Bar0Failure(1, 0), Bar0Success(), Bar0Success())},
      {"Read32", "fail=WDC_ReadAddr32@5",
       Bar0Test(Bar0Success(), Bar0Success(), Bar0Failure(4, 0), Bar0Success())},
      {"Read64Last", "fail=WDC_ReadAddr64@512",
       Bar0Test(Bar0Success(), Bar0Success(), Bar0Success(), Bar0Failure(511, 0))},
      // BAR0 starts zeroed, so a lost byte write of item 7 reads 0.
      {"Write8", "fail=WDC_WriteAddr8@8",
       Bar0Test(Bar0Failure(7, 0), Bar0Success(), Bar0Success(), Bar0Success())},
      // Item 0 keeps bytes 0 and 1 of the bytes phase: 0x0100.
      {"Write16", "fail=WDC_WriteAddr16@1",
       Bar0Test(Bar0Success(), Bar0Failure(0, 256), Bar0Success(), Bar0Success())},
      // Item 0 keeps uint16 items 0 and 1: 0x00010000.
      {"Write32", "fail=WDC_WriteAddr32@1",
       Bar0Test(Bar0Success(), Bar0Success(), Bar0Failure(0, 65536), Bar0Success())},
      // Item 0 keeps uint32 items 0 and 1: 2^32, printed in full.
      {"Write64", "fail=WDC_WriteAddr64@1",
       Bar0Test(Bar0Success(), Bar0Success(), Bar0Success(), Bar0Failure(0, 4294967296ull))},
  };
  return kAccesses;
}

std::string IntegrityHeading(Pass pass) {
  return Format("\nMemory %s DMA transfers data integrity testing...\n",
                pass == Pass::kMemoryWrite ? "write" : "read") +
         "Press any to interrupt the test...\n";
}
std::string SizeLine(uint32_t size) { return Format("%s%" PRIu32 "...\n", kSizePrefix, size); }
std::string SizeBlock(uint32_t size, const SizeCounts& c) {
  return SizeLine(size) +
         Format("   Number of transfer size mismatches = %" PRIu32 "\n", c.size_mismatches) +
         Format("   Number of corrupted memory bytes   = %" PRIu32 "\n", c.corrupted) +
         Format("   Number of mismatched data bytes    = %" PRIu32 "\n", c.mismatched);
}
std::string Interrupted() { return "   test has been interrupted by user\n"; }
std::string IntegrityTotal(uint64_t total) {
  return Format("DMA transfers data integrity test's completed, total number of errors = %" PRIu64
                "\n",
                total);
}
std::string WaitFailure() { return "\ndevice interrupts waiting failure\n"; }

std::string SizesUntilInterrupted(const std::string& actual, const CountsOfSize& counts,
                                  uint32_t* stopped_at) {
  *stopped_at = 0;
  const size_t stop = actual.find(Interrupted());
  const size_t line =
      stop == std::string::npos ? std::string::npos : actual.rfind(kSizePrefix, stop);
  if (line == std::string::npos) return "(no interrupted size in the output)\n";
  *stopped_at = static_cast<uint32_t>(
      std::strtoul(actual.c_str() + line + sizeof kSizePrefix - 1, nullptr, 10));
  std::string out;
  for (uint32_t f = 4096; f > *stopped_at && f >= 1; --f) out += SizeBlock(f, counts(f));
  return out + SizeLine(*stopped_at) + Interrupted();
}

std::string CompletePass(Pass pass, const CountsOfSize& counts, uint64_t* total) {
  std::string out = IntegrityHeading(pass);
  *total = 0;
  for (uint32_t f = 4096; f >= 1; --f) {
    const SizeCounts c = counts(f);
    out += SizeBlock(f, c);
    *total += uint64_t{c.size_mismatches} + c.corrupted + c.mismatched;
  }
  return out + IntegrityTotal(*total);
}

std::string PerformanceHeading(PerfStep step) {
  static const char* const kHeadings[] = {
      "\nMemory write DMA performance testing...\n",
      "\nMemory read DMA performance testing...\n",
      "\nMemory read DMA performance testing (2 read channels)...\n",
      "\nMemory read/write DMA performance testing...\n",
      "\nMemory read/write DMA performance testing (2 read channels)...\n",
  };
  return kHeadings[static_cast<int>(step)];
}
std::string Performance(const std::vector<std::string>& rates) {
  std::string out = PerformanceHeading(PerfStep::kWrite) +
                    "Memory write transfer rate is %f MByte/sec\n" +
                    PerformanceHeading(PerfStep::kRead) +
                    "Memory read transfer rate is %f MByte/sec\n" +
                    PerformanceHeading(PerfStep::kTwoReads) +
                    "Channel 1 memory read transfer rate is %f MByte/sec\n"
                    "Channel 2 memory read transfer rate is %f MByte/sec\n" +
                    PerformanceHeading(PerfStep::kReadWrite) +
                    "Memory write transfer rate is %f MByte/sec\n"
                    "Memory read transfer rate is %f MByte/sec\n" +
                    PerformanceHeading(PerfStep::kReadWriteTwoReads) +
                    "Memory write transfer rate is %f MByte/sec\n"
                    "Channel 1 memory read transfer rate is %f MByte/sec\n"
                    "Channel 2 memory read transfer rate is %f MByte/sec\n";
  size_t at = 0;
  for (const std::string& rate : rates) {
    at = out.find("%f", at);
    out.replace(at, 2, rate);
    at += rate.size();
  }
  return out;
}

std::string BackloopHeading(const std::string& mbytes) {
  return "\nScatter/Gather DMA backloop testing (buffers size is " + mbytes + " MByte)...\n";
}
std::string BackloopResult(uint32_t mismatches) {
  std::string out = BackloopResultAnyCount();
  return out.replace(out.find("%s"), 2, std::to_string(mismatches));
}
std::string BackloopResultAnyCount() {
  return "Number of data mismatches = %s\n"
         "Backloop transfer rate is %f MByte/sec\n";
}

std::string ContigLockFailure(const Status& s) {
  return StatusLine("Failed locking a Contiguous DMA buffer. Error 0x%" PRIx32 " - %s\n", s);
}
std::string SgLockFailure(const Status& s) {
  return StatusLine("Failed locking a Scatter/Gather DMA buffer. Error 0x%" PRIx32 " - %s\n", s);
}
std::string IntEnableFailure(const Status& s) {
  return StatusLine("Failed enabling interrupts. Error 0x%" PRIx32 " - %s\n", s);
}

std::string UntilIntegrity(const std::string& bar0) {
  return Banner() + bar0 + IntegrityHeading(Pass::kMemoryWrite);
}
std::string AfterIntegrity() { return Performance() + BackloopHeading() + BackloopResult(0); }
std::string InterruptedRun() {
  return UntilIntegrity() + SizeLine(4096) + Interrupted() + AfterIntegrity();
}
std::string LostCompletionRun() {
  return UntilIntegrity() + SizeLine(4096) + WaitFailure() + AfterIntegrity();
}

}  // namespace oracle
