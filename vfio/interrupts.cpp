#include "interrupts.h"

#include <linux/vfio.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "failure.h"

namespace vfio {

WdcStatus Interrupts::Probe(int device_fd) {
  device_fd_ = device_fd;
  index_ = kNoIrq;
  has_intx_ = false;
  for (int index : {kIntx, kMsi}) {
    vfio_irq_info irq = {};
    irq.argsz = sizeof irq;
    irq.index = static_cast<uint32_t>(index);
    if (int r = kernel_.Ioctl(device_fd, VFIO_DEVICE_GET_IRQ_INFO, &irq); r < 0)
      return CallFailed("VFIO_DEVICE_GET_IRQ_INFO", -r, bdf_);
    if (irq.count > 0 && (irq.flags & VFIO_IRQ_INFO_EVENTFD)) {
      index_ = static_cast<IrqIndex>(index);
      has_intx_ |= index == kIntx;
    }
  }
  return WDC_STATUS_SUCCESS;
}

void Interrupts::Close() {
  if (enabled_.load()) Detach();
  ReleaseFds();
  index_ = kNoIrq;
  device_fd_ = -1;
}

void Interrupts::ReleaseFds() {
  for (int* fd : {&irq_fd_, &stop_fd_}) {
    if (*fd >= 0) kernel_.Close(*fd);
    *fd = -1;
  }
}

WdcStatus Interrupts::Attach() {
  if (device_fd_ < 0 || index_ == kNoIrq)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf_ + " has no interrupt to enable");
  if (enabled_.load()) Detach();
  ReleaseFds();  // the previous attach's, now that its waiter is gone
  irq_fd_ = kernel_.EventFd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  stop_fd_ = kernel_.EventFd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (irq_fd_ < 0 || stop_fd_ < 0) {
    const int err = irq_fd_ < 0 ? -irq_fd_ : -stop_fd_;
    irq_fd_ = irq_fd_ < 0 ? -1 : irq_fd_;
    stop_fd_ = stop_fd_ < 0 ? -1 : stop_fd_;
    ReleaseFds();
    return CallFailed("eventfd", err, bdf_);
  }
  int r = Enable(index_);
  // A board may offer MSI that the host cannot give it (MSI off in the kernel, pci=nomsi, or no
  // vectors left): its INTx line serves instead, from now on.
  if (r < 0 && index_ == kMsi && has_intx_ && Enable(kIntx) == 0) {
    index_ = kIntx;
    r = 0;
  }
  if (r < 0) {
    ReleaseFds();
    return CallFailed("VFIO_DEVICE_SET_IRQS", -r, bdf_);
  }
  enabled_.store(true);
  return WDC_STATUS_SUCCESS;
}

int Interrupts::Enable(IrqIndex index) {
  union {
    vfio_irq_set head;
    uint8_t bytes[sizeof(vfio_irq_set) + sizeof(int32_t)];
  } set = {};
  set.head.argsz = sizeof set;
  set.head.flags = VFIO_IRQ_SET_DATA_EVENTFD | VFIO_IRQ_SET_ACTION_TRIGGER;
  set.head.index = static_cast<uint32_t>(index);
  set.head.start = 0;
  set.head.count = 1;
  const int32_t fd = irq_fd_;
  std::memcpy(set.bytes + sizeof(vfio_irq_set), &fd, sizeof fd);
  return kernel_.Ioctl(device_fd_, VFIO_DEVICE_SET_IRQS, &set);
}

uint32_t Interrupts::Wait() {
  const int irq = irq_fd_, stop = stop_fd_;
  if (irq < 0 || stop < 0) return 0;
  for (;;) {
    struct pollfd fds[2] = {{stop, POLLIN, 0}, {irq, POLLIN, 0}};
    const int r = kernel_.Poll(fds, 2, -1);
    if (r == -EINTR) continue;
    // The stop stays signalled (it is never read), so every later wait ends here too.
    if (r < 0 || fds[0].revents != 0) return 0;
    if (fds[1].revents & POLLIN) {
      uint64_t count = 0;
      const long n = kernel_.Read(irq, &count, sizeof count);
      if (n == -EAGAIN || n == -EINTR) continue;
      if (n != sizeof count || count == 0) return 0;
      return static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
    }
    // An error on the interrupt's eventfd would be reported at once forever: end the waiting.
    if (fds[1].revents != 0) return 0;
  }
}

void Interrupts::Unmask() {
  if (index_ != kIntx || !enabled_.load()) return;
  vfio_irq_set set = {};
  set.argsz = sizeof set;
  set.flags = VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_UNMASK;
  set.index = VFIO_PCI_INTX_IRQ_INDEX;
  set.start = 0;
  set.count = 1;
  kernel_.Ioctl(device_fd_, VFIO_DEVICE_SET_IRQS, &set);
}

void Interrupts::Detach() {
  // Disabled first, so that nothing fires once the waiter has returned.
  if (enabled_.exchange(false)) {
    vfio_irq_set set = {};
    set.argsz = sizeof set;
    set.flags = VFIO_IRQ_SET_DATA_NONE | VFIO_IRQ_SET_ACTION_TRIGGER;
    set.index = static_cast<uint32_t>(index_);
    set.start = 0;
    set.count = 0;
    kernel_.Ioctl(device_fd_, VFIO_DEVICE_SET_IRQS, &set);
  }
  if (stop_fd_ >= 0) {
    const uint64_t one = 1;
    kernel_.Write(stop_fd_, &one, sizeof one);
  }
}

}  // namespace vfio
