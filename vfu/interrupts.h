// The function's interrupt as the client receives it: the trigger eventfds the client set with
// DEVICE_SET_IRQS, and INTx's level and mask. INTx follows VFIO's rules: level-triggered and
// automasked, so a raise signals the client once and masks the line, and the client's UNMASK
// signals again at once if the level is still asserted. MSI, once its eventfd is set, takes
// the place of INTx: a raise is one message and asserts no level.
//
// The eventfds are the client's, and so is their open file description: it may fill a counter
// and clear O_NONBLOCK, after which a write blocks until the client reads. So no thread that
// matters ever writes one. Raise, Lower and the connection thread's calls only count signals
// under a mutex that guards nothing slower (the function raises with its own lock held); a
// thread of our own, the signaller, does the writes, holding no lock. A write that blocks
// there stalls only this client's later interrupts, and when its descriptor is replaced or
// closed (the client leaves, the server stops) the signaller is interrupted by kWakeSignal,
// whose handler does nothing, until it has let go of it. Either way, a full counter (a write
// that failed, or one still blocked when its descriptor went) is logged, once a descriptor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "log.h"
#include "transport.h"
#include "vfu/device.h"

namespace vfu {

class Interrupts final : public InterruptLine {
 public:
  explicit Interrupts(Log& log) : log_(log) {}
  ~Interrupts() override;
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;

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
  // The client has gone: every trigger closed, the mask cleared for the next client. Returns
  // once the signaller holds none of them.
  void CloseAll();
  // Waits up to `timeout_ms` until every signal counted so far has been written (or lost to a
  // full counter); false when a write is still blocked then.
  bool Flush(int timeout_ms);

 private:
  struct Target {
    UniqueFd fd;
    uint64_t pending = 0;  // signals not yet written
    bool told = false;     // its full counter has been logged
    const char* name;
  };

  void SignalLocked(Target& t);
  void SignalIntxLocked();
  // Replaces t's descriptor and waits (interrupting the signaller) until no write uses the old;
  // the trigger's name when a write was still blocked on it and not yet logged.
  const char* ReplaceLocked(std::unique_lock<std::mutex>& lk, Target& t, UniqueFd fd);
  void Replace(Target& t, UniqueFd fd);
  void TellFull(const char* name, const char* what);
  void SignallerMain();

  Log& log_;
  std::mutex mu_;
  std::condition_variable cv_;
  Target intx_{UniqueFd(), 0, false, "INTx"};
  Target msi_{UniqueFd(), 0, false, "MSI"};
  bool masked_ = false;
  bool intx_disabled_ = false;
  std::atomic<bool> level_{false};
  int writing_ = -1;  // the descriptor the signaller is writing now, -1: none
  bool quit_ = false;
  std::thread signaller_;  // started with the first trigger
};

}  // namespace vfu
