// DMA buffers: the library's records over the board's mappings. A record is valid while it
// is in the library's list; membership is decided by comparing addresses, never by reading
// through the caller's pointer.
#include <algorithm>
#include <new>

#include "library_state.h"

namespace wdc {
namespace {

inline WdcStatus CheckForced(Op op) {
  return WDC_UNLIKELY(g_fail_armed[static_cast<uint32_t>(op)]) ? ForcedFailure(op)
                                                                : WDC_STATUS_SUCCESS;
}

bool DirectionOf(uint32_t options, DmaDir* dir) {
  if (options == DMA_OPT_TO_DEVICE) {
    *dir = DmaDir::kToDevice;
    return true;
  }
  if (options == DMA_OPT_FROM_DEVICE) {
    *dir = DmaDir::kFromDevice;
    return true;
  }
  return false;
}

// Turns a fresh mapping into a listed record; unmaps it again when there is no room.
WdcStatus Record(LibraryState& lib, Board* board, uint32_t options, DmaMapping&& mapping,
                 WdcDmaRecord** out) {
  DmaBuffer* buffer = new (std::nothrow) DmaBuffer;
  if (buffer == nullptr) {
    board->DmaUnmap(&mapping);
    return WDC_STATUS_NO_MEMORY;
  }
  buffer->mapping = std::move(mapping);
  buffer->board = board;
  buffer->pub.pUserAddr = buffer->mapping.host;
  buffer->pub.dwBytes = buffer->mapping.bytes;
  buffer->pub.dwOptions = options;
  buffer->pub.dwPages = static_cast<uint32_t>(buffer->mapping.pages.size());
  buffer->pub.Page = buffer->mapping.pages.empty() ? nullptr : buffer->mapping.pages.data();
  try {
    lib.dma.push_back(buffer);
  } catch (const std::bad_alloc&) {  // short of memory: a status, never an exception
    board->DmaUnmap(&buffer->mapping);
    delete buffer;
    return WDC_STATUS_NO_MEMORY;
  }
  *out = &buffer->pub;
  return WDC_STATUS_SUCCESS;
}

std::vector<DmaBuffer*>::iterator FindBuffer(LibraryState& lib, const WdcDmaRecord* record) {
  return std::find_if(lib.dma.begin(), lib.dma.end(),
                      [record](const DmaBuffer* buffer) { return &buffer->pub == record; });
}

template <typename Sync>
WdcStatus SyncBuffer(Op op, WdcDmaRecord* record, Sync sync) {
  if (WdcStatus forced = CheckForced(op)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (!g_open.load(std::memory_order_relaxed)) return WDC_STATUS_NOT_OPEN;
  auto it = FindBuffer(lib, record);
  if (record == nullptr || it == lib.dma.end()) return WDC_STATUS_INVALID_DMA_RECORD;
  sync((*it)->board, (*it)->mapping);
  return WDC_STATUS_SUCCESS;
}

}  // namespace
}  // namespace wdc

using namespace wdc;

WdcStatus WDC_DMAContigBufLock(WdcDeviceHandle hDev, void** ppBuf, uint32_t options, uint32_t size,
                               WdcDmaRecord** ppDma) {
  if (WdcStatus forced = CheckForced(Op::DMAContigBufLock)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  DeviceSlot* slot = FindDevice(hDev);
  if (slot == nullptr) return RefuseHandle();
  DmaDir dir;
  if (ppBuf == nullptr || ppDma == nullptr || size == 0 || !DirectionOf(options, &dir))
    return WDC_STATUS_INVALID_PARAMETER;
  DmaMapping mapping;
  const WdcStatus status = slot->board->DmaAllocContig(size, dir, &mapping);
  if (status != WDC_STATUS_SUCCESS) return status;
  void* host = mapping.host;
  const WdcStatus recorded = Record(lib, slot->board, options, std::move(mapping), ppDma);
  if (recorded == WDC_STATUS_SUCCESS) *ppBuf = host;
  return recorded;
}

WdcStatus WDC_DMASGBufLock(WdcDeviceHandle hDev, void* pBuf, uint32_t options, uint32_t size,
                           WdcDmaRecord** ppDma) {
  if (WdcStatus forced = CheckForced(Op::DMASGBufLock)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  DeviceSlot* slot = FindDevice(hDev);
  if (slot == nullptr) return RefuseHandle();
  DmaDir dir;
  if (pBuf == nullptr || ppDma == nullptr || size == 0 || !DirectionOf(options, &dir))
    return WDC_STATUS_INVALID_PARAMETER;
  DmaMapping mapping;
  const WdcStatus status = slot->board->DmaMapUser(pBuf, size, dir, &mapping);
  if (status != WDC_STATUS_SUCCESS) return status;
  return Record(lib, slot->board, options, std::move(mapping), ppDma);
}

WdcStatus WDC_DMABufUnlock(WdcDmaRecord* pDma) {
  if (WdcStatus forced = CheckForced(Op::DMABufUnlock)) return forced;
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (!g_open.load(std::memory_order_relaxed)) return WDC_STATUS_NOT_OPEN;
  auto it = FindBuffer(lib, pDma);
  if (pDma == nullptr || it == lib.dma.end()) return WDC_STATUS_INVALID_DMA_RECORD;
  DmaBuffer* buffer = *it;
  lib.dma.erase(it);
  buffer->board->DmaUnmap(&buffer->mapping);
  delete buffer;
  return WDC_STATUS_SUCCESS;
}

WdcStatus WDC_DMASyncCpu(WdcDmaRecord* pDma) {
  return SyncBuffer(Op::DMASyncCpu, pDma, [](Board* board, const DmaMapping& mapping) {
    board->DmaSyncForDevice(mapping);
  });
}

WdcStatus WDC_DMASyncIo(WdcDmaRecord* pDma) {
  return SyncBuffer(Op::DMASyncIo, pDma, [](Board* board, const DmaMapping& mapping) {
    board->DmaSyncForCpu(mapping);
  });
}
