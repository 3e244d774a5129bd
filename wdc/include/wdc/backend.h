// What the library needs of a board, and what a backend (the virtual board today, a real board
// through VFIO later) provides. The library owns handles, records, the ledger and the
// interrupt thread; a backend owns the board, its bus view of host memory and its interrupt.
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

class Board {
 public:
  virtual ~Board() = default;
  virtual BoardIdentity Identity() const = 0;
  virtual BarInfo Bar(uint32_t index) const = 0;  // index < WDC_MAX_ADDR_SPACES

  // One access of width 1, 2, 4 or 8 bytes. A misaligned access or one outside the address
  // space returns WDC_STATUS_MISALIGNED / WDC_STATUS_OUT_OF_RANGE and touches nothing.
  virtual WdcStatus Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) = 0;
  virtual WdcStatus Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) = 0;

  // Allocates zeroed host memory of `bytes` and gives it one contiguous bus range.
  virtual WdcStatus DmaAllocContig(uint32_t bytes, DmaDir dir, DmaMapping* out) = 0;
  // Gives the caller's memory bus addresses, one page at each 4 KiB host page boundary.
  virtual WdcStatus DmaMapUser(void* host, uint32_t bytes, DmaDir dir, DmaMapping* out) = 0;
  // From its return on the board reaches none of the mapping's memory; contiguous memory is
  // freed.
  virtual void DmaUnmap(DmaMapping* mapping) = 0;
  // Hand-over of the memory to the board and back (ordering and cache maintenance).
  virtual void DmaSyncForDevice(const DmaMapping& mapping) = 0;
  virtual void DmaSyncForCpu(const DmaMapping& mapping) = 0;

  // The interrupt line. Attach forgets interrupts raised before it; Wait blocks until the board
  // interrupts (true, one call per interrupt) or until Detach (false, for this and every later
  // wait until the next Attach).
  virtual void InterruptAttach() = 0;
  virtual bool InterruptWait() = 0;
  virtual void InterruptDetach() = 0;

  // Appends what the board holds against the host (a run still going, DMA accesses that were
  // blocked, channels stopped by bad programming) as short phrases, then leaves the board
  // quiet: every run stopped and the counts cleared.
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
  virtual std::vector<FailRule> FailRules() const = 0;
  virtual bool SleepEnabled() const = 0;          // false: WDC_Sleep returns at once
};

// Records the cause of a failure: from now on Stat2Str(status) returns `text` (until the next
// cause recorded for the same status). For the statuses whose meaning depends on the case:
// WDC_STATUS_BAD_SETTING, WDC_STATUS_RESOURCES_LEFT and the real-board failures.
void SetStatusDetail(WdcStatus status, const std::string& text);

// Provided by the backend the program is linked with. `settings` is the text of FPGA_SIM (null
// when unset). On a bad setting returns null with *error naming the item and what is wrong.
std::unique_ptr<Backend> CreateBackend(const char* settings, std::string* error);

}  // namespace wdc
