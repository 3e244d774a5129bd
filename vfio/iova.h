// The bus addresses (IOVAs) of one container: first fit over the usable ranges below the
// board's bus limit, with freed ranges merged back.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace vfio {

struct IovaRange {
  uint64_t first;
  uint64_t last;  // inclusive, as the kernel reports them: the top of the space has no end
};

class IovaAllocator {
 public:
  // `usable`: the ranges the IOMMU accepts (any order). Only whole pages of `page` bytes below
  // `limit` are handed out, and never the first page: a bus address of zero is what an
  // unprogrammed descriptor holds, and it must fault rather than reach a buffer.
  void Reset(const std::vector<IovaRange>& usable, uint64_t limit, uint64_t page);
  // `bytes` is a multiple of the page. False when no free range is long enough.
  bool Allocate(uint64_t bytes, uint64_t* iova);
  void Free(uint64_t iova, uint64_t bytes);

 private:
  std::map<uint64_t, uint64_t> free_;  // start -> end (exclusive)
};

}  // namespace vfio
