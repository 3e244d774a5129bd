// The library's life cycle, forced failures, status texts and the ledger at close.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "wdc_test_util.h"
#include "platform/platform.h"
#include "wdc/ops.h"

namespace {

using wdc::Op;
using wdc_test::LibraryTest;

// Calls operation `op` with null or zero arguments wherever it takes any: enough to see a
// forced failure, which comes before any argument is looked at.
WdcStatus CallWithNulls(Op op) {
  switch (op) {
    case Op::DriverOpen: return WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT);
    case Op::DriverClose: return WDC_DriverClose();
    case Op::PciScanDevices: return WDC_PciScanDevices(0, 0, nullptr);
    case Op::PciGetDeviceInfo: return WDC_PciGetDeviceInfo(nullptr);
    case Op::PciDeviceOpen:
      return WDC_PciDeviceOpen(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    case Op::PciDeviceClose: return WDC_PciDeviceClose(nullptr);
    case Op::ReadAddr8: return WDC_ReadAddr8(nullptr, 0, 0, nullptr);
    case Op::ReadAddr16: return WDC_ReadAddr16(nullptr, 0, 0, nullptr);
    case Op::ReadAddr32: return WDC_ReadAddr32(nullptr, 0, 0, nullptr);
    case Op::ReadAddr64: return WDC_ReadAddr64(nullptr, 0, 0, nullptr);
    case Op::WriteAddr8: return WDC_WriteAddr8(nullptr, 0, 0, 0);
    case Op::WriteAddr16: return WDC_WriteAddr16(nullptr, 0, 0, 0);
    case Op::WriteAddr32: return WDC_WriteAddr32(nullptr, 0, 0, 0);
    case Op::WriteAddr64: return WDC_WriteAddr64(nullptr, 0, 0, 0);
    case Op::DMAContigBufLock: return WDC_DMAContigBufLock(nullptr, nullptr, 0, 0, nullptr);
    case Op::DMASGBufLock: return WDC_DMASGBufLock(nullptr, nullptr, 0, 0, nullptr);
    case Op::DMABufUnlock: return WDC_DMABufUnlock(nullptr);
    case Op::DMASyncCpu: return WDC_DMASyncCpu(nullptr);
    case Op::DMASyncIo: return WDC_DMASyncIo(nullptr);
    case Op::IntEnable: return WDC_IntEnable(nullptr, nullptr, 0, 0, nullptr, nullptr, 0);
    case Op::IntDisable: return WDC_IntDisable(nullptr);
    case Op::Sleep: return WDC_Sleep(0, WDC_SLEEP_BUSY);
    default: break;
  }
  ADD_FAILURE() << "no status to call for " << wdc::kOpNames[static_cast<uint32_t>(op)];
  return WDC_STATUS_SUCCESS;
}

uint32_t Index(Op op) { return static_cast<uint32_t>(op); }

// ---- Opening and closing ----------------------------------------------------------------------

TEST(WdcLifecycle, EveryOperationBeforeOpenIsRefused) {
  unsetenv("FPGA_SIM");
  wdc_fake::ResetConfig();
  for (uint32_t i = 0; i < wdc::kOpCount; ++i) {
    const Op op = static_cast<Op>(i);
    if (!wdc::ReturnsStatus(op) || op == Op::DriverOpen) continue;
    EXPECT_EQ(CallWithNulls(op), WDC_STATUS_NOT_OPEN) << wdc::kOpNames[i];
  }
  // A handle that would be valid in form, from no open library at all.
  WdcDevice fake{};
  uint32_t word = 0;
  EXPECT_EQ(WDC_ReadAddr32(&fake, 0, 0, &word), WDC_STATUS_NOT_OPEN);
  EXPECT_EQ(WDC_IntIsEnabled(&fake), 0);
  EXPECT_STREQ(Stat2Str(WDC_STATUS_NOT_OPEN), "The device-access library is not open");
  EXPECT_EQ(wdc_fake::LiveBackends(), 0);
}

TEST(WdcLifecycle, OpensAndClosesManyTimes) {
  unsetenv("FPGA_SIM");
  wdc_fake::ResetConfig();
  for (int round = 0; round < 20; ++round) {
    ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
    EXPECT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_ALREADY_OPEN);
    EXPECT_EQ(wdc_fake::LiveBackends(), 1);
    WdcPciScanResult scan{};
    EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
    EXPECT_EQ(scan.dwNumDevices, 1u);
    ASSERT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
    EXPECT_EQ(wdc_fake::LiveBackends(), 0);
    EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_NOT_OPEN);
  }
}

