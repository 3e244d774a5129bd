// What the library needs of a board, and what a backend provides: the virtual board (sim/), or
// a real board through Linux's vfio-pci. The library owns handles, records, forced failures,
// the ledger and the interrupt thread; a backend owns the board, its bus view of host memory
// and its interrupt.
//
// Threads. The library calls a backend from three places:
//  - the program's threads, one call at a time (the library's mutex is held): CreateBackend,
//    the Backend's calls, Identity, Bar, Open, Close, Window, the Dma calls, InterruptAttach,
//    InterruptDetach and Audit;
//  - any thread, without that mutex, between Open and Close: Read and Write, and loads and
//    stores through a Window, concurrently with each other and with the calls above;
//  - the library's interrupt thread of an open board, from InterruptAttach until the thread
//    has ended (the library joins it after InterruptDetach returns): InterruptWait,
//    InterruptUnmask, and Read for the transfer list. InterruptDetach comes from another
//    thread while a wait may be blocked, and ends it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wdc/wdc_lib.h"
#include "wdc/ops.h"

namespace wdc {

// The direction a DMA lock grants the board.
enum class DmaDir : uint8_t {
  kToDevice,    // the board may read the memory (DMA_OPT_TO_DEVICE)
  kFromDevice,  // the board may write the memory (DMA_OPT_FROM_DEVICE)
};

// A PCI function's location: domain:bus:slot.function.
struct PciLocation {
  uint32_t domain = 0;
  uint32_t bus = 0;
  uint32_t slot = 0;
  uint32_t function = 0;
};
// Parses "[DDDD:]BB:SS.F" (hex, as lspci and sysfs write it); false when malformed.
bool ParsePciLocation(std::string_view text, PciLocation* out);

struct BoardIdentity {
  uint32_t vendor_id = 0;
  uint32_t device_id = 0;
  uint32_t domain = 0;
  uint32_t bus = 0;
  uint32_t slot = 0;
  uint32_t function = 0;
  uint32_t irq = 0;
};

struct BarInfo {
  uint64_t phys_addr = 0;  // bus-side base, for the resource list
  uint64_t bytes = 0;      // 0: the board has no such address space
};

// Host memory as the board's bus sees it.
struct DmaMapping {
  void* host = nullptr;           // host address of the first byte
  uint32_t bytes = 0;             // total length
  std::vector<WdcDmaPage> pages;  // bus address and length of each page, in order
  uint64_t cookie = 0;            // the backend's own reference, for the unmap
};

// A BAR mapped into the process. Every access the library makes through it is one load or
// store of the width asked, relaxed-atomic on volatile memory: well defined while the board's
// own thread uses the same memory, and exactly one bus cycle on a real board.
struct DeviceWindow {
  uint8_t* base = nullptr;  // null: no window, every access goes through Read and Write
  uint64_t bytes = 0;
};

// What the controller can address, told to the board at open.
struct DmaConstraints {
  uint64_t bus_limit = 0;   // every bus address the board is given lies below this
  uint32_t page_bytes = 0;  // the host's page size: scatter/gather pages split at its multiples
};

class Board {
 public:
  virtual ~Board() = default;
  virtual BoardIdentity Identity() const = 0;
  virtual BarInfo Bar(uint32_t index) const = 0;  // index < WDC_MAX_ADDR_SPACES

  // Claims the board for this process; until Close no other may use it. A failure returns its
  // status with the cause recorded (SetStatusDetail) where the status alone does not say it.
  virtual WdcStatus Open(const DmaConstraints& dma) = 0;
  // Gives the board up: interrupts off, the board's DMA stopped, every mapping it was given
  // removed (contiguous memory freed), the claim released, in that order. The library does
  // not unmap what was left mapped at Close.
  virtual void Close() = 0;

  // The BAR's window, valid from Open to Close.
  virtual DeviceWindow Window(uint32_t bar) = 0;
  // One access of width 1, 2, 4 or 8 bytes. A misaligned access or one outside the address
  // space returns WDC_STATUS_MISALIGNED / WDC_STATUS_OUT_OF_RANGE and touches nothing.
  virtual WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) = 0;
  virtual WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) = 0;

  // Allocates zeroed host memory of `bytes` and gives it one contiguous bus range.
  virtual WdcStatus DmaAllocContig(uint32_t bytes, DmaDir dir, DmaMapping* out) = 0;
  // Gives the caller's memory bus addresses, one page at each host page boundary.
  virtual WdcStatus DmaMapUser(void* host, uint32_t bytes, DmaDir dir, DmaMapping* out) = 0;
  // From its return on the board reaches none of the mapping's memory; contiguous memory is
  // freed.
  virtual void DmaUnmap(DmaMapping* mapping) = 0;
  // Hand-over of the memory to the board and back (ordering and cache maintenance).
  virtual void DmaSyncForDevice(const DmaMapping& mapping) = 0;
  virtual void DmaSyncForCpu(const DmaMapping& mapping) = 0;

  // The interrupt. Attach forgets interrupts raised before it. Wait blocks until the board has
  // interrupted and returns how many interrupts that return stands for (at least 1: a line or
  // an eventfd may have merged several), or 0 once Detach was called (and for every later wait
  // until the next Attach). After the transfer list has run for a return, Unmask lets a
  // level-triggered line, masked when it fired, interrupt again.
  virtual WdcStatus InterruptAttach() = 0;
  virtual uint32_t InterruptWait() = 0;
  virtual void InterruptUnmask() = 0;
  virtual void InterruptDetach() = 0;

  // At the library's close, open or not: appends what only the board can see against the host
  // (a run still going, DMA accesses that were blocked, channels stopped by bad programming) as
  // short phrases, then leaves the board quiet. A real board sees none of these.
  virtual void Audit(std::vector<std::string>* findings) = 0;
};

// The Nth call (from 1) of an operation fails with WDC_STATUS_FAIL_BASE + its index.
struct FailRule {
  Op op;
  uint32_t nth;
};
// Parses the value of a fail= item, "OP" or "OP@N"; on false *why says what is wrong. For
// backends whose own settings accept fail= items too.
bool ParseFailRule(std::string_view value, FailRule* out, std::string* why);

class Backend {
 public:
  virtual ~Backend() = default;
  virtual size_t BoardCount() const = 0;
  virtual Board* BoardAt(size_t index) = 0;       // owned by the backend
  virtual std::vector<FailRule> FailRules() const = 0;  // fail= items of its own settings
  virtual bool SleepEnabled() const = 0;                // false: WDC_Sleep returns at once
};

// Records the cause of a failure: from now on Stat2Str(status) returns `text` (until the next
// cause recorded for the same status). For the statuses whose meaning depends on the case:
// WDC_STATUS_BAD_SETTING, WDC_STATUS_RESOURCES_LEFT, WDC_STATUS_DEVICE_BUSY,
// WDC_STATUS_NO_MEMORY and the real-board failures.
void SetStatusDetail(WdcStatus status, const std::string& text);

// Provided by the backend the program is linked with; it reads its own settings (FPGA_SIM for
// the virtual board). On a bad setting returns null with *error naming the item and what is
// wrong.
std::unique_ptr<Backend> CreateBackend(std::string* error);

}  // namespace wdc
