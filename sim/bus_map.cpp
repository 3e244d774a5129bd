#include "bus_map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#ifdef _WIN32
#include <malloc.h>
#endif

namespace sim {
namespace {

// Page-aligned host memory. The Windows C library has no aligned_alloc; its aligned blocks come
// from _aligned_malloc and must go back through _aligned_free, never free.
void* AllocPages(size_t bytes, size_t page) {
#ifdef _WIN32
  return _aligned_malloc(bytes, page);
#else
  return std::aligned_alloc(page, bytes);
#endif
}

void FreePages(void* mem) {
#ifdef _WIN32
  _aligned_free(mem);
#else
  std::free(mem);
#endif
}

// Host memory a contiguous lock may ask for. The controller's length field is 29 bits; a
// request beyond what any transfer could use is refused rather than allocated.
constexpr uint64_t kMaxContigBytes = 256u << 20;

uint32_t Perm19(uint32_t k) {
  // A bijection of 19-bit numbers that scatters within blocks of 256 pages (1 MiB of bus space):
  // consecutive pages of a buffer are 97 pages apart modulo the block, so never adjacent and in
  // no ascending order, while a buffer's page-table entries stay in a few table leaves (a
  // scatter over the whole window would touch every leaf: 12 MiB of tables for 50 MiB).
  return (k & ~0xFFu) | ((k * 97u) & 0xFFu);
}

}  // namespace

BusMap::BusMap(uint32_t misalign, bool high_bus)
    : misalign_(misalign & 0xFFF),
      base_(high_bus ? (uint64_t{1} << 32) : 0),
      table_(new std::unique_ptr<PageEntry[]>[kPfnCount >> kLeafBits]) {
  contig_free_.push_back({kContigFirst, kContigEnd - kContigFirst});
}

BusMap::~BusMap() {
  for (auto& kv : mappings_) FreePages(kv.second.owned);
}

BusMap::PageEntry* BusMap::Entry(uint32_t pfn) {
  PageEntry* leaf = table_[pfn >> kLeafBits].get();
  return leaf ? &leaf[pfn & ((1u << kLeafBits) - 1)] : nullptr;
}

BusMap::PageEntry* BusMap::EntryForInsert(uint32_t pfn) {
  std::unique_ptr<PageEntry[]>& leaf = table_[pfn >> kLeafBits];
  if (!leaf) leaf.reset(new (std::nothrow) PageEntry[1u << kLeafBits]());
  return leaf ? &leaf[pfn & ((1u << kLeafBits) - 1)] : nullptr;
}

bool BusMap::AllocContigPfns(uint32_t count, uint32_t* first) {
  for (size_t i = 0; i < contig_free_.size(); ++i) {
    auto& r = contig_free_[i];
    if (r.second < count) continue;
    *first = r.first;
    r.first += count;
    r.second -= count;
    if (r.second == 0) contig_free_.erase(contig_free_.begin() + static_cast<ptrdiff_t>(i));
    return true;
  }
  return false;
}

void BusMap::FreeContigPfns(uint32_t first, uint32_t count) {
  auto it = std::lower_bound(contig_free_.begin(), contig_free_.end(),
                             std::make_pair(first, uint32_t{0}));
  it = contig_free_.insert(it, {first, count});
  // Merge with the neighbours so that large ranges become available again.
  if (it + 1 != contig_free_.end() && it->first + it->second == (it + 1)->first) {
    it->second += (it + 1)->second;
    contig_free_.erase(it + 1);
  }
  if (it != contig_free_.begin() && (it - 1)->first + (it - 1)->second == it->first) {
    (it - 1)->second += it->second;
    contig_free_.erase(it);
  }
}

uint32_t BusMap::NextSgPfn(uint32_t previous) {
  // Bounded: at most one sweep of the region; the caller checked there is room.
  for (uint32_t tries = 0; tries < (1u << kSgBits); ++tries) {
    uint32_t pfn = kSgFirst + Perm19(sg_cursor_++ & ((1u << kSgBits) - 1));
    PageEntry* e = Entry(pfn);
    if (e && e->mapping != 0) continue;
    if (previous != 0 && (pfn == previous + 1 || pfn + 1 == previous)) continue;
    return pfn;
  }
  return 0;
}

WdcStatus BusMap::AllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  if (out == nullptr || bytes == 0) return WDC_STATUS_INVALID_PARAMETER;
  if (bytes > kMaxContigBytes) return WDC_STATUS_NO_MEMORY;
  const uint64_t rounded = (uint64_t{bytes} + kPage - 1) & ~(kPage - 1);
  const uint32_t pages = static_cast<uint32_t>((misalign_ + uint64_t{bytes} + kPage - 1) / kPage);
  void* mem = AllocPages(rounded, kPage);
  if (mem == nullptr) return WDC_STATUS_NO_MEMORY;
  std::memset(mem, 0, rounded);

