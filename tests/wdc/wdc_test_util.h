// Shared set-up of the library's tests: a fresh fake backend opened per test, and the first
// board's device opened on demand.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "wdc_fake_backend.h"
#include "wdc/wdc_lib.h"

namespace wdc_test {

// Opens the library on the fake backend described by Configure(); closes it afterwards and
// insists on a clean ledger, so every test is also a leak check of the library.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("FPGA_SIM");
    unsetenv("FPGA_WDC");
    wdc_fake::ResetConfig();
    Configure(wdc_fake::NextConfig());
    ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  }
  void TearDown() override {
    const WdcStatus status = WDC_DriverClose();
    EXPECT_TRUE(status == WDC_STATUS_SUCCESS || status == WDC_STATUS_NOT_OPEN)
        << std::hex << status << " " << Stat2Str(status);
    EXPECT_EQ(wdc_fake::LiveBackends(), 0);
    wdc_fake::ResetConfig();
  }
  virtual void Configure(wdc_fake::Config&) {}

  static WdcPciSlot SlotOf(const wdc_fake::BoardSpec& desc) {
    return {desc.id.bus, desc.id.slot, desc.id.function};
  }
  // Opens the board at `slot` (default: the default board's).
  static WdcDeviceHandle OpenDevice(WdcPciSlot slot = SlotOf(wdc_fake::BoardSpec{})) {
    WdcPciDeviceInfo info{};
    info.pciSlot = slot;
    WdcDeviceHandle handle = nullptr;
    EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, nullptr, nullptr),
              WDC_STATUS_SUCCESS);
    return handle;
  }
};

}  // namespace wdc_test
