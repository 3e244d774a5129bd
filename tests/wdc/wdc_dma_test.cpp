// DMA buffer locks, their records, the hand-overs and the unlock.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "wdc_test_util.h"

namespace {

using wdc_test::LibraryTest;

class WdcDma : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    handle_ = OpenDevice();
    ASSERT_NE(handle_, nullptr);
    board_ = wdc_fake::BoardAt(0);
  }
  void TearDown() override {
    EXPECT_EQ(WDC_PciDeviceClose(handle_), WDC_STATUS_SUCCESS);
    LibraryTest::TearDown();
    EXPECT_EQ(wdc_fake::LiveMappings(), 0);
  }
  WdcDeviceHandle handle_ = nullptr;
  wdc_fake::FakeBoard* board_ = nullptr;
};

TEST_F(WdcDma, ContigLockChecksItsArgumentsBeforeMapping) {
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  EXPECT_EQ(WDC_DMAContigBufLock(handle_, nullptr, DMA_OPT_TO_DEVICE, 64, &record),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_DMAContigBufLock(handle_, &host, DMA_OPT_TO_DEVICE, 64, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_DMAContigBufLock(handle_, &host, DMA_OPT_TO_DEVICE, 0, &record),
            WDC_STATUS_INVALID_PARAMETER);
  for (uint32_t options : {0u, DMA_OPT_TO_DEVICE | DMA_OPT_FROM_DEVICE, DMA_OPT_TO_DEVICE | 1u,
                           DMA_OPT_FROM_DEVICE | 0x100u, 0x10u})
    EXPECT_EQ(WDC_DMAContigBufLock(handle_, &host, options, 64, &record),
              WDC_STATUS_INVALID_PARAMETER)
        << options;
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(board_->live_mappings.load(), 0);
}

TEST_F(WdcDma, ContigLockDescribesTheWholeBufferAsOnePage) {
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle_, &host, DMA_OPT_FROM_DEVICE, 0x4000, &record),
            WDC_STATUS_SUCCESS);
  ASSERT_NE(record, nullptr);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(board_->last_dir, wdc::DmaDir::kFromDevice);
  EXPECT_EQ(record->pUserAddr, host);
  EXPECT_EQ(record->dwBytes, 0x4000u);
  EXPECT_EQ(record->dwOptions, DMA_OPT_FROM_DEVICE);
  ASSERT_EQ(record->dwPages, 1u);
  EXPECT_EQ(record->Page[0].dwBytes, 0x4000u);
  EXPECT_NE(record->Page[0].pPhysicalAddr, 0u);
  std::vector<uint8_t> zeros(0x4000, 0);
  EXPECT_EQ(std::memcmp(host, zeros.data(), zeros.size()), 0);
  std::memset(host, 0x5A, 0x4000);  // the caller owns every byte
  EXPECT_EQ(board_->live_mappings.load(), 1);
  EXPECT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_SUCCESS);
  EXPECT_EQ(board_->live_mappings.load(), 0);
}

TEST_F(WdcDma, SgLockListsTheCallersPagesInOrder) {
  std::vector<uint8_t> buffer(5 * 4096);
  uint8_t* start = buffer.data() + 1000;
  const uint32_t size = 3 * 4096 + 10;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMASGBufLock(handle_, start, DMA_OPT_TO_DEVICE, size, &record),
            WDC_STATUS_SUCCESS);
  EXPECT_EQ(board_->last_dir, wdc::DmaDir::kToDevice);
  EXPECT_EQ(record->pUserAddr, start);
  EXPECT_EQ(record->dwBytes, size);
  EXPECT_EQ(record->dwOptions, DMA_OPT_TO_DEVICE);
  ASSERT_GE(record->dwPages, 4u);
  uint64_t total = 0;
  for (uint32_t i = 0; i < record->dwPages; ++i) total += record->Page[i].dwBytes;
  EXPECT_EQ(total, size);
  EXPECT_EQ(record->Page[0].dwBytes, 4096u - (reinterpret_cast<uintptr_t>(start) & 0xFFF));
  EXPECT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_SUCCESS);

  EXPECT_EQ(WDC_DMASGBufLock(handle_, nullptr, DMA_OPT_TO_DEVICE, size, &record),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_DMASGBufLock(handle_, start, DMA_OPT_TO_DEVICE, size, nullptr),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_DMASGBufLock(handle_, start, DMA_OPT_TO_DEVICE, 0, &record),
            WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(WDC_DMASGBufLock(handle_, start, 0x60, size, &record), WDC_STATUS_INVALID_PARAMETER);
}

