// Scanning, resources, device records and handles, and the register accesses.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "wdc_test_util.h"
#include "regs/regs.h"

namespace {

using wdc_fake::BoardSpec;
using wdc_test::LibraryTest;

BoardSpec BoardAtBus(uint32_t bus, uint32_t device_id = BOARD_DEVICE_ID) {
  BoardSpec desc;
  desc.id.bus = bus;
  desc.id.device_id = device_id;
  desc.id.irq = 20 + bus;
  return desc;
}

// ---- Scan ------------------------------------------------------------------------------------

class WdcScan : public LibraryTest {
  void Configure(wdc_fake::Config& config) override {
    // Out of bus order, with one board of another kind among them.
    config.boards = {BoardAtBus(5), BoardAtBus(2), BoardAtBus(1, 0x7777), BoardAtBus(9)};
    config.boards[3].id.slot = 3;
    config.boards[3].id.function = 1;
  }
};

TEST_F(WdcScan, ListsMatchingBoardsInBusOrder) {
  WdcPciScanResult scan;
  std::memset(&scan, 0xAB, sizeof(scan));
  ASSERT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan), WDC_STATUS_SUCCESS);
  ASSERT_EQ(scan.dwNumDevices, 3u);
  const uint32_t buses[] = {2, 5, 9};
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(scan.deviceId[i].dwVendorId, BOARD_VENDOR_ID);
    EXPECT_EQ(scan.deviceId[i].dwDeviceId, BOARD_DEVICE_ID);
    EXPECT_EQ(scan.deviceSlot[i].dwBus, buses[i]);
  }
  EXPECT_EQ(scan.deviceSlot[2].dwSlot, 3u);
  EXPECT_EQ(scan.deviceSlot[2].dwFunction, 1u);
  EXPECT_EQ(scan.deviceSlot[3].dwBus, 0u) << "entries past the count are cleared";
  EXPECT_EQ(scan.deviceId[99].dwVendorId, 0u);
}

TEST_F(WdcScan, MatchesBothIdsExactlyWithNoWildcard) {
  WdcPciScanResult scan{};
  ASSERT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, 0x7777, &scan), WDC_STATUS_SUCCESS);
  ASSERT_EQ(scan.dwNumDevices, 1u);
  EXPECT_EQ(scan.deviceSlot[0].dwBus, 1u);
  for (auto ids : {std::make_pair(0u, 0u), std::make_pair(BOARD_VENDOR_ID + 0u, 0u),
                   std::make_pair(0u, BOARD_DEVICE_ID + 0u)}) {
    ASSERT_EQ(WDC_PciScanDevices(ids.first, ids.second, &scan), WDC_STATUS_SUCCESS);
    EXPECT_EQ(scan.dwNumDevices, 0u) << ids.first << ":" << ids.second;
  }
  EXPECT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
}

class WdcScanMany : public LibraryTest {
  void Configure(wdc_fake::Config& config) override {
    config.boards.clear();
    for (uint32_t bus = 110; bus > 0; --bus) config.boards.push_back(BoardAtBus(bus));
  }
};

TEST_F(WdcScanMany, KeepsTheFirstHundred) {
  auto scan = std::make_unique<WdcPciScanResult>();
  ASSERT_EQ(WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, scan.get()), 0u);
  ASSERT_EQ(scan->dwNumDevices, WDC_PCI_SCAN_MAX);
  EXPECT_EQ(scan->deviceSlot[0].dwBus, 1u);
  EXPECT_EQ(scan->deviceSlot[99].dwBus, 100u);
}

// ---- Device information and open ---------------------------------------------------------------

class WdcDeviceOpen : public LibraryTest {
  void Configure(wdc_fake::Config& config) override {
    config.boards = {BoardAtBus(1), BoardAtBus(2)};
    // Board 2 has BAR0 and BAR2 only: the spaces need not be consecutive.
    config.boards[1].bar_bytes[1] = 0;
    config.boards[1].bar_bytes[2] = 0x20000;
  }
};

