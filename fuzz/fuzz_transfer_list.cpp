// The interrupt transfer list with arbitrary lists.
//
// Half the inputs exercise the interpreter itself (wdc/transfer_list.h): arbitrary kernel
// windows, lists and read callbacks, checked against the rules its header states. The other
// half go through the public boundary to the virtual board: the library and the board are
// opened once; each input registers a fuzzed list with WDC_IntEnable, may make the board
// interrupt, and disables it again.
//
// What must hold: no crash, no hang, no sanitizer report; a list with an unknown command or a
// read outside the board's kernel windows is refused, a refused list leaves the interrupt
// disabled, a well-formed list is accepted, and the handler runs on the library's thread and
// never after WDC_IntDisable has returned.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "regs/regs.h"
#include "platform/platform.h"
#include "wdc/wdc_lib.h"
#include "fuzz_input.h"
#include "transfer_list.h"

namespace {

using fuzz::Input;
using platform::NowNs;

// ---- The interpreter on its own -------------------------------------------------------------

// Whether the aligned word at addr lies wholly in one window, in 64-bit arithmetic so that a
// window reaching the top of the 32-bit range is judged without wrapping.
bool InWindows(const uint32_t* base, const uint32_t* bytes, size_t count, uint32_t addr) {
  if (addr % 4 != 0) return false;
  for (size_t i = 0; i < count; ++i)
    if (addr >= base[i] && uint64_t{addr} + 4 <= uint64_t{base[i]} + bytes[i]) return true;
  return false;
}

struct ReadScript {
  Input* in;
  std::vector<uint32_t> addrs;  // every address the interpreter asked for, in order
};

bool ScriptedRead(void* context, uint32_t kernel_addr, uint32_t* value) {
  ReadScript* s = static_cast<ReadScript*>(context);
  s->addrs.push_back(kernel_addr);
  const uint8_t how = s->in->Byte();
  if (how == 0xFF) return false;
  *value = how & 1 ? s->in->U32() : how;
  return true;
}

// Commands drawn so that well-formed lists are common and every other list is reachable.
WdcTransferCmd DrawCommand(Input* in, const uint32_t* base, const uint32_t* bytes, size_t spaces) {
  WdcTransferCmd c{};
  const uint8_t how = in->Byte();
  switch (how & 3) {
    case 0: c.cmdTrans = in->U32(); break;
    case 1: case 2: c.cmdTrans = WDC_TRANS_READ_DWORD; break;
    default: c.cmdTrans = WDC_TRANS_MASK; break;
  }
  if ((how & 0x0C) == 0 || spaces == 0) {
    c.dwAddr = in->U32();
  } else {
    const size_t s = in->Byte() % spaces;
    uint32_t off = in->U16();
    if (!(how & 0x10) && bytes[s] != 0) off %= bytes[s];
    if (!(how & 0x20)) off &= ~3u;
    c.dwAddr = base[s] + off;
  }
  c.dwData = how & 0x40 ? in->U32() : 0xFFFFFFFFu;
  if (how & 0x80)
    for (uint32_t& p : c.dwParams) p = in->U32();
  return c;
}

void FuzzInterpreter(Input* in) {
  wdc::KernelWindows w{};
  for (uint32_t i = 0; i < WDC_MAX_ADDR_SPACES; ++i) {
    const uint8_t how = in->Byte();
    w.base[i] = how & 1 ? in->U32() : 0xE0000000u + i * 0x10000u;
    w.bytes[i] = how & 2 ? in->U32() : (how & 4 ? 0 : 0x1000);
  }
  uint32_t want = in->Byte();
  if (want & 0x80) want = in->U32();
  std::vector<WdcTransferCmd> list;
  while (list.size() < want && list.size() < 80 && !in->Empty())
    list.push_back(DrawCommand(in, w.base, w.bytes, WDC_MAX_ADDR_SPACES));
  const uint32_t n = static_cast<uint32_t>(list.size());
  // Exactly n entries on the heap, so that a read past the count is a sanitizer report.
  std::unique_ptr<WdcTransferCmd[]> cmds(n ? new WdcTransferCmd[n] : nullptr);
  if (n) std::memcpy(cmds.get(), list.data(), n * sizeof(WdcTransferCmd));

  // Registration: refused exactly when the count is out of range, a command is unknown or a
  // read leaves the windows.
  bool ok = n >= 1 && n <= wdc::kMaxTransferCmds;
  for (uint32_t i = 0; ok && i < n; ++i) {
    if (list[i].cmdTrans == WDC_TRANS_READ_DWORD)
      ok = InWindows(w.base, w.bytes, WDC_MAX_ADDR_SPACES, list[i].dwAddr);
    else
      ok = list[i].cmdTrans == WDC_TRANS_MASK;
  }
  const WdcStatus st = wdc::CheckTransferList(cmds.get(), n, w);
  FUZZ_CHECK(st == (ok ? WDC_STATUS_SUCCESS : WDC_STATUS_BAD_TRANSFER_LIST),
             "a list was judged against the stated rules wrongly");

  // Translation: a word found in a window is found where it lies.
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t space = 99, offset = 0;
    const bool found = wdc::TranslateKernelAddr(w, list[i].dwAddr, &space, &offset);
    FUZZ_CHECK(found == InWindows(w.base, w.bytes, WDC_MAX_ADDR_SPACES, list[i].dwAddr),
               "a kernel address was translated against the windows wrongly");
    if (found) {
      FUZZ_CHECK(space < WDC_MAX_ADDR_SPACES, "translated to no address space");
      FUZZ_CHECK(w.base[space] + offset == list[i].dwAddr && uint64_t{offset} + 4 <= w.bytes[space],
                 "translated to a word outside its window");
    }
  }

