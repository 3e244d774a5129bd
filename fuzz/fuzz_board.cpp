// The virtual board driven through its registers only, as a misbehaving driver would drive it:
// register accesses of every width (misaligned and out of range too), channel programming,
// descriptor tables, starts and runs, resets, against buffers locked in both directions that
// sit inside larger host allocations filled with canary bytes.
//
// What must hold whatever the input: no crash, no sanitizer report, no hang, and no host byte
// changes unless it lies in a range locked for the board to write at that moment. Canaries,
// buffers locked for the board to read, and buffers after their unmap are compared with what
// the host itself last wrote there.
//
// One backend per setting, created before the first input and kept: creating a board per
// input (its engine thread, its bus map) would cost more than the input. An input starts from
// the state the previous one left quiet (runs stopped, engine reset, counts audited) and puts
// the registers back to their reset values first.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>

#include "regs/regs.h"
#include "fuzz_input.h"
#include "platform/platform.h"
#include "settings.h"
#include "wdc/backend.h"

namespace {

using fuzz::Input;
using platform::NowNs;
using wdc::DmaDir;

// Settings that change what the board does with bytes or where buses lie. Chosen by the first
// byte of an input.
const char* const kSettings[] = {
    "",
    "pause=off",
    "misalign=7",
    "link=gen3x16",
    "link=gen1x1",
    "sg-swap=0:1",
    "dma-shift=-3",
    "dma-shift=4096",
    "high-bus=1",
    "bar0-stuck=0x10:3:1,wordcount-bad=2",
    "irq-drop=ch0@1,irq-drop=backloop@1,misalign=4095",
};
constexpr size_t kSettingCount = sizeof(kSettings) / sizeof(kSettings[0]);

constexpr uint64_t kPage = 4096;
constexpr size_t kMaxBufs = 6;
constexpr uint32_t kMaxOps = 48;
constexpr uint64_t kWaitBudgetNs = 1500000;  // all waits of one input together

uint8_t CanaryByte(size_t i) { return static_cast<uint8_t>(0xA5 ^ (i * 29) ^ (i >> 7)); }

// Host regions are at most this long: a buffer of three pages and its canaries.
constexpr size_t kMaxRegion = 5 * kPage;

// The canary fill of a whole region, made once: the per-byte loops would cost more than the
// board's work (every comparison in them is traced for the fuzzer's guidance).
const uint8_t* Canaries() {
  static const uint8_t* c = [] {
    auto* t = new uint8_t[kMaxRegion];
    for (size_t i = 0; i < kMaxRegion; ++i) t[i] = CanaryByte(i);
    return t;
  }();
  return c;
}

// Buffer sizes: mostly a few hundred bytes, sometimes up to `large`.
uint32_t DrawSize(Input* in, uint32_t large) {
  const uint16_t v = in->U16();
  return v & 0x8000 ? v % (large + 1) : v % 513;
}

struct Buf {
  bool used = false;
  bool sg = false;           // the host's own memory (DmaMapUser); else DmaAllocContig memory
  bool mapped = false;
  DmaDir dir = DmaDir::kToDevice;
  uint8_t* region = nullptr; // sg: the whole host allocation, canaries included
  size_t region_bytes = 0;
  size_t off = 0;            // sg: where the locked bytes start in the region
  uint32_t bytes = 0;
  std::vector<uint8_t> expect;  // sg: the whole region; contig: the locked bytes
  wdc::DmaMapping map;

