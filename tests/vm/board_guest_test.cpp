// The real-board utility, unchanged, in a Linux guest against our virtual board served over
// vfio-user (scripts/vm-board.sh): the guest's kernel, its IOMMU and vfio-pci stand between the
// two, so what the in-process and modelled runs take on trust is exercised here for real: the
// BARs as the kernel maps them, DMA through the guest's IOVAs, MSI and INTx through eventfds,
// the release when a run is killed, the board as an Express endpoint behind a root port (its
// link as the kernel reads it, vfio-pci's function-level resets). A boot costs seconds under TCG,
// so each guest carries one board per case (each its own server with its own settings) and runs its
// cases in turn; INTx needs a second boot (pci=nomsi), which runs beside the first. The fault cases
// compare the guest's output with fpga-diag-sim's for the same settings and key, run on this
// machine meanwhile.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_harness.h"
#include "oracle.h"
#include "setup/pcie_errors.h"
#include "vfio/advice.h"

namespace {

using namespace oracle;

// The key of a whole run: the line of size 4095, so that the memory-write pass ends after one
// whole size (4096 transfers, each at its own offset). A transfer costs the guest one to two
// milliseconds under TCG, so the cases whose fault shows elsewhere press it at the first size.
constexpr uint32_t kWholeSize = 4095;
constexpr uint32_t kFirstSize = 4096;
std::string KeyRegex(uint32_t size) { return "size = " + std::to_string(size) + "\\.\\.\\.$"; }
// The kill lands in the backloop's run: after its heading, once both 50 MiB buffers and both
// descriptor tables (100 KiB each) are locked (vfio pins them, as VmLck shows) and a little
// more, while the board streams the buffers at Gen1 x1 (about 260 ms).
constexpr char kKillRegex[] = "^Scatter/Gather DMA backloop testing";
constexpr long kKillLockedKib = 2 * 50 * 1024 + 2 * 100;
constexpr int kKillDelayMs = 50;
// Trained below its maximum, so that the guest's kernel has two links to tell apart.
constexpr char kKillLink[] = "link=gen1x1,link-max=gen3x8";

struct Fault {
  const char* name;
  const char* settings;
  uint32_t key_size;  // the key is pressed at this size's line
};
// Two faults a board, each showing in a test of its own, so that the six take three runs.
const Fault kFaults[] = {
    // The BAR0 test's verdicts; the backloop's wait failure.
    {"bar0_stuck_irq_drop_backloop", "bar0-stuck=0x10:3:1,irq-drop=backloop@1", kFirstSize},
    // Size 4096's size mismatches (transfers 1000 to 4000), corrupted and mismatched bytes.
    {"dma_shift_wordcount_bad", "dma-shift=4,wordcount-bad=1000", kWholeSize},
    // A wait failure within size 4096, before any key; the backloop's mismatches.
    {"irq_drop_ch0_sg_swap", "irq-drop=ch0@100,sg-swap=3:7", kWholeSize},
};
// The stray board's first run ends its integrity pass at transfer 100 (a lost completion) and
// then locks the backloop's buffers over the low bus addresses, the stray's target among them;
// the second run's first transfer (the board's 101st) goes 1 MiB past its buffer, to a bus
// address that the first run's mappings held and its unlocks gave back. The second run's backloop
// records an uncorrectable error, which fpga-diag-setup then takes through the group file.
constexpr char kStraySettings[] =
    "irq-drop=ch0@100,dma-stray=101,aer=completion-timeout:backloop@2";
// The report's run in the MSI guest: fpga-diag-report --run on a board whose first completion is
// lost, so that its memory-write pass ends by itself after 1 s (no key), then the other tests,
// the backloop's completion recording an uncorrectable error in the board's AER (which this
// guest's kernel, in control of AER, clears at vfio-pci's reset when the run closes the board).
constexpr char kReportSettings[] = "irq-drop=ch0@1,aer=completion-timeout:backloop@1";
constexpr char kReportCommand[] = "/bin/fpga-diag-report --run --json @OUT@.json --log @OUT@.log";
// The report's run in the INTx guest: a healthy run (the key at the first size, counted as
// passed) on a link trained below its maximum, whose backloop's completion records a correctable
// error; the floor low enough for the guest's backloop (TCG makes it a tenth of the link's).
constexpr char kAerSettings[] = "link=gen1x1,link-max=gen3x8,aer=bad-tlp:backloop@1";
constexpr char kAerCommand[] =
    "/bin/fpga-diag-report --run --verbose --partial-ok --min-share 1% --json @OUT@.json "
    "--log @OUT@.log";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// One guest's boot and runs, as scripts/vm-board.sh left them in its output folder.
struct Guest {
  std::string dir;
  bool ok = false;
  std::string why;                      // when not ok: what the script said last
  std::map<std::string, int> board_of;  // run name -> board index

