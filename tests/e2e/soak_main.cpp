// Soak: many consecutive runs of the utility built with ASan+UBSan, each with a fault setting
// drawn from a table whose outcome is known and an early end of the integrity pass drawn at
// random (a key after a few sizes, a key waiting before the pass, or a dropped completion).
// Every run must exit with status 0, print exactly what its setting makes it print (banner
// first, every heading it should show, the per-size counts of the whole sizes), leave no
// sanitizer report and no "resources left at close" line.
//
//   soak [--runs N] [--seed S] [--only I] [--exe PATH] [--no-build]
//   soak --valgrind [--exe PATH]
//
// The seed and each run's settings are printed; `--seed S --only I` repeats run I alone. One
// utility runs at a time. Without --exe the asan preset's build/asan/fpga-diag-sim is used and
// built first when missing.
//
// --valgrind instead runs the utility once under valgrind memcheck (by default the one of the
// build this driver belongs to; scripts/valgrind.sh builds both): see ValgrindCheck.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace {

using namespace e2e;
using namespace oracle;

using Rng = std::mt19937_64;

uint32_t Pick(Rng& rng, uint32_t lo, uint32_t hi) {
  return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
}

// ---- What a fault makes the utility print ----------------------------------------------------

struct Fault {
  std::string setting;  // FPGA_SIM items
  std::string bar0 = Bar0AllSuccess();
  // Counts of every whole size of the memory-write pass.
  CountsOfSize counts = [](uint32_t) { return SizeCounts{}; };
  std::string integrity_fixed;  // non-empty: the pass ends before any transfer, with this text
  std::string performance = Performance();
  std::string backloop = BackloopHeading() + BackloopResult(0);
  std::string tail;   // after the last test
  std::string whole;  // non-empty: the run never reaches the tests; all it prints
  // A further check on the captures of the matched output; returns what is wrong, or "".
  std::function<std::string(const std::vector<std::string>&)> check;
};

// The BAR0 verdicts with one stuck bit: per width w the item at offset / w holds its index
// truncated to w bytes, and the stuck bit sits in byte offset % w of it.
std::string StuckBar0(uint32_t offset, uint32_t bit, uint32_t level) {
  std::string verdicts[4];
  const uint32_t widths[4] = {1, 2, 4, 8};
  for (int k = 0; k < 4; ++k) {
    const uint32_t w = widths[k], item = offset / w;
    const uint64_t written = w == 8 ? item : item & ((uint64_t{1} << (8 * w)) - 1);
    const uint64_t mask = uint64_t{1} << (8 * (offset % w) + bit);
    const uint64_t read = level ? written | mask : written & ~mask;
    verdicts[k] = read == written ? Bar0Success() : Bar0Failure(item, read);
  }
  return Bar0Test(verdicts[0], verdicts[1], verdicts[2], verdicts[3]);
}

// One memory-write transfer of size f through a board that shifts its data by `shift` bytes,
// counted on a model window; every transfer of a size counts alike, 4096 per size.
SizeCounts ShiftedCounts(uint32_t f, int shift) {
  const size_t s = 32;  // the target's first byte, with as many guard bytes on either side
  std::vector<uint8_t> window(f + 2 * s, 0xFF);
  for (uint32_t j = 0; j < f; ++j)
    window[static_cast<size_t>(static_cast<long>(s + j) + shift)] = static_cast<uint8_t>(j);
  uint32_t corrupted = 0, mismatched = 0;
  for (size_t i = 0; i < window.size(); ++i) {
    const bool target = i >= s && i < s + f;
    if (!target && window[i] != 0xFF) ++corrupted;
    if (target && window[i] != static_cast<uint8_t>(i - s)) ++mismatched;
  }
  return SizeCounts{0, 4096 * corrupted, 4096 * mismatched};
}

// wordcount-bad=every: size f is the board's channel-0 transfers (4096 - f) * 4096 + 1 to
// (4097 - f) * 4096, and every every-th of them leaves a wrong count.
CountsOfSize WrongWordCounts(uint32_t every) {
  return [every](uint32_t size) {
    const uint32_t first = (4096 - size) * 4096 + 1, last = (4097 - size) * 4096;
    return SizeCounts{last / every - (first - 1) / every, 0, 0};
  };
}

