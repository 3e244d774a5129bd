#include "fake_wdc.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "regs/regs.h"

namespace fake {

namespace {
std::unique_ptr<Fake> g_fake;
}  // namespace

Fake& F() {
  if (!g_fake) Reset();
  return *g_fake;
}

void Reset() {
  // In place: fixtures hold a reference to the fake from before their SetUp.
  if (!g_fake) g_fake = std::make_unique<Fake>();
  *g_fake = Fake();
  Fake& f = *g_fake;
  f.device.dwNumAddrSpaces = 2;
  f.device.addrSpace[AD_BAR0] = {0xFD000000u, BAR0_BYTES};
  f.device.addrSpace[AD_BAR1] = {0xFE000000u, BAR1_BYTES};
}

std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

namespace {
std::string FakeText(WdcStatus status) { return "fake text " + Hex(status); }
}  // namespace

oracle::Status Stat(WdcStatus status) { return oracle::Stated(status, FakeText(status)); }

std::vector<std::string> Starting(const std::vector<std::string>& v, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& e : v)
    if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
  return out;
}

void Fake::Fail(const std::string& op, WdcStatus status, int nth) { failures[op][nth] = status; }

int Fake::Calls(const std::string& op) const {
  auto it = counts.find(op);
  return it == counts.end() ? 0 : it->second;
}

void Fake::Log(const std::string& entry) {
  if (logEnabled) log.push_back(entry);
}

WdcStatus Fake::Enter(const std::string& op, const std::string& detail) {
  const int n = ++counts[op];
  if (logEnabled) log.push_back(detail.empty() ? op : op + " " + detail);
  auto it = failures.find(op);
  if (it == failures.end()) return WDC_STATUS_SUCCESS;
  auto hit = it->second.find(n);
  if (hit != it->second.end()) return hit->second;
  hit = it->second.find(0);
  return hit != it->second.end() ? hit->second : WDC_STATUS_SUCCESS;
}

Buffer* Fake::Find(const WdcDmaRecord* rec) {
  for (Buffer& b : buffers)
    if (&b.rec == rec) return &b;
  return nullptr;
}

Buffer* Fake::ById(int id) {
  for (Buffer& b : buffers)
    if (b.id == id) return &b;
  return nullptr;
}

int Fake::Live() const {
  return static_cast<int>(buffers.size()) - static_cast<int>(unlocked.size());
}

uint8_t* Fake::HostOf(uint64_t bus, uint32_t len) {
  for (Buffer& b : buffers) {
    bool gone = false;
    for (int id : unlocked) gone = gone || id == b.id;
    if (gone) continue;
    for (size_t i = 0; i < b.pages.size(); ++i) {
      const WdcDmaPage& p = b.pages[i];
      if (bus >= p.pPhysicalAddr && bus + len <= p.pPhysicalAddr + p.dwBytes)
        return b.pageHost[i] + (bus - p.pPhysicalAddr);
    }
  }
  return nullptr;
}

void Fake::FireInterrupt() {
  if (intEnabled && handler) handler(handlerData);
}

std::vector<std::string> Fake::Ops() const {
  std::vector<std::string> ops;
  for (const std::string& e : log) ops.push_back(e.substr(0, e.find(' ')));
  return ops;
}

std::vector<std::string> Fake::Writes() const {
  std::vector<std::string> w;
  for (const std::string& e : log)
    if (e[0] == 'W' && e.size() > 1 && e[1] >= '0' && e[1] <= '9') w.push_back(e);
  return w;
}

int Fake::IndexOf(const std::string& entry, int from) const {
  for (size_t i = static_cast<size_t>(from); i < log.size(); ++i)
    if (log[i] == entry) return static_cast<int>(i);
  return -1;
}

// ---- Boards ------------------------------------------------------------------------------------

