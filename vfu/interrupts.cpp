#include "interrupts.h"

#include <unistd.h>

#include <cstdint>

#include "wire.h"

namespace vfu {
namespace {

// A counter the client saturated itself could make the write fail (the descriptor is its own
// eventfd, shared with it): a lost signal, never a blocked device.
void Signal(const UniqueFd& fd) {
  const uint64_t one = 1;
  if (fd.Valid()) {
    const ssize_t r = write(fd.Get(), &one, sizeof one);
    (void)r;
  }
}

}  // namespace

void Interrupts::SignalIntxLocked() {
  if (!masked_ && !intx_disabled_ && intx_fd_.Valid() && level_.load(std::memory_order_relaxed)) {
    Signal(intx_fd_);
    masked_ = true;
  }
}

void Interrupts::Raise() {
  std::lock_guard<std::mutex> lock(mu_);
  if (msi_fd_.Valid()) {
    Signal(msi_fd_);
    return;
  }
  level_.store(true, std::memory_order_relaxed);
  SignalIntxLocked();
}

void Interrupts::Lower() {
  std::lock_guard<std::mutex> lock(mu_);
  level_.store(false, std::memory_order_relaxed);
}

void Interrupts::SetTrigger(uint32_t index, UniqueFd fd) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index == kIntxIrq) {
    intx_fd_ = std::move(fd);
  } else if (index == kMsiIrq) {
    msi_fd_ = std::move(fd);
  }
}

bool Interrupts::HasTrigger(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  return index == kIntxIrq ? intx_fd_.Valid() : index == kMsiIrq && msi_fd_.Valid();
}

void Interrupts::Trigger(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index == kIntxIrq) Signal(intx_fd_);
  if (index == kMsiIrq) Signal(msi_fd_);
}

void Interrupts::MaskIntx() {
  std::lock_guard<std::mutex> lock(mu_);
  masked_ = true;
}

void Interrupts::UnmaskIntx() {
  std::lock_guard<std::mutex> lock(mu_);
  masked_ = false;
  SignalIntxLocked();
}

void Interrupts::SetIntxDisabled(bool disabled) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool was = intx_disabled_;
  intx_disabled_ = disabled;
  if (was && !disabled) SignalIntxLocked();
}

void Interrupts::CloseAll() {
  std::lock_guard<std::mutex> lock(mu_);
  intx_fd_.Reset();
  msi_fd_.Reset();
  masked_ = false;
}

}  // namespace vfu
