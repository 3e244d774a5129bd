// The guest's test program: the library's public operations over the VFIO backend, against
// QEMU's educational PCI device (edu) under a real Linux kernel, its vfio-pci driver and an
// emulated IOMMU. scripts/vm-test.sh boots the guest, whose init runs `vm-guest CASE [ARG]`
// for each case; every case prints "PASS CASE (T s)" or "FAIL CASE: why (T s)" and exits 0 or 1.
//
// edu's BAR0: 0x00 identification (0x010000ed), 0x04 liveness (reads the inverse of what was
// written), 0x24 interrupt status, 0x60 raise, 0x64 acknowledge; DMA source 0x80, destination
// 0x88, count 0x90, command 0x98 (bit 0 start, bit 1 from edu to RAM). Its buffer sits at
// device address 0x40000; its DMA mask is 28 bits; a DMA completes after 100 ms.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "vfio/board.h"
#include "vfio/kernel.h"
#include "wdc/backend.h"
#include "wdc/wdc_lib.h"

// The library's backend in the guest: every edu the kernel lists.
std::unique_ptr<wdc::Backend> wdc::CreateBackend(std::string*) {
  static vfio::LinuxKernel kernel;
  return vfio::CreateVfioBackend(kernel, 0x1234, 0x11e8);
}

namespace {

constexpr uint32_t kEduVendor = 0x1234, kEduDevice = 0x11e8;
constexpr uint32_t kId = 0x00, kLive = 0x04, kIrqStatus = 0x24, kIrqRaise = 0x60, kIrqAck = 0x64,
                   kDmaSrc = 0x80, kDmaDst = 0x88, kDmaCount = 0x90, kDmaCmd = 0x98;
constexpr uint64_t kEduBuffer = 0x40000;
constexpr uint32_t kDmaBytes = 4095;  // QEMU 7.2's edu aborts on a full 4096 at 0x40000
constexpr uint64_t kDmaMask = uint64_t{1} << 28;

// A failed check: the case ends with its text.
struct Failure {
  std::string why;
};

void Check(bool ok, const std::string& why) {
  if (!ok) throw Failure{why};
}

std::string Hex(uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, v);
  return text;
}

void CheckStatus(WdcStatus status, const std::string& call) {
  Check(status == WDC_STATUS_SUCCESS, call + ": " + Hex(status) + " " + Stat2Str(status));
}

// The library opened and edu opened, as the utility opens its board.
class Edu {
 public:
  Edu() {
    CheckStatus(WDC_DriverOpen(WDC_DRV_OPEN_DEFAULT), "WDC_DriverOpen");
    open_ = true;
    WdcPciScanResult scan{};
    CheckStatus(WDC_PciScanDevices(kEduVendor, kEduDevice, &scan), "WDC_PciScanDevices");
    Check(scan.dwNumDevices >= 1, "the scan found no edu");
    info_.pciSlot = scan.deviceSlot[0];
    CheckStatus(WDC_PciGetDeviceInfo(&info_), "WDC_PciGetDeviceInfo");
  }
  ~Edu() {
    if (handle_) WDC_PciDeviceClose(handle_);
    if (open_) WDC_DriverClose();
  }
  WdcStatus Open() {
    return WDC_PciDeviceOpen(&handle_, &info_, nullptr, nullptr, nullptr, nullptr);
  }
  void MustOpen() { CheckStatus(Open(), "WDC_PciDeviceOpen"); }
  // The close, with its status: what the ledger found left.
  WdcStatus Close() {
    WdcStatus s = handle_ ? WDC_PciDeviceClose(handle_) : WDC_STATUS_SUCCESS;
    handle_ = nullptr;
    const WdcStatus d = WDC_DriverClose();
    open_ = false;
    return s != WDC_STATUS_SUCCESS ? s : d;
  }

  uint32_t Read32(uint32_t at) {
    uint32_t v = 0;
    CheckStatus(WDC_ReadAddr32(handle_, 0, at, &v), "WDC_ReadAddr32 " + Hex(at));
    return v;
  }
  void Write32(uint32_t at, uint32_t v) {
    CheckStatus(WDC_WriteAddr32(handle_, 0, at, v), "WDC_WriteAddr32 " + Hex(at));
  }
  void Write64(uint32_t at, uint64_t v) {
    CheckStatus(WDC_WriteAddr64(handle_, 0, at, v), "WDC_WriteAddr64 " + Hex(at));
  }

