// A recording fake of the device-access boundary for the program's unit tests. It implements
// every WDC_ operation and Stat2Str: statuses scripted per operation and call number, register
// reads scripted or taken from the last write, a log of every call in order, BAR0 as plain
// memory, DMA records with chosen page lists and bus addresses, and an interrupt that a test (or
// a board hook) delivers by calling the registered handler.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "oracle.h"
#include "wdc/wdc_lib.h"

namespace fake {

struct Access {
  bool write;
  unsigned width;  // bits
  uint32_t space;
  uint64_t offset;
  uint64_t value;
};

// How the next lock of a kind delivers its record. Empty pages: the default layout.
struct LockSpec {
  std::vector<WdcDmaPage> pages;  // used as given, even when it is empty and noPages is set
  bool noPages = false;           // deliver a record with dwPages 0
};

struct Buffer {
  int id = 0;  // 1, 2, ... in lock order
  bool contig = false;
  uint32_t options = 0;
  uint32_t size = 0;
  std::vector<uint8_t> storage;  // a contiguous buffer's memory
  uint8_t* host = nullptr;
  std::vector<WdcDmaPage> pages;
  std::vector<uint8_t*> pageHost;  // host address of each page's first byte
  WdcDmaRecord rec{};
  int syncCpu = 0;
  int syncIo = 0;
};

// The channel-0 transfers of a board, driven by the DMA_START write, with faults to order.
struct Channel0Board {
  bool copy = true;               // move the bytes
  int shift = 0;                  // memory-write data lands this many bytes past its target
  bool smash = false;             // memory write: zero the whole window instead of the data
  uint32_t badWordCountEvery = 0; // every Nth transfer leaves word count 12345
  uint32_t dropIrqAt = 0;         // the Nth transfer raises no interrupt
  uint32_t transfers = 0;         // counted by the board
};

struct Fake {
  // ---- Scripting ----
  // The nth call (1-based; 0: every call) of op returns status.
  void Fail(const std::string& op, WdcStatus status, int nth = 0);
  int Calls(const std::string& op) const;
  bool logEnabled = true;
  std::vector<std::string> log;

  // ---- PCI ----
  uint32_t numDevices = 1;
  bool scanZeroedAtEntry = false;
  uint32_t scanVendor = 0, scanDevice = 0;
  WdcPciDeviceInfo infoAtEntry{};
  WdcPciSlot openedSlot{};
  bool openArgsNull = false;
  WdcDevice device{};
  WdcDeviceHandle closedHandle = nullptr;

  // ---- Address spaces ----
  uint8_t bar0[4096]{};
  std::map<uint64_t, uint64_t> bar1;                    // last value written, by offset
  std::map<uint64_t, std::deque<uint64_t>> bar1Reads;   // scripted reads, consumed in order
  std::function<bool(const Access&, uint64_t*)> onRead; // true: *value is the read's result
  std::function<void(const Access&)> onWrite;           // runs after the write has landed

  // ---- DMA ----
  std::deque<LockSpec> contigSpecs, sgSpecs;
  std::list<Buffer> buffers;  // every buffer locked since the reset, unlocked ones included
  std::vector<int> unlocked;  // ids in unlock order
  uint64_t nextContigBus = 0x10000000;
  uint32_t sgLocks = 0;
  Buffer* Find(const WdcDmaRecord* rec);
  Buffer* ById(int id);
  int Live() const;  // buffers locked and not yet unlocked
  // The host address of bus address bus, when len bytes from there lie in one page of a live
  // buffer; null otherwise.
  uint8_t* HostOf(uint64_t bus, uint32_t len);

  // ---- Interrupts ----
  bool intEnabled = false;
  WdcTransferCmd cmds[2]{};
  uint32_t numCmds = 0, intOptions = 0, useKP = 0;
  WdcIntHandler handler = nullptr;
  void* handlerData = nullptr;
  std::function<void()> onIntDisable;  // runs inside WDC_IntDisable, before it disables
  void FireInterrupt();

  // ---- Boards ----
  Channel0Board ch0;
  void InstallChannel0Board();
  // On DMA_RUN_CTRL 0xC0: walks both descriptor tables and moves channel 4's chain into channel
  // 5's (when copy), then interrupts (when irq).
  void InstallBackloopBoard(bool copy, bool irq);

  // ---- Queries on the log ----
  std::vector<std::string> Ops() const;     // first word of every entry
  std::vector<std::string> Writes() const;  // the register and memory writes only
  int IndexOf(const std::string& entry, int from = 0) const;  // -1 when absent

  // internals
  std::map<std::string, std::map<int, WdcStatus>> failures;
  std::map<std::string, int> counts;
  std::map<uint32_t, std::string> texts;
  WdcStatus Enter(const std::string& op, const std::string& detail = "");
  void Log(const std::string& entry);
};

// The fake of the running test; Reset gives a fresh one.
Fake& F();
void Reset();

std::string Hex(uint64_t v);

// The status as the fake's Stat2Str gives it, for the oracle's failure lines.
oracle::Status Stat(WdcStatus status);

// What fn printed on standard output.
template <typename Fn>
std::string Capture(Fn fn) {
  ::testing::internal::CaptureStdout();
  fn();
  return ::testing::internal::GetCapturedStdout();
}

// The entries of v that start with prefix, in order.
std::vector<std::string> Starting(const std::vector<std::string>& v, const std::string& prefix);

}  // namespace fake