TEST(WdcLifecycle, HandsFpgaSimToTheBackend) {
  wdc_fake::ResetConfig();
  setenv("FPGA_SIM", "boards=2,pause=off", 1);
  ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  EXPECT_FALSE(wdc_fake::LastSettingsWereNull());
  EXPECT_EQ(wdc_fake::LastSettings(), "boards=2,pause=off");
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
  unsetenv("FPGA_SIM");
  ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  EXPECT_TRUE(wdc_fake::LastSettingsWereNull());
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
}

TEST(WdcLifecycle, BadSettingFailsOpenWithTheBackendsText) {
  unsetenv("FPGA_SIM");
  wdc_fake::ResetConfig();
  const std::string text = "bad FPGA_SIM item 'boards=9': boards must be 0 to 3";
  wdc_fake::NextConfig().error = text;
  EXPECT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_BAD_SETTING);
  EXPECT_EQ(Stat2Str(WDC_STATUS_BAD_SETTING), text);
  EXPECT_EQ(wdc_fake::LiveBackends(), 0);
  WdcPciScanResult scan{};
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_NOT_OPEN);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_NOT_OPEN);

  // The text stays the library's to give, through later good opens.
  wdc_fake::ResetConfig();
  ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
  EXPECT_EQ(Stat2Str(WDC_STATUS_BAD_SETTING), text);
}

// ---- The library's own settings (FPGA_WDC) ---------------------------------------------------

// Opens the library with FPGA_WDC set and boards in two domains at the same bus location.
class WdcOwnSettings : public ::testing::Test {
 protected:
  static WdcStatus OpenWith(const char* setting) {
    unsetenv("FPGA_SIM");
    setenv("FPGA_WDC", setting, 1);
    wdc_fake::ResetConfig();
    wdc_fake::BoardSpec other_domain;
    other_domain.id.domain = 1;
    other_domain.id.irq = 12;
    wdc_fake::NextConfig().boards = {other_domain, wdc_fake::BoardSpec{}};
    const WdcStatus status = WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT);
    unsetenv("FPGA_WDC");
    return status;
  }
  void TearDown() override {
    WDC_DriverClose();
    wdc_fake::ResetConfig();
  }
  static uint32_t IrqOfSlotOne() {
    WdcPciDeviceInfo info{};
    info.pciSlot = {1, 0, 0};
    if (WDC_PciGetDeviceInfo(&info) != WDC_STATUS_SUCCESS) return 0;
    return info.item[info.dwNumItems - 1].dwIrq;
  }
};

TEST_F(WdcOwnSettings, FailRulesWorkWhateverTheBackend) {
  ASSERT_EQ(OpenWith("fail=WDC_PciScanDevices@2"), WDC_STATUS_SUCCESS);
  WdcPciScanResult scan{};
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan),
            WDC_STATUS_FAIL_BASE + Index(Op::PciScanDevices));
}

TEST_F(WdcOwnSettings, SlotShowsOnlyThatBoard) {
  // Without it the lower domain answers for 01:00.0; with it the board in domain 1 is the one
  // board there is.
  ASSERT_EQ(OpenWith(""), WDC_STATUS_SUCCESS);
  EXPECT_EQ(IrqOfSlotOne(), 11u);
  WDC_DriverClose();
  ASSERT_EQ(OpenWith("slot=0001:01:00.0"), WDC_STATUS_SUCCESS);
  WdcPciScanResult scan{};
  ASSERT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  EXPECT_EQ(scan.dwNumDevices, 1u);
  EXPECT_EQ(IrqOfSlotOne(), 12u);
  WDC_DriverClose();
  ASSERT_EQ(OpenWith("slot=03:00.0"), WDC_STATUS_SUCCESS);
  ASSERT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  EXPECT_EQ(scan.dwNumDevices, 0u);
  EXPECT_EQ(IrqOfSlotOne(), 0u);
}

