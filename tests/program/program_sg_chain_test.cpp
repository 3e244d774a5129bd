// Descriptor tables: their bytes, the channel registers, and the order of table, sync and start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "fake_wdc.h"
#include "device/diag_device.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

class SgChainTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::Fake& f = fake::F();

  // A scatter/gather record as the library would deliver it; the routine only reads it.
  WdcDmaRecord Record(std::vector<WdcDmaPage>& pages) {
    WdcDmaRecord r{};
    r.dwPages = static_cast<uint32_t>(pages.size());
    r.Page = pages.data();
    return r;
  }
  // The table as 32-bit words, read from the buffer the routine locked.
  std::vector<uint32_t> Table(const WdcDmaRecord* table) {
    fake::Buffer* b = f.Find(table);
    std::vector<uint32_t> words(b->size / 4);
    std::memcpy(words.data(), b->host, b->size);
    return words;
  }
  std::string TableBus(const WdcDmaRecord* table) {
    return fake::Hex(static_cast<uint32_t>(table->Page[0].pPhysicalAddr));
  }
};

TEST_F(SgChainTest, OnePageMemoryReadOnChannel4) {
  std::vector<WdcDmaPage> pages = {{0x12345000, 0x1000}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* table = nullptr;
  EXPECT_EQ(DIAG_ProgramSgChannel(&f.device, 4, &sg, 0, &table), 1);
  ASSERT_NE(table, nullptr);
  EXPECT_THAT(Table(table), ElementsAre(0x12345000u, 0xA0001000u));
  EXPECT_THAT(f.log, ElementsAre("WDC_DMAContigBufLock opt=0x40 size=8 -> #1",
                                 "W32 1:0x40=" + TableBus(table), "W32 1:0x48=0xa0000008",
                                 "WDC_DMASyncCpu #1", "W32 1:0x210=0x10"));
}

TEST_F(SgChainTest, OnePageMemoryWriteOnChannel5) {
  std::vector<WdcDmaPage> pages = {{0x22000010, 0xFF0}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* table = nullptr;
  EXPECT_EQ(DIAG_ProgramSgChannel(&f.device, 5, &sg, 1, &table), 1);
  EXPECT_THAT(Table(table), ElementsAre(0x22000010u, 0xE0000FF0u));
  // The channel reads its table whatever the data's direction: never CTRL_MEM_WRITE here.
  EXPECT_THAT(f.Writes(), ElementsAre("W32 1:0x50=" + TableBus(table), "W32 1:0x58=0xa0000008",
                                      "W32 1:0x210=0x20"));
}

TEST_F(SgChainTest, TwoPagesCarryFirstAndLast) {
  std::vector<WdcDmaPage> pages = {{0x30000800, 0x800}, {0x30002000, 0x123}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* table = nullptr;
  EXPECT_EQ(DIAG_ProgramSgChannel(&f.device, 5, &sg, 1, &table), 1);
  EXPECT_THAT(Table(table), ElementsAre(0x30000800u, 0xC0000800u, 0x30002000u, 0x20000123u));
  EXPECT_EQ(f.Writes()[1], "W32 1:0x58=0xa0000010");
}

TEST_F(SgChainTest, ManyPagesKeepOrderAndCarryNoFlagsInTheMiddle) {
  // Scattered, descending, with high bits above 4 GiB dropped to the low 32.
  std::vector<WdcDmaPage> pages = {
      {0x50008004, 0xFFC}, {0x50006000, 0x1000}, {0x150004000ull, 0x1000},
      {0x50002000, 0x1000}, {0x50000000, 0x10}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* table = nullptr;
  EXPECT_EQ(DIAG_ProgramSgChannel(&f.device, 4, &sg, 0, &table), 1);
  EXPECT_THAT(Table(table),
              ElementsAreArray({0x50008004u, 0x80000FFCu, 0x50006000u, 0x1000u, 0x50004000u,
                                0x1000u, 0x50002000u, 0x1000u, 0x50000000u, 0x20000010u}));
  EXPECT_EQ(f.log[0], "WDC_DMAContigBufLock opt=0x40 size=40 -> #1");
  EXPECT_EQ(f.Writes()[1], "W32 1:0x48=0xa0000028");
}

TEST_F(SgChainTest, AnyNonZeroMemoryWriteFlagActsAsOne) {
  std::vector<WdcDmaPage> pages = {{0x1000, 0x1000}, {0x3000, 0x1000}, {0x5000, 0x800}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* one = nullptr;
  WdcDmaRecord* two = nullptr;
  ASSERT_EQ(DIAG_ProgramSgChannel(&f.device, 5, &sg, 1, &one), 1);
  const std::vector<std::string> writesOne = f.Writes();
  f.log.clear();
  ASSERT_EQ(DIAG_ProgramSgChannel(&f.device, 5, &sg, 2, &two), 1);
  EXPECT_EQ(Table(one), Table(two));
  EXPECT_EQ(Table(two)[1], 0xC0001000u);
  EXPECT_EQ(f.Writes()[1], writesOne[1]);
  EXPECT_EQ(f.Writes()[2], writesOne[2]);
}

TEST_F(SgChainTest, TableIsCompleteBeforeAnyRegisterAndSyncedBeforeTheStart) {
  std::vector<WdcDmaPage> pages = {{0x1000, 0x1000}, {0x3000, 0x1000}, {0x5000, 0x800}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* table = nullptr;
  std::vector<std::vector<uint32_t>> seen;
  std::vector<int> syncsAtWrite;
  f.onWrite = [&](const fake::Access&) {
    fake::Buffer& b = f.buffers.back();
    std::vector<uint32_t> words(b.size / 4);
    std::memcpy(words.data(), b.host, b.size);
    seen.push_back(words);
    syncsAtWrite.push_back(b.syncCpu);
  };
  ASSERT_EQ(DIAG_ProgramSgChannel(&f.device, 4, &sg, 0, &table), 1);
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& words : seen) EXPECT_EQ(words, Table(table));
  EXPECT_THAT(syncsAtWrite, ElementsAre(0, 0, 1));  // synced once, just before DMA_START
}

TEST_F(SgChainTest, FailedTableLockLeavesTheOutParameterAndTheBoardAlone) {
  std::vector<WdcDmaPage> pages = {{0x1000, 0x1000}, {0x3000, 0x1000}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord sentinel{};
  WdcDmaRecord* table = &sentinel;
  f.Fail("WDC_DMAContigBufLock", 0x2000100E);
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_ProgramSgChannel(&f.device, 5, &sg, 1, &table); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(table, &sentinel);
  EXPECT_EQ(out, oracle::ContigLockFailure(fake::Stat(0x2000100E)));
  EXPECT_TRUE(f.Writes().empty());
  EXPECT_EQ(f.Calls("WDC_DMASyncCpu"), 0);
}

TEST_F(SgChainTest, TableAbove4GIsRefusedAndTheBoardLeftAlone) {
  std::vector<WdcDmaPage> pages = {{0x1000, 0x1000}};
  WdcDmaRecord sg = Record(pages);
  WdcDmaRecord* table = nullptr;
  f.contigSpecs.push_back({{{0x100000000ull, 8}}, false});
  int result = -1;
  const std::string out =
      fake::Capture([&] { result = DIAG_ProgramSgChannel(&f.device, 4, &sg, 0, &table); });
  EXPECT_EQ(result, 0);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(out, oracle::ContigLockFailure(fake::Stat(0x20000020)));
  EXPECT_TRUE(f.Writes().empty());
  EXPECT_THAT(f.unlocked, ElementsAre(1));
}

}  // namespace