  // One edu DMA between a bus address and its own buffer; waits for the engine to finish.
  void Dma(uint64_t bus, bool to_ram, uint32_t bytes) {
    Write64(kDmaSrc, to_ram ? kEduBuffer : bus);
    Write64(kDmaDst, to_ram ? bus : kEduBuffer);
    Write64(kDmaCount, bytes);
    Write32(kDmaCmd, 1u | (to_ram ? 2u : 0u));
    for (int i = 0; i < 100 && (Read32(kDmaCmd) & 1u); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Check((Read32(kDmaCmd) & 1u) == 0, "edu's DMA did not finish within 2 s");
  }

  // A contiguous buffer of `bytes` locked for `dir` (DMA_OPT_TO_DEVICE or _FROM_DEVICE).
  WdcDmaRecord* LockContig(uint32_t dir, uint32_t bytes, uint8_t** host) {
    void* buf = nullptr;
    WdcDmaRecord* r = nullptr;
    CheckStatus(WDC_DMAContigBufLock(handle_, &buf, dir, bytes, &r), "WDC_DMAContigBufLock");
    *host = static_cast<uint8_t*>(buf);
    return r;
  }

  WdcDeviceHandle handle() const { return handle_; }
  const WdcPciDeviceInfo& info() const { return info_; }

 private:
  bool open_ = false;
  WdcPciDeviceInfo info_{};
  WdcDeviceHandle handle_ = nullptr;
};

std::string Bdf(const WdcPciSlot& s) {
  char text[32];
  std::snprintf(text, sizeof text, "0000:%02x:%02x.%x", s.dwBus, s.dwSlot, s.dwFunction);
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The kernel log so far (the records of /dev/kmsg, read without blocking).
std::string KernelLog() {
  std::string log;
  const int fd = ::open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
  if (fd < 0) return log;
  char record[8192];
  for (;;) {
    const ssize_t n = ::read(fd, record, sizeof record);
    if (n < 0 && errno == EPIPE) continue;  // a record overwritten meanwhile
    if (n <= 0) break;
    log.append(record, static_cast<size_t>(n));
  }
  ::close(fd);
  return log;
}

// The files under /dev/vfio this process holds.
int VfioFilesOpen() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char link[64], target[256];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = ::readlink(link, target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<size_t>(len)).rfind("/dev/vfio/", 0) == 0) ++n;
  }
  return n;
}

void FillPattern(uint8_t* p, uint32_t bytes, uint8_t seed) {
  for (uint32_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(i * 13 + seed);
}

// ---- The cases --------------------------------------------------------------------------------

// edu bound to DRIVER, or to no driver when none is given (before the guest binds it to
// vfio-pci): the open says which, and how to bind it.
void NotBound(const std::string& driver) {
  Edu edu;
  const WdcStatus s = edu.Open();
  Check(s == WDC_STATUS_NOT_BOUND, "open returned " + Hex(s) + " " + Stat2Str(s));
  const std::string text = Stat2Str(s);
  const std::string bdf = Bdf(edu.info().pciSlot);
  const std::string held = driver.empty() ? "bound to no driver" : "bound to the driver " + driver;
  Check(text.find(held) != std::string::npos, "text: " + text);
  Check(text.find("driverctl set-override " + bdf + " vfio-pci") != std::string::npos,
        "text: " + text);
  Check(driver.empty() == (text.find("/driver/unbind") == std::string::npos), "text: " + text);
}

// A guest without an IOMMU: no group, and the text says how to turn the IOMMU on.
void NoIommu(const std::string&) {
  Edu edu;
  const WdcStatus s = edu.Open();
  Check(s == WDC_STATUS_NO_IOMMU, "open returned " + Hex(s) + " " + Stat2Str(s));
  Check(std::string(Stat2Str(s)).find("intel_iommu=on") != std::string::npos, Stat2Str(s));
}

// The scan finds edu at BDF (as sysfs names it), the information gives BAR0's size, the open
// claims the device: another process cannot open it meanwhile.
void ScanOpen(const std::string& bdf) {
  Edu edu;
  Check(Bdf(edu.info().pciSlot) == bdf, "the scan found edu at " + Bdf(edu.info().pciSlot));
  bool bar0 = false;
  for (uint32_t i = 0; i < edu.info().dwNumItems; ++i) {
    const WdcResourceItem& item = edu.info().item[i];
    if (item.dwKind == WDC_ITEM_MEMORY && item.dwBar == 0) bar0 = item.qwBytes == (1u << 20);
  }
  Check(bar0, "the device information shows no 1 MiB BAR0");
  edu.MustOpen();
  Check(edu.handle()->addrSpace[0].qwBytes == (1u << 20), "the record's BAR0 is not 1 MiB");
  // A second process (a new program, as a second run of the utility would be).
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", "vm-guest", "busy", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  Check(WIFEXITED(status) && WEXITSTATUS(status) == 0,
        "a second process was not refused as busy while the device was open");
  Check(edu.Close() == WDC_STATUS_SUCCESS, "the close found resources left");
}

