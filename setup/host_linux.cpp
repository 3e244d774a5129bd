// The machine itself: the real files, users and limits, and modprobe.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "setup/setup.h"
#include "vfio/kernel.h"

namespace setup {
namespace {

// Runs argv (a program found in PATH) and returns its exit status; 127 when it cannot start.
int Run(const char* const* argv) {
  const pid_t pid = ::fork();
  if (pid < 0) return 127;
  if (pid == 0) {
    ::execvp(argv[0], const_cast<char* const*>(argv));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return 127;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Linux final : public Host {
 public:
  const std::string& SysfsRoot() const override { return root_; }

  int TryOpen(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
  }

  bool Stat(const std::string& path, FileInfo* info) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *info = {st.st_uid, st.st_gid, st.st_mode & 07777};
    return true;
  }

  int MemlockLimit(uint64_t* soft, uint64_t* hard) override {
    return vfio::LinuxKernel().MemlockLimit(soft, hard);
  }

  bool Privileged() override { return ::geteuid() == 0; }
  std::string CallerName() override { return UserName(::geteuid()); }

  std::string UserName(uint32_t uid) override {
    const passwd* pw = ::getpwuid(uid);
    return pw ? pw->pw_name : std::to_string(uid);
  }

  std::string GroupName(uint32_t gid) override {
    const group* gr = ::getgrgid(gid);
    return gr ? gr->gr_name : std::to_string(gid);
  }

  bool LookupUser(const std::string& name, uint32_t* uid) override {
    const passwd* pw = ::getpwnam(name.c_str());
    if (pw == nullptr) return false;
    *uid = pw->pw_uid;
    return true;
  }

  int WriteFile(const std::string& path, const std::string& text) override {
    // One write: sysfs takes a store's whole value from a single call.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int e = n < 0 ? errno : 0;
    ::close(fd);
    return e;
  }

  long ReadAt(const std::string& path, uint64_t offset, void* buf, size_t bytes) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    const ssize_t n = ::pread(fd, buf, bytes, static_cast<off_t>(offset));
    const long r = n < 0 ? -errno : static_cast<long>(n);
    ::close(fd);
    return r;
  }

  long WriteAt(const std::string& path, uint64_t offset, const void* buf, size_t bytes) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return -errno;
    const ssize_t n = ::pwrite(fd, buf, bytes, static_cast<off_t>(offset));
    const long r = n < 0 ? -errno : static_cast<long>(n);
    ::close(fd);
    return r;
  }

  vfio::Kernel& Vfio() override { return kernel_; }

  int LoadModule(const std::string& name) override {
    const char* argv[] = {"modprobe", name.c_str(), nullptr};
    return Run(argv);
  }

  int Chown(const std::string& path, uint32_t uid) override {
    // udev may still be handling the group file vfio-pci has just made; once it is done its
    // defaults cannot undo the owner given here.
    if (::access("/run/udev/control", F_OK) == 0) {
      const char* argv[] = {"udevadm", "settle", "--timeout=5", nullptr};
      Run(argv);
    }
    return ::chown(path.c_str(), uid, static_cast<gid_t>(-1)) == 0 ? 0 : errno;
  }

 private:
  std::string root_ = "/sys";
  vfio::LinuxKernel kernel_{root_};
};

}  // namespace

std::unique_ptr<Host> LinuxHost() { return std::make_unique<Linux>(); }

}  // namespace setup
