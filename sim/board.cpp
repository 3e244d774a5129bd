#include "board.h"

#include <algorithm>
#include <utility>

#include "platform/platform.h"
#include "link_model.h"

namespace sim {
namespace {

constexpr uint64_t kNearDeadlineNs = 300000;  // closer deadlines are met by spinning

}  // namespace

// ---- Construction --------------------------------------------------------------------------

SimBoard::SimBoard(const Settings& settings, uint32_t index, const HostSide& host)
    : index_(index),
      link_bytes_per_ns_(LinkBytesPerSecond(settings.link_gen, settings.link_width) / 1e9),
      faults_(settings),
      bar0_(faults_, host.bar0_cells),
      map_(settings.misalign, settings.high_bus),
      memory_(host.memory ? *host.memory : map_),
      irq_(host.interrupt),
      acknowledge_(host.acknowledge),
      engine_serves_ch0_(host.engine_serves_channel0),
      completions_(regs_, irq_, faults_, host.link_error),
      ch0_(mu_, regs_, bar0_, memory_, faults_, completions_, log_),
      runs_(mu_, regs_, memory_, log_),
      sg_(mu_, regs_, memory_, faults_, completions_, log_),
      engine_([this] { EngineMain(); }) {}

SimBoard::~SimBoard() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_.store(true, std::memory_order_seq_cst);
  }
  engine_bell_.Ring();
  engine_.join();
}

wdc::BoardIdentity SimBoard::Identity() const {
  wdc::BoardIdentity id;
  id.vendor_id = BOARD_VENDOR_ID;
  id.device_id = BOARD_DEVICE_ID;
  id.bus = index_ + 1;
  id.slot = 0;
  id.function = 0;
  id.irq = 16 + index_;
  return id;
}

wdc::BarInfo SimBoard::Bar(uint32_t index) const {
  const uint64_t base = 0xF7000000ull + uint64_t{index_} * 0x100000;
  if (index == AD_BAR0) return {base, BAR0_BYTES};
  if (index == AD_BAR1) return {base + 0x10000, BAR1_BYTES};
  return {0, 0};
}

// ---- Open and close -------------------------------------------------------------------------

// The bus map hands out addresses below 4 GiB (above it only with the high-bus fault) in
// 4 KiB pages, which every host page size is a multiple of.
WdcStatus SimBoard::Open(const wdc::DmaConstraints&) { return WDC_STATUS_SUCCESS; }

void SimBoard::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (ReadRunCtrl() != 0) run_at_close_ = true;
    StopRuns(platform::NowNs());
    ch0_.Reset();
    sg_.Disarm();
    Quiesce();
  }
  map_.UnmapAll();
}

wdc::DeviceWindow SimBoard::Window(uint32_t bar) {
  uint8_t* cells = bar == AD_BAR0 ? bar0_.Window() : nullptr;
  return cells ? wdc::DeviceWindow{cells, BAR0_BYTES} : wdc::DeviceWindow{};
}

// ---- BAR accesses ---------------------------------------------------------------------------

WdcStatus SimBoard::Read(uint32_t bar, uint64_t offset, uint32_t width, uint64_t* value) {
  if (value == nullptr || (width != 1 && width != 2 && width != 4 && width != 8))
    return WDC_STATUS_INVALID_PARAMETER;
  if (bar > AD_BAR1) return WDC_STATUS_BAD_ADDR_SPACE;
  if (offset >= BAR0_BYTES || width > BAR0_BYTES - offset) return WDC_STATUS_OUT_OF_RANGE;
  if (offset % width != 0) return WDC_STATUS_MISALIGNED;
  if (bar == AD_BAR1) return RegisterAccess(offset, width, false, value);
  *value = bar0_.Read(static_cast<uint32_t>(offset), width);
  return WDC_STATUS_SUCCESS;
}

WdcStatus SimBoard::Write(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  if (width != 1 && width != 2 && width != 4 && width != 8) return WDC_STATUS_INVALID_PARAMETER;
  if (bar > AD_BAR1) return WDC_STATUS_BAD_ADDR_SPACE;
  if (offset >= BAR0_BYTES || width > BAR0_BYTES - offset) return WDC_STATUS_OUT_OF_RANGE;
  if (offset % width != 0) return WDC_STATUS_MISALIGNED;
  if (bar == AD_BAR1) return RegisterAccess(offset, width, true, &value);
  bar0_.Write(static_cast<uint32_t>(offset), width, value);
  return WDC_STATUS_SUCCESS;
}

WdcStatus SimBoard::RegisterAccess(uint64_t offset, uint32_t width, bool write, uint64_t* value) {
  bool started = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    regs_.Access(static_cast<uint32_t>(offset), width, write, value);
    started = std::exchange(ch0_started_, false);
    AcknowledgeIfClear();
  }
  // A channel-0 start is served here, on the writer's thread: no hand-off to the engine. When
  // another thread is serving, the engine takes it.
  if (started && (engine_serves_ch0_ || !ch0_.Serve())) Kick();
  return WDC_STATUS_SUCCESS;
}

// ---- Register hooks -------------------------------------------------------------------------

void SimBoard::Kick() { engine_bell_.Ring(); }

void SimBoard::AcknowledgeIfClear() {
  if (acknowledge_ && (regs_.Get(kIntCtrl) & (INT_CH0_DONE | INT_BACKLOOP_DONE)) == 0)
    acknowledge_();
}

void SimBoard::Quiesce() {
  // The engine copies only while it holds the map lock and rechecks the generations first, so
  // once this lock has been had no copy of a stopped job is in progress or will start.
  std::unique_lock<std::mutex> map_lock = memory_.Lock();
}

void SimBoard::StopRuns(uint64_t now) {
  runs_.StopAll(now);
  sg_.Stop();
}

