// The virtual board behind the model, through the VFIO backend: channel-0 transfers reach the
// host through the model's IOMMU, and once the buffer is locked and the interrupt enabled a
// transfer asks nothing of the kernel but the interrupt's wait (and INTx's unmask).
#include <cstring>
#include <map>
#include <string>

#include "fixture.h"
#include "regs/regs.h"
#include "sim_device.h"

namespace vfio_test {
namespace {

// The last transfer's link error lands in the board's AER registers.
sim::Settings WithALinkError() {
  sim::Settings s;
  std::string why;
  EXPECT_TRUE(sim::ParseSettings("aer=bad-tlp:ch0@50", &s, &why)) << why;
  return s;
}

class SimBehindTheModel : public ::testing::TestWithParam<bool> {
 protected:
  SimBehindTheModel() : device(WithALinkError(), 0, GetParam()) {
    vfio_model::FunctionSetup setup = device.Setup();
    setup.device = &device;
    device.Connect(model.AddFunction(setup));
    vfio::PciFunction f;
    EXPECT_TRUE(vfio::ReadPciFunction(model.SysfsRoot(), setup.bdf, &f));
    board = std::make_unique<vfio::VfioBoard>(model, f);
  }
  void Write32(uint32_t offset, uint32_t value) {
    ASSERT_EQ(board->Write(AD_BAR1, offset, 4, value), WDC_STATUS_SUCCESS);
  }

  vfio_model::KernelModel model;
  vfio_sim::SimDevice device;
  std::unique_ptr<vfio::VfioBoard> board;  // last: closed before the device stops
};

TEST_P(SimBehindTheModel, ChannelZeroTransfersCostOnlyTheInterruptWait) {
  constexpr uint32_t kBytes = 4096, kTransfers = 50;
  ASSERT_EQ(board->Open(wdc::DmaConstraints{kBusLimit, 4096}), WDC_STATUS_SUCCESS);
  ASSERT_EQ(board->UsesMsi(), GetParam());
  wdc::DmaMapping m;
  ASSERT_EQ(board->DmaAllocContig(kBytes, wdc::DmaDir::kFromDevice, &m), WDC_STATUS_SUCCESS);
  ASSERT_EQ(board->InterruptAttach(), WDC_STATUS_SUCCESS);
  Write32(INT_CTRL, INT_ENABLE);
  const wdc::DeviceWindow bar0 = board->Window(AD_BAR0);
  ASSERT_NE(bar0.base, nullptr);
  auto* host = static_cast<uint8_t*>(m.host);

  const std::map<std::string, uint64_t> before = model.Calls();
  for (uint32_t i = 0; i < kTransfers; ++i) {
    for (uint32_t k = 0; k < kBytes; ++k) bar0.base[k] = static_cast<uint8_t>(k * 7 + i);
    board->DmaSyncForDevice(m);
    Write32(DMA_CH_ADDR(DMA_CH_INTEGRITY), static_cast<uint32_t>(m.pages[0].pPhysicalAddr));
    Write32(DMA_CH_CTRL(DMA_CH_INTEGRITY), CTRL_FIRST | CTRL_MEM_WRITE | CTRL_LAST | kBytes);
    Write32(DMA_WORD_COUNT, kBytes / 8);
    Write32(DMA_START, 1u << DMA_CH_INTEGRITY);
    ASSERT_EQ(board->InterruptWait(), 1u) << "transfer " << i;
    uint64_t status = 0;
    ASSERT_EQ(board->Read(AD_BAR1, INT_CTRL, 4, &status), WDC_STATUS_SUCCESS);
    EXPECT_EQ(status, INT_CH0_DONE);
    board->InterruptUnmask();
    board->DmaSyncForCpu(m);
    EXPECT_EQ(std::memcmp(host, bar0.base, kBytes), 0) << "transfer " << i;
  }

  // What the transfers asked of the kernel. BAR1 is not mappable in the model (the board acts
  // on each access), so its accesses are preads and pwrites here; on the board they are loads
  // and stores of a mapped BAR.
  std::map<std::string, uint64_t> calls;
  for (const auto& [name, n] : model.Calls()) {
    const uint64_t made = n - (before.count(name) ? before.at(name) : 0);
    if (made && name != "pread" && name != "pwrite") calls[name] = made;
  }
  std::map<std::string, uint64_t> expected = {{"poll", kTransfers}, {"read", kTransfers}};
  if (!GetParam()) expected["VFIO_DEVICE_SET_IRQS"] = kTransfers;  // the unmasks
  EXPECT_EQ(calls, expected);
  EXPECT_EQ(model.Faults(), 0u);
  uint32_t correctable = 0;  // AER's correctable status, at 0x110 of the served board's space
  device.ConfigRead(0x110, &correctable, 4);
  EXPECT_EQ(correctable, 1u << 6) << "Bad TLP at the 50th transfer";

  board->InterruptDetach();
  board->DmaUnmap(&m);
  board->Close();
}

INSTANTIATE_TEST_SUITE_P(Interrupt, SimBehindTheModel, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "Msi" : "Intx"; });

}  // namespace
}  // namespace vfio_test