TEST_F(WdcDeviceOpen, InfoListsEachPresentBarAndTheInterrupt) {
  WdcPciDeviceInfo info{};
  info.pciSlot = {2, 0, 0};
  ASSERT_EQ(WDC_PciGetDeviceInfo(&info), WDC_STATUS_SUCCESS);
  ASSERT_EQ(info.dwNumItems, 3u);
  wdc_fake::FakeBoard* board = wdc_fake::BoardAt(1);
  EXPECT_EQ(info.item[0].dwKind, WDC_ITEM_MEMORY);
  EXPECT_EQ(info.item[0].dwBar, 0u);
  EXPECT_EQ(info.item[0].qwPhysAddr, board->Bar(0).phys_addr);
  EXPECT_EQ(info.item[0].qwBytes, BAR0_BYTES);
  EXPECT_EQ(info.item[1].dwKind, WDC_ITEM_MEMORY);
  EXPECT_EQ(info.item[1].dwBar, 2u);
  EXPECT_EQ(info.item[1].qwPhysAddr, board->Bar(2).phys_addr);
  EXPECT_EQ(info.item[1].qwBytes, 0x20000u);
  EXPECT_EQ(info.item[2].dwKind, WDC_ITEM_INTERRUPT);
  EXPECT_EQ(info.item[2].dwIrq, 22u);
}

TEST_F(WdcDeviceOpen, InfoRefusesWhatIsNotABoard) {
  EXPECT_EQ(WDC_PciGetDeviceInfo(nullptr), WDC_STATUS_INVALID_PARAMETER);
  WdcPciDeviceInfo info{};
  info.pciSlot = {3, 0, 0};
  EXPECT_EQ(WDC_PciGetDeviceInfo(&info), WDC_STATUS_NO_SUCH_DEVICE);
  info.pciSlot = {1, 0, 1};
  EXPECT_EQ(WDC_PciGetDeviceInfo(&info), WDC_STATUS_NO_SUCH_DEVICE);
}

TEST_F(WdcDeviceOpen, ChecksItsArguments) {
  WdcPciDeviceInfo info{};
  info.pciSlot = {1, 0, 0};
  WdcDeviceHandle handle = nullptr;
  int dummy = 0;
  EXPECT_EQ(WDC_PciDeviceOpen(nullptr, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, nullptr, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, &dummy, nullptr, nullptr, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, &dummy, nullptr, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, "kp", nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, nullptr, &dummy),
            WDC_STATUS_INVALID_PARAMETER);
  info.pciSlot = {7, 0, 0};
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(handle, nullptr);
}

TEST_F(WdcDeviceOpen, OneHandlePerBoardAtATime) {
  WdcDeviceHandle first = OpenDevice({1, 0, 0});
  WdcPciDeviceInfo info{};
  info.pciSlot = {1, 0, 0};
  WdcDeviceHandle second = nullptr;
  EXPECT_EQ(WDC_PciDeviceOpen(&second, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_DEVICE_BUSY);
  WdcDeviceHandle other = OpenDevice({2, 0, 0});
  EXPECT_NE(other, first);
  EXPECT_EQ(WDC_PciDeviceClose(first), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceOpen(&second, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(second), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(other), WDC_STATUS_SUCCESS);
}

TEST_F(WdcDeviceOpen, ClaimsTheBoardAtOpenAndGivesItUpAtClose) {
  wdc_fake::FakeBoard* board = wdc_fake::BoardAt(0);
  // A refused claim is the open's failure, with no handle made.
  board->open_status = WDC_STATUS_NOT_BOUND;
  WdcPciDeviceInfo info{};
  info.pciSlot = {1, 0, 0};
  WdcDeviceHandle handle = nullptr;
  EXPECT_EQ(WDC_PciDeviceOpen(&handle, &info, nullptr, nullptr, nullptr, nullptr),
            WDC_STATUS_NOT_BOUND);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(board->closes.load(), 0);
  board->open_status = WDC_STATUS_SUCCESS;

  handle = OpenDevice({1, 0, 0});
  EXPECT_EQ(board->constraints.bus_limit, uint64_t{1} << 32);
  EXPECT_GE(board->constraints.page_bytes, 4096u);
  // A buffer left locked at the device's close goes with the board's own close, which
  // removes its mapping: it is not unmapped again, and the ledger counts it.
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle, &host, DMA_OPT_TO_DEVICE, 4096, &record),
            WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(handle), WDC_STATUS_SUCCESS);
  EXPECT_EQ(board->closes.load(), 1);
  EXPECT_EQ(wdc_fake::LiveMappings(), 0);
  EXPECT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_INVALID_DMA_RECORD);
  EXPECT_EQ(WDC_DriverClose(), WDC_STATUS_RESOURCES_LEFT);
  EXPECT_STREQ(Stat2Str(WDC_STATUS_RESOURCES_LEFT), "resources left at close: 1 DMA buffer locked");
}

