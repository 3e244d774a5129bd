// Continuous runs and the scatter/gather backloop: counts that follow the link model, the
// 16-bit fields, stopping and clearing, bytes really moved, descriptor tables checked, the
// reset, and the audit.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "board_support.h"
#include "board.h"
#include "platform/platform.h"

namespace {

using board_test::BoardTest;
using platform::NowNs;

constexpr uint32_t kSeg = 0x10000;

// Link rates the board must follow, MB/s per direction.
struct LinkCase {
  const char* settings;
  double mbps;
};

class BoardRuns : public BoardTest {
 protected:
  void Program(uint32_t bytes = kSeg) {
    for (int i = 0; i < 3; ++i)
      ASSERT_EQ(b_->DmaAllocContig(bytes, i == 0 ? wdc::DmaDir::kFromDevice : wdc::DmaDir::kToDevice,
                                   &buf_[i]), 0u);
    W32(DMA_CH_ADDR(1), static_cast<uint32_t>(buf_[0].pages[0].pPhysicalAddr));
    W32(DMA_CH_CTRL(1), CTRL_FIRST | CTRL_MEM_WRITE | CTRL_LAST | bytes);
    W32(DMA_CH_ADDR(2), static_cast<uint32_t>(buf_[1].pages[0].pPhysicalAddr));
    W32(DMA_CH_CTRL(2), CTRL_FIRST | CTRL_LAST | bytes);
    W32(DMA_CH_ADDR(3), static_cast<uint32_t>(buf_[2].pages[0].pPhysicalAddr));
    W32(DMA_CH_CTRL(3), CTRL_FIRST | CTRL_LAST | bytes);
  }
  void Unmap() {
    for (auto& m : buf_) b_->DmaUnmap(&m);
  }
  // Runs `mode` for about `ms` and returns the bounds of the run's length as seen from here:
  // the board's own start and stop lie between them.
  void Run(uint32_t mode, int ms, double* inner_s, double* outer_s) {
    W32(PERF_COUNT0, 0);
    const uint64_t t0 = NowNs();
    W32(DMA_RUN_CTRL, mode);
    const uint64_t t1 = NowNs();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const uint64_t t2 = NowNs();
    W32(DMA_RUN_CTRL, RUN_STOP);
    const uint64_t t3 = NowNs();
    *inner_s = static_cast<double>(t2 - t1) / 1e9;
    *outer_s = static_cast<double>(t3 - t0) / 1e9;
  }
  static void ExpectCount(uint32_t count, double mbps, double share, double inner, double outer,
                          const char* what) {
    const double per_s = mbps * 1e6 * share / kSeg;
    EXPECT_GE(count, std::floor(inner * per_s) - 1) << what;
    EXPECT_LE(count, std::ceil(outer * per_s) + 1) << what;
    EXPECT_GT(count, 0u) << what;
  }
  wdc::DmaMapping buf_[3];
};

TEST_F(BoardRuns, CountsFollowTheLinkModelInEveryMode) {
  const LinkCase links[] = {{"link=gen1x1", 201}, {"", 1502}, {"link=gen3x8", 6126},
                            {"link=gen2x16", 2 * 2981}, {"link=gen1x2", 2 * 201}};
  for (const LinkCase& link : links) {
    Make(link.settings);
    Program();
    double in, out;
    Run(RUN_WRITE, 100, &in, &out);
    ExpectCount(R32(PERF_COUNT0) & 0xFFFF, link.mbps, 1.0, in, out, link.settings);
    EXPECT_EQ(R32(PERF_COUNT0) >> 16, 0u);
    Run(RUN_READ_2CH, 100, &in, &out);
    const uint32_t c0 = R32(PERF_COUNT0);
    ExpectCount(c0 >> 16, link.mbps, 0.5, in, out, "2 read channels share the read direction");
    ExpectCount(R32(PERF_COUNT1), link.mbps, 0.5, in, out, "channel 3");
    EXPECT_EQ(c0 & 0xFFFF, 0u);
    Run(RUN_READ_WRITE, 100, &in, &out);
    const uint32_t c1 = R32(PERF_COUNT0);
    ExpectCount(c1 & 0xFFFF, link.mbps, 1.0, in, out, "full duplex: the write direction");
    ExpectCount(c1 >> 16, link.mbps, 1.0, in, out, "full duplex: the read direction");
    Unmap();
    TearDown();
  }
}

TEST_F(BoardRuns, FieldsWrapAtSixteenBits) {
  // 12.25 GB/s over 4 KiB segments: about 3 million transfers a second.
  Make("link=gen3x16");
  Program(4096);
  W32(PERF_COUNT0, 0);
  const uint64_t t0 = NowNs();
  W32(DMA_RUN_CTRL, RUN_WRITE);
  const uint64_t t1 = NowNs();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const uint64_t t2 = NowNs();
  W32(DMA_RUN_CTRL, RUN_STOP);
  const uint64_t t3 = NowNs();
  const double per_ns = 6126.0 * 2 * 1e6 / 4096 / 1e9;
  const uint64_t lo = static_cast<uint64_t>(static_cast<double>(t2 - t1) * per_ns) - 1;
  const uint64_t hi = static_cast<uint64_t>(static_cast<double>(t3 - t0) * per_ns) + 1;
  ASSERT_GT(lo, 65536u) << "the run is long enough to wrap";
  const uint32_t field = R32(PERF_COUNT0) & 0xFFFF;
  bool found = false;
  for (uint64_t n = lo; n <= hi; ++n) found = found || (n & 0xFFFF) == field;
  EXPECT_TRUE(found) << field << " is no count in [" << lo << ", " << hi << "] modulo 65536";
  Unmap();
}

TEST_F(BoardRuns, StopFreezesAndClearZeroesEveryCounter) {
  Make("");
  Program();
  W32(PERF_COUNT0, 0);
  W32(DMA_RUN_CTRL, RUN_READ_2CH_WRITE);
  EXPECT_EQ(R32(DMA_RUN_CTRL), RUN_READ_2CH_WRITE);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  W32(DMA_RUN_CTRL, RUN_STOP);
  EXPECT_EQ(R32(DMA_RUN_CTRL), 0u);
  const uint32_t c0 = R32(PERF_COUNT0), c1 = R32(PERF_COUNT1);
  EXPECT_NE(c0 & 0xFFFF, 0u);
  EXPECT_NE(c0 >> 16, 0u);
  EXPECT_NE(c1, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(R32(PERF_COUNT0), c0) << "no count grows after the stop";
  EXPECT_EQ(R32(PERF_COUNT1), c1);
  W32(PERF_COUNT0, 0x12345678);
  EXPECT_EQ(R32(PERF_COUNT0), 0u);
  EXPECT_EQ(R32(PERF_COUNT1), 0u) << "a write of PERF_COUNT0 clears every counter";
  Unmap();
}

TEST_F(BoardRuns, WriteChannelStoresItsPatternInHostMemory) {
  Make("link=gen1x1");
  Program();
  W32(DMA_RUN_CTRL, RUN_WRITE);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  W32(DMA_RUN_CTRL, RUN_STOP);
  ASSERT_GT(R32(PERF_COUNT0) & 0xFFFF, 0u);
  b_->DmaSyncForCpu(buf_[0]);
  const auto* h = static_cast<const uint8_t*>(buf_[0].host);
  for (uint32_t k = 0; k < kSeg; ++k) ASSERT_EQ(h[k], sim::WritePatternByte(k)) << k;
  Unmap();
}

TEST_F(BoardRuns, BadSegmentsDoNotRunAndAreReported) {
  Make("");
  Program();
  // Channel 2 reads a buffer the board may only write; channel 3 has no flags.
  W32(DMA_CH_ADDR(2), static_cast<uint32_t>(buf_[0].pages[0].pPhysicalAddr));
  W32(DMA_CH_CTRL(3), kSeg);
  W32(PERF_COUNT0, 0);
  W32(DMA_RUN_CTRL, RUN_READ_2CH_WRITE);
  EXPECT_EQ(R32(DMA_RUN_CTRL), RUN_WRITE) << "only channel 1 runs";
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  W32(DMA_RUN_CTRL, RUN_STOP);
  EXPECT_EQ(R32(PERF_COUNT0) >> 16, 0u);
  EXPECT_EQ(R32(PERF_COUNT1), 0u);
  const auto f = Findings();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], "1 DMA access blocked");
  EXPECT_EQ(f[1].rfind("2 DMA programming errors (first: channel 2: 65536 bytes", 0), 0u) << f[1];
  Unmap();
}