Fault MakeFault(Rng& rng) {
  const std::string kContig = "WDC_DMAContigBufLock", kSg = "WDC_DMASGBufLock",
                    kIntEnable = "WDC_IntEnable";
  Fault f;
  switch (Pick(rng, 0, 29)) {
    case 0: break;  // a healthy board on the default link
    case 1: {
      static const char* kWidths[] = {"1", "2", "4", "8", "16"};
      f.setting = "link=gen" + std::to_string(Pick(rng, 1, 3)) + "x" + kWidths[Pick(rng, 0, 4)];
      break;
    }
    case 2: f.setting = "boards=" + std::to_string(Pick(rng, 2, 3)); break;
    case 3: f.setting = "misalign=" + std::to_string(Pick(rng, 1, 4095)); break;
    case 4: {
      const uint32_t offset = Pick(rng, 0, 4095), bit = Pick(rng, 0, 7), level = Pick(rng, 0, 1);
      f.setting = "bar0-stuck=" + std::to_string(offset) + ":" + std::to_string(bit) + ":" +
                  std::to_string(level);
      f.bar0 = StuckBar0(offset, bit, level);
      // The DMA source is BAR0 too: byte `offset` of the counting pattern arrives wrong in every
      // transfer that reaches it, unless that pattern byte already holds the level.
      const bool wrong = (((offset & 0xFF) >> bit) & 1) != level;
      f.counts = [offset, wrong](uint32_t size) {
        return SizeCounts{0, 0, size > offset && wrong ? 4096u : 0u};
      };
      break;
    }
    case 5: {
      int shift = static_cast<int>(Pick(rng, 1, 3));
      if (Pick(rng, 0, 1)) shift = -shift;
      f.setting = "dma-shift=" + std::to_string(shift);
      f.counts = [shift](uint32_t size) { return ShiftedCounts(size, shift); };
      break;
    }
    case 6: {
      const uint32_t every = Pick(rng, 1, 5000);
      f.setting = "wordcount-bad=" + std::to_string(every);
      f.counts = WrongWordCounts(every);
      break;
    }
    case 7: {
      // Whole inner pages of the 50 MiB destination (12,800 pages): the first and last may be
      // partial, since the buffer comes from the heap.
      const uint32_t i = Pick(rng, 1, 12798);
      uint32_t j = Pick(rng, 1, 12797);
      if (j >= i) ++j;
      f.setting = "sg-swap=" + std::to_string(i) + ":" + std::to_string(j);
      f.backloop = BackloopHeading() + BackloopResultAnyCount();
      f.check = [](const std::vector<std::string>& caps) -> std::string {
        if (caps.size() < 2) return "no mismatch count captured";
        const unsigned long n = std::strtoul(caps[caps.size() - 2].c_str(), nullptr, 10);
        // Each differing byte position counts once in each page: even, at most 2 x 4096.
        if (n == 0 || n % 2 != 0 || n > 8192)
          return "swapped pages gave " + std::to_string(n) + " mismatches";
        return "";
      };
      break;
    }
    case 8:
      f.setting = "high-bus=1";
      f.integrity_fixed = ContigLockFailure(AboveFourGiB());
      f.performance = f.integrity_fixed;
      f.backloop = BackloopHeading() + SgLockFailure(AboveFourGiB());
      break;
    case 9:
      f.setting = "irq-drop=backloop@1";
      f.backloop = BackloopHeading() + WaitFailure();
      break;
    case 10:
      f.setting = "fail=" + kContig + "@1";
      f.integrity_fixed = ContigLockFailure(Simulated(kContig));
      break;
    case 11:
      f.setting = "fail=" + kContig + "@" + std::to_string(Pick(rng, 2, 4));
      f.performance = ContigLockFailure(Simulated(kContig));
      break;
    case 12:
      f.setting = "fail=" + kContig + "@" + std::to_string(Pick(rng, 5, 6));
      f.backloop = BackloopHeading() + ContigLockFailure(Simulated(kContig));
      break;
    case 13:
      f.setting = "fail=" + kSg + "@" + std::to_string(Pick(rng, 1, 2));
      f.backloop = BackloopHeading() + SgLockFailure(Simulated(kSg));
      break;
    case 14:
      f.setting = "fail=" + kIntEnable + "@1";
      f.integrity_fixed = IntEnableFailure(Simulated(kIntEnable));
      break;
    case 15:
      f.setting = "fail=" + kIntEnable + "@2";
      f.backloop = BackloopHeading() + IntEnableFailure(Simulated(kIntEnable));
      break;
    case 16:
      // The integrity pass's registration stays; the backloop's enable is refused, and its
      // release disables the old one.
      f.setting = "fail=WDC_IntDisable@1";
      f.backloop = BackloopHeading() + IntEnableFailure(AlreadyEnabled());
      break;
    case 17: {
      static const char* kIgnored[] = {"WDC_DMASyncCpu", "WDC_DMASyncIo", "WDC_Sleep"};
      f.setting = std::string("fail=") + kIgnored[Pick(rng, 0, 2)] + "@" +
                  std::to_string(Pick(rng, 1, 8000));
      break;
    }
    case 18: {
      const std::vector<LostBar0Access>& lost = LostBar0Accesses();
      const LostBar0Access& access = lost[Pick(rng, 0, static_cast<uint32_t>(lost.size() - 1))];
      f.setting = access.setting;
      f.bar0 = access.bar0;
      break;
    }
    case 19:
      // DMA source byte 3 keeps the uint64 phase's 0: one wrong byte per transfer.
      f.setting = "fail=WDC_WriteAddr8@4100";
      f.counts = [](uint32_t) { return SizeCounts{0, 0, 4096}; };
      break;
    case 20:
      f.setting = "boards=0";
      f.whole = Banner() + NoDevice();
      break;
    case 21:
      f.setting = "fail=WDC_DriverOpen";
      f.whole = Banner() + LibraryOpenFailure(Simulated("WDC_DriverOpen"));
      break;
    case 22:
      f.setting = "fail=WDC_PciScanDevices";
      f.whole = Banner() + PciScanFailure(Simulated("WDC_PciScanDevices"));
      break;
    case 23:
      f.setting = "fail=WDC_PciGetDeviceInfo";
      f.whole = Banner() + DeviceInfoFailure(Simulated("WDC_PciGetDeviceInfo"));
      break;
    case 24:
      f.setting = "fail=WDC_PciDeviceOpen";
      f.whole = Banner() + DeviceOpenFailure(Simulated("WDC_PciDeviceOpen"));
      break;
    case 25:
      f.setting = "boards=2,bogus=" + std::to_string(Pick(rng, 0, 99));
      f.whole = Banner() + LibraryOpenFailure(BadSetting(f.setting.substr(9)));
      break;
    case 26:
      f.setting = "fail=WDC_DriverClose";
      f.tail = LibraryCloseFailure(Simulated("WDC_DriverClose"));
      break;
    case 27: {
      // Two faults of different tests at once.
      const uint32_t every = Pick(rng, 100, 5000);
      f.setting = "wordcount-bad=" + std::to_string(every) + ",irq-drop=backloop@1";
      f.counts = WrongWordCounts(every);
      f.backloop = BackloopHeading() + WaitFailure();
      break;
    }
    case 28:
      f.setting = "misalign=" + std::to_string(Pick(rng, 1, 4095)) + ",link=gen3x8,boards=3";
      break;
    default:
      f.setting = "fail=" + kContig + "@" + std::to_string(Pick(rng, 2, 4)) + ",fail=" + kSg + "@2";
      f.performance = ContigLockFailure(Simulated(kContig));
      f.backloop = BackloopHeading() + SgLockFailure(Simulated(kSg));
      break;
  }
  return f;
}