  uint8_t* Host() const { return sg ? region + off : static_cast<uint8_t*>(map.host); }
  // The board may write the locked bytes now.
  bool BoardWritable() const { return mapped && dir == DmaDir::kFromDevice; }
};

struct Harness {
  std::unique_ptr<wdc::Backend> backend;
  wdc::Board* board = nullptr;
};

// Walks the bus map's whole scatter/gather window once, so that its page table is complete
// before the first input. Otherwise inputs keep adding table pages for a long while, and every
// input that ends with more allocations than frees costs a full leak scan (ten times slower).
// The host range is reserved address space only: nothing is ever copied to or from it.
void PopulateBusMap(wdc::Board* board) {
  constexpr uint64_t kChunkPages = 1u << 15;
  constexpr uint64_t kWindowPages = 1u << 19;
  const size_t bytes = kChunkPages * kPage;
  void* host = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (host == MAP_FAILED) return;
  for (uint64_t done = 0; done < kWindowPages; done += kChunkPages) {
    wdc::DmaMapping m;
    if (board->DmaMapUser(host, static_cast<uint32_t>(bytes), DmaDir::kToDevice, &m) !=
        WDC_STATUS_SUCCESS)
      break;
    board->DmaUnmap(&m);
  }
  munmap(host, bytes);
}

Harness& HarnessFor(size_t index) {
  static Harness harnesses[kSettingCount];
  Harness& h = harnesses[index];
  if (!h.backend) {
    std::string error;
    h.backend = sim::CreateSimBackend(kSettings[index], &error);
    if (!h.backend) fuzz::Fail(("the fixed setting was refused: " + error).c_str());
    h.board = h.backend->BoardAt(0);
    if (h.board == nullptr) fuzz::Fail("the backend has no board");
    PopulateBusMap(h.board);
  }
  return h;
}

// Where bytes differ from what they should hold (zero when `expect` is null): the first
// few runs of changed bytes with their values, to tell which of the board's writers it was
// (a continuous write run stores WritePatternByte, channel 0 stores BAR0, a backloop another
// buffer's bytes).
void DumpChanged(const char* what, const uint8_t* p, const uint8_t* expect, size_t n) {
  std::fprintf(stderr, "%s: %zu bytes at %p differ:\n", what, n, static_cast<const void*>(p));
  int shown = 0;
  for (size_t i = 0; i < n && shown < 8;) {
    const uint8_t want = expect ? expect[i] : 0;
    if (p[i] == want) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && p[j] != (expect ? expect[j] : 0)) ++j;
    std::fprintf(stderr, "  [%zu, %zu):", i, j);
    for (size_t k = i; k < j && k < i + 16; ++k) std::fprintf(stderr, " %02X", p[k]);
    std::fprintf(stderr, "\n");
    i = j;
    ++shown;
  }
}

bool IsZero(const uint8_t* p, size_t n) {
  static const uint8_t kZeros[3 * kPage] = {};
  while (n > 0) {
    const size_t k = std::min(n, sizeof kZeros);
    if (std::memcmp(p, kZeros, k) != 0) return false;
    p += k;
    n -= k;
  }
  return true;
}

// What an access may return per the Board interface: success exactly when it is well formed,
// else one of the refusals that apply to it.
void CheckAccessStatus(uint32_t bar, uint64_t offset, uint32_t width, bool null_value,
                       WdcStatus st) {
  const bool bad_width = width != 1 && width != 2 && width != 4 && width != 8;
  const bool bad_bar = bar > AD_BAR1;
  const bool bad_range = offset >= BAR0_BYTES || width > BAR0_BYTES - offset;
  const bool bad_align = !bad_width && offset % width != 0;
  if (!bad_width && !bad_bar && !bad_range && !bad_align && !null_value) {
    FUZZ_CHECK(st == WDC_STATUS_SUCCESS, "a well-formed register access failed");
    return;
  }
  const bool allowed = ((bad_width || null_value) && st == WDC_STATUS_INVALID_PARAMETER) ||
                       (bad_bar && st == WDC_STATUS_BAD_ADDR_SPACE) ||
                       (bad_range && st == WDC_STATUS_OUT_OF_RANGE) ||
                       (bad_align && st == WDC_STATUS_MISALIGNED);
  FUZZ_CHECK(allowed, "a malformed register access got a status that does not name its fault");
}

class Session {
 public:
  Session(wdc::Board* board, Input* in) : b_(board), in_(in) {}

  void Run() {
    ResetRegisters();
    const uint32_t ops = 1 + in_->Byte() % kMaxOps;
    for (uint32_t i = 0; i < ops && !in_->Empty(); ++i) Step();
    Finish();
  }

