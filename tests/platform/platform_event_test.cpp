// Events: the auto-reset contract the completion path relies on, manual reset, time-outs,
// handles that are no longer (or never were) events, and cross-thread hand-offs.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using platform::EventClose;
using platform::EventCreate;
using platform::EventHandle;
using platform::EventReset;
using platform::EventSet;
using platform::EventWait;
using platform::kInfinite;
using platform::kWaitFailed;
using platform::kWaitSignaled;
using platform::kWaitTimeout;

// Closes the event at the end of a test even when an assertion leaves early.
struct ScopedEvent {
  explicit ScopedEvent(bool manual = false, bool set = false) : h(EventCreate(manual, set)) {}
  ~ScopedEvent() {
    if (h != nullptr) EventClose(h);
  }
  EventHandle h;
};

TEST(EventAutoReset, SetBeforeWaitIsKept) {
  ScopedEvent e;
  ASSERT_NE(e.h, nullptr);
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
  ASSERT_TRUE(EventSet(e.h));
  EXPECT_EQ(EventWait(e.h, 0), kWaitSignaled);
}

TEST(EventAutoReset, TwoSetsLeaveExactlyOne) {
  ScopedEvent e;
  ASSERT_TRUE(EventSet(e.h));
  ASSERT_TRUE(EventSet(e.h));
  EXPECT_EQ(EventWait(e.h, 0), kWaitSignaled);
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
}

TEST(EventAutoReset, EachWaitConsumes) {
  ScopedEvent e;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(EventSet(e.h));
    EXPECT_EQ(EventWait(e.h, 10), kWaitSignaled);
    EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
  }
}

TEST(EventAutoReset, InitiallySetGivesOneWait) {
  ScopedEvent e(false, true);
  EXPECT_EQ(EventWait(e.h, 0), kWaitSignaled);
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
}

TEST(EventAutoReset, ResetDropsAPendingSignal) {
  ScopedEvent e;
  ASSERT_TRUE(EventSet(e.h));
  ASSERT_TRUE(EventReset(e.h));
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
}

// A wait on another thread with a long time-out. A waker that fails to wake a sleeping waiter
// would only show as the waiter returning at its time-out (it then finds the signal and takes
// it), so each waiter also records whether it came back before its time-out.
constexpr uint32_t kLongMs = 10000;

struct Waiter {
  explicit Waiter(EventHandle h, uint32_t ms = kLongMs)
      : thread([this, h, ms] {
          const auto start = std::chrono::steady_clock::now();
          result = EventWait(h, ms);
          early = std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms);
          returned = true;
        }) {}
  ~Waiter() {
    if (thread.joinable()) thread.join();
  }
  std::atomic<uint32_t> result{0xBAD};
  std::atomic<bool> early{false};
  std::atomic<bool> returned{false};
  std::thread thread;
};

