// The function's interrupt as the client receives it: the trigger eventfds the client set with
// DEVICE_SET_IRQS, and INTx's level and mask. INTx follows VFIO's rules: level-triggered and
// automasked, so a raise signals the client once and masks the line, and the client's UNMASK
// signals again at once if the level is still asserted. MSI, once its eventfd is set, takes
// the place of INTx: a raise is one message and asserts no level.
//
// Raise and Lower come from the function's threads; the rest from the connection thread. One
// mutex, never held across anything slower than an eventfd write, guards the descriptors and
// the mask, so that a descriptor is never closed under a raise that is writing to it.
#pragma once

#include <atomic>
#include <mutex>

#include "transport.h"
#include "vfu/device.h"

namespace vfu {

class Interrupts final : public InterruptLine {
 public:
  void Raise() override;
  void Lower() override;

  // The INTx level: the status register's interrupt bit.
  bool Asserted() const { return level_.load(std::memory_order_relaxed); }

  // index is kIntxIrq or kMsiIrq; an invalid fd removes the trigger.
  void SetTrigger(uint32_t index, UniqueFd fd);
  bool HasTrigger(uint32_t index);
  // The client's own trigger (DATA_NONE or DATA_BOOL with ACTION_TRIGGER): signals the eventfd.
  void Trigger(uint32_t index);
  void MaskIntx();
  void UnmaskIntx();
  // The command register's INTx DISABLE bit; clearing it lets a pending level through.
  void SetIntxDisabled(bool disabled);
  // The client has gone: every trigger closed, the mask cleared for the next client.
  void CloseAll();

 private:
  void SignalIntxLocked();

  std::mutex mu_;
  UniqueFd intx_fd_;
  UniqueFd msi_fd_;
  bool masked_ = false;
  bool intx_disabled_ = false;
  std::atomic<bool> level_{false};
};

}  // namespace vfu