 private:
  void W32(uint32_t offset, uint32_t value) {
    FUZZ_CHECK(b_->Write(AD_BAR1, offset, 4, value) == WDC_STATUS_SUCCESS,
               "a register write failed");
  }
  uint32_t R32(uint32_t offset) {
    uint64_t v = 0;
    FUZZ_CHECK(b_->Read(AD_BAR1, offset, 4, &v) == WDC_STATUS_SUCCESS, "a register read failed");
    return static_cast<uint32_t>(v);
  }
  void ResetPulse() {
    W32(RESET_CTRL, 1);
    W32(RESET_CTRL, 0);
  }

  void ResetRegisters() {
    W32(DMA_RUN_CTRL, RUN_STOP);
    ResetPulse();
    W32(INT_CTRL, INT_DISABLE);
    for (uint32_t ch = 0; ch < DMA_CHANNELS; ++ch) {
      W32(DMA_CH_ADDR(ch), 0);
      W32(DMA_CH_CTRL(ch), 0);
    }
    W32(DMA_WORD_COUNT, 0);
    W32(PERF_COUNT0, 0);
    R32(INT_CTRL);  // the read clears the status left over
  }

  Buf* PickBuf() {
    size_t n = in_->Byte() % kMaxBufs;
    return bufs_[n].used ? &bufs_[n] : nullptr;
  }
  Buf* FreeSlot() {
    for (Buf& b : bufs_)
      if (!b.used) return &b;
    return nullptr;
  }

  // Bus address of one of the buffer's pages, low 32 bits as the registers hold them.
  uint32_t BusOf(const Buf& b, uint32_t page, uint32_t* page_bytes) {
    if (!b.mapped || b.map.pages.empty()) {
      *page_bytes = b.bytes;
      return static_cast<uint32_t>(in_->U32());  // stale or never mapped: any address
    }
    const WdcDmaPage& p = b.map.pages[page % b.map.pages.size()];
    *page_bytes = p.dwBytes;
    return static_cast<uint32_t>(p.pPhysicalAddr);
  }

  void AllocContig() {
    Buf* b = FreeSlot();
    const uint32_t bytes = DrawSize(in_, 8192);  // 0 is refused
    const DmaDir dir = in_->Byte() & 1 ? DmaDir::kFromDevice : DmaDir::kToDevice;
    const uint8_t seed = in_->Byte();
    if (b == nullptr) return;
    wdc::DmaMapping m;
    const WdcStatus st = b_->DmaAllocContig(bytes, dir, &m);
    if (bytes == 0) {
      FUZZ_CHECK(st != WDC_STATUS_SUCCESS, "a contiguous lock of 0 bytes succeeded");
      return;
    }
    FUZZ_CHECK(st == WDC_STATUS_SUCCESS, "a small contiguous lock failed");
    FUZZ_CHECK(m.host != nullptr && m.bytes == bytes && m.pages.size() == 1 &&
                   m.pages[0].dwBytes == bytes,
               "a contiguous lock is not one page of the whole length");
    uint8_t* host = static_cast<uint8_t*>(m.host);
    // Memory the board may write can hold data already: a transfer programmed before an unmap
    // and still queued lands in whatever lock now holds its bus address, as on any IOMMU.
    if (dir == DmaDir::kToDevice && !IsZero(host, bytes)) {
      DumpChanged("new contiguous memory", host, nullptr, bytes);
      fuzz::Fail("contiguous memory is not zeroed");
    }
    *b = Buf();
    b->used = b->mapped = true;
    b->dir = dir;
    b->bytes = bytes;
    b->map = std::move(m);
    std::memcpy(host, Canaries() + kPage + seed, bytes);  // any content unlike zeros
    b->expect.assign(host, host + bytes);
    b_->DmaSyncForDevice(b->map);
  }

