// What a PCI function served over vfio-user is to the protocol layer, and what the layer gives
// the function in return: its DMA reaches the client's memory by IOVA through a DmaSpace, and
// its interrupt is raised and lowered through an InterruptLine. The layer owns configuration
// space, the DMA mappings and the interrupt file descriptors; the function knows none of them.
//
// Threads. Every Device call comes from the server's connection thread, one at a time. DmaSpace
// and InterruptLine may be called from any thread of the function (its DMA engine, say), and
// also from the connection thread inside a Device call. A DmaSpace access that needs the client
// (no file descriptor covers it) waits for the client's reply, reading the socket itself while
// the connection thread is busy, so it may be made on any of these threads; commands that
// arrive meanwhile are handled, in order, after the Device call returns.
#pragma once

#include <cstdint>
#include <mutex>

namespace vfu {

constexpr uint32_t kBarCount = 6;

// A PCI Express link: its speed as a generation (1: 2.5 GT/s, 2: 5.0 GT/s, 3: 8.0 GT/s) and its
// width in lanes (1, 2, 4, 8, 16).
struct PcieLink {
  uint32_t gen = 0;
  uint32_t width = 0;
};

// What configuration space shows of the function. Every BAR is 32-bit memory,
// non-prefetchable; the layer builds the header, the status register, the interrupt pin and the
// capability list from this.
struct PciFunction {
  uint16_t vendor_id = 0;
  uint16_t device_id = 0;
  uint16_t subsystem_vendor_id = 0;
  uint16_t subsystem_id = 0;
  uint32_t class_code = 0;  // 24 bits: base class, subclass, programming interface
  uint8_t revision = 0;
  uint64_t bar_bytes[kBarCount] = {};  // 0: no such BAR; else a power of two, 16 bytes or more
  bool intx = false;                   // interrupt pin A
  bool msi = false;                    // an MSI capability with one vector
  // A PCI Express endpoint (4 KiB of configuration space, the Express capability) when set;
  // else a conventional function of 256 bytes, and the fields below mean nothing.
  bool express = false;
  PcieLink link;               // as trained: the link status
  PcieLink max_link;           // the link capabilities; never below `link`
  uint32_t max_payload = 128;  // bytes the function supports: 128 to 4096, a power of two
  bool flr = false;            // function-level reset capable
  bool aer = false;            // the Advanced Error Reporting capability at 0x100
};

// How a BAR is offered to the client.
struct BarRegion {
  int mmap_fd = -1;  // >= 0: the client may mmap the BAR from this fd (still owned by the device)
  uint64_t mmap_offset = 0;
};

// The client's memory as the function's DMA reaches it, by IOVA. Lock() is held for the whole of
// every access and check, so that a DMA_UNMAP waits for an access in progress and no access
// starts on memory being unmapped. Every access is all or nothing: either the whole span is
// reachable in the direction asked and is copied, or false and no byte of the client changes.
// Nothing is reachable while the function's bus mastering is off, or while no client is attached.
//
// A span that no mapping with a file descriptor covers is served by the client (DMA_READ,
// DMA_WRITE), whose IOMMU judges it only when it is accessed: CheckLocked passes such a span,
// and the access itself may still fail. Such a write goes to the client before any mapped part
// is copied, so a refusal changes nothing, except when the client takes the span's first
// messages (of max_data_xfer_size each) and refuses a later one, or a memory file the client
// shrank faults partway: what went before stays written, as the first transactions of a real
// device's faulting transfer would.
class DmaSpace {
 public:
  virtual ~DmaSpace() = default;
  virtual std::unique_lock<std::mutex> Lock() = 0;
  virtual bool ReadLocked(uint64_t iova, void* dst, uint64_t len) = 0;         // device reads
  virtual bool WriteLocked(uint64_t iova, const void* src, uint64_t len) = 0;  // device writes
  virtual bool CheckLocked(uint64_t iova, uint64_t len, bool device_writes) = 0;
  // The device reads `len` bytes at `from` and writes them at `to`, both spans checked first.
  virtual bool CopyLocked(uint64_t from, uint64_t to, uint64_t len) = 0;
};

// The function's interrupt. Raise: MSI sends one message; INTx asserts the level (the status
// register's interrupt bit), which stays until Lower. Both are cheap and lock-free or nearly so.
class InterruptLine {
 public:
  virtual ~InterruptLine() = default;
  virtual void Raise() = 0;
  virtual void Lower() = 0;
};

// The errors the function detects, as its AER capability records them (PciFunction::aer): a
// bit of the correctable or of the uncorrectable error status register, in the PCI Express
// numbering, and for an uncorrectable error that logs one, the header of the TLP in error (four
// DWs as the Header Log holds them; null: none). Any thread of the function may report one.
class ErrorReporting {
 public:
  virtual ~ErrorReporting() = default;
  virtual void Correctable(uint32_t bit) = 0;
  virtual void Uncorrectable(uint32_t bit, const uint32_t* header) = 0;
};

class Device {
 public:
  virtual ~Device() = default;
  virtual PciFunction Function() const = 0;
  virtual BarRegion Region(uint32_t bar) = 0;
  // width is 1, 2, 4 or 8; offset is a multiple of it and the access lies inside the BAR (the
  // layer has checked both). These serve REGION_READ/REGION_WRITE for every BAR, a mappable one
  // included.
  virtual uint64_t BarRead(uint32_t bar, uint64_t offset, uint32_t width) = 0;
  virtual void BarWrite(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) = 0;
  // DEVICE_RESET, or a function-level reset through configuration space: the function's own
  // state back to its reset values, all DMA stopped, before this returns.
  virtual void Reset() = 0;
  // The client has gone (or is about to go): stop every DMA, since nothing is mapped any more
  // once this returns. The function's other state is kept for the next client.
  virtual void ClientGone() = 0;
};

}  // namespace vfu
