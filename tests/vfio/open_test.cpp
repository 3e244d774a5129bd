// Opening and closing a board: the failures a user meets, with what their texts tell them,
// and the order in which the board is let go.
#include <linux/vfio.h>

#include "fixture.h"

namespace vfio_test {
namespace {

using ::testing::HasSubstr;

TEST_F(VfioTest, NotBoundNamesTheDriverAndTheRebindCommands) {
  vfio_model::FunctionSetup setup;
  setup.driver = "e1000e";
  AddBoard(setup);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_NOT_BOUND);
  const std::string text = DetailOf(WDC_STATUS_NOT_BOUND);
  EXPECT_THAT(text, HasSubstr("e1000e"));
  EXPECT_THAT(text, HasSubstr("modprobe vfio-pci"));
  EXPECT_THAT(text, HasSubstr("driverctl set-override 0000:03:00.0 vfio-pci"));
  EXPECT_THAT(text, HasSubstr("echo vfio-pci > /sys/bus/pci/devices/0000:03:00.0/driver_override"));
  EXPECT_THAT(text,
              HasSubstr("echo 0000:03:00.0 > /sys/bus/pci/devices/0000:03:00.0/driver/unbind"));
  EXPECT_THAT(text, HasSubstr("echo 0000:03:00.0 > /sys/bus/pci/drivers_probe"));
  ExpectAllReleased();
}

TEST_F(VfioTest, UnboundBoardHasNoUnbindStep) {
  vfio_model::FunctionSetup setup;
  setup.driver = "";
  AddBoard(setup);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_NOT_BOUND);
  EXPECT_THAT(DetailOf(WDC_STATUS_NOT_BOUND), HasSubstr("no driver"));
  EXPECT_THAT(DetailOf(WDC_STATUS_NOT_BOUND), ::testing::Not(HasSubstr("unbind")));
}

TEST_F(VfioTest, NoIommuGroupSaysHowToTurnTheIommuOn) {
  vfio_model::FunctionSetup setup;
  setup.group = -1;
  AddBoard(setup);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_NO_IOMMU);
  EXPECT_THAT(DetailOf(WDC_STATUS_NO_IOMMU), HasSubstr("intel_iommu=on"));
  EXPECT_THAT(DetailOf(WDC_STATUS_NO_IOMMU), HasSubstr("VT-d"));
  ExpectAllReleased();
}

TEST_F(VfioTest, GroupNotViableNamesTheOtherDeviceAndItsDriver) {
  AddBoard();
  model.AddFunction({"0000:03:00.1", 0x8086, 0x1234, "snd_hda_intel", 1, nullptr});
  EXPECT_EQ(OpenBoard(), WDC_STATUS_GROUP_NOT_VIABLE);
  const std::string text = DetailOf(WDC_STATUS_GROUP_NOT_VIABLE);
  EXPECT_THAT(text, HasSubstr("0000:03:00.1 (driver snd_hda_intel)"));
  EXPECT_THAT(text, HasSubstr("vfio-pci or to no driver"));
  ExpectAllReleased();
}

TEST_F(VfioTest, RefusedDeviceFilesNameTheFileAndHowToGrantIt) {
  AddBoard();
  model.FailNext("open /dev/vfio/1", EACCES);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_NO_PERMISSION);
  EXPECT_THAT(DetailOf(WDC_STATUS_NO_PERMISSION), HasSubstr("chown $USER /dev/vfio/1"));
  EXPECT_THAT(DetailOf(WDC_STATUS_NO_PERMISSION), HasSubstr("udev"));
  ExpectAllReleased();

  model.FailNext("open /dev/vfio/vfio", EPERM);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_NO_PERMISSION);
  EXPECT_THAT(DetailOf(WDC_STATUS_NO_PERMISSION), HasSubstr("chmod 0666 /dev/vfio/vfio"));

  // Any other errno is a system error with its name.
  model.FailNext("open /dev/vfio/vfio", ENOENT);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_SYSTEM_ERROR);
  EXPECT_THAT(DetailOf(WDC_STATUS_SYSTEM_ERROR), HasSubstr("ENOENT"));
  EXPECT_THAT(DetailOf(WDC_STATUS_SYSTEM_ERROR), HasSubstr("modprobe vfio-pci"));
  ExpectAllReleased();
}