TEST_F(WdcDeviceOpen, RecordGivesEachBarItsOwnKernelWindow) {
  WdcDeviceHandle a = OpenDevice({1, 0, 0});
  WdcDeviceHandle b = OpenDevice({2, 0, 0});
  EXPECT_EQ(a->slot.dwBus, 1u);
  EXPECT_EQ(a->hKernelPlugIn, 0u);
  EXPECT_EQ(a->dwNumAddrSpaces, 2u);
  EXPECT_EQ(a->addrSpace[AD_BAR0].qwBytes, BAR0_BYTES);
  EXPECT_EQ(a->addrSpace[AD_BAR1].qwBytes, BAR1_BYTES);
  EXPECT_EQ(b->dwNumAddrSpaces, 3u);
  EXPECT_EQ(b->addrSpace[1].qwBytes, 0u);
  EXPECT_EQ(b->addrSpace[1].dwKernelAddr, 0u);
  // Every present space has a non-zero base, and no two windows overlap.
  std::vector<std::pair<uint64_t, uint64_t>> windows;
  for (WdcDeviceHandle h : {a, b})
    for (uint32_t i = 0; i < WDC_MAX_ADDR_SPACES; ++i)
      if (h->addrSpace[i].qwBytes) {
        EXPECT_NE(h->addrSpace[i].dwKernelAddr, 0u);
        windows.push_back({h->addrSpace[i].dwKernelAddr,
                           h->addrSpace[i].dwKernelAddr + h->addrSpace[i].qwBytes});
      }
  for (size_t i = 0; i < windows.size(); ++i)
    for (size_t j = i + 1; j < windows.size(); ++j)
      EXPECT_TRUE(windows[i].second <= windows[j].first || windows[j].second <= windows[i].first)
          << i << " overlaps " << j;
  EXPECT_EQ(WDC_PciDeviceClose(a), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(b), WDC_STATUS_SUCCESS);
}

// ---- Handles -----------------------------------------------------------------------------------

void NeverCalled(void*) { ADD_FAILURE() << "handler called"; }

