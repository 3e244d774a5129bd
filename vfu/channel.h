// The two directions of one connection over its one socket. The client's commands are handled
// in order on the connection thread; the function's DMA threads send requests of their own
// (DMA_READ, DMA_WRITE) and wait for the client's replies, which arrive on the same socket
// among the commands.
//
// Whoever needs the next message reads it: the connection thread while it waits for a command,
// or a DMA thread waiting for its reply while the connection thread is busy elsewhere (inside a
// Device call, or waiting for the DmaSpace lock that this very DMA thread holds). So a reply is
// never stuck behind the command being handled, and no thread hand-off is added to a command's
// path. A command read by a DMA thread is queued for the connection thread; a reply read by the
// connection thread goes to its waiter by message id. The queue is bounded (kMaxQueued*): a
// client that floods commands while the function waits for its reply loses the connection.
// No reply of the client carries a descriptor we take: any that come with one are closed at
// once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "log.h"
#include "transport.h"

namespace vfu {

class Channel {
 public:
  // `stop_fd` (-1: none) ends the connection when readable. `listen_fd` (-1: none) is the
  // listening socket: a second client that connects while this one is served is refused.
  Channel(Transport& transport, int stop_fd, int listen_fd, Log& log);

  // The connection thread: the client's next command, in order. False when the connection is
  // over (the client left, its input could not be framed, or the stop fd fired): Why() says why.
  bool NextCommand(Message* m);

  // Any thread but one that holds the read turn: sends a request and waits up to `timeout_ms`
  // for its reply. False on a send failure, the time-out or the end of the connection.
  bool Call(uint16_t cmd, const void* payload, size_t len, Message* reply, int timeout_ms);

  // Sends a reply (or an error reply) to a client command.
  bool Reply(const Header& request, const void* payload, size_t len, int fd = -1);
  bool ReplyError(const Header& request, int err);

  std::string Why();

  // After the end: waits until no thread is reading the socket, so that it can be closed.
  void Quiesce();

  // Logs "client attached" once the client has sent anything (read or waiting to be read): a
  // connection that sends nothing (another server probing whether this one lives) is no
  // client. The thread with the read turn calls it, and the connection thread at the end.
  void Announce();

  // What the queue of commands read by a DMA thread may hold: beyond any of these the
  // connection ends. Each queued command holds its payload (kMaxMessageBytes at most) and the
  // descriptors it brought.
  static constexpr size_t kMaxQueuedCommands = 1024;
  static constexpr size_t kMaxQueuedBytes = 8u << 20;
  static constexpr size_t kMaxQueuedFds = 64;

 private:
  struct Waiter {
    uint16_t id;
    Message* reply;
    bool done = false;
  };
  enum class Pumped { kCommand, kOther };

  // Reads one message (or sees the stop or listening fd) with the read turn held and `mu_` not.
  // kCommand: *m holds a client command; everything else has been routed or recorded.
  Pumped Pump(Message* m, int wait_ms, bool watch_listen);
  void EndLocked(const std::string& why);
  // A command a DMA thread read, for the connection thread; false (the connection ended) when
  // the queue is full.
  bool QueueLocked(Message&& m);

  Transport& t_;
  int stop_fd_;
  int listen_fd_;
  Log& log_;

  std::mutex mu_;
  std::condition_variable cv_;
  bool reading_ = false;  // the read turn: one thread at a time reads the socket
  bool ended_ = false;
  std::string why_;
  std::deque<Message> commands_;
  size_t queued_bytes_ = 0;
  size_t queued_fds_ = 0;
  bool announced_ = false;  // "client attached" logged: the client has sent something
  std::vector<Waiter*> waiters_;
  uint16_t next_id_ = 0;
};

}  // namespace vfu
