// Channel 0 and the bus map: exact bytes both ways, the word-count protocol, the fault
// settings of channel 0, blocked accesses with canaries, and the bus addresses handed out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "board.h"
#include "board_support.h"

namespace {

using board_test::BoardTest;

constexpr uint32_t kMemWrite = CTRL_FIRST | CTRL_MEM_WRITE | CTRL_LAST;
constexpr uint32_t kMemRead = CTRL_FIRST | CTRL_LAST;

class BoardChannel0 : public BoardTest {
 protected:
  void SetUp() override {}
  void Start(uint32_t bus, uint32_t ctrl, uint32_t words) {
    W32(DMA_CH_ADDR(0), bus);
    W32(DMA_CH_CTRL(0), ctrl);
    W32(DMA_WORD_COUNT, words);
    W32(DMA_START, 1u << DMA_CH_INTEGRITY);
  }
  void FillBar0() {
    for (uint32_t i = 0; i < BAR0_BYTES; ++i) ASSERT_EQ(b_->Write(AD_BAR0, i, 1, i & 0xFF), 0u);
  }
  void Enable() {
    b_->InterruptAttach();
    W32(INT_CTRL, INT_ENABLE);
  }
};

TEST_F(BoardChannel0, MemoryWriteMovesExactlyTheBytesAndCountsWordsDown) {
  Make("");
  FillBar0();
  Enable();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x4000, wdc::DmaDir::kFromDevice, &m), 0u);
  auto* host = static_cast<uint8_t*>(m.host);
  const uint32_t bus = static_cast<uint32_t>(m.pages[0].pPhysicalAddr);
  for (uint32_t f : {1u, 7u, 8u, 9u, 4095u, 4096u}) {
    std::memset(host, 0xFF, 0x4000);
    b_->DmaSyncForDevice(m);
    Start(bus + 0x1003, kMemWrite | f, (f + 7) / 8);
    ASSERT_TRUE(WaitIrq()) << f;
    b_->DmaSyncForCpu(m);
    EXPECT_EQ(R32(INT_CTRL), INT_CH0_DONE);
    EXPECT_EQ(R32(INT_CTRL), 0u) << "the status read clears it";
    EXPECT_EQ(R32(DMA_WORD_COUNT), 0u) << f;
    for (uint32_t o = 0; o < 0x4000; ++o) {
      const bool in = o >= 0x1003 && o < 0x1003 + f;
      ASSERT_EQ(host[o], in ? ((o - 0x1003) & 0xFF) : 0xFF) << "f " << f << " offset " << o;
    }
  }
  b_->DmaUnmap(&m);
}

TEST_F(BoardChannel0, MemoryReadMovesExactlyTheBytesAndCountsWordsUp) {
  Make("");
  Enable();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x4000, wdc::DmaDir::kToDevice, &m), 0u);
  auto* host = static_cast<uint8_t*>(m.host);
  for (uint32_t o = 0; o < 0x4000; ++o) host[o] = static_cast<uint8_t>(o * 13 + 1);
  const uint32_t bus = static_cast<uint32_t>(m.pages[0].pPhysicalAddr);
  for (uint32_t f : {1u, 9u, 4096u, 100u}) {
    for (uint32_t off = 0; off < BAR0_BYTES; off += 4) ASSERT_EQ(b_->Write(AD_BAR0, off, 4, ~0u), 0u);
    b_->DmaSyncForDevice(m);
    Start(bus + 0x1FFF, kMemRead | f, 0);
    ASSERT_TRUE(WaitIrq()) << f;
    EXPECT_EQ(R32(DMA_WORD_COUNT), (f + 7) / 8);
    for (uint32_t k = 0; k < BAR0_BYTES; ++k)
      ASSERT_EQ(Bar0Byte(k), k < f ? host[0x1FFF + k] : 0xFF) << "f " << f << " byte " << k;
  }
  b_->DmaUnmap(&m);
}

TEST_F(BoardChannel0, DmaShiftMovesWhereMemoryWriteDataLands) {
  for (int shift : {3, -5}) {
    Make(shift > 0 ? "dma-shift=3" : "dma-shift=-5");
    FillBar0();
    Enable();
    wdc::DmaMapping m;
    ASSERT_EQ(b_->DmaAllocContig(0x4000, wdc::DmaDir::kFromDevice, &m), 0u);
    auto* host = static_cast<uint8_t*>(m.host);
    std::memset(host, 0xFF, 0x4000);
    Start(static_cast<uint32_t>(m.pages[0].pPhysicalAddr) + 0x1000, kMemWrite | 16, 2);
    ASSERT_TRUE(WaitIrq());
    for (int k = 0; k < 16; ++k) EXPECT_EQ(host[0x1000 + shift + k], k) << shift;
    EXPECT_EQ(host[0x1000 + shift - 1], 0xFF);
    EXPECT_EQ(host[0x1000 + shift + 16], 0xFF);
    b_->DmaUnmap(&m);
    TearDown();
  }
}

