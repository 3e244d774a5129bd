// Completion interrupts: the transfer list's bytes, the registration's failure paths, the wait,
// and the order of the tear-down.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "fake_wdc.h"
#include "device/diag_device.h"

using ::testing::ElementsAre;

namespace {

using namespace oracle;

class InterruptTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  void TearDown() override {
    if (reg.hEvent) platform::EventClose(reg.hEvent);
  }
  fake::Fake& f = fake::F();
  DiagIntRegistration reg = {};
};

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST_F(InterruptTest, TransferListHoldsOnlyAddressCommandsAndMask) {
  f.device.addrSpace[AD_BAR1].dwKernelAddr = 0xFEB00000u;
  f.device.hKernelPlugIn = 7;
  for (uint32_t mask : {0x1u, 0x80u}) {
    std::memset(&reg, 0xCC, sizeof reg);  // no byte may be left from before
    ASSERT_EQ(DIAG_IntRegister(&f.device, mask, &reg), 1);
    uint8_t expected[64] = {};
    Put32(expected + 0, 0xFEB00218u);
    Put32(expected + 4, 32);
    Put32(expected + 32 + 4, 2);
    Put32(expected + 32 + 24, mask);
    EXPECT_EQ(std::memcmp(reg.trans, expected, 64), 0) << mask;
    EXPECT_EQ(std::memcmp(f.cmds, expected, 64), 0) << mask;
    EXPECT_EQ(f.numCmds, 2u);
    EXPECT_EQ(f.intOptions, 0u);
    EXPECT_EQ(f.handler, &DIAG_IntHandler);
    EXPECT_EQ(f.handlerData, reg.hEvent);
    EXPECT_EQ(f.useKP, 7u);
    DIAG_IntRelease(&f.device, &reg);
  }
}

TEST_F(InterruptTest, HandlerSignalsTheEventOnce) {
  ASSERT_EQ(DIAG_IntRegister(&f.device, INT_CH0_DONE, &reg), 1);
  // Two completions before the wait leave one signal: the event is auto-reset.
  f.FireInterrupt();
  f.FireInterrupt();
  EXPECT_EQ(platform::EventWait(reg.hEvent, 0), platform::kWaitSignaled);
  EXPECT_EQ(platform::EventWait(reg.hEvent, 0), platform::kWaitTimeout);
  DIAG_IntRelease(&f.device, &reg);
}

TEST_F(InterruptTest, WaitReturnsAtOnceForAnEarlierCompletion) {
  ASSERT_EQ(DIAG_IntRegister(&f.device, INT_CH0_DONE, &reg), 1);
  f.FireInterrupt();
  int result = -1;
  const std::string out = fake::Capture([&] { result = DIAG_IntWait(&reg, 1000); });
  EXPECT_EQ(result, 1);
  EXPECT_EQ(out, "");
  DIAG_IntRelease(&f.device, &reg);
}

TEST_F(InterruptTest, WaitWithoutCompletionReportsTheFailure) {
  ASSERT_EQ(DIAG_IntRegister(&f.device, INT_CH0_DONE, &reg), 1);
  int result = -1;
  const std::string out = fake::Capture([&] { result = DIAG_IntWait(&reg, 20); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, WaitFailure());
  DIAG_IntRelease(&f.device, &reg);
}

TEST_F(InterruptTest, EventCreationFailureIsSilentAndReleaseOnlyAsks) {
  platform::testing::FailEventCreates(1);
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_IntRegister(&f.device, INT_CH0_DONE, &reg); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, "");
  EXPECT_EQ(reg.hEvent, nullptr);
  EXPECT_EQ(f.Calls("WDC_IntEnable"), 0);
  f.log.clear();
  DIAG_IntRelease(&f.device, &reg);
  EXPECT_THAT(f.log, ElementsAre("WDC_IntIsEnabled"));
}

TEST_F(InterruptTest, ReleaseWithNothingRegisteredOnlyAsks) {
  DIAG_IntRelease(&f.device, &reg);
  EXPECT_THAT(f.log, ElementsAre("WDC_IntIsEnabled"));
}

TEST_F(InterruptTest, EnableFailureReportsAndReleaseClosesTheEvent) {
  f.Fail("WDC_IntEnable", 0x20001013);
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_IntRegister(&f.device, INT_BACKLOOP_DONE, &reg); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out, IntEnableFailure(fake::Stat(0x20001013)));
  platform::EventHandle event = reg.hEvent;
  ASSERT_NE(event, nullptr);
  f.log.clear();
  DIAG_IntRelease(&f.device, &reg);
  EXPECT_THAT(f.log, ElementsAre("WDC_IntIsEnabled"));
  EXPECT_FALSE(platform::EventSet(event));  // closed
  EXPECT_EQ(reg.hEvent, nullptr);
}

TEST_F(InterruptTest, ReleaseClearsIntCtrlThenDisablesThenClosesTheEvent) {
  ASSERT_EQ(DIAG_IntRegister(&f.device, INT_CH0_DONE, &reg), 1);
  platform::EventHandle event = reg.hEvent;
  bool liveAtDisable = false;
  f.onIntDisable = [&] { liveAtDisable = platform::EventSet(event); };
  f.log.clear();
  DIAG_IntRelease(&f.device, &reg);
  EXPECT_THAT(f.log, ElementsAre("WDC_IntIsEnabled", "W32 1:0x218=0x0", "WDC_IntDisable"));
  EXPECT_TRUE(liveAtDisable);
  EXPECT_FALSE(platform::EventSet(event));
}

}  // namespace
