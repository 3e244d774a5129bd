// The client's DMA mappings, and the function's DMA through them (the DmaSpace).
//
// A mapping that came with a file descriptor is reached through our own mmap of that file. The
// client sends one DMA_MAP per 4 KiB page, each with a fresh descriptor of the same file (its
// whole guest memory), so one mmap per page would soon pass the kernel's limit on mappings
// (vm.max_map_count). Instead each file has one span of our own, the part of it its mappings
// need rounded out to kGranule, which grows (a new mmap through the new descriptor, the old one
// dropped) when a mapping lies outside it; every mapping into the file shares it. A span whose
// growth would pass kMaxMappedBytes gets a second span for the new window alone. Together the
// spans never take more than kMaxMappedBytes of address space nor number more than kMaxSpans:
// a DMA_MAP beyond either is refused. A span goes when its last mapping does.
//
// The files are the client's: one may shrink under us, so every copy from or to one is guarded
// (fault_guard.h) and a fault fails that access, with a log line the first time for each span.
// A mapping without a descriptor, and a span no mapping covers, are reached through the client
// (DMA_READ and DMA_WRITE), so that the client's IOMMU judges them.
//
// Changes to the table are made under the DmaSpace lock, so they wait for an access in progress.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "channel.h"
#include "log.h"
#include "transport.h"
#include "vfu/device.h"

namespace vfu {

constexpr uint32_t kMapRead = 1;   // DMA_MAP flags: the function may read the range
constexpr uint32_t kMapWrite = 2;  // ... and write it

class DmaTable final : public DmaSpace {
 public:
  // `reply_ms`: how long an access waits for the client's replies, all of them together.
  DmaTable(Log& log, int reply_ms);
  ~DmaTable() override;

  std::unique_lock<std::mutex> Lock() override;
  bool ReadLocked(uint64_t iova, void* dst, uint64_t len) override;
  bool WriteLocked(uint64_t iova, const void* src, uint64_t len) override;
  // True when every piece is reachable as far as we can tell beforehand: mapped pieces by their
  // flags; a piece the client serves is judged by the client only when it is accessed, so it
  // passes here and the access itself may still fail. That keeps a stray access going to the
  // client, whose IOMMU then reports it, as a real device's would be.
  bool CheckLocked(uint64_t iova, uint64_t len, bool device_writes) override;
  bool CopyLocked(uint64_t from, uint64_t to, uint64_t len) override;

  // The connection thread, with Lock() held. Map and Unmap return 0 or an errno; *why says why.
  // iova, size and (with a descriptor) offset are multiples of kPageBytes.
  int MapLocked(uint64_t iova, uint64_t size, uint64_t offset, uint32_t flags, UniqueFd fd,
                std::string* why);
  // Removes every mapping that meets [iova, iova + size) (size 0 with `all`: every mapping);
  // returns how many went.
  size_t UnmapLocked(uint64_t iova, uint64_t size, bool all);
  // A client to serve the pieces no descriptor covers (nullptr: none; every access then
  // fails), and the largest data it takes in one message.
  void AttachLocked(Channel* client, uint64_t max_xfer);

  // The command register's bus mastering bit: while it is off nothing is reachable.
  void SetBusMaster(bool on) { bus_master_.store(on, std::memory_order_relaxed); }

  static constexpr uint64_t kPageBytes = 4096;  // the page size we announce (pgsizes)
  static constexpr uint64_t kGranule = uint64_t{64} << 20;
  static constexpr uint64_t kMaxMappedBytes = uint64_t{1} << 40;
  static constexpr size_t kMaxSpans = 1024;

 private:
  struct File {
    ~File();
    uint8_t* base = nullptr;
    uint64_t lo = 0;       // the file offset that base maps
    uint64_t bytes = 0;    // how much of the file from there
    bool faulted = false;  // a fault here has been logged
  };
  struct Mapping {
    uint64_t first;
    uint64_t last;  // inclusive: a mapping may end at 2^64
    uint32_t flags;
    std::shared_ptr<File> file;  // null: served by the client
    uint64_t offset;             // the file offset of `first`
    uint8_t* Host(uint64_t iova) const { return file->base + (offset - file->lo) + (iova - first); }
  };
  struct Piece {
    const Mapping* map;  // null: no mapping covers it
    uint64_t len;
  };
  using FileKey = std::tuple<dev_t, ino_t, bool>;  // the file, and whether we map it writable

  Piece PieceAt(uint64_t pos, uint64_t left) const;
  bool Reachable(uint64_t iova, uint64_t len, bool device_writes) const;
  // What is left of the access's time with the client, 0 (logged) when none.
  int ReplyMsLeft(uint64_t iova);
  bool ClientRead(uint64_t iova, uint8_t* dst, uint64_t len);
  bool ClientWrite(uint64_t iova, const uint8_t* src, uint64_t len);
  // memmove with the client files of `a` and `b` (either may be null) guarded.
  bool Move(void* dst, const void* src, uint64_t n, const Mapping* a, const Mapping* b,
            uint64_t iova);
  bool ReadPieces(uint64_t iova, uint8_t* out, uint64_t len);
  bool WritePieces(uint64_t iova, const uint8_t* in, uint64_t len);
  bool CopyPieces(uint64_t from, uint64_t to, uint64_t len);
  int MapFile(UniqueFd fd, uint64_t offset, uint64_t size, bool need_write,
              std::shared_ptr<File>* out, std::string* why);
  // The address space the live spans take; expired entries are dropped on the way.
  uint64_t SpanBytesLocked();

  Log& log_;
  const int reply_ms_;
  std::mutex mu_;
  std::map<uint64_t, Mapping> maps_;  // by first IOVA; never overlapping
  std::multimap<FileKey, std::weak_ptr<File>> files_;
  Channel* client_ = nullptr;
  uint64_t max_xfer_ = 0;
  std::vector<uint8_t> bounce_;                     // a copy's pieces that the client serves
  std::vector<uint8_t> request_;                    // a DMA_WRITE being built
  std::chrono::steady_clock::time_point deadline_;  // of the access in progress
  std::atomic<bool> bus_master_{false};
};

}  // namespace vfu