  std::string File(const std::string& name) const { return ReadFile(dir + "/" + name); }
  std::string Output(const std::string& run) const { return File(run + ".out"); }
  // "exit 0", "signal 9", "timeout", ... (the first line of NAME.status)
  std::string Ended(const std::string& run) const {
    const std::string s = File(run + ".status");
    return s.substr(0, s.find('\n'));
  }
  std::string BoardLog(const std::string& run) const {
    return File("board-" + std::to_string(board_of.at(run)) + ".log");
  }
  // The PCI address the guest gave the run's board, as the kernel's log writes it: board I
  // sits behind the root port the firmware numbered bus I+1.
  std::string Slot(const std::string& run) const {
    char text[16];
    std::snprintf(text, sizeof text, "%02x:00.0", 1 + board_of.at(run));
    return text;
  }
};

struct PlannedRun {
  std::string name;
  int board;
  std::string key, kill;
  long kill_locked_kib;
  int kill_delay_ms;
  std::string command = "";  // instead of the utility (tests/vm/pty_run.cpp)
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// What one integrity transfer cost in the guest: size 4096's 4096 transfers, from its line to
// the next size's line (each transfer with the utility's 100 us pause after it).
std::string TransferCost(const std::string& times) {
  auto when = [&times](uint32_t size) {
    const std::string line = "\t" + SizeLine(size);
    const size_t at = times.find(line);
    if (at == std::string::npos) return -1.0;
    const size_t from = times.rfind('\n', at);
    return std::atof(times.c_str() + (from == std::string::npos ? 0 : from + 1));
  };
  const double first = when(4096), next = when(4095);
  if (first < 0 || next < 0) return "";
  char text[64];
  std::snprintf(text, sizeof text, "; %.0f us a transfer at size 4096",
                (next - first) / 4096 * 1e6);
  return text;
}

// The board the MSI guest leaves to fpga-diag-setup (scripts/vm-board.sh --setup-board): the
// healthy one, the first, so that the tool's exit status, which is the first board's, is its.
constexpr int kSetupBoard = 0;
constexpr int kAerBoard = 3;             // the INTx guest's board of kAerSettings
constexpr int kStrayBoard = 2;           // and of kStraySettings
constexpr char kSetupUser[] = "fduser";  // uid 1000 in the guest's /etc/passwd

// Boots one guest with these boards and runs, through the script, and reports on the way.
// `errors_boards`: the boards whose error registers fpga-diag-setup takes after the runs ("I",
// or "I:user" through the group file), as scripts/vm-board.sh's --errors-board.
Guest Boot(const std::string& name, const std::vector<std::string>& boards,
           const std::vector<PlannedRun>& runs, bool intx, int setup_board,
           const std::vector<std::string>& errors_boards) {
  Guest g;
  g.dir = std::string(FPGA_DIAG_VM_OUT) + "/" + name;
  std::string mk = "mkdir -p " + Quote(g.dir);
  if (std::system(mk.c_str()) != 0) {
    g.why = "cannot make " + g.dir;
    return g;
  }
  std::ofstream plan(g.dir + "/runs");
  for (const PlannedRun& r : runs) {
    plan << r.name << '\t' << r.board << '\t' << r.key << '\t' << r.kill << '\t'
         << r.kill_locked_kib << '\t' << r.kill_delay_ms
         << (r.command.empty() ? "" : "\t" + r.command) << '\n';
    g.board_of[r.name] = r.board;
  }
  plan.close();
  std::string cmd = Quote(std::string(FPGA_DIAG_SOURCE_DIR) + "/scripts/vm-board.sh") +
                    " --no-build --build-dir " + Quote(FPGA_DIAG_BUILD_DIR) + " --out " +
                    Quote(g.dir) + " --runs " + Quote(g.dir + "/runs");
  if (intx) cmd += " --intx";
  if (setup_board >= 0) cmd += " --setup-board " + std::to_string(setup_board);
  for (const std::string& e : errors_boards) cmd += " --errors-board " + e;
  for (const std::string& b : boards) cmd += " --board " + Quote(b);
  cmd += " >" + Quote(g.dir + "/script.log") + " 2>&1";
  const int status = std::system(cmd.c_str());
  g.ok = status == 0;
  if (!g.ok) {
    const std::string log = ReadFile(g.dir + "/script.log");
    g.why = "scripts/vm-board.sh failed (" + std::to_string(status) + "); the end of " + g.dir +
            "/script.log:\n" + log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  }
  // What each phase cost, for the record: the boot, and each run in the guest.
  std::istringstream phases(g.File("times"));  // "guest SECONDS", "runs-start SECONDS"
  std::map<std::string, std::string> phase;
  for (std::string key, value; phases >> key >> value;) phase[key] = value;
  std::printf("[ guest %s ] the runs started %s s after the kernel; QEMU ran %s s in all\n",
              name.c_str(), phase["runs-start"].c_str(), phase["guest"].c_str());
  for (const PlannedRun& r : runs) {
    const std::string s = g.File(r.name + ".status");
    const size_t at = s.find("seconds ");
    std::printf("[ guest %s ] run %s: %s, %s s%s\n", name.c_str(), r.name.c_str(),
                g.Ended(r.name).c_str(),
                at == std::string::npos ? "?" : s.substr(at + 8, s.find('\n', at) - at - 8).c_str(),
                TransferCost(g.File(r.name + ".times")).c_str());
  }
  std::fflush(stdout);
  return g;
}

// Two guests, booted at once (each a QEMU of its own, so neither stalls the other): over MSI a
// healthy board and the faults, with the fault cases' references run on this machine
// meanwhile; over INTx a healthy board, one killed in the backloop and run again, and the stray
// DMA after a run on the same board. Within a guest the runs go one at a time
// (scripts/vm-board.sh says why).
struct Guests {
  Guest msi;
  std::map<std::string, e2e::RunResult> reference;  // fault name -> fpga-diag-sim's run
  Guest intx;
};

const Guests& Booted() {
  static const Guests* guests = [] {
    auto intx = std::async(std::launch::async, [] {
      return Boot("intx", {"", kKillLink, kStraySettings, kAerSettings},
                  {{"healthy", 0, KeyRegex(kWholeSize), "", 0, 0},
                   {"killed", 1, KeyRegex(kFirstSize), kKillRegex, kKillLockedKib, kKillDelayMs},
                   {"after_kill", 1, KeyRegex(kFirstSize), "", 0, 0},
                   {"before_stray", 2, KeyRegex(kWholeSize), "", 0, 0},
                   {"stray", 2, KeyRegex(kWholeSize), "", 0, 0},
                   {"report_aer", kAerBoard, KeyRegex(kFirstSize), "", 0, 0, kAerCommand}},
                  true, -1, {std::to_string(kAerBoard), std::to_string(kStrayBoard) + ":user"});
    });
    std::vector<std::future<std::pair<std::string, e2e::RunResult>>> references;
    for (const Fault& f : kFaults) {
      references.push_back(std::async(std::launch::async, [f] {
        return std::make_pair(
            std::string(f.name),
            e2e::RunProgram(e2e::Utility(f.settings, {e2e::KeyWhen(SizeLine(f.key_size))})));
      }));
    }
    std::vector<std::string> boards = {""};
    std::vector<PlannedRun> runs = {{"healthy", 0, KeyRegex(kWholeSize), "", 0, 0}};
    for (const Fault& f : kFaults) {
      runs.push_back({f.name, static_cast<int>(boards.size()), KeyRegex(f.key_size), "", 0, 0});
      boards.push_back(f.settings);
    }
    const int report_board = static_cast<int>(boards.size());
    runs.push_back({"report", report_board, "", "", 0, 0, kReportCommand});
    boards.push_back(kReportSettings);
    auto* g = new Guests{
        Boot("msi", boards, runs, false, kSetupBoard, {std::to_string(report_board)}), {}, {}};
    for (auto& r : references) g->reference.insert(r.get());
    g->intx = intx.get();
    return g;
  }();
  return *guests;
}
const Guest& Msi() { return Booted().msi; }
const Guest& Intx() { return Booted().intx; }

// The whole run of a healthy board, the key having ended the integrity pass at size 4095.
std::string HealthyRun() {
  return UntilIntegrity() + SizeBlock(4096, SizeCounts{}) + SizeLine(kWholeSize) + Interrupted() +
         AfterIntegrity();
}

// fpga-diag-sim's output as an expected text: the rates, which follow each machine's clock,
// matched by pattern; with `any_backloop_count` the backloop's mismatch count too (swapped
// pages differ by as many bytes as the run's random data makes them).
std::string FromReference(const std::string& output, bool any_backloop_count) {
  std::string expected;
  std::istringstream lines(output);
  std::string line;
  static const std::regex kRate("(rate is )-?[0-9]+\\.[0-9]{6}( MByte/sec)$");
  static const std::regex kCount("^(Number of data mismatches = )[0-9]+$");
  while (std::getline(lines, line)) {
    line = std::regex_replace(Literal(line), kRate, "$1%f$2");
    if (any_backloop_count) line = std::regex_replace(line, kCount, "$1%s");
    expected += line + "\n";
  }
  return expected;
}

void ExpectGuestRun(const Guest& g, const std::string& run, const std::string& expected) {
  ASSERT_TRUE(g.ok) << g.why;
  EXPECT_EQ(g.Ended(run), "exit 0") << "the utility in the guest did not run to its end";
  const std::string output = g.Output(run);
  const Match m = MatchOutput(expected, output);
  EXPECT_TRUE(m.ok) << m.diff;
  EXPECT_EQ(output.find(LedgerMark()), std::string::npos) << "resources left at close";
  EXPECT_NE(g.BoardLog(run).find("the server ended with status 0"), std::string::npos)
      << "the board's server did not stop cleanly:\n"
      << g.BoardLog(run);
}

// ---- A healthy board -------------------------------------------------------------------------

// The guest's count of the interrupt vfio-pci requested for the run's board under `name`
// (vfio-msi[0] or vfio-intx), as the key was typed; -1 when it had none of that kind.
long InterruptCount(const Guest& g, const std::string& run, const std::string& name) {
  std::istringstream lines(g.File(run + ".irqs"));
  const std::string tag = name + "(0000:" + g.Slot(run) + ")";
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(tag) == std::string::npos) continue;
    // "  NN:  count-cpu0  count-cpu1  CHIP ... NAME"
    std::istringstream fields(line.substr(line.find(':') + 1));
    long total = 0, n = 0;
    while (fields >> n) total += n;
    return total;
  }
  return -1;
}

