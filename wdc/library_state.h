// The library's process-global state, shared by its source files and by nothing else.
//
// Two kinds of state. What the register accesses touch on every call (the device slots and the
// per-operation failure flags) lives in plain zero-initialised arrays read without a lock: a
// handle is valid when it points at the public part of a live slot, which is decided by
// address arithmetic before anything behind the pointer is read (the accesses' fast path reads
// only the slot's fast windows, which are empty unless it is live). Everything else sits behind
// one mutex, which is never held while an interrupt thread is joined, so a handler that calls
// into the library cannot deadlock against WDC_IntDisable or a close.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "wdc/wdc_lib.h"
#include "wdc/backend.h"
#include "wdc/ops.h"
#include "settings.h"
#include "transfer_list.h"

#if defined(__GNUC__)
#define WDC_LIKELY(x)   __builtin_expect(!!(x), 1)
#define WDC_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define WDC_NOINLINE    __attribute__((noinline))
#else
#define WDC_LIKELY(x)   (x)
#define WDC_UNLIKELY(x) (x)
#define WDC_NOINLINE
#endif

namespace wdc {

constexpr uint32_t kMaxDevices = 16;

// What the controller's DMA address fields reach: 32 bits.
constexpr uint64_t kBusLimit = uint64_t{1} << 32;

// Kernel-mapped bases are fabricated: 32-bit values that stand for where a driver would have
// mapped each BAR. Each board gets 1 MiB of this range and each BAR 64 KiB of that, so windows
// never overlap; a BAR longer than 64 KiB is reachable through its first 64 KiB only.
constexpr uint32_t kKernelBase = 0xE0000000u;
constexpr uint32_t kKernelBoardStride = 0x100000u;
constexpr uint32_t kKernelBarStride = 0x10000u;
constexpr size_t kMaxKernelBoards = (0x100000000ull - kKernelBase) / kKernelBoardStride;

// The interrupt registration of one device, alive from WDC_IntEnable until its thread has been
// joined. The thread reads only this record and the board.
struct InterruptState {
  Board* board = nullptr;
  KernelWindows windows{};
  WdcTransferCmd cmds[kMaxTransferCmds];
  uint32_t num_cmds = 0;
  WdcIntHandler handler = nullptr;
  void* data = nullptr;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

// The public record comes first, so a handle is the slot's own address. The private copies of
// the BAR lengths are what the checks trust: the caller holds a pointer to `pub`.
struct alignas(256) DeviceSlot {
  WdcDevice pub;
  std::atomic<uint32_t> live;  // stored last at open (release), cleared first at close
  Board* board;
  size_t board_index;
  uint64_t bar_bytes[WDC_MAX_ADDR_SPACES];
  DeviceWindow mapped[WDC_MAX_ADDR_SPACES];  // the board's windows, from its open
  // The windows as the accesses' fast path sees them, in two arrays that the space indexes
  // directly: a length is 0 unless the slot is live, its BAR has a window and no access
  // operation has a forced failure armed. The lengths are set after `live` at open (release)
  // and cleared before it at close, so the fast path need not read `live`.
  uint8_t* fast_base[WDC_MAX_ADDR_SPACES];
  uint64_t fast_bytes[WDC_MAX_ADDR_SPACES];  // atomic accesses only
  KernelWindows windows;
  std::atomic<InterruptState*> interrupt;
};
static_assert((sizeof(DeviceSlot) & (sizeof(DeviceSlot) - 1)) == 0,
              "slot lookup divides by a power of two");
static_assert(offsetof(DeviceSlot, pub) == 0 && std::is_standard_layout_v<DeviceSlot>,
              "a handle is the slot's address");

// A locked DMA buffer. The record handed out is `pub`, whose page list is the mapping's.
struct DmaBuffer {
  WdcDmaRecord pub{};
  DmaMapping mapping;
  Board* board = nullptr;
};

// Zero-initialised, no constructors: usable from the first call, destroyed never.
extern DeviceSlot g_devices[kMaxDevices];
extern bool g_fail_armed[kOpCount];  // an FPGA_SIM fail= rule names this operation
extern std::atomic<bool> g_open;
extern bool g_sleep_enabled;

// The slot whose record the handle points at, once that is known: the record is its start.
inline DeviceSlot* SlotOf(WdcDeviceHandle handle) { return reinterpret_cast<DeviceSlot*>(handle); }

// Whether the handle points at the record of a slot, live or not. Never reads through the
// handle. A rotation by the slot size's bits carries a misaligned handle's low bits to the top,
// so one compare checks range and alignment.
inline bool IsSlotRecord(WdcDeviceHandle handle) {
  constexpr unsigned kShift = __builtin_ctzll(sizeof(DeviceSlot));
  const uintptr_t offset =
      reinterpret_cast<uintptr_t>(handle) - reinterpret_cast<uintptr_t>(&g_devices[0]);
  return ((offset >> kShift) | (offset << (8 * sizeof(uintptr_t) - kShift))) < kMaxDevices;
}

inline bool IsLiveSlot(WdcDeviceHandle handle) {
  return IsSlotRecord(handle) && SlotOf(handle)->live.load(std::memory_order_acquire) != 0;
}

// The handle's slot when it points at a live device record, else null.
inline DeviceSlot* FindDevice(WdcDeviceHandle handle) {
  return IsLiveSlot(handle) ? SlotOf(handle) : nullptr;
}

// Whether a forced failure is armed for any of the eight BAR access operations: their fast
// path then stays closed, and every access checks its own operation's rules.
inline bool AccessFailuresArmed() {
  for (uint32_t op = static_cast<uint32_t>(Op::ReadAddr8);
       op <= static_cast<uint32_t>(Op::WriteAddr64); ++op)
    if (g_fail_armed[op]) return true;
  return false;
}

// The forced failure due on this call of `op`, or 0. Only called when g_fail_armed[op].
WdcStatus ForcedFailure(Op op);

// What a call with an unusable device handle returns.
WdcStatus RefuseHandle();

// Everything behind the library mutex.
struct LibraryState {
  std::mutex mu;
  std::unique_ptr<Backend> backend;
  std::vector<DmaBuffer*> dma;
  uint32_t interrupts_left = 0;  // released by a device close instead of WDC_IntDisable
  uint32_t buffers_left = 0;     // still locked when their device was closed
  uint32_t next_slot = 0;

  std::optional<PciLocation> only_slot;  // FPGA_WDC slot=: the one board the library shows

  std::mutex fail_mu;
  std::vector<FailRule> rules;
  uint64_t calls[kOpCount] = {};
};
LibraryState& Lib();

// The interrupt registration the calling thread serves, if it is one of the library's
// interrupt threads.
InterruptState* CurrentInterruptThread();

// Detaches the board's interrupt so the thread ends; the caller joins it without the mutex.
void StopInterrupt(InterruptState* state);
void JoinInterrupt(InterruptState* state);

// Closes the board of a live slot: the caller has stopped its interrupt. Buffers still locked
// on it are forgotten (the board's close removed their mappings) and counted for the ledger.
void CloseBoard(LibraryState& lib, DeviceSlot* slot);

}  // namespace wdc
