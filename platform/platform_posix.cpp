// The platform services on Linux: events and doorbells over futexes, time from CLOCK_MONOTONIC
// (the keyboard and console are in console_posix.cpp).
#include "platform/platform.h"
#include "platform/spin_wait.h"

#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>

namespace platform {

namespace {

// ---- Spin, then block on a futex -------------------------------------------------------------

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "futexes need a plain 32-bit word");

void FutexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* relative) {
  // Returns at once when the word no longer holds `expected`, which closes the window between
  // the waiter's last look and its sleep. EINTR and spurious wake-ups just send the caller round
  // its loop again.
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, relative,
          nullptr, 0);
}

void FutexWake(std::atomic<uint32_t>* word, int count) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr,
          0);
}

enum class Take { kTaken, kNotReady, kGone, kTimeout };

uint64_t DeadlineAfterNs(uint64_t timeout_ns) {
  if (timeout_ns == Doorbell::kForever) return Doorbell::kForever;
  uint64_t now = NowNs();
  return timeout_ns > Doorbell::kForever - now ? Doorbell::kForever : now + timeout_ns;
}

// Waits until try_take(seen) stops answering kNotReady or the deadline passes. try_take loads
// `word` once, tries to consume it and, when it is not ready, leaves the value it saw in `seen`.
//
// Lost wake-ups are excluded Dekker-style with sequentially consistent operations on both sides:
// a waiter counts itself in `sleepers` and then looks at the word again; a waker changes the
// word and then looks at `sleepers`. At least one of them sees the other, and the futex itself
// refuses to sleep once the word differs from what the waiter saw.
template <class TryTake>
Take SpinThenBlock(std::atomic<uint32_t>& word, std::atomic<uint32_t>& sleepers,
                   PausePolicy& policy, uint64_t deadline_ns, uint64_t spin_ns, TryTake try_take) {
  uint32_t seen = 0;
  Take r = try_take(seen);
  if (r != Take::kNotReady) return r;
  uint64_t now = NowNs();
  if (now >= deadline_ns) return Take::kTimeout;

  const uint64_t spin_end = deadline_ns - now > spin_ns ? now + spin_ns : deadline_ns;
  const uint32_t pauses = policy.Pauses();
  for (uint32_t i = 0; now < spin_end; ++i) {
    if (i < pauses) {
      CpuRelax();
    } else {
      if (i == pauses && pauses != 0) policy.Missed();
      sched_yield();
    }
    r = try_take(seen);
    if (r != Take::kNotReady) {
      if (i < pauses) policy.Caught();
      return r;
    }
    // The clock costs more than a pause; look at it every 16 pauses and after every yield.
    if (i >= pauses || (i & 15) == 15) now = NowNs();
  }

  sleepers.fetch_add(1, std::memory_order_seq_cst);
  for (;;) {
    r = try_take(seen);
    if (r != Take::kNotReady) break;
    now = NowNs();
    if (now >= deadline_ns) {
      r = Take::kTimeout;
      break;
    }
    if (deadline_ns == Doorbell::kForever) {
      FutexWait(&word, seen, nullptr);
    } else {
      const uint64_t left = deadline_ns - now;
      timespec ts;
      ts.tv_sec = static_cast<time_t>(left / 1000000000u);
      ts.tv_nsec = static_cast<long>(left % 1000000000u);
      FutexWait(&word, seen, &ts);
    }
  }
  sleepers.fetch_sub(1, std::memory_order_seq_cst);
  return r;
}

// ---- The event table -------------------------------------------------------------------------
//
// A handle names a slot of a static table plus the generation the slot had when the event was
// created; the slot's state word carries the current generation. Every operation checks and
// changes the word with one compare-and-swap, so an operation through a closed handle fails
// even when it races the close or the slot's reuse, and no operation ever reaches memory that
// is freed: the table lives as long as the process. This matters because the library's
// interrupt thread may still signal an event the program has closed (after a failed disable).
//
// State word: bit 0 signalled, bit 1 manual-reset, bits 2..31 generation. A live generation is
// odd, a closed one even; closing adds one, creating adds one.
constexpr uint32_t kSignaled = 1u;
constexpr uint32_t kManual = 2u;
constexpr int kGenShift = 2;
constexpr uint32_t kGenMask = 0x3FFFFFFFu;

uint32_t GenOf(uint32_t word) { return (word >> kGenShift) & kGenMask; }

