// The interrupt: MSI counts, INTx's mask, and the wake-up of a blocked wait.
#include <linux/vfio.h>

#include <cerrno>
#include <thread>

#include "fixture.h"

namespace vfio_test {
namespace {

TEST_F(VfioTest, MsiWaitCountsTheInterruptsItCoversAndAttachForgetsOldOnes) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  ASSERT_TRUE(Board().UsesMsi());
  ASSERT_EQ(Board().InterruptAttach(), WDC_STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) bus->Interrupt();
  EXPECT_EQ(Board().InterruptWait(), 3u);
  bus->Interrupt();
  EXPECT_EQ(Board().InterruptWait(), 1u);

  bus->Interrupt();  // never waited for
  Board().InterruptDetach();
  ASSERT_EQ(Board().InterruptAttach(), WDC_STATUS_SUCCESS);
  bus->Interrupt();
  EXPECT_EQ(Board().InterruptWait(), 1u);
}

TEST_F(VfioTest, IntxStaysMaskedUntilUnmasked) {
  device.msi = false;
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  ASSERT_FALSE(Board().UsesMsi());
  ASSERT_EQ(Board().InterruptAttach(), WDC_STATUS_SUCCESS);
  bus->Interrupt();
  EXPECT_EQ(Board().InterruptWait(), 1u);
  bus->Interrupt();  // the line is masked: held until the unmask
  EXPECT_EQ(model.Signals(), 1u);
  Board().InterruptUnmask();
  ASSERT_EQ(model.Signals(), 2u);  // else the wait below would never return
  EXPECT_EQ(Board().InterruptWait(), 1u);
}

TEST_F(VfioTest, MsiTheHostCannotEnableFallsBackToIntx) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  ASSERT_TRUE(Board().UsesMsi());
  model.FailNext(VFIO_DEVICE_SET_IRQS, EINVAL);  // as with pci=nomsi
  ASSERT_EQ(Board().InterruptAttach(), WDC_STATUS_SUCCESS);
  EXPECT_FALSE(Board().UsesMsi());
  bus->Interrupt();
  EXPECT_EQ(Board().InterruptWait(), 1u);
  bus->Interrupt();  // masked until the unmask: INTx is what was enabled
  EXPECT_EQ(model.Signals(), 1u);
  Board().InterruptUnmask();
  EXPECT_EQ(Board().InterruptWait(), 1u);
}

TEST_F(VfioTest, DetachWakesABlockedWaitAndLaterWaitsReturnAtOnce) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  ASSERT_EQ(Board().InterruptAttach(), WDC_STATUS_SUCCESS);
  uint32_t woke_with = 99;
  std::thread waiter([&] { woke_with = Board().InterruptWait(); });
  Board().InterruptDetach();
  waiter.join();
  EXPECT_EQ(woke_with, 0u);
  EXPECT_EQ(Board().InterruptWait(), 0u);
  bus->Interrupt();  // disabled: reaches no one
  EXPECT_EQ(model.Signals(), 0u);
  Board().Close();
  ExpectAllReleased();
}

}  // namespace
}  // namespace vfio_test
