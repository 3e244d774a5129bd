#include "interrupt_line.h"

#include "regs/regs.h"

namespace sim {

// Every state change comes before its ring, and Wait looks at the state before it waits for a
// ring, so a raise or a detach between the look and the wait leaves the ring pending.

void InterruptLine::Raise() {
  if (forward_) {
    forward_();
    return;
  }
  raised_.fetch_add(1, std::memory_order_seq_cst);
  bell_.Ring();
}

void InterruptLine::Attach() {
  consumed_.store(raised_.load(std::memory_order_seq_cst), std::memory_order_seq_cst);
  detached_.store(false, std::memory_order_seq_cst);
}

bool InterruptLine::Wait() {
  for (;;) {
    if (detached_.load(std::memory_order_seq_cst)) return false;
    uint64_t c = consumed_.load(std::memory_order_seq_cst);
    if (raised_.load(std::memory_order_seq_cst) == c) {
      bell_.Wait(platform::Doorbell::kForever);
    } else if (consumed_.compare_exchange_strong(c, c + 1, std::memory_order_seq_cst)) {
      return true;
    }
  }
}

void InterruptLine::Detach() {
  detached_.store(true, std::memory_order_seq_cst);
  bell_.Ring();
}

void Completions::Complete(Completion kind, const Request& last) {
  const uint64_t n = ++counts_[static_cast<int>(kind)];
  if (link_error_)
    for (const LinkError& e : faults_.LinkErrors(kind, n, last)) link_error_(e);
  regs_.Set(kIntCtrl,
            regs_.Get(kIntCtrl) | (kind == Completion::kChannel0 ? uint32_t{INT_CH0_DONE}
                                                                 : uint32_t{INT_BACKLOOP_DONE}));
  if (enabled_ && !faults_.DropCompletion(kind, n)) line_.Raise();
}

}  // namespace sim
