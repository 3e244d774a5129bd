// The board's error registers around a run: what became set during it is the run's (a
// correctable error warns, an uncorrectable one fails, each by name), what was set before is
// said and not blamed on it, and registers that were not read weigh nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "report/judge.h"
#include "report/log_reader.h"
#include "report_logs.h"

namespace {

using namespace report;
using Kind = ErrorBit::Kind;

const ErrorBit kBadTlp{"0000:01:00.0", false, "Bad TLP", Kind::kCorrectable};
const ErrorBit kTimeout{"0000:01:00.0", false, "Completion Timeout", Kind::kNonFatal};
const ErrorBit kPortRxErr{"0000:00:03.0", true, "Receiver Error", Kind::kCorrectable};

ErrorReading Read(const std::vector<ErrorBit>& set) {
  ErrorReading r;
  r.read = true;
  r.access = "through sysfs config as root";
  r.set = set;
  return r;
}

// A healthy run's log on a board whose registers read `before` and `after` (no link known: the
// link's check weighs nothing).
BoardReport Judged(const ErrorReading& before, const ErrorReading& after) {
  BoardFacts facts;
  facts.address = "0000:01:00.0";
  facts.errors_before = before;
  facts.errors_after = after;
  return JudgeBoard(ReadLog(report_logs::WholeRun(2, 4)), facts, {}, {}, Options{});
}

const TestResult& ErrorsCheck(const BoardReport& b) {
  for (const TestResult& t : b.checks)
    if (t.id == "board.errors") return t;
  static const TestResult none{"none", "no errors check"};
  return none;
}

TEST(ReportBoard, ErrorsSetDuringTheRunWarnOrFailByNameAndThoseSetBeforeAreNotBlamed) {
  BoardReport b = Judged(Read({}), Read({kBadTlp, kPortRxErr}));
  EXPECT_EQ(ErrorsCheck(b).verdict, Verdict::kWarn);
  EXPECT_EQ(b.verdict, Verdict::kWarn);
  EXPECT_EQ(b.reason.rfind("error registers: during the run the AER recorded Bad TLP "
                           "(correctable), Receiver Error (correctable, in the port above it, "
                           "0000:00:03.0): the link retried",
                           0),
            0u)
      << b.reason;

  b = Judged(Read({}), Read({kBadTlp, kTimeout}));
  EXPECT_EQ(b.verdict, Verdict::kFail);
  EXPECT_EQ(ErrorsCheck(b).reason,
            "during the run the AER recorded Completion Timeout (uncorrectable, non-fatal), Bad "
            "TLP (correctable): a transaction failed on the link (read through sysfs config as "
            "root)");
  EXPECT_EQ(ErrorsCheck(b).measurements[0].value, 1);  // uncorrectable during the run
  EXPECT_EQ(ErrorsCheck(b).measurements[1].value, 1);  // correctable during the run

  // Sticky bits set before the run: said, not blamed; only the new one counts.
  b = Judged(Read({kTimeout}), Read({kTimeout, kBadTlp}));
  EXPECT_EQ(b.verdict, Verdict::kWarn);
  EXPECT_NE(ErrorsCheck(b).reason.find("recorded Bad TLP (correctable)"), std::string::npos);
  EXPECT_NE(ErrorsCheck(b).reason.find("; already set before it, so not blamed on it: Completion "
                                       "Timeout (uncorrectable, non-fatal) (a repeat does not show "
                                       "until they are cleared: `fpga-diag-setup clear-errors "
                                       "0000:01:00.0`)"),
            std::string::npos)
      << ErrorsCheck(b).reason;
  b = Judged(Read({kTimeout}), Read({kTimeout}));
  EXPECT_EQ(ErrorsCheck(b).verdict, Verdict::kPass);
  EXPECT_EQ(b.verdict, Verdict::kPass) << b.reason;

  // Where the kernel controls AER its reset at the run's close clears the status: the errors its
  // driver was told of are in its counters, and a count that grew is the run's, read or not.
  ErrorReading counted = Read({});
  counted.counted = counted.kernel_controls_aer = true;
  counted.counts = {{kTimeout, 1}};
  ErrorReading more = counted;
  more.counts = {{kTimeout, 1}, {kBadTlp, 2}};
  b = Judged(counted, more);
  EXPECT_EQ(b.verdict, Verdict::kWarn);
  EXPECT_EQ(ErrorsCheck(b).figure, "Bad TLP (correctable)");
  EXPECT_NE(ErrorsCheck(b).reason.find("(read through sysfs config as root, and the kernel's AER "
                                       "counters); the kernel controls AER here"),
            std::string::npos)
      << ErrorsCheck(b).reason;
  more.read = counted.read = false;
  more.unread = counted.unread = "not readable without root or the group file";
  EXPECT_EQ(ErrorsCheck(Judged(counted, more)).verdict, Verdict::kWarn);

  // Not read, before or after (or a saved log, which reads nothing): NOT RUN, weighing nothing.
  ErrorReading unread;
  unread.unread = "not readable without root or the group file";
  b = Judged(Read({}), unread);
  EXPECT_EQ(ErrorsCheck(b).verdict, Verdict::kNotRun);
  EXPECT_EQ(ErrorsCheck(b).reason,
            "the board's error registers (AER) were not read after the run: not readable without "
            "root or the group file");
  EXPECT_EQ(b.verdict, Verdict::kPass) << b.reason;
  b = Judged(ErrorReading{}, ErrorReading{});
  EXPECT_NE(ErrorsCheck(b).reason.find("a saved log"), std::string::npos);
  EXPECT_EQ(b.verdict, Verdict::kPass);
}

}  // namespace
