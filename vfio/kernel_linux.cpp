// The seam over the real system calls.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vfio/kernel.h"

namespace vfio {
namespace {

inline int Result(int r) { return r < 0 ? -errno : r; }
inline long Result(ssize_t r) { return r < 0 ? -errno : static_cast<long>(r); }

}  // namespace

int LinuxKernel::Open(const std::string& path, int flags) {
  return Result(::open(path.c_str(), flags | O_CLOEXEC));
}

int LinuxKernel::Close(int fd) { return Result(::close(fd)); }

int LinuxKernel::Ioctl(int fd, unsigned long request, void* arg) {
  return Result(::ioctl(fd, request, arg));
}

int LinuxKernel::IoctlValue(int fd, unsigned long request, unsigned long value) {
  return Result(::ioctl(fd, request, value));
}

int LinuxKernel::Mmap(int fd, uint64_t offset, size_t bytes, int prot, void** addr) {
  void* p = ::mmap(nullptr, bytes, prot, MAP_SHARED, fd, static_cast<off_t>(offset));
  if (p == MAP_FAILED) return -errno;
  *addr = p;
  return 0;
}

int LinuxKernel::Munmap(void* addr, size_t bytes) { return Result(::munmap(addr, bytes)); }

long LinuxKernel::Pread(int fd, void* buf, size_t bytes, uint64_t offset) {
  return Result(::pread(fd, buf, bytes, static_cast<off_t>(offset)));
}

long LinuxKernel::Pwrite(int fd, const void* buf, size_t bytes, uint64_t offset) {
  return Result(::pwrite(fd, buf, bytes, static_cast<off_t>(offset)));
}

int LinuxKernel::EventFd(unsigned int initval, int flags) {
  return Result(::eventfd(initval, flags));
}

int LinuxKernel::Poll(struct pollfd* fds, size_t count, int timeout_ms) {
  return Result(::poll(fds, static_cast<nfds_t>(count), timeout_ms));
}

long LinuxKernel::Read(int fd, void* buf, size_t bytes) { return Result(::read(fd, buf, bytes)); }

long LinuxKernel::Write(int fd, const void* buf, size_t bytes) {
  return Result(::write(fd, buf, bytes));
}

int LinuxKernel::MemlockLimit(uint64_t* soft, uint64_t* hard) {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_MEMLOCK, &limit) != 0) return -errno;
  *soft = limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
  *hard = limit.rlim_max == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_max);
  return 0;
}

std::string ErrnoText(int err) {
  // The _np forms are thread-safe, unlike strerror; the interrupt thread may report too.
  const char* name = strerrorname_np(err);
  const char* words = strerrordesc_np(err);
  std::string text = name ? name : "errno " + std::to_string(err);
  if (words) text += std::string(" (") + words + ")";
  return text;
}

}  // namespace vfio