void Fake::InstallChannel0Board() {
  onWrite = [this](const Access& a) {
    if (a.space != AD_BAR1 || a.offset != DMA_START || !(a.value & 1)) return;
    Channel0Board& b = ch0;
    ++b.transfers;
    const uint32_t addr = static_cast<uint32_t>(bar1[DMA_CH_ADDR(0)]);
    const uint32_t ctrl = static_cast<uint32_t>(bar1[DMA_CH_CTRL(0)]);
    const uint32_t f = ctrl & ~CTRL_FLAGS;
    const bool memWrite = (ctrl & CTRL_MEM_WRITE) != 0;
    if (memWrite && b.smash) {
      // The window starts at most 4095 bytes before the target page; zero 12 KiB around it.
      if (uint8_t* h = HostOf(addr & ~0xFFFu, 1)) {
        Buffer* buf = nullptr;
        for (Buffer& x : buffers)
          if (h >= x.host && h < x.host + x.size) buf = &x;
        if (buf) std::memset(buf->host, 0, buf->size);
      }
    } else if (b.copy) {
      const uint64_t target = memWrite ? static_cast<uint64_t>(static_cast<int64_t>(addr) + b.shift)
                                       : addr;
      if (uint8_t* h = HostOf(target, f)) {
        if (memWrite)
          std::memcpy(h, bar0, f);
        else
          std::memcpy(bar0, h, f);
      }
    }
    const bool bad = b.badWordCountEvery && b.transfers % b.badWordCountEvery == 0;
    bar1[DMA_WORD_COUNT] = bad ? 12345 : (memWrite ? 0 : (f + 7) / 8);
    if (b.dropIrqAt != b.transfers) FireInterrupt();
  };
}

void Fake::InstallBackloopBoard(bool copy, bool irq) {
  onWrite = [this, copy, irq](const Access& a) {
    if (a.space != AD_BAR1 || a.offset != DMA_RUN_CTRL || a.value != RUN_BACKLOOP) return;
    if (copy) {
      std::vector<uint8_t> stream;
      for (uint32_t ch : {DMA_CH_SG_SOURCE, DMA_CH_SG_DEST}) {
        const uint32_t tableBytes = static_cast<uint32_t>(bar1[DMA_CH_CTRL(ch)]) & ~CTRL_FLAGS;
        const uint8_t* table = HostOf(static_cast<uint32_t>(bar1[DMA_CH_ADDR(ch)]), tableBytes);
        if (!table) return;
        size_t pos = 0;
        for (uint32_t i = 0; i < tableBytes / 8; ++i) {
          DiagSgDescriptor d;
          std::memcpy(&d, table + 8 * i, sizeof d);
          const uint32_t len = d.dwCtrl & ~CTRL_FLAGS;
          uint8_t* h = HostOf(d.dwAddr, len);
          if (!h) return;
          if (ch == DMA_CH_SG_SOURCE) {
            stream.insert(stream.end(), h, h + len);
          } else {
            if (pos + len > stream.size()) return;
            std::memcpy(h, stream.data() + pos, len);
            pos += len;
          }
        }
      }
    }
    if (irq) FireInterrupt();
  };
}

}  // namespace fake

// ---- The boundary ----------------------------------------------------------------------------

using fake::Access;
using fake::F;
using fake::Hex;

