// One connection's socket: whole messages in and out, with the file descriptors that travel as
// SCM_RIGHTS beside them. The socket is non-blocking and every wait is a poll that also watches
// the stop descriptor, with a deadline for the whole message: a client that stops in the middle
// of a message, trickles it, or stops reading our replies costs at most that deadline and the
// connection, never a hung server or a late stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "wire.h"

namespace vfu {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.Release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() { return std::exchange(fd_, -1); }
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

struct Message {
  Header hdr;
  std::vector<uint8_t> payload;  // the bytes after the header
  std::vector<UniqueFd> fds;
  // More descriptors came than a message may hold: the extra ones are already closed, and the
  // message is refused whatever its command.
  bool fds_overflow = false;
};

enum class RecvStatus { kMessage, kClosed, kMalformed, kStopped };

class Transport {
 public:
  // Takes ownership of the connected socket. `stop_fd` (-1: none) ends any wait when readable;
  // `message_ms` is the most one message may take to arrive or to leave.
  Transport(int fd, int stop_fd, int message_ms);
  int fd() const { return fd_.Get(); }

  // Reads one whole message; the caller has seen the socket readable. A peer that has started a
  // message has message_ms to finish all of it. Otherwise `why` says what happened.
  RecvStatus Recv(Message* m, std::string* why);

  // Sends the header (its size filled in) and payload, with `fd` (-1: none) as SCM_RIGHTS.
  // Serialized: replies of the connection thread and requests of DMA threads interleave only
  // as whole messages. A message not gone within message_ms, or the stop, is a failure: the
  // socket is then shut down, so the reader sees the end too.
  bool Send(Header h, const void* payload, size_t len, int fd = -1);

  // Ends the connection for both directions (the reader sees end of file).
  void Shutdown();

  // Whether the peer has sent anything: a byte read, or one waiting to be.
  bool HeardFrom() const;

 private:
  enum class Wait { kReady, kTimedOut, kStopped, kFailed };
  Wait WaitFor(short events, int64_t deadline_ms);
  // Reads exactly n bytes, collecting descriptors; false with *st and *why set when it cannot.
  bool ReadFull(uint8_t* dst, size_t n, Message* m, bool at_start, int64_t deadline_ms,
                RecvStatus* st, std::string* why);

  UniqueFd fd_;
  const int stop_fd_;
  const int message_ms_;
  bool heard_ = false;  // only the thread with the read turn touches it
  std::mutex send_mu_;
};

}  // namespace vfu