TEST_F(BoardRuns, AuditStopsARunLeftGoing) {
  Make("");
  Program();
  W32(DMA_RUN_CTRL, RUN_READ);
  const auto f = Findings();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0], "a DMA run still active");
  EXPECT_EQ(R32(DMA_RUN_CTRL), 0u);
  Unmap();
}

TEST_F(BoardRuns, AFunctionResetStopsTheRunsAndRestoresEveryRegister) {
  // What a VMM's DEVICE_RESET asks of the served board: no run may survive it (the audit after
  // it must be clean), and the registers a test programmed read their reset values.
  Make("");
  Program();
  W32(INT_CTRL, INT_ENABLE);
  W32(READ_CFG, READ_CFG_BULK);
  W32(DMA_RUN_CTRL, RUN_READ_2CH_WRITE);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  static_cast<sim::SimBoard*>(b_)->Reset();
  EXPECT_EQ(R32(DMA_RUN_CTRL), 0u);
  EXPECT_EQ(R32(READ_CFG), 0u);
  EXPECT_EQ(R32(DMA_CH_ADDR(1)), 0u);
  EXPECT_EQ(R32(DMA_CH_CTRL(3)), 0u);
  EXPECT_EQ(R32(PERF_COUNT0), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(R32(PERF_COUNT0), 0u) << "nothing runs after the reset";
  EXPECT_EQ(R32(PERF_COUNT1), 0u);
  Unmap();
}

TEST_F(BoardRuns, UnmapDuringARunIsSafe) {
  Make("link=gen3x16");
  Program();
  W32(DMA_RUN_CTRL, RUN_READ_2CH_WRITE);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  Unmap();  // the engine may be in the middle of a copy
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(R32(DMA_RUN_CTRL), 0u) << "every channel stopped at its next access";
  const auto f = Findings();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], "3 DMA accesses blocked");
}

