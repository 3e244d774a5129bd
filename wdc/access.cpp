// Register and memory accesses: the hottest path of the program (thousands of calls per DMA
// transfer), so no lock, no allocation and no atomic read-modify-write here; each check is a
// load and a branch, and the slow cases leave through out-of-line calls.
#include "library_state.h"

namespace wdc {
namespace {

// Where the board has mapped the BAR, an access is a bounds check and one load or store of
// exactly its width; the board sees it as its bus would. Elsewhere the board does the access.
// The bounds check also refuses a misaligned offset; the out-of-line call then tells which.
template <typename T>
inline bool InWindow(const DeviceWindow& w, uint64_t offset) {
  return w.base != nullptr && w.bytes >= sizeof(T) && offset <= w.bytes - sizeof(T) &&
         (offset & (sizeof(T) - 1)) == 0;
}

template <Op kOp, typename T>
inline WdcStatus ReadAt(WdcDeviceHandle handle, uint32_t space, uint64_t offset, T* value) {
  if (WDC_UNLIKELY(g_fail_armed[static_cast<uint32_t>(kOp)])) {
    if (WdcStatus forced = ForcedFailure(kOp)) return forced;
  }
  DeviceSlot* slot = FindDevice(handle);
  if (WDC_UNLIKELY(slot == nullptr)) return RefuseHandle();
  if (WDC_UNLIKELY(space >= WDC_MAX_ADDR_SPACES || slot->bar_bytes[space] == 0))
    return WDC_STATUS_BAD_ADDR_SPACE;
  if (WDC_UNLIKELY(value == nullptr)) return WDC_STATUS_INVALID_PARAMETER;
  const DeviceWindow& w = slot->mapped[space];
  if (InWindow<T>(w, offset)) {
    *value = __atomic_load_n(reinterpret_cast<volatile T*>(w.base + offset), __ATOMIC_RELAXED);
    return WDC_STATUS_SUCCESS;
  }
  uint64_t word = 0;
  const WdcStatus status = slot->board->Read(space, offset, sizeof(T), &word);
  if (status == WDC_STATUS_SUCCESS) *value = static_cast<T>(word);
  return status;
}

template <Op kOp, typename T>
inline WdcStatus WriteAt(WdcDeviceHandle handle, uint32_t space, uint64_t offset, T value) {
  if (WDC_UNLIKELY(g_fail_armed[static_cast<uint32_t>(kOp)])) {
    if (WdcStatus forced = ForcedFailure(kOp)) return forced;
  }
  DeviceSlot* slot = FindDevice(handle);
  if (WDC_UNLIKELY(slot == nullptr)) return RefuseHandle();
  if (WDC_UNLIKELY(space >= WDC_MAX_ADDR_SPACES || slot->bar_bytes[space] == 0))
    return WDC_STATUS_BAD_ADDR_SPACE;
  const DeviceWindow& w = slot->mapped[space];
  if (InWindow<T>(w, offset)) {
    __atomic_store_n(reinterpret_cast<volatile T*>(w.base + offset), value, __ATOMIC_RELAXED);
    return WDC_STATUS_SUCCESS;
  }
  return slot->board->Write(space, offset, sizeof(T), value);
}

}  // namespace
}  // namespace wdc

using namespace wdc;

WdcStatus WDC_ReadAddr8(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint8_t* val) {
  return ReadAt<Op::ReadAddr8>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_ReadAddr16(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset,
                         uint16_t* val) {
  return ReadAt<Op::ReadAddr16>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_ReadAddr32(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset,
                         uint32_t* val) {
  return ReadAt<Op::ReadAddr32>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_ReadAddr64(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset,
                         uint64_t* val) {
  return ReadAt<Op::ReadAddr64>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr8(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset, uint8_t val) {
  return WriteAt<Op::WriteAddr8>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr16(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset,
                          uint16_t val) {
  return WriteAt<Op::WriteAddr16>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr32(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset,
                          uint32_t val) {
  return WriteAt<Op::WriteAddr32>(hDev, addrSpace, offset, val);
}
WdcStatus WDC_WriteAddr64(WdcDeviceHandle hDev, uint32_t addrSpace, uint64_t offset,
                          uint64_t val) {
  return WriteAt<Op::WriteAddr64>(hDev, addrSpace, offset, val);
}
