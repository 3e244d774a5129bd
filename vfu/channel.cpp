#include "channel.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

namespace vfu {

Channel::Channel(Transport& transport, int stop_fd, int listen_fd, Log& log)
    : t_(transport), stop_fd_(stop_fd), listen_fd_(listen_fd), log_(log) {}

void Channel::EndLocked(const std::string& why) {
  if (!ended_) {
    ended_ = true;
    why_ = why;
  }
  cv_.notify_all();
}

std::string Channel::Why() {
  std::lock_guard<std::mutex> lock(mu_);
  return why_;
}

void Channel::Announce() {
  if (!announced_ && t_.HeardFrom()) {
    announced_ = true;
    log_.Line("client attached");
  }
}

void Channel::Quiesce() {
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait(lk, [this] { return !reading_; });
}

Channel::Pumped Channel::Pump(Message* m, int wait_ms, bool watch_listen) {
  pollfd p[3] = {{t_.fd(), POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t n = 1;
  const nfds_t stop_at = n;
  if (stop_fd_ >= 0) p[n++].fd = stop_fd_;
  const nfds_t listen_at = n;
  if (watch_listen && listen_fd_ >= 0) p[n++].fd = listen_fd_;
  const int r = poll(p, n, wait_ms);
  if (r <= 0) {
    if (r < 0 && errno != EINTR) {
      std::lock_guard<std::mutex> lock(mu_);
      EndLocked(std::string("poll failed: ") + std::strerror(errno));
    }
    return Pumped::kOther;
  }
  if (p[0].revents != 0) Announce();
  if (stop_fd_ >= 0 && p[stop_at].revents != 0) {
    std::lock_guard<std::mutex> lock(mu_);
    EndLocked("the server is stopping");
    return Pumped::kOther;
  }
  // The client's input first: a client that closes and at once connects again has its end of
  // file waiting here by the time its new connection is seen, and the new one must not be
  // refused as a second client. It waits in the backlog until this connection has ended.
  if (p[0].revents == 0) {
    if (listen_at < n && p[listen_at].revents != 0) {
      const int extra = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (extra >= 0) {
        close(extra);
        log_.Line(
            "refused a second connection (a client, or another server probing this one): a client "
            "is attached already");
      }
    }
    return Pumped::kOther;
  }
  std::string why;
  RecvStatus st;
  try {
    st = t_.Recv(m, &why);
  } catch (const std::bad_alloc&) {
    // A message's payload is at most kMaxMessageBytes; if even that cannot be had, this
    // connection ends and the next client is served.
    st = RecvStatus::kMalformed;
    why = "no memory for a message";
  }
  Announce();
  if (st != RecvStatus::kMessage) {
    std::lock_guard<std::mutex> lock(mu_);
    EndLocked(st == RecvStatus::kMalformed ? "closed the connection: " + why : why);
    return Pumped::kOther;
  }
  if ((m->hdr.flags & kFlagTypeMask) != kTypeReply) return Pumped::kCommand;
  m->fds.clear();
  std::lock_guard<std::mutex> lock(mu_);
  for (Waiter* w : waiters_) {
    if (w->id == m->hdr.id && !w->done) {
      *w->reply = std::move(*m);
      w->done = true;
      cv_.notify_all();
      return Pumped::kOther;
    }
  }
  log_.Line("refused a reply (id " + std::to_string(m->hdr.id) + ", " + CommandName(m->hdr.cmd) +
            "): no request of ours waits for it");
  return Pumped::kOther;
}

bool Channel::QueueLocked(Message&& m) {
  const size_t bytes = kHeaderBytes + m.payload.size();
  if (commands_.size() >= kMaxQueuedCommands || bytes > kMaxQueuedBytes - queued_bytes_ ||
      m.fds.size() > kMaxQueuedFds - queued_fds_) {
    // A flood: what it brought is dropped (its descriptors closed) rather than answered, and
    // the socket shut down, so that no reply waits on a client that does not read.
    commands_.clear();
    queued_bytes_ = queued_fds_ = 0;
    t_.Shutdown();
    EndLocked("closed the connection: more than " + std::to_string(kMaxQueuedCommands) +
              " commands, " + std::to_string(kMaxQueuedBytes) + " bytes or " +
              std::to_string(kMaxQueuedFds) + " fds came while the device waited for a reply");
    return false;
  }
  try {
    commands_.push_back(std::move(m));
  } catch (const std::bad_alloc&) {
    EndLocked("closed the connection: no memory to queue a command");
    return false;
  }
  queued_bytes_ += bytes;
  queued_fds_ += commands_.back().fds.size();
  return true;
}

bool Channel::NextCommand(Message* m) {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    if (!commands_.empty()) {
      *m = std::move(commands_.front());
      commands_.pop_front();
      queued_bytes_ -= kHeaderBytes + m->payload.size();
      queued_fds_ -= m->fds.size();
      return true;
    }
    if (ended_) return false;
    if (reading_) {
      cv_.wait(lk);
      continue;
    }
    reading_ = true;
    lk.unlock();
    const Pumped p = Pump(m, -1, true);
    lk.lock();
    reading_ = false;
    cv_.notify_all();
    if (p == Pumped::kCommand) return true;
  }
}

bool Channel::Call(uint16_t cmd, const void* payload, size_t len, Message* reply, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Waiter w{0, reply};
  std::unique_lock<std::mutex> lk(mu_);
  if (ended_) return false;
  w.id = ++next_id_;
  waiters_.push_back(&w);
  lk.unlock();
  if (log_.verbose())
    log_.Line(std::string("sent ") + CommandName(cmd) + " (id " + std::to_string(w.id) + ")");
  const bool sent = t_.Send(Header{w.id, cmd, 0, kTypeCommand, 0}, payload, len);
  lk.lock();
  bool timed_out = false;
  while (sent && !w.done && !ended_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    if (reading_) {
      cv_.wait_until(lk, deadline);
      continue;
    }
    // The connection thread is busy elsewhere: read for ourselves.
    reading_ = true;
    lk.unlock();
    Message in;
    const Pumped p = Pump(&in, static_cast<int>(std::max<int64_t>(1, left.count())), false);
    lk.lock();
    reading_ = false;
    if (p == Pumped::kCommand) QueueLocked(std::move(in));
    cv_.notify_all();
  }
  waiters_.erase(std::find(waiters_.begin(), waiters_.end(), &w));
  const bool done = w.done;
  lk.unlock();
  if (timed_out)
    log_.Line(std::string("no reply to ") + CommandName(cmd) + " (id " + std::to_string(w.id) +
              ") within " + std::to_string(timeout_ms) + " ms: the access fails");
  return done;
}

bool Channel::Reply(const Header& request, const void* payload, size_t len, int fd) {
  return t_.Send(Header{request.id, request.cmd, 0, kTypeReply, 0}, payload, len, fd);
}

bool Channel::ReplyError(const Header& request, int err) {
  return t_.Send(
      Header{request.id, request.cmd, 0, kTypeReply | kFlagError, static_cast<uint32_t>(err)},
      nullptr, 0);
}

}  // namespace vfu