// ---- Scatter/gather backloop --------------------------------------------------------------

struct AlignedBuf {
  explicit AlignedBuf(size_t n)
      : p(static_cast<uint8_t*>(std::aligned_alloc(4096, (n + 8191) & ~size_t{4095}))) {}
  ~AlignedBuf() { std::free(p); }
  uint8_t* p;
};

class BoardBackloop : public BoardTest {
 protected:
  // Locks `bytes` of each buffer (starting `skew` bytes into a page) and arms both channels.
  void Prepare(uint32_t bytes, uint32_t skew, uint32_t seed) {
    bytes_ = bytes;
    src_.reset(new AlignedBuf(bytes + skew));
    dst_.reset(new AlignedBuf(bytes + skew));
    s_ = src_->p + skew;
    d_ = dst_->p + skew;
    uint32_t x = seed;
    for (uint32_t i = 0; i < bytes; ++i) {
      x = x * 1103515245 + 12345;
      s_[i] = static_cast<uint8_t>(x >> 16);
    }
    std::memset(d_, 0, bytes);
    ASSERT_EQ(b_->DmaMapUser(d_, bytes, wdc::DmaDir::kFromDevice, &dmap_), 0u);
    ASSERT_EQ(b_->DmaMapUser(s_, bytes, wdc::DmaDir::kToDevice, &smap_), 0u);
    b_->InterruptAttach();
    W32(RESET_CTRL, 1);
    W32(RESET_CTRL, 0);
    W32(INT_CTRL, INT_ENABLE);
    Table(DMA_CH_SG_DEST, dmap_, true, &dtab_);
    Table(DMA_CH_SG_SOURCE, smap_, false, &stab_);
  }
  // Writes the table of `m` and arms `ch` with it; `edit` may spoil it first.
  template <class Edit = void (*)(std::vector<DiagSgDescriptor>&)>
  void Table(uint32_t ch, const wdc::DmaMapping& m, bool mem_write, wdc::DmaMapping* table,
             Edit edit = [](std::vector<DiagSgDescriptor>&) {}) {
    std::vector<DiagSgDescriptor> d(m.pages.size());
    for (size_t i = 0; i < d.size(); ++i) {
      d[i].dwAddr = static_cast<uint32_t>(m.pages[i].pPhysicalAddr);
      d[i].dwCtrl = m.pages[i].dwBytes;
    }
    d.front().dwCtrl |= CTRL_FIRST | (mem_write ? uint32_t{CTRL_MEM_WRITE} : 0u);
    d.back().dwCtrl |= CTRL_LAST;
    edit(d);
    if (table->cookie) b_->DmaUnmap(table);
    ASSERT_EQ(b_->DmaAllocContig(static_cast<uint32_t>(d.size() * 8), wdc::DmaDir::kToDevice, table), 0u);
    std::memcpy(table->host, d.data(), d.size() * 8);
    b_->DmaSyncForDevice(*table);
    W32(DMA_CH_ADDR(ch), static_cast<uint32_t>(table->pages[0].pPhysicalAddr));
    W32(DMA_CH_CTRL(ch), CTRL_FIRST | CTRL_LAST | static_cast<uint32_t>(d.size() * 8));
    W32(DMA_START, 1u << ch);
  }
  size_t Mismatches() const {
    size_t n = 0;
    for (uint32_t i = 0; i < bytes_; ++i) n += s_[i] != d_[i];
    return n;
  }
  void Release() {
    W32(DMA_RUN_CTRL, RUN_STOP);
    W32(INT_CTRL, INT_DISABLE);
    for (wdc::DmaMapping* m : {&stab_, &dtab_, &smap_, &dmap_})
      if (m->cookie) b_->DmaUnmap(m);
  }
  std::unique_ptr<AlignedBuf> src_, dst_;
  uint8_t* s_ = nullptr;
  uint8_t* d_ = nullptr;
  uint32_t bytes_ = 0;
  wdc::DmaMapping smap_, dmap_, stab_, dtab_;
};