TEST_F(WdcOwnSettings, BadItemsFailTheOpenNamingTheItem) {
  const std::pair<const char*, const char*> cases[] = {
      {"fail=WDC_Nothing", "bad FPGA_WDC item 'fail=WDC_Nothing': no library operation of that name"},
      {"fail=Stat2Str", "bad FPGA_WDC item 'fail=Stat2Str': that operation returns no status"},
      {"fail=WDC_Sleep@0", "bad FPGA_WDC item 'fail=WDC_Sleep@0': the call number after @ must be 1 to 4294967295"},
      {"fail=WDC_Sleep@2,fail=WDC_Sleep@2", "bad FPGA_WDC item 'fail=WDC_Sleep@2': given twice"},
      {"slot=1:2:3:4.0", "bad FPGA_WDC item 'slot=1:2:3:4.0': expected [DDDD:]BB:SS.F in hex"},
      {"slot=00:20.0", "bad FPGA_WDC item 'slot=00:20.0': expected [DDDD:]BB:SS.F in hex"},
      {"slot=00:01.8", "bad FPGA_WDC item 'slot=00:01.8': expected [DDDD:]BB:SS.F in hex"},
      {"slot=00:01.0,slot=00:02.0", "bad FPGA_WDC item 'slot=00:02.0': slot given twice"},
      {"boards=2", "bad FPGA_WDC item 'boards=2': unknown setting"},
  };
  for (const auto& [setting, text] : cases) {
    EXPECT_EQ(OpenWith(setting), WDC_STATUS_BAD_SETTING) << setting;
    EXPECT_STREQ(Stat2Str(WDC_STATUS_BAD_SETTING), text);
    EXPECT_EQ(wdc_fake::LiveBackends(), 0) << setting;
  }
}

// ---- WDC_Sleep ---------------------------------------------------------------------------------

class WdcSleep : public LibraryTest {};

TEST_F(WdcSleep, WaitsAtLeastTheTimeAsked) {
  const uint64_t start = platform::NowNs();
  EXPECT_EQ(WDC_Sleep(3000, WDC_SLEEP_BUSY), WDC_STATUS_SUCCESS);
  EXPECT_GE(platform::NowNs() - start, 3000000u);
}

class WdcSleepOff : public LibraryTest {
  void Configure(wdc_fake::Config& config) override { config.sleep_enabled = false; }
};

TEST_F(WdcSleepOff, ReturnsAtOnceWhenTheBoardSaysSo) {
  const uint64_t start = platform::NowNs();
  EXPECT_EQ(WDC_Sleep(20000000, WDC_SLEEP_BUSY), WDC_STATUS_SUCCESS);  // 20 s asked
  EXPECT_LT(platform::NowNs() - start, 10000000000u);
}

// ---- Forced failures ---------------------------------------------------------------------------

TEST(WdcForcedFailure, EveryOperationWithAStatusCanBeFailed) {
  unsetenv("FPGA_SIM");
  for (uint32_t i = 0; i < wdc::kOpCount; ++i) {
    const Op op = static_cast<Op>(i);
    if (!wdc::ReturnsStatus(op)) continue;
    wdc_fake::ResetConfig();
    wdc_fake::NextConfig().rules = {{op, 1}};
    const WdcStatus opened = WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT);
    if (op == Op::DriverOpen) {
      EXPECT_EQ(opened, WDC_STATUS_FAIL_BASE + i);
      EXPECT_EQ(wdc_fake::LiveBackends(), 0);
      EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_NOT_OPEN);
      continue;
    }
    ASSERT_EQ(opened, WDC_STATUS_SUCCESS) << wdc::kOpNames[i];
    EXPECT_EQ(CallWithNulls(op), WDC_STATUS_FAIL_BASE + i) << wdc::kOpNames[i];
    // Only the first call was to fail; the second gets its ordinary answer.
    if (op != Op::DriverClose) {
      EXPECT_LT(CallWithNulls(op), WDC_STATUS_FAIL_BASE) << wdc::kOpNames[i];
    }
    const WdcStatus closed = WDC_DriverClose();
    EXPECT_TRUE(closed == WDC_STATUS_SUCCESS || closed == WDC_STATUS_NOT_OPEN)
        << wdc::kOpNames[i];
    EXPECT_EQ(wdc_fake::LiveBackends(), 0);
  }
  wdc_fake::ResetConfig();
}

