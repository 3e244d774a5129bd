#include "dma_table.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "fault_guard.h"
#include "wire.h"

namespace vfu {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kCopyChunk = 64 * 1024;
// A page fault in a FUSE file waits for its daemon, the client: the copy could hang for good.
constexpr long kFuseMagic = 0x65735546;

// [iova, iova + len) fits below 2^64; len is at least 1.
bool Fits(uint64_t iova, uint64_t len) { return len - 1 <= kMax - iova; }

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

uint64_t Down(uint64_t v, uint64_t align) { return v / align * align; }
// v + align - 1 fits: v is a file offset, below 2^63.
uint64_t Up(uint64_t v, uint64_t align) { return Down(v + align - 1, align); }

// What an mmap of the file must be aligned to: the page, or a huge page (hugetlbfs shows its
// page size as the block size).
uint64_t MapAlign(const struct stat& st) {
  const uint64_t b = static_cast<uint64_t>(st.st_blksize);
  const bool huge = b > DmaTable::kPageBytes && b <= (uint64_t{1} << 30) && (b & (b - 1)) == 0;
  return huge ? b : DmaTable::kPageBytes;
}

}  // namespace

DmaTable::File::~File() {
  if (base != nullptr) munmap(base, static_cast<size_t>(bytes));
}

DmaTable::DmaTable(Log& log, int reply_ms) : log_(log), reply_ms_(reply_ms) { InstallFaultGuard(); }

DmaTable::~DmaTable() {
  std::lock_guard<std::mutex> lock(mu_);
  maps_.clear();
}

std::unique_lock<std::mutex> DmaTable::Lock() { return std::unique_lock<std::mutex>(mu_); }

void DmaTable::AttachLocked(Channel* client, uint64_t max_xfer) {
  client_ = client;
  max_xfer_ = std::max<uint64_t>(1, std::min<uint64_t>(max_xfer, kMaxDataXfer));
}

DmaTable::Piece DmaTable::PieceAt(uint64_t pos, uint64_t left) const {
  auto it = maps_.upper_bound(pos);
  if (it != maps_.begin()) {
    const Mapping& m = std::prev(it)->second;
    if (m.last >= pos) {
      const uint64_t after = m.last - pos;
      return {&m, left - 1 <= after ? left : after + 1};
    }
  }
  if (it == maps_.end()) return {nullptr, left};
  return {nullptr, std::min(left, it->first - pos)};
}

bool DmaTable::Reachable(uint64_t iova, uint64_t len, bool device_writes) const {
  if (!bus_master_.load(std::memory_order_relaxed) || client_ == nullptr) return false;
  if (len == 0) return true;
  if (!Fits(iova, len)) return false;
  const uint32_t need = device_writes ? kMapWrite : kMapRead;
  for (uint64_t pos = iova, left = len; left > 0;) {
    const Piece p = PieceAt(pos, left);
    if (p.map != nullptr && (p.map->flags & need) == 0) return false;
    pos += p.len;
    left -= p.len;
  }
  return true;
}

bool DmaTable::CheckLocked(uint64_t iova, uint64_t len, bool device_writes) {
  return Reachable(iova, len, device_writes);
}

bool DmaTable::Move(void* dst, const void* src, uint64_t n, const Mapping* a, const Mapping* b,
                    uint64_t iova) {
  const auto span = [](const Mapping* m) {
    return m != nullptr ? ClientSpan{m->file->base, m->file->bytes} : ClientSpan{};
  };
  if (GuardedMove(dst, src, static_cast<size_t>(n), span(a), span(b))) return true;
  for (const Mapping* m : {a, b}) {
    if (m == nullptr || m->file->faulted) continue;
    m->file->faulted = true;
    log_.Line("a DMA at iova " + Hex(iova) + " faulted in the client's memory file (it shrank, " +
              "or its filesystem has no page there): the access fails");
  }
  return false;
}

int DmaTable::ReplyMsLeft(uint64_t iova) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  if (left.count() > 0) return static_cast<int>(left.count());
  log_.Line("a DMA at iova " + Hex(iova) + " took the client more than " +
            std::to_string(reply_ms_) + " ms in all: the access fails");
  return 0;
}

