// Spin-then-block hand-off between the board's threads (register writer -> DMA engine ->
// interrupt waiter). A waiter polls its condition for a short while, so that a transfer path
// with completions microseconds apart never sleeps in the kernel; after the budget it blocks on
// a condition variable, and a waker makes a system call only when somebody is blocked.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/spin_wait.h"

namespace sim {

inline uint64_t MonoNs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

class Wake {
 public:
  static constexpr uint64_t kNoDeadline = ~uint64_t{0};

  // The waker must have made the waiter's condition true (with a seq_cst atomic operation, or
  // under a lock the waiter's condition takes) before it calls Ring.
  void Ring() {
    if (sleepers_.load(std::memory_order_seq_cst) != 0) {
      // Taking the lock orders this ring after a sleeper's last look at its condition.
      std::lock_guard<std::mutex> lock(mu_);
      cv_.notify_all();
    }
  }

  // Returns true once ready() holds, false when deadline_ns (MonoNs clock) passed first.
  template <class Ready>
  bool WaitUntil(Ready ready, uint64_t spin_ns, uint64_t deadline_ns = kNoDeadline) {
    if (ready()) return true;
    const uint64_t start = MonoNs();
    const uint64_t spin_end = start + spin_ns < deadline_ns ? start + spin_ns : deadline_ns;
    const uint32_t pauses = platform::SpinsBeforeYield();
    for (uint32_t i = 1;; ++i) {
      if (i < pauses) platform::CpuRelax();
      else std::this_thread::yield();
      if (ready()) return true;
      if ((i & 15) == 0 && MonoNs() >= spin_end) break;
    }
    if (deadline_ns <= spin_end) return ready();
    sleepers_.fetch_add(1, std::memory_order_seq_cst);
    bool ok;
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (deadline_ns == kNoDeadline) {
        cv_.wait(lock, ready);
        ok = true;
      } else {
        auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns));
        ok = cv_.wait_until(lock, until, ready);
      }
    }
    sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    return ok;
  }

 private:
  std::atomic<uint32_t> sleepers_{0};
  std::mutex mu_;
  std::condition_variable cv_;
};

}  // namespace sim
