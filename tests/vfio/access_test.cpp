// BAR accesses and DMA mappings.
#include <sys/mman.h>

#include <numeric>

#include "fixture.h"

namespace vfio_test {
namespace {

using ::testing::HasSubstr;

TEST_F(VfioTest, BarAccessGoesThroughTheMappingOrPreadAtItsExactWidth) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  EXPECT_EQ(Board().Window(0).base, device.bar0);
  EXPECT_EQ(Board().Window(0).bytes, 4096u);
  EXPECT_EQ(Board().Window(1).base, nullptr);

  // BAR0, mapped: little-endian bytes where they belong.
  ASSERT_EQ(Board().Write(0, 8, 8, 0x1122334455667788), WDC_STATUS_SUCCESS);
  EXPECT_EQ(device.bar0[8], 0x88);
  EXPECT_EQ(device.bar0[15], 0x11);
  uint64_t v = 0;
  ASSERT_EQ(Board().Read(0, 12, 4, &v), WDC_STATUS_SUCCESS);
  EXPECT_EQ(v, 0x11223344u);
  ASSERT_EQ(Board().Read(0, 8, 2, &v), WDC_STATUS_SUCCESS);
  EXPECT_EQ(v, 0x7788u);

  // BAR1, not mappable: pread/pwrite of exactly the access's width.
  ASSERT_EQ(Board().Write(1, 6, 2, 0xBEEF), WDC_STATUS_SUCCESS);
  EXPECT_EQ(device.bar1[5], 0xAA);
  EXPECT_EQ(device.bar1[6], 0xEF);
  EXPECT_EQ(device.bar1[7], 0xBE);
  EXPECT_EQ(device.bar1[8], 0xAA);
  ASSERT_EQ(Board().Read(1, 4, 4, &v), WDC_STATUS_SUCCESS);
  EXPECT_EQ(v, 0xBEEFAAAAu);
  ASSERT_EQ(Board().Read(1, 248, 8, &v), WDC_STATUS_SUCCESS);
  EXPECT_EQ(v, 0xAAAAAAAAAAAAAAAAu);
  EXPECT_EQ(device.bar1_widths, (std::vector<size_t>{2, 4, 8}));

  // Refusals touch nothing.
  EXPECT_EQ(Board().Write(1, 2, 4, 0), WDC_STATUS_MISALIGNED);
  EXPECT_EQ(Board().Write(0, 4095, 2, 0), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(Board().Read(1, 256, 1, &v), WDC_STATUS_OUT_OF_RANGE);
  EXPECT_EQ(Board().Read(0, 4088, 16, &v), WDC_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Board().Read(2, 0, 4, &v), WDC_STATUS_BAD_ADDR_SPACE);
  EXPECT_EQ(device.bar1[2], 0xAA);
  EXPECT_EQ(device.bar0[4095], 0);
  EXPECT_EQ(device.bar1_widths.size(), 3u);
}

TEST_F(VfioTest, ContiguousLockIsOneBusRangeInItsDirectionUntilUnlocked) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  wdc::DmaMapping m;
  ASSERT_EQ(Board().DmaAllocContig(10000, wdc::DmaDir::kFromDevice, &m), WDC_STATUS_SUCCESS);
  ASSERT_EQ(m.pages.size(), 1u);
  EXPECT_EQ(m.pages[0].dwBytes, 10000u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(m.host) % 4096, 0u);
  const uint64_t bus_addr = m.pages[0].pPhysicalAddr;

  std::vector<uint8_t> data(10000);
  std::iota(data.begin(), data.end(), 0);
  ASSERT_TRUE(bus->DmaWrite(bus_addr, data.data(), data.size()));
  EXPECT_EQ(std::memcmp(m.host, data.data(), data.size()), 0);
  // A from-device lock is not the device's to read.
  EXPECT_FALSE(bus->DmaRead(bus_addr, data.data(), 4));
  EXPECT_EQ(model.Faults(), 1u);