// ---- How the integrity pass ends early -------------------------------------------------------

enum class EndKind { kKeyAfterSizes, kKeyWaitingBeforePass, kDroppedCompletion };

struct Ending {
  EndKind kind;
  uint32_t n = 0;  // sizes before the key, or the dropped completion
  std::string Describe() const {
    switch (kind) {
      case EndKind::kKeyAfterSizes: return "key when size " + std::to_string(4096 - n) + " begins";
      case EndKind::kKeyWaitingBeforePass: return "key waiting before the pass";
      default: return "completion " + std::to_string(n) + " dropped";
    }
  }
};

Ending MakeEnding(Rng& rng) {
  switch (Pick(rng, 0, 2)) {
    case 0: return {EndKind::kKeyAfterSizes, Pick(rng, 0, 3)};
    case 1: return {EndKind::kKeyWaitingBeforePass, 0};
    default: return {EndKind::kDroppedCompletion, Pick(rng, 1, 3 * 4096)};
  }
}

struct Plan {
  std::string setting;
  Ending ending;
  Fault fault;
};

Plan MakePlan(uint64_t seed, uint32_t index) {
  std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32), index};
  Rng rng(seq);
  Plan p;
  p.fault = MakeFault(rng);
  p.ending = MakeEnding(rng);
  p.setting = "pause=off";
  if (!p.fault.setting.empty()) p.setting += "," + p.fault.setting;
  // A fault table entry that drops a backloop completion keeps it; ch0 drops are the ending's.
  if (p.ending.kind == EndKind::kDroppedCompletion)
    p.setting += ",irq-drop=ch0@" + std::to_string(p.ending.n);
  return p;
}

