// The board's interrupt: the line the library's interrupt thread waits on, and the completion
// side that sets INT_CTRL's status bits and raises the line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <utility>

#include "platform/spin_wait.h"
#include "faults.h"
#include "registers.h"

namespace sim {

// The line as the library's interrupt thread sees it: one Wait return per interrupt raised
// while attached. The counts are the truth; the doorbell only tells the waiter to look at them
// again, so rings that merge lose no interrupt. Lock-free.
class InterruptLine {
 public:
  // forward: when set, each raise is handed to it instead (an interrupt controller in front of
  // the board delivers it), and Wait is never used.
  explicit InterruptLine(std::function<void()> forward = {}) : forward_(std::move(forward)) {}
  void Raise();   // the engine thread
  void Attach();  // before the interrupt thread starts waiting
  // The library's interrupt thread only: true for an interrupt, false once detached.
  bool Wait();
  void Detach();  // any thread; ends a Wait in progress

 private:
  std::atomic<uint64_t> raised_{0};
  std::atomic<uint64_t> consumed_{0};
  std::atomic<bool> detached_{true};
  platform::Doorbell bell_;
  const std::function<void()> forward_;
};

// INT_CTRL as the engine drives it: every completion sets its status bit; the line is raised
// only while the host has the interrupt enabled. The link errors a fault puts at a completion
// go to `link_error` (none: they are dropped, as on a board without error registers). Guarded
// by the board's lock.
class Completions {
 public:
  Completions(RegisterBlock& regs, InterruptLine& line, const Faults& faults,
              std::function<void(const LinkError&)> link_error)
      : regs_(regs), line_(line), faults_(faults), link_error_(std::move(link_error)) {}

  void SetEnabled(bool enabled) { enabled_ = enabled; }
  // `last`: the memory request the transfer or run ended with.
  void Complete(Completion kind, const Request& last);

 private:
  RegisterBlock& regs_;
  InterruptLine& line_;
  const Faults& faults_;
  const std::function<void(const LinkError&)> link_error_;
  bool enabled_ = false;
  uint64_t counts_[2] = {0, 0};  // completions of each kind since the board was made
};

}  // namespace sim
