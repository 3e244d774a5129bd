// Costs on the integrity test's per-transfer path: the completion event handed between two
// threads, the doorbell, and the keyboard check. Run once on a terminal and once without
// (for example `bench_platform < /dev/null` from a session with no terminal, or via setsid).
#include "platform/platform.h"
#include "platform/spin_wait.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace {

// Median and 99th percentile of the per-iteration samples, in nanoseconds.
void ReportLatency(benchmark::State& state, std::vector<uint64_t>& ns) {
  if (ns.empty()) return;
  std::sort(ns.begin(), ns.end());
  state.counters["median_ns"] = static_cast<double>(ns[ns.size() / 2]);
  state.counters["p99_ns"] = static_cast<double>(ns[ns.size() * 99 / 100]);
}

// One round trip: this thread sets `ping`, a partner thread waiting on it sets `pong`, this
// thread waits on `pong`. Each leg is the completion path's Set -> Wait across threads.
void BM_EventRoundTrip(benchmark::State& state) {
  platform::EventHandle ping = platform::EventCreate(false, false);
  platform::EventHandle pong = platform::EventCreate(false, false);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    while (platform::EventWait(ping, platform::kInfinite) == platform::kWaitSignaled &&
           !stop.load(std::memory_order_relaxed)) {
      platform::EventSet(pong);
    }
  });
  std::vector<uint64_t> samples;
  samples.reserve(1 << 22);
  for (auto _ : state) {
    const uint64_t t0 = platform::NowNs();
    platform::EventSet(ping);
    if (platform::EventWait(pong, 1000) != platform::kWaitSignaled) {
      state.SkipWithError("lost signal");
      break;
    }
    if (samples.size() < samples.capacity()) samples.push_back(platform::NowNs() - t0);
  }
  stop = true;
  platform::EventSet(ping);
  partner.join();
  platform::EventClose(ping);
  platform::EventClose(pong);
  ReportLatency(state, samples);
}
BENCHMARK(BM_EventRoundTrip)->UseRealTime();

// The same with the sender pacing itself 100 us between round trips, as the integrity test
// does, so the partner has been waiting a while when the signal comes.
void BM_EventRoundTripPaced(benchmark::State& state) {
  platform::EventHandle ping = platform::EventCreate(false, false);
  platform::EventHandle pong = platform::EventCreate(false, false);
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    while (platform::EventWait(ping, platform::kInfinite) == platform::kWaitSignaled &&
           !stop.load(std::memory_order_relaxed)) {
      platform::EventSet(pong);
    }
  });
  std::vector<uint64_t> samples;
  samples.reserve(1 << 20);
  for (auto _ : state) {
    const uint64_t pace_end = platform::NowNs() + 100000;
    while (platform::NowNs() < pace_end) {
    }
    const uint64_t t0 = platform::NowNs();
    platform::EventSet(ping);
    if (platform::EventWait(pong, 1000) != platform::kWaitSignaled) {
      state.SkipWithError("lost signal");
      break;
    }
    if (samples.size() < samples.capacity()) samples.push_back(platform::NowNs() - t0);
  }
  stop = true;
  platform::EventSet(ping);
  partner.join();
  platform::EventClose(ping);
  platform::EventClose(pong);
  ReportLatency(state, samples);
}
BENCHMARK(BM_EventRoundTripPaced)->UseRealTime();

// Set and wait on one thread: the fixed cost of the two calls with no hand-off.
void BM_EventSetWaitSameThread(benchmark::State& state) {
  platform::EventHandle e = platform::EventCreate(false, false);
  for (auto _ : state) {
    platform::EventSet(e);
    benchmark::DoNotOptimize(platform::EventWait(e, 0));
  }
  platform::EventClose(e);
}
BENCHMARK(BM_EventSetWaitSameThread);

void BM_DoorbellRoundTrip(benchmark::State& state) {
  platform::Doorbell ping, pong;
  std::atomic<bool> stop{false};
  std::thread partner([&] {
    while (ping.Wait(platform::Doorbell::kForever) && !stop.load(std::memory_order_relaxed)) {
      pong.Ring();
    }
  });
  std::vector<uint64_t> samples;
  samples.reserve(1 << 22);
  for (auto _ : state) {
    const uint64_t t0 = platform::NowNs();
    ping.Ring();
    if (!pong.Wait(1000000000)) {
      state.SkipWithError("lost ring");
      break;
    }
    if (samples.size() < samples.capacity()) samples.push_back(platform::NowNs() - t0);
  }
  stop = true;
  ping.Ring();
  partner.join();
  ReportLatency(state, samples);
}
BENCHMARK(BM_DoorbellRoundTrip)->UseRealTime();

// KeyHit as the integrity test calls it; the label says whether a terminal was there.
void BM_KeyHit(benchmark::State& state) {
  platform::ConsoleInit();
  for (auto _ : state) benchmark::DoNotOptimize(platform::KeyHit());
  platform::ConsoleRestore();
  const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  state.SetLabel(tty >= 0 ? "controlling terminal" : "no controlling terminal");
  if (tty >= 0) close(tty);
}
BENCHMARK(BM_KeyHit);

// What every KeyHit would cost without its short "no key" memory: one FIONREAD on a terminal.
void BM_TerminalFionread(benchmark::State& state) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    state.SkipWithError("no pseudo-terminal");
    return;
  }
  for (auto _ : state) {
    int waiting = 0;
    benchmark::DoNotOptimize(ioctl(slave, FIONREAD, &waiting));
  }
  close(slave);
  close(master);
}
BENCHMARK(BM_TerminalFionread);

void BM_NowNs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(platform::NowNs());
}
BENCHMARK(BM_NowNs);

}  // namespace

BENCHMARK_MAIN();