// The memory-write pass after its heading, from the actual output where a key's timing decides
// which size it reached. Sets *why when the pass ended somewhere it should not have.
std::string PassBody(const Plan& p, const std::string& output, std::string* why) {
  if (!p.fault.integrity_fixed.empty()) return p.fault.integrity_fixed;
  switch (p.ending.kind) {
    case EndKind::kKeyAfterSizes: {
      uint32_t stopped = 0;
      std::string body = SizesUntilInterrupted(output, p.fault.counts, &stopped);
      if (stopped > 4096 - p.ending.n || stopped == 0)
        *why = "the pass stopped at size " + std::to_string(stopped) + ", before the key";
      return body;
    }
    case EndKind::kKeyWaitingBeforePass:
      // A key already waiting ends the pass after its first transfer.
      return SizeLine(4096) + Interrupted();
    default: {
      const uint32_t stop = 4096 - (p.ending.n - 1) / 4096;
      std::string body;
      for (uint32_t f = 4096; f > stop; --f) body += SizeBlock(f, p.fault.counts(f));
      return body + SizeLine(stop) + WaitFailure();
    }
  }
}

std::vector<Action> Actions(const Plan& p) {
  switch (p.ending.kind) {
    case EndKind::kKeyAfterSizes: return {KeyWhen(SizeLine(4096 - p.ending.n))};
    case EndKind::kKeyWaitingBeforePass: return {};  // typed ahead, see Run
    default: return {};
  }
}

const char* const kSanitizerMarks[] = {"AddressSanitizer", "LeakSanitizer",
                                       "runtime error:", "UndefinedBehaviorSanitizer",
                                       "ThreadSanitizer"};

