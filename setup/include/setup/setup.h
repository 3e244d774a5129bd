// fpga-diag-setup's logic: the status report of every board and of the machine around it, and
// binding a board to vfio-pci and back. It reads sysfs through the VFIO backend's discovery
// (vfio/discovery.h) and words every problem with the backend's own advice (vfio/advice.h), so
// that what this tool calls ready is what the utility can open. Everything it asks of the
// machine goes through Host, so the suite can run it over a sysfs tree of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "setup/pcie_errors.h"
#include "vfio/discovery.h"
#include "vfio/kernel.h"

namespace setup {

inline constexpr uint32_t kVendorId = 0x10EE;
inline constexpr uint32_t kDeviceId = 0x5050;

// The most a whole run of the utility pins at once through vfio-pci. The backloop test holds
// the most: two 50 MiB scatter/gather buffers from malloc (not page-aligned, so each spans one
// page more) and, beside them, one contiguous descriptor table for each (8 bytes a page, rounded
// up to whole pages). The integrity test's 16 KiB buffer and the performance test's three
// 64 KiB buffers are unlocked before it starts.
inline constexpr uint64_t kPageBytes = 4096;
inline constexpr uint64_t kBackloopBufferBytes = 50ull << 20;
inline constexpr uint64_t kBackloopPages = kBackloopBufferBytes / kPageBytes + 1;
inline constexpr uint64_t kTableBytes =
    (kBackloopPages * 8 + kPageBytes - 1) / kPageBytes * kPageBytes;
inline constexpr uint64_t kRunPinBytes = 2 * (kBackloopPages * kPageBytes + kTableBytes);

struct FileInfo {
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;  // permission bits
};

// The machine as the tool sees it. sysfs is read under SysfsRoot(); the VFIO files are named
// by their real paths (/dev/vfio/N), which a host may place elsewhere.
class Host {
 public:
  virtual ~Host() = default;
  virtual const std::string& SysfsRoot() const = 0;  // "/sys"
  // open(path, O_RDWR) as the calling user, closed again at once: 0 or the errno.
  virtual int TryOpen(const std::string& path) = 0;
  virtual bool Stat(const std::string& path, FileInfo* info) = 0;  // false: no such file
  // RLIMIT_MEMLOCK in bytes, UINT64_MAX for none; 0 or -errno.
  virtual int MemlockLimit(uint64_t* soft, uint64_t* hard) = 0;
  // Root: VFIO's pins are not held to the memory-lock limit, and sysfs may be written.
  virtual bool Privileged() = 0;
  virtual std::string CallerName() = 0;
  virtual std::string UserName(uint32_t uid) = 0;  // the number when there is no such user
  virtual std::string GroupName(uint32_t gid) = 0;
  virtual bool LookupUser(const std::string& name, uint32_t* uid) = 0;
  // pread and pwrite of a file (a function's sysfs config), opened for each call as the calling
  // user: the bytes moved, or -errno.
  virtual long ReadAt(const std::string& path, uint64_t offset, void* buf, size_t bytes) = 0;
  virtual long WriteAt(const std::string& path, uint64_t offset, const void* buf, size_t bytes) = 0;
  // The kernel's VFIO interface, through which a user with the group file reaches a board's
  // configuration space (vfio/config_file.h).
  virtual vfio::Kernel& Vfio() = 0;

  // Changes, by bind and unbind only. Each returns 0 or the errno.
  virtual int WriteFile(const std::string& path, const std::string& text) = 0;
  virtual int LoadModule(const std::string& name) = 0;  // modprobe's exit status
  virtual int Chown(const std::string& path, uint32_t uid) = 0;
};

// The machine itself.
std::unique_ptr<Host> LinuxHost();

struct Link {
  bool reported = false;         // false: sysfs has no link files (conventional PCI)
  std::string speed, max_speed;  // "8.0 GT/s PCIe" as sysfs has it
  uint32_t width = 0, max_width = 0;
  bool below_max = false;  // trained below its maximum speed or width
};

enum class Verdict {
  kReady,
  kNoIommu,
  kNotBound,
  kGroupNotViable,
  kFileRefused,
  kLockLimit,
  kErrors,  // an uncorrectable error recorded in the board's or its port's AER
};

// Each item's next step is the command to type (with a few words around it) when that item is
// not ready, and empty when it is.
struct BoardStatus {
  vfio::PciFunction function;
  std::vector<vfio::PciFunction> members;   // the whole group, the board included
  std::vector<vfio::PciFunction> blockers;  // members that hold the group back
  Link link;
  std::string group_file;  // "/dev/vfio/N"; empty without a group
  bool group_file_exists = false;
  FileInfo group_file_info;
  std::string group_file_owner, group_file_group;  // the names of its uid and gid
  int container_errno = 0, group_errno = 0;        // what opening each gave the caller
  Verdict verdict = Verdict::kReady;
  std::string advice;  // the first thing to fix, with the commands; empty when ready
  BoardErrors errors;
  std::string driver_step, group_step, link_step, file_step, errors_step;
};

struct MachineStatus {
  bool bus_visible = false;  // sysfs shows a PCI bus (a container may show none)
  bool vfio_pci_loaded = false;
  size_t iommu_groups = 0;
  bool privileged = false;
  std::string caller;
  uint64_t memlock_soft = UINT64_MAX, memlock_hard = UINT64_MAX;
  bool memlock_enough = true;
  std::string module_step, iommu_step, memlock_step;
};

MachineStatus ReadMachine(Host& host);
Link ReadLink(const std::string& sysfs_root, const std::string& bdf);
BoardStatus ReadBoard(Host& host, const MachineStatus& machine, const vfio::PciFunction& f);

// The report for every board (or for the one at `only` alone, an address as the user typed it),
// its error registers' section included (setup/pcie_errors.h), ending with the verdict: 0 when
// the (first) board is ready, 1 when not (an uncorrectable error recorded in its AER or its
// port's included) or without a board (then with what to look at and to type), 2 when `only` is
// no board of ours (said on err).
int Status(Host& host, const std::string& only, std::ostream& out, std::ostream& err);
// Binds the board at `address` to vfio-pci (and gives `user`, when not empty, its group file):
// 0 done, 1 refused or failed, 2 when `address` is no board of ours. Nothing is written before
// the address and the privilege are checked.
int Bind(Host& host, const std::string& address, const std::string& user, std::ostream& out,
         std::ostream& err);
// Clears the override and lets the kernel choose the board's driver again.
int Unbind(Host& host, const std::string& address, std::ostream& out, std::ostream& err);

// The command line, in getopt_long's forms: [status [ADDR]] | bind ADDR [--user NAME] |
// unbind ADDR | clear-errors ADDR | --help | --version.
int Main(Host& host, const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace setup