  void MapUser() {
    Buf* b = FreeSlot();
    const uint32_t bytes = DrawSize(in_, 3 * kPage);  // 0 is refused
    const size_t pre = 16 + in_->U16() % 4096;   // where in its page the buffer starts
    const size_t post = 16 + in_->Byte();
    const DmaDir dir = in_->Byte() & 1 ? DmaDir::kFromDevice : DmaDir::kToDevice;
    const uint8_t seed = in_->Byte();
    if (b == nullptr) return;
    const size_t region_bytes = (pre + bytes + post + kPage - 1) / kPage * kPage;
    uint8_t* region = static_cast<uint8_t*>(std::aligned_alloc(kPage, region_bytes));
    if (region == nullptr) return;
    std::memcpy(region, Canaries(), region_bytes);
    std::memcpy(region + pre, Canaries() + seed, bytes);
    wdc::DmaMapping m;
    const WdcStatus st = b_->DmaMapUser(region + pre, bytes, dir, &m);
    if (bytes == 0) {
      FUZZ_CHECK(st != WDC_STATUS_SUCCESS, "a scatter/gather lock of 0 bytes succeeded");
      std::free(region);
      return;
    }
    FUZZ_CHECK(st == WDC_STATUS_SUCCESS, "a small scatter/gather lock failed");
    // The pages follow the host's 4 KiB pages and cover the buffer exactly.
    uint64_t sum = 0;
    uintptr_t at = reinterpret_cast<uintptr_t>(region + pre);
    for (const WdcDmaPage& p : m.pages) {
      const uint64_t in_page = kPage - at % kPage;
      FUZZ_CHECK(p.dwBytes == std::min<uint64_t>(in_page, bytes - sum),
                 "a scatter/gather page does not end at a host page boundary");
      FUZZ_CHECK(p.pPhysicalAddr % kPage == at % kPage,
                 "a scatter/gather page starts at another offset in its bus page");
      sum += p.dwBytes;
      at += p.dwBytes;
    }
    FUZZ_CHECK(sum == bytes, "the scatter/gather pages do not add up to the buffer");
    *b = Buf();
    b->used = b->mapped = b->sg = true;
    b->dir = dir;
    b->region = region;
    b->region_bytes = region_bytes;
    b->off = pre;
    b->bytes = bytes;
    b->expect.assign(region, region + region_bytes);
    b->map = std::move(m);
    b_->DmaSyncForDevice(b->map);
  }

  // Ends the lock. Scatter/gather memory stays the host's, and from here on the board may not
  // change a byte of it; contiguous memory is gone (ASan reports any later access to it).
  void Unmap(Buf* b) {
    if (b->mapped) {
      b_->DmaSyncForCpu(b->map);
      if (!b->sg) CheckBuf(*b);
      b_->DmaUnmap(&b->map);
      b->mapped = false;
      FUZZ_CHECK(b->map.pages.empty() && b->map.cookie == 0, "an unmap left the mapping set");
      if (b->sg && b->dir == DmaDir::kFromDevice)
        std::memcpy(b->expect.data() + b->off, b->region + b->off, b->bytes);
    }
    if (!b->sg) b->used = false;
  }

  void CheckBuf(const Buf& b) {
    if (b.sg) {
      // A fast comparison first; the byte-wise pass only runs to name the byte.
      const bool hole = b.BoardWritable();
      if (hole ? std::memcmp(b.region, b.expect.data(), b.off) == 0 &&
                     std::memcmp(b.region + b.off + b.bytes, b.expect.data() + b.off + b.bytes,
                                 b.region_bytes - b.off - b.bytes) == 0
               : std::memcmp(b.region, b.expect.data(), b.region_bytes) == 0)
        return;
      for (size_t i = 0; i < b.region_bytes; ++i) {
        if (b.BoardWritable() && i >= b.off && i < b.off + b.bytes) continue;
        if (b.region[i] != b.expect[i]) {
          std::fprintf(stderr, "byte %zu of a %zu-byte region (buffer at %zu, %u bytes, %s, %s) "
                       "changed from 0x%02X to 0x%02X\n", i, b.region_bytes, b.off, b.bytes,
                       b.dir == DmaDir::kFromDevice ? "from device" : "to device",
                       b.mapped ? "locked" : "unlocked", b.expect[i], b.region[i]);
          fuzz::Fail("a host byte outside a board-writable lock changed");
        }
      }
      return;
    }
    const uint8_t* host = b.Host();
    if (!b.BoardWritable() && std::memcmp(host, b.expect.data(), b.bytes) != 0) {
      DumpChanged("contiguous buffer", host, b.expect.data(), b.bytes);
      fuzz::Fail("a contiguous buffer the board may only read changed");
    }
    // The lock's memory is whole 4 KiB pages, zeroed; the bytes past the buffer are no part of
    // the lock and stay zero.
    const size_t rounded = (b.bytes + kPage - 1) / kPage * kPage;
    if (!IsZero(host + b.bytes, rounded - b.bytes)) {
      DumpChanged("contiguous memory past the lock", host + b.bytes, nullptr, rounded - b.bytes);
      fuzz::Fail("contiguous memory past the locked length changed");
    }
  }