TEST_F(BoardChannel0, WordcountBadSpoilsEveryNthTransfer) {
  Make("wordcount-bad=3");
  Enable();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x4000, wdc::DmaDir::kFromDevice, &m), 0u);
  std::vector<uint32_t> left;
  for (int i = 0; i < 7; ++i) {
    Start(static_cast<uint32_t>(m.pages[0].pPhysicalAddr), kMemWrite | 64, 8);
    ASSERT_TRUE(WaitIrq());
    left.push_back(R32(DMA_WORD_COUNT));
  }
  EXPECT_EQ(left, (std::vector<uint32_t>{0, 0, 1, 0, 0, 1, 0}));
  b_->DmaUnmap(&m);
}

TEST_F(BoardChannel0, IrqDropLosesOnlyThatCompletionsInterrupt) {
  Make("irq-drop=ch0@2");
  Enable();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x1000, wdc::DmaDir::kFromDevice, &m), 0u);
  const uint32_t bus = static_cast<uint32_t>(m.pages[0].pPhysicalAddr);
  Start(bus, kMemWrite | 8, 1);
  EXPECT_TRUE(WaitIrq());
  EXPECT_EQ(R32(INT_CTRL), INT_CH0_DONE);
  Start(bus, kMemWrite | 8, 1);
  EXPECT_FALSE(WaitIrq(300));
  EXPECT_EQ(R32(INT_CTRL), INT_CH0_DONE) << "the transfer itself completed";
  EXPECT_EQ(R32(DMA_WORD_COUNT), 0u);
  Start(bus, kMemWrite | 8, 1);
  EXPECT_TRUE(WaitIrq());
  b_->DmaUnmap(&m);
}

// The aer fault's errors go to the host side at their completion, counted as irq-drop counts,
// the header-logging one with its transfer's first memory request.
TEST_F(BoardChannel0, AerFaultReportsItsErrorsAtThatCompletion) {
  sim::Settings settings;
  std::string error;
  ASSERT_TRUE(
      sim::ParseSettings("aer=bad-tlp:ch0@2,aer=malformed-tlp:ch0@2,aer=receiver-error:backloop@2",
                         &settings, &error));
  std::vector<sim::LinkError> errors;  // taken under the board's lock, read after the interrupt
  sim::HostSide host;
  host.link_error = [&errors](const sim::LinkError& e) { errors.push_back(e); };
  sim::SimBoard board(settings, 0, host);
  b_ = &board;
  Enable();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x1000, wdc::DmaDir::kFromDevice, &m), 0u);
  const uint32_t bus = static_cast<uint32_t>(m.pages[0].pPhysicalAddr) + 0x40;
  Start(bus, kMemWrite | 200, 25);
  ASSERT_TRUE(WaitIrq());
  EXPECT_TRUE(errors.empty());
  Start(bus, kMemWrite | 200, 25);
  ASSERT_TRUE(WaitIrq());
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_TRUE(!errors[0].uncorrectable && errors[0].bit == 6 && !errors[0].has_header);
  EXPECT_TRUE(errors[1].uncorrectable && errors[1].bit == 18 && errors[1].has_header);
  // A 3-DW memory write of 32 DWs (the first 128 bytes), requester 0, every byte enabled.
  EXPECT_EQ(std::vector<uint32_t>(errors[1].header, errors[1].header + 4),
            (std::vector<uint32_t>{0x40000020, 0xff, bus, 0}));
  Start(bus, kMemWrite | 200, 25);
  ASSERT_TRUE(WaitIrq());
  EXPECT_EQ(errors.size(), 2u);
  b_->DmaUnmap(&m);
  EXPECT_TRUE(Findings().empty());
  b_ = nullptr;
}

TEST_F(BoardChannel0, DisabledInterruptStillSetsTheStatus) {
  Make("");
  b_->InterruptAttach();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x1000, wdc::DmaDir::kFromDevice, &m), 0u);
  Start(static_cast<uint32_t>(m.pages[0].pPhysicalAddr), kMemWrite | 8, 1);
  EXPECT_FALSE(WaitIrq(200));
  EXPECT_EQ(R32(INT_CTRL), INT_CH0_DONE);
  b_->DmaUnmap(&m);
}

