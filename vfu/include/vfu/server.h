// A vfio-user server for one PCI function: serves a Device to one client at a time over a UNIX
// socket. It owns the function's configuration space, the client's DMA mappings and the
// interrupt file descriptors; the Device sees only DmaSpace and InterruptLine.
//
// It is an input boundary: every length, offset, count and file descriptor a client sends is
// checked before it is used. A bad command gets an error reply; input that cannot be framed
// (a short header, a size over the limit, a message too slow), a flood of commands while the
// function waits for a DMA reply, and the stop end that connection with a log line. None ever
// ends the server, and the next client is served. What a client hands over stays the client's
// to break: a memory file it shrinks fails the DMA that meets the hole, an eventfd it fills
// stalls only its own interrupts, and nothing it does holds up the stop.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "vfu/device.h"

namespace vfu {

struct ServerOptions {
  bool verbose = false;  // log every message, not only attaches, departures and refusals
  // One line of the log, without its line end. Empty: the lines go to stderr.
  std::function<void(const std::string&)> log;
  // The most one message may take to arrive, or to leave, once it has begun; a client slower
  // than that loses its connection.
  int message_ms = 5000;
  // How long one DMA access that the client serves waits for its replies (all of them, however
  // many messages its max_data_xfer_size makes) before it fails.
  int dma_reply_ms = 2000;
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // For the served function's own use: it may keep these for the server's lifetime. Errors
  // reported before the function is first served are dropped (it has no link yet).
  DmaSpace& Dma();
  InterruptLine& Interrupt();
  ErrorReporting& Errors();
  // The client's eventfds are written by a thread of the server's own, never by the raiser
  // (a client can make such a write block). Waits up to `timeout_ms` until every interrupt
  // raised so far has been written; false when a write is blocked on a full eventfd.
  bool FlushInterrupts(int timeout_ms);

  // Serves `device` to the clients that connect to the listening socket `listen_fd`, one at a
  // time (a second one is refused while one is attached), until `stop_fd` becomes readable.
  // Returns 0 on a stop, or -1 with a log line when the listening socket itself fails.
  int Run(Device& device, int listen_fd, int stop_fd);

  // Serves one client on the connected socket `fd` until it leaves, its input cannot be
  // framed, or `stop_fd` (-1: none) becomes readable. The fd is closed before this returns.
  void ServeConnection(Device& device, int fd, int stop_fd);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vfu