class WdcForcedFailureRules : public LibraryTest {
  void Configure(wdc_fake::Config& config) override {
    config.rules = {{Op::ReadAddr32, 1}, {Op::ReadAddr32, 3}, {Op::PciScanDevices, 2},
                    {Op::PciDeviceOpen, 1}, {Op::DMABufUnlock, 1}};
  }
};

TEST_F(WdcForcedFailureRules, CountsEachOperationsCallsAndFailsTheNamedOnes) {
  WdcPciScanResult scan{};
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  scan.dwNumDevices = 77;
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan),
            WDC_STATUS_FAIL_BASE + Index(Op::PciScanDevices));
  EXPECT_EQ(scan.dwNumDevices, 77u) << "a forced failure does nothing";
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  EXPECT_EQ(scan.dwNumDevices, 1u);

  WdcPciDeviceInfo info{};
  info.pciSlot = scan.deviceSlot[0];
  WdcDeviceHandle handle = nullptr;
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_FAIL_BASE + Index(Op::PciDeviceOpen));
  EXPECT_EQ(handle, nullptr);
  ASSERT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_SUCCESS);

  // Two rules on one operation; the other widths and the writes are not affected.
  ASSERT_EQ(WDC_WriteAddr32(handle, AD_BAR0, 0, 0xCAFEF00D), WDC_STATUS_SUCCESS);
  const WdcStatus expected[] = {WDC_STATUS_FAIL_BASE + Index(Op::ReadAddr32), 0,
                                WDC_STATUS_FAIL_BASE + Index(Op::ReadAddr32), 0, 0};
  for (WdcStatus want : expected) {
    uint32_t word = 0;
    EXPECT_EQ(WDC_ReadAddr32(handle, AD_BAR0, 0, &word), want);
    EXPECT_EQ(word, want ? 0u : 0xCAFEF00Du);
    uint16_t half = 0;
    EXPECT_EQ(WDC_ReadAddr16(handle, AD_BAR0, 0, &half), WDC_STATUS_SUCCESS);
  }

  // A failed unlock leaves the buffer locked and its record valid.
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle, &host, DMA_OPT_TO_DEVICE, 4096, &record),
            WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_FAIL_BASE + Index(Op::DMABufUnlock));
  EXPECT_EQ(WDC_DMASyncCpu(record), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(handle), WDC_STATUS_SUCCESS);
}

TEST(WdcForcedFailure, CountsStartAgainAtEachOpen) {
  unsetenv("FPGA_SIM");
  wdc_fake::ResetConfig();
  wdc_fake::NextConfig().rules = {{Op::PciGetDeviceInfo, 2}};
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
    WdcPciDeviceInfo info{};
    info.pciSlot = {1, 0, 0};
    EXPECT_EQ(WDC_PciGetDeviceInfo(&info), WDC_STATUS_SUCCESS);
    EXPECT_EQ(WDC_PciGetDeviceInfo(&info), WDC_STATUS_FAIL_BASE + Index(Op::PciGetDeviceInfo));
    EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
  }
  wdc_fake::ResetConfig();
}

TEST(WdcForcedFailure, DriverOpenCountsItsOwnCalls) {
  unsetenv("FPGA_SIM");
  wdc_fake::ResetConfig();
  wdc_fake::NextConfig().rules = {{Op::DriverOpen, 2}};
  ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_FAIL_BASE + Index(Op::DriverOpen));
  EXPECT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_ALREADY_OPEN);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
  wdc_fake::ResetConfig();
}

TEST(WdcForcedFailure, FailedCloseLeavesTheLibraryOpen) {
  unsetenv("FPGA_SIM");
  wdc_fake::ResetConfig();
  wdc_fake::NextConfig().rules = {{Op::DriverClose, 1}};
  ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_FAIL_BASE + Index(Op::DriverClose));
  WdcPciScanResult scan{};
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
  EXPECT_EQ(wdc_fake::LiveBackends(), 0);
  wdc_fake::ResetConfig();
}

// ---- Status texts ------------------------------------------------------------------------------