TEST_F(BoardBackloop, StreamsTheSourceIntoTheDestinationExactly) {
  Make("");
  Prepare(1000 * 1000 + 3, 1234, 7);  // partial first and last pages
  const uint64_t t0 = NowNs();
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  ASSERT_TRUE(WaitIrq());
  const uint64_t t1 = NowNs();
  EXPECT_EQ(R32(INT_CTRL), INT_BACKLOOP_DONE);
  b_->DmaSyncForCpu(dmap_);
  EXPECT_EQ(Mismatches(), 0u);
  // Full duplex: the loop takes the bytes over one direction of the Gen2 x4 link at least.
  EXPECT_GE(static_cast<double>(t1 - t0) / 1e9, bytes_ / 1502e6 * 0.99);
  Release();
}

TEST_F(BoardBackloop, SgSwapIsCaughtByExactlyTheDifferingBytes) {
  Make("sg-swap=2:5");
  Prepare(16 * 4096, 0, 99);
  size_t differ = 0;
  for (uint32_t k = 0; k < 4096; ++k) differ += s_[2 * 4096 + k] != s_[5 * 4096 + k];
  ASSERT_GT(differ, 0u);
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  ASSERT_TRUE(WaitIrq());
  EXPECT_EQ(Mismatches(), 2 * differ);
  EXPECT_EQ(std::memcmp(d_ + 2 * 4096, s_ + 5 * 4096, 4096), 0);
  EXPECT_EQ(std::memcmp(d_ + 5 * 4096, s_ + 2 * 4096, 4096), 0);
  Release();
}

TEST_F(BoardBackloop, IrqDropLeavesTheStatusWithoutInterrupt) {
  Make("irq-drop=backloop@1");
  Prepare(8 * 4096, 0, 3);
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  EXPECT_FALSE(WaitIrq(300));
  EXPECT_EQ(R32(INT_CTRL), INT_BACKLOOP_DONE);
  EXPECT_EQ(Mismatches(), 0u);
  Release();
}

TEST_F(BoardBackloop, StopEndsTheRunAtOnce) {
  Make("link=gen1x1");  // 50 MB/s would take a while; 4 MiB takes 21 ms
  Prepare(4 << 20, 0, 5);
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  W32(DMA_RUN_CTRL, RUN_STOP);
  EXPECT_EQ(R32(DMA_RUN_CTRL), 0u);
  const std::vector<uint8_t> snapshot(d_, d_ + bytes_);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_EQ(std::memcmp(snapshot.data(), d_, bytes_), 0) << "nothing moved after the stop";
  EXPECT_FALSE(WaitIrq(50));
  Release();
}

struct BadTable {
  const char* what;
  uint32_t ch;
  void (*edit)(std::vector<DiagSgDescriptor>&);
  const char* reason;  // start of the audit's reason
};