void SimBoard::OnStart(uint32_t v) {
  if ((v & (1u << DMA_CH_INTEGRITY)) && ch0_.Latch()) ch0_started_ = true;
  if (v & (1u << DMA_CH_SG_DEST)) sg_.Arm(DMA_CH_SG_DEST);
  if (v & (1u << DMA_CH_SG_SOURCE)) sg_.Arm(DMA_CH_SG_SOURCE);
}

void SimBoard::OnIntCtrl(uint32_t v) { completions_.SetEnabled((v & INT_ENABLE) != 0); }

void SimBoard::OnPerfClear(uint32_t) { runs_.ClearCounts(platform::NowNs()); }

uint32_t SimBoard::ReadRunCtrl() {
  return runs_.Running() | (sg_.Active() ? uint32_t{RUN_BACKLOOP} : 0u);
}

uint32_t SimBoard::ReadPerf0() { return runs_.Perf0(platform::NowNs()); }

uint32_t SimBoard::ReadPerf1() { return runs_.Perf1(platform::NowNs()); }

void SimBoard::OnRunCtrl(uint32_t v) {
  const uint64_t now = platform::NowNs();
  StopRuns(now);
  const uint32_t channels = runs_.Check(v);
  const bool loop = sg_.CanStart(v);
  // Full duplex: each direction shares its rate among the jobs that use it.
  auto has = [channels](uint32_t ch) { return (channels & (1u << ch)) != 0 ? 1.0 : 0.0; };
  const double writers = has(DMA_CH_PERF_WRITE) + (loop ? 1 : 0);
  const double readers = has(DMA_CH_PERF_READ1) + has(DMA_CH_PERF_READ2) + (loop ? 1 : 0);
  // A direction nobody uses gets no job: its rate is never applied.
  runs_.Begin(channels, now, link_bytes_per_ns_ / std::max(writers, 1.0),
              link_bytes_per_ns_ / std::max(readers, 1.0));
  if (loop) sg_.Begin(now, link_bytes_per_ns_ / std::max(writers, readers));
  Quiesce();
  Kick();
}

void SimBoard::OnReset(uint32_t v) {
  if (v & 1) {
    reset_armed_ = true;
    return;
  }
  if (!reset_armed_) return;
  reset_armed_ = false;
  StopRuns(platform::NowNs());
  ch0_.Reset();
  regs_.Set(kIntCtrl, 0);
  sg_.Disarm();
  Quiesce();
}

// ---- DMA memory and the interrupt ---------------------------------------------------------

WdcStatus SimBoard::DmaAllocContig(uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  return map_.AllocContig(bytes, dir, out);
}

WdcStatus SimBoard::DmaMapUser(void* host, uint32_t bytes, wdc::DmaDir dir, wdc::DmaMapping* out) {
  return map_.MapUser(host, bytes, dir, out);
}

void SimBoard::DmaUnmap(wdc::DmaMapping* mapping) { map_.Unmap(mapping); }

// The engine reaches host memory under the map lock and announces completions through atomic
// operations, which already order the bytes; the fences stand where a real backend maintains
// caches.
void SimBoard::DmaSyncForDevice(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}
void SimBoard::DmaSyncForCpu(const wdc::DmaMapping&) {
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

WdcStatus SimBoard::InterruptAttach() {
  irq_.Attach();
  return WDC_STATUS_SUCCESS;
}
uint32_t SimBoard::InterruptWait() { return irq_.Wait() ? 1 : 0; }
void SimBoard::InterruptUnmask() {}
void SimBoard::InterruptDetach() { irq_.Detach(); }

void SimBoard::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t now = platform::NowNs();
  StopRuns(now);
  ch0_.Reset();
  sg_.Disarm();
  regs_.Reset();
  runs_.ClearCounts(now);
  completions_.SetEnabled(false);
  reset_armed_ = false;
  ch0_started_ = false;
  Quiesce();
  AcknowledgeIfClear();
}

void SimBoard::SwitchBar0Cells(uint8_t* cells) {
  {
    std::unique_lock<std::mutex> serving = ch0_.HoldServing();
    bar0_.SwitchCells(cells);
  }
  // A start the engine could not serve while channel 0 was held.
  if (ch0_.Waiting()) Kick();
}

void SimBoard::Audit(std::vector<std::string>* findings) {
  std::lock_guard<std::mutex> lock(mu_);
  if (ReadRunCtrl() != 0 || run_at_close_) {
    if (findings) findings->push_back("a DMA run still active");
    StopRuns(platform::NowNs());
    Quiesce();
  }
  run_at_close_ = false;
  log_.Report(findings);
}

// ---- The DMA engine ----------------------------------------------------------------------

void SimBoard::EngineMain() {
  uint64_t last_work = platform::NowNs();
  for (;;) {
    if (stop_.load(std::memory_order_seq_cst)) return;
    uint64_t next_due = platform::Doorbell::kForever;
    bool did = ch0_.Serve();
    did = runs_.Service(&next_due) || did;
    did = sg_.Service(&next_due) || did;
    const uint64_t now = platform::NowNs();
    if (did) {
      last_work = now;
      continue;
    }
    // Spin for a while after the last job, so that the next start of a transfer stream is
    // seen without a system call on either side; a deadline close by is met by spinning too.
    // A ring that came while the units were served is still pending: the wait returns at once.
    uint64_t spin =
        now - last_work < platform::kSpinBudgetNs ? platform::kSpinBudgetNs - (now - last_work) : 0;
    if (next_due != platform::Doorbell::kForever && next_due > now &&
        next_due - now < kNearDeadlineNs)
      spin = next_due - now;
    engine_bell_.WaitUntil(next_due, spin);
  }
}

}  // namespace sim
