// The utility built for 64-bit Windows (preset "windows"), run under Wine from Linux: the same
// end-to-end cases and expectations as on Linux, with the console's "\r\n" line ends turned into
// "\n" and the rates matched by pattern.
//
// Wine runs headless here (no DISPLAY), in a prefix of its own under the build folder, silent
// (WINEDEBUG=-all). The prefix is created once; a Wine start then costs about 0.1 s while a
// wineserver is up and 2-3 s when one has to start, so under ctest a fixture creates the prefix
// and keeps one wineserver up for every case, and a cleanup fixture stops it. Run by hand, the
// program does both itself.
//
// Key presses: Wine's console on a terminal (output to the terminal as well) never reports a
// key press to _kbhit, whatever the program does; with only standard input on the terminal
// and the output piped, it does once the console input has been peeked at (the program's
// ConsoleInit does that). So the whole run here is ended by a lost completion
// (irq-drop=ch0@N), and one case checks a key press with the output piped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "e2e_harness.h"

#ifndef FPGA_DIAG_WINDOWS_EXE
#define FPGA_DIAG_WINDOWS_EXE "build/windows/fpga-diag-sim.exe"
#endif
#ifndef FPGA_DIAG_WINE_PREFIX
#define FPGA_DIAG_WINE_PREFIX "build/wine-prefix"
#endif

namespace e2e {
namespace {

using namespace oracle;

std::string WindowsExe() {
  if (const char* e = std::getenv("FPGA_DIAG_WINDOWS_EXE"); e && *e) return e;
  return FPGA_DIAG_WINDOWS_EXE;
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    const size_t colon = dirs.find(':', start);
    const std::string dir = dirs.substr(start, colon == std::string::npos ? colon : colon - start);
    if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
    if (colon == std::string::npos) return false;
    start = colon + 1;
  }
}

// Why Wine cannot run here, or "" when it can.
std::string Missing() {
  if (!OnPath("wine") || !OnPath("wineserver") || !OnPath("wineboot"))
    return "wine, wineserver or wineboot is not on PATH (Debian: apt-get install wine64)";
  if (!IsFile(WindowsExe()))
    return WindowsExe() +
           " is not built (cmake --preset windows && cmake --build --preset windows)";
  return "";
}

// The environment every Wine process of this program gets, children included.
void UseOwnPrefix() {
  setenv("WINEPREFIX", FPGA_DIAG_WINE_PREFIX, 1);
  setenv("WINEDEBUG", "-all", 1);
  // No Mono or Gecko: the prefix is made without asking to download them.
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return status == -1 ? -1 : WEXITSTATUS(status);
}

// Creates the prefix when it is not there yet (about 10 s) and leaves a wineserver running that
// stays up for `persist_s` seconds after its last client.
bool PrepareWine(int persist_s) {
  UseOwnPrefix();
  const std::string prefix = FPGA_DIAG_WINE_PREFIX;
  if (!IsFile(prefix + "/system.reg")) {
    std::fprintf(stderr, "wine: creating the prefix %s\n", prefix.c_str());
    // wineboot's status is no guide (without 32-bit Wine it reports the 32-bit part missing);
    // the registry is on disk once the server it started has ended.
    Shell("wineboot -i >'" + prefix + ".log' 2>&1; wineserver -w");
    if (!IsFile(prefix + "/system.reg")) {
      std::fprintf(stderr, "wine: wineboot -i failed, see %s.log\n", prefix.c_str());
      return false;
    }
  }
  // A server still up (wineboot's, or one an earlier, killed run left) would refuse the new
  // persistence; it is stopped and waited for first. The new one ends by itself at the latest
  // persist_s after its last client, should nobody stop it.
  Shell("wineserver -k >/dev/null 2>&1; wineserver -w >/dev/null 2>&1");
  return Shell("wineserver -p" + std::to_string(persist_s) + " >/dev/null 2>&1") == 0;
}

void StopWine() {
  UseOwnPrefix();
  Shell("wineserver -k >/dev/null 2>&1");
}

bool Required() {
  const char* r = std::getenv("FPGA_DIAG_WINE_REQUIRED");
  return r && std::strcmp(r, "1") == 0;
}

class WineEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!Missing().empty()) return;  // each case reports it
    if (std::getenv("FPGA_DIAG_WINE_KEEP_SERVER") != nullptr) {
      UseOwnPrefix();  // the ctest fixture has made the prefix and started the server
    } else {
      ASSERT_TRUE(PrepareWine(30)) << "could not set up Wine";
      started_ = true;
    }
  }
  void TearDown() override {
    if (started_) StopWine();
  }

 private:
  bool started_ = false;
};

