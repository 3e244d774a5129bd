#include "dma_table.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "wire.h"

namespace vfu {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kCopyChunk = 64 * 1024;

// [iova, iova + len) fits below 2^64; len is at least 1.
bool Fits(uint64_t iova, uint64_t len) { return len - 1 <= kMax - iova; }

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

DmaTable::File::~File() {
  if (base != nullptr) munmap(base, static_cast<size_t>(bytes));
}

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

bool DmaTable::ClientRead(uint64_t iova, uint8_t* dst, uint64_t len) {
  Message reply;
  for (uint64_t done = 0; done < len;) {
    const uint64_t n = std::min(len - done, max_xfer_);
    uint8_t req[16];
    Put<uint64_t>(req, iova + done);
    Put<uint64_t>(req + 8, n);
    if (!client_->Call(kDmaRead, req, sizeof req, &reply, kClientTimeoutMs)) return false;
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
// transfer would. WriteLocked sends the client's pieces before it copies any mapped one, so a
// refusal of the first chunk (a stray access) changes nothing.
bool DmaTable::ClientWrite(uint64_t iova, const uint8_t* src, uint64_t len) {
  Message reply;
  for (uint64_t done = 0; done < len;) {
    const uint64_t n = std::min(len - done, max_xfer_);
    request_.resize(16 + n);
    Put<uint64_t>(request_.data(), iova + done);
    Put<uint64_t>(request_.data() + 8, n);
    std::memcpy(request_.data() + 16, src + done, n);
    if (!client_->Call(kDmaWrite, request_.data(), request_.size(), &reply, kClientTimeoutMs))
      return false;
    if ((reply.hdr.flags & kFlagError) != 0 || reply.hdr.cmd != kDmaWrite) return false;
    done += n;
  }
  return true;
}

bool DmaTable::ReadLocked(uint64_t iova, void* dst, uint64_t len) {
  if (!Reachable(iova, len, false)) return false;
  uint8_t* out = static_cast<uint8_t*>(dst);
  for (uint64_t pos = iova, left = len; left > 0;) {
    const Piece p = PieceAt(pos, left);
    if (p.map != nullptr && p.map->file) {
      std::memcpy(out, p.map->host + (pos - p.map->first), p.len);
    } else if (!ClientRead(pos, out, p.len)) {
      return false;
    }
    pos += p.len;
    out += p.len;
    left -= p.len;
  }
  return true;
}

bool DmaTable::WriteLocked(uint64_t iova, const void* src, uint64_t len) {
  if (!Reachable(iova, len, true)) return false;
  const uint8_t* in = static_cast<const uint8_t*>(src);
  for (int pass = 0; pass < 2; ++pass) {
    for (uint64_t pos = iova, left = len, at = 0; left > 0;) {
      const Piece p = PieceAt(pos, left);
      const bool mapped = p.map != nullptr && p.map->file;
      if (pass == 0 && !mapped && !ClientWrite(pos, in + at, p.len)) return false;
      if (pass == 1 && mapped) std::memcpy(p.map->host + (pos - p.map->first), in + at, p.len);
      pos += p.len;
      at += p.len;
      left -= p.len;
    }
  }
  return true;
}

bool DmaTable::CopyLocked(uint64_t from, uint64_t to, uint64_t len) {
  if (!Reachable(from, len, false) || !Reachable(to, len, true)) return false;
  for (uint64_t done = 0; done < len;) {
    const Piece pf = PieceAt(from + done, std::min(len - done, kCopyChunk));
    const Piece pt = PieceAt(to + done, pf.len);
    const uint64_t n = pt.len;
    const bool src_mapped = pf.map != nullptr && pf.map->file;
    const bool dst_mapped = pt.map != nullptr && pt.map->file;
    const uint8_t* src = src_mapped ? pf.map->host + (from + done - pf.map->first) : nullptr;
    if (!src_mapped) {
      bounce_.resize(n);
      if (!ClientRead(from + done, bounce_.data(), n)) return false;
      src = bounce_.data();
    }
    if (dst_mapped) {
      std::memmove(pt.map->host + (to + done - pt.map->first), src, n);
    } else if (!ClientWrite(to + done, src, n)) {
      return false;
    }
    done += n;
  }
  return true;
}

int DmaTable::MapFile(UniqueFd fd, uint64_t offset, uint64_t size, bool need_write,
                      std::shared_ptr<File>* out, std::string* why) {
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) {
    *why = std::string("fstat of its fd failed: ") + std::strerror(errno);
    return EINVAL;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "its fd is not a memory file";
    return EINVAL;
  }
  const uint64_t file_bytes = static_cast<uint64_t>(st.st_size);
  // Checked before the mmap: an access past the end of a file mapping is a SIGBUS.
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
  const auto key = std::make_pair(st.st_dev, st.st_ino);
  auto found = files_.find(key);
  if (found != files_.end()) {
    std::shared_ptr<File> f = found->second.lock();
    if (f && f->bytes >= offset + size && (f->writable || !need_write)) {
      *out = std::move(f);
      return 0;
    }
  }
  auto f = std::make_shared<File>();
  f->writable = mode == O_RDWR;
  void* base = mmap(nullptr, static_cast<size_t>(file_bytes),
                    PROT_READ | (f->writable ? PROT_WRITE : 0), MAP_SHARED, fd.Get(), 0);
  if (base == MAP_FAILED) {
    *why = std::string("mmap of its fd failed: ") + std::strerror(errno);
    return errno == ENOMEM ? ENOMEM : EINVAL;
  }
  f->base = static_cast<uint8_t*>(base);
  f->bytes = file_bytes;
  // Expired entries are dropped as they are met, so the cache stays as small as the table.
  for (auto it = files_.begin(); it != files_.end();)
    it = it->second.expired() ? files_.erase(it) : std::next(it);
  files_[key] = f;
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
  Mapping m{iova, last, flags, nullptr, nullptr};
  if (fd.Valid()) {
    const int err = MapFile(std::move(fd), offset, size, (flags & kMapWrite) != 0, &m.file, why);
    if (err != 0) return err;
    m.host = m.file->base + offset;
  }
  maps_.emplace(iova, std::move(m));
  return 0;
}

size_t DmaTable::UnmapLocked(uint64_t iova, uint64_t size, bool all) {
  if (all) {
    const size_t n = maps_.size();
    maps_.clear();
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