  // A run: reads in list order, the first failed read or unknown command ends it, the handler
  // is due when the last mask of a complete run is non-zero.
  ReadScript script{in, {}};
  Input replay = *in;  // the same answers, for the expected run
  const bool due = wdc::RunTransferList(cmds.get(), n, &ScriptedRead, &script);
  bool expect_due = false;
  std::vector<uint32_t> expect_addrs;
  if (n >= 1 && n <= wdc::kMaxTransferCmds) {
    uint32_t last = 0, mask = 0;
    bool masked = false, ended = false;
    for (uint32_t i = 0; i < n && !ended; ++i) {
      if (list[i].cmdTrans == WDC_TRANS_READ_DWORD) {
        expect_addrs.push_back(list[i].dwAddr);
        const uint8_t how = replay.Byte();
        if (how == 0xFF) ended = true;
        else last = how & 1 ? replay.U32() : how;
      } else if (list[i].cmdTrans == WDC_TRANS_MASK) {
        mask = last & list[i].dwData;
        masked = true;
      } else {
        ended = true;
      }
    }
    expect_due = !ended && masked && mask != 0;
  }
  FUZZ_CHECK(script.addrs == expect_addrs, "the list read other words than it names");
  FUZZ_CHECK(due == expect_due, "the list called for the handler wrongly");
}

// ---- WDC_IntEnable through the boundary -----------------------------------------------------

struct Library {
  WdcDeviceHandle dev = nullptr;
  WdcDmaRecord* dma = nullptr;  // 8 bytes the board reads: a channel-0 transfer that interrupts
  std::thread::id caller;
};

std::atomic<uint64_t> g_handler_calls{0};
std::atomic<bool> g_handler_misplaced{false};
std::atomic<bool> g_disabling{false};  // set before the caller's WDC_IntDisable begins

void Handler(void* data) {
  Library* lib = static_cast<Library*>(data);
  if (std::this_thread::get_id() == lib->caller) g_handler_misplaced = true;
  // The handler may not disable its own interrupt, and the interrupt shows enabled while it
  // runs, until the caller's disable has begun (which then waits for this call to return).
  const WdcStatus own = WDC_IntDisable(lib->dev);
  const int enabled = WDC_IntIsEnabled(lib->dev);
  if ((own != WDC_STATUS_WRONG_THREAD || enabled == 0) && !g_disabling.load())
    g_handler_misplaced = true;
  g_handler_calls.fetch_add(1);
}

