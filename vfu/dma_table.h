// The client's DMA mappings, and the function's DMA through them (the DmaSpace).
//
// A mapping that came with a file descriptor is reached through our own mmap of that file. The
// client sends one DMA_MAP per 4 KiB page, each with a fresh descriptor of the same file (its
// whole guest memory), so each file is mapped once, whole, and shared by every mapping into it:
// one mmap per page would soon pass the kernel's limit on mappings. A mapping without a
// descriptor, and a span no mapping covers, are reached through the client (DMA_READ and
// DMA_WRITE), so that the client's IOMMU judges them.
//
// Changes to the table are made under the DmaSpace lock, so they wait for an access in progress.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "channel.h"
#include "transport.h"
#include "vfu/device.h"

namespace vfu {

constexpr uint32_t kMapRead = 1;   // DMA_MAP flags: the function may read the range
constexpr uint32_t kMapWrite = 2;  // ... and write it

class DmaTable final : public DmaSpace {
 public:
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
  int MapLocked(uint64_t iova, uint64_t size, uint64_t offset, uint32_t flags, UniqueFd fd,
                std::string* why);
  // Removes every mapping that meets [iova, iova + size) (size 0 with `all`: every mapping);
  // returns how many went.
  size_t UnmapLocked(uint64_t iova, uint64_t size, bool all);
  // A client to serve the pieces no descriptor covers (nullptr: none; every access then
  // fails), and the largest data it takes in one message.
  void AttachLocked(Channel* client, uint64_t max_xfer);
  size_t CountLocked() const { return maps_.size(); }

  // The command register's bus mastering bit: while it is off nothing is reachable.
  void SetBusMaster(bool on) { bus_master_.store(on, std::memory_order_relaxed); }

  static constexpr int kClientTimeoutMs = 2000;

 private:
  struct File {
    ~File();
    uint8_t* base = nullptr;
    uint64_t bytes = 0;
    bool writable = false;
  };
  struct Mapping {
    uint64_t first;
    uint64_t last;  // inclusive: a mapping may end at 2^64
    uint32_t flags;
    std::shared_ptr<File> file;  // null: served by the client
    uint8_t* host;               // the first byte, when file is set
  };
  struct Piece {
    const Mapping* map;  // null: no mapping covers it
    uint64_t len;
  };

  Piece PieceAt(uint64_t pos, uint64_t left) const;
  bool Reachable(uint64_t iova, uint64_t len, bool device_writes) const;
  bool ClientRead(uint64_t iova, uint8_t* dst, uint64_t len);
  bool ClientWrite(uint64_t iova, const uint8_t* src, uint64_t len);
  int MapFile(UniqueFd fd, uint64_t offset, uint64_t size, bool need_write,
              std::shared_ptr<File>* out, std::string* why);

  std::mutex mu_;
  std::map<uint64_t, Mapping> maps_;  // by first IOVA; never overlapping
  std::map<std::pair<dev_t, ino_t>, std::weak_ptr<File>> files_;
  Channel* client_ = nullptr;
  uint64_t max_xfer_ = 0;
  std::vector<uint8_t> bounce_;   // a copy's pieces that the client serves
  std::vector<uint8_t> request_;  // a DMA_WRITE being built
  std::atomic<bool> bus_master_{false};
};

}  // namespace vfu