bool DmaTable::ClientRead(uint64_t iova, uint8_t* dst, uint64_t len) {
  Message reply;
  for (uint64_t done = 0; done < len;) {
    const uint64_t n = std::min(len - done, max_xfer_);
    uint8_t req[16];
    Put<uint64_t>(req, iova + done);
    Put<uint64_t>(req + 8, n);
    const int ms = ReplyMsLeft(iova);
    if (ms == 0 || !client_->Call(kDmaRead, req, sizeof req, &reply, ms)) return false;
    if ((reply.hdr.flags & kFlagError) != 0 || reply.hdr.cmd != kDmaRead ||
        reply.payload.size() != 16 + n)
      return false;
    std::memcpy(dst + done, reply.payload.data() + 16, n);
    done += n;
  }
  return true;
}

// A client piece of a write is sent in chunks; when the client refuses a chunk after it took
// earlier ones, those stay written, as the earlier bus transactions of a real device's faulting
// transfer would. WritePieces sends the client's pieces before it copies any mapped one, so a
// refusal of the first chunk (a stray access) changes nothing.
bool DmaTable::ClientWrite(uint64_t iova, const uint8_t* src, uint64_t len) {
  Message reply;
  for (uint64_t done = 0; done < len;) {
    const uint64_t n = std::min(len - done, max_xfer_);
    request_.resize(16 + n);
    Put<uint64_t>(request_.data(), iova + done);
    Put<uint64_t>(request_.data() + 8, n);
    std::memcpy(request_.data() + 16, src + done, n);
    const int ms = ReplyMsLeft(iova);
    if (ms == 0 || !client_->Call(kDmaWrite, request_.data(), request_.size(), &reply, ms))
      return false;
    if ((reply.hdr.flags & kFlagError) != 0 || reply.hdr.cmd != kDmaWrite) return false;
    done += n;
  }
  return true;
}

bool DmaTable::ReadPieces(uint64_t iova, uint8_t* out, uint64_t len) {
  for (uint64_t pos = iova, left = len; left > 0;) {
    const Piece p = PieceAt(pos, left);
    if (p.map != nullptr && p.map->file) {
      if (!Move(out, p.map->Host(pos), p.len, p.map, nullptr, pos)) return false;
    } else if (!ClientRead(pos, out, p.len)) {
      return false;
    }
    pos += p.len;
    out += p.len;
    left -= p.len;
  }
  return true;
}

// A mapped piece that faults leaves the pieces before it written, as a client's refusal of a
// later chunk does.
bool DmaTable::WritePieces(uint64_t iova, const uint8_t* in, uint64_t len) {
  for (int pass = 0; pass < 2; ++pass) {
    for (uint64_t pos = iova, left = len, at = 0; left > 0;) {
      const Piece p = PieceAt(pos, left);
      const bool mapped = p.map != nullptr && p.map->file;
      if (pass == 0 && !mapped && !ClientWrite(pos, in + at, p.len)) return false;
      if (pass == 1 && mapped && !Move(p.map->Host(pos), in + at, p.len, p.map, nullptr, pos))
        return false;
      pos += p.len;
      at += p.len;
      left -= p.len;
    }
  }
  return true;
}

bool DmaTable::CopyPieces(uint64_t from, uint64_t to, uint64_t len) {
  for (uint64_t done = 0; done < len;) {
    const Piece pf = PieceAt(from + done, std::min(len - done, kCopyChunk));
    const Piece pt = PieceAt(to + done, pf.len);
    const uint64_t n = pt.len;
    const Mapping* src_map = pf.map != nullptr && pf.map->file ? pf.map : nullptr;
    const Mapping* dst_map = pt.map != nullptr && pt.map->file ? pt.map : nullptr;
    const uint8_t* src = src_map ? src_map->Host(from + done) : nullptr;
    if (!src_map) {
      bounce_.resize(n);
      if (!ClientRead(from + done, bounce_.data(), n)) return false;
      src = bounce_.data();
    }
    if (dst_map) {
      if (!Move(dst_map->Host(to + done), src, n, dst_map, src_map, to + done)) return false;
    } else if (!ClientWrite(to + done, src, n)) {
      return false;
    }
    done += n;
  }
  return true;
}

