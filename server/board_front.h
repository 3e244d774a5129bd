// The virtual board as a vfio-user PCI function: the board model behind the protocol layer. Its
// DMA reaches the client's memory through the layer's DMA space (the client's IOVAs are its bus
// addresses), its interrupt is the layer's line, and BAR0's cells live in a memfd that the
// client may map, so that a guest's loads and stores reach the board's memory directly.
//
// That memfd is sealed against shrinking and growing (the client holds it read-write, and a
// shrunk one would fault our own accesses), and each client gets one of its own: when a client
// that was handed it leaves, the board moves onto a fresh one holding the same contents and
// ours of the old one is let go, so what the departed client still maps no longer reaches the
// board.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "board.h"
#include "settings.h"
#include "vfu/device.h"

namespace board_server {

// FPGA_SIM's items that mean nothing for one board served to a client (the number of boards,
// the library's forced failures and sleep, the bus map's address choices, which the client's
// IOMMU makes): the first one found, empty when there is none.
std::string ItemWithoutMeaning(const char* settings);

class BoardFront final : public vfu::Device {
 public:
  using Log = std::function<void(const std::string&)>;
  // Null with *error when BAR0's memfd cannot be made. `log` gets a line for each thing the
  // board found wrong while a client was attached (blocked DMA, bad programming, a run left
  // going), when the client leaves. `errors` (null: none) records the link errors of the aer
  // fault.
  static std::unique_ptr<BoardFront> Create(const sim::Settings& settings, vfu::DmaSpace& dma,
                                            vfu::InterruptLine& line, Log log, std::string* error,
                                            vfu::ErrorReporting* errors = nullptr);
  ~BoardFront() override;

  vfu::PciFunction Function() const override;
  vfu::BarRegion Region(uint32_t bar) override;
  uint64_t BarRead(uint32_t bar, uint64_t offset, uint32_t width) override;
  void BarWrite(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) override;
  void Reset() override;
  void ClientGone() override;

 private:
  // The board's DMA space is the client's, reached through the layer.
  struct ClientMemory final : sim::HostMemory {
    explicit ClientMemory(vfu::DmaSpace& d) : dma(d) {}
    std::unique_lock<std::mutex> Lock() override { return dma.Lock(); }
    bool ReadLocked(uint64_t bus, void* dst, uint64_t len) override {
      return dma.ReadLocked(bus, dst, len);
    }
    bool WriteLocked(uint64_t bus, const void* src, uint64_t len) override {
      return dma.WriteLocked(bus, src, len);
    }
    bool CheckLocked(uint64_t bus, uint64_t len, wdc::DmaDir dir) override {
      return dma.CheckLocked(bus, len, dir == wdc::DmaDir::kFromDevice);
    }
    bool CopyLocked(uint64_t from, uint64_t to, uint64_t len) override {
      return dma.CopyLocked(from, to, len);
    }
    vfu::DmaSpace& dma;
  };

  BoardFront(const sim::Settings& settings, vfu::DmaSpace& dma, Log log, bool mappable, int bar0_fd,
             uint8_t* bar0_cells);
  // The next client's BAR0 memory, the board moved onto it; the board's own cells (BAR0
  // trapped) when none can be made.
  void NewBar0();

  const vfu::PciFunction function_;
  ClientMemory memory_;
  const Log log_;
  const bool mappable_;  // false while a stuck bit keeps BAR0 trapped
  int bar0_fd_;          // -1: BAR0 trapped
  uint8_t* bar0_cells_;
  bool handed_out_ = false;               // the client in service was given bar0_fd_
  std::unique_ptr<sim::SimBoard> board_;  // last: its engine uses the members above
};

}  // namespace board_server