  std::lock_guard<std::mutex> lock(mu_);
  // Short of memory the lock fails with a status, never an exception: everything that
  // allocates comes before the map changes, or is undone by Release.
  const uint64_t cookie = next_cookie_++;
  Mapping* m;
  try {
    out->pages.reserve(1);
    m = &mappings_[cookie];
    m->pfns.reserve(pages);
  } catch (const std::bad_alloc&) {
    mappings_.erase(cookie);
    FreePages(mem);
    return WDC_STATUS_NO_MEMORY;
  }
  m->owned = mem;
  m->contig = true;
  uint32_t first;
  if (!AllocContigPfns(pages, &first)) {
    Release(m);
    mappings_.erase(cookie);
    return WDC_STATUS_NO_MEMORY;
  }
  for (uint32_t p = 0; p < pages; ++p) m->pfns.push_back(first + p);
  const uintptr_t host = reinterpret_cast<uintptr_t>(mem);
  for (uint32_t p = 0; p < pages; ++p) {
    PageEntry* e = EntryForInsert(first + p);
    if (e == nullptr) {
      Release(m);
      mappings_.erase(cookie);
      return WDC_STATUS_NO_MEMORY;
    }
    e->host_page = host + p * kPage - misalign_;
    e->mapping = cookie;
    e->lo = static_cast<uint16_t>(p == 0 ? misalign_ : 0);
    e->hi = static_cast<uint16_t>(
        std::min<uint64_t>(kPage, misalign_ + uint64_t{bytes} - uint64_t{p} * kPage));
    e->dir = dir;
  }
  out->host = mem;
  out->bytes = bytes;
  out->pages.assign(1, WdcDmaPage{base_ + uint64_t{first} * kPage + misalign_, bytes});
  out->cookie = cookie;
  return WDC_STATUS_SUCCESS;
}

WdcStatus BusMap::MapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  if (out == nullptr || host == nullptr || bytes == 0) return WDC_STATUS_INVALID_PARAMETER;
  const uintptr_t h = reinterpret_cast<uintptr_t>(host);
  if (h + bytes < h) return WDC_STATUS_INVALID_PARAMETER;
  const uint64_t first_off = h & (kPage - 1);
  const uint64_t pages = (first_off + bytes + kPage - 1) / kPage;

  std::lock_guard<std::mutex> lock(mu_);
  // Keep a margin so that the adjacency rule can always be met.
  if (sg_used_ + pages + 2 > (1u << kSgBits)) return WDC_STATUS_NO_MEMORY;
  std::vector<WdcDmaPage> list;
  const uint64_t cookie = next_cookie_++;
  Mapping* mp;
  try {  // allocations before the map changes: see AllocContig
    list.reserve(pages);
    mp = &mappings_[cookie];
    mp->pfns.reserve(pages);
  } catch (const std::bad_alloc&) {
    mappings_.erase(cookie);
    return WDC_STATUS_NO_MEMORY;
  }
  Mapping& m = *mp;
  uintptr_t cur = h;
  uint64_t left = bytes;
  uint32_t previous = 0;
  while (left > 0) {
    const uint64_t off = cur & (kPage - 1);
    const uint64_t n = std::min<uint64_t>(left, kPage - off);
    const uint32_t pfn = NextSgPfn(previous);
    PageEntry* e = pfn == 0 ? nullptr : EntryForInsert(pfn);
    if (e == nullptr) {
      Release(&m);
      mappings_.erase(cookie);
      return WDC_STATUS_NO_MEMORY;
    }
    e->host_page = cur - off;
    e->mapping = cookie;
    e->lo = static_cast<uint16_t>(off);
    e->hi = static_cast<uint16_t>(off + n);
    e->dir = dir;
    m.pfns.push_back(pfn);
    ++sg_used_;
    list.push_back(WdcDmaPage{base_ + uint64_t{pfn} * kPage + off, static_cast<uint32_t>(n)});
    previous = pfn;
    cur += n;
    left -= n;
  }
  out->host = host;
  out->bytes = bytes;
  out->pages = std::move(list);
  out->cookie = cookie;
  return WDC_STATUS_SUCCESS;
}

