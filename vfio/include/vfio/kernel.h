// The only way the VFIO backend reaches the operating system: the handful of system calls a
// vfio-pci user needs, and the root under which sysfs is read. LinuxKernel makes the real
// calls; the suite puts a model of the kernel's VFIO interface behind the same seam.
//
// Every call returns what the system call returns on success and -errno on failure (errno
// itself is never used, so a model needs no thread-local state).
#pragma once

#include <poll.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace vfio {

class Kernel {
 public:
  virtual ~Kernel() = default;

  virtual int Open(const std::string& path, int flags) = 0;  // a new fd
  virtual int Close(int fd) = 0;
  // An ioctl whose argument is a structure or buffer of the caller's.
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  // An ioctl whose argument is a plain number (VFIO_CHECK_EXTENSION, VFIO_SET_IOMMU).
  virtual int IoctlValue(int fd, unsigned long request, unsigned long value) = 0;
  // A shared mapping of `bytes` at `offset` of fd; *addr gets its address. Returns 0 or -errno.
  virtual int Mmap(int fd, uint64_t offset, size_t bytes, int prot, void** addr) = 0;
  virtual int Munmap(void* addr, size_t bytes) = 0;
  virtual long Pread(int fd, void* buf, size_t bytes, uint64_t offset) = 0;
  virtual long Pwrite(int fd, const void* buf, size_t bytes, uint64_t offset) = 0;
  virtual int EventFd(unsigned int initval, int flags) = 0;
  virtual int Poll(struct pollfd* fds, size_t count, int timeout_ms) = 0;
  // Plain reads and writes, for the eventfds' 8-byte counters.
  virtual long Read(int fd, void* buf, size_t bytes) = 0;
  virtual long Write(int fd, const void* buf, size_t bytes) = 0;
  // RLIMIT_MEMLOCK in bytes; UINT64_MAX stands for no limit. Returns 0 or -errno.
  virtual int MemlockLimit(uint64_t* soft, uint64_t* hard) = 0;

  // Where sysfs is mounted ("/sys" on a real machine).
  virtual const std::string& SysfsRoot() const = 0;
};

// The real system calls, with sysfs at `sysfs_root`.
class LinuxKernel final : public Kernel {
 public:
  explicit LinuxKernel(std::string sysfs_root = "/sys") : sysfs_root_(std::move(sysfs_root)) {}
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* arg) override;
  int IoctlValue(int fd, unsigned long request, unsigned long value) override;
  int Mmap(int fd, uint64_t offset, size_t bytes, int prot, void** addr) override;
  int Munmap(void* addr, size_t bytes) override;
  long Pread(int fd, void* buf, size_t bytes, uint64_t offset) override;
  long Pwrite(int fd, const void* buf, size_t bytes, uint64_t offset) override;
  int EventFd(unsigned int initval, int flags) override;
  int Poll(struct pollfd* fds, size_t count, int timeout_ms) override;
  long Read(int fd, void* buf, size_t bytes) override;
  long Write(int fd, const void* buf, size_t bytes) override;
  int MemlockLimit(uint64_t* soft, uint64_t* hard) override;
  const std::string& SysfsRoot() const override { return sysfs_root_; }

 private:
  std::string sysfs_root_;
};

// "EBUSY (Device or resource busy)" for 16: the name a user can search for, and the words.
std::string ErrnoText(int err);

}  // namespace vfio
