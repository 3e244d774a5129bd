// Host accesses to the board: identity, BAR0 memory at every width, refused accesses, stuck
// bits, and the register block's decoding.
#include <gtest/gtest.h>

#include <set>

#include "board_support.h"

namespace {

using board_test::BoardTest;

class BoardPci : public BoardTest {};

TEST_F(BoardPci, BoardsSitAtDistinctLocationsWithTwoBars) {
  Make("boards=3");
  std::set<uint32_t> buses;
  for (size_t i = 0; i < 3; ++i) {
    wdc::Board* b = backend_->BoardAt(i);
    const wdc::BoardIdentity id = b->Identity();
    EXPECT_EQ(id.vendor_id, 0x10EEu);
    EXPECT_EQ(id.device_id, 0x5050u);
    buses.insert(id.bus * 256 + id.slot * 8 + id.function);
    EXPECT_EQ(b->Bar(AD_BAR0).bytes, 4096u);
    EXPECT_EQ(b->Bar(AD_BAR1).bytes, 4096u);
    EXPECT_NE(b->Bar(AD_BAR0).phys_addr, b->Bar(AD_BAR1).phys_addr);
    for (uint32_t bar = 2; bar < WDC_MAX_ADDR_SPACES; ++bar) EXPECT_EQ(b->Bar(bar).bytes, 0u);
  }
  EXPECT_EQ(buses.size(), 3u);
}

class BoardBar0 : public BoardTest {};

TEST_F(BoardBar0, WidthsAreLittleEndianViewsOfOneMemory) {
  Make("");
  ASSERT_EQ(b_->Write(AD_BAR0, 0x100, 8, 0x0807060504030201ull), 0u);
  uint64_t v;
  ASSERT_EQ(b_->Read(AD_BAR0, 0x100, 1, &v), 0u);
  EXPECT_EQ(v, 0x01u);
  ASSERT_EQ(b_->Read(AD_BAR0, 0x102, 2, &v), 0u);
  EXPECT_EQ(v, 0x0403u);
  ASSERT_EQ(b_->Read(AD_BAR0, 0x104, 4, &v), 0u);
  EXPECT_EQ(v, 0x08070605u);
  ASSERT_EQ(b_->Write(AD_BAR0, 0x103, 1, 0xAA), 0u);
  ASSERT_EQ(b_->Write(AD_BAR0, 0x106, 2, 0xBBCC), 0u);
  ASSERT_EQ(b_->Read(AD_BAR0, 0x100, 8, &v), 0u);
  EXPECT_EQ(v, 0xBBCC0605AA030201ull);
  // The last word of the window is reachable at every width.
  ASSERT_EQ(b_->Write(AD_BAR0, 0xFF8, 8, 0x1122334455667788ull), 0u);
  ASSERT_EQ(b_->Read(AD_BAR0, 0xFFF, 1, &v), 0u);
  EXPECT_EQ(v, 0x11u);
}

TEST_F(BoardBar0, RefusedAccessesTouchNothing) {
  Make("");
  for (uint32_t off = 0; off < 4096; off += 8) ASSERT_EQ(b_->Write(AD_BAR0, off, 8, 0x5A5A5A5A5A5A5A5Aull), 0u);
  struct Bad {
    uint64_t offset;
    uint32_t width;
    WdcStatus status;
  } bad[] = {{1, 2, WDC_STATUS_MISALIGNED},    {2, 4, WDC_STATUS_MISALIGNED},
             {4, 8, WDC_STATUS_MISALIGNED},    {0xFF9, 8, WDC_STATUS_OUT_OF_RANGE},
             {4096, 1, WDC_STATUS_OUT_OF_RANGE}, {4095, 2, WDC_STATUS_OUT_OF_RANGE},
             {4094, 4, WDC_STATUS_OUT_OF_RANGE}, {~0ull, 1, WDC_STATUS_OUT_OF_RANGE},
             {~0ull - 3, 4, WDC_STATUS_OUT_OF_RANGE}};
  for (const Bad& x : bad) {
    EXPECT_EQ(b_->Write(AD_BAR0, x.offset, x.width, 0), x.status) << x.offset << "/" << x.width;
    uint64_t v = 0x77;
    EXPECT_EQ(b_->Read(AD_BAR0, x.offset, x.width, &v), x.status);
    EXPECT_EQ(v, 0x77u) << "a refused read leaves the caller's value";
  }
  EXPECT_EQ(b_->Write(AD_BAR0, 0, 3, 0), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b_->Write(2, 0, 4, 0), WDC_STATUS_BAD_ADDR_SPACE);
  EXPECT_EQ(b_->Read(AD_BAR0, 0, 4, nullptr), WDC_STATUS_INVALID_PARAMETER);
  for (uint32_t off = 0; off < 4096; ++off) ASSERT_EQ(Bar0Byte(off), 0x5A) << off;
}

TEST_F(BoardBar0, StuckBitsHoldTheirLevelAtEveryWidth) {
  Make("bar0-stuck=0x21:3:1,bar0-stuck=0x42:0:0");
  for (uint32_t width : {1u, 2u, 4u, 8u}) {
    const uint32_t up = 0x21 & ~(width - 1), down = 0x42 & ~(width - 1);
    ASSERT_EQ(b_->Write(AD_BAR0, up, width, 0), 0u);
    ASSERT_EQ(b_->Write(AD_BAR0, down, width, ~0ull), 0u);
    uint64_t v;
    ASSERT_EQ(b_->Read(AD_BAR0, up, width, &v), 0u);
    const uint64_t expect_up = uint64_t{0x08} << (8 * (0x21 - up));
    EXPECT_EQ(v, expect_up) << "width " << width;
    ASSERT_EQ(b_->Read(AD_BAR0, down, width, &v), 0u);
    const uint64_t all = width == 8 ? ~0ull : (uint64_t{1} << (8 * width)) - 1;
    EXPECT_EQ(v, all & ~(uint64_t{1} << (8 * (0x42 - down)))) << "width " << width;
  }
  // The byte-wide case of 0x21 itself, and a fresh board starts with the stuck level.
  ASSERT_EQ(b_->Write(AD_BAR0, 0x21, 1, 0), 0u);
  EXPECT_EQ(Bar0Byte(0x21), 0x08);
}

class BoardRegisters : public BoardTest {};

TEST_F(BoardRegisters, ChannelRegistersHoldWhatIsWritten) {
  Make("");
  for (uint32_t ch = 0; ch < DMA_CHANNELS; ++ch) {
    W32(DMA_CH_ADDR(ch), 0x1000u * (ch + 1));
    W32(DMA_CH_CTRL(ch), 0x100u + ch);  // no start: nothing runs
  }
  for (uint32_t ch = 0; ch < DMA_CHANNELS; ++ch) {
    EXPECT_EQ(R32(DMA_CH_ADDR(ch)), 0x1000u * (ch + 1));
    EXPECT_EQ(R32(DMA_CH_CTRL(ch)), 0x100u + ch);
  }
  W32(DMA_WORD_COUNT, 512);
  EXPECT_EQ(R32(DMA_WORD_COUNT), 512u);
}

TEST_F(BoardRegisters, UnknownOffsetsReadZeroAndIgnoreWrites) {
  Make("");
  for (uint32_t off : {0x060u, 0x200u, 0x21Cu, 0x22Cu, 0x234u, 0xFFCu}) {
    W32(off, 0xDEADBEEF);
    EXPECT_EQ(R32(off), 0u) << std::hex << off;
  }
  uint64_t v;
  EXPECT_EQ(b_->Read(AD_BAR1, 0x20A, 4, &v), WDC_STATUS_MISALIGNED);
  EXPECT_EQ(b_->Write(AD_BAR1, 0x1000, 4, 0), WDC_STATUS_OUT_OF_RANGE);
}

TEST_F(BoardRegisters, ReadCfgIsSixteenBits) {
  Make("");
  ASSERT_EQ(b_->Write(AD_BAR1, READ_CFG, 2, READ_CFG_BULK), 0u);
  uint64_t v;
  ASSERT_EQ(b_->Read(AD_BAR1, READ_CFG, 2, &v), 0u);
  EXPECT_EQ(v, 3000u);
  W32(READ_CFG, 0xFFFF1234);
  EXPECT_EQ(R32(READ_CFG), 0x1234u) << "the upper half is not a register";
}

TEST_F(BoardRegisters, CountersAndStartAreNotStorage) {
  Make("");
  W32(PERF_COUNT1, 0x1234);
  EXPECT_EQ(R32(PERF_COUNT1), 0u);
  W32(DMA_START, 0);
  EXPECT_EQ(R32(DMA_START), 0u);
  EXPECT_EQ(R32(DMA_RUN_CTRL), 0u);
  W32(INT_CTRL, INT_ENABLE);
  EXPECT_EQ(R32(INT_CTRL), 0u) << "INT_CTRL reads the status, not the enable";
}

}  // namespace
