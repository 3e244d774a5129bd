// Opening and closing the library, forced failures, the ledger, WDC_Sleep and status texts.
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "platform/platform.h"
#include "library_state.h"

namespace wdc {

DeviceSlot g_devices[kMaxDevices];
bool g_fail_armed[kOpCount];
std::atomic<bool> g_open;
bool g_sleep_enabled;

LibraryState& Lib() {
  // Never destroyed: a process may end with the library still open, and destroying the backend
  // under a running interrupt thread at exit would be worse than leaving it.
  static LibraryState* state = new LibraryState;
  return *state;
}

WdcStatus ForcedFailure(Op op) {
  LibraryState& lib = Lib();
  const uint32_t index = static_cast<uint32_t>(op);
  std::lock_guard<std::mutex> lock(lib.fail_mu);
  const uint64_t call = ++lib.calls[index];
  for (const FailRule& rule : lib.rules)
    if (rule.op == op && rule.nth == call) return WDC_STATUS_FAIL_BASE + index;
  return WDC_STATUS_SUCCESS;
}

namespace {

// The causes recorded for statuses. Texts are kept for the life of the process, so a pointer
// Stat2Str returned stays valid whatever is recorded later, on any thread.
struct StatusDetails {
  std::mutex mu;
  std::set<std::string> texts;
  std::map<WdcStatus, const char*> current;
};
StatusDetails& Details() {
  static StatusDetails* details = new StatusDetails;
  return *details;
}

const char* Detail(WdcStatus status, const char* fallback) {
  StatusDetails& d = Details();
  std::lock_guard<std::mutex> lock(d.mu);
  auto it = d.current.find(status);
  return it == d.current.end() ? fallback : it->second;
}

}  // namespace

void SetStatusDetail(WdcStatus status, const std::string& text) {
  StatusDetails& d = Details();
  std::lock_guard<std::mutex> lock(d.mu);
  d.current[status] = d.texts.insert(text).first->c_str();
}

void CloseBoard(LibraryState& lib, DeviceSlot* slot) {
  for (uint64_t& bytes : slot->fast_bytes) __atomic_store_n(&bytes, 0, __ATOMIC_RELEASE);
  slot->live.store(0, std::memory_order_release);
  slot->board->Close();
  for (auto it = lib.dma.begin(); it != lib.dma.end();) {
    if ((*it)->board != slot->board) {
      ++it;
      continue;
    }
    delete *it;
    it = lib.dma.erase(it);
    ++lib.buffers_left;
  }
}

WDC_NOINLINE WdcStatus RefuseHandle() {
  return g_open.load(std::memory_order_acquire) ? WDC_STATUS_INVALID_HANDLE : WDC_STATUS_NOT_OPEN;
}

namespace {

void Disarm(LibraryState& lib) {
  std::lock_guard<std::mutex> lock(lib.fail_mu);
  lib.rules.clear();
  for (uint32_t i = 0; i < kOpCount; ++i) {
    lib.calls[i] = 0;
    g_fail_armed[i] = false;
  }
}

void Arm(LibraryState& lib, std::vector<FailRule> rules) {
  std::lock_guard<std::mutex> lock(lib.fail_mu);
  lib.rules = std::move(rules);
  for (uint32_t i = 0; i < kOpCount; ++i) lib.calls[i] = 0;
  for (const FailRule& rule : lib.rules) {
    // WDC_IntIsEnabled and Stat2Str have no status to fail with.
    if (rule.op < Op::Count && ReturnsStatus(rule.op))
      g_fail_armed[static_cast<uint32_t>(rule.op)] = true;
  }
}

std::string Counted(uint32_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

}  // namespace wdc

using namespace wdc;

WdcStatus WDC_DriverOpen(uint32_t /*openOptions*/) {
  LibraryState& lib = Lib();
  std::lock_guard<std::mutex> lock(lib.mu);
  if (g_open.load(std::memory_order_relaxed)) {
    if (g_fail_armed[static_cast<uint32_t>(Op::DriverOpen)]) {
      if (WdcStatus forced = ForcedFailure(Op::DriverOpen)) return forced;
    }
    return WDC_STATUS_ALREADY_OPEN;
  }
  std::string error;
  LibrarySettings settings;
  if (!ParseLibrarySettings(std::getenv("FPGA_WDC"), &settings, &error)) {
    SetStatusDetail(WDC_STATUS_BAD_SETTING, error);
    return WDC_STATUS_BAD_SETTING;
  }
  std::unique_ptr<Backend> backend = CreateBackend(&error);
  if (!backend) {
    SetStatusDetail(WDC_STATUS_BAD_SETTING, error.empty() ? "bad FPGA_SIM setting" : error);
    return WDC_STATUS_BAD_SETTING;
  }
  // The library's own rules first, then those the backend's settings hold.
  std::vector<FailRule> rules = std::move(settings.fail_rules);
  for (const FailRule& rule : backend->FailRules()) rules.push_back(rule);
  Arm(lib, std::move(rules));
  lib.only_slot = settings.slot;
  // The opening call is the first call of WDC_DriverOpen that a rule can count.
  if (g_fail_armed[static_cast<uint32_t>(Op::DriverOpen)]) {
    if (WdcStatus forced = ForcedFailure(Op::DriverOpen)) {
      Disarm(lib);
      return forced;
    }
  }
  lib.backend = std::move(backend);
  lib.dma.clear();
  lib.interrupts_left = 0;
  lib.buffers_left = 0;
  g_sleep_enabled = lib.backend->SleepEnabled();
  g_open.store(true, std::memory_order_release);
  return WDC_STATUS_SUCCESS;
}

WdcStatus WDC_DriverClose(void) {
  if (g_fail_armed[static_cast<uint32_t>(Op::DriverClose)]) {
    if (WdcStatus forced = ForcedFailure(Op::DriverClose)) return forced;
  }
  // An interrupt thread cannot join itself.
  if (CurrentInterruptThread() != nullptr) return WDC_STATUS_WRONG_THREAD;
  LibraryState& lib = Lib();
  std::unique_lock<std::mutex> lock(lib.mu);
  if (!g_open.load(std::memory_order_relaxed)) return WDC_STATUS_NOT_OPEN;

  uint32_t interrupts = lib.interrupts_left;
  std::vector<InterruptState*> stopped;
  for (DeviceSlot& slot : g_devices) {
    if (!slot.live.load(std::memory_order_relaxed)) continue;
    if (InterruptState* state = slot.interrupt.exchange(nullptr)) {
      StopInterrupt(state);
      stopped.push_back(state);
    }
  }
  interrupts += static_cast<uint32_t>(stopped.size());
  if (!stopped.empty()) {
    lock.unlock();
    for (InterruptState* state : stopped) JoinInterrupt(state);
    lock.lock();
  }

  // Audit before the closes: it stops any run, so no access can be blocked by the unmaps.
  std::vector<std::string> findings;
  for (size_t i = 0; i < lib.backend->BoardCount(); ++i) lib.backend->BoardAt(i)->Audit(&findings);

  uint32_t handles = 0;
  for (DeviceSlot& slot : g_devices) {
    if (!slot.live.load(std::memory_order_relaxed)) continue;
    CloseBoard(lib, &slot);
    ++handles;
  }
  const uint32_t buffers = lib.buffers_left;

  Disarm(lib);
  g_open.store(false, std::memory_order_release);
  lib.backend.reset();
  lib.interrupts_left = 0;
  lib.buffers_left = 0;

  std::vector<std::string> left;
  if (handles) left.push_back(Counted(handles, "device handle open", "device handles open"));
  if (buffers) left.push_back(Counted(buffers, "DMA buffer locked", "DMA buffers locked"));
  if (interrupts == 1) left.push_back("an interrupt enabled");
  if (interrupts > 1) left.push_back(std::to_string(interrupts) + " interrupts enabled");
  for (std::string& finding : findings) left.push_back(std::move(finding));
  if (left.empty()) return WDC_STATUS_SUCCESS;
  std::string text = "resources left at close: ";
  for (size_t i = 0; i < left.size(); ++i) text += (i ? ", " : "") + left[i];
  SetStatusDetail(WDC_STATUS_RESOURCES_LEFT, text);
  return WDC_STATUS_RESOURCES_LEFT;
}

WdcStatus WDC_Sleep(uint32_t microseconds, uint32_t /*options*/) {
  if (WDC_UNLIKELY(g_fail_armed[static_cast<uint32_t>(Op::Sleep)])) {
    if (WdcStatus forced = ForcedFailure(Op::Sleep)) return forced;
  }
  if (!g_open.load(std::memory_order_acquire)) return WDC_STATUS_NOT_OPEN;
  if (!g_sleep_enabled) return WDC_STATUS_SUCCESS;
  // A busy wait: the pause is far below a scheduler tick, so a sleeping wait would overshoot.
  const uint64_t end = platform::NowNs() + uint64_t{microseconds} * 1000u;
  while (platform::NowNs() < end) {
  }
  return WDC_STATUS_SUCCESS;
}

const char* Stat2Str(WdcStatus status) {
  switch (status) {
    case WDC_STATUS_SUCCESS: return "Success";
    case WDC_STATUS_NOT_OPEN: return "The device-access library is not open";
    case WDC_STATUS_ALREADY_OPEN: return "The device-access library is already open";
    case WDC_STATUS_INVALID_HANDLE: return "Invalid device handle (null, closed or unknown)";
    case WDC_STATUS_INVALID_PARAMETER: return "Invalid parameter";
    case WDC_STATUS_NO_SUCH_DEVICE: return "No device at that bus location";
    case WDC_STATUS_DEVICE_BUSY: return Detail(status, "The device is already open");
    case WDC_STATUS_BAD_ADDR_SPACE: return "No such address space on the device";
    case WDC_STATUS_OUT_OF_RANGE: return "Access outside the address space";
    case WDC_STATUS_MISALIGNED: return "Access not aligned to its width";
    case WDC_STATUS_NO_MEMORY: return Detail(status, "Out of memory or bus addresses");
    case WDC_STATUS_INVALID_DMA_RECORD: return "Invalid DMA record (null, unlocked or unknown)";
    case WDC_STATUS_INT_ALREADY_ENABLED: return "Interrupts are already enabled on the device";
    case WDC_STATUS_INT_NOT_ENABLED: return "Interrupts are not enabled on the device";
    case WDC_STATUS_BAD_TRANSFER_LIST:
      return "Bad interrupt transfer list (unknown command, bad count or address outside the "
             "device)";
    case WDC_STATUS_WRONG_THREAD: return "Not allowed on the interrupt handler's own thread";
    case WDC_STATUS_BAD_SETTING: return Detail(status, "Bad FPGA_SIM setting");
    case WDC_STATUS_RESOURCES_LEFT: return Detail(status, "Resources were left held at close");
    case WDC_STATUS_NOT_BOUND: return Detail(status, "The device is not bound to vfio-pci");
    case WDC_STATUS_NO_IOMMU: return Detail(status, "The device has no IOMMU group");
    case WDC_STATUS_GROUP_NOT_VIABLE:
      return Detail(status, "Other devices of the device's IOMMU group are bound to drivers");
    case WDC_STATUS_NO_PERMISSION:
      return Detail(status, "No permission to open the device's files");
    case WDC_STATUS_LOCK_LIMIT:
      return Detail(status, "The memory-lock limit is too low for the DMA buffers");
    case WDC_STATUS_SYSTEM_ERROR: return Detail(status, "A system call failed");
    case WDC_STATUS_BUS_ADDR_ABOVE_4G:
      return "The buffer has a bus address at or above 4 GiB, beyond the controller's 32-bit "
             "address fields";
    case WDC_STATUS_LENGTH_TOO_LARGE:
      return "The buffer or one of its pages is too long for the controller's 29-bit length "
             "field";
    case WDC_STATUS_NO_PAGES: return "The DMA buffer has no pages";
    default: break;
  }
  if (status >= WDC_STATUS_FAIL_BASE && status < WDC_STATUS_FAIL_BASE + kOpCount) {
    const uint32_t index = status - WDC_STATUS_FAIL_BASE;
    if (ReturnsStatus(static_cast<Op>(index))) {
      static const std::vector<std::string> texts = [] {
        std::vector<std::string> all;
        for (uint32_t i = 0; i < kOpCount; ++i)
          all.push_back(std::string("Simulated failure of ") + kOpNames[i]);
        return all;
      }();
      return texts[index].c_str();
    }
  }
  return "Unknown status";
}