TEST_F(BoardChannel0, BadProgrammingStopsTheChannelAndIsReported) {
  Make("");
  Enable();
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaAllocContig(0x2000, wdc::DmaDir::kFromDevice, &m), 0u);
  const uint32_t bus = static_cast<uint32_t>(m.pages[0].pPhysicalAddr);
  Start(bus, kMemWrite | 0, 0);                        // no bytes
  Start(bus, CTRL_MEM_WRITE | 8, 1);                   // neither first nor last
  Start(bus, CTRL_FIRST | CTRL_MEM_WRITE | 8, 1);      // not last
  Start(bus, kMemWrite | 4097, 1);                     // more than BAR0
  Start(bus, kMemWrite | 8, 1);                        // a good one, queued behind them
  ASSERT_TRUE(WaitIrq());
  EXPECT_EQ(R32(INT_CTRL), INT_CH0_DONE);
  EXPECT_FALSE(WaitIrq(100)) << "bad starts complete nothing";
  const auto f = Findings();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0], "4 DMA programming errors (first: channel 0: byte count 0)");
  EXPECT_TRUE(Findings().empty()) << "the audit clears what it reported";
  b_->DmaUnmap(&m);
}

class BoardBlocked : public BoardChannel0 {};

TEST_F(BoardBlocked, WrongDirectionAndUnmappedAccessesTouchNoHostByte) {
  Make("");
  FillBar0();
  Enable();
  // A user buffer in the middle of a larger block: the block's other bytes are canaries.
  std::unique_ptr<uint8_t, decltype(&std::free)> mem(
      static_cast<uint8_t*>(std::aligned_alloc(4096, 5 * 4096)), &std::free);
  uint8_t* const block = mem.get();
  std::memset(block, 0xC5, 5 * 4096);
  uint8_t* user = block + 4096 + 100;
  wdc::DmaMapping to_dev, from_dev;
  ASSERT_EQ(b_->DmaMapUser(user, 2 * 4096, wdc::DmaDir::kToDevice, &to_dev), 0u);
  ASSERT_EQ(b_->DmaMapUser(user + 2 * 4096, 100, wdc::DmaDir::kFromDevice, &from_dev), 0u);
  const uint32_t read_only = static_cast<uint32_t>(to_dev.pages[0].pPhysicalAddr);
  const uint32_t tail = static_cast<uint32_t>(from_dev.pages[0].pPhysicalAddr);
  Start(read_only, kMemWrite | 16, 2);   // writes into memory the board may only read
  Start(tail + 90, kMemWrite | 16, 2);   // runs 6 bytes past the end of a mapping
  Start(0x1000, kMemWrite | 16, 2);      // nothing is mapped there
  Start(tail, kMemRead | 16, 0);         // reads memory the board may only write
  Start(tail + 84, kMemWrite | 16, 2);   // the last 16 bytes: allowed
  ASSERT_TRUE(WaitIrq());
  for (size_t i = 0; i < 5 * 4096; ++i) {
    const size_t rel = i - (4096 + 100 + 2 * 4096 + 84);
    if (rel < 16) EXPECT_EQ(block[i], rel) << i;
    else ASSERT_EQ(block[i], 0xC5) << "host byte " << i << " was touched";
  }
  const auto f = Findings();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], "4 DMA accesses blocked");
  EXPECT_EQ(f[1].rfind("4 DMA programming errors (first: channel 0: 16 bytes at bus address", 0), 0u) << f[1];
  b_->DmaUnmap(&to_dev);
  b_->DmaUnmap(&from_dev);
}

TEST_F(BoardBlocked, UnmappedMemoryIsOutOfReachFromTheUnmapOn) {
  Make("");
  Enable();
  std::vector<uint8_t> buf(4096, 0x11);
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaMapUser(buf.data(), 4096, wdc::DmaDir::kFromDevice, &m), 0u);
  const uint32_t bus = static_cast<uint32_t>(m.pages[0].pPhysicalAddr);
  b_->DmaUnmap(&m);
  EXPECT_TRUE(m.pages.empty());
  Start(bus, kMemWrite | 8, 1);
  EXPECT_FALSE(WaitIrq(200));
  EXPECT_EQ(buf, std::vector<uint8_t>(4096, 0x11));
  EXPECT_EQ(Findings().at(0), "1 DMA access blocked");
}

class BoardBusMap : public BoardTest {};

