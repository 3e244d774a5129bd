// The board's DMA mappings in one container: the IOVA ranges the IOMMU accepts, the bus
// addresses handed out below the board's limit, and each lock's mapping until its unlock or
// the close.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "iova.h"
#include "vfio/kernel.h"
#include "wdc/backend.h"

namespace vfio {

class DmaMaps {
 public:
  DmaMaps(Kernel& kernel, std::string bdf) : kernel_(kernel), bdf_(std::move(bdf)) {}

  // The board's constraints, taken at every open before anything else: bus addresses stay below
  // bus_limit, and page (a power of two) is the unit of every mapping.
  void SetConstraints(uint64_t bus_limit, uint64_t page);
  // Reads the IOMMU's page sizes and usable IOVA ranges from `container_fd`, whose IOMMU is set;
  // from then on locks are mapped there.
  WdcStatus Open(int container_fd);
  // Removes every mapping and forgets the container. Returns the memory of the contiguous
  // locks, which the caller frees only once the container is closed.
  std::vector<void*> UnmapAll();

  WdcStatus AllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out);
  WdcStatus MapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out);
  void Unmap(wdc::DmaMapping* mapping);

 private:
  struct Mapping {
    uint64_t iova;
    uint64_t bytes;
    void* contig;  // memory of a contiguous lock, freed at the unmap; null for user memory
  };

  WdcStatus Map(void* vaddr, uint64_t bytes, wdc::DmaDir dir, uint64_t* iova);  // mu_ held

  Kernel& kernel_;
  const std::string bdf_;
  uint64_t bus_limit_ = 0;
  uint64_t page_ = 4096;
  int container_fd_ = -1;

  std::mutex mu_;  // guards the allocator and the mappings
  IovaAllocator iova_;
  std::map<uint64_t, Mapping> mappings_;  // by cookie
  uint64_t next_cookie_ = 1;
  uint64_t pinned_bytes_ = 0;
};

}  // namespace vfio
