#include "wdc_fake_backend.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace wdc_fake {
namespace {

std::mutex g_mu;
Config g_config;
std::vector<FakeBoard*> g_boards;  // of the live backend
int g_live_backends = 0;
std::atomic<int> g_live_mappings{0};
std::string g_last_settings;
bool g_last_null = true;

class FakeBackend : public wdc::Backend {
 public:
  explicit FakeBackend(const Config& config) : config_(config) {
    for (const BoardSpec& desc : config.boards) boards_.push_back(new FakeBoard(desc));
    std::lock_guard<std::mutex> lock(g_mu);
    g_boards = boards_;
    ++g_live_backends;
  }
  ~FakeBackend() override {
    {
      std::lock_guard<std::mutex> lock(g_mu);
      g_boards.clear();
      --g_live_backends;
    }
    for (FakeBoard* board : boards_) delete board;
  }
  size_t BoardCount() const override { return boards_.size(); }
  wdc::Board* BoardAt(size_t index) override { return boards_.at(index); }
  std::vector<wdc::FailRule> FailRules() const override { return config_.rules; }
  bool SleepEnabled() const override { return config_.sleep_enabled; }

 private:
  Config config_;
  std::vector<FakeBoard*> boards_;
};

// Bus addresses: a contiguous buffer gets its own 16 MiB stretch; user pages are scattered
// downwards so that they are never adjacent.
std::atomic<uint64_t> g_next_bus{0x10000000};

}  // namespace

FakeBoard::FakeBoard(const BoardSpec& desc) : spec_(desc) {
  for (uint32_t i = 0; i < WDC_MAX_ADDR_SPACES; ++i) bars_[i].assign(desc.bar_bytes[i], 0);
}

FakeBoard::~FakeBoard() = default;

wdc::BarInfo FakeBoard::Bar(uint32_t index) const {
  if (index >= WDC_MAX_ADDR_SPACES || spec_.bar_bytes[index] == 0) return {};
  return {0xF0000000ull + spec_.id.bus * 0x100000ull + index * 0x10000ull,
          spec_.bar_bytes[index]};
}

WdcStatus FakeBoard::Open(const wdc::DmaConstraints& dma) {
  ++opens;
  constraints = dma;
  return open_status;
}

void FakeBoard::Close() {
  ++closes;
  for (void* host : contig_) std::free(host);
  contig_.clear();
  g_live_mappings -= live_mappings.exchange(0);
}

wdc::DeviceWindow FakeBoard::Window(uint32_t bar) {
  if (bar != 0) return {};
  return {bars_[0].data(), bars_[0].size()};
}

WdcStatus FakeBoard::Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) {
  const std::vector<uint8_t>& mem = bars_[bar];
  if (offset % width != 0) return WDC_STATUS_MISALIGNED;
  if (offset >= mem.size() || mem.size() - offset < width) return WDC_STATUS_OUT_OF_RANGE;
  const uint8_t* at = mem.data() + offset;
  switch (width) {
    case 1: *value = *at; break;
    case 2: { uint16_t v; std::memcpy(&v, at, 2); *value = v; break; }
    case 4: { uint32_t v; std::memcpy(&v, at, 4); *value = v; break; }
    default: { uint64_t v; std::memcpy(&v, at, 8); *value = v; break; }
  }
  return WDC_STATUS_SUCCESS;
}

WdcStatus FakeBoard::Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  std::vector<uint8_t>& mem = bars_[bar];
  if (offset % width != 0) return WDC_STATUS_MISALIGNED;
  if (offset >= mem.size() || mem.size() - offset < width) return WDC_STATUS_OUT_OF_RANGE;
  uint8_t* at = mem.data() + offset;
  switch (width) {
    case 1: *at = static_cast<uint8_t>(value); break;
    case 2: { const uint16_t v = static_cast<uint16_t>(value); std::memcpy(at, &v, 2); break; }
    case 4: { const uint32_t v = static_cast<uint32_t>(value); std::memcpy(at, &v, 4); break; }
    default: std::memcpy(at, &value, 8); break;
  }
  return WDC_STATUS_SUCCESS;
}