TEST(VmBoard, HealthyBoardOverMsiRunsWhole) {
  ExpectGuestRun(Msi(), "healthy", HealthyRun());
  // Every one of size 4096's transfers ended with the board's MSI, as the guest counted them.
  EXPECT_GE(InterruptCount(Msi(), "healthy", "vfio-msi[0]"), 4096);
  EXPECT_EQ(InterruptCount(Msi(), "healthy", "vfio-intx"), -1);
}

TEST(VmBoard, HealthyBoardOverIntxRunsWhole) {
  ExpectGuestRun(Intx(), "healthy", HealthyRun());
  // With MSI off in the kernel the backend fell back to the board's INTx line. The guest counts
  // fewer interrupts than transfers: a completion that is already pending when the library
  // unmasks the line (the next transfer started before the library's thread got to the unmask)
  // is passed on by vfio-pci's unmask itself, with no new interrupt.
  EXPECT_GT(InterruptCount(Intx(), "healthy", "vfio-intx"), 0);
  EXPECT_EQ(InterruptCount(Intx(), "healthy", "vfio-msi[0]"), -1);
}

// ---- The board's faults, as the in-process board shows them -----------------------------------

class VmBoardFault : public ::testing::TestWithParam<Fault> {};

TEST_P(VmBoardFault, OutputIsTheInProcessBoards) {
  const Fault& f = GetParam();
  const e2e::RunResult& ref = Booted().reference.at(f.name);
  ASSERT_TRUE(ref.exited && ref.exit_status == 0) << "fpga-diag-sim: " << e2e::Describe(ref);
  const bool swap = std::string(f.settings).find("sg-swap") != std::string::npos;
  ExpectGuestRun(Msi(), f.name, FromReference(ref.output, swap));
  if (swap) {
    // Two swapped pages of random bytes: each differing position counts once in each page.
    std::smatch m;
    const std::string out = Msi().Output(f.name);
    ASSERT_TRUE(std::regex_search(out, m, std::regex("mismatches = ([0-9]+)\n")));
    const unsigned long count = std::stoul(m[1]);
    EXPECT_EQ(count % 2, 0u) << count;
    EXPECT_GE(count, 7800u);
    EXPECT_LE(count, 8192u);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, VmBoardFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& i) {
                           return std::string(i.param.name);
                         });

