// The log reader and the judge on whole outputs: a complete run, runs cut at each stage, input
// that is not the utility's, the rows no setting of the virtual board reaches, and the bounds
// that keep a log of any size to a small memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "report/judge.h"
#include "report/log_reader.h"
#include "report_logs.h"

namespace {

using namespace report;
using namespace report_logs;

BoardReport JudgeText(const std::string& text, const char* link = "gen2x4",
                      const RunEnd& run = {}) {
  BoardFacts facts;
  ParseLink(link, &facts.trained);
  return JudgeBoard(ReadLog(text), facts, run, LogFile{}, Options{});
}

const TestResult& TestOf(const BoardReport& b, const std::string& id) {
  for (const TestResult& t : b.tests)
    if (t.id == id) return t;
  static const TestResult kNone;
  ADD_FAILURE() << "no test " << id;
  return kNone;
}

TEST(ReportLog, WholeHealthyRunPassesInWholeAndFedByteByByte) {
  const std::string text = WholeRun(2, 4);
  const BoardReport whole = JudgeText(text);
  EXPECT_EQ(whole.verdict, Verdict::kPass) << whole.reason;
  ASSERT_EQ(whole.tests.size(), 13u);
  for (const TestResult& t : whole.tests) EXPECT_EQ(t.verdict, Verdict::kPass) << t.id << t.reason;
  EXPECT_TRUE(whole.log.complete);
  EXPECT_EQ(whole.log.passes[1].sizes_done, 4096u);

  // The reader is a state machine over a stream: any split of the bytes gives the same result.
  LogReader reader;
  for (char c : text) reader.Feed(&c, 1);
  reader.Finish();
  const BoardReport bytewise = JudgeBoard(reader.Log(), whole.facts, {}, {}, {});
  for (size_t i = 0; i < whole.tests.size(); ++i) {
    EXPECT_EQ(bytewise.tests[i].verdict, whole.tests[i].verdict) << whole.tests[i].id;
    EXPECT_EQ(bytewise.tests[i].reason, whole.tests[i].reason) << whole.tests[i].id;
  }
  // The Windows build's "\r\n" ends read the same.
  std::string crlf;
  for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(JudgeText(crlf).verdict, Verdict::kPass);
}

TEST(ReportLog, LogCutAtEachStageIsIncompleteSayingWhereItStops) {
  const std::string text = WholeRun(2, 4);
  const std::pair<std::string, std::string> cuts[] = {
      {Banner(), "after the banner, before the board was opened"},
      {Through(text, "Reading of uint16 array from BAR0 memory... "),
       "in the middle of a line, in the BAR0 test, at the uint16 array"},
      {Through(text, SizeLine(3000)), "in the memory-write pass at size 3000 (1096 of 4096"},
      {Through(text, IntegrityTotal(0)), "at the start of the memory-read pass"},
      {Through(text, PerformanceHeading(PerfStep::kReadWrite)),
       "in the performance test's read/write measurement"},
      {Through(text, BackloopHeading()), "in the backloop test"},
      {"", "before its first byte (it is empty)"},
  };
  for (const auto& [cut, where] : cuts) {
    const BoardReport b = JudgeText(cut);
    EXPECT_FALSE(b.log.foreign) << where << ": " << b.log.foreign_why;
    EXPECT_EQ(b.verdict, Verdict::kIncomplete) << where;
    EXPECT_EQ(b.log.stopped.rfind(where, 0), 0u) << b.log.stopped;
    EXPECT_NE(TestOf(b, "run").reason.find("the log stops " + where), std::string::npos)
        << TestOf(b, "run").reason;
  }
  // The test the log stops in is INCOMPLETE, the ones after it NOT RUN.
  const BoardReport mid = JudgeText(Through(text, SizeLine(3000)));
  EXPECT_EQ(TestOf(mid, "integrity.memory-write").verdict, Verdict::kIncomplete);
  EXPECT_EQ(TestOf(mid, "performance.write").verdict, Verdict::kNotRun);
  // A run that the utility ended itself after the backloop's heading did not cut its log: the
  // backloop failed (its buffers or its event), silently.
  RunEnd exited;
  exited.ran = exited.exited = true;
  const BoardReport silent = JudgeText(Through(text, BackloopHeading()), "gen2x4", exited);
  EXPECT_EQ(TestOf(silent, "backloop").verdict, Verdict::kFail);
}

uint64_t Lines(const std::string& s) {
  return static_cast<uint64_t>(std::count(s.begin(), s.end(), '\n'));
}

TEST(ReportLog, InputThatIsNotTheUtilitysNamesItsFirstLineThatDoesNotFit) {
  const std::string run = KeyEndedRun(4095);
  const std::string until_key = Through(run, Interrupted());
  const std::string out_of_order =
      UntilIntegrity() + SizeBlock(4096, oracle::SizeCounts{}) + SizeLine(4094);
  uint64_t total = 0;
  std::string wrong_total =
      Banner() + Bar0AllSuccess() + CompletePass(Pass::kMemoryWrite, Clean, &total);
  wrong_total.replace(wrong_total.rfind("= 0"), 3, "= 7");
  struct Case {
    const char* what;
    std::string text;
    uint64_t line;
  };
  const Case cases[] = {
      {"binary",
       std::string("\x7f"
                   "ELF\x02\x01\x01\0\0\0\n",
                   11),
       1},
      {"another program", "total 0\ndrwxr-xr-x 2 root root 40 .\n", 1},
      // The second banner: the blank line before it could still be the first run's.
      {"a second run after the close", run + run, Lines(run) + 2},
      {"the read pass after a key ended the write pass",
       until_key + IntegrityHeading(Pass::kMemoryRead), Lines(until_key) + 2},
      {"a size out of order", out_of_order, Lines(out_of_order)},
      {"a wrong total", wrong_total, Lines(wrong_total)},
      {"a line longer than any the utility prints", Banner() + std::string(5000, 'x') + "\n", 3},
      {"text without a line end that no message begins with", Banner() + "hello", 3},
  };
  for (const Case& c : cases) {
    const RunLog log = ReadLog(c.text);
    EXPECT_TRUE(log.foreign) << c.what;
    EXPECT_EQ(log.foreign_line, c.line)
        << c.what << ": " << log.foreign_text << " (" << log.foreign_why << ")";
    EXPECT_LE(log.foreign_text.size(), 124u) << c.what;
  }
}

TEST(ReportLog, RowsNoSettingReaches) {
  const std::string run = KeyEndedRun(4095);
  const std::string head = UntilIntegrity();
  const std::string after = run.substr(run.find(PerformanceHeading(PerfStep::kWrite)));
  // No completion event: the pass ends after its heading without a word.
  const BoardReport silent = JudgeText(head + after);
  EXPECT_EQ(TestOf(silent, "integrity.memory-write").verdict, Verdict::kFail);
  EXPECT_NE(TestOf(silent, "integrity.memory-write").reason.find("without a word"),
            std::string::npos);
  // ...and then the performance test's first lock fails: its line, no heading, and the backloop.
  const std::string lock = ContigLockFailure(Simulated("WDC_DMAContigBufLock"));
  const BoardReport both = JudgeText(head + lock + run.substr(run.find(BackloopHeading())));
  EXPECT_FALSE(both.log.foreign) << both.log.foreign_why;
  EXPECT_NE(TestOf(both, "integrity.memory-write").reason.find("without a word"),
            std::string::npos);
  EXPECT_NE(TestOf(both, "performance.write").reason.find("could not lock its buffers"),
            std::string::npos);
  // A printed total over 2^32 that the 32-bit form of the total kept: read as the sum's.
  uint64_t total = 0;
  std::string pass = CompletePass(
      Pass::kMemoryWrite,
      [](uint32_t) {
        return oracle::SizeCounts{0, 0, 4096 * 4096};
      },
      &total);
  ASSERT_GT(total, 0xFFFFFFFFull);
  pass.replace(pass.rfind(std::to_string(total)), std::to_string(total).size(),
               std::to_string(total & 0xFFFFFFFFu));
  EXPECT_FALSE(ReadLog(Banner() + Bar0AllSuccess() + pass).foreign);
}

TEST(ReportLog, FailureLinesAreCappedAndTheReaderStaysSmall) {
  // A pass with errors in every size: 4096 count lines tell of them, 200 are kept.
  const std::string text = WholeRun(2, 4, [](uint32_t f) { return oracle::SizeCounts{0, 0, f}; });
  LogReader reader;
  size_t most = 0;
  for (size_t at = 0; at < text.size(); at += 4096) {
    reader.Feed(text.data() + at, std::min<size_t>(4096, text.size() - at));
    most = std::max(most, reader.RetainedBytes());
  }
  reader.Finish();
  EXPECT_EQ(reader.Log().failure_lines.size(), kMaxFailureLines);
  EXPECT_EQ(reader.Log().failure_lines_left_out, 4096 - kMaxFailureLines);
  EXPECT_LT(most, 256u * 1024);
  const BoardReport b = JudgeBoard(reader.Log(), {}, {}, {}, {});
  EXPECT_EQ(TestOf(b, "integrity.memory-write").reason,
            "4096 sizes with errors, the first at 4096: 4096 mismatched data bytes");
}

}  // namespace