  void RawAccess(bool write) {
    const uint8_t how = in_->Byte();
    uint32_t bar = how & 0x10 ? in_->Byte() : (how >> 5) & 1;
    uint64_t offset;
    switch (how & 3) {
      case 0: offset = in_->U16() & 0x3FF; break;                   // the register block area
      case 1: offset = 0x200 + (in_->Byte() & 0x3F); break;         // the control registers
      case 2: offset = in_->U16(); break;
      default: offset = in_->U64(); break;
    }
    static const uint32_t kWidths[8] = {1, 2, 4, 8, 4, 4, 0, 3};
    const uint32_t width = (how & 0x80) ? in_->U32() : kWidths[(how >> 2) & 7];
    if (write) {
      const uint64_t value = in_->U64();
      CheckAccessStatus(bar, offset, width, false, b_->Write(bar, offset, width, value));
    } else {
      uint64_t value = 0;
      const bool null_value = (how & 0x40) && (how & 0x10);
      CheckAccessStatus(bar, offset, width, null_value,
                        b_->Read(bar, offset, width, null_value ? nullptr : &value));
    }
  }

  // One channel's address and control word, mostly as a driver would set them for a buffer.
  void ProgramChannel() {
    const uint32_t ch = in_->Byte() % DMA_CHANNELS;
    const uint8_t mode = in_->Byte();
    Buf* b = PickBuf();
    const uint32_t page = in_->Byte();
    uint32_t page_bytes = 0;
    uint32_t addr = b ? BusOf(*b, page, &page_bytes) : in_->U32();
    if (mode & 1) addr += static_cast<uint32_t>(static_cast<int8_t>(in_->Byte()));
    uint32_t count;
    switch ((mode >> 1) & 3) {
      case 0: count = page_bytes; break;
      case 1: count = b ? b->bytes : 0; break;
      case 2: count = in_->U16(); break;
      default: count = in_->U32() & (CTRL_COUNT_LIMIT - 1); break;
    }
    const bool mem_write = ch == DMA_CH_PERF_WRITE ||
                           (ch == DMA_CH_INTEGRITY && b && b->dir == DmaDir::kFromDevice);
    uint32_t ctrl = DIAG_CtrlWord(true, mem_write, true, count);
    if (mode & 8) ctrl ^= static_cast<uint32_t>(in_->Byte() & 7) << 29;  // wrong flags
    if (mode & 16) ctrl = in_->U32();
    W32(DMA_CH_ADDR(ch), addr);
    W32(DMA_CH_CTRL(ch), ctrl);
    if (ch == DMA_CH_INTEGRITY && (mode & 32)) W32(DMA_WORD_COUNT, in_->U32());
    if (ch == DMA_CH_INTEGRITY && (mode & 64)) Start(1u << DMA_CH_INTEGRITY);
  }