// ---- The report's run of the utility ------------------------------------------------------------

TEST(VmBoard, ReportRunsTheUtilityOnTheServedBoardAndJudgesIt) {
  const Guest& g = Msi();
  ASSERT_TRUE(g.ok) << g.why;
  // FAIL is exit status 1; the report's own JSON says why, of the board the kernel gave it.
  EXPECT_EQ(g.Ended("report"), "exit 1") << g.Output("report");
  const nlohmann::json j = nlohmann::json::parse(g.File("report.json"), nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << g.File("report.json");
  EXPECT_EQ(j["verdict"], "FAIL");
  EXPECT_EQ(j["reason"], "memory-write pass: device interrupts waiting failure at size 4096");
  const nlohmann::json& b = j["boards"][0];
  EXPECT_EQ(b["board"]["address"], "0000:" + g.Slot("report"));
  EXPECT_EQ(b["board"]["vendor_id"], "0x10ee");
  EXPECT_EQ(b["run"]["exit_status"], 0) << "the utility's own exit status";
  EXPECT_EQ(b["log"]["complete"], true);
}

// ---- A transfer outside its buffer -------------------------------------------------------------

TEST(VmBoard, StrayDmaIsBlockedByTheGuestsIommu) {
  const Guest& g = Intx();
  // In each run a transfer of size 4096 never completes (the 100th lost its interrupt, the
  // stray 1st was blocked): the utility's wait failure, then the other tests.
  ExpectGuestRun(g, "before_stray", LostCompletionRun());
  ExpectGuestRun(g, "stray", LostCompletionRun());
  // The guest's IOMMU refused the board's write, at a page no mapping of the guest holds any
  // more (a mapping the server kept past its unmap would have taken the write silently)...
  std::smatch fault;
  const std::string dmesg = g.File("dmesg");
  ASSERT_TRUE(std::regex_search(dmesg, fault,
                                std::regex("DMAR: \\[DMA Write[^\\]]*\\] Request device \\[" +
                                           g.Slot("stray") + "\\] fault addr (0x[0-9a-f]+)")))
      << "no DMAR write fault for " << g.Slot("stray") << " in the guest's log";
  const uint64_t addr = std::stoull(fault[1], nullptr, 16);
  // ...and the server was told so: it had no mapping there, so the write went to the client
  // (QEMU), which judged it by the guest's IOMMU and did not make it. A device write reaches
  // the guest only through a mapping or through the client: no byte outside the buffer changed.
  char hex[32];
  std::snprintf(hex, sizeof hex, "%" PRIx64, addr);
  const std::string log = g.BoardLog("stray");
  EXPECT_NE(log.find(hex), std::string::npos)
      << "the server's log does not name the refused address 0x" << hex << ":\n"
      << log;
  // No board but this one drew a fault.
  const std::regex any_fault(
      "DMAR: \\[DMA (Read|Write)[^\\]]*\\] Request device \\[([0-9a-f:.]+)\\]");
  for (std::sregex_iterator it(dmesg.begin(), dmesg.end(), any_fault), end; it != end; ++it)
    EXPECT_EQ((*it)[2].str(), g.Slot("stray")) << it->str();
}

// ---- A run killed in the backloop ---------------------------------------------------------------

TEST(VmBoard, RunKilledInTheBackloopLeavesTheBoardWholeForTheNext) {
  const Guest& g = Intx();
  ASSERT_TRUE(g.ok) << g.why;
  EXPECT_EQ(g.Ended("killed"), "signal 9");
  const std::string first = g.Output("killed");
  EXPECT_NE(first.find(BackloopHeading()), std::string::npos) << first;
  EXPECT_EQ(first.find("Number of data mismatches"), std::string::npos)
      << "the backloop ended before the kill:\n"
      << first;
  // Every test to its end, and the backloop's 50 MiB moved right.
  ExpectGuestRun(g, "after_kill", InterruptedRun());
  // Where the kill landed, for the record: a run the kernel's release cut short shows as the
  // board's blocked access.
  std::printf("[ guest intx ] the killed board's server:\n%s", g.BoardLog("killed").c_str());
}

// ---- The board as a PCI Express endpoint ------------------------------------------------------

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The guest's kernel reads the trained link and its maximum from the board's Express
// capability, as QEMU passes it through behind a root port; the sysfs files a user reads are
// filled.
TEST(VmBoard, GuestKernelReadsTheTrainedLinkAndItsMaximum) {
  const Guest& g = Intx();
  ASSERT_TRUE(g.ok) << g.why;
  ASSERT_EQ(g.board_of.at("killed"), 1);  // kKillLink's board
  EXPECT_EQ(g.File("board-1.link"),
            "current_link_speed 2.5 GT/s PCIe\ncurrent_link_width 1\n"
            "max_link_speed 8.0 GT/s PCIe\nmax_link_width 8\n");
  EXPECT_EQ(g.File("board-0.link"),
            "current_link_speed 5.0 GT/s PCIe\ncurrent_link_width 4\n"
            "max_link_speed 5.0 GT/s PCIe\nmax_link_width 4\n");
  EXPECT_NE(g.File("dmesg").find("limited by 2.5 GT/s PCIe x1 link at 0000:00:04.0 (capable of "
                                 "63.008 Gb/s with 8.0 GT/s PCIe x8 link)"),
            std::string::npos)
      << "the kernel's note of the slow link";
}

// vfio-pci resets the board with an FLR when a process opens it and again when it closes it
// (a killed one too); QEMU passes the guest's Initiate FLR on as a configuration write, which
// the server answers once the board is reset. Every run was still whole (the cases above).
// fpga-diag-setup's reads through a group file open the board too: uid 1000's status of the MSI
// guest's setup board (user_bound), and its status and clear-errors of the INTx guest's stray
// board (one open each).
TEST(VmBoard, VfioPciResetsTheBoardAtEachOpenAndClose) {
  for (const Guest* g : {&Msi(), &Intx()}) {
    ASSERT_TRUE(g->ok) << g->why;
    std::map<int, size_t> runs;  // board -> the runs made on it, and the tool's opens
    for (const auto& [run, board] : g->board_of) ++runs[board];
    runs[g == &Msi() ? kSetupBoard : kStrayBoard] += g == &Msi() ? 1 : 2;
    for (const auto& [board, n] : runs) {
      const std::string log = g->File("board-" + std::to_string(board) + ".log");
      const size_t flrs = Count(log, "reset by function-level reset\n");
      std::printf("[ guest %s ] board %d: %zu runs, %zu FLRs, %zu DEVICE_RESETs\n",
                  g == &Msi() ? "msi" : "intx", board, n, flrs,
                  Count(log, "reset by DEVICE_RESET\n"));
      EXPECT_EQ(flrs, 2 * n) << "board " << board << "'s server:\n" << log;
    }
  }
}

// ---- fpga-diag-setup on a board bound to no driver ---------------------------------------------

// Each of the tool's steps in the MSI guest, around the runs (scripts/vm-board.sh says which).
struct SetupStep {
  std::string output, ended;  // ended: "exit N"
};
SetupStep Step(const Guest& g, const std::string& step) {
  const std::string s = g.File("setup-" + step + ".status");
  return {g.File("setup-" + step + ".out"), s.substr(0, s.find('\n'))};
}

TEST(VmBoard, SetupBindsTheBoardForTheUtilityAndGivesItBack) {
  const Guest& g = Msi();
  ASSERT_TRUE(g.ok) << g.why;
  ASSERT_EQ(g.board_of.at("healthy"), kSetupBoard);
  const std::string bdf = "0000:" + g.Slot("healthy");
  const std::string board_line = "Board " + bdf + " (10ee:5050)\n";
  const std::string verdict = "Verdict for " + bdf + ": ";
  for (const char* step :
       {"before", "bind", "bound", "user_before", "bind_user", "user_bound", "unbind", "after"})
    std::printf("[ guest msi ] fpga-diag-setup step %s (%s):\n%s", step,
                Step(g, step).ended.c_str(), Step(g, step).output.c_str());
  std::fflush(stdout);

  // Bound to no driver, the verdict names the binding, and the command that makes it.
  const std::string sysfs_before = g.File("setup-before.sysfs");
  ASSERT_NE(sysfs_before.find("driver none\noverride (null)\n"), std::string::npos) << sysfs_before;
  std::smatch group;
  ASSERT_TRUE(std::regex_search(sysfs_before, group, std::regex("\ngroup ([0-9]+)\n")));
  const std::string group_file = "/dev/vfio/" + group[1].str();
  const SetupStep before = Step(g, "before");
  EXPECT_EQ(before.ended, "exit 1");
  EXPECT_NE(before.output.find(board_line + "  driver       none\n"), std::string::npos)
      << before.output;
  EXPECT_NE(before.output.find(verdict + "not ready: " + vfio::AdviseNotBound(bdf, "").text +
                               " Or, as root, in one step: `fpga-diag-setup bind " + bdf + "`."),
            std::string::npos)
      << before.output;

  // Bound, it is ready for root.
  const SetupStep bind = Step(g, "bind");
  EXPECT_EQ(bind.ended, "exit 0") << bind.output;
  EXPECT_NE(bind.output.find("Bound " + bdf + " to vfio-pci (it had no driver)"), std::string::npos)
      << bind.output;
  EXPECT_NE(g.File("setup-bound.sysfs").find("driver vfio-pci\noverride vfio-pci\n"),
            std::string::npos)
      << g.File("setup-bound.sysfs");
  const SetupStep bound = Step(g, "bound");
  EXPECT_EQ(bound.ended, "exit 0") << bound.output;
  EXPECT_NE(bound.output.find(verdict + "ready: fpga-diag can open it as root.\n"),
            std::string::npos)
      << bound.output;

  // uid 1000 may not open the group file root's binding made, and is told the command that
  // gives it; with --user, ready for that user too.
  const SetupStep user_before = Step(g, "user_before");
  EXPECT_EQ(user_before.ended, "exit 1");
  EXPECT_NE(user_before.output.find("  group file   " + group_file +
                                    ": owner root, group root, mode 0600; you cannot open it"),
            std::string::npos)
      << user_before.output;
  EXPECT_NE(user_before.output.find(
                verdict + "not ready: " + vfio::AdviseFileRefused(group_file, EACCES, bdf).text +
                " Or, as root, in one step: `fpga-diag-setup bind " + bdf + " --user " +
                kSetupUser + "`."),
            std::string::npos)
      << user_before.output;
  const SetupStep bind_user = Step(g, "bind_user");
  EXPECT_EQ(bind_user.ended, "exit 0") << bind_user.output;
  EXPECT_NE(bind_user.output.find(bdf + " is already bound to vfio-pci.\n"), std::string::npos)
      << bind_user.output;
  EXPECT_NE(bind_user.output.find("Gave " + group_file + " to " + kSetupUser), std::string::npos)
      << bind_user.output;
  EXPECT_NE(bind_user.output.find(vfio::UdevRule(kSetupUser)), std::string::npos)
      << bind_user.output;
  const SetupStep user_bound = Step(g, "user_bound");
  EXPECT_EQ(user_bound.ended, "exit 0") << user_bound.output;
  EXPECT_NE(user_bound.output.find(verdict + "ready: fpga-diag can open it as " +
                                   std::string(kSetupUser) + ".\n"),
            std::string::npos)
      << user_bound.output;

  // The utility ran on the board so bound (HealthyBoardOverMsiRunsWhole checks its output).
  EXPECT_EQ(g.Ended("healthy"), "exit 0");

  // Given back: no driver, no override, and the report as it was at first.
  const SetupStep unbind = Step(g, "unbind");
  EXPECT_EQ(unbind.ended, "exit 0") << unbind.output;
  EXPECT_NE(unbind.output.find("Gave " + bdf + " back to the kernel: it now has no driver.\n"),
            std::string::npos)
      << unbind.output;
  EXPECT_EQ(g.File("setup-after.sysfs"), sysfs_before);
  const SetupStep after = Step(g, "after");
  EXPECT_EQ(after.ended, "exit 1");
  EXPECT_EQ(after.output, before.output);
}

// ---- The board's error registers around a run -------------------------------------------------

// The check of a report's JSON board by its id.
nlohmann::json Check(const nlohmann::json& board, const std::string& id) {
  for (const nlohmann::json& c : board["checks"])
    if (c["id"] == id) return c;
  return nullptr;
}

// A correctable error during the backloop (Bad TLP: the link retried, the data whole): the
// report's verdict is WARN and names it; fpga-diag-setup, as root through sysfs config, names it
// and the slow link, leaves the board ready, clears it, and shows none after.
TEST(VmBoard, ACorrectableErrorDuringTheBackloopWarnsByNameAndIsCleared) {
  const Guest& g = Intx();
  ASSERT_TRUE(g.ok) << g.why;
  ASSERT_EQ(g.board_of.at("report_aer"), kAerBoard);
  EXPECT_EQ(g.Ended("report_aer"), "exit 0") << g.Output("report_aer");
  const nlohmann::json j = nlohmann::json::parse(g.File("report_aer.json"), nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << g.File("report_aer.json");
  std::printf("[ guest intx ] the report's verdict: %s: %s\n", j["verdict"].dump().c_str(),
              j["reason"].dump().c_str());
  EXPECT_EQ(j["verdict"], "WARN");
  EXPECT_EQ(j["reason"].get<std::string>().rfind(
                "error registers: during the run the AER recorded Bad TLP (correctable): the "
                "link retried, so the data stayed whole",
                0),
            0u)
      << j["reason"];
  const nlohmann::json& b = j["boards"][0];
  const nlohmann::json& errors = b["board"]["errors"];
  EXPECT_EQ(errors["before"]["set"].size(), 0u) << errors;
  ASSERT_EQ(errors["after"]["set"].size(), 1u) << errors;
  EXPECT_EQ(errors["after"]["set"][0]["name"], "Bad TLP");
  EXPECT_EQ(errors["after"]["access"], "through sysfs config as root");
  EXPECT_EQ(Check(b, "board.link")["verdict"], "WARN");
  EXPECT_NE(
      Check(b, "board.link")["reason"].get<std::string>().find("238.4 MByte/sec instead of 7512.0"),
      std::string::npos);
  // The status bits are sticky through vfio-pci's reset at the close, Device Status's are not.
  const std::string config = g.File("board-" + std::to_string(kAerBoard) + ".after.config");
  const setup::ErrorRegisters after =
      setup::DecodeErrors(reinterpret_cast<const uint8_t*>(config.data()), config.size());
  EXPECT_TRUE(after.aer);
  EXPECT_EQ(after.correctable, 1u << 6);
  EXPECT_EQ(after.device_status, 0u);

  const std::string bdf = "0000:" + g.Slot("report_aer");
  const std::string prefix = "errors-" + std::to_string(kAerBoard) + "-";
  for (const char* step : {"before", "clear", "after"})
    std::printf("[ guest intx ] fpga-diag-setup %s (%s):\n%s", (prefix + step).c_str(),
                Step(g, prefix + step).ended.c_str(), Step(g, prefix + step).output.c_str());
  const SetupStep before = Step(g, prefix + "before");
  EXPECT_EQ(before.ended, "exit 0");  // a correctable error is a note: the data arrived whole
  EXPECT_NE(before.output.find("  link         2.5 GT/s PCIe x1, maximum 8.0 GT/s PCIe x8: trained "
                               "below its maximum"),
            std::string::npos)
      << before.output;
  EXPECT_NE(before.output.find("  board        through sysfs config as root: set\n"
                               "               correctable: Bad TLP\n"
                               "               uncorrectable: none\n"),
            std::string::npos)
      << before.output;
  // The kernel keeps counters, but no error message reaches its AER driver.
  EXPECT_NE(before.output.find("the kernel's AER counters: 0 correctable, 0 non-fatal, 0 fatal"),
            std::string::npos)
      << before.output;
  EXPECT_NE(before.output.find("  port         0000:00:0" + std::to_string(3 + kAerBoard) +
                               ".0, through sysfs config as root: none set\n"),
            std::string::npos)
      << before.output;
  EXPECT_NE(before.output.find("ready: fpga-diag can open it as root (its link trained below its "
                               "maximum; correctable errors are recorded, under Errors)."),
            std::string::npos)
      << before.output;
  const SetupStep clear = Step(g, prefix + "clear");
  EXPECT_EQ(clear.ended, "exit 0") << clear.output;
  EXPECT_NE(clear.output.find("Cleared in " + bdf +
                              ", through sysfs config as root: Bad TLP "
                              "(correctable).\n"),
            std::string::npos)
      << clear.output;
  const SetupStep cleared = Step(g, prefix + "after");
  EXPECT_EQ(cleared.ended, "exit 0");
  EXPECT_NE(cleared.output.find("  board        through sysfs config as root: none set\n"),
            std::string::npos)
      << cleared.output;
}

// An uncorrectable error during the backloop (Completion Timeout) on a board whose kernel does not
// control AER: the board is not ready for fpga-diag-setup (root, through sysfs config) until
// uid 1000, given the group file, reads and clears it through vfio-pci's configuration region.
TEST(VmBoard, AnUncorrectableErrorKeepsTheBoardNotReadyUntilClearedThroughTheGroupFile) {
  const Guest& g = Intx();
  ASSERT_TRUE(g.ok) << g.why;
  ASSERT_EQ(g.board_of.at("stray"), kStrayBoard);
  const std::string bdf = "0000:" + g.Slot("stray");
  const std::string prefix = "errors-" + std::to_string(kStrayBoard) + "-";
  for (const char* step : {"before", "user", "clear", "after"})
    std::printf("[ guest intx ] fpga-diag-setup %s (%s):\n%s", (prefix + step).c_str(),
                Step(g, prefix + step).ended.c_str(), Step(g, prefix + step).output.c_str());
  std::fflush(stdout);
  const SetupStep before = Step(g, prefix + "before");
  EXPECT_EQ(before.ended, "exit 1");
  EXPECT_NE(before.output.find("               uncorrectable: Completion Timeout (non-fatal)\n"),
            std::string::npos)
      << before.output;
  EXPECT_NE(before.output.find("Verdict for " + bdf +
                               ": not ready: an uncorrectable error is "
                               "recorded in its AER: Completion Timeout (non-fatal). "),
            std::string::npos)
      << before.output;
  const SetupStep user = Step(g, prefix + "user");
  EXPECT_EQ(user.ended, "exit 1");
  std::smatch group;
  ASSERT_TRUE(std::regex_search(user.output, group,
                                std::regex("  board        through its VFIO group file "
                                           "(/dev/vfio/[0-9]+): set\n")))
      << user.output;
  EXPECT_NE(user.output.find("uncorrectable: Completion Timeout (non-fatal)\n"), std::string::npos)
      << user.output;
  EXPECT_NE(user.output.find(", readable as root only"), std::string::npos) << user.output;
  const SetupStep clear = Step(g, prefix + "clear");
  EXPECT_EQ(clear.ended, "exit 0") << clear.output;
  EXPECT_NE(clear.output.find("Cleared in " + bdf + ", through its VFIO group file " +
                              group[1].str() + ": Completion Timeout (uncorrectable, non-fatal)"),
            std::string::npos)
      << clear.output;
  const SetupStep after = Step(g, prefix + "after");
  EXPECT_EQ(after.ended, "exit 0") << after.output;
  EXPECT_NE(after.output.find("  board        through sysfs config as root: none set\n"),
            std::string::npos)
      << after.output;
}

// Where the kernel controls AER (the MSI guest: it took control from the firmware, and bound its
// AER service to each root port) it clears the status at vfio-pci's reset when the run closes the
// board: the uncorrectable error of the report's run is gone after it, and the served board sends
// no error message that its counters would keep. The report says so beside its verdict.
TEST(VmBoard, AKernelInControlOfAerClearsTheStatusAtTheRunsClose) {
  const Guest& g = Msi();
  ASSERT_TRUE(g.ok) << g.why;
  const std::string port = "0000:00:0" + std::to_string(3 + g.board_of.at("report")) + ".0";
  EXPECT_NE(g.File("pci_express").find(port + ":pcie002\n"), std::string::npos)
      << g.File("pci_express");
  EXPECT_EQ(Intx().File("pci_express").find(":pcie002"), std::string::npos)
      << Intx().File("pci_express");
  const nlohmann::json j = nlohmann::json::parse(g.File("report.json"), nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << g.File("report.json");
  const nlohmann::json check = Check(j["boards"][0], "board.errors");
  EXPECT_EQ(check["verdict"], "PASS") << check;
  EXPECT_NE(check["reason"].get<std::string>().find("the kernel controls AER here"),
            std::string::npos)
      << check;
  EXPECT_EQ(j["boards"][0]["board"]["errors"]["after"]["kernel_controls_aer"], true);
  const SetupStep before = Step(g, "errors-" + std::to_string(g.board_of.at("report")) + "-before");
  EXPECT_EQ(before.ended, "exit 0") << before.output;
  EXPECT_NE(before.output.find("  board        through sysfs config as root: none set\n"
                               "               the kernel's AER counters: 0 correctable, 0 "
                               "non-fatal, 0 fatal\n"
                               "               the kernel controls AER here"),
            std::string::npos)
      << before.output;
}

}  // namespace
