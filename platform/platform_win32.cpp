// The platform services on Windows: the native ones, with the test seams in front.
#include "platform/platform.h"
#include "platform/spin_wait.h"

#if !defined(_WIN32_WINNT) || _WIN32_WINNT < 0x0602
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0602  // WaitOnAddress needs Windows 8
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <conio.h>

#include <atomic>
#include <cstdio>

namespace platform {

namespace {
std::atomic<uint32_t> g_failing_creates{0};
std::atomic<int (*)()> g_key_hook{nullptr};

int64_t QpcFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  return frequency;
}
}  // namespace

// ---- Events: kernel event objects. A closed handle value may be reused by the system for
// another object; that is the native behaviour and the program never relies on more.
EventHandle EventCreate(bool manual_reset, bool initially_set) {
  uint32_t failing = g_failing_creates.load();
  while (failing > 0) {
    if (g_failing_creates.compare_exchange_weak(failing, failing - 1)) return nullptr;
  }
  return CreateEventA(nullptr, manual_reset ? TRUE : FALSE, initially_set ? TRUE : FALSE, nullptr);
}

bool EventSet(EventHandle event) { return event != nullptr && SetEvent(event) != 0; }

bool EventReset(EventHandle event) { return event != nullptr && ResetEvent(event) != 0; }

uint32_t EventWait(EventHandle event, uint32_t timeout_ms) {
  if (event == nullptr) return kWaitFailed;
  switch (WaitForSingleObject(event, timeout_ms)) {
    case WAIT_OBJECT_0: return kWaitSignaled;
    case WAIT_TIMEOUT: return kWaitTimeout;
    default: return kWaitFailed;
  }
}

bool EventClose(EventHandle event) { return event != nullptr && CloseHandle(event) != 0; }

// ---- Doorbell: the same spin-then-block policy, blocking with WaitOnAddress (Windows 8 and
// later, library synchronization).
void Doorbell::Ring() {
  if (pending_.exchange(1) == 0 && sleepers_.load() != 0) {
    WakeByAddressSingle(reinterpret_cast<void*>(&pending_));
  }
}

bool Doorbell::TryTake() {
  return pending_.load(std::memory_order_relaxed) != 0 && pending_.exchange(0) != 0;
}

bool Doorbell::Wait(uint64_t timeout_ns) {
  if (timeout_ns == kForever) return WaitUntil(kForever);
  const uint64_t now = NowNs();
  return WaitUntil(timeout_ns > kForever - now ? kForever : now + timeout_ns);
}

bool Doorbell::WaitUntil(uint64_t deadline_ns) { return WaitUntil(deadline_ns, spin_ns_); }

bool Doorbell::WaitUntil(uint64_t deadline_ns, uint64_t spin_ns) {
  if (TryTake()) return true;
  uint64_t now = NowNs();
  if (now >= deadline_ns) return false;
  const uint64_t spin_end = deadline_ns - now > spin_ns ? now + spin_ns : deadline_ns;
  const uint32_t pauses = pauses_.Pauses();
  for (uint32_t i = 0; now < spin_end; ++i) {
    if (i < pauses) {
      CpuRelax();
    } else {
      if (i == pauses && pauses != 0) pauses_.Missed();
      SwitchToThread();
    }
    if (TryTake()) {
      if (i < pauses) pauses_.Caught();
      return true;
    }
    if (i >= pauses || (i & 15) == 15) now = NowNs();
  }
  sleepers_.fetch_add(1);
  bool taken = false;
  for (;;) {
    if ((taken = TryTake())) break;
    now = NowNs();
    if (now >= deadline_ns) break;
    uint32_t zero = 0;
    DWORD ms = INFINITE;
    if (deadline_ns != kForever) {
      const uint64_t left_ms = (deadline_ns - now + 999999u) / 1000000u;
      ms = left_ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(left_ms);
    }
    WaitOnAddress(reinterpret_cast<volatile void*>(&pending_), &zero, sizeof(zero), ms);
  }
  sleepers_.fetch_sub(1);
  return taken;
}

// ---- Time
void SleepMs(uint32_t ms) { Sleep(ms); }

bool PerfCounter(int64_t* ticks) {
  LARGE_INTEGER c;
  if (ticks == nullptr || !QueryPerformanceCounter(&c)) return false;
  *ticks = static_cast<int64_t>(c.QuadPart);
  return true;
}

bool PerfFrequency(int64_t* ticks_per_second) {
  if (ticks_per_second == nullptr) return false;
  *ticks_per_second = QpcFrequency();
  return *ticks_per_second > 0;
}

uint64_t NowNs() {
  LARGE_INTEGER c;
  QueryPerformanceCounter(&c);
  const uint64_t ticks = static_cast<uint64_t>(c.QuadPart);
  const uint64_t f = static_cast<uint64_t>(QpcFrequency());
  // Split so that ticks * 1e9 cannot overflow.
  return ticks / f * 1000000000u + ticks % f * 1000000000u / f;
}

// ---- Console and keyboard. The console needs no mode change: _kbhit sees a key press without
// echo or line editing. Standard output stays in text mode, so "\n" goes out as "\r\n".
namespace {
// KeyHit runs after every DMA transfer, 16.7 million times per pass, and _kbhit is a round trip
// to the console host (under Wine about 0.3 ms). As on POSIX, a "no key" answer is trusted for
// up to 1 ms: a key is seen at most 1 ms late and the common call costs one counter read. A
// "key waiting" answer is never cached, and ConsoleInit clears the cache.
constexpr uint64_t kNoKeyCacheNs = 1000000;
std::atomic<uint64_t> g_no_key_until{0};
}  // namespace

void ConsoleInit() {
  // Every message must reach the console when its printf returns, line end or not.
  setvbuf(stdout, nullptr, _IONBF, 0);
  g_no_key_until.store(0, std::memory_order_relaxed);
  // Wine's console on a terminal starts taking key presses from the terminal only once its
  // input has been looked at through a console handle; _kbhit alone never does that. Peeking
  // reads nothing and costs one call; without a console it simply fails.
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode)) {
    INPUT_RECORD record;
    DWORD count = 0;
    PeekConsoleInputA(input, &record, 1, &count);
  }
}

void ConsoleRestore() {}

int KeyHit() {
  if (int (*hook)() = g_key_hook.load()) return hook();
  const uint64_t now = NowNs();
  if (now < g_no_key_until.load(std::memory_order_relaxed)) return 0;
  if (_kbhit()) return 1;
  g_no_key_until.store(now + kNoKeyCacheNs, std::memory_order_relaxed);
  return 0;
}

namespace testing {
void FailEventCreates(uint32_t count) { g_failing_creates.store(count); }
void SetKeyHitHook(int (*hook)()) { g_key_hook.store(hook); }
}  // namespace testing

}  // namespace platform
