#include "transport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
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

bool WaitFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int r = poll(&p, 1, ms);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

void UniqueFd::Reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

Transport::Transport(int fd) : fd_(fd) {
  const int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

bool Transport::ReadFull(uint8_t* dst, size_t n, Message* m, bool at_start, RecvStatus* st,
                         std::string* why) {
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
      if (!WaitFor(fd_.Get(), POLLIN, kStallMs)) {
        *st = RecvStatus::kMalformed;
        *why = "the client stopped in the middle of a message";
        return false;
      }
      continue;
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
  if (!ReadFull(raw, sizeof raw, m, true, &st, why)) return st;
  m->hdr = DecodeHeader(raw);
  if (m->hdr.size < kHeaderBytes || m->hdr.size > kMaxMessageBytes) {
    *why = "message size " + std::to_string(m->hdr.size) + " outside " +
           std::to_string(kHeaderBytes) + ".." + std::to_string(kMaxMessageBytes);
    return RecvStatus::kMalformed;
  }
  m->payload.resize(m->hdr.size - kHeaderBytes);
  if (!m->payload.empty() && !ReadFull(m->payload.data(), m->payload.size(), m, false, &st, why))
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
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd_.Get(), POLLOUT, kStallMs))
      continue;
    shutdown(fd_.Get(), SHUT_RDWR);
    return false;
  }
  return true;
}

void Transport::Shutdown() { shutdown(fd_.Get(), SHUT_RDWR); }

}  // namespace vfu