TEST_F(BoardBackloop, BadTablesAreRefusedAndTheLoopDoesNotStart) {
  const BadTable cases[] = {
      {"destination without the write flag", DMA_CH_SG_DEST,
       [](std::vector<DiagSgDescriptor>& d) { d[0].dwCtrl &= ~CTRL_MEM_WRITE; },
       "channel 5: descriptor 0 has flags"},
      {"source with the write flag", DMA_CH_SG_SOURCE,
       [](std::vector<DiagSgDescriptor>& d) { d[0].dwCtrl |= CTRL_MEM_WRITE; },
       "channel 4: descriptor 0 has flags"},
      {"flag in the middle", DMA_CH_SG_SOURCE,
       [](std::vector<DiagSgDescriptor>& d) { d[1].dwCtrl |= CTRL_LAST; },
       "channel 4: descriptor 1 has flags"},
      {"no last flag", DMA_CH_SG_DEST,
       [](std::vector<DiagSgDescriptor>& d) { d.back().dwCtrl &= ~CTRL_LAST; },
       "channel 5: descriptor 3 has flags"},
      {"zero length", DMA_CH_SG_SOURCE,
       [](std::vector<DiagSgDescriptor>& d) { d[2].dwCtrl &= CTRL_FLAGS; },
       "channel 4: descriptor 2 has byte count 0"},
      {"page too long", DMA_CH_SG_DEST,
       [](std::vector<DiagSgDescriptor>& d) { d[1].dwCtrl += 1; },
       "channel 5: descriptor 1 (4097 bytes"},
      {"page of the wrong direction", DMA_CH_SG_DEST,
       [](std::vector<DiagSgDescriptor>& d) { d[2].dwAddr -= 0x1000000; },
       "channel 5: descriptor 2"},
  };
  for (const BadTable& c : cases) {
    Make("");
    Prepare(4 * 4096, 0, 1);
    if (c.ch == DMA_CH_SG_DEST) Table(c.ch, dmap_, true, &dtab_, c.edit);
    else Table(c.ch, smap_, false, &stab_, c.edit);
    W32(DMA_RUN_CTRL, RUN_BACKLOOP);
    EXPECT_EQ(R32(DMA_RUN_CTRL), 0u) << c.what;
    EXPECT_FALSE(WaitIrq(50)) << c.what;
    const auto f = Findings();
    ASSERT_EQ(f.size(), 1u) << c.what;
    EXPECT_EQ(f[0].find(std::string("2 DMA programming errors (first: ") + c.reason), 0u)
        << c.what << ": " << f[0];
    EXPECT_EQ(std::count(d_, d_ + bytes_, 0), static_cast<long>(bytes_)) << c.what;
    Release();
    TearDown();
  }
}

TEST_F(BoardBackloop, TableShapeAndPlacementAreChecked) {
  Make("");
  Prepare(4 * 4096, 0, 1);
  // Length not a multiple of 8.
  W32(DMA_CH_CTRL(DMA_CH_SG_SOURCE), CTRL_FIRST | CTRL_LAST | 12);
  W32(DMA_START, 1u << DMA_CH_SG_SOURCE);
  // A table in memory the board may only write.
  W32(DMA_CH_ADDR(DMA_CH_SG_DEST), static_cast<uint32_t>(dmap_.pages[0].pPhysicalAddr));
  W32(DMA_CH_CTRL(DMA_CH_SG_DEST), CTRL_FIRST | CTRL_LAST | 32);
  W32(DMA_START, 1u << DMA_CH_SG_DEST);
  const auto f = Findings();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], "1 DMA access blocked");
  EXPECT_EQ(f[1], "2 DMA programming errors (first: channel 4: table length 12 is not a positive "
                  "multiple of 8)");
  Release();
}

TEST_F(BoardBackloop, ChainsOfDifferentLengthDoNotRun) {
  Make("");
  Prepare(4 * 4096, 0, 1);
  Table(DMA_CH_SG_SOURCE, smap_, false, &stab_,
        [](std::vector<DiagSgDescriptor>& d) { d[1].dwCtrl -= 1; });
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  EXPECT_FALSE(WaitIrq(50));
  const auto f = Findings();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0], "1 DMA programming error (first: backloop: source chain of 16383 bytes, "
                  "destination chain of 16384 bytes)");
  Release();
}

TEST_F(BoardBackloop, ResetDisarmsBothChannels) {
  Make("");
  Prepare(4 * 4096, 0, 1);
  W32(RESET_CTRL, 1);
  W32(RESET_CTRL, 0);
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  EXPECT_FALSE(WaitIrq(50));
  const auto f = Findings();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0], "1 DMA programming error (first: backloop: channel 4 not armed)");
  Release();
}

TEST_F(BoardBackloop, UnmapDuringTheLoopBlocksInsteadOfTouchingMemory) {
  Make("link=gen1x1");
  Prepare(8 << 20, 0, 4);  // 42 ms on this link: the unmap comes well before the end
  W32(DMA_RUN_CTRL, RUN_BACKLOOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  b_->DmaUnmap(&dmap_);
  const std::vector<uint8_t> snapshot(d_, d_ + bytes_);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(std::memcmp(snapshot.data(), d_, bytes_), 0);
  EXPECT_FALSE(WaitIrq(20));
  const auto f = Findings();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0], "1 DMA access blocked");
  EXPECT_EQ(f[1].rfind("1 DMA programming error (first: backloop: access at bus address", 0), 0u);
  Release();
}

}  // namespace
