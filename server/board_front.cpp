#include "board_front.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "board_function.h"
#include "regs/regs.h"

namespace board_server {

std::string ItemWithoutMeaning(const char* settings) {
  static constexpr std::string_view kKeys[] = {"boards",   "fail",     "pause",
                                               "misalign", "high-bus", "fault-board"};
  std::string_view rest = settings ? settings : "";
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const std::string_view key = item.substr(0, item.find('='));
    for (std::string_view k : kKeys)
      if (key == k) return std::string(item);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return "";
}

namespace {

// BAR0's memory as a client may map it: a memfd whose size is sealed, so that neither the
// client nor anyone it passes the descriptor to can make our own accesses fault.
bool MakeBar0(int* fd_out, uint8_t** cells_out, std::string* error) {
  const int fd = memfd_create("fpga-board-bar0", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  void* p = MAP_FAILED;
  if (fd >= 0 && ftruncate(fd, BAR0_BYTES) == 0 &&
      fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
    p = mmap(nullptr, BAR0_BYTES, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    *error = std::string("cannot make BAR0's shared memory: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  *fd_out = fd;
  *cells_out = static_cast<uint8_t*>(p);
  return true;
}

}  // namespace

std::unique_ptr<BoardFront> BoardFront::Create(const sim::Settings& settings, vfu::DmaSpace& dma,
                                               vfu::InterruptLine& line, Log log,
                                               std::string* error, vfu::ErrorReporting* errors) {
  int fd = -1;
  uint8_t* cells = nullptr;
  // A stuck bit must act on every store, so BAR0 is then reached only through the board's
  // accesses: its cells stay the board's own and are not offered for mapping.
  const bool mappable = settings.stuck_bits.empty();
  std::string why;
  if (mappable && !MakeBar0(&fd, &cells, &why)) {
    if (error) *error = why;
    return nullptr;
  }
  std::unique_ptr<BoardFront> front(
      new BoardFront(settings, dma, std::move(log), mappable, fd, cells));
  sim::HostSide host;
  host.memory = &front->memory_;
  host.interrupt = [&line] { line.Raise(); };
  host.acknowledge = [&line] { line.Lower(); };
  host.bar0_cells = cells;
  host.engine_serves_channel0 = true;
  if (errors) {
    host.link_error = [errors](const sim::LinkError& e) {
      if (e.uncorrectable)
        errors->Uncorrectable(e.bit, e.has_header ? e.header : nullptr);
      else
        errors->Correctable(e.bit);
    };
  }
  front->board_ = std::make_unique<sim::SimBoard>(settings, 0, host);
  return front;
}

BoardFront::BoardFront(const sim::Settings& settings, vfu::DmaSpace& dma, Log log, bool mappable,
                       int bar0_fd, uint8_t* bar0_cells)
    : function_(BoardFunction(settings)),
      memory_(dma),
      log_(std::move(log)),
      mappable_(mappable),
      bar0_fd_(bar0_fd),
      bar0_cells_(bar0_cells) {}

BoardFront::~BoardFront() {
  board_.reset();  // its engine thread ends before the cells go
  if (bar0_cells_) munmap(bar0_cells_, BAR0_BYTES);
  if (bar0_fd_ >= 0) close(bar0_fd_);
}

vfu::PciFunction BoardFront::Function() const { return function_; }

vfu::BarRegion BoardFront::Region(uint32_t bar) {
  vfu::BarRegion r;
  if (bar == AD_BAR0) {
    r.mmap_fd = bar0_fd_;
    handed_out_ = handed_out_ || bar0_fd_ >= 0;
  }
  return r;
}

uint64_t BoardFront::BarRead(uint32_t bar, uint64_t offset, uint32_t width) {
  uint64_t value = ~uint64_t{0};  // what a read the board refuses returns on the bus
  board_->Read(bar, offset, width, &value);
  return value;
}

void BoardFront::BarWrite(uint32_t bar, uint64_t offset, uint32_t width, uint64_t value) {
  board_->Write(bar, offset, width, value);
}

void BoardFront::Reset() { board_->Reset(); }

// As when the host clears bus mastering: the runs stop and queued transfers are dropped.
void BoardFront::ClientGone() {
  board_->Close();
  std::vector<std::string> findings;
  board_->Audit(&findings);
  if (log_)
    for (const std::string& f : findings) log_("the board found: " + f);
  if (handed_out_ || (mappable_ && bar0_fd_ < 0)) NewBar0();
}

void BoardFront::NewBar0() {
  int fd = -1;
  uint8_t* cells = nullptr;
  std::string why;
  if (!MakeBar0(&fd, &cells, &why) && log_)
    log_(why + ": BAR0 is trapped, not mapped, until a client leaves and one can be made");
  // Channel 0 is held off during the move, and this thread makes the host's BAR0 accesses.
  board_->SwitchBar0Cells(cells);
  if (bar0_cells_) munmap(bar0_cells_, BAR0_BYTES);
  if (bar0_fd_ >= 0) close(bar0_fd_);
  bar0_fd_ = fd;
  bar0_cells_ = cells;
  handed_out_ = false;
}

}  // namespace board_server
