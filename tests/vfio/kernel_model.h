// A model of the kernel's VFIO interface behind the backend's system-call seam: a fake sysfs
// tree in a temporary folder, and /dev/vfio's container, group and device files with the
// semantics linux/vfio.h documents (order of calls, group viability, region info and mmap,
// DMA maps and their errors, the IOVA ranges with the MSI window left out, MSI and INTx with
// its automask, bus mastering gating the device's DMA). Eventfds, poll and their reads and
// writes are the real ones, so waits block and wake as they would on a real kernel.
//
// Any call can be made to fail once with a chosen errno (FailNext). The model reports what a
// test must see released: open fds, live mmaps, DMA mappings, pinned bytes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vfio/kernel.h"

namespace vfio_model {

// What sits behind vfio-pci: one PCI function as the kernel sees it.
class Device {
 public:
  virtual ~Device() = default;
  // Configuration space: 256 bytes, or 4 KiB for an Express function. A write goes through
  // the function's own write rules, and may reset it (an FLR), so it is made without the
  // model's lock, as a BAR access is.
  virtual uint32_t ConfigBytes() const = 0;
  virtual void ConfigRead(uint32_t offset, void* dst, size_t bytes) = 0;
  virtual void ConfigWrite(uint32_t offset, const void* src, size_t bytes) = 0;
  virtual uint64_t BarBytes(uint32_t bar) const = 0;  // 0: no such BAR
  // The memory a BAR is, when it may be mapped into the process; null: pread/pwrite only.
  virtual void* BarMemory(uint32_t bar) = 0;
  virtual void BarRead(uint32_t bar, uint64_t offset, void* data, size_t bytes) = 0;
  virtual void BarWrite(uint32_t bar, uint64_t offset, const void* data, size_t bytes) = 0;
  virtual bool HasMsi() const = 0;
};

class KernelModel;

// The device's side of the bus: DMA by IOVA through the IOMMU, and its interrupt.
class Bus {
 public:
  // False when the access is blocked (bus mastering off, an IOVA no mapping holds, or against
  // the mapping's direction): then nothing is touched and the model counts a fault.
  bool DmaRead(uint64_t iova, void* dst, size_t bytes);
  bool DmaWrite(uint64_t iova, const void* src, size_t bytes);
  // Whether such an access would be allowed, touching nothing and counting no fault.
  bool DmaCheck(uint64_t iova, size_t bytes, bool write);
  // A read at `from` whose bytes are written at `to`, both checked before a byte moves.
  bool DmaCopy(uint64_t from, uint64_t to, size_t bytes);
  void Interrupt();

 private:
  friend class KernelModel;
  KernelModel* model_ = nullptr;
  size_t function_ = 0;
};

struct FunctionSetup {
  std::string bdf;
  uint32_t vendor_id = 0x10EE;
  uint32_t device_id = 0x5050;
  std::string driver = "vfio-pci";  // empty: no driver
  int group = 1;                    // -1: no IOMMU group
  Device* device = nullptr;         // null: only sysfs knows it (a neighbour in a group)
  uint64_t bar_base[6] = {};        // the BARs' bus addresses in sysfs; 0: the model's choice
};

class KernelModel final : public vfio::Kernel {
 public:
  KernelModel();  // an empty machine: sysfs with an empty PCI bus
  ~KernelModel() override;

  Bus& AddFunction(const FunctionSetup& setup);
  // The next call of that name fails with err: an ioctl's name ("VFIO_SET_IOMMU"), or "open
  // PATH", "mmap", "eventfd".
  void FailNext(const std::string& call, int err);
  void FailNext(unsigned long ioctl_request, int err);

  // What the process holds.
  size_t OpenFds() const;
  size_t LiveMmaps() const;
  size_t DmaMaps() const;
  uint64_t PinnedBytes() const;
  uint64_t Faults() const;   // device accesses the IOMMU or bus mastering blocked
  uint64_t Signals() const;  // interrupts delivered to an eventfd
  // How often each call of the seam was made: an ioctl by its name, else "open", "pread",
  // "pwrite", "mmap", "poll", "read", "write", ...
  std::map<std::string, uint64_t> Calls() const;
  // Every call that changed state, in order ("VFIO_IOMMU_UNMAP_DMA", "bus master off",
  // "munmap", "close device", ...).
  std::vector<std::string> Log() const;

  // Settings of the machine.
  uint64_t memlock_soft = UINT64_MAX;
  uint64_t memlock_hard = UINT64_MAX;
  std::vector<std::pair<uint64_t, uint64_t>> iova_ranges;  // first, last (inclusive)

  // vfio::Kernel
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
  const std::string& SysfsRoot() const override { return root_; }

 private:
  friend class Bus;
  struct DmaMap {
    uint64_t vaddr, bytes;
    uint32_t flags;
  };
  struct Container {
    bool fd_open = true;
    int type = 0;  // the IOMMU set, 0 before VFIO_SET_IOMMU
    std::set<int> groups;
    std::map<uint64_t, DmaMap> maps;  // by IOVA
  };
  struct Function {
    FunctionSetup setup;
    Bus bus;
    bool open = false;
    int irq_index = -1;  // the enabled interrupt, -1: none
    int irq_fd = -1;     // the model's own reference to the eventfd, as the kernel keeps one
    bool masked = false, pending = false;
  };
  enum class Kind { kContainer, kGroup, kDevice };
  struct File {
    Kind kind;
    int id;  // container id, group number or function index
  };

  int Injected(const std::string& call);                   // the errno to fail with, or 0
  Device* DeviceOf(int fd);                                // the device an fd opens, or null
  void Count(const std::string& call) { ++calls_[call]; }  // with mu_ held
  void CountLocked(const std::string& call) {
    std::lock_guard<std::mutex> lock(mu_);
    Count(call);
  }
  // pread (write false) or pwrite of a region of a device fd.
  long RegionAccess(int fd, void* buf, size_t bytes, uint64_t offset, bool write);
  int NewFd(Kind kind, int id);
  bool Viable(int group) const;
  int ContainerIoctl(Container& c, unsigned long request, void* arg, unsigned long value);
  int GroupIoctl(int group, unsigned long request, void* arg);
  int DeviceIoctl(size_t index, unsigned long request, void* arg);
  int SetIrqs(Function& f, const void* arg);
  void DisableIrq(Function& f);
  void Signal(Function& f);
  void DetachGroup(int group);
  using Pieces = std::vector<std::pair<uint8_t*, size_t>>;
  // With mu_ held: the host memory an access reaches, piece by piece, or false when the access
  // is blocked.
  bool Translate(const Function& f, uint64_t iova, size_t bytes, bool write, Pieces* pieces);
  // data null: only the check.
  bool DeviceDma(size_t function, uint64_t iova, void* data, size_t bytes, bool write);
  bool DeviceCopy(size_t function, uint64_t from, uint64_t to, size_t bytes);

  std::string root_;
  mutable std::mutex mu_;
  std::vector<std::unique_ptr<Function>> functions_;
  std::map<int, File> files_;
  std::set<int> eventfds_;
  std::map<int, Container> containers_;
  std::map<int, int> group_container_;  // group -> container id, for attached groups
  std::set<int> open_groups_;
  std::map<void*, size_t> mmaps_;
  std::vector<std::pair<std::string, int>> failures_;
  std::vector<std::string> log_;
  std::map<std::string, uint64_t> calls_;
  uint64_t pinned_ = 0;
  uint64_t faults_ = 0;
  uint64_t signals_ = 0;
  int next_container_ = 1;
};

}  // namespace vfio_model