namespace {

WdcStatus Read(const char* op, unsigned width, WdcDeviceHandle, uint32_t space, uint64_t offset,
               uint64_t* value) {
  fake::Fake& f = F();
  char detail[64];
  snprintf(detail, sizeof detail, "%u:%s", space, Hex(offset).c_str());
  const WdcStatus status = f.Enter(op, detail);
  if (f.logEnabled) f.log.back() = "R" + std::to_string(width) + " " + detail;
  const Access a{false, width, space, offset, 0};
  if (f.onRead && f.onRead(a, value)) return status;
  if (space == AD_BAR0) {
    *value = 0;
    if (offset + width / 8 <= sizeof f.bar0) std::memcpy(value, f.bar0 + offset, width / 8);
  } else {
    auto q = f.bar1Reads.find(offset);
    if (q != f.bar1Reads.end() && !q->second.empty()) {
      *value = q->second.front();
      q->second.pop_front();
    } else {
      *value = f.bar1[offset];
    }
  }
  return status;
}

WdcStatus Write(const char* op, unsigned width, WdcDeviceHandle, uint32_t space, uint64_t offset,
                uint64_t value) {
  fake::Fake& f = F();
  WdcStatus status = WDC_STATUS_SUCCESS;
  if (f.logEnabled) {
    char detail[80];
    snprintf(detail, sizeof detail, "%u:%s=%s", space, Hex(offset).c_str(), Hex(value).c_str());
    status = f.Enter(op, detail);
    f.log.back() = "W" + std::to_string(width) + " " + detail;
  } else {
    status = f.Enter(op);
  }
  if (space == AD_BAR0) {
    if (offset + width / 8 <= sizeof f.bar0) std::memcpy(f.bar0 + offset, &value, width / 8);
  } else {
    f.bar1[offset] = value;
  }
  if (f.onWrite) f.onWrite(Access{true, width, space, offset, value});
  return status;
}

std::string Id(const WdcDmaRecord* rec) {
  fake::Buffer* b = F().Find(rec);
  return b ? "#" + std::to_string(b->id) : "?";
}

// Records the new buffer with its pages; the record's page array points into the buffer.
WdcDmaRecord* Register(fake::Buffer&& nb) {
  fake::Fake& f = F();
  f.buffers.push_back(std::move(nb));
  fake::Buffer& b = f.buffers.back();
  b.rec.pUserAddr = b.host;
  b.rec.dwBytes = b.size;
  b.rec.dwOptions = b.options;
  b.rec.dwPages = static_cast<uint32_t>(b.pages.size());
  b.rec.Page = b.pages.empty() ? nullptr : b.pages.data();
  return &b.rec;
}

}  // namespace

WdcStatus WDC_DriverOpen(uint32_t) { return F().Enter("WDC_DriverOpen"); }
WdcStatus WDC_DriverClose(void) { return F().Enter("WDC_DriverClose"); }

WdcStatus WDC_PciScanDevices(uint32_t vendorId, uint32_t deviceId, WdcPciScanResult* result) {
  fake::Fake& f = F();
  static const WdcPciScanResult zero{};
  f.scanZeroedAtEntry = std::memcmp(result, &zero, sizeof zero) == 0;
  f.scanVendor = vendorId;
  f.scanDevice = deviceId;
  const WdcStatus status = f.Enter("WDC_PciScanDevices");
  if (status) return status;
  result->dwNumDevices = f.numDevices;
  for (uint32_t i = 0; i < f.numDevices; ++i) {
    result->deviceId[i] = {vendorId, deviceId};
    result->deviceSlot[i] = {3 + i, 7 + i, i};
  }
  return status;
}

WdcStatus WDC_PciGetDeviceInfo(WdcPciDeviceInfo* info) {
  fake::Fake& f = F();
  f.infoAtEntry = *info;
  const WdcStatus status = f.Enter("WDC_PciGetDeviceInfo");
  if (status) return status;
  info->dwNumItems = 1;
  info->item[0] = {WDC_ITEM_MEMORY, AD_BAR0, 0xF0000000u, BAR0_BYTES, 0};
  return status;
}

WdcStatus WDC_PciDeviceOpen(WdcDeviceHandle* phDev, const WdcPciDeviceInfo* info, const void* ctx,
                            void* reserved, const char* kpName, void* kpOpenData) {
  fake::Fake& f = F();
  f.openedSlot = info->pciSlot;
  f.openArgsNull = !ctx && !reserved && !kpName && !kpOpenData;
  const WdcStatus status = f.Enter("WDC_PciDeviceOpen");
  if (status) return status;
  f.device.slot = info->pciSlot;
  *phDev = &f.device;
  return status;
}

WdcStatus WDC_PciDeviceClose(WdcDeviceHandle hDev) {
  F().closedHandle = hDev;
  return F().Enter("WDC_PciDeviceClose");
}

