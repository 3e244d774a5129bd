// The board's view of host memory: the IOMMU of the virtual board. Every DMA access of the
// board goes through here by bus address; nothing outside a mapped range, or against the
// direction of its lock, is ever touched.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "wdc/wdc_lib.h"
#include "wdc/backend.h"

namespace sim {

// Host memory as the board's DMA reaches it, by bus address. The board's own bus map is one;
// an IOMMU in front of the board (a model of the kernel's) can be another.
class HostMemory {
 public:
  virtual ~HostMemory() = default;
  // The lock every engine copy holds for its whole duration, so that an unmap waits for a copy
  // in progress and no copy starts on memory being unmapped.
  virtual std::unique_lock<std::mutex> Lock() = 0;
  // With Lock() held. All or nothing: either the whole span is reachable in the direction
  // asked and is copied, or false and no host byte is touched.
  virtual bool ReadLocked(uint64_t bus, void* dst, uint64_t len) = 0;         // the board reads
  virtual bool WriteLocked(uint64_t bus, const void* src, uint64_t len) = 0;  // the board writes
  virtual bool CheckLocked(uint64_t bus, uint64_t len, wdc::DmaDir dir) = 0;
  // With Lock() held: the board reads `len` bytes at `from` and writes them at `to`, all or
  // nothing in the same way (both spans checked before a byte moves), host memory to host
  // memory.
  virtual bool CopyLocked(uint64_t from, uint64_t to, uint64_t len) = 0;
};

class BusMap final : public HostMemory {
 public:
  static constexpr uint64_t kPage = 4096;

  // misalign: bytes past a 4 KiB bus boundary at which contiguous ranges start; high_bus: hand
  // out addresses above 4 GiB.
  BusMap(uint32_t misalign, bool high_bus);
  ~BusMap();
  BusMap(const BusMap&) = delete;
  BusMap& operator=(const BusMap&) = delete;

  WdcStatus AllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out);
  WdcStatus MapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out);
  // Unknown or already unmapped cookies are ignored. From its return no copy touches the memory.
  void Unmap(wdc::DmaMapping* mapping);
  // Unmaps everything (the board's close); the records that named the mappings are dropped by
  // their owner without an unmap.
  void UnmapAll();

  std::unique_lock<std::mutex> Lock() override { return std::unique_lock<std::mutex>(mu_); }
  // A span is reachable when it lies in one mapping, in pages of the right direction.
  bool ReadLocked(uint64_t bus, void* dst, uint64_t len) override;
  bool WriteLocked(uint64_t bus, const void* src, uint64_t len) override;
  bool CheckLocked(uint64_t bus, uint64_t len, wdc::DmaDir dir) override;
  bool CopyLocked(uint64_t from, uint64_t to, uint64_t len) override;

 private:
  struct PageEntry {
    uintptr_t host_page = 0;  // host address of bus offset 0 of the page (may lie before lo)
    uint64_t mapping = 0;     // cookie of the lock; 0: the bus page is unmapped
    uint16_t lo = 0;          // bytes [lo, hi) of the page are mapped
    uint16_t hi = 0;
    wdc::DmaDir dir = wdc::DmaDir::kToDevice;
  };
  struct Mapping {
    void* owned = nullptr;       // contiguous memory the map allocated
    std::vector<uint32_t> pfns;  // bus page numbers (relative to the base) it holds
    bool contig = false;
  };
  static constexpr uint32_t kLeafBits = 10;
  static constexpr uint32_t kPfnCount = 1u << 20;  // 4 GiB of bus pages
  // Contiguous ranges come from [256 MiB, 2 GiB) and scatter/gather pages from [2 GiB, 4 GiB)
  // of the bus window; bus address 0 is never handed out.
  static constexpr uint32_t kContigFirst = 0x10000, kContigEnd = 0x80000;
  static constexpr uint32_t kSgFirst = 0x80000, kSgBits = 19;

  PageEntry* Entry(uint32_t pfn);
  uint8_t* HostAt(uint64_t bus);            // a bus address already checked
  PageEntry* EntryForInsert(uint32_t pfn);  // null when out of memory
  template <class Fn>
  bool Walk(uint64_t bus, uint64_t len, wdc::DmaDir dir, Fn fn);
  bool AllocContigPfns(uint32_t count, uint32_t* first);
  void FreeContigPfns(uint32_t first, uint32_t count);
  uint32_t NextSgPfn(uint32_t previous);
  void Release(Mapping* m);

  const uint32_t misalign_;
  const uint64_t base_;
  std::mutex mu_;
  std::unique_ptr<std::unique_ptr<PageEntry[]>[]> table_;
  std::unordered_map<uint64_t, Mapping> mappings_;
  uint64_t next_cookie_ = 1;
  std::vector<std::pair<uint32_t, uint32_t>> contig_free_;  // (first pfn, count), sorted
  uint32_t sg_cursor_ = 0;
  uint32_t sg_used_ = 0;
};

}  // namespace sim
