// Time services, the key-press seam and the console formats.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdarg>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[128];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

TEST(Time, PerfCounterRunsAtItsFrequency) {
  int64_t frequency = 0;
  ASSERT_TRUE(platform::PerfFrequency(&frequency));
  EXPECT_EQ(frequency, 1000000000);
  int64_t before = 0;
  int64_t after = 0;
  ASSERT_TRUE(platform::PerfCounter(&before));
  platform::SleepMs(20);
  ASSERT_TRUE(platform::PerfCounter(&after));
  EXPECT_GE(after - before, frequency / 50);
  EXPECT_FALSE(platform::PerfCounter(nullptr));
  EXPECT_FALSE(platform::PerfFrequency(nullptr));
}

void IgnoreSignal(int) {}

TEST(Time, SleepMsLastsAtLeastItsTimeDespiteSignals) {
  // A handler without SA_RESTART makes nanosleep return EINTR; the sleep must go on.
  struct sigaction ours;
  struct sigaction old;
  std::memset(&ours, 0, sizeof ours);
  ours.sa_handler = IgnoreSignal;
  sigemptyset(&ours.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &ours, &old), 0);
  std::atomic<bool> done{false};
  std::chrono::steady_clock::duration slept{};
  std::thread sleeper([&] {
    const auto start = std::chrono::steady_clock::now();
    platform::SleepMs(150);
    slept = std::chrono::steady_clock::now() - start;
    done = true;
  });
  const pthread_t target = sleeper.native_handle();
  while (!done.load()) {
    pthread_kill(target, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  sleeper.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(slept, std::chrono::milliseconds(150));
}

std::atomic<int> g_hook_calls{0};
int KeyAfterThreeCalls() { return ++g_hook_calls >= 3 ? 1 : 0; }

TEST(KeyHit, HookAnswersEveryCall) {
  g_hook_calls = 0;
  platform::testing::SetKeyHitHook(KeyAfterThreeCalls);
  // No cached "no key" may hide the hook's change of mind.
  EXPECT_EQ(platform::KeyHit(), 0);
  EXPECT_EQ(platform::KeyHit(), 0);
  EXPECT_NE(platform::KeyHit(), 0);
  EXPECT_NE(platform::KeyHit(), 0);
  platform::testing::SetKeyHitHook(nullptr);
  EXPECT_EQ(g_hook_calls.load(), 4);
  platform::KeyHit();
  EXPECT_EQ(g_hook_calls.load(), 4) << "the hook is still called after removal";
}

TEST(Formats, PointerIsFullWidthUpperCaseHex) {
  const int width = static_cast<int>(2 * sizeof(void*));
  std::string small = Format(PLATFORM_PTR_FMT, PLATFORM_PTR_ARG(reinterpret_cast<void*>(0xabc)));
  EXPECT_EQ(small, std::string(width - 3, '0') + "ABC");
  if (sizeof(void*) == 8) {
    EXPECT_EQ(small, "0000000000000ABC");
  }
  EXPECT_EQ(Format(PLATFORM_PTR_FMT, PLATFORM_PTR_ARG(nullptr)), std::string(width, '0'));
  EXPECT_EQ(Format(PLATFORM_PTR_FMT, PLATFORM_PTR_ARG(reinterpret_cast<void*>(~uintptr_t{0}))),
            std::string(width, 'F'));
  EXPECT_EQ(Format("(0x" PLATFORM_PTR_FMT ")", PLATFORM_PTR_ARG(reinterpret_cast<void*>(0xdef0))),
            "(0x" + std::string(width - 4, '0') + "DEF0)");
}

TEST(Formats, U64PrintsTheWholeRange) {
  EXPECT_EQ(Format(PLATFORM_U64_FMT, UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(Format(PLATFORM_U64_FMT, uint64_t{1} << 32), "4294967296");
  EXPECT_EQ(Format(PLATFORM_U64_FMT, uint64_t{0}), "0");
}

}  // namespace