Library& OpenLibrary() {
  static Library* lib = [] {
    unsetenv("FPGA_SIM");
    auto* l = new Library;
    l->caller = std::this_thread::get_id();
    if (WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT) != WDC_STATUS_SUCCESS) fuzz::Fail("library open");
    WdcPciScanResult scan{};
    if (WDC_PciScanDevices(BOARD_VENDOR_ID, BOARD_DEVICE_ID, &scan) != WDC_STATUS_SUCCESS ||
        scan.dwNumDevices == 0)
      fuzz::Fail("no board found");
    WdcPciDeviceInfo info{};
    info.pciSlot = scan.deviceSlot[0];
    if (WDC_PciGetDeviceInfo(&info) != WDC_STATUS_SUCCESS) fuzz::Fail("device information");
    if (WDC_PciDeviceOpen(&l->dev, &info, nullptr, nullptr, nullptr, nullptr) !=
        WDC_STATUS_SUCCESS)
      fuzz::Fail("device open");
    void* buf = nullptr;
    if (WDC_DMAContigBufLock(l->dev, &buf, DMA_OPT_TO_DEVICE, 8, &l->dma) != WDC_STATUS_SUCCESS)
      fuzz::Fail("buffer lock");
    return l;
  }();
  return *lib;
}

// Makes the board interrupt once: a channel-0 transfer of 8 bytes into BAR0, then waits, for a
// bounded time, for the transfer to complete and the handler to have had its chance.
void Interrupt(Library& lib) {
  uint32_t before = 0;
  WDC_ReadAddr32(lib.dev, AD_BAR1, DMA_WORD_COUNT, &before);
  const uint64_t calls = g_handler_calls.load();
  WDC_WriteAddr32(lib.dev, AD_BAR1, INT_CTRL, INT_ENABLE);
  WDC_WriteAddr32(lib.dev, AD_BAR1, DMA_CH_ADDR(DMA_CH_INTEGRITY),
                  static_cast<uint32_t>(lib.dma->Page[0].pPhysicalAddr));
  WDC_WriteAddr32(lib.dev, AD_BAR1, DMA_CH_CTRL(DMA_CH_INTEGRITY), DIAG_CtrlWord(true, false, true, 8));
  WDC_WriteAddr32(lib.dev, AD_BAR1, DMA_START, 1u << DMA_CH_INTEGRITY);
  // Polls yield: on two busy cores the engine and the interrupt thread need the time.
  const uint64_t end = NowNs() + 2000000;
  uint32_t now = before;
  while (now == before && NowNs() < end) {
    std::this_thread::yield();
    WDC_ReadAddr32(lib.dev, AD_BAR1, DMA_WORD_COUNT, &now);
  }
  const uint64_t end2 = NowNs() + 100000;
  while (g_handler_calls.load() == calls && NowNs() < end2) std::this_thread::yield();
  WDC_WriteAddr32(lib.dev, AD_BAR1, INT_CTRL, INT_DISABLE);
}

