#include "interrupts.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>

#include "wire.h"

namespace vfu {
namespace {

// Interrupts a write blocked on a client's full eventfd (the handler is installed without
// SA_RESTART, so the write returns EINTR). SIGURG is ignored by default, so one sent to a
// process of ours from outside does no harm either.
constexpr int kWakeSignal = SIGURG;

void OnWake(int) {}

void InstallWakeHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_handler = OnWake;
    sigemptyset(&sa.sa_mask);
    sigaction(kWakeSignal, &sa, nullptr);
  });
}

}  // namespace

Interrupts::~Interrupts() {
  Replace(intx_, UniqueFd());
  Replace(msi_, UniqueFd());
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    cv_.notify_all();
  }
  if (signaller_.joinable()) signaller_.join();
}

void Interrupts::SignallerMain() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    Target* t = nullptr;
    cv_.wait(lk, [&] {
      if (quit_) return true;
      t = intx_.pending != 0 && intx_.fd.Valid() ? &intx_
          : msi_.pending != 0 && msi_.fd.Valid() ? &msi_
                                                 : nullptr;
      return t != nullptr;
    });
    if (quit_) return;
    const uint64_t value = t->pending;
    t->pending = 0;
    const int fd = t->fd.Get();
    writing_ = fd;
    lk.unlock();
    const ssize_t r = write(fd, &value, sizeof value);
    const int err = errno;
    lk.lock();
    writing_ = -1;
    cv_.notify_all();
    if (r >= 0 || t->fd.Get() != fd) continue;
    // Interrupted with the descriptor still current (a stray signal): the signals are written
    // again. A counter the client filled with O_NONBLOCK set (EAGAIN) loses them: the client
    // has unread signals already.
    if (err == EINTR && !quit_) {
      t->pending += value;
    } else if (err == EAGAIN && !t->told) {
      t->told = true;
      const char* name = t->name;
      lk.unlock();  // never log with the lock held: the log may be a pipe that blocks
      TellFull(name, "dropped");
      lk.lock();
    }
  }
}

void Interrupts::TellFull(const char* name, const char* what) {
  log_.Line(std::string("the client's ") + name + " eventfd is full: its interrupt was " + what);
}

const char* Interrupts::ReplaceLocked(std::unique_lock<std::mutex>& lk, Target& t, UniqueFd fd) {
  UniqueFd old = std::exchange(t.fd, std::move(fd));
  t.pending = 0;
  const bool told = std::exchange(t.told, false);
  if (!old.Valid() || writing_ != old.Get()) return nullptr;
  // A blocked write ends with EINTR; one about to start may miss a signal, hence the repeats.
  while (writing_ == old.Get()) {
    pthread_kill(signaller_.native_handle(), kWakeSignal);
    cv_.wait_for(lk, std::chrono::milliseconds(2));
  }
  // `old` closes on the way out, with no write left on it.
  return told ? nullptr : t.name;
}

void Interrupts::Replace(Target& t, UniqueFd fd) {
  std::unique_lock<std::mutex> lk(mu_);
  const char* blocked = ReplaceLocked(lk, t, std::move(fd));
  lk.unlock();
  if (blocked) TellFull(blocked, "still waiting to be written when its eventfd went");
}

void Interrupts::SignalLocked(Target& t) {
  if (!t.fd.Valid()) return;
  ++t.pending;
  cv_.notify_all();
}

void Interrupts::SignalIntxLocked() {
  if (!masked_ && !intx_disabled_ && intx_.fd.Valid() && level_.load(std::memory_order_relaxed)) {
    SignalLocked(intx_);
    masked_ = true;
  }
}

void Interrupts::Raise() {
  std::lock_guard<std::mutex> lock(mu_);
  if (msi_.fd.Valid()) {
    SignalLocked(msi_);
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
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd.Valid() && !signaller_.joinable()) {
      InstallWakeHandler();
      signaller_ = std::thread([this] { SignallerMain(); });
    }
  }
  if (index == kIntxIrq) Replace(intx_, std::move(fd));
  if (index == kMsiIrq) Replace(msi_, std::move(fd));
}

bool Interrupts::HasTrigger(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  return index == kIntxIrq ? intx_.fd.Valid() : index == kMsiIrq && msi_.fd.Valid();
}

void Interrupts::Trigger(uint32_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index == kIntxIrq) SignalLocked(intx_);
  if (index == kMsiIrq) SignalLocked(msi_);
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

bool Interrupts::Flush(int timeout_ms) {
  std::unique_lock<std::mutex> lk(mu_);
  return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [this] {
    return writing_ < 0 && (intx_.pending == 0 || !intx_.fd.Valid()) &&
           (msi_.pending == 0 || !msi_.fd.Valid());
  });
}

void Interrupts::CloseAll() {
  Replace(intx_, UniqueFd());
  Replace(msi_, UniqueFd());
  std::lock_guard<std::mutex> lock(mu_);
  masked_ = false;
}

}  // namespace vfu