TEST(WdcStatusText, EveryStatusHasItsOwnText) {
  const WdcStatus codes[] = {
      WDC_STATUS_SUCCESS,          WDC_STATUS_NOT_OPEN,           WDC_STATUS_ALREADY_OPEN,
      WDC_STATUS_INVALID_HANDLE,   WDC_STATUS_INVALID_PARAMETER,  WDC_STATUS_NO_SUCH_DEVICE,
      WDC_STATUS_DEVICE_BUSY,      WDC_STATUS_BAD_ADDR_SPACE,     WDC_STATUS_OUT_OF_RANGE,
      WDC_STATUS_MISALIGNED,       WDC_STATUS_NO_MEMORY,          WDC_STATUS_INVALID_DMA_RECORD,
      WDC_STATUS_INT_ALREADY_ENABLED, WDC_STATUS_INT_NOT_ENABLED, WDC_STATUS_BAD_TRANSFER_LIST,
      WDC_STATUS_WRONG_THREAD,     WDC_STATUS_BAD_SETTING,        WDC_STATUS_RESOURCES_LEFT,
      WDC_STATUS_BUS_ADDR_ABOVE_4G, WDC_STATUS_LENGTH_TOO_LARGE,  WDC_STATUS_NO_PAGES,
      WDC_STATUS_NOT_BOUND,        WDC_STATUS_NO_IOMMU,           WDC_STATUS_GROUP_NOT_VIABLE,
      WDC_STATUS_NO_PERMISSION,    WDC_STATUS_LOCK_LIMIT,         WDC_STATUS_SYSTEM_ERROR,
  };
  std::set<std::string> seen;
  for (WdcStatus code : codes) {
    const char* text = Stat2Str(code);
    ASSERT_NE(text, nullptr) << std::hex << code;
    EXPECT_GT(std::strlen(text), 5u) << std::hex << code;
    EXPECT_STRNE(text, "Unknown status") << std::hex << code;
    EXPECT_TRUE(seen.insert(text).second) << "shared text: " << text;
  }
}

TEST(WdcStatusText, ForcedFailuresNameTheirOperation) {
  EXPECT_STREQ(Stat2Str(WDC_STATUS_FAIL_BASE + Index(Op::PciDeviceOpen)),
               "Simulated failure of WDC_PciDeviceOpen");
  for (uint32_t i = 0; i < wdc::kOpCount; ++i) {
    const std::string text = Stat2Str(WDC_STATUS_FAIL_BASE + i);
    if (wdc::ReturnsStatus(static_cast<Op>(i)))
      EXPECT_EQ(text, std::string("Simulated failure of ") + wdc::kOpNames[i]);
    else
      EXPECT_EQ(text, "Unknown status") << "operation without a status: " << wdc::kOpNames[i];
  }
}

TEST(WdcStatusText, AnythingElseIsUnknown) {
  for (WdcStatus code : {0x1u, 0x20000000u, 0x20000018u, 0x2000001Fu, 0x20000023u,
                         WDC_STATUS_FAIL_BASE - 1, WDC_STATUS_FAIL_BASE + wdc::kOpCount,
                         0xFFFFFFFFu})
    EXPECT_STREQ(Stat2Str(code), "Unknown status") << std::hex << code;
}

// ---- The ledger --------------------------------------------------------------------------------

void IgnoreInterrupt(void*) {}

class WdcLedger : public LibraryTest {
 protected:
  void Configure(wdc_fake::Config& config) override {
    config.boards.resize(2);
    config.boards[1].id.bus = 2;
  }
  static WdcStatus EnableInterrupt(WdcDeviceHandle handle) {
    WdcTransferCmd cmds[2] = {};
    cmds[0].cmdTrans = WDC_TRANS_READ_DWORD;
    cmds[0].dwAddr = handle->addrSpace[AD_BAR1].dwKernelAddr + INT_CTRL;
    cmds[1].cmdTrans = WDC_TRANS_MASK;
    cmds[1].dwData = INT_CH0_DONE;
    return WDC_IntEnable(handle, cmds, 2, 0, IgnoreInterrupt, nullptr, 0);
  }
};

