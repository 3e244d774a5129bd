// The vfio-user layer against a client written here, over a real UNIX socket, serving a small
// fake function. Only what a guest cannot reach: malformed input, clients coming and going,
// DMA served by the client (with its refusals), the INTx rules and bus mastering.
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vfu_client.h"

namespace {

using namespace vfu_test;

class FakeDevice : public vfu::Device {
 public:
  vfu::PciFunction Function() const override {
    return {0x10ee, 0x5050, 0, 0, 0, 0, {4096, 256}, true, true};
  }
  vfu::BarRegion Region(uint32_t) override { return {}; }
  uint64_t BarRead(uint32_t, uint64_t, uint32_t) override { return 0; }
  void BarWrite(uint32_t, uint64_t, uint32_t, uint64_t) override {}
  void Reset() override {}
  void ClientGone() override { ++gone; }
  std::atomic<int> gone{0};
};

class VfuServer : public ServerFixture {
 protected:
  void SetUp() override {
    MakeServer();
    Serve(device_);
  }
  FakeDevice device_;
};

TEST_F(VfuServer, MalformedInputIsRefusedAndTheNextClientServed) {
  {
    auto c = Connect(false);
    EXPECT_EQ(c->Errno(kRegionRead, Region(0, 1, 4)), EINVAL);  // before VERSION
    c->Version();
    EXPECT_EQ(c->Errno(99, {}), ENOSYS);
    const std::vector<uint8_t> bad[] = {
        Region(256, 1, 4),        // past BAR1
        Region(252, 1, 8),        // runs past its end
        Region(2, 1, 4),          // misaligned
        Region(0, 1, 3),          // no such width
        Region(0, 2, 4),          // no BAR2
        Region(0, 9, 4),          // no region 9
        Region(~0ull - 1, 7, 4),  // wraps
        Bytes({0}, 8),            // the fields cut short
    };
    for (const auto& b : bad) EXPECT_EQ(c->Errno(kRegionRead, b), EINVAL);
    EXPECT_EQ(c->Errno(kSetIrqs, Bytes({20, 0x24, 0, 0, 2}, 4)), EINVAL);  // 2 INTx
    const int mem = memfd_create("vfu-test", MFD_CLOEXEC);
    ASSERT_EQ(ftruncate(mem, 8192), 0);
    EXPECT_EQ(MapPage(*c, mem, 0x10000, 8192, 3), EINVAL);                // beyond the file
    EXPECT_EQ(MapPage(*c, mem, 0x10000, 4096, 3, ~0ull - 4095), EINVAL);  // offset + size wraps
    EXPECT_EQ(MapPage(*c, mem, 0x10000, 0, 3), 0);
    EXPECT_EQ(MapPage(*c, mem, 0x10000, 4096, 3), EEXIST);        // overlaps
    EXPECT_EQ(MapPage(*c, mem, 0x20000, 0, 3, 4096, 9), EINVAL);  // too many fds
    close(mem);
    // A refused posted write gets no reply: the next reply is the unmap's, a sweep that
    // matches no mapping exactly and still succeeds, echoing its fields.
    c->Send(kRegionWrite, Cat(Region(4096, 1, 4), Bytes({0}, 4)), {}, kNoReply);
    const auto sweep = Cat(Bytes({24, 0}, 4), Bytes({0, ~0ull}, 8));
    const Msg m = c->Call(kDmaUnmap, sweep);
    EXPECT_EQ(m.cmd, kDmaUnmap);
    EXPECT_EQ(m.data, sweep);
  }
  // Input that cannot be framed ends the connection; each next client is served.
  for (uint32_t size : {8u, 0xffffffffu, 0u}) {  // below a header, over the limit, cut short
    auto c = Connect();
    const auto hdr = Cat(Bytes({1, 4}, 2), Bytes({size, 0, 0}, 4));
    c->Raw(hdr.data(), size == 0 ? 8 : 16, size == 0);
    Msg m;
    EXPECT_FALSE(c->Recv(&m)) << "size " << size;
  }
  auto c = Connect();
  EXPECT_EQ(ConfigRead(*c, 0, 4), 0x505010eeu);
  EXPECT_TRUE(Logged("refused DMA_MAP (id 16): iova 0x10000 size 0x1000 overlaps a mapping"));
}

TEST_F(VfuServer, SecondClientRefusedAndALeavingClientTakesItsMapsAndInterrupts) {
  auto a = Connect();
  const int mem = memfd_create("vfu-test", MFD_CLOEXEC);
  ASSERT_EQ(ftruncate(mem, 8192), 0);
  ASSERT_EQ(MapPage(*a, mem, 0x20000, 0, 3), 0);
  const int msi = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  ASSERT_EQ(a->Errno(kSetIrqs, Bytes({20, 0x24, 1, 0, 1}, 4), {dup(msi)}), 0);
  BusMaster(*a, true);
  uint64_t v = 0;
  server_->Interrupt().Raise();
  ASSERT_TRUE(server_->FlushInterrupts(5000));
  EXPECT_EQ(read(msi, &v, 8), 8);
  Msg m;
  EXPECT_FALSE(Connect(false)->Recv(&m)) << "a second client";
  EXPECT_EQ(ConfigRead(*a, 0, 2), 0x10eeu);
  a.reset();
  // The departure's line is the last thing the server does for a client.
  const std::string left = "client left: the client closed the connection";
  for (int i = 0; i < 500 && Log().back() != left; ++i) usleep(10000);
  ASSERT_EQ(device_.gone, 1);
  server_->Interrupt().Raise();
  EXPECT_EQ(read(msi, &v, 8), -1);  // its eventfd was closed, not signalled
  close(msi);
  // The next client: bus mastering is as the last one left it, and the old mapping is gone,
  // so a read there goes to the client.
  auto c = Connect();
  uint8_t buf[4];
  auto r = Dma([&](vfu::DmaSpace& d) { return d.ReadLocked(0x20000, buf, 4); });
  ASSERT_TRUE(c->Recv(&m));
  EXPECT_EQ(m.cmd, kDmaRead);
  c->Reply(m, {}, EFAULT);
  EXPECT_FALSE(r.get());
  close(mem);
  EXPECT_TRUE(Logged("refused a second connection"));
}

TEST_F(VfuServer, DmaThroughPageMapsAndThroughTheClient) {
  auto c = Connect();
  BusMaster(*c, true);
  vfu::DmaSpace& dma = server_->Dma();
  const int mem = memfd_create("vfu-pages", MFD_CLOEXEC);
  ASSERT_EQ(ftruncate(mem, 16 * 4096), 0);
  // Adjacent IOVAs over pages of the file in reverse order, one map each, as a client maps
  // a guest buffer through its IOMMU.
  for (uint64_t i = 0; i < 16; ++i)
    ASSERT_EQ(MapPage(*c, mem, 0x100000 + i * 4096, (15 - i) * 4096, 3), 0);
  EXPECT_EQ(MappedSpans("memfd:vfu-pages").size(), 1u) << "the file is mapped once, for every page";
  std::vector<uint8_t> src(65536), dst(65536), page(4096);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  EXPECT_TRUE(Dma([&](vfu::DmaSpace& d) { return d.WriteLocked(0x100000, &src[0], 65536); }).get());
  for (uint64_t i = 0; i < 16; ++i) {
    ASSERT_EQ(pread(mem, page.data(), 4096, static_cast<off_t>((15 - i) * 4096)), 4096);
    EXPECT_EQ(0, std::memcmp(page.data(), &src[i * 4096], 4096)) << "page " << i;
  }
  // The map's flags give the direction; bus mastering off blocks everything.
  ASSERT_EQ(MapPage(*c, mem, 0x200000, 0, 1), 0);
  auto lock = dma.Lock();
  EXPECT_FALSE(dma.WriteLocked(0x200000, src.data(), 4));
  EXPECT_TRUE(dma.ReadLocked(0x200000, dst.data(), 4));
  lock.unlock();
  BusMaster(*c, false);
  lock.lock();
  EXPECT_FALSE(dma.ReadLocked(0x100000, dst.data(), 4) || dma.CheckLocked(0x100000, 4, false));
  lock.unlock();
  BusMaster(*c, true);
  // Half in the last mapped page, half beyond: the client refuses its half, and the mapped
  // half is left as it was.
  const std::vector<uint8_t> ones(4096, 0xff);
  auto w = Dma([&](vfu::DmaSpace& d) { return d.WriteLocked(0x10f800, ones.data(), 4096); });
  Msg m;
  ASSERT_TRUE(c->Recv(&m));
  EXPECT_EQ(m.cmd, kDmaWrite);
  EXPECT_EQ(m.data, Cat(Bytes({0x110000, 2048}, 8), std::vector<uint8_t>(2048, 0xff)));
  c->Reply(m, {}, EFAULT);
  EXPECT_FALSE(w.get());
  ASSERT_EQ(pread(mem, page.data(), 4096, 0), 4096);
  EXPECT_EQ(0, std::memcmp(page.data(), &src[15 * 4096], 4096));
  // A read the client serves, chunked by its max_data_xfer_size (4096).
  auto r = Dma([&](vfu::DmaSpace& d) { return d.ReadLocked(0x300000, dst.data(), 6000); });
  for (uint64_t at = 0; at < 6000; at += 4096) {
    ASSERT_TRUE(c->Recv(&m));
    const uint64_t n = std::min<uint64_t>(4096, 6000 - at);
    ASSERT_EQ(m.cmd, kDmaRead);
    ASSERT_EQ(m.data, Bytes({0x300000 + at, n}, 8));
    c->Reply(m, Cat(m.data, std::vector<uint8_t>(src.begin() + static_cast<long>(at),
                                                 src.begin() + static_cast<long>(at + n))));
  }
  EXPECT_TRUE(r.get());
  EXPECT_EQ(0, std::memcmp(dst.data(), src.data(), 6000));
  close(mem);
}

TEST_F(VfuServer, IntxLevelAutomaskUnmaskStatusBitAndConfigRegisters) {
  auto c = Connect();
  vfu::InterruptLine& irq = server_->Interrupt();
  const int intx = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int msi = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const auto set_irqs = [&](uint32_t flags, uint32_t index, uint32_t count, std::vector<int> fd) {
    ASSERT_EQ(c->Errno(kSetIrqs, Bytes({20, flags, index, 0, count}, 4), std::move(fd)), 0);
  };
  const auto signals = [this](int fd) {
    EXPECT_TRUE(server_->FlushInterrupts(5000));
    uint64_t v = 0;
    return read(fd, &v, 8) == 8 ? v : 0;
  };
  set_irqs(0x24, 0, 1, {dup(intx)});
  struct Step {
    const char* what;
    std::function<void()> act;
    uint64_t intx, msi;  // the signals each eventfd then holds
    bool pending;        // the status register's interrupt bit
  };
  const auto raise = [&] { irq.Raise(); };
  const auto lower = [&] { irq.Lower(); };
  const auto unmask = [&] { set_irqs(0x11, 0, 1, {}); };
  const Step steps[] = {
      {"raise", raise, 1, 0, true},
      {"raise again: automasked", raise, 0, 0, true},
      {"unmask, the level still asserted", unmask, 1, 0, true},
      {"lower", lower, 0, 0, false},
      {"unmask, the level deasserted", unmask, 0, 0, false},
      {"INTx DISABLE", [&] { ConfigWrite(*c, 4, 0x400, 2); }, 0, 0, false},
      {"raise, INTx disabled", raise, 0, 0, true},
      {"INTx enabled", [&] { ConfigWrite(*c, 4, 0, 2); }, 1, 0, true},
      {"lower and unmask", [&] { lower(), unmask(); }, 0, 0, false},
      {"MSI set", [&] { set_irqs(0x24, 1, 1, {dup(msi)}); }, 0, 0, false},
      {"raise over MSI", raise, 0, 1, false},
      {"MSI off (count 0)", [&] { set_irqs(0x21, 1, 0, {}); }, 0, 0, false},
      {"raise over INTx again", raise, 1, 0, true},
  };
  for (const Step& step : steps) {
    step.act();
    EXPECT_EQ(signals(intx), step.intx) << step.what;
    EXPECT_EQ(signals(msi), step.msi) << step.what;
    EXPECT_EQ((ConfigRead(*c, 6, 2) & 8) != 0, step.pending) << step.what;
  }
  irq.Lower();
  close(intx);
  close(msi);
  // Read-only registers ignore writes; a BAR answers the sizing write with its size mask.
  ConfigWrite(*c, 0, 0xffffffff, 4);
  ConfigWrite(*c, 6, 0xffff, 2);
  ConfigWrite(*c, 0x14, 0xffffffff, 4);
  EXPECT_EQ(ConfigRead(*c, 0, 4), 0x505010eeu);
  EXPECT_EQ(ConfigRead(*c, 6, 2), 0x10u);  // the capability list, nothing else
  EXPECT_EQ(ConfigRead(*c, 0x14, 4), 0xffffff00u);
  EXPECT_EQ(ConfigRead(*c, 0x34, 1) | ConfigRead(*c, 0x40, 1) << 8, 0x0540u);  // MSI at 0x40
}

}  // namespace
