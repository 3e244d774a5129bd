// The report's judging of a whole run's log (both integrity passes to their end, about 1.3 MB),
// as fpga-diag-report LOG does it: the reader fed in 64 KiB pieces, the log's SHA-256, the judge.
// Goal: at most 50 ms. The outputs are timed on their own.
#include <benchmark/benchmark.h>

#include "report/judge.h"
#include "report/log_reader.h"
#include "report/outputs.h"
#include "report/sha256.h"
#include "report_logs.h"

namespace {

const std::string& WholeRunLog() {
  // Errors in every size whose low two bits are 0b11, so that the error paths are taken too.
  static const std::string log = report_logs::WholeRun(3, 8, [](uint32_t f) {
    return (f & 3) == 3 ? oracle::SizeCounts{0, 1, f} : oracle::SizeCounts{};
  });
  return log;
}

report::BoardReport Judge(const std::string& log) {
  report::LogReader reader;
  report::Sha256 sha;
  for (size_t at = 0; at < log.size(); at += 65536) {
    const size_t n = std::min<size_t>(65536, log.size() - at);
    reader.Feed(log.data() + at, n);
    sha.Update(log.data() + at, n);
  }
  reader.Finish();
  report::BoardFacts facts;
  facts.trained = report::Link{3, 8};
  report::LogFile file;
  file.sha256 = sha.HexDigest();
  return report::JudgeBoard(reader.Log(), facts, {}, file, {});
}

void BM_JudgeWholeRun(benchmark::State& state) {
  const std::string& log = WholeRunLog();
  for (auto _ : state) benchmark::DoNotOptimize(Judge(log));
  state.counters["log_bytes"] = static_cast<double>(log.size());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log.size()));
}
BENCHMARK(BM_JudgeWholeRun)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Outputs(benchmark::State& state) {
  report::Report r;
  r.boards.push_back(Judge(WholeRunLog()));
  report::Conclude(&r);
  for (auto _ : state) {
    benchmark::DoNotOptimize(report::JsonText(r));
    benchmark::DoNotOptimize(report::JunitText(r));
    benchmark::DoNotOptimize(report::HtmlText(r));
  }
}
BENCHMARK(BM_Outputs)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