TEST_F(WdcLedger, ReportsEveryKindOfLeftoverAndReleasesIt) {
  WdcDeviceHandle first = OpenDevice({1, 0, 0});
  WdcDeviceHandle second = OpenDevice({2, 0, 0});
  void* host = nullptr;
  WdcDmaRecord* contig = nullptr;
  WdcDmaRecord* sg = nullptr;
  static uint8_t user[3 * 4096];
  ASSERT_EQ(WDC_DMAContigBufLock(first, &host, DMA_OPT_FROM_DEVICE, 16384, &contig), 0u);
  ASSERT_EQ(WDC_DMASGBufLock(second, user + 100, DMA_OPT_TO_DEVICE, 8000, &sg), 0u);
  ASSERT_EQ(EnableInterrupt(first), 0u);
  wdc_fake::FakeBoard* board0 = wdc_fake::BoardAt(0);
  wdc_fake::FakeBoard* board1 = wdc_fake::BoardAt(1);
  board0->findings = {"a DMA run still active"};
  board1->findings = {"3 DMA accesses blocked"};
  EXPECT_EQ(wdc_fake::LiveMappings(), 2);

  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_RESOURCES_LEFT);
  EXPECT_STREQ(Stat2Str(WDC_STATUS_RESOURCES_LEFT),
               "resources left at close: 2 device handles open, 2 DMA buffers locked, an "
               "interrupt enabled, a DMA run still active, 3 DMA accesses blocked");
  EXPECT_EQ(wdc_fake::LiveMappings(), 0);
  EXPECT_EQ(wdc_fake::LiveBackends(), 0);

  // All released: the next run starts clean, and the old handles and records are dead.
  ASSERT_EQ(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), WDC_STATUS_SUCCESS);
  uint32_t word = 0;
  EXPECT_EQ(WDC_ReadAddr32(first, AD_BAR0, 0, &word), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_DMASyncCpu(contig), WDC_STATUS_INVALID_DMA_RECORD);
  EXPECT_EQ(WDC_DMABufUnlock(sg), WDC_STATUS_INVALID_DMA_RECORD);
  WdcDeviceHandle again = OpenDevice({1, 0, 0});
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(WDC_PciDeviceClose(again), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
  // The last ledger's text stays until a new one replaces it.
  EXPECT_NE(std::string(Stat2Str(WDC_STATUS_RESOURCES_LEFT)).find("2 device handles open"),
            std::string::npos);
}

TEST_F(WdcLedger, CountsEachKindInTheSingular) {
  WdcDeviceHandle handle = OpenDevice({2, 0, 0});
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle, &host, DMA_OPT_TO_DEVICE, 100, &record), 0u);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_RESOURCES_LEFT);
  EXPECT_STREQ(Stat2Str(WDC_STATUS_RESOURCES_LEFT),
               "resources left at close: 1 device handle open, 1 DMA buffer locked");
}

TEST_F(WdcLedger, InterruptLeftAtDeviceCloseIsStillReported) {
  WdcDeviceHandle handle = OpenDevice({1, 0, 0});
  ASSERT_EQ(EnableInterrupt(handle), 0u);
  EXPECT_EQ(WDC_PciDeviceClose(handle), WDC_STATUS_SUCCESS);
  EXPECT_EQ(wdc_fake::BoardAt(0)->detaches.load(), 1);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_RESOURCES_LEFT);
  EXPECT_STREQ(Stat2Str(WDC_STATUS_RESOURCES_LEFT),
               "resources left at close: an interrupt enabled");
}

TEST_F(WdcLedger, AsksEveryBoardEvenWhenNothingIsOpen) {
  wdc_fake::FakeBoard* board1 = wdc_fake::BoardAt(1);
  board1->findings = {"channel 4 stopped by bad programming"};
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_RESOURCES_LEFT);
  EXPECT_STREQ(Stat2Str(WDC_STATUS_RESOURCES_LEFT),
               "resources left at close: channel 4 stopped by bad programming");
}

TEST_F(WdcLedger, CleanRunClosesWithSuccess) {
  WdcDeviceHandle handle = OpenDevice({1, 0, 0});
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle, &host, DMA_OPT_TO_DEVICE, 100, &record), 0u);
  ASSERT_EQ(EnableInterrupt(handle), 0u);
  EXPECT_EQ(WDC_IntDisable(handle), 0u);
  EXPECT_EQ(WDC_DMABufUnlock(record), 0u);
  EXPECT_EQ(WDC_PciDeviceClose(handle), 0u);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_SUCCESS);
}

}  // namespace
