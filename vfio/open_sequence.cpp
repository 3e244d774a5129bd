// The open: sysfs read again, then the container, the group, the IOMMU, the device and its
// regions and interrupts, and bus mastering, in the order the VFIO interface requires. A step
// that fails says why (its advice, vfio/advice.h, where the user can do something about it)
// and leaves what it took for Open's Close to release.
#include <fcntl.h>
#include <linux/vfio.h>

#include <cerrno>
#include <string>

#include "bars.h"
#include "dma_maps.h"
#include "failure.h"
#include "interrupts.h"
#include "vfio/advice.h"
#include "vfio/board.h"

namespace vfio {

WdcStatus VfioBoard::Open(const wdc::DmaConstraints& dma) {
  const uint64_t bus_limit = dma.bus_limit;
  const uint32_t page_bytes = dma.page_bytes;
  if (IsOpen()) return WDC_STATUS_DEVICE_BUSY;
  if (page_bytes == 0 || (page_bytes & (page_bytes - 1)) != 0 || bus_limit <= page_bytes)
    return WDC_STATUS_INVALID_PARAMETER;
  dma_->SetConstraints(bus_limit, page_bytes);
  const WdcStatus status = OpenSteps();
  if (status != WDC_STATUS_SUCCESS) Close();
  return status;
}

WdcStatus VfioBoard::OpenSteps() {
  // sysfs again: the user may have rebound the board since the scan.
  const std::string bdf = function_.bdf;
  PciFunction now;
  if (!ReadPciFunction(kernel_.SysfsRoot(), bdf, &now))
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf + " is no longer in sysfs (" +
                                             kernel_.SysfsRoot() + "/bus/pci/devices)");
  function_.driver = now.driver;
  function_.iommu_group = now.iommu_group;

  // Without an IOMMU vfio-pci cannot take the board at all, so this comes before the driver.
  if (function_.iommu_group < 0) return Fail(AdviseNoIommu(bdf));
  if (function_.driver != kAccessDriver) return Fail(AdviseNotBound(bdf, function_.driver));

  WdcStatus status = OpenContainer();
  if (status == WDC_STATUS_SUCCESS) status = OpenGroup();
  if (status == WDC_STATUS_SUCCESS) status = dma_->Open(container_fd_);
  if (status == WDC_STATUS_SUCCESS) status = OpenDevice();
  if (status == WDC_STATUS_SUCCESS) status = bars_->SetBusMaster(true);
  return status;
}

WdcStatus VfioBoard::OpenContainer() {
  const std::string& bdf = function_.bdf;
  const int fd = kernel_.Open(kContainerPath, O_RDWR);
  if (fd < 0) return Fail(AdviseFileRefused(kContainerPath, -fd, bdf));
  container_fd_ = fd;
  const int version = kernel_.IoctlValue(fd, VFIO_GET_API_VERSION, 0);
  if (version < 0) return CallFailed("VFIO_GET_API_VERSION", -version, bdf);
  if (version != VFIO_API_VERSION)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the kernel's VFIO interface is version " +
                                             std::to_string(version) + ", not " +
                                             std::to_string(VFIO_API_VERSION));
  // v2 refuses to unmap part of a mapping, which is what we want; v1 is the fallback.
  for (int type : {VFIO_TYPE1v2_IOMMU, VFIO_TYPE1_IOMMU}) {
    if (kernel_.IoctlValue(fd, VFIO_CHECK_EXTENSION, static_cast<unsigned long>(type)) > 0) {
      iommu_type_ = type;
      return WDC_STATUS_SUCCESS;
    }
  }
  return Fail(WDC_STATUS_SYSTEM_ERROR,
              "the kernel offers no type-1 IOMMU for VFIO (module vfio_iommu_type1 missing?)");
}

WdcStatus VfioBoard::OpenGroup() {
  const std::string& bdf = function_.bdf;
  const int group = function_.iommu_group;
  const std::string path = "/dev/vfio/" + std::to_string(group);
  const int fd = kernel_.Open(path, O_RDWR);
  if (fd < 0) return Fail(AdviseFileRefused(path, -fd, bdf));
  group_fd_ = fd;

  vfio_group_status group_status = {};
  group_status.argsz = sizeof group_status;
  if (int r = kernel_.Ioctl(fd, VFIO_GROUP_GET_STATUS, &group_status); r < 0)
    return CallFailed("VFIO_GROUP_GET_STATUS", -r, bdf);
  if (!(group_status.flags & VFIO_GROUP_FLAGS_VIABLE))
    return Fail(AdviseGroupNotViable(group, bdf, GroupMembers(kernel_.SysfsRoot(), group)));
  int container = container_fd_;
  if (int r = kernel_.Ioctl(fd, VFIO_GROUP_SET_CONTAINER, &container); r < 0)
    return CallFailed("VFIO_GROUP_SET_CONTAINER", -r, bdf);
  if (int r = kernel_.IoctlValue(container_fd_, VFIO_SET_IOMMU,
                                 static_cast<unsigned long>(iommu_type_));
      r < 0)
    return CallFailed("VFIO_SET_IOMMU", -r, bdf, -r == EPERM ? AdviseUnsafeInterrupts() : "");
  return WDC_STATUS_SUCCESS;
}

WdcStatus VfioBoard::OpenDevice() {
  const std::string& bdf = function_.bdf;
  const int fd = kernel_.Ioctl(group_fd_, VFIO_GROUP_GET_DEVICE_FD, const_cast<char*>(bdf.c_str()));
  if (fd == -EBUSY) return Fail(AdviseDeviceHeld(bdf));
  if (fd < 0) return CallFailed("VFIO_GROUP_GET_DEVICE_FD", -fd, bdf);
  device_fd_ = fd;

  vfio_device_info info = {};
  info.argsz = sizeof info;
  if (int r = kernel_.Ioctl(fd, VFIO_DEVICE_GET_INFO, &info); r < 0)
    return CallFailed("VFIO_DEVICE_GET_INFO", -r, bdf);
  if (info.num_regions <= VFIO_PCI_CONFIG_REGION_INDEX || info.num_irqs <= VFIO_PCI_MSI_IRQ_INDEX)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf + " is not a vfio-pci device");
  WdcStatus status = bars_->Open(fd);
  if (status == WDC_STATUS_SUCCESS) status = interrupts_->Probe(fd);
  return status;
}

}  // namespace vfio