  // A descriptor table for one buffer's pages, written into another buffer, and the table
  // channel (4: source, 5: destination) pointed at it.
  void WriteTable() {
    const uint32_t ch = in_->Byte() & 1 ? DMA_CH_SG_DEST : DMA_CH_SG_SOURCE;
    const uint8_t mode = in_->Byte();
    Buf* table = PickBuf();
    Buf* target = PickBuf();
    if (table == nullptr || target == nullptr) return;
    const size_t pages = target->mapped ? target->map.pages.size() : 1;
    uint32_t n = static_cast<uint32_t>(pages);
    if (mode & 1) n = 1 + in_->Byte() % 8;
    n = std::min<uint32_t>(n, table->bytes / 8);
    std::vector<DiagSgDescriptor> d(n);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t page_bytes = 0;
      d[i].dwAddr = BusOf(*target, i, &page_bytes);
      d[i].dwCtrl = DIAG_CtrlWord(i == 0, i == 0 && ch == DMA_CH_SG_DEST, i + 1 == n, page_bytes);
    }
    if (n > 0 && (mode & 2)) {  // one descriptor damaged
      DiagSgDescriptor& bad = d[in_->Byte() % n];
      const uint8_t how = in_->Byte();
      if (how & 1) bad.dwCtrl ^= static_cast<uint32_t>(how & 0xE0) << 24;
      if (how & 2) bad.dwCtrl = (bad.dwCtrl & CTRL_FLAGS) | (in_->U16() & 0x3FFF);
      if (how & 4) bad.dwAddr += static_cast<uint32_t>(static_cast<int8_t>(in_->Byte()));
    }
    // The host fills only memory the board never writes: a table in a buffer the board may
    // write would race with the engine.
    if (!table->BoardWritable() && n > 0 && (table->sg || table->mapped)) {
      uint8_t* host = table->Host();
      std::memcpy(host, d.data(), n * 8);
      uint8_t* shadow = table->sg ? table->expect.data() + table->off : table->expect.data();
      std::memcpy(shadow, d.data(), n * 8);
      if (table->mapped) b_->DmaSyncForDevice(table->map);
    }
    uint32_t page_bytes = 0;
    uint32_t taddr = BusOf(*table, 0, &page_bytes);
    uint32_t tctrl = DIAG_CtrlWord(true, false, true, n * 8);
    if (mode & 4) tctrl = (tctrl & CTRL_FLAGS) | (in_->U16() & 0xFFF);
    if (mode & 8) tctrl ^= static_cast<uint32_t>(in_->Byte() & 0xE0) << 24;
    if (mode & 16) taddr += static_cast<uint32_t>(static_cast<int8_t>(in_->Byte()));
    W32(DMA_CH_ADDR(ch), taddr);
    W32(DMA_CH_CTRL(ch), tctrl);
    if (mode & 32) W32(DMA_START, 1u << ch);
  }

  void Start(uint32_t bits) {
    W32(DMA_START, bits);
    if (bits & (1u << DMA_CH_INTEGRITY)) started_ = true;
  }

  void RunCtrl() {
    static const uint32_t kRuns[] = {RUN_STOP,       RUN_WRITE,          RUN_READ,
                                     RUN_READ_2CH,   RUN_READ_WRITE,     RUN_READ_2CH_WRITE,
                                     RUN_BACKLOOP,   RUN_BACKLOOP | RUN_READ_WRITE};
    const uint8_t v = in_->Byte();
    W32(DMA_RUN_CTRL, v & 0x80 ? in_->U32() : kRuns[v & 7]);
  }

  // Gives the engine time: until the transfers started since the last wait show complete in
  // the status (read-to-clear, as a driver polls it) and the scatter/gather run has ended, or
  // until the wait's share of the budget is spent. Continuous runs never end; they only get the
  // time.
  void Wait() {
    const uint8_t v = in_->Byte();
    const uint64_t want = (1 + v % 64) * 4000ull;
    const uint64_t take = std::min(want, wait_left_);
    const uint64_t start = NowNs();
    const uint64_t end = start + take;
    const bool runs = R32(DMA_RUN_CTRL) & ~RUN_BACKLOOP;
    if (!started_ && !runs && !(R32(DMA_RUN_CTRL) & RUN_BACKLOOP)) return;
    for (;;) {
      const uint32_t status = R32(INT_CTRL);
      if (status & INT_CH0_DONE) started_ = false;
      const bool loop = R32(DMA_RUN_CTRL) & RUN_BACKLOOP;
      if ((!started_ && !loop && !runs) || NowNs() >= end) break;
      // Two cores, shared with the engine's thread: a poll that never yields can keep the
      // engine from the very work it waits for.
      std::this_thread::yield();
    }
    wait_left_ -= std::min(wait_left_, NowNs() - start);
  }

  void HostWrite() {
    Buf* b = PickBuf();
    const uint32_t at = in_->U16();
    const uint8_t value = in_->Byte();
    if (b == nullptr || b->BoardWritable() || b->bytes == 0 || (!b->sg && !b->mapped)) return;
    const uint32_t i = at % b->bytes;
    b->Host()[i] = value;
    (b->sg ? b->expect[b->off + i] : b->expect[i]) = value;
  }

  void Step() {
    const uint8_t op = in_->Byte();
    switch (op % 14) {
      case 0: AllocContig(); break;
      case 1: MapUser(); break;
      case 2: if (Buf* b = PickBuf()) Unmap(b); break;
      case 3: RawAccess(true); break;
      case 4: RawAccess(false); break;
      case 5: ProgramChannel(); break;
      case 6: WriteTable(); break;
      case 7: Start(in_->Byte()); break;
      case 8: RunCtrl(); break;
      case 9: {
        const uint8_t v = in_->Byte();
        if (v & 1) W32(RESET_CTRL, 1);
        if (v & 2) W32(RESET_CTRL, 0);
        break;
      }
      case 10: W32(INT_CTRL, in_->Byte() & 1 ? INT_ENABLE : INT_DISABLE); break;
      case 11: Wait(); break;
      case 12: HostWrite(); break;
      default: {
        if (Buf* b = PickBuf())
          if (b->mapped) {
            if (in_->Byte() & 1) b_->DmaSyncForCpu(b->map);
            else b_->DmaSyncForDevice(b->map);
          }
        break;
      }
    }
  }

  void Finish() {
    // Stop every run, then reset the engine: from the reset's return no copy of a job started
    // before it is in progress or will start.
    W32(DMA_RUN_CTRL, RUN_STOP);
    ResetPulse();
    FUZZ_CHECK(R32(DMA_RUN_CTRL) == 0, "runs still shown after a stop and a reset");
    std::vector<std::string> findings;
    b_->Audit(&findings);
    // FUZZ_VERBOSE=1 shows what the board made of an input (replaying one file, for example).
    static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
    if (verbose) {
      std::fprintf(stderr, "input end: %zu finding(s)\n", findings.size());
      for (const std::string& f : findings) std::fprintf(stderr, "  %s\n", f.c_str());
      for (const Buf& b : bufs_)
        if (b.used)
          std::fprintf(stderr, "  buffer %s %s %u bytes%s, first byte 0x%02X\n",
                       b.sg ? "s/g" : "contiguous",
                       b.dir == DmaDir::kFromDevice ? "from device" : "to device", b.bytes,
                       b.mapped ? "" : " (unmapped)", b.bytes ? b.Host()[0] : 0);
    }
    findings.clear();
    b_->Audit(&findings);
    FUZZ_CHECK(findings.empty(), "an audit did not leave the board quiet");
    for (Buf& b : bufs_) {
      if (!b.used) continue;
      CheckBuf(b);
      Unmap(&b);
      if (b.sg) {
        CheckBuf(b);
        std::free(b.region);
      }
      b = Buf();
    }
  }

  wdc::Board* b_;
  Input* in_;
  Buf bufs_[kMaxBufs];
  uint64_t wait_left_ = kWaitBudgetNs;
  bool started_ = false;  // a channel-0 transfer was started since the last completion seen
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  for (size_t i = 0; i < kSettingCount; ++i) HarnessFor(i);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  Harness& h = HarnessFor(in.Byte() % kSettingCount);
  Session(h.board, &in).Run();
  return 0;
}