// Waits up to the guard time for `count` of the waiters to return.
int AwaitReturns(const std::vector<Waiter*>& waiters, int count) {
  int back = 0;
  for (int i = 0; i < 10000; ++i) {
    back = 0;
    for (Waiter* w : waiters) back += w->returned ? 1 : 0;
    if (back >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return back;
}

// Long enough that waiters are past their spin and asleep in the kernel.
void LetWaitersFallAsleep() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

TEST(EventAutoReset, OneSetReleasesExactlyOneOfTwoWaiters) {
  ScopedEvent e;
  Waiter a(e.h), b(e.h);
  LetWaitersFallAsleep();
  ASSERT_TRUE(EventSet(e.h));
  ASSERT_EQ(AwaitReturns({&a, &b}, 1), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(a.returned + b.returned, 1) << "one set released both waiters";
  // Closing releases the other one.
  ASSERT_TRUE(EventClose(e.h));
  a.thread.join();
  b.thread.join();
  Waiter* first = a.result == kWaitSignaled ? &a : &b;
  Waiter* second = first == &a ? &b : &a;
  EXPECT_EQ(first->result.load(), kWaitSignaled);
  EXPECT_TRUE(first->early.load()) << "the set did not wake the sleeping waiter";
  EXPECT_EQ(second->result.load(), kWaitFailed);
  EXPECT_TRUE(second->early.load()) << "the close did not wake the sleeping waiter";
  e.h = nullptr;
}

TEST(EventManualReset, StaysSetUntilReset) {
  ScopedEvent e(true, false);
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
  ASSERT_TRUE(EventSet(e.h));
  EXPECT_EQ(EventWait(e.h, 0), kWaitSignaled);
  EXPECT_EQ(EventWait(e.h, 0), kWaitSignaled);
  ASSERT_TRUE(EventReset(e.h));
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout);
}

TEST(EventManualReset, OneSetReleasesEveryWaiter) {
  ScopedEvent e(true, false);
  Waiter a(e.h), b(e.h), c(e.h);
  LetWaitersFallAsleep();
  ASSERT_TRUE(EventSet(e.h));
  for (Waiter* w : {&a, &b, &c}) {
    w->thread.join();
    EXPECT_EQ(w->result.load(), kWaitSignaled);
    EXPECT_TRUE(w->early.load()) << "the set did not wake a sleeping waiter";
  }
}

TEST(EventTimeout, ReturnsTimeoutNoSoonerThanAsked) {
  ScopedEvent e;
  for (uint32_t ms : {1u, 30u, 120u}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(EventWait(e.h, ms), kWaitTimeout);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(ms)) << "time-out " << ms << " ms";
  }
}

TEST(EventTimeout, SignalWakesAnInfiniteWait) {
  ScopedEvent e;
  Waiter w(e.h, kInfinite);
  LetWaitersFallAsleep();
  ASSERT_TRUE(EventSet(e.h));
  if (AwaitReturns({&w}, 1) != 1) {
    EventClose(e.h);  // frees the waiter so the test can end
    e.h = nullptr;
    ADD_FAILURE() << "an infinite wait missed its signal";
  }
  w.thread.join();
  EXPECT_EQ(w.result.load(), kWaitSignaled);
}

TEST(EventHandles, NullAndGarbageAreRejected) {
  int on_stack = 0;
  std::vector<EventHandle> bad = {nullptr,
                                  reinterpret_cast<EventHandle>(1),
                                  reinterpret_cast<EventHandle>(3),
                                  reinterpret_cast<EventHandle>(0xdeadbeef),
                                  reinterpret_cast<EventHandle>(~uintptr_t{0}),
                                  &on_stack};
  for (EventHandle h : bad) {
    EXPECT_FALSE(EventSet(h)) << h;
    EXPECT_FALSE(EventReset(h)) << h;
    EXPECT_EQ(EventWait(h, 0), kWaitFailed) << h;
    EXPECT_EQ(EventWait(h, 10), kWaitFailed) << h;
    EXPECT_FALSE(EventClose(h)) << h;
  }
}

TEST(EventHandles, NearMissesOfALiveHandleAreRejected) {
  ScopedEvent e;
  const uintptr_t v = reinterpret_cast<uintptr_t>(e.h);
  // Another slot, another generation, a cleared tag bit: none may reach this event or another.
  for (uintptr_t delta : {uintptr_t{1}, uintptr_t{2}, uintptr_t{1} << 13, uintptr_t{1} << 14,
                          uintptr_t{1} << (8 * sizeof(void*) - 1)}) {
    EventHandle near = reinterpret_cast<EventHandle>(v ^ delta);
    EXPECT_FALSE(EventSet(near)) << std::hex << delta;
    EXPECT_EQ(EventWait(near, 0), kWaitFailed) << std::hex << delta;
  }
  EXPECT_EQ(EventWait(e.h, 0), kWaitTimeout) << "a near miss signalled the real event";
}

TEST(EventHandles, ClosedHandleFailsHarmlessly) {
  EventHandle h = EventCreate(false, false);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(EventClose(h));
  EXPECT_FALSE(EventSet(h));
  EXPECT_FALSE(EventReset(h));
  EXPECT_EQ(EventWait(h, 0), kWaitFailed);
  EXPECT_EQ(EventWait(h, kInfinite), kWaitFailed);
  EXPECT_FALSE(EventClose(h));
}

TEST(EventHandles, StaleHandleNeverReachesTheSlotsNextEvent) {
  // Run the table round several times so every slot is reused under a stale handle.
  std::vector<EventHandle> stale;
  for (int i = 0; i < 3000; ++i) {
    EventHandle h = EventCreate(false, false);
    ASSERT_NE(h, nullptr);
    for (EventHandle old : stale) ASSERT_NE(old, h) << "a handle value came back";
    if (stale.size() < 8) stale.push_back(h);
    for (EventHandle old : stale) {
      if (old != h) {
        ASSERT_FALSE(EventSet(old));
      }
    }
    EXPECT_EQ(EventWait(h, 0), kWaitTimeout) << "round " << i;
    ASSERT_TRUE(EventClose(h));
  }
}

TEST(EventHandles, TableRunsOutThenRecovers) {
  std::vector<EventHandle> held;
  for (;;) {
    EventHandle h = EventCreate(false, false);
    if (h == nullptr) break;
    held.push_back(h);
    ASSERT_LT(held.size(), 1u << 20) << "EventCreate never runs out";
  }
  ASSERT_GT(held.size(), 100u);
  EXPECT_EQ(EventCreate(true, false), nullptr);
  ASSERT_TRUE(EventClose(held.back()));
  held.pop_back();
  EventHandle again = EventCreate(false, true);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(EventWait(again, 0), kWaitSignaled);
  held.push_back(again);
  // Every held handle is still its own live event.
  for (EventHandle h : held) ASSERT_TRUE(EventSet(h));
  for (EventHandle h : held) ASSERT_EQ(EventWait(h, 0), kWaitSignaled);
  for (EventHandle h : held) ASSERT_TRUE(EventClose(h));
}

TEST(EventFailures, FailEventCreatesFailsExactlyThatMany) {
  platform::testing::FailEventCreates(2);
  EXPECT_EQ(EventCreate(false, false), nullptr);
  EXPECT_EQ(EventCreate(true, true), nullptr);
  ScopedEvent e;
  EXPECT_NE(e.h, nullptr);
  platform::testing::FailEventCreates(0);
  ScopedEvent f;
  EXPECT_NE(f.h, nullptr);
}

TEST(EventThreads, PingPongLosesNoSignal) {
  ScopedEvent ping, pong;
  constexpr int kRounds = 20000;
  long payload = 0;  // plain data handed across by the events alone
  std::atomic<int> failures{0};
  std::thread partner([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (EventWait(ping.h, 5000) != kWaitSignaled) {
        failures++;
        return;
      }
      if (payload != 2L * i + 1) failures++;
      ++payload;
      EventSet(pong.h);
    }
  });
  int round = 0;
  for (; round < kRounds; ++round) {
    ++payload;
    EventSet(ping.h);
    if (EventWait(pong.h, 5000) != kWaitSignaled) break;
    ASSERT_EQ(payload, 2L * round + 2);
  }
  partner.join();
  EXPECT_EQ(round, kRounds);
  EXPECT_EQ(failures.load(), 0);
}

