#include "vfu/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "channel.h"
#include "dispatch.h"
#include "dma_table.h"
#include "interrupts.h"
#include "log.h"
#include "transport.h"
#include "vfu/config_space.h"

namespace vfu {

namespace {

// The function's errors, to the configuration space of the function being served.
class ErrorForwarder final : public ErrorReporting {
 public:
  void Correctable(uint32_t bit) override {
    if (ConfigSpace* c = config.load(std::memory_order_acquire)) c->Correctable(bit);
  }
  void Uncorrectable(uint32_t bit, const uint32_t* header) override {
    if (ConfigSpace* c = config.load(std::memory_order_acquire)) c->Uncorrectable(bit, header);
  }
  std::atomic<ConfigSpace*> config{nullptr};
};

}  // namespace

struct Server::State {
  explicit State(ServerOptions o)
      : log(std::move(o.log), o.verbose),
        message_ms(o.message_ms),
        dma(log, o.dma_reply_ms),
        irq(log) {}

  // Configuration space is built once for a device and kept across clients, as the device's
  // own state is.
  void Prepare(Device& d);
  void Serve(Device& d, int fd, int stop_fd, int listen_fd);

  Log log;
  const int message_ms;
  DmaTable dma;
  Interrupts irq;
  Device* device = nullptr;
  PciFunction fn;
  ErrorForwarder errors;
  std::unique_ptr<ConfigSpace> config;
};

void Server::State::Prepare(Device& d) {
  if (device == &d) return;
  device = &d;
  fn = d.Function();
  for (uint32_t i = 0; i < kBarCount; ++i) {
    if (fn.bar_bytes[i] != 0 && !ValidBarSize(fn.bar_bytes[i])) {
      log.Line("BAR" + std::to_string(i) + " of " + std::to_string(fn.bar_bytes[i]) +
               " bytes is not a 32-bit memory BAR size: left out");
      fn.bar_bytes[i] = 0;
    }
  }
  errors.config.store(nullptr, std::memory_order_release);
  config = std::make_unique<ConfigSpace>(fn);
  errors.config.store(config.get(), std::memory_order_release);
  dma.SetBusMaster(config->BusMaster());
  irq.SetIntxDisabled(config->IntxDisabled());
}

void Server::State::Serve(Device& d, int fd, int stop_fd, int listen_fd) {
  Prepare(d);
  Transport transport(fd, stop_fd, message_ms);
  Channel channel(transport, stop_fd, listen_fd, log);
  {
    Session session(d, fn, *config, dma, irq, channel, log);
    Message m;
    while (channel.NextCommand(&m)) session.Handle(m);
  }
  // The order matters: the channel has ended, so a DMA thread's request to the client fails at
  // once instead of waiting; the device then stops its DMA; only then do the mappings go (under
  // the lock, after any access in progress) and the interrupt descriptors close.
  channel.Quiesce();
  d.ClientGone();
  {
    auto lock = dma.Lock();
    dma.UnmapLocked(0, 0, true);
    dma.AttachLocked(nullptr, 0);
  }
  irq.CloseAll();
  // A connection that sent nothing was no client: most likely another server checking whether
  // this one lives.
  channel.Announce();
  log.Line((transport.HeardFrom() ? "client left: " : "a connection that sent nothing ended: ") +
           channel.Why());
}

Server::Server(ServerOptions options) : state_(std::make_unique<State>(std::move(options))) {}
Server::~Server() = default;

DmaSpace& Server::Dma() { return state_->dma; }
InterruptLine& Server::Interrupt() { return state_->irq; }
ErrorReporting& Server::Errors() { return state_->errors; }
bool Server::FlushInterrupts(int timeout_ms) { return state_->irq.Flush(timeout_ms); }

void Server::ServeConnection(Device& device, int fd, int stop_fd) {
  state_->Serve(device, fd, stop_fd, -1);
}

int Server::Run(Device& device, int listen_fd, int stop_fd) {
  state_->Prepare(device);
  for (;;) {
    pollfd p[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int r = poll(p, stop_fd >= 0 ? 2 : 1, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      state_->log.Line(std::string("poll of the listening socket failed: ") + std::strerror(errno));
      return -1;
    }
    if (stop_fd >= 0 && p[1].revents != 0) return 0;
    if ((p[0].revents & (POLLERR | POLLNVAL)) != 0) {
      state_->log.Line("the listening socket failed");
      return -1;
    }
    if ((p[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      state_->Serve(device, fd, stop_fd, listen_fd);
      continue;
    }
    switch (errno) {
      case EINTR:
      case EAGAIN:
      case ECONNABORTED:
      case EPROTO: continue;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        // Out of descriptors or memory for now: the connection waits in the backlog, and a
        // pause keeps the still-readable listening socket from spinning us.
        state_->log.Line(std::string("accept failed: ") + std::strerror(errno));
        usleep(100 * 1000);
        continue;
      default:
        state_->log.Line(std::string("accept on the listening socket failed: ") +
                         std::strerror(errno));
        return -1;
    }
  }
}

}  // namespace vfu
