// Register and memory accesses: the hottest path of the program (thousands of calls per DMA
// transfer), so no lock, no allocation and no atomic read-modify-write here; each check is a
// load and a branch, and the slow cases leave through out-of-line calls.
#include "library_state.h"

namespace wdc {
namespace {

// Where the board has mapped the BAR, an access is a bounds check and one load or store of
// exactly its width; the board sees it as its bus would. Elsewhere the board does the access.
// A BAR without a window has a window of no bytes, and a window's length is a multiple of 8
// (the open sees to both), so an aligned offset below the length leaves room for the access
// and the one check also tells whether there is a window. A misaligned offset goes to the
// slow path, which tells which failure it is.
template <typename T>
inline bool InWindow(const DeviceWindow& w, uint64_t offset) {
  return offset < w.bytes && (offset & (sizeof(T) - 1)) == 0;
}

template <typename T>
inline T LoadAt(const DeviceWindow& w, uint64_t offset) {
  return __atomic_load_n(reinterpret_cast<const volatile T*>(w.base + offset), __ATOMIC_RELAXED);
}

template <typename T>
inline void StoreAt(const DeviceWindow& w, uint64_t offset, T value) {
  __atomic_store_n(reinterpret_cast<volatile T*>(w.base + offset), value, __ATOMIC_RELAXED);
}

// Everything but a plain window hit: a forced failure, then the failures in the order a
// caller sees them, then the window or the board. The fast path jumps here with its own
// arguments, so it keeps nothing on the stack and saves no register.
template <Op kOp, typename T>
WDC_NOINLINE WdcStatus ReadSlow(WdcDeviceHandle handle, uint32_t space, uint64_t offset, T* value) {
  if (g_fail_armed[static_cast<uint32_t>(kOp)]) {
    if (WdcStatus forced = ForcedFailure(kOp)) return forced;
  }
  DeviceSlot* slot = FindDevice(handle);
  if (slot == nullptr) return RefuseHandle();
  if (space >= WDC_MAX_ADDR_SPACES || slot->bar_bytes[space] == 0) return WDC_STATUS_BAD_ADDR_SPACE;
  if (value == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  if (InWindow<T>(slot->mapped[space], offset)) {
    *value = LoadAt<T>(slot->mapped[space], offset);
    return WDC_STATUS_SUCCESS;
  }
  uint64_t word = 0;
  const WdcStatus status = slot->board->Read(space, offset, sizeof(T), &word);
  if (status == WDC_STATUS_SUCCESS) *value = static_cast<T>(word);
  return status;
}

template <Op kOp, typename T>
WDC_NOINLINE WdcStatus WriteSlow(WdcDeviceHandle handle, uint32_t space, uint64_t offset, T value) {
  if (g_fail_armed[static_cast<uint32_t>(kOp)]) {
    if (WdcStatus forced = ForcedFailure(kOp)) return forced;
  }
  DeviceSlot* slot = FindDevice(handle);
  if (slot == nullptr) return RefuseHandle();
  if (space >= WDC_MAX_ADDR_SPACES || slot->bar_bytes[space] == 0) return WDC_STATUS_BAD_ADDR_SPACE;
  if (InWindow<T>(slot->mapped[space], offset)) {
    StoreAt<T>(slot->mapped[space], offset, value);
    return WDC_STATUS_SUCCESS;
  }
  return slot->board->Write(space, offset, sizeof(T), value);
}

// The fast path: a handle that points at a slot, and an aligned access inside the space's fast
// window. A closed slot, a BAR without a window and armed forced failures have none.
template <typename T>
inline bool InFastWindow(WdcDeviceHandle handle, uint32_t space, uint64_t offset) {
  if (WDC_UNLIKELY(!IsSlotRecord(handle) || space >= WDC_MAX_ADDR_SPACES)) return false;
  // A volatile load, which g++ folds into its addressing where it does not fold an atomic one;
  // the length is an aligned word, stored atomically (release) after the base at open.
  const uint64_t bytes = *static_cast<const volatile uint64_t*>(&SlotOf(handle)->fast_bytes[space]);
  return WDC_LIKELY(offset < bytes && (offset & (sizeof(T) - 1)) == 0);
}

template <typename T>
inline volatile T* FastCell(WdcDeviceHandle handle, uint32_t space, uint64_t offset) {
  return reinterpret_cast<volatile T*>(SlotOf(handle)->fast_base[space] + offset);
}

template <Op kOp, typename T>
inline WdcStatus ReadAt(WdcDeviceHandle handle, uint32_t space, uint64_t offset, T* value) {
  if (WDC_LIKELY(InFastWindow<T>(handle, space, offset) && value != nullptr)) {
    *value = __atomic_load_n(FastCell<T>(handle, space, offset), __ATOMIC_RELAXED);
    return WDC_STATUS_SUCCESS;
  }
  return ReadSlow<kOp>(handle, space, offset, value);
}

template <Op kOp, typename T>
inline WdcStatus WriteAt(WdcDeviceHandle handle, uint32_t space, uint64_t offset, T value) {
  if (WDC_LIKELY(InFastWindow<T>(handle, space, offset))) {
    __atomic_store_n(FastCell<T>(handle, space, offset), value, __ATOMIC_RELAXED);
    return WDC_STATUS_SUCCESS;
  }
  return WriteSlow<kOp>(handle, space, offset, value);
}

}  // namespace
}  // namespace wdc

using namespace wdc;

WdcStatus WDC_ReadAddr8(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint8_t* val) {
  return ReadAt<Op::ReadAddr8>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_ReadAddr16(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint16_t* val) {
  return ReadAt<Op::ReadAddr16>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_ReadAddr32(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint32_t* val) {
  return ReadAt<Op::ReadAddr32>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_ReadAddr64(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint64_t* val) {
  return ReadAt<Op::ReadAddr64>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr8(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint8_t val) {
  return WriteAt<Op::WriteAddr8>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr16(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint16_t val) {
  return WriteAt<Op::WriteAddr16>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr32(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint32_t val) {
  return WriteAt<Op::WriteAddr32>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr64(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint64_t val) {
  return WriteAt<Op::WriteAddr64>(hDev, addrSpace, offset, val);
}
