#include "vfio/config_file.h"

#include <fcntl.h>
#include <linux/vfio.h>

#include <cerrno>
#include <utility>

#include "vfio/advice.h"

namespace vfio {

ConfigFile::ConfigFile(Kernel& kernel, PciFunction function)
    : kernel_(kernel), function_(std::move(function)) {}

ConfigFile::~ConfigFile() { Close(); }

int ConfigFile::Fail(int err, const std::string& text, std::string* why) {
  Close();
  *why = text;
  return err;
}

int ConfigFile::Open(std::string* why) {
  Close();
  const std::string& bdf = function_.bdf;
  if (function_.iommu_group < 0) return Fail(ENODEV, AdviseNoIommu(bdf).text, why);
  if (function_.driver != kAccessDriver)
    return Fail(ENODEV, AdviseNotBound(bdf, function_.driver).text, why);
  auto call_failed = [&](const char* call, int err) {
    return Fail(err, std::string(call) + " failed for the board at " + bdf + ": " + ErrnoText(err),
                why);
  };
  int fd = kernel_.Open(kContainerPath, O_RDWR);
  if (fd < 0) return Fail(-fd, AdviseFileRefused(kContainerPath, -fd, bdf).text, why);
  container_fd_ = fd;
  if (kernel_.IoctlValue(fd, VFIO_GET_API_VERSION, 0) != VFIO_API_VERSION)
    return Fail(ENOTSUP,
                "the kernel's VFIO interface is not version " + std::to_string(VFIO_API_VERSION),
                why);
  int type = 0;
  for (int t : {VFIO_TYPE1v2_IOMMU, VFIO_TYPE1_IOMMU})
    if (type == 0 &&
        kernel_.IoctlValue(fd, VFIO_CHECK_EXTENSION, static_cast<unsigned long>(t)) > 0)
      type = t;
  if (type == 0) return Fail(ENOTSUP, "the kernel offers no type-1 IOMMU for VFIO", why);

  const std::string group = "/dev/vfio/" + std::to_string(function_.iommu_group);
  fd = kernel_.Open(group, O_RDWR);
  if (fd < 0) return Fail(-fd, AdviseFileRefused(group, -fd, bdf).text, why);
  group_fd_ = fd;
  vfio_group_status status = {};
  status.argsz = sizeof status;
  if (int r = kernel_.Ioctl(fd, VFIO_GROUP_GET_STATUS, &status); r < 0)
    return call_failed("VFIO_GROUP_GET_STATUS", -r);
  if (!(status.flags & VFIO_GROUP_FLAGS_VIABLE))
    return Fail(ENXIO,
                AdviseGroupNotViable(function_.iommu_group, bdf,
                                     GroupMembers(kernel_.SysfsRoot(), function_.iommu_group))
                    .text,
                why);
  // The device comes only once the group is in a container with its IOMMU; no mapping is made.
  int container = container_fd_;
  if (int r = kernel_.Ioctl(fd, VFIO_GROUP_SET_CONTAINER, &container); r < 0)
    return call_failed("VFIO_GROUP_SET_CONTAINER", -r);
  if (int r = kernel_.IoctlValue(container_fd_, VFIO_SET_IOMMU, static_cast<unsigned long>(type));
      r < 0)
    return call_failed("VFIO_SET_IOMMU", -r);
  fd = kernel_.Ioctl(group_fd_, VFIO_GROUP_GET_DEVICE_FD, const_cast<char*>(bdf.c_str()));
  if (fd == -EBUSY) return Fail(EBUSY, AdviseDeviceHeld(bdf).text, why);
  if (fd < 0) return call_failed("VFIO_GROUP_GET_DEVICE_FD", -fd);
  device_fd_ = fd;
  vfio_region_info region = {};
  region.argsz = sizeof region;
  region.index = VFIO_PCI_CONFIG_REGION_INDEX;
  if (int r = kernel_.Ioctl(fd, VFIO_DEVICE_GET_REGION_INFO, &region); r < 0)
    return call_failed("VFIO_DEVICE_GET_REGION_INFO", -r);
  // A configuration space is 256 bytes or 4 KiB; anything else is no PCI function's.
  if (region.size < 64 || region.size > 4096)
    return Fail(EIO,
                "the board at " + bdf + " shows a configuration region of " +
                    std::to_string(region.size) + " bytes through VFIO",
                why);
  offset_ = region.offset;
  size_ = static_cast<uint32_t>(region.size);
  return 0;
}

void ConfigFile::Close() {
  // The device before its group, the group before its container, as the kernel releases them.
  for (int* fd : {&device_fd_, &group_fd_, &container_fd_}) {
    if (*fd >= 0) kernel_.Close(*fd);
    *fd = -1;
  }
  size_ = 0;
  offset_ = 0;
}

long ConfigFile::Read(uint32_t offset, void* dst, size_t bytes) {
  if (device_fd_ < 0 || offset > size_ || bytes > size_ - offset) return -EINVAL;
  return kernel_.Pread(device_fd_, dst, bytes, offset_ + offset);
}

long ConfigFile::Write(uint32_t offset, const void* src, size_t bytes) {
  if (device_fd_ < 0 || offset > size_ || bytes > size_ - offset) return -EINVAL;
  return kernel_.Pwrite(device_fd_, src, bytes, offset_ + offset);
}

}  // namespace vfio
