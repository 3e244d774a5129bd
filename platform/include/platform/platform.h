// The operating-system services the program uses: events, sleeping, the performance counter,
// the keyboard and the console. Windows provides them natively; elsewhere they are built on
// POSIX with the same behaviour.
#pragma once

#include <cinttypes>
#include <cstdint>

namespace platform {

// ---- Events ----------------------------------------------------------------------------------
// An event handle is opaque; null means none. Auto-reset: a set before the wait is kept, two
// sets before one wait leave one, each successful wait consumes it. Manual-reset: stays set
// until reset. Setting or waiting on a closed handle fails harmlessly (false / kWaitFailed).
using EventHandle = void*;

constexpr uint32_t kWaitSignaled = 0;          // the event was set
constexpr uint32_t kWaitTimeout = 0x102;       // the time-out passed first
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;   // not a live event
constexpr uint32_t kInfinite = 0xFFFFFFFF;     // time-out that never passes

EventHandle EventCreate(bool manual_reset, bool initially_set);  // null on failure
bool EventSet(EventHandle event);
bool EventReset(EventHandle event);
uint32_t EventWait(EventHandle event, uint32_t timeout_ms);
bool EventClose(EventHandle event);

// ---- Time ------------------------------------------------------------------------------------
void SleepMs(uint32_t ms);
// A monotonic high-resolution counter and its ticks per second.
bool PerfCounter(int64_t* ticks);
bool PerfFrequency(int64_t* ticks_per_second);
// Monotonic nanoseconds, for busy waits and pacing.
uint64_t NowNs();

// ---- Console and keyboard --------------------------------------------------------------------
// Makes standard output unbuffered and, where there is a controlling terminal, puts it in
// non-canonical mode without echo until ConsoleRestore or any exit (including SIGINT, SIGTERM,
// SIGHUP, SIGQUIT and SIGPIPE, after which the signal takes its usual effect).
void ConsoleInit();
void ConsoleRestore();
// Non-zero when a key press waits in the console input. The key is left there. Without a
// controlling terminal there is never a key.
int KeyHit();

// ---- Formats ---------------------------------------------------------------------------------
// A pointer as upper-case hex digits to the full width of a pointer, no prefix:
//   printf("(0x" PLATFORM_PTR_FMT ")", PLATFORM_PTR_ARG(p));
#define PLATFORM_PTR_FMT "%0*" PRIXPTR
#define PLATFORM_PTR_ARG(p) static_cast<int>(2 * sizeof(void*)), reinterpret_cast<uintptr_t>(p)
// An unsigned 64-bit decimal.
#define PLATFORM_U64_FMT "%" PRIu64

// ---- Seams for tests -------------------------------------------------------------------------
namespace testing {
// The next `count` EventCreate calls fail (return null).
void FailEventCreates(uint32_t count);
// While set, KeyHit returns what the hook returns instead of looking at the terminal.
void SetKeyHitHook(int (*hook)());
}  // namespace testing

}  // namespace platform