TEST(EventThreads, CloseWhileAnotherThreadWaits) {
  EventHandle h = EventCreate(false, false);
  ASSERT_NE(h, nullptr);
  Waiter w(h);
  LetWaitersFallAsleep();
  ASSERT_TRUE(EventClose(h));
  w.thread.join();
  EXPECT_EQ(w.result.load(), kWaitFailed);
  EXPECT_TRUE(w.early.load()) << "the close did not wake the sleeping waiter";
}

TEST(EventThreads, CloseRacingASetter) {
  // The library's interrupt thread may signal an event the program has just closed.
  for (int round = 0; round < 200; ++round) {
    EventHandle h = EventCreate(false, false);
    ASSERT_NE(h, nullptr);
    std::atomic<bool> go{false};
    std::atomic<bool> failed_after_close{false};
    std::thread setter([&] {
      while (!go.load()) {
      }
      bool closed_seen = false;
      for (int i = 0; i < 2000; ++i) {
        const bool ok = EventSet(h);
        if (!ok) closed_seen = true;
        if (ok && closed_seen) failed_after_close = true;  // a closed event came back to life
      }
    });
    go = true;
    ASSERT_TRUE(EventClose(h));
    // A new event, likely in a reused slot, must not receive the stale setter's signals.
    EventHandle next = EventCreate(false, false);
    ASSERT_NE(next, nullptr);
    setter.join();
    EXPECT_FALSE(failed_after_close.load());
    EXPECT_EQ(EventWait(next, 0), kWaitTimeout);
    EventClose(next);
  }
}

}  // namespace
