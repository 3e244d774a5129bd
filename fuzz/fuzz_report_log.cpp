// The report's log reader and judge with arbitrary bytes as a log.
//
// What must hold: nothing crashes; the reader reaches the same result however the bytes are
// split into pieces (it is a state machine over a stream); it keeps no more than a line's worth
// and the capped failure lines; every test gets a verdict and a reason, and the JSON output is
// well formed. Before the first input, 100 MB of garbage go through one reader in pieces: its
// memory stays bounded (what it keeps, and the process's resident size).
#include <sys/resource.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz_input.h"
#include "report/judge.h"
#include "report/log_reader.h"
#include "report/outputs.h"

namespace {

constexpr size_t kRetainedBound = report::kMaxLine + report::kMaxFailureLines * (512 + 64) + 4096;

long MaxRssKib() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

// 100 MB: lines of the utility's output and of noise, and one line of 40 MB without an end.
void GarbageKeepsTheReaderSmall() {
  const long before = MaxRssKib();
  report::LogReader reader;
  std::string piece;
  uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  const char* lines[] = {"\nFPGA PCI-Express controller diagnostic utility.\n",
                         "Testing for transfer size = 4096...\n",
                         "   Number of mismatched data bytes    = 7\n", "\x01\x02\xff\n"};
  size_t fed = 0, most = 0;
  while (fed < 100u << 20) {
    piece.clear();
    if (fed > 30u << 20 && fed < 70u << 20) {
      piece.assign(1 << 16, 'x');  // the endless line
    } else {
      while (piece.size() < 1 << 16) {
        const uint64_t r = next();
        if (r % 4 == 0)
          piece += lines[(r >> 8) % 4];
        else
          piece.push_back(static_cast<char>(r >> 16));
      }
    }
    reader.Feed(piece.data(), piece.size());
    fed += piece.size();
    if (reader.RetainedBytes() > most) most = reader.RetainedBytes();
  }
  reader.Finish();
  FUZZ_CHECK(most <= kRetainedBound, "the reader kept more than a line and its failure lines");
  // The pieces themselves are 64 KiB; everything else of the 100 MB must have been let go.
  FUZZ_CHECK(MaxRssKib() - before < 64 * 1024, "the reader's process grew on garbage");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  GarbageKeepsTheReaderSmall();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  report::LogReader whole;
  whole.Feed(text, size);
  whole.Finish();

  // The same bytes in pieces of a size the input itself chooses.
  size_t chunk = 1;
  for (size_t i = 0; i < size; ++i) chunk = (chunk * 31 + data[i]) % 97;
  chunk += 1;
  report::LogReader split;
  for (size_t at = 0; at < size; at += chunk) {
    split.Feed(text + at, size - at < chunk ? size - at : chunk);
    FUZZ_CHECK(split.RetainedBytes() <= kRetainedBound, "the reader kept too much");
  }
  split.Finish();
  const report::RunLog& a = whole.Log();
  const report::RunLog& b = split.Log();
  FUZZ_CHECK(a.foreign == b.foreign && a.foreign_line == b.foreign_line && a.lines == b.lines,
             "a split input read differently");
  FUZZ_CHECK(a.complete == b.complete && a.stopped == b.stopped && a.discovery == b.discovery,
             "a split input stopped elsewhere");
  FUZZ_CHECK(a.failure_lines.size() == b.failure_lines.size() &&
                 a.failure_lines.size() <= report::kMaxFailureLines,
             "failure lines differ or pass their cap");
  for (size_t i = 0; i < 2; ++i)
    FUZZ_CHECK(
        a.passes[i].end == b.passes[i].end && a.passes[i].sizes_done == b.passes[i].sizes_done,
        "a split input's passes differ");
  if (a.foreign) {
    FUZZ_CHECK(a.foreign_line >= 1 && a.foreign_line <= a.lines + 1,
               "a foreign line outside the log");
    return 0;
  }

  report::BoardFacts facts;
  facts.trained = report::Link{static_cast<int>(size % 5) + 1, 16};
  report::Report r;
  r.boards.push_back(report::JudgeBoard(a, facts, {}, {}, {}));
  report::Conclude(&r);
  for (const report::TestResult& t : r.boards[0].tests)
    FUZZ_CHECK(!t.reason.empty(), "a test without a reason");
  FUZZ_CHECK(!nlohmann::json::parse(report::JsonText(r), nullptr, false).is_discarded(),
             "the JSON output does not parse");
  return 0;
}
