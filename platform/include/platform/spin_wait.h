// Cross-thread wake-ups for the transfer path: a waiter polls for a short while before it asks
// the kernel to put it to sleep, and a waker makes no system call while nobody sleeps. The
// completion events of platform.h use the same policy. Doorbell is the one wake-up primitive
// between the project's own threads: the virtual board's DMA engine waits on one for the
// register writes that give it work, and the board's interrupt line on another for the
// library's interrupt thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#endif

namespace platform {

// How long a waiter polls before it blocks. A DMA transfer of the integrity test completes a
// few microseconds to a few tens of microseconds after it is started, and transfers follow each
// other about 100 us apart; a sleep/wake pair through the kernel costs several microseconds of
// system calls on each side (about 1.4 us per system call on a virtualised machine) plus the
// scheduler's wake-up latency. 200 us covers a whole transfer cycle with margin, so on the hot
// path nobody sleeps, and an idle waiter stops burning a CPU after 0.2 ms.
constexpr uint64_t kSpinBudgetNs = 200000;

// Polls done with a pause instruction (about 16 ns each on a 2-core virtual machine) before
// further polls yield the CPU instead. With a core for each thread on the transfer path,
// pausing catches a hand-off within a fraction of a microsecond, where every yield is a
// system call of 0.1-0.2 us. With fewer cores the thread being waited for may share the
// waiter's core, and every pause then delays it; PausePolicy below stops a waiter from pausing
// in that case. 64 polls cover a test's wait for its completion (about 0.5 us, 0.9 us at the
// 90th percentile, measured on 2 cores).
inline uint32_t SpinsBeforeYield() {
  static const uint32_t spins = std::thread::hardware_concurrency() >= 4 ? 256 : 64;
  return spins;
}

// One waiter's pause phase, learnt from its last waits. Two waits in a row whose pauses all
// went by without the wake-up (the thread waited for may be stuck behind the waiter on its core,
// or the waits are simply long) make the next kYieldOnlyWaits waits yield at once; then pausing
// is tried again. Where the waker runs on another core and the waits are short, every wait
// pauses. Several waiters may share one: the state is a hint, read and written relaxed.
class PausePolicy {
 public:
  // How many polls of this wait pause before yielding.
  uint32_t Pauses() {
    const uint32_t skip = skip_.load(std::memory_order_relaxed);
    if (skip == 0) return SpinsBeforeYield();
    skip_.store(skip - 1, std::memory_order_relaxed);
    return 0;
  }
  // The wake-up came while the wait was pausing.
  void Caught() {
    if (misses_.load(std::memory_order_relaxed) != 0) misses_.store(0, std::memory_order_relaxed);
  }
  // The wait paused and had to yield after all.
  void Missed() {
    const uint32_t misses = misses_.load(std::memory_order_relaxed) + 1;
    const bool yield_only = misses >= kMissesBeforeYielding;
    misses_.store(yield_only ? 0 : misses, std::memory_order_relaxed);
    if (yield_only) skip_.store(kYieldOnlyWaits, std::memory_order_relaxed);
  }

 private:
  static constexpr uint32_t kMissesBeforeYielding = 2;
  static constexpr uint32_t kYieldOnlyWaits = 16;
  std::atomic<uint32_t> skip_{0};
  std::atomic<uint32_t> misses_{0};
};

// One pause of a polling loop: tells the core this is a spin, saving power and the pipeline
// flush on exit, and gives the sibling hyper-thread room.
inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
  _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

// A coalescing wake-up signal between threads: Ring() marks it pending, Wait() consumes the
// pending mark or waits for one. Rings that arrive while a mark is already pending merge into
// it (two rings before one wait wake the waiter once), like an auto-reset event. That suits
// users that keep their real state elsewhere (a register, a queue, a stop flag) and re-read it
// after every wake-up: a ring says "look again", not "one item". Everything written before
// Ring() is visible to the thread whose Wait() consumed that ring.
// Meant for one waiting thread; several waiters are safe, but one ring wakes only one of them.
class Doorbell {
 public:
  static constexpr uint64_t kForever = ~uint64_t{0};

  // spin_ns: how long Wait polls before blocking; 0 blocks at once.
  explicit Doorbell(uint64_t spin_ns = kSpinBudgetNs) : spin_ns_(spin_ns) {}
  Doorbell(const Doorbell&) = delete;
  Doorbell& operator=(const Doorbell&) = delete;

  // Never blocks; makes a system call only when a waiter is asleep.
  void Ring();
  // Consumes a pending ring without waiting; true when there was one.
  bool TryTake();
  // Waits for a ring for up to timeout_ns (kForever: no limit); true when a ring was consumed.
  bool Wait(uint64_t timeout_ns);
  // The same with an absolute deadline on the NowNs() clock (kForever: none).
  bool WaitUntil(uint64_t deadline_ns);
  // The same, polling for spin_ns instead of the constructor's budget: for a waiter whose
  // budget depends on what it last did (the board's engine spins on after a job, and spins
  // rather than sleeps towards a deadline close by).
  bool WaitUntil(uint64_t deadline_ns, uint64_t spin_ns);

 private:
  std::atomic<uint32_t> pending_{0};
  std::atomic<uint32_t> sleepers_{0};
  uint64_t spin_ns_;
  PausePolicy pauses_;
};

}  // namespace platform