  Board().DmaUnmap(&m);
  EXPECT_EQ(model.DmaMaps(), 0u);
  EXPECT_EQ(model.PinnedBytes(), 0u);
  EXPECT_FALSE(bus->DmaWrite(bus_addr, data.data(), 4));
}

TEST_F(VfioTest, BusAddressesStayBelowTheLimitAndOutsideTheReservedRanges) {
  AddBoard();
  // Besides the MSI window the kernel reserves 2-3 MiB here (as for a firmware region).
  const uint64_t low_first = 0x200000, low_end = 0x300000;
  const uint64_t msi_first = 0xFEE00000, msi_end = 0xFEF00000;
  model.iova_ranges = {{0, low_first - 1}, {low_end, msi_first - 1}, {msi_end, uint64_t{1} << 39}};
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  // Address space only: neither the backend nor the model touches locked memory.
  const size_t span = 0xFF000000;
  void* space = mmap(nullptr, span, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(space, MAP_FAILED);
  uint8_t* host = static_cast<uint8_t*>(space);

  auto lock = [&](uint64_t bytes, wdc::DmaMapping* m) {
    return Board().DmaMapUser(host, static_cast<uint32_t>(bytes), wdc::DmaDir::kToDevice, m);
  };
  auto first = [](const wdc::DmaMapping& m) { return m.pages.front().pPhysicalAddr; };
  auto end = [](const wdc::DmaMapping& m) {
    return m.pages.back().pPhysicalAddr + m.pages.back().dwBytes;
  };
  // a starts above the low reservation and ends 8 MiB short of the MSI window; b (16 MiB) fits
  // only above the window, c (8 MiB) in the gap before it; d (2 MiB) fits neither below the
  // low reservation nor in the 1 MiB left under 4 GiB.
  wdc::DmaMapping a, b, c, d, e, whole_low, whole_high;
  ASSERT_EQ(lock(msi_first - low_end - 0x800000, &a), WDC_STATUS_SUCCESS);
  ASSERT_EQ(lock(16 << 20, &b), WDC_STATUS_SUCCESS);
  ASSERT_EQ(lock(8 << 20, &c), WDC_STATUS_SUCCESS);
  EXPECT_EQ(lock(2 << 20, &d), WDC_STATUS_NO_MEMORY);
  ASSERT_EQ(lock(1 << 20, &e), WDC_STATUS_SUCCESS);
  EXPECT_EQ(first(a), low_end);
  EXPECT_EQ(first(b), msi_end);
  EXPECT_EQ(end(b), msi_end + (16 << 20));
  EXPECT_EQ(end(c), msi_first);
  EXPECT_LT(end(e), low_first);

  // Freed ranges join their neighbours: each of these fits only in two ranges merged.
  Board().DmaUnmap(&b);
  ASSERT_EQ(lock(kBusLimit - msi_end, &whole_high), WDC_STATUS_SUCCESS);
  Board().DmaUnmap(&a);
  Board().DmaUnmap(&c);
  ASSERT_EQ(lock(msi_first - low_end, &whole_low), WDC_STATUS_SUCCESS);
  EXPECT_EQ(first(whole_low), low_end);
  Board().Close();
  munmap(space, span);
}

TEST_F(VfioTest, ScatterGatherPagesSplitAtHostPagesAndReachTheirBytes) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  std::vector<uint8_t> storage(5 * 4096);
  uint8_t* page = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(storage.data()) + 4095) /
                                             4096 * 4096);
  uint8_t* buf = page + 0x123;
  const uint32_t bytes = 2 * 4096 + 100;
  for (uint32_t i = 0; i < bytes; ++i) buf[i] = static_cast<uint8_t>(i * 13 + 7);

  wdc::DmaMapping m;
  ASSERT_EQ(Board().DmaMapUser(buf, bytes, wdc::DmaDir::kToDevice, &m), WDC_STATUS_SUCCESS);
  ASSERT_EQ(m.pages.size(), 3u);
  EXPECT_EQ(m.pages[0].dwBytes, 4096u - 0x123);
  EXPECT_EQ(m.pages[1].dwBytes, 4096u);
  EXPECT_EQ(m.pages[2].dwBytes, 100u + 0x123);
  EXPECT_EQ(m.pages[0].pPhysicalAddr % 4096, 0x123u);
  uint32_t offset = 0;
  for (const WdcDmaPage& p : m.pages) {
    std::vector<uint8_t> seen(p.dwBytes);
    ASSERT_TRUE(bus->DmaRead(p.pPhysicalAddr, seen.data(), seen.size()));
    EXPECT_EQ(std::memcmp(seen.data(), buf + offset, seen.size()), 0);
    offset += p.dwBytes;
  }
  Board().DmaUnmap(&m);
}

TEST_F(VfioTest, TwoLocksSharingAHostPageBothWork) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  alignas(4096) static uint8_t page[4096];
  wdc::DmaMapping first, second;
  ASSERT_EQ(Board().DmaMapUser(page + 100, 1000, wdc::DmaDir::kFromDevice, &first),
            WDC_STATUS_SUCCESS);
  ASSERT_EQ(Board().DmaMapUser(page + 1100, 1000, wdc::DmaDir::kFromDevice, &second),
            WDC_STATUS_SUCCESS);
  const uint8_t one[4] = {1, 1, 1, 1}, two[4] = {2, 2, 2, 2};
  ASSERT_TRUE(bus->DmaWrite(first.pages[0].pPhysicalAddr, one, 4));
  ASSERT_TRUE(bus->DmaWrite(second.pages[0].pPhysicalAddr, two, 4));
  EXPECT_EQ(page[100], 1);
  EXPECT_EQ(page[1100], 2);

  const uint64_t first_bus = first.pages[0].pPhysicalAddr;
  Board().DmaUnmap(&first);
  EXPECT_FALSE(bus->DmaWrite(first_bus, one, 4));
  ASSERT_TRUE(bus->DmaWrite(second.pages[0].pPhysicalAddr + 4, two, 4));
  EXPECT_EQ(page[1104], 2);
  Board().DmaUnmap(&second);
  EXPECT_EQ(model.DmaMaps(), 0u);
}

TEST_F(VfioTest, LockLimitSaysWhatTheLocksNeedAndHowToRaiseIt) {
  AddBoard();
  model.memlock_soft = 8 << 20;
  model.memlock_hard = 64 << 20;
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  std::vector<uint8_t> big(16 << 20);
  wdc::DmaMapping m;
  EXPECT_EQ(
      Board().DmaMapUser(big.data(), static_cast<uint32_t>(big.size()), wdc::DmaDir::kToDevice, &m),
      WDC_STATUS_LOCK_LIMIT);
  const std::string text = DetailOf(WDC_STATUS_LOCK_LIMIT);
  EXPECT_THAT(text, HasSubstr("`ulimit -l` is 8192"));
  EXPECT_THAT(text, HasSubstr("100 MiB"));
  // As far as the hard limit the user may raise it alone.
  EXPECT_THAT(text, HasSubstr("`ulimit -l 65536`"));
  EXPECT_THAT(text, HasSubstr("/etc/security/limits.conf"));
  EXPECT_EQ(model.DmaMaps(), 0u);
}

}  // namespace
}  // namespace vfio_test
