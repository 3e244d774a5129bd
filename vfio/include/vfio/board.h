// A real board through Linux's vfio-pci: the legacy container/group interface, BARs mapped
// into the process, DMA through IOVAs of our choosing, interrupts through eventfds. VfioBoard
// is the front over the backend's units: the open sequence (open_sequence.cpp) with its advice
// (vfio/advice.h), the BARs and configuration space (bars.h), the DMA mappings (dma_maps.h) and
// the interrupt (interrupts.h).
//
// Threads. The library calls Open, Close, DmaAllocContig, DmaMapUser, DmaUnmap, the syncs,
// InterruptAttach and Audit from its callers' threads, one call at a time (under its lock).
// Read and Write come from those threads and from the library's interrupt thread at once
// (the transfer list reads registers); they touch only what Open set up. InterruptWait and
// InterruptUnmask come from the interrupt thread only. InterruptDetach comes from a caller's
// thread while InterruptWait may be blocked on the interrupt thread: it wakes the waiter and
// disables the interrupt but closes nothing the waiter polls; the eventfds are closed by the
// next InterruptAttach or by Close, which the library calls only after it has joined its
// interrupt thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vfio/discovery.h"
#include "vfio/kernel.h"
#include "wdc/backend.h"

namespace vfio {

class Bars;
class DmaMaps;
class Interrupts;

class VfioBoard final : public wdc::Board {
 public:
  VfioBoard(Kernel& kernel, PciFunction function);
  ~VfioBoard() override;  // closes what is still open
  VfioBoard(const VfioBoard&) = delete;
  VfioBoard& operator=(const VfioBoard&) = delete;

  // Takes the board: container, group, device, BARs, bus mastering. DMA addresses stay below
  // bus_limit; page_bytes (a power of two the IOMMU supports) is the unit of every mapping and
  // the boundary at which scatter/gather pages are split. On failure the status's text (see
  // wdc::SetStatusDetail) says what to do, and everything taken so far is released again.
  WdcStatus Open(const wdc::DmaConstraints& dma) override;
  // Interrupts off, bus mastering off, DMA mappings removed (contiguous memory freed), BARs
  // unmapped, then the device, group and container files closed. Releases only what is held:
  // safe twice and after a failed Open.
  void Close() override;
  bool IsOpen() const { return device_fd_ >= 0; }

  const PciFunction& Function() const { return function_; }
  // A BAR the region info allows to map is a window (one volatile load or store an access);
  // the others go through pread/pwrite in Read and Write.
  wdc::DeviceWindow Window(uint32_t bar) override;

  // The interrupt: MSI when the board offers it and the host can enable it, else INTx. Attach
  // forgets interrupts raised before it. InterruptWait blocks until the board interrupts and
  // returns how many interrupts the wait covers (>= 1), or 0 once InterruptDetach was called
  // (and on every later wait until the next attach). After an INTx interrupt the line stays
  // masked until InterruptUnmask, which the library calls once the transfer list ran; for MSI
  // it does nothing.
  WdcStatus InterruptAttach() override;
  uint32_t InterruptWait() override;
  void InterruptUnmask() override;
  void InterruptDetach() override;
  bool UsesMsi() const;

  wdc::BoardIdentity Identity() const override;
  wdc::BarInfo Bar(uint32_t index) const override;
  WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) override;
  WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) override;
  WdcStatus DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override;
  WdcStatus DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) override;
  void DmaUnmap(wdc::DmaMapping* mapping) override;
  // DMA on x86 is cache-coherent: a hand-over needs only ordering, never a system call.
  void DmaSyncForDevice(const wdc::DmaMapping& mapping) override;
  void DmaSyncForCpu(const wdc::DmaMapping& mapping) override;
  // Appends nothing: a real board cannot tell what it did against the host (the IOMMU's
  // faults go to the kernel log), and the mappings still held are the library's records,
  // which its ledger reports and releases.
  void Audit(std::vector<std::string>* findings) override;

 private:
  // The open's steps (open_sequence.cpp), each releasing nothing: a failed Open closes.
  WdcStatus OpenSteps();
  WdcStatus OpenContainer();
  WdcStatus OpenGroup();
  WdcStatus OpenDevice();

  Kernel& kernel_;
  PciFunction function_;

  int container_fd_ = -1;
  int group_fd_ = -1;
  int device_fd_ = -1;
  int iommu_type_ = 0;

  const std::unique_ptr<Bars> bars_;
  const std::unique_ptr<DmaMaps> dma_;
  const std::unique_ptr<Interrupts> interrupts_;
};

// The library's backend over every board of that vendor and device ID found in the kernel's
// sysfs (none is opened: a board is opened when the program opens it).
std::unique_ptr<wdc::Backend> CreateVfioBackend(Kernel& kernel, uint32_t vendor_id,
                                                uint32_t device_id);

}  // namespace vfio
