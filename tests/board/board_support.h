// Shared helpers of the board tests: a board made from a settings string, register access by
// name, and a bounded wait for the board's interrupt.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "regs/regs.h"
#include "settings.h"
#include "wdc/backend.h"

namespace board_test {

class BoardTest : public ::testing::Test {
 protected:
  void Make(const char* settings) {
    std::string error;
    backend_ = sim::CreateSimBackend(settings, &error);
    ASSERT_NE(backend_, nullptr) << error;
    ASSERT_GE(backend_->BoardCount(), 1u);
    b_ = backend_->BoardAt(0);
  }
  void TearDown() override {
    if (b_) {
      // Every test leaves the board quiet; the ones that expect findings take them first.
      std::vector<std::string> rest;
      b_->Audit(&rest);
      EXPECT_TRUE(rest.empty()) << rest.front();
    }
  }

  void W32(uint32_t off, uint32_t v) { ASSERT_EQ(b_->Write(AD_BAR1, off, 4, v), 0u); }
  uint32_t R32(uint32_t off) {
    uint64_t v = 0;
    EXPECT_EQ(b_->Read(AD_BAR1, off, 4, &v), 0u);
    return static_cast<uint32_t>(v);
  }
  uint8_t Bar0Byte(uint32_t off) {
    uint64_t v = 0;
    EXPECT_EQ(b_->Read(AD_BAR0, off, 1, &v), 0u);
    return static_cast<uint8_t>(v);
  }

  // Waits for one interrupt of the board, at most `ms`; the line stays attached.
  bool WaitIrq(int ms = 5000) {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false, fired = false;
    std::thread watchdog([&] {
      std::unique_lock<std::mutex> lock(mu);
      if (!cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done; })) {
        fired = true;
        b_->InterruptDetach();
      }
    });
    const bool got = b_->InterruptWait();
    {
      std::lock_guard<std::mutex> lock(mu);
      done = true;
    }
    cv.notify_all();
    watchdog.join();
    if (fired) b_->InterruptAttach();
    return got && !fired;
  }

  std::vector<std::string> Findings() {
    std::vector<std::string> f;
    b_->Audit(&f);
    return f;
  }

  std::unique_ptr<wdc::Backend> backend_;
  wdc::Board* b_ = nullptr;
};

}  // namespace board_test