// Runs one plan; returns "" or what went wrong.
std::string RunPlan(const std::string& exe, const Plan& p, double* seconds) {
  RunSpec desc = Utility(p.setting, Actions(p));
  // The BAR0 test is over in well under a millisecond: a key meant to wait for the pass is
  // typed before the program starts.
  if (p.ending.kind == EndKind::kKeyWaitingBeforePass) desc.typed_ahead = "x";
  desc.exe = exe;
  desc.timeout_ms = 300000;
  RunResult r = RunProgram(desc);
  *seconds = r.seconds;

  std::string why;
  for (const char* mark : kSanitizerMarks)
    if (r.output.find(mark) != std::string::npos)
      why += std::string("sanitizer report (") + mark + ")\n";

  std::string expected;
  if (!p.fault.whole.empty()) {
    expected = p.fault.whole;
  } else {
    std::string pass_why;
    expected = UntilIntegrity(p.fault.bar0) + PassBody(p, r.output, &pass_why) +
               p.fault.performance + p.fault.backloop + p.fault.tail;
    if (!pass_why.empty()) why += pass_why + "\n";
  }
  // Exit status 0, no time-out, no resources left at close, the output as expected.
  Verdict v = CheckRun(r, expected);
  if (!v.ok) why += v.why;
  if (v.ok && p.fault.check) {
    const std::string extra = p.fault.check(v.captures);
    if (!extra.empty()) why += extra + "\n";
  }
  if (!why.empty()) why += "--- output ---\n" + r.output + "--- end ---\n";
  return why;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int Usage() {
  std::fprintf(stderr,
               "usage: soak [--runs N] [--seed S] [--only I] [--exe PATH] [--no-build]\n"
               "       soak --valgrind [--exe PATH]\n");
  return 2;
}

// ---- The valgrind check ----------------------------------------------------------------------

// One whole run under memcheck, nothing suppressed: every test, with the integrity pass ended
// by a lost completion (the second transfer's interrupt never comes, so the pass ends after its
// 1 s wait), then the performance and backloop tests in full. Passes when the output is the
// oracle's, the exit status 0 (valgrind's own status for errors is 99), and valgrind's log
// shows no error and no leak. Under valgrind a run takes about half a minute with an optimised
// build; an unoptimised one is too slow there (the board's 50 MiB backloop copy outlasts the
// test's 2 s wait).
int ValgrindCheck(const std::string& exe) {
  const std::string log_path = "/tmp/fpga-diag-valgrind." + std::to_string(getpid()) + ".log";
  RunSpec desc = Utility("irq-drop=ch0@2");
  desc.exe = exe;
  desc.wrapper = {"valgrind",
                  "--tool=memcheck",
                  "--error-exitcode=99",
                  "--leak-check=full",
                  "--show-leak-kinds=definite,indirect,possible",
                  "--errors-for-leak-kinds=definite,indirect,possible",
                  "--track-origins=yes",
                  "--log-file=" + log_path};
  desc.timeout_ms = 300000;
  std::printf("soak: %s under valgrind memcheck, FPGA_SIM=%s\n", exe.c_str(),
              desc.fpga_sim->c_str());
  std::fflush(stdout);
  const RunResult r = RunProgram(desc);
  std::stringstream log_text;
  log_text << std::ifstream(log_path).rdbuf();
  const std::string log = log_text.str();
  unlink(log_path.c_str());

  std::string why = CheckRun(r, LostCompletionRun()).why;
  if (r.exited && r.exit_status == 99) why += "valgrind found errors\n";
  if (log.find("ERROR SUMMARY: 0 errors") == std::string::npos)
    why += "valgrind's log has no \"ERROR SUMMARY: 0 errors\"\n";
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const size_t lost = line.find(" lost: ");
    if (lost != std::string::npos && line.compare(lost + 7, 8, "0 bytes ") != 0)
      why += "valgrind reports a leak: " + line + "\n";
    if (lost != std::string::npos || line.find("ERROR SUMMARY") != std::string::npos)
      std::printf("  %s\n", line.c_str());
  }
  std::printf("soak: the run %s\n", Describe(r).c_str());
  if (!why.empty()) {
    std::printf("FAILED\n%s--- output ---\n%s--- valgrind ---\n%s--- end ---\n", why.c_str(),
                r.output.c_str(), log.c_str());
    return 1;
  }
  std::printf("soak: valgrind clean\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t runs = 100;
  uint64_t seed =
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  long only = -1;
  std::string exe;
  bool build = true, valgrind = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--runs" && has_value)
      runs = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--seed" && has_value)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--only" && has_value)
      only = std::strtol(argv[++i], nullptr, 10);
    else if (a == "--exe" && has_value)
      exe = argv[++i];
    else if (a == "--no-build")
      build = false;
    else if (a == "--valgrind")
      valgrind = true;
    else
      return Usage();
  }
  if (valgrind) return ValgrindCheck(exe.empty() ? DefaultExe() : exe);
  if (exe.empty()) {
    const std::string source = FPGA_DIAG_SOURCE_DIR;
    exe = source + "/build/asan/fpga-diag-sim";
    if (!Exists(exe) && build) {
      std::printf("soak: building %s (preset asan)\n", exe.c_str());
      std::fflush(stdout);
      const std::string cmd = "cd '" + source +
                              "' && cmake --preset asan >/dev/null && "
                              "cmake --build --preset asan -j 2 --target fpga-diag-sim";
      if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "soak: the asan build failed\n");
        return 2;
      }
    }
  }
  if (!Exists(exe)) {
    std::fprintf(stderr, "soak: no utility at %s\n", exe.c_str());
    return 2;
  }

  // Reports must end the run with a non-zero status and show in the output; leaks are reports.
  setenv("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:exitcode=23", 1);
  setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1", 1);

  std::printf("soak: %s, seed %" PRIu64 ", %u run(s)\n", exe.c_str(), seed, only >= 0 ? 1u : runs);
  std::fflush(stdout);
  const auto start = std::chrono::steady_clock::now();
  uint32_t done = 0, failed = 0;
  for (uint32_t i = 0; i < runs; ++i) {
    if (only >= 0 && i != static_cast<uint32_t>(only)) continue;
    const Plan p = MakePlan(seed, i);
    std::printf("run %u: FPGA_SIM=%s; %s ... ", i, p.setting.c_str(), p.ending.Describe().c_str());
    std::fflush(stdout);
    double seconds = 0;
    const std::string why = RunPlan(exe, p, &seconds);
    ++done;
    if (why.empty()) {
      std::printf("ok (%.1f s)\n", seconds);
    } else {
      ++failed;
      std::printf("FAILED (%.1f s)\n%s", seconds, why.c_str());
    }
    std::fflush(stdout);
  }
  const double total =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("soak: %u run(s), %u failed, %.0f s, seed %" PRIu64 "\n", done, failed, total, seed);
  return failed == 0 ? 0 : 1;
}