void BusMap::Release(Mapping* m) {
  for (uint32_t pfn : m->pfns) {
    PageEntry* e = Entry(pfn);
    if (e) *e = PageEntry();
  }
  if (m->contig && !m->pfns.empty())
    FreeContigPfns(m->pfns.front(), static_cast<uint32_t>(m->pfns.size()));
  else
    sg_used_ -= static_cast<uint32_t>(m->pfns.size());
  FreePages(m->owned);
  m->owned = nullptr;
  m->pfns.clear();
}

void BusMap::Unmap(wdc::DmaMapping* mapping) {
  if (mapping == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = mappings_.find(mapping->cookie);
    if (it == mappings_.end()) return;
    Release(&it->second);
    mappings_.erase(it);
  }
  mapping->host = nullptr;
  mapping->bytes = 0;
  mapping->pages.clear();
  mapping->cookie = 0;
}

void BusMap::UnmapAll() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [cookie, m] : mappings_) Release(&m);
  mappings_.clear();
}

template <class Fn>
bool BusMap::Walk(uint64_t bus, uint64_t len, wdc::DmaDir dir, Fn fn) {
  if (bus < base_) return false;
  const uint64_t rel = bus - base_;
  const uint64_t window = uint64_t{kPfnCount} * kPage;
  if (rel >= window || len > window - rel) return false;
  uint64_t mapping = 0;
  uint64_t at = rel;
  while (len > 0) {
    const PageEntry* e = Entry(static_cast<uint32_t>(at / kPage));
    if (e == nullptr || e->mapping == 0 || e->dir != dir) return false;
    // One access stays within one mapping: bus pages of different locks are unrelated memory.
    if (mapping == 0)
      mapping = e->mapping;
    else if (mapping != e->mapping)
      return false;
    const uint64_t off = at & (kPage - 1);
    const uint64_t n = std::min<uint64_t>(len, kPage - off);
    if (off < e->lo || off + n > e->hi) return false;
    fn(reinterpret_cast<uint8_t*>(e->host_page + off), n);
    at += n;
    len -= n;
  }
  return true;
}

bool BusMap::CheckLocked(uint64_t bus, uint64_t len, wdc::DmaDir dir) {
  return Walk(bus, len, dir, [](uint8_t*, uint64_t) {});
}

// The copies below are memmove: g++ expands a memcpy whose length it can bound (here by the
// page) into `rep movsq`, which took a third longer than the C library's vector copy for the
// backloop's pages.
bool BusMap::ReadLocked(uint64_t bus, void* dst, uint64_t len) {
  if (!CheckLocked(bus, len, wdc::DmaDir::kToDevice)) return false;
  uint8_t* d = static_cast<uint8_t*>(dst);
  return Walk(bus, len, wdc::DmaDir::kToDevice, [&d](uint8_t* host, uint64_t n) {
    std::memmove(d, host, n);
    d += n;
  });
}

bool BusMap::WriteLocked(uint64_t bus, const void* src, uint64_t len) {
  if (!CheckLocked(bus, len, wdc::DmaDir::kFromDevice)) return false;
  const uint8_t* s = static_cast<const uint8_t*>(src);
  return Walk(bus, len, wdc::DmaDir::kFromDevice, [&s](uint8_t* host, uint64_t n) {
    std::memmove(host, s, n);
    s += n;
  });
}

uint8_t* BusMap::HostAt(uint64_t bus) {
  const uint64_t rel = bus - base_;
  return reinterpret_cast<uint8_t*>(Entry(static_cast<uint32_t>(rel / kPage))->host_page +
                                    (rel & (kPage - 1)));
}

// Page by page from host memory to host memory: the backloop streams through here, and one
// copy instead of two through a scratch buffer is what lets it keep up with fast links.
bool BusMap::CopyLocked(uint64_t from, uint64_t to, uint64_t len) {
  if (!CheckLocked(from, len, wdc::DmaDir::kToDevice) ||
      !CheckLocked(to, len, wdc::DmaDir::kFromDevice))
    return false;
  while (len > 0) {
    const uint64_t n = std::min({len, kPage - (from & (kPage - 1)), kPage - (to & (kPage - 1))});
    std::memmove(HostAt(to), HostAt(from), n);
    from += n;
    to += n;
    len -= n;
  }
  return true;
}

}  // namespace sim
