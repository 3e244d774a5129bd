// One connection's socket: whole messages in and out, with the file descriptors that travel as
// SCM_RIGHTS beside them. The socket is non-blocking and every wait is a poll with a limit, so a
// client that stops in the middle of a message, or stops reading our replies, costs a time-out
// and the connection, never a hung server.
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

enum class RecvStatus { kMessage, kClosed, kMalformed };

class Transport {
 public:
  // Takes ownership of the connected socket.
  explicit Transport(int fd);
  int fd() const { return fd_.Get(); }

  // Reads one whole message; the caller has seen the socket readable. A peer that has started a
  // message has kStallMs to finish it. On kClosed and kMalformed `why` says what happened.
  RecvStatus Recv(Message* m, std::string* why);

  // Sends the header (its size filled in) and payload, with `fd` (-1: none) as SCM_RIGHTS.
  // Serialized: replies of the connection thread and requests of DMA threads interleave only
  // as whole messages. On failure the socket is shut down, so the reader sees the end too.
  bool Send(Header h, const void* payload, size_t len, int fd = -1);

  // Ends the connection for both directions (the reader sees end of file).
  void Shutdown();

  static constexpr int kStallMs = 5000;

 private:
  // Reads exactly n bytes, collecting descriptors; false with *st and *why set when it cannot.
  bool ReadFull(uint8_t* dst, size_t n, Message* m, bool at_start, RecvStatus* st,
                std::string* why);

  UniqueFd fd_;
  std::mutex send_mu_;
};

}  // namespace vfu
