#include "dma_maps.h"

#include <linux/vfio.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "failure.h"
#include "vfio/advice.h"

namespace vfio {
namespace {

// The x86 MSI window: writes there are interrupts, never memory, whatever the IOMMU maps.
constexpr uint64_t kMsiFirst = 0xFEE00000, kMsiLast = 0xFEEFFFFF;

}  // namespace

void DmaMaps::SetConstraints(uint64_t bus_limit, uint64_t page) {
  bus_limit_ = bus_limit;
  page_ = page;
}

WdcStatus DmaMaps::Open(int container_fd) {
  container_fd_ = container_fd;
  // 8-byte words: the capabilities hold 64-bit fields.
  std::vector<uint64_t> buf((sizeof(vfio_iommu_type1_info) + 7) / 8);
  auto* info = reinterpret_cast<vfio_iommu_type1_info*>(buf.data());
  info->argsz = sizeof *info;
  if (int r = kernel_.Ioctl(container_fd, VFIO_IOMMU_GET_INFO, info); r < 0)
    return CallFailed("VFIO_IOMMU_GET_INFO", -r, bdf_);
  // The capability chain is there only when the buffer holds it: the kernel says how big.
  if (info->argsz > sizeof *info) {
    const uint32_t wanted = info->argsz;
    buf.assign((wanted + 7) / 8, 0);
    info = reinterpret_cast<vfio_iommu_type1_info*>(buf.data());
    info->argsz = wanted;
    if (int r = kernel_.Ioctl(container_fd, VFIO_IOMMU_GET_INFO, info); r < 0)
      return CallFailed("VFIO_IOMMU_GET_INFO", -r, bdf_);
  }
  const size_t size = std::min<size_t>(info->argsz, buf.size() * 8);
  if ((info->flags & VFIO_IOMMU_INFO_PGSIZES) && info->iova_pgsizes != 0) {
    const uint64_t smallest = info->iova_pgsizes & (~info->iova_pgsizes + 1);
    if (smallest > page_)
      return Fail(WDC_STATUS_SYSTEM_ERROR, "the IOMMU of the board at " + bdf_ + " maps pages of " +
                                               std::to_string(smallest) +
                                               " bytes at the least, more than " +
                                               std::to_string(page_));
  }

  std::vector<IovaRange> usable;
  bool reported = false;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(buf.data());
  uint32_t offset = (info->flags & VFIO_IOMMU_INFO_CAPS) ? info->cap_offset : 0;
  // Bounded walk: a chain that loops must not hang the open.
  for (int hops = 0; offset != 0 && hops < 64; ++hops) {
    if (offset % 4 != 0 || offset + sizeof(vfio_info_cap_header) > size) break;
    vfio_info_cap_header header;
    std::memcpy(&header, bytes + offset, sizeof header);
    if (header.id == VFIO_IOMMU_TYPE1_INFO_CAP_IOVA_RANGE &&
        offset + sizeof(vfio_iommu_type1_info_cap_iova_range) <= size) {
      vfio_iommu_type1_info_cap_iova_range cap;
      std::memcpy(&cap, bytes + offset, sizeof cap);
      const size_t first = offset + sizeof cap;
      for (uint32_t i = 0; i < cap.nr_iovas && first + (i + 1) * sizeof(vfio_iova_range) <= size;
           ++i) {
        vfio_iova_range range;
        std::memcpy(&range, bytes + first + i * sizeof range, sizeof range);
        usable.push_back({range.start, range.end});
      }
      reported = true;
    }
    offset = header.next;
  }
  if (!reported) {
    // Kernels before 5.4 report no ranges but still reserve the MSI window.
    usable = {{0, kMsiFirst - 1}, {kMsiLast + 1, UINT64_MAX}};
  }
  std::lock_guard<std::mutex> lock(mu_);
  iova_.Reset(usable, bus_limit_, page_);
  return WDC_STATUS_SUCCESS;
}

std::vector<void*> DmaMaps::UnmapAll() {
  std::vector<void*> contig;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [cookie, m] : mappings_) {
    vfio_iommu_type1_dma_unmap unmap = {};
    unmap.argsz = sizeof unmap;
    unmap.iova = m.iova;
    unmap.size = m.bytes;
    kernel_.Ioctl(container_fd_, VFIO_IOMMU_UNMAP_DMA, &unmap);
    if (m.contig) contig.push_back(m.contig);
  }
  mappings_.clear();
  pinned_bytes_ = 0;
  container_fd_ = -1;
  return contig;
}