// Run by ScanOpen while it holds the device: the open is refused as busy, with the cause.
void Busy(const std::string&) {
  Edu edu;
  const WdcStatus s = edu.Open();
  Check(s == WDC_STATUS_DEVICE_BUSY, "open returned " + Hex(s) + " " + Stat2Str(s));
  Check(std::string(Stat2Str(s)).find("Another process holds") != std::string::npos, Stat2Str(s));
}

// BAR0 through the mapped window at every width edu decodes (4 and 8 bytes; smaller accesses
// it does not decode), and the library's own checks at the others.
void Bar0(const std::string&) {
  Edu edu;
  edu.MustOpen();
  Check(edu.Read32(kId) == 0x010000ed, "identification reads " + Hex(edu.Read32(kId)));
  for (uint32_t v : {0u, 0x12345678u, 0xFFFFFFFFu}) {
    edu.Write32(kLive, v);
    Check(edu.Read32(kLive) == ~v, "liveness after " + Hex(v) + " reads " + Hex(edu.Read32(kLive)));
  }
  edu.Write64(kDmaSrc, 0x0123456789ABCDEFull);
  uint64_t v64 = 0;
  CheckStatus(WDC_ReadAddr64(edu.handle(), 0, kDmaSrc, &v64), "WDC_ReadAddr64");
  Check(v64 == 0x0123456789ABCDEFull, "the 64-bit DMA source register reads " + Hex(v64));
  uint8_t v8 = 0;
  uint16_t v16 = 0;
  CheckStatus(WDC_ReadAddr8(edu.handle(), 0, 1, &v8), "WDC_ReadAddr8");
  CheckStatus(WDC_ReadAddr16(edu.handle(), 0, 2, &v16), "WDC_ReadAddr16");
  Check(WDC_ReadAddr32(edu.handle(), 0, 2, nullptr) != WDC_STATUS_SUCCESS, "null accepted");
  uint32_t v32 = 0;
  Check(WDC_ReadAddr32(edu.handle(), 0, 2, &v32) == WDC_STATUS_MISALIGNED, "misaligned taken");
  Check(WDC_ReadAddr32(edu.handle(), 0, 1u << 20, &v32) == WDC_STATUS_OUT_OF_RANGE,
        "an access past BAR0 taken");
}