WdcStatus FakeBoard::DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  last_dir = dir;
  if (dma_status != WDC_STATUS_SUCCESS) return dma_status;
  void* host = std::calloc(bytes, 1);
  if (host == nullptr) return WDC_STATUS_NO_MEMORY;
  out->host = host;
  out->bytes = bytes;
  out->pages = {{g_next_bus.fetch_add(0x1000000), bytes}};
  out->cookie = 1;  // ours to free
  contig_.push_back(host);
  ++live_mappings;
  ++g_live_mappings;
  return WDC_STATUS_SUCCESS;
}

WdcStatus FakeBoard::DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir,
                                wdc::DmaMapping* out) {
  last_dir = dir;
  if (dma_status != WDC_STATUS_SUCCESS) return dma_status;
  out->host = host;
  out->bytes = bytes;
  out->pages.clear();
  uintptr_t at = reinterpret_cast<uintptr_t>(host);
  const uintptr_t end = at + bytes;
  uint64_t bus = g_next_bus.fetch_add(0x1000000) + 0x800000;
  while (at < end) {
    const uintptr_t page_end = (at | 0xFFF) + 1;
    const uint32_t len = static_cast<uint32_t>((page_end < end ? page_end : end) - at);
    out->pages.push_back({bus + (at & 0xFFF), len});
    bus -= 0x3000;
    at += len;
  }
  out->cookie = 2;
  ++live_mappings;
  ++g_live_mappings;
  return WDC_STATUS_SUCCESS;
}

void FakeBoard::DmaUnmap(wdc::DmaMapping* mapping) {
  if (mapping->cookie == 1) {
    std::free(mapping->host);
    contig_.erase(std::find(contig_.begin(), contig_.end(), mapping->host));
  }
  mapping->cookie = 0;
  --live_mappings;
  --g_live_mappings;
}

void FakeBoard::DmaSyncForDevice(const wdc::DmaMapping&) { ++syncs_for_device; }
void FakeBoard::DmaSyncForCpu(const wdc::DmaMapping&) { ++syncs_for_cpu; }

WdcStatus FakeBoard::InterruptAttach() {
  std::lock_guard<std::mutex> lock(mu_);
  ++attaches;
  if (attach_status != WDC_STATUS_SUCCESS) return attach_status;
  pending_ = 0;
  detached_ = false;
  return WDC_STATUS_SUCCESS;
}

uint32_t FakeBoard::InterruptWait() {
  std::unique_lock<std::mutex> lock(mu_);
  waiting_ = true;
  cv_.notify_all();
  cv_.wait(lock, [this] { return pending_ > 0 || detached_; });
  waiting_ = false;
  if (detached_) return 0;
  // Every interrupt raised since the last wait, as an eventfd reports them.
  const uint64_t taken = pending_;
  pending_ = 0;
  served_ += taken;
  return static_cast<uint32_t>(taken);
}

void FakeBoard::InterruptUnmask() { ++unmasks; }

void FakeBoard::InterruptDetach() {
  std::lock_guard<std::mutex> lock(mu_);
  detached_ = true;
  ++detaches;
  cv_.notify_all();
}

void FakeBoard::Raise() {
  std::lock_guard<std::mutex> lock(mu_);
  ++pending_;
  cv_.notify_all();
}

bool FakeBoard::WaitServed(uint64_t count) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::seconds(10),
                      [&] { return served_ >= count && waiting_ && pending_ == 0; });
}

void FakeBoard::Audit(std::vector<std::string>* out) {
  ++audits;
  for (std::string& finding : findings) out->push_back(std::move(finding));
  findings.clear();
}

Config& NextConfig() { return g_config; }
void ResetConfig() { g_config = Config{}; }

FakeBoard* BoardAt(size_t index) {
  std::lock_guard<std::mutex> lock(g_mu);
  return index < g_boards.size() ? g_boards[index] : nullptr;
}

int LiveBackends() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_live_backends;
}

int LiveMappings() { return g_live_mappings.load(); }

std::string LastSettings() { return g_last_settings; }
bool LastSettingsWereNull() { return g_last_null; }

}  // namespace wdc_fake

namespace wdc {

std::unique_ptr<Backend> CreateBackend(std::string* error) {
  const char* settings = std::getenv("FPGA_SIM");
  wdc_fake::g_last_null = settings == nullptr;
  wdc_fake::g_last_settings = settings ? settings : "";
  if (!wdc_fake::g_config.error.empty()) {
    *error = wdc_fake::g_config.error;
    return nullptr;
  }
  return std::make_unique<wdc_fake::FakeBackend>(wdc_fake::g_config);
}

}  // namespace wdc