// The buffers of a client piece are the one thing an access allocates: without memory the
// access fails, as one the client refused, and the server goes on. The client has reply_ms for
// all the messages of one access, however small its max_data_xfer_size makes them.
bool DmaTable::ReadLocked(uint64_t iova, void* dst, uint64_t len) {
  if (!Reachable(iova, len, false)) return false;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_ms_);
  try {
    return ReadPieces(iova, static_cast<uint8_t*>(dst), len);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool DmaTable::WriteLocked(uint64_t iova, const void* src, uint64_t len) {
  if (!Reachable(iova, len, true)) return false;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_ms_);
  try {
    return WritePieces(iova, static_cast<const uint8_t*>(src), len);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool DmaTable::CopyLocked(uint64_t from, uint64_t to, uint64_t len) {
  if (!Reachable(from, len, false) || !Reachable(to, len, true)) return false;
  deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply_ms_);
  try {
    return CopyPieces(from, to, len);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

uint64_t DmaTable::SpanBytesLocked() {
  uint64_t total = 0;
  for (auto it = files_.begin(); it != files_.end();) {
    if (std::shared_ptr<File> f = it->second.lock()) {
      total += f->bytes;
      ++it;
    } else {
      it = files_.erase(it);
    }
  }
  return total;
}

int DmaTable::MapFile(UniqueFd fd, uint64_t offset, uint64_t size, bool need_write,
                      std::shared_ptr<File>* out, std::string* why) {
  struct stat st;
  struct statfs fs;
  if (fstat(fd.Get(), &st) != 0 || fstatfs(fd.Get(), &fs) != 0) {
    *why = std::string("fstat of its fd failed: ") + std::strerror(errno);
    return EINVAL;
  }
  if (!S_ISREG(st.st_mode) || fs.f_type == kFuseMagic) {
    *why = S_ISREG(st.st_mode) ? "its fd is a FUSE file" : "its fd is not a memory file";
    return EINVAL;
  }
  const uint64_t file_bytes = static_cast<uint64_t>(st.st_size);
  // The window must lie in the file as it is now; should it shrink later, the guarded copies
  // catch the fault.
  if (offset > file_bytes || size > file_bytes - offset) {
    *why = "offset " + Hex(offset) + " + size " + Hex(size) + " lies beyond its fd's " +
           std::to_string(file_bytes) + " bytes";
    return EINVAL;
  }
  const int mode = fcntl(fd.Get(), F_GETFL) & O_ACCMODE;
  if (mode == O_WRONLY || (need_write && mode != O_RDWR)) {
    *why = need_write ? "its fd is not open for reading and writing" : "its fd is write-only";
    return EACCES;
  }
  const bool writable = mode == O_RDWR;
  const FileKey key{st.st_dev, st.st_ino, writable};
  const uint64_t align = MapAlign(st);
  const uint64_t end = offset + size;
  // The window of this mapping, rounded out to the granule but not past the file's end.
  const uint64_t lo = Down(Down(offset, kGranule), align);
  const uint64_t hi = std::max(Up(end, align), std::min(Up(end, kGranule), Up(file_bytes, align)));
  // A span of this file that holds the window already, or the one that grows least to hold it.
  std::shared_ptr<File> grow;
  uint64_t grow_lo = 0, grow_hi = 0;
  for (auto [it, last] = files_.equal_range(key); it != last; ++it) {
    std::shared_ptr<File> f = it->second.lock();
    if (!f) continue;
    if (offset >= f->lo && end <= f->lo + f->bytes) {
      *out = std::move(f);
      return 0;
    }
    const uint64_t glo = std::min(lo, f->lo), ghi = std::max(hi, f->lo + f->bytes);
    if (!grow || ghi - glo < grow_hi - grow_lo) {
      grow = std::move(f);
      grow_lo = glo;
      grow_hi = ghi;
    }
  }
  const uint64_t in_use = SpanBytesLocked();
  if (grow && in_use - grow->bytes + (grow_hi - grow_lo) > kMaxMappedBytes) grow.reset();
  const uint64_t new_lo = grow ? grow_lo : lo, new_hi = grow ? grow_hi : hi;
  const uint64_t adds = new_hi - new_lo - (grow ? grow->bytes : 0);
  if (adds > kMaxMappedBytes - in_use || (!grow && files_.size() >= kMaxSpans)) {
    *why = "the client's files would take more than " +
           (adds > kMaxMappedBytes - in_use ? std::to_string(kMaxMappedBytes >> 30) + " GiB"
                                            : std::to_string(kMaxSpans) + " spans") +
           " of our address space (" + std::to_string(in_use >> 20) + " MiB mapped now)";
    return ENOMEM;
  }
  void* base =
      mmap(nullptr, static_cast<size_t>(new_hi - new_lo), PROT_READ | (writable ? PROT_WRITE : 0),
           MAP_SHARED, fd.Get(), static_cast<off_t>(new_lo));
  if (base == MAP_FAILED) {
    *why = std::string("mmap of its fd failed: ") + std::strerror(errno);
    return errno == ENOMEM ? ENOMEM : EINVAL;
  }
  if (grow) {
    // Every mapping into the span sees the new one at once: they find their bytes by file
    // offset. No access runs meanwhile (the lock is held).
    munmap(grow->base, static_cast<size_t>(grow->bytes));
    grow->base = static_cast<uint8_t*>(base);
    grow->lo = new_lo;
    grow->bytes = new_hi - new_lo;
    *out = std::move(grow);
    return 0;
  }
  auto f = std::make_shared<File>();
  f->base = static_cast<uint8_t*>(base);
  f->lo = new_lo;
  f->bytes = new_hi - new_lo;
  files_.emplace(key, f);
  *out = std::move(f);
  return 0;
}

int DmaTable::MapLocked(uint64_t iova, uint64_t size, uint64_t offset, uint32_t flags, UniqueFd fd,
                        std::string* why) {
  if ((flags & ~(kMapRead | kMapWrite)) != 0) {
    *why = "flags " + Hex(flags) + " has unknown bits";
    return EINVAL;
  }
  if (size == 0 || !Fits(iova, size)) {
    *why = "iova " + Hex(iova) + " size " + Hex(size) + " is empty or wraps past 2^64";
    return EINVAL;
  }
  // The page size we announced (pgsizes): a mapping's ends, and its file offset, on pages.
  if (iova % kPageBytes != 0 || size % kPageBytes != 0 ||
      (fd.Valid() && offset % kPageBytes != 0)) {
    *why = "iova " + Hex(iova) + " size " + Hex(size) +
           (fd.Valid() ? " offset " + Hex(offset) : "") + " not on " + std::to_string(kPageBytes) +
           "-byte pages";
    return EINVAL;
  }
  if (maps_.size() >= kMaxDmaMaps) {
    *why = "already " + std::to_string(maps_.size()) + " mappings, the most we take";
    return ENOSPC;
  }
  const uint64_t last = iova + (size - 1);
  auto next = maps_.upper_bound(last);
  if (next != maps_.begin() && std::prev(next)->second.last >= iova) {
    *why = "iova " + Hex(iova) + " size " + Hex(size) + " overlaps a mapping";
    return EEXIST;
  }
  Mapping m{iova, last, flags, nullptr, offset};
  if (fd.Valid()) {
    const int err = MapFile(std::move(fd), offset, size, (flags & kMapWrite) != 0, &m.file, why);
    if (err != 0) return err;
  }
  maps_.emplace(iova, std::move(m));
  return 0;
}

size_t DmaTable::UnmapLocked(uint64_t iova, uint64_t size, bool all) {
  if (all) {
    const size_t n = maps_.size();
    maps_.clear();
    files_.clear();
    return n;
  }
  if (size == 0) return 0;
  const uint64_t last = Fits(iova, size) ? iova + (size - 1) : kMax;
  auto it = maps_.upper_bound(iova);
  if (it != maps_.begin() && std::prev(it)->second.last >= iova) --it;
  size_t n = 0;
  while (it != maps_.end() && it->first <= last) {
    it = maps_.erase(it);
    ++n;
  }
  return n;
}

}  // namespace vfu
