#include "vfio/board.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

#include "bars.h"
#include "dma_maps.h"
#include "interrupts.h"

namespace vfio {

VfioBoard::VfioBoard(Kernel& kernel, PciFunction function)
    : kernel_(kernel),
      function_(std::move(function)),
      bars_(std::make_unique<Bars>(kernel, function_.bdf)),
      dma_(std::make_unique<DmaMaps>(kernel, function_.bdf)),
      interrupts_(std::make_unique<Interrupts>(kernel, function_.bdf)) {}

VfioBoard::~VfioBoard() { Close(); }

void VfioBoard::Close() {
  // The board must be silent before anything it could reach goes away: no interrupt, no bus
  // mastering, and only then the mappings and the files.
  interrupts_->Close();
  if (device_fd_ >= 0 && bars_->HasConfig()) bars_->SetBusMaster(false);
  const std::vector<void*> contig = dma_->UnmapAll();
  bars_->Unmap();
  for (int* fd : {&device_fd_, &group_fd_, &container_fd_}) {
    if (*fd >= 0) kernel_.Close(*fd);
    *fd = -1;
  }
  // Closing the container drops whatever mapping the kernel would not remove above, so only
  // now is contiguous memory safe to reuse.
  for (void* p : contig) std::free(p);
  iommu_type_ = 0;
}

// ---- BARs ----------------------------------------------------------------------------------

wdc::DeviceWindow VfioBoard::Window(uint32_t bar) { return bars_->Window(bar); }

WdcStatus VfioBoard::Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) {
  return bars_->Read(bar, offset, width, value);
}

WdcStatus VfioBoard::Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  return bars_->Write(bar, offset, width, value);
}

// ---- DMA -----------------------------------------------------------------------------------

WdcStatus VfioBoard::DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  return dma_->AllocContig(bytes, dir, out);
}

WdcStatus VfioBoard::DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  return dma_->MapUser(host, bytes, dir, out);
}

void VfioBoard::DmaUnmap(wdc::DmaMapping* mapping) { dma_->Unmap(mapping); }

void VfioBoard::DmaSyncForDevice(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void VfioBoard::DmaSyncForCpu(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

// ---- Interrupts ----------------------------------------------------------------------------

WdcStatus VfioBoard::InterruptAttach() { return interrupts_->Attach(); }
uint32_t VfioBoard::InterruptWait() { return interrupts_->Wait(); }
void VfioBoard::InterruptUnmask() { interrupts_->Unmask(); }
void VfioBoard::InterruptDetach() { interrupts_->Detach(); }
bool VfioBoard::UsesMsi() const { return interrupts_->UsesMsi(); }

void VfioBoard::Audit(std::vector<std::string>*) {}

// ---- Identity ------------------------------------------------------------------------------

wdc::BoardIdentity VfioBoard::Identity() const {
  wdc::BoardIdentity id;
  id.vendor_id = function_.vendor_id;
  id.device_id = function_.device_id;
  id.domain = function_.address.domain;
  id.bus = function_.address.bus;
  id.slot = function_.address.slot;
  id.function = function_.address.function;
  id.irq = function_.irq;
  return id;
}

wdc::BarInfo VfioBoard::Bar(uint32_t index) const {
  if (index >= 6) return {};
  return {function_.bar_base[index], IsOpen() ? bars_->Bytes(index) : function_.bar_bytes[index]};
}

}  // namespace vfio
