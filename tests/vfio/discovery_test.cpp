// Finding boards in sysfs.
#include "fixture.h"

namespace vfio_test {
namespace {

TEST(Discovery, MatchesInBusOrderWithDomainDriverGroupAndBars) {
  vfio_model::KernelModel model;
  TestDevice a, b, c, other;
  // Added out of order: sysfs lists in no order we may rely on.
  model.AddFunction({"0001:00:01.0", 0x10EE, 0x5050, "vfio-pci", 4, &a});
  model.AddFunction({"0000:03:00.0", 0x10EE, 0x5050, "vfio-pci", 1, &b});
  model.AddFunction({"0000:02:00.0", 0x10EE, 0x7011, "vfio-pci", 2, &other});
  model.AddFunction({"0000:00:1f.0", 0x10EE, 0x5050, "", -1, &c});

  const std::vector<vfio::PciFunction> found =
      vfio::FindPciFunctions(model.SysfsRoot(), 0x10EE, 0x5050);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].bdf, "0000:00:1f.0");
  EXPECT_EQ(found[1].bdf, "0000:03:00.0");
  EXPECT_EQ(found[2].bdf, "0001:00:01.0");
  EXPECT_EQ(found[2].address.domain, 1u);
  EXPECT_EQ(found[0].address.slot, 0x1fu);
  EXPECT_EQ(found[0].driver, "");
  EXPECT_EQ(found[0].iommu_group, -1);
  EXPECT_EQ(found[1].driver, "vfio-pci");
  EXPECT_EQ(found[2].iommu_group, 4);
  // The model places function n's BAR k at 0xE0000000 + n * 16 MiB + k MiB.
  EXPECT_EQ(found[1].bar_base[1], 0xE0000000u + 1 * 0x1000000 + 0x100000);
  EXPECT_EQ(found[1].bar_bytes[0], 4096u);
  EXPECT_EQ(found[1].bar_bytes[1], 256u);
  EXPECT_EQ(found[1].bar_bytes[2], 0u);
  EXPECT_EQ(found[1].irq, 17u);
}

TEST(Discovery, MachinesWithoutThePciBusOrTheBoardGiveEmptyLists) {
  vfio_model::KernelModel model;
  EXPECT_TRUE(vfio::FindPciFunctions(model.SysfsRoot(), 0x10EE, 0x5050).empty());
  EXPECT_TRUE(vfio::FindPciFunctions(model.SysfsRoot() + "/no-such-dir", 0x10EE, 0x5050).empty());
}

}  // namespace
}  // namespace vfio_test