WdcStatus DmaMaps::Map(void* vaddr, uint64_t bytes, wdc::DmaDir dir, uint64_t* iova) {
  // Known from the open's IOMMU step to the close: outside an open (the library locks nothing
  // during one), whether the board is open.
  if (container_fd_ < 0)
    return Fail(WDC_STATUS_SYSTEM_ERROR, "the board at " + bdf_ + " is not open");
  if (!iova_.Allocate(bytes, iova))
    return Fail(WDC_STATUS_NO_MEMORY, "no free bus addresses below " + Hex(bus_limit_) +
                                          " for a lock of " + KiB(bytes) + " on the board at " +
                                          bdf_);
  vfio_iommu_type1_dma_map map = {};
  map.argsz = sizeof map;
  // The flags are the device's view: it reads what goes to it, writes what comes from it.
  map.flags = dir == wdc::DmaDir::kToDevice ? VFIO_DMA_MAP_FLAG_READ : VFIO_DMA_MAP_FLAG_WRITE;
  map.vaddr = reinterpret_cast<uintptr_t>(vaddr);
  map.iova = *iova;
  map.size = bytes;
  const int r = kernel_.Ioctl(container_fd_, VFIO_IOMMU_MAP_DMA, &map);
  if (r == 0) {
    pinned_bytes_ += bytes;
    return WDC_STATUS_SUCCESS;
  }
  iova_.Free(*iova, bytes);
  if (r == -ENOMEM) {
    // The pins count against RLIMIT_MEMLOCK; with a finite limit that is what ran out.
    uint64_t soft = UINT64_MAX, hard = UINT64_MAX;
    if (kernel_.MemlockLimit(&soft, &hard) == 0 && soft != UINT64_MAX)
      return Fail(AdviseLockLimit(soft, hard, bytes, pinned_bytes_));
    return Fail(WDC_STATUS_NO_MEMORY, "the kernel could not pin " + KiB(bytes) +
                                          " for the board at " + bdf_ + ": " + ErrnoText(ENOMEM));
  }
  if (r == -ENOSPC)
    return Fail(WDC_STATUS_NO_MEMORY, "the IOMMU allows no more DMA mappings (" +
                                          ErrnoText(ENOSPC) + "); unlock buffers first");
  return CallFailed("VFIO_IOMMU_MAP_DMA", -r, bdf_);
}

WdcStatus DmaMaps::AllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  if (bytes == 0 || out == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  const uint64_t size = (uint64_t{bytes} + page_ - 1) / page_ * page_;
  void* mem = nullptr;
  if (posix_memalign(&mem, page_, size) != 0) return WDC_STATUS_NO_MEMORY;
  std::memset(mem, 0, size);
  try {
    out->pages.assign(1, WdcDmaPage{});
  } catch (const std::bad_alloc&) {
    std::free(mem);
    return WDC_STATUS_NO_MEMORY;
  }
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t iova = 0;
  const WdcStatus status = Map(mem, size, dir, &iova);
  if (status != WDC_STATUS_SUCCESS) {
    std::free(mem);
    out->pages.clear();
    return status;
  }
  const uint64_t cookie = next_cookie_++;
  mappings_[cookie] = {iova, size, mem};
  out->host = mem;
  out->bytes = bytes;
  out->pages[0] = {iova, bytes};
  out->cookie = cookie;
  return WDC_STATUS_SUCCESS;
}

WdcStatus DmaMaps::MapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  if (host == nullptr || bytes == 0 || out == nullptr) return WDC_STATUS_INVALID_PARAMETER;
  const uint64_t first = reinterpret_cast<uintptr_t>(host);
  const uint64_t start = first / page_ * page_;
  const uint64_t end = (first + bytes + page_ - 1) / page_ * page_;
  try {
    out->pages.clear();
    out->pages.reserve((end - start) / page_);
  } catch (const std::bad_alloc&) {
    return WDC_STATUS_NO_MEMORY;
  }
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t iova = 0;
  // The whole pages around the buffer: neighbours in its first and last page become visible
  // to the board too (in the direction of this lock), as with any page-granular IOMMU.
  const WdcStatus status = Map(reinterpret_cast<void*>(start), end - start, dir, &iova);
  if (status != WDC_STATUS_SUCCESS) return status;
  for (uint64_t at = first, left = bytes; left > 0;) {
    const uint64_t n = std::min(left, page_ - at % page_);
    out->pages.push_back({iova + (at - start), static_cast<uint32_t>(n)});
    at += n;
    left -= n;
  }
  const uint64_t cookie = next_cookie_++;
  mappings_[cookie] = {iova, end - start, nullptr};
  out->host = host;
  out->bytes = bytes;
  out->cookie = cookie;
  return WDC_STATUS_SUCCESS;
}

void DmaMaps::Unmap(wdc::DmaMapping* mapping) {
  if (mapping == nullptr) return;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = mappings_.find(mapping->cookie);
  mapping->cookie = 0;
  mapping->pages.clear();
  if (it == mappings_.end()) return;
  const Mapping m = it->second;
  vfio_iommu_type1_dma_unmap unmap = {};
  unmap.argsz = sizeof unmap;
  unmap.iova = m.iova;
  unmap.size = m.bytes;
  const int r = kernel_.Ioctl(container_fd_, VFIO_IOMMU_UNMAP_DMA, &unmap);
  // A mapping the kernel kept may still be reached by the board: its bus range and memory
  // stay reserved, and the close tries again before the container goes (which drops it anyway).
  if (r < 0 || unmap.size != m.bytes) return;
  mappings_.erase(it);
  iova_.Free(m.iova, m.bytes);
  pinned_bytes_ -= m.bytes;
  std::free(m.contig);
}

}  // namespace vfio