// A contiguous and a scatter/gather lock through the IOMMU, each way: edu copies from one of
// each into its buffer and back into one of the other; the bytes arrive, and every bus address
// fits edu's mask.
void Dma(const std::string&) {
  Edu edu;
  edu.MustOpen();
  uint8_t* contig[2] = {};
  WdcDmaRecord* c[2] = {};  // [0] edu reads it, [1] edu writes it
  std::vector<uint8_t> user(2 * 3 * 4096);
  uint8_t* sg[2] = {user.data() + 4096 - 100, user.data() + 4 * 4096 - 100};  // across a page
  WdcDmaRecord* g[2] = {};
  const uint32_t dir[2] = {DMA_OPT_TO_DEVICE, DMA_OPT_FROM_DEVICE};
  for (int i = 0; i < 2; ++i) {
    c[i] = edu.LockContig(dir[i], kDmaBytes, &contig[i]);
    CheckStatus(WDC_DMASGBufLock(edu.handle(), sg[i], dir[i], kDmaBytes, &g[i]),
                "WDC_DMASGBufLock");
    Check(g[i]->dwPages == 2,
          "a scatter/gather lock has " + std::to_string(g[i]->dwPages) + " pages");
    Check(g[i]->Page[0].pPhysicalAddr + g[i]->Page[0].dwBytes == g[i]->Page[1].pPhysicalAddr,
          "the scatter/gather pages are not consecutive on the bus");
  }
  for (const WdcDmaRecord* r : {c[0], c[1], g[0], g[1]})
    for (uint32_t i = 0; i < r->dwPages; ++i)
      Check(r->Page[i].pPhysicalAddr + r->Page[i].dwBytes <= kDmaMask,
            "bus address " + Hex(r->Page[i].pPhysicalAddr) + " beyond edu's 28 bits");

  auto through_edu = [&edu](uint8_t* from, WdcDmaRecord* src, uint8_t* to, WdcDmaRecord* dst,
                            uint8_t seed, const std::string& what) {
    FillPattern(from, kDmaBytes, seed);
    std::memset(to, 0, kDmaBytes);
    CheckStatus(WDC_DMASyncCpu(src), "WDC_DMASyncCpu");
    CheckStatus(WDC_DMASyncCpu(dst), "WDC_DMASyncCpu");
    edu.Dma(src->Page[0].pPhysicalAddr, false, kDmaBytes);
    edu.Dma(dst->Page[0].pPhysicalAddr, true, kDmaBytes);
    CheckStatus(WDC_DMASyncIo(dst), "WDC_DMASyncIo");
    Check(std::memcmp(to, from, kDmaBytes) == 0, what + " lost bytes");
  };
  through_edu(contig[0], c[0], sg[1], g[1], 1, "contiguous -> edu -> scatter/gather");
  through_edu(sg[0], g[0], contig[1], c[1], 77, "scatter/gather -> edu -> contiguous");
  for (WdcDmaRecord* r : {c[0], c[1], g[0], g[1]}) CheckStatus(WDC_DMABufUnlock(r), "unlock");
  Check(edu.Close() == WDC_STATUS_SUCCESS, "the close found resources left");
}

struct IrqCount {
  WdcDeviceHandle handle = nullptr;
  std::atomic<uint32_t> calls{0};
};

// On the library's interrupt thread: edu's status stays raised until acknowledged.
void OnInterrupt(void* data) {
  auto* count = static_cast<IrqCount*>(data);
  uint32_t status = 0;
  WDC_ReadAddr32(count->handle, 0, kIrqStatus, &status);
  WDC_WriteAddr32(count->handle, 0, kIrqAck, status);
  count->calls.fetch_add(1);
}