// Every operation that takes a handle refuses this one as invalid.
void ExpectRefused(WdcDeviceHandle handle) {
  uint8_t b = 0;
  uint16_t h = 0;
  uint32_t w = 0;
  uint64_t q = 0;
  EXPECT_EQ(WDC_ReadAddr8(handle, 0, 0, &b), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_ReadAddr16(handle, 0, 0, &h), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_ReadAddr32(handle, 0, 0, &w), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_ReadAddr64(handle, 0, 0, &q), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_WriteAddr8(handle, 0, 0, 1), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_WriteAddr16(handle, 0, 0, 1), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_WriteAddr32(handle, 0, 0, 1), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_WriteAddr64(handle, 0, 0, 1), WDC_STATUS_INVALID_HANDLE);
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  static uint8_t buffer[64];
  EXPECT_EQ(WDC_DMAContigBufLock(handle, &host, DMA_OPT_TO_DEVICE, 64, &record),
            WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_DMASGBufLock(handle, buffer, DMA_OPT_TO_DEVICE, 64, &record),
            WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(record, nullptr);
  WdcTransferCmd cmd{};
  cmd.cmdTrans = WDC_TRANS_MASK;
  EXPECT_EQ(WDC_IntEnable(handle, &cmd, 1, 0, NeverCalled, nullptr, 0),
            WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_IntIsEnabled(handle), 0);
  EXPECT_EQ(WDC_IntDisable(handle), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_PciDeviceClose(handle), WDC_STATUS_INVALID_HANDLE);
}

class WdcHandles : public LibraryTest {};

TEST_F(WdcHandles, NullStaleAndForeignHandlesAreRefused) {
  ExpectRefused(nullptr);

  WdcDeviceHandle handle = OpenDevice();
  ASSERT_NE(handle, nullptr);
  ASSERT_EQ(WDC_PciDeviceClose(handle), WDC_STATUS_SUCCESS);
  ExpectRefused(handle);

  // A record that looks right but is the caller's own, a freed one, pointers into a live
  // record and plain garbage.
  WdcDeviceHandle live = OpenDevice();
  WdcDevice copy = *live;
  ExpectRefused(&copy);
  auto heap = std::make_unique<WdcDevice>(*live);
  volatile uintptr_t freed = reinterpret_cast<uintptr_t>(heap.get());  // only the value is used
  heap.reset();
  ExpectRefused(reinterpret_cast<WdcDeviceHandle>(freed));
  ExpectRefused(reinterpret_cast<WdcDeviceHandle>(reinterpret_cast<char*>(live) + 4));
  ExpectRefused(reinterpret_cast<WdcDeviceHandle>(reinterpret_cast<char*>(live) - 4));
  ExpectRefused(live + 1);
  for (uintptr_t garbage : {uintptr_t{1}, uintptr_t{0xDEADBEEF}, ~uintptr_t{0}, ~uintptr_t{7}})
    ExpectRefused(reinterpret_cast<WdcDeviceHandle>(garbage));

  // The live handle still works after all that.
  EXPECT_EQ(WDC_WriteAddr32(live, AD_BAR0, 8, 5), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(live), WDC_STATUS_SUCCESS);
}

TEST_F(WdcHandles, ReopeningTheBoardDoesNotReviveTheOldHandle) {
  WdcDeviceHandle old_handle = OpenDevice();
  ASSERT_EQ(WDC_PciDeviceClose(old_handle), WDC_STATUS_SUCCESS);
  WdcDeviceHandle new_handle = OpenDevice();
  EXPECT_NE(new_handle, old_handle);
  uint32_t word = 0;
  EXPECT_EQ(WDC_ReadAddr32(old_handle, AD_BAR0, 0, &word), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_ReadAddr32(new_handle, AD_BAR0, 0, &word), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_PciDeviceClose(new_handle), WDC_STATUS_SUCCESS);
}

// ---- Register and memory accesses --------------------------------------------------------------

class WdcAccess : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    handle_ = OpenDevice();
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(WDC_PciDeviceClose(handle_), WDC_STATUS_SUCCESS);
    LibraryTest::TearDown();
  }
  WdcDeviceHandle handle_ = nullptr;
};

TEST_F(WdcAccess, EachWidthReachesTheBoardAtItsOffset) {
  ASSERT_EQ(WDC_WriteAddr64(handle_, AD_BAR0, 0x100, 0x0807060504030201ull), 0u);
  ASSERT_EQ(WDC_WriteAddr8(handle_, AD_BAR0, 0x101, 0xAA), 0u);
  ASSERT_EQ(WDC_WriteAddr16(handle_, AD_BAR0, 0x104, 0xBBCC), 0u);
  ASSERT_EQ(WDC_WriteAddr32(handle_, AD_BAR1, INT_CTRL, 0x11223344), 0u);
  uint8_t b = 0;
  uint16_t h = 0;
  uint32_t w = 0;
  uint64_t q = 0;
  EXPECT_EQ(WDC_ReadAddr64(handle_, AD_BAR0, 0x100, &q), 0u);
  EXPECT_EQ(q, 0x0807BBCC0403AA01ull);
  EXPECT_EQ(WDC_ReadAddr8(handle_, AD_BAR0, 0x107, &b), 0u);
  EXPECT_EQ(b, 0x08);
  EXPECT_EQ(WDC_ReadAddr16(handle_, AD_BAR0, 0x102, &h), 0u);
  EXPECT_EQ(h, 0x0403);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, 0x104, &w), 0u);
  EXPECT_EQ(w, 0x0807BBCCu);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR1, INT_CTRL, &w), 0u);
  EXPECT_EQ(w, 0x11223344u);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, INT_CTRL, &w), 0u);
  EXPECT_EQ(w, 0u) << "the two address spaces are separate";
}

