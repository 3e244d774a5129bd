// The board's interrupt through eventfds: MSI when the board offers it and the host can enable
// it, else INTx, whose line the kernel masks at each interrupt until it is unmasked.
//
// Threads. Probe, Attach, Detach and Close come from the library's callers (Close only once the
// library has joined its interrupt thread); Wait and Unmask from the interrupt thread. Detach
// may come while Wait is blocked: it wakes the waiter and disables the interrupt but closes
// nothing the waiter polls; the eventfds are closed by the next Attach or by Close.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "vfio/kernel.h"
#include "wdc/backend.h"

namespace vfio {

class Interrupts {
 public:
  Interrupts(Kernel& kernel, std::string bdf) : kernel_(kernel), bdf_(std::move(bdf)) {}

  // Which interrupts `device_fd` offers through eventfds (VFIO_DEVICE_GET_IRQ_INFO).
  WdcStatus Probe(int device_fd);
  // Disables the interrupt, closes the eventfds and forgets the device file.
  void Close();
  bool UsesMsi() const { return index_ == kMsi; }

  // As wdc::Board's InterruptAttach, InterruptWait, InterruptUnmask and InterruptDetach.
  WdcStatus Attach();
  uint32_t Wait();
  void Unmask();
  void Detach();

 private:
  enum IrqIndex : int { kNoIrq = -1, kIntx = 0, kMsi = 1 };

  void ReleaseFds();
  int Enable(IrqIndex index);  // signals irq_fd_; 0 or -errno

  Kernel& kernel_;
  const std::string bdf_;
  int device_fd_ = -1;
  IrqIndex index_ = kNoIrq;  // MSI when the board offers it, until enabling it fails
  bool has_intx_ = false;
  int irq_fd_ = -1;   // signalled by the kernel on each interrupt
  int stop_fd_ = -1;  // signalled by Detach
  std::atomic<bool> enabled_{false};
};

}  // namespace vfio