TEST_F(VfioTest, BoardHeldElsewhereIsBusy) {
  AddBoard();
  model.FailNext(VFIO_GROUP_GET_DEVICE_FD, EBUSY);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_DEVICE_BUSY);
  EXPECT_THAT(DetailOf(WDC_STATUS_DEVICE_BUSY), HasSubstr("another process"));
  ExpectAllReleased();

  // A second holder in this process meets the group file already open.
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  vfio::VfioBoard second(model, Board().Function());
  EXPECT_EQ(second.Open(wdc::DmaConstraints{kBusLimit, 4096}), WDC_STATUS_DEVICE_BUSY);
  EXPECT_THAT(DetailOf(WDC_STATUS_DEVICE_BUSY), HasSubstr("/dev/vfio/1"));
}

TEST_F(VfioTest, SetIommuRefusedNamesTheCallTheErrnoAndTheRemedy) {
  AddBoard();
  model.FailNext(VFIO_SET_IOMMU, EPERM);
  EXPECT_EQ(OpenBoard(), WDC_STATUS_SYSTEM_ERROR);
  const std::string text = DetailOf(WDC_STATUS_SYSTEM_ERROR);
  EXPECT_THAT(text, HasSubstr("VFIO_SET_IOMMU"));
  EXPECT_THAT(text, HasSubstr("EPERM"));
  EXPECT_THAT(text, HasSubstr("allow_unsafe_interrupts"));
  ExpectAllReleased();
}

TEST_F(VfioTest, FailedOpenAtEachStepReleasesWhatItTook) {
  AddBoard();
  // Every step of the sequence, in order; the last ones fail after the BARs are mapped.
  const char* steps[] = {"open /dev/vfio/vfio",
                         "VFIO_GET_API_VERSION",
                         "open /dev/vfio/1",
                         "VFIO_GROUP_GET_STATUS",
                         "VFIO_GROUP_SET_CONTAINER",
                         "VFIO_SET_IOMMU",
                         "VFIO_IOMMU_GET_INFO",
                         "VFIO_GROUP_GET_DEVICE_FD",
                         "VFIO_DEVICE_GET_INFO",
                         "VFIO_DEVICE_GET_REGION_INFO",
                         "VFIO_DEVICE_GET_IRQ_INFO",
                         "pread",
                         "pwrite"};
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    model.FailNext(step, EIO);
    EXPECT_NE(OpenBoard(), WDC_STATUS_SUCCESS);
    EXPECT_FALSE(Board().IsOpen());
    ExpectAllReleased();
    Board().Close();  // after a failed open: nothing more to release, and no harm
  }
  EXPECT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
}

TEST_F(VfioTest, CloseSilencesTheBoardBeforeItsMemoryAndFilesGo) {
  AddBoard();
  ASSERT_EQ(OpenBoard(), WDC_STATUS_SUCCESS);
  EXPECT_EQ(device.config[4] & 0x4, 0x4);  // bus mastering on
  ASSERT_EQ(Board().InterruptAttach(), WDC_STATUS_SUCCESS);
  wdc::DmaMapping mapping;
  ASSERT_EQ(Board().DmaAllocContig(8192, wdc::DmaDir::kFromDevice, &mapping), WDC_STATUS_SUCCESS);

  const size_t before = model.Log().size();
  Board().Close();
  const std::vector<std::string> log = model.Log();
  const std::vector<std::string> closing(log.begin() + static_cast<long>(before), log.end());
  const std::vector<std::string> expected = {
      "interrupts off", "bus master off", "VFIO_IOMMU_UNMAP_DMA", "munmap",
      "close device",   "close group",    "close container"};
  EXPECT_EQ(closing, expected);
  ExpectAllReleased();

  Board().Close();
  EXPECT_EQ(model.Log().size(), log.size());
}

}  // namespace
}  // namespace vfio_test
