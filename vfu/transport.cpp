#include "transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vfu {
namespace {

// The most descriptors one message may bring before the rest are closed unseen; a command takes
// at most kMaxMsgFds, so anything beyond is refused anyway. The control buffer holds the
// kernel's own per-message maximum, so that no descriptor is ever lost to truncation.
constexpr size_t kFdsKept = kMaxMsgFds + 1;
constexpr size_t kScmMaxFd = 253;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Transport::Wait Transport::WaitFor(short events, int64_t deadline_ms) {
  pollfd p[2] = {{fd_.Get(), events, 0}, {stop_fd_, POLLIN, 0}};
  for (;;) {
    const int64_t left = deadline_ms - NowMs();
    if (left <= 0) return Wait::kTimedOut;
    const int r = poll(p, stop_fd_ >= 0 ? 2 : 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) return Wait::kFailed;
    if (r <= 0) continue;
    if (stop_fd_ >= 0 && p[1].revents != 0) return Wait::kStopped;
    return Wait::kReady;  // readiness, an error or a hang-up: the next call tells which
  }
}

Transport::Transport(int fd, int stop_fd, int message_ms)
    : fd_(fd), stop_fd_(stop_fd), message_ms_(message_ms) {
  const int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

bool Transport::ReadFull(uint8_t* dst, size_t n, Message* m, bool at_start, int64_t deadline_ms,
                         RecvStatus* st, std::string* why) {
  size_t got = 0;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kScmMaxFd)];
  while (got < n) {
    iovec iov{dst + got, n - got};
    msghdr mh{};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    const ssize_t r = recvmsg(fd_.Get(), &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (r > 0 || (r == 0 && mh.msg_controllen > 0)) {
      heard_ = true;
      for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
          int fd;
          std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
          if (m->fds.size() < kFdsKept) {
            m->fds.emplace_back(fd);
          } else {
            close(fd);
            m->fds_overflow = true;
          }
        }
      }
      if ((mh.msg_flags & MSG_CTRUNC) != 0) m->fds_overflow = true;
      got += static_cast<size_t>(r);
      continue;
    }
    if (r == 0) {
      *st = RecvStatus::kClosed;
      *why = at_start && got == 0 ? "the client closed the connection"
                                  : "the client closed the connection in the middle of a message";
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      const Wait w = WaitFor(POLLIN, deadline_ms);
      if (w == Wait::kReady) continue;
      *st = w == Wait::kStopped ? RecvStatus::kStopped : RecvStatus::kMalformed;
      *why = w == Wait::kStopped  ? "the server is stopping"
             : w == Wait::kFailed ? std::string("poll failed: ") + std::strerror(errno)
                                  : "the client did not finish a message within " +
                                        std::to_string(message_ms_) + " ms";
      return false;
    }
    *st = RecvStatus::kClosed;
    *why = std::string("receive failed: ") + std::strerror(errno);
    return false;
  }
  return true;
}

RecvStatus Transport::Recv(Message* m, std::string* why) {
  m->fds.clear();
  m->fds_overflow = false;
  uint8_t raw[kHeaderBytes];
  RecvStatus st = RecvStatus::kMessage;
  // One deadline for the whole message: a client that trickles it cannot stretch the wait.
  const int64_t deadline = NowMs() + message_ms_;
  if (!ReadFull(raw, sizeof raw, m, true, deadline, &st, why)) return st;
  m->hdr = DecodeHeader(raw);
  if (m->hdr.size < kHeaderBytes || m->hdr.size > kMaxMessageBytes) {
    *why = "message size " + std::to_string(m->hdr.size) + " outside " +
           std::to_string(kHeaderBytes) + ".." + std::to_string(kMaxMessageBytes);
    return RecvStatus::kMalformed;
  }
  m->payload.resize(m->hdr.size - kHeaderBytes);
  if (!m->payload.empty() &&
      !ReadFull(m->payload.data(), m->payload.size(), m, false, deadline, &st, why))
    return st;
  return RecvStatus::kMessage;
}

bool Transport::Send(Header h, const void* payload, size_t len, int fd) {
  h.size = static_cast<uint32_t>(kHeaderBytes + len);
  uint8_t raw[kHeaderBytes];
  EncodeHeader(h, raw);
  iovec iov[2] = {{raw, sizeof raw}, {const_cast<void*>(payload), len}};
  size_t total = sizeof raw + len, sent = 0;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  std::lock_guard<std::mutex> lock(send_mu_);
  const int64_t deadline = NowMs() + message_ms_;
  while (sent < total) {
    // Skip what has gone already, across the two pieces.
    iovec cur[2];
    int n = 0;
    size_t skip = sent;
    for (const iovec& v : iov) {
      if (skip >= v.iov_len) {
        skip -= v.iov_len;
        continue;
      }
      cur[n++] = {static_cast<uint8_t*>(v.iov_base) + skip, v.iov_len - skip};
      skip = 0;
    }
    msghdr mh{};
    mh.msg_iov = cur;
    mh.msg_iovlen = static_cast<size_t>(n);
    if (fd >= 0 && sent == 0) {
      mh.msg_control = control;
      mh.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&mh);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int));
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    const ssize_t r = sendmsg(fd_.Get(), &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r >= 0) {
      sent += static_cast<size_t>(r);
      continue;
    }
    if (errno == EINTR) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(POLLOUT, deadline) == Wait::kReady)
      continue;
    shutdown(fd_.Get(), SHUT_RDWR);
    return false;
  }
  return true;
}

bool Transport::HeardFrom() const {
  char c;
  return heard_ || recv(fd_.Get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

void Transport::Shutdown() { shutdown(fd_.Get(), SHUT_RDWR); }

}  // namespace vfu