void FuzzIntEnable(Input* in) {
  Library& lib = OpenLibrary();
  const uint64_t calls_at_start = g_handler_calls.load();
  const uint8_t flags = in->Byte();
  const WdcDevice& d = *lib.dev;
  uint32_t base[WDC_MAX_ADDR_SPACES], bytes[WDC_MAX_ADDR_SPACES];
  size_t spaces = 0;
  for (uint32_t i = 0; i < d.dwNumAddrSpaces && i < WDC_MAX_ADDR_SPACES; ++i) {
    if (d.addrSpace[i].qwBytes == 0) continue;
    base[spaces] = d.addrSpace[i].dwKernelAddr;
    bytes[spaces] = static_cast<uint32_t>(std::min<uint64_t>(d.addrSpace[i].qwBytes, 0xFFFFFFFFu));
    ++spaces;
  }

  uint32_t want = in->Byte();
  std::vector<WdcTransferCmd> list;
  while (list.size() < want && !in->Empty()) list.push_back(DrawCommand(in, base, bytes, spaces));
  const uint32_t n = static_cast<uint32_t>(list.size());
  std::unique_ptr<WdcTransferCmd[]> cmds(n ? new WdcTransferCmd[n] : nullptr);
  if (n) std::memcpy(cmds.get(), list.data(), n * sizeof(WdcTransferCmd));

  // What the public record promises: the list addresses the kernel windows of the address
  // spaces; a word not wholly inside one is outside the board.
  bool outside = false, unknown = false, misaligned = false;
  for (const WdcTransferCmd& c : list) {
    if (c.cmdTrans == WDC_TRANS_READ_DWORD) {
      bool inside = false;
      for (size_t s = 0; s < spaces; ++s)
        if (c.dwAddr >= base[s] && uint64_t{c.dwAddr} + 4 <= uint64_t{base[s]} + bytes[s])
          inside = true;
      outside |= !inside;
      misaligned |= c.dwAddr % 4 != 0;
    } else if (c.cmdTrans != WDC_TRANS_MASK) {
      unknown = true;
    }
  }
  const bool bad_count = n == 0 || n > wdc::kMaxTransferCmds;
  const bool bogus_handle = flags & 2;
  const bool null_handler = (flags & 6) == 4;
  WdcDeviceHandle h = lib.dev;
  if (bogus_handle) h = flags & 4 ? nullptr : reinterpret_cast<WdcDeviceHandle>(reinterpret_cast<char*>(lib.dev) + 8);

  const WdcStatus st = WDC_IntEnable(h, cmds.get(), n, 0, null_handler ? nullptr : &Handler, &lib, 0);
  if (bogus_handle) {
    FUZZ_CHECK(st == WDC_STATUS_INVALID_HANDLE, "a bad handle was not refused as such");
  } else if (null_handler) {
    FUZZ_CHECK(st != WDC_STATUS_SUCCESS, "a null handler was accepted");
  } else if (unknown || outside || bad_count) {
    FUZZ_CHECK(st == WDC_STATUS_BAD_TRANSFER_LIST, "a list that cannot run was accepted");
  } else if (misaligned) {
    FUZZ_CHECK(st == WDC_STATUS_SUCCESS || st == WDC_STATUS_BAD_TRANSFER_LIST,
               "a misaligned read got an unexpected status");
  } else {
    FUZZ_CHECK(st == WDC_STATUS_SUCCESS, "a well-formed list was refused");
  }

  if (st != WDC_STATUS_SUCCESS) {
    FUZZ_CHECK(WDC_IntIsEnabled(lib.dev) == 0, "a refused list left the interrupt enabled");
  } else {
    FUZZ_CHECK(WDC_IntIsEnabled(lib.dev) == 1, "an accepted list left the interrupt disabled");
    if (flags & 8)
      FUZZ_CHECK(WDC_IntEnable(lib.dev, cmds.get(), n, 0, &Handler, &lib, 0) ==
                     WDC_STATUS_INT_ALREADY_ENABLED,
                 "a second enable was not refused");
    // The caller's list may go away at once after the call.
    if (n) std::memset(cmds.get(), 0xEE, n * sizeof(WdcTransferCmd));
    cmds.reset();
    if (flags & 16) Interrupt(lib);
    g_disabling = true;
    FUZZ_CHECK(WDC_IntDisable(lib.dev) == WDC_STATUS_SUCCESS, "the disable failed");
    g_disabling = false;
    FUZZ_CHECK(WDC_IntIsEnabled(lib.dev) == 0, "enabled after the disable");
  }
  FUZZ_CHECK(WDC_IntDisable(lib.dev) == WDC_STATUS_INT_NOT_ENABLED,
             "a disable with nothing enabled was not refused");
  FUZZ_CHECK(!g_handler_misplaced.load(), "the handler ran on the caller's thread or saw its "
                                          "interrupt disabled or could disable it itself");
  const uint64_t calls_after = g_handler_calls.load();
  // FUZZ_VERBOSE=1 shows what became of an input (replaying one file, for example).
  static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
  if (verbose)
    std::fprintf(stderr, "list of %u: status 0x%08X, handler calls %llu\n", n, st,
                 static_cast<unsigned long long>(calls_after - calls_at_start));
  // Spin a little: a handler call that slipped past the disable would show here.
  const uint64_t end = NowNs() + 2000;
  while (NowNs() < end) {
  }
  FUZZ_CHECK(g_handler_calls.load() == calls_after, "the handler ran after WDC_IntDisable");
  if (st != WDC_STATUS_SUCCESS)
    FUZZ_CHECK(calls_after == calls_at_start, "the handler of a refused list ran");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  if (in.Byte() & 1) FuzzIntEnable(&in);
  else FuzzInterpreter(&in);
  return 0;
}
