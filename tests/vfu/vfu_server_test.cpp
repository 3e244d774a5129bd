// The vfio-user layer against a client written here, over a real UNIX socket, serving a small
// fake function. Only what a guest cannot reach: malformed input, clients coming and going,
// DMA served by the client (with its refusals), the INTx rules and bus mastering, and every
// register of the Express endpoint's configuration space.
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board_function.h"
#include "settings.h"
#include "vfu_client.h"

namespace {

using namespace vfu_test;

// An Express endpoint with FLR and AER, trained at Gen2 x4 of a Gen3 x8 link.
vfu::PciFunction TestFunction() {
  vfu::PciFunction f;
  f.vendor_id = 0x10ee;
  f.device_id = 0x5050;
  f.bar_bytes[0] = 4096;
  f.bar_bytes[1] = 256;
  f.intx = f.msi = f.express = f.flr = f.aer = true;
  f.link = {2, 4};
  f.max_link = {3, 8};
  f.max_payload = 512;
  return f;
}

class FakeDevice : public vfu::Device {
 public:
  vfu::PciFunction Function() const override { return fn; }
  vfu::BarRegion Region(uint32_t) override { return {}; }
  uint64_t BarRead(uint32_t, uint64_t, uint32_t) override { return 0; }
  void BarWrite(uint32_t, uint64_t, uint32_t, uint64_t) override {}
  void Reset() override { ++resets; }
  void ClientGone() override { ++gone; }
  vfu::PciFunction fn = TestFunction();
  std::atomic<int> gone{0}, resets{0};
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

// ---- Configuration space of an Express endpoint ------------------------------------------

// The Express capability and AER, where the server puts them, and their registers.
constexpr uint32_t kExp = 0x50, kDevCap = kExp + 4, kDevCtl = kExp + 8, kDevSta = kExp + 10,
                   kLnkCap = kExp + 12, kLnkCtl = kExp + 16, kLnkSta = kExp + 18,
                   kLnkCap2 = kExp + 44, kLnkCtl2 = kExp + 48;
constexpr uint32_t kAer = 0x100, kUncSta = kAer + 4, kUncMask = kAer + 8, kUncSev = kAer + 12,
                   kCorSta = kAer + 16, kCorMask = kAer + 20, kAerCtl = kAer + 24,
                   kHeaderLog = kAer + 28;
using VfuConfig = VfuServer;
constexpr uint16_t kDeviceReset = 13;

std::vector<uint8_t> ConfigBytes(Client& c, uint32_t off, uint32_t n) {
  const Msg m = c.Call(kRegionRead, Region(off, 7, n));
  EXPECT_EQ(m.data.size(), 16 + n) << "config read of " << n << " at " << off;
  return m.data.size() < 16 ? std::vector<uint8_t>{}
                            : std::vector<uint8_t>(m.data.begin() + 16, m.data.end());
}

TEST_F(VfuConfig, ChainOfTheEndpointAndEveryOffsetOfItsFourKiB) {
  auto c = Connect();
  const Msg info = c->Call(kRegionInfo, Bytes({32, 0, 7}, 4));
  ASSERT_EQ(info.data.size(), 32u);
  EXPECT_EQ(At<uint64_t>(&info.data[16]), 4096u) << "the configuration region's size";
  const std::vector<uint8_t> all = ConfigBytes(*c, 0, 4096);
  ASSERT_EQ(all.size(), 4096u);
  // The list: MSI at 0x40, then the Express capability (version 2, an endpoint), its end.
  EXPECT_EQ(all[0x06] & 0x10, 0x10);
  EXPECT_EQ(all[0x34], 0x40);
  EXPECT_EQ(At<uint16_t>(&all[0x40]), 0x5005);
  EXPECT_EQ(At<uint32_t>(&all[kExp]), 0x00020010u);
  // 512-byte payloads, role-based error reporting, FLR; Max_Read_Request 512, relaxed ordering
  // and no snoop at power-on; Gen3 x8 capable with ASPM optionality compliance, Gen2 x4
  // trained, speeds 2.5 to 8 GT/s, the target the highest.
  EXPECT_EQ(At<uint32_t>(&all[kDevCap]), 0x10008002u);
  EXPECT_EQ(At<uint32_t>(&all[kDevCtl]), 0x00002810u);
  EXPECT_EQ(At<uint32_t>(&all[kLnkCap]), 0x00400083u);
  EXPECT_EQ(At<uint32_t>(&all[kLnkCtl]), 0x00420000u);
  EXPECT_EQ(At<uint32_t>(&all[kLnkCap2]), 0x0eu);
  EXPECT_EQ(At<uint32_t>(&all[kLnkCtl2]), 0x3u);
  // AER at 0x100, the last extended capability; Completion Timeout and Unsupported Request
  // non-fatal, Advisory Non-Fatal masked, ECRC generation and checking capable.
  EXPECT_EQ(At<uint32_t>(&all[kAer]), 0x00020001u);
  EXPECT_EQ(At<uint32_t>(&all[kUncSev]), 0x00062010u);
  EXPECT_EQ(At<uint32_t>(&all[kCorMask]), 0x00002000u);
  EXPECT_EQ(At<uint32_t>(&all[kAerCtl]), 0x000000a0u);
  // What an endpoint does not implement reads as zero: the slot, root, second device and
  // second link status registers, and everything after each capability.
  auto zero = [&all](uint32_t from, uint32_t to) {
    for (uint32_t at = from; at < to; ++at) EXPECT_EQ(all[at], 0) << "byte " << std::hex << at;
  };
  zero(kExp + 0x14, kExp + 0x2c);
  zero(kExp + 0x32, 0x100);
  zero(kUncSta, kUncSta + 4);
  zero(kCorSta, kCorSta + 4);
  zero(kHeaderLog, 0x1000);
  // Every access width at every offset reads what the whole space holds there.
  for (uint32_t width : {1u, 2u, 4u, 8u}) {
    for (uint32_t at = 0; at + width <= 4096; ++at) {
      uint64_t want = 0;
      std::memcpy(&want, &all[at], width);
      ASSERT_EQ(ConfigRead(*c, at, width), want) << width << " bytes at " << std::hex << at;
    }
  }
  for (const auto& past : {Region(4096, 7, 1), Region(4093, 7, 4), Region(0, 7, 4097)})
    EXPECT_EQ(c->Errno(kRegionRead, past), EINVAL);
}

TEST_F(VfuConfig, WriteMasksWriteOneToClearAndWhatAnErrorRecords) {
  auto c = Connect();
  const uint32_t lnkcap = static_cast<uint32_t>(ConfigRead(*c, kLnkCap, 4));
  struct Write {
    uint32_t at, width;
    uint64_t value, reads;
  };
  const Write writes[] = {
      {0x00, 4, 0xffffffff, 0x505010ee},      // IDs
      {kDevCap, 4, 0xffffffff, 0x10008002},   // read-only
      {kDevCtl, 2, 0x7fff, 0x78ff},           // no extended tags, phantoms or aux power
      {kLnkCap, 4, 0xffffffff, lnkcap},       // read-only
      {kLnkCtl, 4, 0xffffffff, 0x004200c3},   // ASPM, common clock, extended synch
      {kExp + 0x14, 8, ~0ull, 0},             // a port's slot registers
      {kExp + 0x24, 8, ~0ull, 0},             // no optional device feature
      {kLnkCtl2, 4, 0xffffffff, 0x0000000f},  // the target speed alone
      {kUncSta, 4, 0xffffffff, 0},            // nothing to clear
      {kUncMask, 4, 0xffffffff, 0x001ff010},  // the errors an endpoint can report
      {kUncSev, 4, 0, 0},
      {kCorMask, 4, 0xffffffff, 0x000031c1},
      {kAerCtl, 4, 0xffffffff, 0x000001e0},  // the ECRC enables
      {kHeaderLog, 8, ~0ull, 0},             // read-only
      {0x800, 4, 0xffffffff, 0},             // nothing there
  };
  for (const Write& w : writes) {
    ConfigWrite(*c, w.at, w.value, w.width);
    EXPECT_EQ(ConfigRead(*c, w.at, w.width), w.reads) << "at " << std::hex << w.at;
  }
  ConfigWrite(*c, kUncMask, 1u << 15, 4);  // Completer Abort masked, the rest reported
  ConfigWrite(*c, kCorMask, 0, 4);
  vfu::ErrorReporting& errors = server_->Errors();
  const uint32_t malformed[4] = {0x40000020, 0x000000ff, 0xfee01000, 0};
  const uint32_t unsupported[4] = {0x00000001, 0x0000000f, 0x12345678, 0};
  errors.Correctable(6);                // Bad TLP
  errors.Correctable(0);                // Receiver Error
  errors.Correctable(1);                // no such error
  errors.Uncorrectable(14, nullptr);    // Completion Timeout: the first, no header
  errors.Uncorrectable(18, malformed);  // the first is still pending: not logged
  EXPECT_EQ(ConfigRead(*c, kCorSta, 4), 0x41u);
  EXPECT_EQ(ConfigRead(*c, kUncSta, 4), 0x44000u);
  EXPECT_EQ(ConfigRead(*c, kDevSta, 2), 0x3u) << "correctable and non-fatal: no severity set";
  EXPECT_EQ(ConfigRead(*c, kAerCtl, 4) & 0x1f, 14u);
  EXPECT_EQ(ConfigRead(*c, kHeaderLog, 8), 0u);
  // Write 1 to clear: Completion Timeout goes, Malformed TLP stays; the pointer's error gone,
  // the next unmasked one takes the pointer and the log.
  ConfigWrite(*c, kUncSta, 1u << 14, 4);
  ConfigWrite(*c, kCorSta, 0x1, 4);
  EXPECT_EQ(ConfigRead(*c, kUncSta, 4), 0x40000u);
  EXPECT_EQ(ConfigRead(*c, kCorSta, 4), 0x40u);
  errors.Uncorrectable(15, malformed);  // masked: its status bit alone
  EXPECT_EQ(ConfigRead(*c, kAerCtl, 4) & 0x1f, 14u);
  errors.Uncorrectable(20, unsupported);
  EXPECT_EQ(ConfigRead(*c, kUncSta, 4), 0x148000u);
  EXPECT_EQ(ConfigRead(*c, kAerCtl, 4), 0x1e0u | 20);
  EXPECT_EQ(ConfigBytes(*c, kHeaderLog, 16),
            Cat(Bytes({unsupported[0], unsupported[1]}, 4), Bytes({unsupported[2], 0}, 4)));
  EXPECT_EQ(ConfigRead(*c, kDevSta, 2), 0xbu) << "and Unsupported Request Detected";
  ConfigWrite(*c, kDevSta, 0x0001, 2);
  EXPECT_EQ(ConfigRead(*c, kDevSta, 2), 0xau);
  ConfigWrite(*c, kUncSev, 0x00040000, 4);  // Malformed TLP fatal again
  ConfigWrite(*c, kUncSta, 0xffffffff, 4);
  errors.Uncorrectable(18, malformed);
  EXPECT_EQ(ConfigRead(*c, kDevSta, 2), 0xeu) << "fatal now";
  EXPECT_EQ(ConfigRead(*c, kAerCtl, 4) & 0x1f, 18u);
}

TEST_F(VfuConfig, ResetsKeepTheStickyAndLinkBitsAndPutBackTheRest) {
  auto c = Connect();
  const uint32_t header[4] = {0x4a000001, 0x01000004, 0x00000010, 0};
  int resets = 0;
  for (const bool flr : {true, false}) {
    SCOPED_TRACE(flr ? "FLR" : "DEVICE_RESET");
    ConfigWrite(*c, 0x04, 0x0406, 2);  // memory, bus mastering, INTx disabled
    ConfigWrite(*c, 0x10, 0xfebf0000, 4);
    ConfigWrite(*c, 0x3c, 0x0b, 1);
    ConfigWrite(*c, 0x42, 0x0001, 2);  // MSI on
    ConfigWrite(*c, 0x44, 0xfee00000, 4);
    ConfigWrite(*c, kDevCtl, 0x502f, 2);  // error reporting, 256-byte payloads, 4 KiB reads
    ConfigWrite(*c, kLnkCtl, 0x0040, 2);  // common clock
    ConfigWrite(*c, kLnkCtl2, 0x0001, 2);
    ConfigWrite(*c, kUncMask, 1u << 15, 4);
    ConfigWrite(*c, kUncSev, 0x00066010, 4);
    ConfigWrite(*c, kCorMask, 0x2001, 4);
    ConfigWrite(*c, kAerCtl, 0x140, 4);
    server_->Errors().Correctable(7);
    server_->Errors().Uncorrectable(18, header);
    const std::vector<uint8_t> aer = ConfigBytes(*c, kAer, 0x2c);
    EXPECT_EQ(ConfigRead(*c, kDevSta, 2), 0x5u);
    if (flr) {
      // The write's reply comes once the function is reset.
      ConfigWrite(*c, kDevCtl, 0x502f | 0x8000, 2);
    } else {
      ASSERT_EQ(c->Errno(kDeviceReset, {}), 0);
    }
    EXPECT_EQ(device_.resets, ++resets);
    EXPECT_EQ(ConfigRead(*c, 0x04, 2), 0u) << "bus mastering is off";
    EXPECT_FALSE(Dma([](vfu::DmaSpace& d) { return d.CheckLocked(0x1000, 4, true); }).get());
    EXPECT_EQ(ConfigRead(*c, 0x10, 4), 0u);
    EXPECT_EQ(ConfigRead(*c, 0x3c, 1), 0u);
    EXPECT_EQ(ConfigRead(*c, 0x40, 8), 0x0080'5005u) << "MSI off, its address gone";
    EXPECT_EQ(ConfigRead(*c, kDevCtl, 4), 0x2830u) << "power-on but the payload size";
    EXPECT_EQ(ConfigRead(*c, kLnkCtl, 2), 0x40u);
    EXPECT_EQ(ConfigRead(*c, kLnkCtl2, 2), 0x1u);
    EXPECT_EQ(ConfigBytes(*c, kAer, 0x2c), aer) << "every AER register is sticky";
    ConfigWrite(*c, kUncSta, 0xffffffff, 4);
    ConfigWrite(*c, kCorSta, 0xffffffff, 4);
  }
  EXPECT_TRUE(Logged("reset by function-level reset"));
  EXPECT_TRUE(Logged("reset by DEVICE_RESET"));
}

// The served board's link as FPGA_SIM gives it: Link Capabilities from link-max (by default the
// link), Link Status from link, the speeds vector up to the maximum.
TEST_F(VfuConfig, LinkFieldsFollowTheSettings) {
  struct Case {
    const char* settings;
    uint32_t lnkcap, lnksta, speeds;
  };
  for (const Case& k :
       {Case{"", 0x42, 0x42, 0x06}, Case{"link=gen1x1,link-max=gen3x8", 0x83, 0x11, 0x0e},
        Case{"link=gen3x16", 0x103, 0x103, 0x0e}}) {
    sim::Settings settings;
    std::string why;
    ASSERT_TRUE(sim::ParseSettings(k.settings, &settings, &why)) << why;
    FakeDevice device;
    device.fn = board_server::BoardFunction(settings);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    vfu::Server server({false, [](const std::string&) {}});
    std::thread serve([&] { server.ServeConnection(device, sv[0], -1); });
    {
      Client c(sv[1]);
      c.Version();
      EXPECT_EQ(ConfigRead(c, kLnkCap, 4) & 0x3ff, k.lnkcap) << k.settings;
      EXPECT_EQ(ConfigRead(c, kLnkSta, 2), k.lnksta) << k.settings;
      EXPECT_EQ(ConfigRead(c, kLnkCap2, 4), k.speeds) << k.settings;
    }
    serve.join();
  }
}

}  // namespace