WdcStatus WDC_ReadAddr8(WdcDeviceHandle h, uint32_t s, uint64_t o, uint8_t* v) {
  uint64_t x = *v;
  WdcStatus st = Read("WDC_ReadAddr8", 8, h, s, o, &x);
  *v = static_cast<uint8_t>(x);
  return st;
}
WdcStatus WDC_ReadAddr16(WdcDeviceHandle h, uint32_t s, uint64_t o, uint16_t* v) {
  uint64_t x = *v;
  WdcStatus st = Read("WDC_ReadAddr16", 16, h, s, o, &x);
  *v = static_cast<uint16_t>(x);
  return st;
}
WdcStatus WDC_ReadAddr32(WdcDeviceHandle h, uint32_t s, uint64_t o, uint32_t* v) {
  uint64_t x = *v;
  WdcStatus st = Read("WDC_ReadAddr32", 32, h, s, o, &x);
  *v = static_cast<uint32_t>(x);
  return st;
}
WdcStatus WDC_ReadAddr64(WdcDeviceHandle h, uint32_t s, uint64_t o, uint64_t* v) {
  return Read("WDC_ReadAddr64", 64, h, s, o, v);
}
WdcStatus WDC_WriteAddr8(WdcDeviceHandle h, uint32_t s, uint64_t o, uint8_t v) {
  return Write("WDC_WriteAddr8", 8, h, s, o, v);
}
WdcStatus WDC_WriteAddr16(WdcDeviceHandle h, uint32_t s, uint64_t o, uint16_t v) {
  return Write("WDC_WriteAddr16", 16, h, s, o, v);
}
WdcStatus WDC_WriteAddr32(WdcDeviceHandle h, uint32_t s, uint64_t o, uint32_t v) {
  return Write("WDC_WriteAddr32", 32, h, s, o, v);
}
WdcStatus WDC_WriteAddr64(WdcDeviceHandle h, uint32_t s, uint64_t o, uint64_t v) {
  return Write("WDC_WriteAddr64", 64, h, s, o, v);
}

WdcStatus WDC_DMAContigBufLock(WdcDeviceHandle, void** ppBuf, uint32_t options, uint32_t size,
                               WdcDmaRecord** ppDma) {
  fake::Fake& f = F();
  const WdcStatus status = f.Enter("WDC_DMAContigBufLock",
                                   "opt=" + Hex(options) + " size=" + std::to_string(size));
  fake::LockSpec desc;
  if (!f.contigSpecs.empty()) {
    desc = f.contigSpecs.front();
    f.contigSpecs.pop_front();
  }
  if (status) return status;
  fake::Buffer b;
  b.id = static_cast<int>(f.buffers.size()) + 1;
  b.contig = true;
  b.options = options;
  b.size = size;
  b.storage.assign(size ? size : 1, 0xA5);
  b.host = b.storage.data();
  if (desc.noPages || !desc.pages.empty()) {
    b.pages = desc.pages;
  } else {
    b.pages.push_back({f.nextContigBus, size});
    f.nextContigBus += 0x100000;
  }
  for (const WdcDmaPage& p : b.pages) b.pageHost.push_back(b.host + (p.pPhysicalAddr - b.pages[0].pPhysicalAddr));
  *ppBuf = b.host;
  *ppDma = Register(std::move(b));
  if (f.logEnabled) f.log.back() += " -> " + Id(*ppDma);
  return status;
}

