#include "iova.h"

#include <algorithm>
#include <iterator>

namespace vfio {

void IovaAllocator::Reset(const std::vector<IovaRange>& usable, uint64_t limit, uint64_t page) {
  free_.clear();
  for (const IovaRange& r : usable) {
    const uint64_t first = std::max(r.first, page);
    // last + 1 overflows for a range that reaches the top of the space.
    const uint64_t end_excl = r.last >= limit - 1 ? limit : r.last + 1;
    const uint64_t start = (first + page - 1) / page * page;
    const uint64_t end = end_excl / page * page;
    if (start < end) Free(start, end - start);
  }
}

bool IovaAllocator::Allocate(uint64_t bytes, uint64_t* iova) {
  for (auto it = free_.begin(); it != free_.end(); ++it) {
    const uint64_t start = it->first, end = it->second;
    if (end - start < bytes) continue;
    free_.erase(it);
    if (end - start > bytes) free_.emplace(start + bytes, end);
    *iova = start;
    return true;
  }
  return false;
}

void IovaAllocator::Free(uint64_t iova, uint64_t bytes) {
  uint64_t start = iova, end = iova + bytes;
  auto next = free_.lower_bound(start);
  if (next != free_.begin()) {
    auto prev = std::prev(next);
    if (prev->second == start) {
      start = prev->first;
      free_.erase(prev);
    }
  }
  if (next != free_.end() && next->first == end) {
    end = next->second;
    free_.erase(next);
  }
  free_.emplace(start, end);
}

}  // namespace vfio