// Handle layout: bit 0 set (never a null or an aligned pointer), bits 1..12 the slot, the
// generation above; on 64-bit targets a tag in the top 16 bits, so that a stray pointer or small
// integer is rejected before the generation is even compared.
constexpr uint32_t kSlotCount = 1024;
constexpr int kSlotBits = 12;
static_assert(kSlotCount <= (1u << kSlotBits), "slot index must fit its handle field");
constexpr int kHandleGenShift = 1 + kSlotBits;
constexpr int kPtrBits = static_cast<int>(8 * sizeof(uintptr_t));
constexpr int kHandleGenBits = kPtrBits - kHandleGenShift >= 30 ? 30 : kPtrBits - kHandleGenShift;
constexpr uintptr_t kHandleGenMask = (uintptr_t{1} << kHandleGenBits) - 1;
constexpr uintptr_t kHandleTag = kPtrBits == 64 ? static_cast<uintptr_t>(0xE5E7ull << 48) : 0;

struct alignas(64) Slot {  // one cache line each: unrelated events never share a line
  std::atomic<uint32_t> word{0};
  std::atomic<uint32_t> sleepers{0};
  PausePolicy pauses;
};

Slot g_slots[kSlotCount];

// Closed slots are reused first in, first out, so a slot comes back as late as possible.
std::mutex g_alloc_mu;
uint32_t g_free_ring[kSlotCount];
uint32_t g_free_head = 0;
uint32_t g_free_count = 0;
uint32_t g_never_used = 0;

std::atomic<uint32_t> g_failing_creates{0};

EventHandle Encode(uint32_t slot, uint32_t gen) {
  const uintptr_t v =
      kHandleTag | ((gen & kHandleGenMask) << kHandleGenShift) | (uintptr_t{slot} << 1) | 1u;
  return reinterpret_cast<EventHandle>(v);
}

// Finds the slot a handle names, without touching the table; null for anything that is not the
// shape of a handle.
Slot* Decode(EventHandle handle, uint32_t* gen_bits) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(handle);
  const uint32_t slot = static_cast<uint32_t>((v >> 1) & ((1u << kSlotBits) - 1));
  const uint32_t gen = static_cast<uint32_t>((v >> kHandleGenShift) & kHandleGenMask);
  if (slot >= kSlotCount || (gen & 1u) == 0) return nullptr;
  if (Encode(slot, gen) != handle) return nullptr;
  *gen_bits = gen;
  return &g_slots[slot];
}

bool IsGen(uint32_t word, uint32_t gen_bits) { return (GenOf(word) & kHandleGenMask) == gen_bits; }

bool PopFreeSlot(uint32_t* slot) {
  std::lock_guard<std::mutex> lock(g_alloc_mu);
  if (g_free_count > 0) {
    *slot = g_free_ring[g_free_head];
    g_free_head = (g_free_head + 1) % kSlotCount;
    --g_free_count;
    return true;
  }
  if (g_never_used < kSlotCount) {
    *slot = g_never_used++;
    return true;
  }
  return false;
}

void PushFreeSlot(uint32_t slot) {
  std::lock_guard<std::mutex> lock(g_alloc_mu);
  g_free_ring[(g_free_head + g_free_count) % kSlotCount] = slot;
  ++g_free_count;
}

}  // namespace

EventHandle EventCreate(bool manual_reset, bool initially_set) {
  uint32_t failing = g_failing_creates.load(std::memory_order_relaxed);
  while (failing > 0) {
    if (g_failing_creates.compare_exchange_weak(failing, failing - 1)) return nullptr;
  }
  uint32_t slot = 0;
  if (!PopFreeSlot(&slot)) return nullptr;
  Slot& s = g_slots[slot];
  // The slot is off the free list, so only stale handles can touch its word now, and their
  // compare-and-swaps fail against the new generation.
  const uint32_t gen = (GenOf(s.word.load(std::memory_order_relaxed)) + 1) & kGenMask;
  s.word.store(
      (gen << kGenShift) | (manual_reset ? kManual : 0u) | (initially_set ? kSignaled : 0u),
      std::memory_order_seq_cst);
  return Encode(slot, gen);
}