// Every case: skipped where Wine or the .exe is missing (a failure when they are required).
class WineCase : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = Missing();
    if (missing.empty()) return;
    if (Required()) FAIL() << missing;
    GTEST_SKIP() << missing;
  }
};
using WineConsole = WineCase;
using WineRun = WineCase;
using WineRunFailures = WineCase;
using WineKeys = WineCase;

// A run of the .exe under Wine without a terminal: standard input and output are pipes.
RunSpec Wine(const std::string& fpga_sim) {
  RunSpec s = Utility(fpga_sim);
  s.exe = WindowsExe();
  s.wrapper = {"wine"};
  s.console = Console::kNoTerminal;
  return s;
}

// The first channel-0 completion that raises no interrupt: the 5th transfer of size 4096. The
// wait for it times out after 1 s, the memory-read pass is skipped, and the performance and
// backloop tests follow.
const char kEndEarly[] = "irq-drop=ch0@5";

// The rates come from the performance counter; a wrong tick rate shows as a rate far beyond the
// link. A busy machine only makes them lower, so there is no lower bound.
void ExpectPlausibleRates(const Verdict& v) {
  const double link = LinkPrinted(2, 4);
  for (size_t i = 0; i < v.captures.size(); ++i) {
    const double rate = Number(v.captures[i]);
    EXPECT_GT(rate, 0.0) << "rate " << i + 1;
    EXPECT_LT(rate, 1.5 * link) << "rate " << i + 1 << " beyond the link's " << link;
  }
}

// ---- The console's bytes ---------------------------------------------------------------------

TEST_F(WineConsole, LinesEndInCarriageReturnLineFeedOnAPipe) {
  // The harness turns "\r\n" into "\n"; the bytes themselves are checked here.
  UseOwnPrefix();
  setenv("FPGA_SIM", "boards=0", 1);
  FILE* p = popen(("wine '" + WindowsExe() + "' 2>/dev/null </dev/null").c_str(), "r");
  unsetenv("FPGA_SIM");
  ASSERT_NE(p, nullptr);
  std::string raw;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) raw.append(buf, n);
  const int status = pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::string expected;
  for (char c : Banner() + NoDevice()) {
    if (c == '\n') expected += '\r';
    expected += c;
  }
  EXPECT_EQ(raw, expected);
}

// ---- Runs that end before the tests ----------------------------------------------------------

TEST_F(WineRun, NoBoard) {
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(Wine("boards=0")), Banner() + NoDevice()));
}

TEST_F(WineRunFailures, LibraryOpenFails) {
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(Wine("fail=WDC_DriverOpen")),
                              Banner() + LibraryOpenFailure(Simulated("WDC_DriverOpen"))));
}

TEST_F(WineRunFailures, PciScanFails) {
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(Wine("fail=WDC_PciScanDevices")),
                              Banner() + PciScanFailure(Simulated("WDC_PciScanDevices"))));
}

TEST_F(WineRunFailures, DeviceInfoFails) {
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(Wine("fail=WDC_PciGetDeviceInfo")),
                              Banner() + DeviceInfoFailure(Simulated("WDC_PciGetDeviceInfo"))));
}

TEST_F(WineRunFailures, DeviceOpenFails) {
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(Wine("fail=WDC_PciDeviceOpen")),
                              Banner() + DeviceOpenFailure(Simulated("WDC_PciDeviceOpen"))));
}

