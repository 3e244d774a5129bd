#include "fault_guard.h"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace vfu {
namespace {

// This thread's guarded copy, if one is in progress: where to go back to, and the spans whose
// faults are the client's. Only this thread and its own signal handler touch them.
struct Recovery {
  sigjmp_buf* jump = nullptr;
  uintptr_t lo[2] = {};
  uintptr_t hi[2] = {};
};
thread_local Recovery t_recovery;

struct sigaction g_previous;

bool Inside(const Recovery& r, uintptr_t a) {
  for (int i = 0; i < 2; ++i)
    if (a >= r.lo[i] && a < r.hi[i]) return true;
  return false;
}

void OnBus(int sig, siginfo_t* info, void* context) {
  Recovery& r = t_recovery;
  if (r.jump != nullptr && Inside(r, reinterpret_cast<uintptr_t>(info->si_addr))) {
    sigjmp_buf* jump = r.jump;
    r.jump = nullptr;
    siglongjmp(*jump, 1);
  }
  // Not a client page: whatever handled SIGBUS before us. With the default (or ignored)
  // disposition back in place, the faulting access runs again and ends the process as it would
  // have without us.
  if ((g_previous.sa_flags & SA_SIGINFO) != 0 && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(sig, info, context);
    return;
  }
  if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGBUS, &dfl, nullptr);
}

}  // namespace

void InstallFaultGuard() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = OnBus;
    // SA_NODEFER: the handler leaves by siglongjmp without restoring the signal mask (saving
    // it would cost a system call for every copy), so SIGBUS should not be blocked while it
    // runs; a second fault with it blocked would kill the process outright.
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &g_previous);
  });
}

bool GuardedMove(void* dst, const void* src, size_t n, ClientSpan a, ClientSpan b) {
  Recovery& r = t_recovery;
  sigjmp_buf jump;
  if (sigsetjmp(jump, 0) != 0) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    // The handler left by siglongjmp. Should SIGBUS have been blocked for it after all (a
    // runtime that installs the handler on our behalf may drop SA_NODEFER), it is unblocked
    // here: a later fault with it blocked would kill the process.
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    return false;
  }
  r.lo[0] = reinterpret_cast<uintptr_t>(a.lo);
  r.hi[0] = r.lo[0] + a.bytes;
  r.lo[1] = reinterpret_cast<uintptr_t>(b.lo);
  r.hi[1] = r.lo[1] + b.bytes;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  r.jump = &jump;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::memmove(dst, src, n);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  r.jump = nullptr;
  return true;
}

}  // namespace vfu
