// Doorbell: coalescing rings, time-outs, and a hand-off chain like the transfer path's
// (test thread -> engine -> interrupt thread -> test thread).
#include "platform/platform.h"
#include "platform/spin_wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using platform::Doorbell;

TEST(Doorbell, RingBeforeWaitIsKept) {
  Doorbell bell;
  bell.Ring();
  EXPECT_TRUE(bell.Wait(0));
  EXPECT_FALSE(bell.TryTake());
}

TEST(Doorbell, RingsCoalesceIntoOne) {
  Doorbell bell;
  bell.Ring();
  bell.Ring();
  bell.Ring();
  EXPECT_TRUE(bell.TryTake());
  EXPECT_FALSE(bell.TryTake());
  EXPECT_FALSE(bell.Wait(1000000));
}

TEST(Doorbell, WaitTimesOutNoSoonerThanAsked) {
  for (uint64_t spin_ns : {uint64_t{0}, platform::kSpinBudgetNs}) {
    Doorbell bell(spin_ns);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(bell.Wait(40000000));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  }
}

TEST(Doorbell, WaitUntilAPassedDeadlineStillTakesAPendingRing) {
  Doorbell bell;
  EXPECT_FALSE(bell.WaitUntil(0));
  bell.Ring();
  EXPECT_TRUE(bell.WaitUntil(0));
}

TEST(Doorbell, RingWakesASleepingWaiter) {
  for (uint64_t spin_ns : {uint64_t{0}, platform::kSpinBudgetNs}) {
    Doorbell bell(spin_ns);
    // A ring that fails to wake the sleeper would show only as the waiter returning at its
    // time-out (it then finds the ring pending), so the time it took is checked too.
    constexpr auto kTimeout = std::chrono::seconds(10);
    std::atomic<bool> woke{false};
    std::atomic<bool> early{false};
    std::thread waiter([&] {
      const auto start = std::chrono::steady_clock::now();
      woke = bell.Wait(std::chrono::nanoseconds(kTimeout).count());
      early = std::chrono::steady_clock::now() - start < kTimeout;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // asleep past its spin
    bell.Ring();
    waiter.join();
    EXPECT_TRUE(woke.load());
    EXPECT_TRUE(early.load()) << "the ring did not wake the sleeping waiter";
  }
}

TEST(Doorbell, ThreeStageRelayLosesNoRing) {
  // Each stage hands a counter on; a lost ring would stall the relay and fail the wait.
  constexpr int kRounds = 20000;
  Doorbell to_engine, to_irq, to_test;
  long token = 0;  // plain data, ordered by the rings alone
  std::atomic<bool> stalled{false};
  auto stage = [&](Doorbell& in, Doorbell& out) {
    for (int i = 0; i < kRounds; ++i) {
      if (!in.Wait(5000000000ull)) {
        stalled = true;
        return;
      }
      ++token;
      out.Ring();
    }
  };
  std::thread engine(stage, std::ref(to_engine), std::ref(to_irq));
  std::thread irq(stage, std::ref(to_irq), std::ref(to_test));
  int done = 0;
  for (; done < kRounds; ++done) {
    ++token;
    to_engine.Ring();
    if (!to_test.Wait(5000000000ull)) break;
    ASSERT_EQ(token, 3L * (done + 1));
  }
  engine.join();
  irq.join();
  EXPECT_EQ(done, kRounds);
  EXPECT_FALSE(stalled.load());
}

}  // namespace