bool EventSet(EventHandle event) {
  uint32_t gen = 0;
  Slot* s = Decode(event, &gen);
  if (s == nullptr) return false;
  uint32_t w = s->word.load(std::memory_order_relaxed);
  do {
    if (!IsGen(w, gen)) return false;
    // Written even when already set: the waiter that consumes the signal must also see what
    // this setter wrote before it, which takes a read-modify-write in the release sequence.
  } while (!s->word.compare_exchange_weak(w, w | kSignaled, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
  // A waiter that counted itself asleep after this point sees the signal before it sleeps.
  if ((w & kSignaled) == 0 && s->sleepers.load(std::memory_order_seq_cst) != 0) {
    FutexWake(&s->word, (w & kManual) != 0 ? INT_MAX : 1);
  }
  return true;
}

bool EventReset(EventHandle event) {
  uint32_t gen = 0;
  Slot* s = Decode(event, &gen);
  if (s == nullptr) return false;
  uint32_t w = s->word.load(std::memory_order_relaxed);
  do {
    if (!IsGen(w, gen)) return false;
  } while (!s->word.compare_exchange_weak(w, w & ~kSignaled, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
  return true;
}

uint32_t EventWait(EventHandle event, uint32_t timeout_ms) {
  uint32_t gen = 0;
  Slot* s = Decode(event, &gen);
  if (s == nullptr) return kWaitFailed;
  auto try_take = [s, gen](uint32_t& seen) {
    uint32_t w = s->word.load(std::memory_order_seq_cst);
    for (;;) {
      if (!IsGen(w, gen)) return Take::kGone;
      if ((w & kSignaled) == 0) {
        seen = w;
        return Take::kNotReady;
      }
      if ((w & kManual) != 0) return Take::kTaken;
      if (s->word.compare_exchange_weak(w, w & ~kSignaled, std::memory_order_seq_cst,
                                        std::memory_order_seq_cst)) {
        return Take::kTaken;
      }
    }
  };
  const uint64_t deadline = timeout_ms == kInfinite
                                ? Doorbell::kForever
                                : DeadlineAfterNs(uint64_t{timeout_ms} * 1000000u);
  switch (SpinThenBlock(s->word, s->sleepers, s->pauses, deadline, kSpinBudgetNs, try_take)) {
    case Take::kTaken: return kWaitSignaled;
    case Take::kTimeout: return kWaitTimeout;
    default: return kWaitFailed;  // closed before or during the wait
  }
}

bool EventClose(EventHandle event) {
  uint32_t gen = 0;
  Slot* s = Decode(event, &gen);
  if (s == nullptr) return false;
  uint32_t w = s->word.load(std::memory_order_relaxed);
  uint32_t closed = 0;
  do {
    if (!IsGen(w, gen)) return false;  // already closed, or a slot reused since
    closed = ((GenOf(w) + 1) & kGenMask) << kGenShift;
  } while (!s->word.compare_exchange_weak(w, closed, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
  // Waiters still asleep on this event wake up, see the new generation and fail.
  if (s->sleepers.load(std::memory_order_seq_cst) != 0) FutexWake(&s->word, INT_MAX);
  PushFreeSlot(static_cast<uint32_t>(s - g_slots));
  return true;
}

// ---- Doorbell --------------------------------------------------------------------------------

void Doorbell::Ring() {
  if (pending_.exchange(1, std::memory_order_seq_cst) == 0 &&
      sleepers_.load(std::memory_order_seq_cst) != 0) {
    FutexWake(&pending_, 1);
  }
}

bool Doorbell::TryTake() {
  // Look before the exchange so that an idle poll does not pull the line away from the ringer.
  return pending_.load(std::memory_order_relaxed) != 0 &&
         pending_.exchange(0, std::memory_order_seq_cst) != 0;
}

bool Doorbell::Wait(uint64_t timeout_ns) { return WaitUntil(DeadlineAfterNs(timeout_ns)); }

bool Doorbell::WaitUntil(uint64_t deadline_ns) { return WaitUntil(deadline_ns, spin_ns_); }

bool Doorbell::WaitUntil(uint64_t deadline_ns, uint64_t spin_ns) {
  auto try_take = [this](uint32_t& seen) {
    if (pending_.load(std::memory_order_seq_cst) == 0) {
      seen = 0;
      return Take::kNotReady;
    }
    return pending_.exchange(0, std::memory_order_seq_cst) != 0 ? Take::kTaken : Take::kNotReady;
  };
  return SpinThenBlock(pending_, sleepers_, pauses_, deadline_ns, spin_ns, try_take) ==
         Take::kTaken;
}

// ---- Time ------------------------------------------------------------------------------------

void SleepMs(uint32_t ms) {
  timespec left;
  left.tv_sec = static_cast<time_t>(ms / 1000u);
  left.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  // A signal handler running meanwhile must not cut the pause short.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

bool PerfCounter(int64_t* ticks) {
  if (ticks == nullptr) return false;
  *ticks = static_cast<int64_t>(NowNs());
  return true;
}

bool PerfFrequency(int64_t* ticks_per_second) {
  if (ticks_per_second == nullptr) return false;
  *ticks_per_second = 1000000000;
  return true;
}

namespace testing {

void FailEventCreates(uint32_t count) { g_failing_creates.store(count); }

}  // namespace testing

}  // namespace platform