// The interrupt through WDC_IntEnable with a transfer list that reads edu's status: each raise
// reaches the handler once. ARG is the kind the kernel must show in /proc/interrupts.
void Interrupt(const std::string& kind) {
  Edu edu;
  edu.MustOpen();
  IrqCount count;
  count.handle = edu.handle();
  WdcTransferCmd list[2] = {};
  list[0].dwAddr = edu.handle()->addrSpace[0].dwKernelAddr + kIrqStatus;
  list[0].cmdTrans = WDC_TRANS_READ_DWORD;
  list[1].cmdTrans = WDC_TRANS_MASK;
  list[1].dwData = 0xFFFFFFFF;
  CheckStatus(WDC_IntEnable(edu.handle(), list, 2, 0, OnInterrupt, &count, 0), "WDC_IntEnable");
  const std::string interrupts = ReadFile("/proc/interrupts");
  Check(interrupts.find("vfio-" + kind) != std::string::npos,
        "no vfio-" + kind + " line in /proc/interrupts");
  constexpr uint32_t kRaises = 5;
  for (uint32_t i = 1; i <= kRaises; ++i) {
    edu.Write32(kIrqRaise, 1u << i);
    for (int t = 0; t < 200 && count.calls.load() < i; ++t)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Check(count.calls.load() == i, "raise " + std::to_string(i) + " reached the handler " +
                                       std::to_string(count.calls.load()) + " times in all");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Check(count.calls.load() == kRaises, "the handler ran " + std::to_string(count.calls.load()) +
                                           " times for " + std::to_string(kRaises) + " raises");
  Check(edu.Read32(kIrqStatus) == 0, "edu's status still raised");
  CheckStatus(WDC_IntDisable(edu.handle()), "WDC_IntDisable");
  Check(edu.Close() == WDC_STATUS_SUCCESS, "the close found resources left");
}

// edu writes to a bus address no lock holds: the IOMMU blocks it, the kernel logs the fault,
// and no locked byte changes.
void Isolation(const std::string&) {
  Edu edu;
  edu.MustOpen();
  uint8_t* buf = nullptr;
  WdcDmaRecord* r = edu.LockContig(DMA_OPT_FROM_DEVICE, 4096, &buf);
  std::memset(buf, 0x5A, 4096);
  constexpr uint64_t kStray = 0x0F000000;  // below edu's mask, far above what was locked
  Check(r->Page[0].pPhysicalAddr + 4096 <= kStray, "the lock reaches the stray address");
  edu.Dma(kStray, true, kDmaBytes);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (uint32_t i = 0; i < 4096; ++i) Check(buf[i] == 0x5A, "a locked byte changed");
  const std::string log = KernelLog();
  Check(log.find("DMAR") != std::string::npos &&
            log.find("fault addr 0xf000000") != std::string::npos,
        "no DMAR fault at 0xf000000 in the kernel log");
  CheckStatus(WDC_DMABufUnlock(r), "WDC_DMABufUnlock");
  Check(edu.Close() == WDC_STATUS_SUCCESS, "the close found resources left");
}

// Forced failures through the library's own setting: a failed unlock leaves the buffer to the
// ledger, the close releases it and says so, and a new open finds the device free.
void Ledger(const std::string&) {
  ::setenv("FPGA_WDC", "fail=WDC_DMABufUnlock@1", 1);
  {
    Edu edu;
    edu.MustOpen();
    uint8_t* buf = nullptr;
    WdcDmaRecord* r = edu.LockContig(DMA_OPT_TO_DEVICE, 4096, &buf);
    Check(WDC_DMABufUnlock(r) != WDC_STATUS_SUCCESS, "the forced unlock failure did not come");
    const WdcStatus s = edu.Close();
    Check(s == WDC_STATUS_RESOURCES_LEFT, "the close returned " + Hex(s));
    Check(std::string(Stat2Str(s)).find("1 DMA buffer locked") != std::string::npos, Stat2Str(s));
  }
  ::unsetenv("FPGA_WDC");
  // Nothing of the first open is held: no VFIO file is open, and the device opens again.
  Check(VfioFilesOpen() == 0, std::to_string(VfioFilesOpen()) + " VFIO files still open");
  Edu edu;
  edu.MustOpen();
  Check(edu.Close() == WDC_STATUS_SUCCESS, "the second close found resources left");
}

// A process killed in the middle of edu's DMA: the kernel releases the device, and the next
// open gets it and moves data again.
void Kill(const std::string&) {
  int ready[2];
  Check(pipe(ready) == 0, "pipe");
  const pid_t child = fork();
  if (child == 0) {
    try {
      Edu edu;
      edu.MustOpen();
      uint8_t* buf = nullptr;
      WdcDmaRecord* r = edu.LockContig(DMA_OPT_FROM_DEVICE, 4096, &buf);
      edu.Write64(kDmaSrc, kEduBuffer);
      edu.Write64(kDmaDst, r->Page[0].pPhysicalAddr);
      edu.Write64(kDmaCount, kDmaBytes);
      edu.Write32(kDmaCmd, 3);  // started: it lands 100 ms from now
      const char go = 1;
      if (write(ready[1], &go, 1) != 1) _exit(2);
      pause();
    } catch (const Failure& f) {
      std::printf("child: %s\n", f.why.c_str());
    }
    _exit(1);
  }
  ::close(ready[1]);
  char go = 0;
  const bool started = read(ready[0], &go, 1) == 1;
  ::kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  Check(started, "the child did not start its DMA");
  Check(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the child was not killed");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // edu's DMA lands meanwhile
  Edu edu;
  edu.MustOpen();
  uint8_t *from = nullptr, *to = nullptr;
  WdcDmaRecord* r[2] = {edu.LockContig(DMA_OPT_TO_DEVICE, 4096, &from),
                        edu.LockContig(DMA_OPT_FROM_DEVICE, 4096, &to)};
  FillPattern(from, kDmaBytes, 5);
  std::memset(to, 0, 4096);
  edu.Dma(r[0]->Page[0].pPhysicalAddr, false, kDmaBytes);
  edu.Dma(r[1]->Page[0].pPhysicalAddr, true, kDmaBytes);
  Check(std::memcmp(from, to, kDmaBytes) == 0, "DMA after the kill lost bytes");
  for (WdcDmaRecord* rec : r) CheckStatus(WDC_DMABufUnlock(rec), "WDC_DMABufUnlock");
  Check(edu.Close() == WDC_STATUS_SUCCESS, "the close found resources left");
}

// Runs `body` as an ordinary user (uid and gid 1000) with the memory-lock limit `memlock`.
void AsUser(uint64_t memlock, const std::function<void()>& body) {
  const rlimit limit{memlock, memlock};
  Check(setrlimit(RLIMIT_MEMLOCK, &limit) == 0, "setrlimit");
  Check(setgroups(0, nullptr) == 0 && setresgid(1000, 1000, 1000) == 0 &&
            setresuid(1000, 1000, 1000) == 0,
        "cannot become uid 1000");
  body();
}

// As a user who may open the group file (the init gave it to uid 1000) but may lock only
// 64 KiB: the lock fails with the limit named and what to do.
void Memlock(const std::string&) {
  AsUser(64 << 10, [] {
    Edu edu;
    edu.MustOpen();
    std::vector<uint8_t> big(1 << 20);
    WdcDmaRecord* r = nullptr;
    const WdcStatus s = WDC_DMASGBufLock(edu.handle(), big.data(), DMA_OPT_TO_DEVICE, 1 << 20, &r);
    Check(s == WDC_STATUS_LOCK_LIMIT, "the lock returned " + Hex(s) + " " + Stat2Str(s));
    const std::string text = Stat2Str(s);
    Check(text.find("`ulimit -l` is 64 (KiB)") != std::string::npos, text);
    Check(edu.Close() == WDC_STATUS_SUCCESS, "the close found resources left");
  });
}

// As a user the group file is not given to: the open names the file and the grant.
void Permission(const std::string&) {
  AsUser(RLIM_INFINITY, [] {
    Edu edu;
    const WdcStatus s = edu.Open();
    Check(s == WDC_STATUS_NO_PERMISSION, "open returned " + Hex(s) + " " + Stat2Str(s));
    const std::string text = Stat2Str(s);
    Check(text.find("/dev/vfio/") != std::string::npos && text.find("chown") != std::string::npos,
          text);
  });
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, void (*)(const std::string&)> cases = {
      {"not-bound", NotBound},
      {"no-iommu", NoIommu},
      {"scan-open", ScanOpen},
      {"bar0", Bar0},
      {"dma", Dma},
      {"interrupt", Interrupt},
      {"isolation", Isolation},
      {"ledger", Ledger},
      {"kill", Kill},
      {"memlock", Memlock},
      {"permission", Permission},
      {"busy", Busy},
  };
  if (argc < 2 || !cases.count(argv[1])) {
    std::fprintf(stderr, "usage: vm-guest CASE [ARG]; cases:");
    for (const auto& [name, fn] : cases) std::fprintf(stderr, " %s", name.c_str());
    std::fprintf(stderr, "\n");
    return 2;
  }
  std::string name = argv[1];
  const std::string arg = argc > 2 ? argv[2] : "";
  if (!arg.empty()) name += " " + arg;
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [start] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  try {
    cases.at(argv[1])(arg);
  } catch (const Failure& f) {
    std::printf("FAIL %s: %s (%.2f s)\n", name.c_str(), f.why.c_str(), seconds());
    return 1;
  }
  std::printf("PASS %s (%.2f s)\n", name.c_str(), seconds());
  return 0;
}
