// The PCI side: scanning, resources, and the device records behind the handles.
#include <algorithm>
#include <cstring>

#include "library_state.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace wdc {
namespace {

inline WdcStatus CheckForced(Op op) {
  return WDC_UNLIKELY(g_fail_armed[static_cast<uint32_t>(op)]) ? ForcedFailure(op)
                                                               : WDC_STATUS_SUCCESS;
}

// A slot record has no domain: on a machine with several PCI domains the first board at that
// bus:slot.function in domain order answers (FPGA_WDC's slot= picks any other).
bool SameSlot(const BoardIdentity& id, const WdcPciSlot& slot) {
  return id.bus == slot.dwBus && id.slot == slot.dwSlot && id.function == slot.dwFunction;
}

// A board the library shows: every board, or only the one FPGA_WDC's slot= names.
bool Shown(const LibraryState& lib, const BoardIdentity& id) {
  if (!lib.only_slot) return true;
  const PciLocation& only = *lib.only_slot;
  return id.domain == only.domain && id.bus == only.bus && id.slot == only.slot &&
         id.function == only.function;
}

// The backend's index of the board at `slot`, or -1.
long FindBoard(const LibraryState& lib, const WdcPciSlot& slot) {
  long found = -1;
  uint32_t found_domain = 0;
  for (size_t i = 0; i < lib.backend->BoardCount(); ++i) {
    const BoardIdentity id = lib.backend->BoardAt(i)->Identity();
    if (!SameSlot(id, slot) || !Shown(lib, id)) continue;
    if (found < 0 || id.domain < found_domain) {
      found = static_cast<long>(i);
      found_domain = id.domain;
    }
  }
  return found;
}

uint32_t HostPageBytes() {
#if defined(_WIN32)
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<uint32_t>(info.dwPageSize);
#else
  return static_cast<uint32_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace
}  // namespace wdc

using namespace wdc;

WdcStatus WDC_PciScanDevices(uint32_t vendorId, uint32_t deviceId, WdcPciScanResult* result) {
  if (WdcStatus forced = CheckForced(Op::PciScanDevices)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (!g_open.load(std::memory_order_relaxed)) return WDC_STATUS_NOT_OPEN;
  if (result == nullptr) return WDC_STATUS_INVALID_PARAMETER;

  std::vector<BoardIdentity> found;
  for (size_t i = 0; i < lib.backend->BoardCount(); ++i) {
    const BoardIdentity id = lib.backend->BoardAt(i)->Identity();
    if (id.vendor_id == vendorId && id.device_id == deviceId && Shown(lib, id)) found.push_back(id);
  }
  std::sort(found.begin(), found.end(), [](const BoardIdentity& a, const BoardIdentity& b) {
    if (a.domain != b.domain) return a.domain < b.domain;
    if (a.bus != b.bus) return a.bus < b.bus;
    if (a.slot != b.slot) return a.slot < b.slot;
    return a.function < b.function;
  });
  if (found.size() > WDC_PCI_SCAN_MAX) found.resize(WDC_PCI_SCAN_MAX);

  std::memset(result, 0, sizeof(*result));
  result->dwNumDevices = static_cast<uint32_t>(found.size());
  for (size_t i = 0; i < found.size(); ++i) {
    result->deviceId[i] = {found[i].vendor_id, found[i].device_id};
    result->deviceSlot[i] = {found[i].bus, found[i].slot, found[i].function};
  }
  return WDC_STATUS_SUCCESS;
}

WdcStatus WDC_PciGetDeviceInfo(WdcPciDeviceInfo* info) {
  if (WdcStatus forced = CheckForced(Op::PciGetDeviceInfo)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (!g_open.load(std::memory_order_relaxed)) return WDC_STATUS_NOT_OPEN;
  if (info == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  const long index = FindBoard(lib, info->pciSlot);
  if (index < 0) return WDC_STATUS_NO_SUCH_DEVICE;

  Board* board = lib.backend->BoardAt(static_cast<size_t>(index));
  info->dwNumItems = 0;
  std::memset(info->item, 0, sizeof(info->item));
  // Six memory items and the interrupt fit the record's eight.
  static_assert(WDC_MAX_ADDR_SPACES + 1 <= WDC_MAX_RESOURCES, "resource list too short");
  for (uint32_t bar = 0; bar < WDC_MAX_ADDR_SPACES; ++bar) {
    const BarInfo bar_info = board->Bar(bar);
    if (bar_info.bytes == 0) continue;
    WdcResourceItem& item = info->item[info->dwNumItems++];
    item.dwKind = WDC_ITEM_MEMORY;
    item.dwBar = bar;
    item.qwPhysAddr = bar_info.phys_addr;
    item.qwBytes = bar_info.bytes;
  }
  WdcResourceItem& irq = info->item[info->dwNumItems++];
  irq.dwKind = WDC_ITEM_INTERRUPT;
  irq.dwIrq = board->Identity().irq;
  return WDC_STATUS_SUCCESS;
}

WdcStatus WDC_PciDeviceOpen(WdcDeviceHandle* phDev, const WdcPciDeviceInfo* info, const void* ctx,
                            void* reserved, const char* kpName, void* kpOpenData) {
  if (WdcStatus forced = CheckForced(Op::PciDeviceOpen)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (!g_open.load(std::memory_order_relaxed)) return WDC_STATUS_NOT_OPEN;
  if (phDev == nullptr || info == nullptr || ctx != nullptr || reserved != nullptr ||
      kpName != nullptr || kpOpenData != nullptr)
    return WDC_STATUS_INVALID_PARAMETER;
  const long found = FindBoard(lib, info->pciSlot);
  if (found < 0) return WDC_STATUS_NO_SUCH_DEVICE;
  const size_t board_index = static_cast<size_t>(found);
  if (board_index >= kMaxKernelBoards) return WDC_STATUS_NO_MEMORY;

  DeviceSlot* free_slot = nullptr;
  for (uint32_t n = 0; n < kMaxDevices; ++n) {
    DeviceSlot& slot = g_devices[n];
    if (slot.live.load(std::memory_order_relaxed) && slot.board_index == board_index)
      return WDC_STATUS_DEVICE_BUSY;
  }
  // Round robin, so that a handle just closed is not at once valid again for another device.
  for (uint32_t n = 0; n < kMaxDevices && free_slot == nullptr; ++n) {
    DeviceSlot& slot = g_devices[(lib.next_slot + n) % kMaxDevices];
    if (!slot.live.load(std::memory_order_relaxed)) free_slot = &slot;
  }
  if (free_slot == nullptr) return WDC_STATUS_NO_MEMORY;
  lib.next_slot = static_cast<uint32_t>(free_slot - g_devices + 1) % kMaxDevices;

  Board* board = lib.backend->BoardAt(board_index);
  const WdcStatus claimed = board->Open(DmaConstraints{kBusLimit, HostPageBytes()});
  if (claimed != WDC_STATUS_SUCCESS) return claimed;

  DeviceSlot& slot = *free_slot;
  slot.board = board;
  slot.board_index = board_index;
  slot.interrupt.store(nullptr, std::memory_order_relaxed);
  std::memset(&slot.pub, 0, sizeof(slot.pub));
  slot.pub.slot = info->pciSlot;
  slot.pub.hKernelPlugIn = 0;
  for (uint32_t bar = 0; bar < WDC_MAX_ADDR_SPACES; ++bar) {
    const uint64_t bytes = board->Bar(bar).bytes;
    const uint32_t base = bytes ? kKernelBase +
                                      static_cast<uint32_t>(board_index) * kKernelBoardStride +
                                      bar * kKernelBarStride
                                : 0;
    slot.bar_bytes[bar] = bytes;
    // No memory, no bytes: the access path's bounds check is then the whole test. A whole
    // number of 8-byte words: an aligned access that starts inside then ends inside (a BAR's
    // odd tail, if any, goes through the board).
    DeviceWindow window = bytes ? board->Window(bar) : DeviceWindow{};
    window.bytes = window.base ? std::min(window.bytes, bytes) & ~uint64_t{7} : 0;
    slot.mapped[bar] = window;
    slot.windows.base[bar] = base;
    slot.windows.bytes[bar] = static_cast<uint32_t>(std::min<uint64_t>(bytes, kKernelBarStride));
    slot.pub.addrSpace[bar] = {base, bytes};
    if (bytes) slot.pub.dwNumAddrSpaces = bar + 1;
  }
  slot.live.store(1, std::memory_order_release);
  const bool fast = !AccessFailuresArmed();
  for (uint32_t bar = 0; bar < WDC_MAX_ADDR_SPACES; ++bar) {
    slot.fast_base[bar] = slot.mapped[bar].base;
    __atomic_store_n(&slot.fast_bytes[bar], fast ? slot.mapped[bar].bytes : 0, __ATOMIC_RELEASE);
  }
  *phDev = &slot.pub;
  return WDC_STATUS_SUCCESS;
}

WdcStatus WDC_PciDeviceClose(WdcDeviceHandle hDev) {
  if (WdcStatus forced = CheckForced(Op::PciDeviceClose)) return forced;
  LibraryState& lib = Lib();
  std::unique_lock<std::mutex> lock(lib.mu);
  DeviceSlot* slot = FindDevice(hDev);
  if (slot == nullptr) return RefuseHandle();
  if (InterruptState* state = slot->interrupt.load(std::memory_order_acquire)) {
    if (state == CurrentInterruptThread()) return WDC_STATUS_WRONG_THREAD;
    // Closing with the interrupt still enabled is a leak of the caller's that the ledger
    // reports; the thread must end here all the same, since it reads through this device.
    slot->interrupt.store(nullptr, std::memory_order_release);
    StopInterrupt(state);
    ++lib.interrupts_left;
    lock.unlock();
    JoinInterrupt(state);
    lock.lock();
  }
  CloseBoard(lib, slot);
  return WDC_STATUS_SUCCESS;
}