TEST_F(WdcDma, BoardRefusalIsPassedOnWithoutARecord) {
  board_->dma_status = WDC_STATUS_NO_MEMORY;
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  uint8_t buffer[64];
  EXPECT_EQ(WDC_DMAContigBufLock(handle_, &host, DMA_OPT_TO_DEVICE, 64, &record),
            WDC_STATUS_NO_MEMORY);
  EXPECT_EQ(WDC_DMASGBufLock(handle_, buffer, DMA_OPT_TO_DEVICE, 64, &record),
            WDC_STATUS_NO_MEMORY);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(record, nullptr);
}

TEST_F(WdcDma, SyncsReachTheBoardInTheirDirection) {
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle_, &host, DMA_OPT_FROM_DEVICE, 64, &record), 0u);
  EXPECT_EQ(WDC_DMASyncCpu(record), WDC_STATUS_SUCCESS);
  EXPECT_EQ(board_->syncs_for_device.load(), 1);
  EXPECT_EQ(board_->syncs_for_cpu.load(), 0);
  EXPECT_EQ(WDC_DMASyncIo(record), WDC_STATUS_SUCCESS);
  EXPECT_EQ(WDC_DMASyncIo(record), WDC_STATUS_SUCCESS);
  EXPECT_EQ(board_->syncs_for_cpu.load(), 2);
  EXPECT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_SUCCESS);
}

TEST_F(WdcDma, NullUnlockedAndForeignRecordsAreRefused) {
  void* host = nullptr;
  WdcDmaRecord* record = nullptr;
  ASSERT_EQ(WDC_DMAContigBufLock(handle_, &host, DMA_OPT_TO_DEVICE, 64, &record), 0u);
  WdcDmaRecord copy = *record;
  WdcDmaRecord* unlocked = record;
  ASSERT_EQ(WDC_DMABufUnlock(record), WDC_STATUS_SUCCESS);
  WdcDmaRecord* refused[] = {nullptr, unlocked, &copy,
                             reinterpret_cast<WdcDmaRecord*>(uintptr_t{0xDEADBEEF})};
  for (WdcDmaRecord* bad : refused) {
    EXPECT_EQ(WDC_DMABufUnlock(bad), WDC_STATUS_INVALID_DMA_RECORD);
    EXPECT_EQ(WDC_DMASyncCpu(bad), WDC_STATUS_INVALID_DMA_RECORD);
    EXPECT_EQ(WDC_DMASyncIo(bad), WDC_STATUS_INVALID_DMA_RECORD);
  }
  EXPECT_EQ(board_->syncs_for_device.load() + board_->syncs_for_cpu.load(), 0);
  EXPECT_EQ(board_->live_mappings.load(), 0);
}

TEST_F(WdcDma, RecordsAreIndependent) {
  WdcDmaRecord* records[3] = {};
  void* hosts[3] = {};
  for (uint32_t i = 0; i < 3; ++i)
    ASSERT_EQ(WDC_DMAContigBufLock(handle_, &hosts[i], DMA_OPT_TO_DEVICE, 128 * (i + 1),
                                   &records[i]),
              0u);
  EXPECT_NE(records[0], records[1]);
  EXPECT_NE(hosts[1], hosts[2]);
  ASSERT_EQ(WDC_DMABufUnlock(records[1]), 0u);
  EXPECT_EQ(WDC_DMASyncCpu(records[0]), 0u);
  EXPECT_EQ(WDC_DMASyncCpu(records[2]), 0u);
  EXPECT_EQ(records[2]->dwBytes, 384u);
  EXPECT_EQ(board_->live_mappings.load(), 2);
  EXPECT_EQ(WDC_DMABufUnlock(records[0]), 0u);
  EXPECT_EQ(WDC_DMABufUnlock(records[2]), 0u);
}

}  // namespace