TEST_F(BoardBusMap, UserPagesSplitAtHostPagesAndScatterBelow4G) {
  Make("");
  std::vector<uint8_t> block(40 * 4096);
  uint8_t* start = block.data() + (4096 - (reinterpret_cast<uintptr_t>(block.data()) & 0xFFF)) + 100;
  const uint32_t bytes = 30 * 4096;
  wdc::DmaMapping m;
  ASSERT_EQ(b_->DmaMapUser(start, bytes, wdc::DmaDir::kToDevice, &m), 0u);
  ASSERT_EQ(m.pages.size(), 31u);
  EXPECT_EQ(m.host, start);
  EXPECT_EQ(m.pages.front().dwBytes, 4096u - 100);
  EXPECT_EQ(m.pages.back().dwBytes, 100u);
  uint64_t total = 0;
  bool ascending = true;
  for (size_t i = 0; i < m.pages.size(); ++i) {
    const WdcDmaPage& p = m.pages[i];
    total += p.dwBytes;
    EXPECT_LT(p.pPhysicalAddr + p.dwBytes, uint64_t{1} << 32);
    EXPECT_NE(p.pPhysicalAddr, 0u);
    EXPECT_EQ(p.pPhysicalAddr & 0xFFF, i == 0 ? 100u : 0u);
    if (i > 0) {
      const uint64_t prev_page = m.pages[i - 1].pPhysicalAddr >> 12, page = p.pPhysicalAddr >> 12;
      EXPECT_NE(page, prev_page + 1) << "pages " << i - 1 << " and " << i << " adjacent";
      EXPECT_NE(page + 1, prev_page);
      if (page < prev_page) ascending = false;
    }
  }
  EXPECT_EQ(total, bytes);
  EXPECT_FALSE(ascending);
  b_->DmaUnmap(&m);
}

TEST_F(BoardBusMap, HighBusHandsOutAddressesAbove4G) {
  Make("high-bus=1");
  std::vector<uint8_t> buf(3 * 4096);
  wdc::DmaMapping sg, contig;
  ASSERT_EQ(b_->DmaMapUser(buf.data(), static_cast<uint32_t>(buf.size()), wdc::DmaDir::kToDevice, &sg), 0u);
  ASSERT_EQ(b_->DmaAllocContig(4096, wdc::DmaDir::kToDevice, &contig), 0u);
  for (const WdcDmaPage& p : sg.pages) EXPECT_GE(p.pPhysicalAddr, uint64_t{1} << 32);
  EXPECT_GE(contig.pages[0].pPhysicalAddr, uint64_t{1} << 32);
  b_->DmaUnmap(&sg);
  b_->DmaUnmap(&contig);
}

TEST_F(BoardBusMap, ContiguousRangesAreAlignedOrMisalignedAsSet) {
  for (const char* s : {"", "misalign=100"}) {
    Make(s);
    const uint64_t want = *s ? 100 : 0;
    wdc::DmaMapping a, c;
    ASSERT_EQ(b_->DmaAllocContig(0x4000, wdc::DmaDir::kFromDevice, &a), 0u);
    ASSERT_EQ(b_->DmaAllocContig(10, wdc::DmaDir::kToDevice, &c), 0u);
    for (const wdc::DmaMapping* m : {&a, &c}) {
      ASSERT_EQ(m->pages.size(), 1u);
      EXPECT_EQ(m->pages[0].dwBytes, m->bytes);
      EXPECT_EQ(m->pages[0].pPhysicalAddr & 0xFFF, want) << s;
      EXPECT_LT(m->pages[0].pPhysicalAddr + m->bytes, uint64_t{1} << 32);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(m->host) & 0xFFF, 0u);
      const auto* h = static_cast<const uint8_t*>(m->host);
      EXPECT_TRUE(std::all_of(h, h + m->bytes, [](uint8_t x) { return x == 0; }));
    }
    EXPECT_GE(c.pages[0].pPhysicalAddr, a.pages[0].pPhysicalAddr + 0x4000) << "ranges overlap";
    b_->DmaUnmap(&a);
    b_->DmaUnmap(&c);
    TearDown();
  }
}

TEST_F(BoardBusMap, AbsurdRequestsAreRefused) {
  Make("");
  wdc::DmaMapping m;
  uint8_t byte = 0;
  EXPECT_EQ(b_->DmaAllocContig(0, wdc::DmaDir::kToDevice, &m), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b_->DmaAllocContig(0xFFFFFFFFu, wdc::DmaDir::kToDevice, &m), WDC_STATUS_NO_MEMORY);
  EXPECT_EQ(b_->DmaMapUser(&byte, 0, wdc::DmaDir::kToDevice, &m), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(b_->DmaMapUser(nullptr, 8, wdc::DmaDir::kToDevice, &m), WDC_STATUS_INVALID_PARAMETER);
  // More pages than the bus has room for: refused before any page is handed out.
  EXPECT_EQ(b_->DmaMapUser(&byte, 0xFFFFFFFFu, wdc::DmaDir::kToDevice, &m), WDC_STATUS_NO_MEMORY);
  EXPECT_TRUE(m.pages.empty());
  // Unmapping something never mapped is harmless.
  wdc::DmaMapping stray;
  stray.cookie = 12345;
  b_->DmaUnmap(&stray);
}

}  // namespace