WdcStatus WDC_DMASGBufLock(WdcDeviceHandle, void* pBuf, uint32_t options, uint32_t size,
                           WdcDmaRecord** ppDma) {
  fake::Fake& f = F();
  const WdcStatus status =
      f.Enter("WDC_DMASGBufLock", "opt=" + Hex(options) + " size=" + std::to_string(size));
  fake::LockSpec desc;
  if (!f.sgSpecs.empty()) {
    desc = f.sgSpecs.front();
    f.sgSpecs.pop_front();
  }
  if (status) return status;
  fake::Buffer b;
  b.id = static_cast<int>(f.buffers.size()) + 1;
  b.options = options;
  b.size = size;
  b.host = static_cast<uint8_t*>(pBuf);
  if (desc.noPages || !desc.pages.empty()) {
    b.pages = desc.pages;
    uint32_t at = 0;
    for (const WdcDmaPage& p : b.pages) {
      b.pageHost.push_back(b.host + at);
      at += p.dwBytes;
    }
  } else {
    // Split at host page boundaries; pages get descending, non-adjacent bus addresses.
    const uint64_t base = 0x40000000ull + 0x10000000ull * f.sgLocks++;
    const uintptr_t start = reinterpret_cast<uintptr_t>(pBuf);
    uint32_t at = 0;
    std::vector<std::pair<uint32_t, uint32_t>> spans;  // (offset in buffer, length)
    while (at < size) {
      const uint32_t inPage = static_cast<uint32_t>((start + at) & 0xFFF);
      const uint32_t len = std::min<uint32_t>(0x1000 - inPage, size - at);
      spans.push_back({at, len});
      at += len;
    }
    const uint64_t n = spans.size();
    for (uint64_t i = 0; i < n; ++i) {
      const uint32_t inPage = static_cast<uint32_t>((start + spans[i].first) & 0xFFF);
      b.pages.push_back({base + (n - 1 - i) * 0x2000 + inPage, spans[i].second});
      b.pageHost.push_back(b.host + spans[i].first);
    }
  }
  *ppDma = Register(std::move(b));
  if (f.logEnabled) f.log.back() += " -> " + Id(*ppDma);
  return status;
}

WdcStatus WDC_DMABufUnlock(WdcDmaRecord* pDma) {
  fake::Fake& f = F();
  fake::Buffer* b = f.Find(pDma);
  const WdcStatus status = f.Enter("WDC_DMABufUnlock", Id(pDma));
  if (b) f.unlocked.push_back(b->id);
  return status;
}

WdcStatus WDC_DMASyncCpu(WdcDmaRecord* pDma) {
  fake::Fake& f = F();
  if (fake::Buffer* b = f.Find(pDma)) ++b->syncCpu;
  return f.Enter("WDC_DMASyncCpu", Id(pDma));
}

WdcStatus WDC_DMASyncIo(WdcDmaRecord* pDma) {
  fake::Fake& f = F();
  if (fake::Buffer* b = f.Find(pDma)) ++b->syncIo;
  return f.Enter("WDC_DMASyncIo", Id(pDma));
}

WdcStatus WDC_IntEnable(WdcDeviceHandle, WdcTransferCmd* cmds, uint32_t numCmds, uint32_t options,
                        WdcIntHandler handler, void* data, uint32_t useKP) {
  fake::Fake& f = F();
  std::memcpy(f.cmds, cmds, sizeof f.cmds);
  f.numCmds = numCmds;
  f.intOptions = options;
  f.useKP = useKP;
  f.handler = handler;
  f.handlerData = data;
  const WdcStatus status = f.Enter("WDC_IntEnable");
  if (status == WDC_STATUS_SUCCESS) f.intEnabled = true;
  return status;
}

int WDC_IntIsEnabled(WdcDeviceHandle) {
  fake::Fake& f = F();
  f.Enter("WDC_IntIsEnabled");
  return f.intEnabled ? 1 : 0;
}

WdcStatus WDC_IntDisable(WdcDeviceHandle) {
  fake::Fake& f = F();
  if (f.onIntDisable) f.onIntDisable();
  const WdcStatus status = f.Enter("WDC_IntDisable");
  f.intEnabled = false;
  return status;
}

WdcStatus WDC_Sleep(uint32_t microseconds, uint32_t options) {
  return F().Enter("WDC_Sleep", std::to_string(microseconds) + " " + std::to_string(options));
}

const char* Stat2Str(WdcStatus status) {
  fake::Fake& f = F();
  f.Enter("Stat2Str", Hex(status));
  auto it = f.texts.find(status);
  if (it == f.texts.end()) it = f.texts.emplace(status, fake::FakeText(status)).first;
  return it->second.c_str();
}