TEST_F(WdcAccess, RefusesAbsentAddressSpaces) {
  uint32_t w = 7;
  for (uint32_t space : {2u, 5u, 6u, 0xFFFFFFFFu}) {
    EXPECT_EQ(WDC_ReadAddr32(handle_, space, 0, &w), WDC_STATUS_BAD_ADDR_SPACE) << space;
    EXPECT_EQ(WDC_WriteAddr8(handle_, space, 0, 1), WDC_STATUS_BAD_ADDR_SPACE) << space;
  }
  EXPECT_EQ(w, 7u);
  // The handle is looked at before the space, and the space before the out-pointer.
  EXPECT_EQ(WDC_ReadAddr32(nullptr, 9, 0, nullptr), WDC_STATUS_INVALID_HANDLE);
  EXPECT_EQ(WDC_ReadAddr32(handle_, 9, 0, nullptr), WDC_STATUS_BAD_ADDR_SPACE);
}

TEST_F(WdcAccess, RefusesNullOutPointers) {
  EXPECT_EQ(WDC_ReadAddr8(handle_, AD_BAR0, 0, nullptr), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_ReadAddr16(handle_, AD_BAR0, 0, nullptr), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, 0, nullptr), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_ReadAddr64(handle_, AD_BAR0, 0, nullptr), WDC_STATUS_INVALID_PARAMETER);
}

TEST_F(WdcAccess, PassesOnTheBoardsRefusalAndLeavesTheValue) {
  uint32_t w = 0x5A5A5A5A;
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, 2, &w), WDC_STATUS_MISALIGNED);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, BAR0_BYTES, &w), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, ~uint64_t{3}, &w), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(w, 0x5A5A5A5Au);
  EXPECT_EQ(WDC_WriteAddr64(handle_, AD_BAR0, 4, 1), WDC_STATUS_MISALIGNED);
  EXPECT_EQ(WDC_WriteAddr16(handle_, AD_BAR1, BAR1_BYTES, 1), WDC_STATUS_OUT_OF_RANGE);
}

// A BAR whose length is not a whole number of words: the accesses that end inside it reach
// it, and none that starts inside but ends past it touches a byte.
class WdcOddBar : public WdcAccess {
 protected:
  void Configure(wdc_fake::Config& config) override { config.boards[0].bar_bytes[0] = 13; }
};

TEST_F(WdcOddBar, AccessesEndingPastItsLengthAreRefused) {
  ASSERT_EQ(WDC_WriteAddr32(handle_, AD_BAR0, 8, 0x44332211u), WDC_STATUS_SUCCESS);
  ASSERT_EQ(WDC_WriteAddr8(handle_, AD_BAR0, 12, 0x55), WDC_STATUS_SUCCESS);
  uint64_t q = 7;
  uint32_t w = 7;
  uint16_t h = 7;
  EXPECT_EQ(WDC_ReadAddr64(handle_, AD_BAR0, 8, &q), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, 12, &w), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(WDC_ReadAddr16(handle_, AD_BAR0, 12, &h), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(WDC_WriteAddr64(handle_, AD_BAR0, 8, ~uint64_t{0}), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(WDC_WriteAddr32(handle_, AD_BAR0, 12, ~0u), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(q, 7u);
  EXPECT_EQ(h, 7u);
  EXPECT_EQ(WDC_ReadAddr32(handle_, AD_BAR0, 8, &w), WDC_STATUS_SUCCESS);
  EXPECT_EQ(w, 0x44332211u);
  uint8_t b = 0;
  EXPECT_EQ(WDC_ReadAddr8(handle_, AD_BAR0, 12, &b), WDC_STATUS_SUCCESS);
  EXPECT_EQ(b, 0x55) << "the refused writes left the last byte alone";
}

}  // namespace