TEST_F(WineRunFailures, BadSettingNamesTheItem) {
  // getenv reaches the variable through Wine's environment, and the parser's text comes back.
  for (const char* item : {"bogus=1", "link=gen4x4"}) {
    Verdict v = CheckRun(RunProgram(Wine(std::string("pause=off,") + item)),
                         Banner() + LibraryOpenFailure(BadSetting(item)));
    E2E_EXPECT_VERDICT(v);
    if (v.ok) {
      ASSERT_EQ(v.captures.size(), 1u);
      EXPECT_FALSE(v.captures[0].empty()) << item;
    }
  }
}

// ---- Whole runs ------------------------------------------------------------------------------

TEST_F(WineRun, WholeRunWithTheIntegrityPassEndedEarly) {
  RunResult r = RunProgram(Wine(kEndEarly));
  Verdict v = CheckRun(r, LostCompletionRun());
  E2E_EXPECT_VERDICT(v);
  if (v.ok) {
    EXPECT_EQ(v.captures.size(), 10u);  // nine performance rates and the backloop rate
    ExpectPlausibleRates(v);
  }
  // The lost completion is waited for 1 s; the performance test runs about 5 s.
  EXPECT_GE(r.seconds, 6.0) << Describe(r);
}

TEST_F(WineRunFailures, DeviceCloseFailsShowingTheHandle) {
  // The handle prints as upper-case hex digits, 16 of them: %p matches nothing else.
  E2E_EXPECT_VERDICT(CheckRun(RunProgram(Wine(std::string(kEndEarly) + ",fail=WDC_PciDeviceClose")),
                              LostCompletionRun() +
                                  DeviceCloseFailure(Simulated("WDC_PciDeviceClose")) +
                                  Ledger("1 device handle open")));
}

TEST_F(WineRunFailures, LibraryCloseFails) {
  E2E_EXPECT_VERDICT(
      CheckRun(RunProgram(Wine(std::string(kEndEarly) + ",fail=WDC_DriverClose")),
               LostCompletionRun() + LibraryCloseFailure(Simulated("WDC_DriverClose"))));
}

TEST_F(WineKeys, KeyPressEndsThePassWhenOnlyInputIsOnTheTerminal) {
  // The terminal is standard input; the output goes through a pipe (cat) to the terminal, with
  // the terminal's own "\n" -> "\r\n" and echo turned off so the bytes arrive as Wine wrote them.
  RunSpec s = Utility(std::nullopt, {KeyAtFirstSize()});
  s.exe = WindowsExe();
  s.wrapper = {"bash", "-c", "stty -onlcr -echo && set -o pipefail && wine \"$@\" 2>&1 | cat",
               "wine-key"};
  s.console = Console::kTerminal;
  s.timeout_ms = 40000;  // a key never seen would leave the pass running for half an hour
  RunResult r = RunProgram(s);
  uint32_t stopped_at = 0;
  const std::string sizes = SizesUntilInterrupted(
      r.output, [](uint32_t) { return SizeCounts{}; }, &stopped_at);
  Verdict v = CheckRun(r, UntilIntegrity() + sizes + AfterIntegrity());
  E2E_EXPECT_VERDICT(v);
  // With the real 100 us pause a size takes about half a second; the key lands within a few.
  EXPECT_GE(stopped_at, 4090u) << "the key was seen late, or not at all";
}

}  // namespace
}  // namespace e2e

int main(int argc, char** argv) {
  // The ctest fixtures: make the prefix and start the shared wineserver, and stop it at the end.
  // 77: Wine or the .exe is missing, so the fixture and the cases are skipped.
  if (argc == 2 && std::strcmp(argv[1], "--wine-setup") == 0) {
    const std::string missing = e2e::Missing();
    if (!missing.empty()) {
      std::printf("skipped: %s\n", missing.c_str());
      return e2e::Required() ? 1 : 77;
    }
    return e2e::PrepareWine(60) ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--wine-cleanup") == 0) {
    e2e::StopWine();
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new e2e::WineEnvironment);
  return RUN_ALL_TESTS();
}
